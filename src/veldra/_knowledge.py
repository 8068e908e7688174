"""Prior knowledge: what the user knows of the order and the graph beforehand.

:func:`make_knowledge` turns the user's statements (variables that come
first or last, pairs in a known order, lingam's prior-knowledge matrix)
into a :class:`Knowledge`: per variable, the variables that must come
before it, which the search honours by visiting only orders that respect
them, and the edges the weighted graph may not have.

Statements that cannot all hold, or that do not fit the data's columns,
are refused with a :class:`PriorKnowledgeError` that says why.
"""

from __future__ import annotations

import contextlib
import numbers
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from ._data import column_index, resolve_names
from ._text import column_name

if TYPE_CHECKING:
    import numpy.typing as npt

__all__ = [
    "Knowledge",
    "PriorKnowledgeError",
    "make_knowledge",
    "prior_matrix",
    "read_once",
]

# Values of lingam's prior-knowledge matrix.
_NO_PATH, _PATH, _UNKNOWN = 0, 1, -1
# Odd entries of a matrix named in a message, at most.
_SHOWN = 5

Variable = int | str


class PriorKnowledgeError(ValueError):
    """Prior knowledge that does not fit the data or contradicts itself.

    Raised by :func:`veldra.causal_order`, :func:`veldra.estimate_cost` and
    :class:`veldra.ExhaustiveOrdering` for a variable that names no column,
    a pair of a variable with itself, a malformed prior-knowledge matrix or
    statements that cannot all hold (the message names a cycle or the
    clash). Variables given as neither an index nor a name are a TypeError.
    """

    __module__ = "veldra"


@dataclass(frozen=True, eq=False)
class Knowledge:
    """Order constraints and forbidden edges, as the search and the graph use
    them.

    Attributes
    ----------
    predecessors : tuple of int
        Per variable j, the bit mask of the variables that must come before
        j. These are the direct requirements; they need not be transitively
        closed.
    forbidden : numpy.ndarray of bool, shape (n_features, n_features)
        Read-only; ``forbidden[i, j]`` is True when the edge ``x_j -> x_i``
        is ruled out, so that the graph's direct effect ``B[i, j]`` is 0.
    applied : tuple of str
        One readable line per constraint, in the order they were given.
    """

    predecessors: tuple[int, ...]
    forbidden: np.ndarray
    applied: tuple[str, ...]

    def satisfied_by(self, order: Iterable[int]) -> bool:
        """Whether ``order`` (first to last) puts every variable after all
        the variables that must come before it."""
        seen = 0
        for j in order:
            j = int(j)
            if self.predecessors[j] & ~seen:
                return False
            seen |= 1 << j
        return True


def read_once(value: Any) -> Any:
    """A prior-knowledge parameter as it can be read again: a one-shot
    iterator (a generator, ``zip``, ``map``), which gives its items only
    once, as a list of them (with pairs or rows that are such iterators as
    tuples); anything else as it is.

    The estimator reads its parameters at every fit, bootstrap and export;
    it keeps this copy beside a parameter given so, which stays as given.
    """
    if not isinstance(value, Iterator):
        return value
    return [tuple(item) if isinstance(item, Iterator) else item for item in value]


def _column(value: Any, names: Sequence[str] | None, n_features: int, what: str) -> int:
    try:
        return column_index(value, names, n_features, what, item=True)
    except ValueError as error:
        raise PriorKnowledgeError(str(error)) from None


def _variables(
    values: Any, n_features: int, names: Sequence[str] | None, what: str
) -> list[int]:
    """Distinct variables, in the order first given; one variable alone is
    taken as a list of one."""
    if values is None:
        return []
    if isinstance(values, str | numbers.Integral):
        values = [values]
    try:
        items = list(values)
    except TypeError:
        raise TypeError(
            f"{what} must be a list of column indices or names, not"
            f" {type(values).__name__}"
        ) from None
    chosen: list[int] = []
    for value in items:
        index = _column(value, names, n_features, what)
        if index not in chosen:
            chosen.append(index)
    return chosen


