"""What a search found, and the report that puts it in words.

:class:`OrderResult` is what :func:`veldra.causal_order` returns;
:func:`format_report` renders a fitted estimator as the text the command
line prints and :meth:`veldra.ExhaustiveOrdering.to_text` returns.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._text import format_number, format_seconds, plural

__all__ = ["OrderResult", "format_edges", "format_matrix", "format_report"]

# Above this many columns the graph is listed as edges, not as a matrix.
MATRIX_COLUMNS = 8
# Constraints listed in the report, at most (the JSON has them all).
MAX_CONSTRAINTS_SHOWN = 20


@dataclass(frozen=True, eq=False)
class OrderResult:
    """The outcome of :func:`causal_order`.

    Arrays indexed by variable follow the columns of the input; arrays
    indexed by position follow the order.

    Attributes
    ----------
    order : numpy.ndarray of int64, shape (n_features,)
        Column indices of the variables, from the first cause to the last
        effect.
    column_names : tuple of str or None
        The input's column names, in column order, when it had names (a
        pandas DataFrame), else None.
    score : float
        The best total score: the sum, over the variables, of the squared
        2-Wasserstein distance between each variable's standardised
        residuals (regressed on its predecessors) and the reference. Larger
        means further from the reference. It has float32 precision.
    sinks : numpy.ndarray of int8, shape (2**n_features,)
        The search's table: entry ``m`` is the variable placed last among
        the subset of variables whose bit mask is ``m`` (-1 for the empty
        set, and for subsets that no order allowed by the constraints
        starts with).
    n_evaluations : int
        Residual scores computed by the search, ``d * 2**(d - 1)`` without
        constraints, fewer with them.
    seconds : float
        Wall-clock time of the call, validation and diagnostics included.
    n_threads : int
        Threads the search ran on, the calling one included.
    non_gaussianity : numpy.ndarray of float64, shape (n_features,)
        Per variable: the squared 2-Wasserstein distance between its
        standardised residuals, regressed on its predecessors in ``order``,
        and the normal quantiles (whatever the search's reference). Larger
        is less Gaussian; with ``reference="normal"`` these are the terms
        of ``score``.
    non_gaussianity_p_values : numpy.ndarray of float64, shape (n_features,)
        Per variable: the chance that Gaussian residuals of the same number
        of samples score at least as high. Small means clearly
        non-Gaussian. Each is a test of one variable given the order; the
        order itself was chosen to make the residuals non-Gaussian, so under
        Gaussian noise they come out smaller than uniform.
    position_margins : numpy.ndarray of float64, shape (n_features,)
        Per position k of ``order``: how far ``score`` is ahead of the best
        order that agrees with ``order`` after position k and puts another
        variable at position k (infinite at position 0, which no such order
        exists for). A small value means that another variable fits almost
        as well at that place.
    margin : float
        The smallest of ``position_margins``: how far ``score`` is ahead of
        the best order that differs from ``order`` (the runner-up), in the
        same units. Infinite for one variable. Margins are recomputed in
        float64; below about 1e-6 times ``score`` (the search's float32
        rounding) they are ties.
    runner_up_order : numpy.ndarray of int64 or None
        That runner-up order, None for one variable.
    warnings : tuple of str
        Why the order may not be identifiable from the data, if it may not
        (each was also issued as an :class:`IdentifiabilityWarning`).
    constraints : tuple of str
        The order constraints (prior knowledge) the search honoured, one
        line each; empty when the order was free.
    instruction_sets : tuple of str
        The instruction sets the scores were computed with (Highway's names,
        such as "AVX2" or "AVX3"): one for a search on one machine, one per
        kind of worker on a cluster. A score's last bits depend on it.
    """

    order: np.ndarray
    column_names: tuple[str, ...] | None
    score: float
    sinks: np.ndarray
    n_evaluations: int
    seconds: float
    n_threads: int
    non_gaussianity: np.ndarray | None = None
    non_gaussianity_p_values: np.ndarray | None = None
    position_margins: np.ndarray | None = None
    margin: float = math.nan
    runner_up_order: np.ndarray | None = None
    warnings: tuple[str, ...] = ()
    constraints: tuple[str, ...] = ()
    instruction_sets: tuple[str, ...] = ()

    @property
    def order_names(self) -> tuple[str, ...] | None:
        """The column names in causal order, or None without names."""
        if self.column_names is None:
            return None
        return tuple(self.column_names[j] for j in self.order)

    @property
    def names(self) -> tuple[str, ...] | None:
        """Deprecated: the names in causal order; use :attr:`order_names`."""
        import warnings

        warnings.warn(
            "OrderResult.names is deprecated: it lists the names in causal"
            " order, which is order_names; column_names lists them in column"
            " order",
            DeprecationWarning,
            stacklevel=2,
        )
        return self.order_names


def format_matrix(matrix: np.ndarray, names: Sequence[str]) -> str:
    """A square matrix as a table with the names along both sides."""
    cells = [[format_number(v) for v in row] for row in matrix.tolist()]
    width = max([len(name) for name in names] + [len(c) for row in cells for c in row])
    label = max(len(name) for name in names)
    lines = [" " * label + "".join(f"  {name:>{width}}" for name in names)]
    for name, row in zip(names, cells, strict=True):
        lines.append(f"{name:<{label}}" + "".join(f"  {c:>{width}}" for c in row))
    return "\n".join(lines)


def format_edges(
    adjacency: np.ndarray,
    names: Sequence[str],
    probabilities: np.ndarray | None = None,
) -> str:
    """The graph's edges, one a line: cause -> effect and the direct effect,
    strongest first; or, with ``probabilities``, every edge found in some
    resample with its share, most frequent first."""
    weights = probabilities if probabilities is not None else abs(adjacency)
    edges = sorted(
        zip(*weights.nonzero(), strict=True),
        key=lambda edge: -float(weights[edge]),
    )
    if not edges:
        return "  (none)"
    rows = []
    for i, j in edges:
        value = (
            f"{float(probabilities[i, j]):.2f}"
            if probabilities is not None
            else format_number(float(adjacency[i, j]))
        )
        rows.append((f"{names[j]} -> {names[i]}", value))
    width = max(len(edge) for edge, _ in rows)
    return "\n".join(f"  {edge:<{width}}  {value}" for edge, value in rows)


def _p_value(p: float) -> str:
    if math.isnan(p):  # too few samples for a test
        return "p = n/a"
    return "p < 0.001" if p < 0.001 else f"p = {p:.3f}"


def _constraints_text(constraints: Sequence[str]) -> str:
    if not constraints:
        return ""
    shown = list(constraints[:MAX_CONSTRAINTS_SHOWN])
    if len(constraints) > len(shown):
        shown.append(f"... and {len(constraints) - len(shown)} more (see --json)")
    return "constraints:\n" + "".join(f"  {line}\n" for line in shown)


def format_report(
    model: Any,
    names: Sequence[str],
    numbers: Sequence[int],
    bootstrap: Any = None,
) -> str:
    """A fitted estimator as text: the order with each residual's
    non-Gaussianity, the score and its margin, what the search cost, the
    constraints, the graph (a matrix, or a list of edges for many columns)
    and, given a bootstrap result, how often each place and edge came back.
    Variable ``j`` is shown as ``names[j] (column numbers[j])``."""
    order = model.causal_order_.tolist()
    width = len(str(len(order)))
    label = max(len(names[j]) for j in order)
    place = max(len(f"(column {numbers[j]})") for j in order)
    p_values = model.non_gaussianity_p_values_
    margin = (
        f", ahead of the runner-up order by {model.margin_:.4g}"
        if math.isfinite(model.margin_)
        else ""
    )
    sets = getattr(model, "instruction_sets_", ())
    text = (
        "causal order (first cause to last effect), with how non-Gaussian each"
        " residual is:\n"
        + "".join(
            f"  {position:>{width}}. {names[j]:<{label}}"
            f"  {f'(column {numbers[j]})':<{place}}"
            f"  {model.non_gaussianity_[j]:.4f}  {_p_value(p_values[j])}\n"
            for position, j in enumerate(order, start=1)
        )
        + f"score: {model.score_:.6g}{margin}\n"
        f"search: {model.n_evaluations_:,} score evaluations in "
        f"{format_seconds(model.search_seconds_)} on "
        f"{plural(model.n_threads_, 'thread')}"
        + (f" ({', '.join(sets)})" if sets else "")
        + "\n"
        + _constraints_text(model.constraints_)
        + "\n"
    )
    if len(order) > MATRIX_COLUMNS:
        text += (
            "edges (cause -> effect: direct effect):\n"
            + format_edges(model.adjacency_matrix_, names)
            + "\n"
        )
    else:
        text += (
            "adjacency matrix (row i, column j: direct effect of j on i):\n"
            + format_matrix(model.adjacency_matrix_, names)
            + "\n"
        )
    if bootstrap is not None:
        count = len(bootstrap.orders)
        seed = bootstrap.random_state
        places = bootstrap.position_probabilities
        edges = format_edges(
            model.adjacency_matrix_, names, bootstrap.edge_probabilities
        )
        text += (
            f"\nbootstrap, {plural(count, 'resample')}"
            + (f" (seed {seed})" if seed is not None else "")
            + ":\n  share that put each variable at its place in the order:\n"
            + "".join(
                f"  {position:>{width + 2}}. {names[j]:<{label}}"
                f"  {places[j, position - 1]:.2f}\n"
                for position, j in enumerate(order, start=1)
            )
            + "  share that found each edge (cause -> effect):\n"
            + "\n".join("  " + line for line in edges.splitlines())
            + "\n"
        )
    return text