def _pairs(
    values: Any, n_features: int, names: Sequence[str] | None
) -> list[tuple[int, int]]:
    if values is None:
        return []
    what = "required_order"
    pairs: list[tuple[int, int]] = []
    try:
        items = list(values)
    except TypeError:
        raise TypeError(
            f"{what} must be a list of pairs (a, b), not {type(values).__name__}"
        ) from None
    for item in items:
        pair: tuple[Any, ...] = ()
        # Any two-item iterable but text: rows of an array are pairs too.
        if not isinstance(item, str | bytes):
            with contextlib.suppress(TypeError):
                pair = tuple(item)
        if len(pair) != 2:
            raise TypeError(
                f"{what}: {item!r} is not a pair (a, b) of variables; for one"
                " pair pass [(a, b)]"
            )
        a, b = (_column(v, names, n_features, what) for v in pair)
        if a == b:
            raise PriorKnowledgeError(
                f"{what}: ({pair[0]!r}, {pair[1]!r}) puts"
                f" {column_name(a, names)} before itself"
            )
        if (a, b) not in pairs:
            pairs.append((a, b))
    return pairs


def prior_matrix(prior_knowledge: npt.ArrayLike, n_features: int) -> np.ndarray:
    """lingam's matrix checked, as int8 with the diagonal set to -1.

    A masked array with masked entries is refused: NumPy would use the
    values under the mask, and reading them as -1 (not known) instead would
    be a guess the record of the fit could not show.
    """
    if np.ma.isMaskedArray(prior_knowledge):
        masked = np.ma.getmaskarray(prior_knowledge)
        if masked.any():
            cells = np.argwhere(masked).tolist()
            shown = ", ".join(str(cell) for cell in cells[:_SHOWN])
            more = f" and {len(cells) - _SHOWN} more" if len(cells) > _SHOWN else ""
            raise PriorKnowledgeError(
                f"prior_knowledge is a masked array with masked entries ({shown}"
                f"{more}); the values under the mask would be used. Fill them"
                " first: prior_knowledge.filled(-1) marks them as not known"
            )
    try:
        matrix = np.array(prior_knowledge)
    except (TypeError, ValueError) as error:
        raise PriorKnowledgeError(f"prior_knowledge is not a matrix: {error}") from None
    if matrix.shape != (n_features, n_features):
        raise PriorKnowledgeError(
            f"prior_knowledge must have shape ({n_features}, {n_features}), one"
            f" row and column per variable; got {matrix.shape}"
        )
    if matrix.dtype.kind not in "iuf":
        raise TypeError(
            f"prior_knowledge must hold the numbers 0, 1 and -1, not"
            f" {matrix.dtype} values"
        )
    values = matrix.astype(np.float64)
    # The diagonal says nothing: a variable's path to itself.
    np.fill_diagonal(values, _UNKNOWN)
    odd = ~np.isin(values, (_NO_PATH, _PATH, _UNKNOWN))
    if odd.any():
        cells = np.argwhere(odd)
        shown = ", ".join(
            f"[{i}, {j}] = {matrix[i, j].item()!r}" for i, j in cells[:_SHOWN].tolist()
        )
        more = f" and {len(cells) - _SHOWN} more" if len(cells) > _SHOWN else ""
        raise PriorKnowledgeError(
            "prior_knowledge may hold only 0 (no path), 1 (a path) and -1 (not"
            f" known); it holds {shown}{more}"
        )
    return values.astype(np.int8)


def _cycle(predecessors: list[int]) -> list[int] | None:
    """A cycle of the relation "i must come before j", as [a, b, ..., a]."""
    d = len(predecessors)
    followers = [[j for j in range(d) if predecessors[j] >> i & 1] for i in range(d)]
    state = [0] * d  # 0: not visited, 1: on the current path, 2: done
    for root in range(d):
        if state[root]:
            continue
        path = [root]
        stack = [iter(followers[root])]
        state[root] = 1
        while stack:
            step = next(stack[-1], None)
            if step is None:
                state[path.pop()] = 2
                stack.pop()
            elif state[step] == 1:
                return [*path[path.index(step) :], step]
            elif state[step] == 0:
                state[step] = 1
                path.append(step)
                stack.append(iter(followers[step]))
    return None


def make_knowledge(
    n_features: int,
    column_names: Sequence[str] | None,
    *,
    exogenous: Iterable[Variable] | Variable | None = None,
    sinks: Iterable[Variable] | Variable | None = None,
    required_order: Iterable[tuple[Variable, Variable]] | None = None,
    prior_knowledge: npt.ArrayLike | None = None,
) -> Knowledge | None:
    """Order constraints and forbidden edges from what is known beforehand.

    Parameters
    ----------
    n_features : int
        The number of variables.
    column_names : sequence of str or None
        The variables' names, when the data have them: variables may then
        be given by name, and the lines of ``applied`` use them (``x0``,
        ``x1``, ... otherwise). One per variable; a single string is
        refused, not split into one name per character.
    exogenous : iterable of int or str, optional
        Variables that come first, before every other one. They are root
        causes: no edge into them from any other variable.
    sinks : iterable of int or str, optional
        Variables that come last, after every other one. They cause
        nothing: no edge out of them into any other variable.
    required_order : iterable of (a, b) pairs, optional
        Variable ``a`` comes before variable ``b`` (an order, not an edge:
        the graph may or may not join them).
    prior_knowledge : array-like of shape (n_features, n_features), optional
        lingam's prior-knowledge matrix, with lingam's convention, the same
        as its adjacency matrix's (``B[i, j]`` is the effect of ``x_j`` on
        ``x_i``): entry ``[i, j]`` concerns a directed path from ``x_j``
        to ``x_i``. 1: there is such a path, so ``x_j`` comes before
        ``x_i``. 0: there is none, so no edge ``x_j -> x_i`` (this implies
        no order). -1: not known. A row of zeros (off the diagonal) says
        that ``x_i`` has no ancestor: it is taken as exogenous. A column of
        zeros says that ``x_j`` has no descendant: it is taken as a sink,
        unless its row is zeros too (it is then unconnected, and taken as
        exogenous). The diagonal is ignored. A masked array may not have
        masked entries (fill them, with -1 for not known).

    Returns
    -------
    Knowledge or None
        None when nothing is given (or all of it is empty or unknown).

    Raises
    ------
    PriorKnowledgeError
        For a variable out of range or not a column name, a variable both
        exogenous and a sink (with more than one variable), a pair of a
        variable with itself, a matrix of the wrong shape, with values
        other than 0, 1 and -1 or with masked entries, or contradictory
        knowledge: a cycle of variables each required before the next (the
        message names one), or a path asked for out of a sink or into an
        exogenous variable.
    TypeError
        For a variable that is neither an index nor a name, a name when
        the data have no names, an entry of ``required_order`` that is
        not a pair, or ``column_names`` that is a single string.
    ValueError
        For another number of ``column_names`` than ``n_features``.

    Examples
    --------
    >>> knowledge = make_knowledge(
    ...     3, ["age", "dose", "risk"], exogenous=["age"],
    ...     required_order=[("dose", "risk")],
    ... )
    >>> knowledge.applied
    ('age first (exogenous)', 'dose before risk')
    >>> [bin(mask) for mask in knowledge.predecessors]
    ['0b0', '0b1', '0b11']
    """
    d = int(n_features)
    names = (
        None
        if column_names is None
        else list(resolve_names(column_names, d, "column_names"))
    )
    # A generator of the matrix's rows, as of the variables, is a matrix too.
    prior_knowledge = read_once(prior_knowledge)
    first = _variables(exogenous, d, names, "exogenous")
    last = _variables(sinks, d, names, "sinks")
    pairs = _pairs(required_order, d, names)
    matrix = None if prior_knowledge is None else prior_matrix(prior_knowledge, d)

    applied: list[str] = []
    before: list[tuple[int, int]] = list(pairs)  # (a, b): a comes before b
    forbidden = np.zeros((d, d), dtype=bool)
    first_lines = [f"{column_name(j, names)} first (exogenous)" for j in first]
    last_lines = [f"{column_name(j, names)} last (sink)" for j in last]
    pair_lines = [
        f"{column_name(a, names)} before {column_name(b, names)}" for a, b in pairs
    ]
    matrix_lines: list[str] = []
    paths: list[tuple[int, int]] = []
    if matrix is not None and d > 1:
        off = ~np.eye(d, dtype=bool)
        no_ancestor = ((matrix == _NO_PATH) | ~off).all(axis=1)
        no_descendant = ((matrix == _NO_PATH) | ~off).all(axis=0)
        for j in range(d):
            name = column_name(j, names)
            if no_ancestor[j] and no_descendant[j]:
                # Unconnected: it fits anywhere, so first unless said last.
                where = "last" if j in last else "first"
                matrix_lines.append(
                    f"{name} {where} (unconnected: prior_knowledge row and"
                    f" column {j} are 0)"
                )
            elif no_ancestor[j]:
                matrix_lines.append(
                    f"{name} first (exogenous: prior_knowledge row {j} is 0)"
                )
            elif no_descendant[j]:
                matrix_lines.append(
                    f"{name} last (sink: prior_knowledge column {j} is 0)"
                )
            if no_ancestor[j] and j not in first + last:
                first.append(j)
            elif no_descendant[j] and not no_ancestor[j] and j not in last:
                last.append(j)
        for i, j in np.argwhere(matrix == _PATH).tolist():
            paths.append((j, i))
            before.append((j, i))
            matrix_lines.append(
                f"{column_name(j, names)} before {column_name(i, names)}"
                f" (prior_knowledge[{i}, {j}] = 1)"
            )
        for i, j in np.argwhere(matrix == _NO_PATH).tolist():
            forbidden[i, j] = True
            if not (no_ancestor[i] or no_descendant[j]):
                matrix_lines.append(
                    f"no edge {column_name(j, names)} -> {column_name(i, names)}"
                    f" (prior_knowledge[{i}, {j}] = 0)"
                )
    both = [j for j in first if j in last]
    if both and d > 1:
        raise PriorKnowledgeError(
            f"{column_name(both[0], names)} is both exogenous (first) and a sink"
            " (last); with other variables it cannot be both"
        )
    for j, i in paths:
        if i in first or j in last:
            which = (
                f"{column_name(i, names)} is exogenous (no parents)"
                if i in first
                else f"{column_name(j, names)} is a sink (no children)"
            )
            raise PriorKnowledgeError(
                f"contradictory prior knowledge: prior_knowledge[{i}, {j}] = 1"
                f" asks for a path {column_name(j, names)} -> {column_name(i, names)}, but"
                f" {which}"
            )
    applied = list(dict.fromkeys(first_lines + last_lines + pair_lines + matrix_lines))
    if not applied:
        return None

    full = (1 << d) - 1
    first_mask = sum(1 << j for j in first)
    last_mask = sum(1 << j for j in last)
    predecessors = [0] * d
    for j in range(d):
        if not first_mask >> j & 1:
            predecessors[j] |= first_mask
        if last_mask >> j & 1:
            predecessors[j] |= full & ~last_mask
    for a, b in before:
        predecessors[b] |= 1 << a
    for j in range(d):
        predecessors[j] &= ~(1 << j)
    cycle = _cycle(predecessors)
    if cycle is not None:
        raise PriorKnowledgeError(
            "contradictory prior knowledge: "
            + " before ".join(column_name(j, names) for j in cycle)
        )
    others = ~np.eye(d, dtype=bool)
    forbidden[first, :] |= others[first, :]
    forbidden[:, last] |= others[:, last]
    forbidden.flags.writeable = False
    return Knowledge(tuple(predecessors), forbidden, tuple(applied))
