"""User input to the data the search runs on, checked once for every front
end: the input as float64 columns (``_convert``), with its column names;
shapes, values, constant and collinear columns refused with messages that
name the columns; the columns standardised for the search; and variables
given by index or by name resolved against the columns.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._checks import MAX_FEATURES, MAX_SAMPLES, check_flag
from ._convert import as_float_array
from ._text import column_label, column_labels

__all__ = [
    "BLOCK_ROWS",
    "PreparedData",
    "check_data",
    "checked_array",
    "column_index",
    "prepare",
    "prepare_data",
    "resolve_names",
]

#: Rows per block when a statistic of the columns is accumulated block by
#: block, so that no full-size temporary is made.
BLOCK_ROWS = 8192

_EPS = float(np.finfo(np.float64).eps)
# A column whose values all lie within peak / _OFFSET_RATIO of one another is
# mostly offset: it is centred exactly before it is scaled.
_OFFSET_RATIO = 1024.0


def _check_shape(n: int, d: int) -> None:
    if d < 1:
        raise ValueError(
            f"Found array with 0 feature(s) (shape=({n}, 0)) while a minimum"
            " of 1 is required."
        )
    if n < 2:
        raise ValueError(
            f"at least 2 samples are needed, got n_samples = {n}"
            f" ({n} sample{'s' if n != 1 else ''})"
        )
    if d > MAX_FEATURES:
        memory = 2**d
        evaluations = d * 2 ** (d - 1)
        raise ValueError(
            f"too many features: {d} > {MAX_FEATURES}. The exhaustive search "
            f"visits all 2^{d} subsets of the features: it needs more than "
            f"{memory:,} bytes ({memory / 2**30:,.0f} GiB) of tables and "
            f"{d} * 2^{d - 1} = {evaluations:,} score evaluations. "
            f"Select at most {MAX_FEATURES} features."
        )
    if n > MAX_SAMPLES:
        raise ValueError(
            f"too many samples: {n:,} > {MAX_SAMPLES:,}; the search counts rows"
            " in 32 bits"
        )


def _column_mean_square(columns: np.ndarray) -> np.ndarray:
    """``np.mean(columns * columns, axis=0)``, bit for bit, without the square's
    full copy.

    NumPy sums a C-ordered array down its columns one row after another, so
    continuing that sum block by block gives the same bits; a single column
    is summed pairwise, and is computed whole.
    """
    n, d = columns.shape
    if d == 1 or not columns.flags.c_contiguous:
        return np.mean(columns * columns, axis=0)
    total: np.ndarray | None = None
    for start in range(0, n, BLOCK_ROWS):
        block = columns[start : start + BLOCK_ROWS]
        squares = block * block
        if total is not None:
            squares = np.vstack([total[np.newaxis], squares])
        total = np.add.reduce(squares, axis=0)
    assert total is not None
    return total / n


def _standardise(
    data: np.ndarray, *, in_place: bool = False
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Centred columns scaled to unit root mean square, and their scales.

    Scaling a column does not change any score of the search, which
    standardises residuals; it keeps squares and cross-products in range
    and the cross-product matrix well scaled. ``data`` must have no
    constant column. Returns ``(standard, peak, factor)`` with
    ``data - mean == standard * peak * factor`` per column (two factors, so
    that neither overflows).

    A column is divided by its largest magnitude first, so that nothing
    overflows, then centred. When its values share a large offset, that
    division would round away their differences: such a column is divided
    by a power of two instead (exact), and centred twice (the second pass
    removes what the first mean's rounding left).
    """
    high, low = data.max(axis=0), data.min(axis=0)
    peak = np.maximum(high, -low)
    offset = peak > _OFFSET_RATIO * (high - low)
    if offset.any():
        # The power of two at or above the peak, 2**1023 at most.
        power = np.ldexp(1.0, np.minimum(np.frexp(peak)[1], 1023))
        peak = np.where(offset, power, peak)
    centred = np.divide(data, peak, out=data if in_place else None)
    centred -= centred.mean(axis=0)
    for j in np.flatnonzero(offset):
        column = centred[:, j]
        column -= column.mean()
    top = np.maximum(centred.max(axis=0), -centred.min(axis=0))
    centred /= top
    rms = np.sqrt(_column_mean_square(centred))
    centred /= rms
    return np.ascontiguousarray(centred), peak, top * rms


@dataclass(frozen=True, eq=False)
class PreparedData:
    """Data checked and standardised once, ready for any number of searches.

    Made by :func:`veldra.prepare_data`; :func:`veldra.causal_order` and the
    methods of :class:`veldra.ExhaustiveOrdering` take it wherever they take
    ``X``, and then neither check nor copy the data again.

    Attributes
    ----------
    standard : numpy.ndarray of float64, shape (n_samples, n_features)
        The columns centred and scaled to unit root mean square, C-ordered.
    gram : numpy.ndarray of float64, shape (n_features, n_features)
        ``standard.T @ standard``.
    peak, factor : numpy.ndarray of float64, shape (n_features,)
        Column ``j`` of the centred data is ``standard[:, j] * peak[j] *
        factor[j]`` (two factors, so that neither overflows).
    names : tuple of str or None
        The column names, when known.
    findings : tuple of str
        What the checks found that may mislead the search (discrete or
        heavily tied columns, a few rows beyond a column's tail, duplicated
        rows, a written-out row index), one sentence each; the search gives
        each as a warning of its kind (:class:`veldra.DataWarning`).
    limited : numpy.ndarray of int64, shape (n_features,), or None
        With the robust option, the values limited per column; else None.
    """

    standard: np.ndarray
    gram: np.ndarray
    peak: np.ndarray
    factor: np.ndarray
    names: tuple[str, ...] | None
    findings: tuple[str, ...] = ()
    limited: np.ndarray | None = None

    @property
    def n_samples(self) -> int:
        """The number of rows."""
        return int(self.standard.shape[0])

    @property
    def n_features(self) -> int:
        """The number of columns."""
        return int(self.standard.shape[1])

    def scale_ratio(self, numerator: Any, denominator: Any) -> np.ndarray:
        """The ratio of the columns' scales, without overflow on the way."""
        return (self.peak[numerator] / self.peak[denominator]) * (
            self.factor[numerator] / self.factor[denominator]
        )


def _pivoted_r(a: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """R and the column order of a QR decomposition with column pivoting.

    The same LAPACK call, with the same workspace, as
    ``scipy.linalg.qr(a, mode="r", pivoting=True)``, so the same bits; but
    on a single Fortran-ordered copy of ``a`` (that function makes two, and
    a full-height R besides), and R only as tall as it is wide.
    """
    import scipy.linalg

    work = np.asfortranarray(a) if not a.flags.f_contiguous else a.copy(order="F")
    (geqp3,) = scipy.linalg.get_lapack_funcs(("geqp3",), (work,))
    size = int(geqp3(work, lwork=-1, overwrite_a=True)[-2][0].real)
    qr, pivots, _, _, info = geqp3(work, lwork=size, overwrite_a=True)
    if info != 0:
        raise RuntimeError(f"the QR decomposition failed (LAPACK info {info})")
    n, d = qr.shape
    return np.triu(qr[:d] if n >= d else qr), pivots - 1


def _collinearity(prepared: PreparedData) -> str | None:
    """Describe an exact linear dependency among the columns, or None.

    A column counts as a linear combination of others when the share of its
    variance they leave unexplained, 1 - R^2, is at the rounding level of
    the cross-product arithmetic the search runs on (16 * d * eps): there
    the search's regressions leave residuals made of rounding noise alone.
    """
    import scipy.linalg

    standard, names = prepared.standard, prepared.names
    n, d = standard.shape
    r, pivots = _pivoted_r(standard)
    # Each column has norm sqrt(n); |R[k, k]| / sqrt(n) is the relative
    # residual norm of column pivots[k] regressed on the columns before it.
    diagonal = np.abs(np.diag(r)) / math.sqrt(n)
    tolerance = math.sqrt(16.0 * d * _EPS)
    # Greedy pivoting puts independent columns first: the first small pivot
    # (or the end of R when there are fewer samples than columns) gives the
    # numerical rank.
    small = np.flatnonzero(diagonal <= tolerance)
    rank = int(small[0]) if small.size else diagonal.size
    if rank == d:
        return None
    target = int(pivots[rank])
    basis = pivots[:rank]
    if rank:
        coef = scipy.linalg.solve_triangular(r[:rank, :rank], r[:rank, rank])
        large = np.abs(coef) > math.sqrt(_EPS) * max(1.0, np.abs(coef).max())
        support = np.sort(basis[large])
    else:
        support = basis[:0]
    involved = sorted([target, *(int(j) for j in support)])
    description = f"{column_labels(involved, names)} are exactly collinear"
    if len(involved) == 1:
        description = f"{column_label(target, names)} is constant"
    else:
        # Express the target in the original units, on the support alone.
        fit = np.linalg.lstsq(standard[:, support], standard[:, target], rcond=None)
        fit = fit[0] * prepared.scale_ratio(target, support)
        terms = ""
        for k, (c, j) in enumerate(zip(fit, support, strict=True)):
            sign = ("-" if c < 0 else "") if k == 0 else (" - " if c < 0 else " + ")
            terms += f"{sign}{abs(c):.6g} * {column_label(int(j), names)}"
        description += f" ({column_label(target, names)} = {terms} + constant)"
    extra = d - rank - 1
    if extra:
        description += (
            f"; {extra} further column{'s' if extra > 1 else ''} also depend"
            f"{'' if extra > 1 else 's'} linearly on the others"
        )
    if n <= d:
        description += (
            f"; with {n} samples the centred data have rank at most {n - 1},"
            f" fewer than the {d} features"
        )
    return description


def _refuse_duplicate_names(names: Sequence[str]) -> None:
    seen: dict[str, list[int]] = {}
    for j, name in enumerate(names):
        seen.setdefault(name, []).append(j)
    repeated = "; ".join(
        f"{name!r} is the name of columns {', '.join(map(str, columns))}"
        for name, columns in seen.items()
        if len(columns) > 1
    )
    raise ValueError(
        f"duplicate column names: {repeated}. Every column needs a name of its"
        " own, for variables given by name and for the results; rename them"
    )


def resolve_names(
    names: Any, n_features: int, parameter: str = "names"
) -> tuple[str, ...]:
    """Column names given apart from the data, one per column, each as text
    (as a DataFrame's are): the one reading of them for every parameter
    that takes them.

    A single string is refused, not read as one name per character (``"abc"``
    would name three columns); so is anything that is not a sequence of
    names.

    Raises
    ------
    TypeError
        For a string, bytes or a value that is not a sequence of names.
    ValueError
        For another number of names than ``n_features``.
    """
    if isinstance(names, str | bytes):
        raise TypeError(
            f"{parameter} must be a list of column names, one per column, not a"
            f" single {type(names).__name__} ({names!r}); for one column pass"
            f" [{names!r}]"
        )
    try:
        resolved = tuple(str(name) for name in names)
    except TypeError:
        raise TypeError(
            f"{parameter} must be a list of column names, one per column, not"
            f" {type(names).__name__}"
        ) from None
    if len(resolved) != n_features:
        raise ValueError(f"{len(resolved)} names given for {n_features} columns")
    return resolved


def checked_array(
    X: Any, names: Sequence[str] | None = None, *, copy: bool = True
) -> tuple[np.ndarray, tuple[str, ...] | None]:
    """X as float64, C-ordered, with its shape and values checked.

    Returns a new array unless ``copy`` is false and X is already such an
    array (the caller then hands it over). Collinearity is :func:`prepare`'s.
    """
    data, frame_names = as_float_array(X, copy=copy)
    names = frame_names if names is None else resolve_names(names, data.shape[1])
    n, d = data.shape
    _check_shape(n, d)
    if names is not None and len(set(names)) < len(names):
        _refuse_duplicate_names(names)
    finite = np.isfinite(data).all(axis=0)
    if not finite.all():
        bad = np.flatnonzero(~finite).tolist()
        raise ValueError(
            f"non-finite values (NaN or inf) in {column_labels(bad, names)};"
            " remove or impute them first"
        )
    constant = np.flatnonzero(data.max(axis=0) == data.min(axis=0)).tolist()
    if constant:
        verb = "is" if len(constant) == 1 else "are"
        raise ValueError(
            f"{column_labels(constant, names)} {verb} constant; a constant variable"
            " has no residual to score, drop it"
        )
    return data, names


def prepare(
    data: np.ndarray,
    names: tuple[str, ...] | None,
    *,
    in_place: bool = False,
    screen: bool = False,
    robust: bool = False,
) -> PreparedData:
    """Standardise data from :func:`checked_array` and check collinearity.

    With ``in_place``, ``data`` itself becomes the standardised columns.
    With ``screen``, the data are also looked over for what may mislead the
    search (``findings``); with ``robust``, extreme values are limited first
    (in ``data`` itself when ``in_place``).
    """
    from ._screening import limit_extremes, screen_data

    findings = screen_data(data, names, robust=robust) if screen else ()
    limited = None
    if robust:
        if not in_place:
            data = data.copy()
        limited = limit_extremes(data)
    standard, peak, factor = _standardise(data, in_place=in_place)
    prepared = PreparedData(standard, np.empty((0, 0)), peak, factor, names)
    problem = _collinearity(prepared)
    if problem is not None:
        raise ValueError(
            f"{problem}. The search regresses every variable on every subset of"
            " the others and finds no residual to score for such a set; drop"
            " the redundant columns"
        )
    gram = np.ascontiguousarray(standard.T @ standard)
    return PreparedData(standard, gram, peak, factor, names, findings, limited)


def check_data(
    X: Any, *, names: Sequence[str] | None = None
) -> tuple[np.ndarray, tuple[str, ...] | None]:
    """Validate a data matrix for the causal search.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features) or DataFrame
        Real-valued data, one variable per column (a data frame as
        :func:`veldra.causal_order` takes it). Booleans, integers and
        numbers written as text in an object array or column are converted
        to float64.
    names : sequence of str, optional
        Column names to use in messages and to return, in place of a
        DataFrame's own (for data read elsewhere, such as a CSV file): one
        per column, each turned into a string. A single string is refused,
        not split into one name per character.

    Returns
    -------
    data : numpy.ndarray of float64, shape (n_samples, n_features)
        A new C-contiguous copy of the data, not centred.
    names : tuple of str or None
        The column names as strings: ``names`` when given, else a
        DataFrame's columns, else None.

    Raises
    ------
    ValueError
        If X is not 2-D, has fewer than 2 samples, no feature or more than
        30 features, holds complex, non-numeric, out-of-range or non-finite
        values, a constant column, or columns that are exactly collinear
        (one is an affine function of others); if X is a masked array with
        masked cells, or a DataFrame with date, time or duration columns.
        The message names the columns.
    TypeError
        If X is a sparse matrix, or ``names`` is a single string or not a
        sequence.

    Examples
    --------
    >>> import numpy as np
    >>> data, names = check_data([[1, 2], [3, 5], [4, 4]])
    >>> data.dtype, data.shape, names
    (dtype('float64'), (3, 2), None)
    >>> check_data(np.ones((5, 2)))
    Traceback (most recent call last):
    ...
    ValueError: columns 0 and 1 are constant; ...
    """
    data, names = checked_array(X, names)
    prepare(data, names)
    return data, names


def prepare_data(
    X: Any,
    *,
    names: Sequence[str] | None = None,
    copy: bool = True,
    robust: bool = False,
) -> PreparedData:
    """Check and standardise data once, for a search, a graph and a bootstrap.

    Everything that takes ``X`` in veldra takes the result as well, and then
    skips its own checks and copy of the data: one search and the estimator's
    graph, effects, independence tests and bootstrap on the same data need
    the work done once.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features), DataFrame or PreparedData
        The data, as :func:`veldra.causal_order` takes it. PreparedData is
        returned as it is.
    names : sequence of str, optional
        Column names, in place of a DataFrame's own (for data read
        elsewhere, such as from a CSV file): one per column; a single
        string is refused, not split into one name per character.
    copy : bool, default=True
        With False, a C-ordered float64 array ``X`` is standardised in place
        and no copy of the data is made (``X`` then holds the standardised
        columns); other input is copied regardless.
    robust : bool, default=False
        Limit each column's extreme values first: see
        :func:`veldra.causal_order`.

    Returns
    -------
    PreparedData
        The standardised columns, their cross-products, scales and names,
        and what the checks found that may mislead the search.

    Raises
    ------
    ValueError, TypeError
        As :func:`veldra.causal_order` does for invalid data: the message
        names the columns concerned.

    Examples
    --------
    >>> import numpy as np
    >>> prepared = prepare_data([[1.0, 2.0], [3.0, 5.0], [4.0, 4.0]], names=["a", "b"])
    >>> prepared.names, prepared.n_samples, prepared.n_features
    (('a', 'b'), 3, 2)
    """
    robust = check_flag(robust, "robust")
    copy = check_flag(copy, "copy")
    if isinstance(X, PreparedData):
        if names is not None and resolve_names(names, X.n_features) != X.names:
            raise ValueError("names given for prepared data that has names of its own")
        if robust and X.limited is None:
            raise ValueError(
                "robust=True for data prepared without it: limit the extreme"
                " values when preparing, prepare_data(X, robust=True)"
            )
        return X
    data, checked_names = checked_array(X, names, copy=copy)
    return prepare(data, checked_names, in_place=True, screen=True, robust=robust)


def column_index(
    value: Any,
    names: Sequence[str] | None,
    n_features: int,
    parameter: str,
    *,
    item: bool = False,
) -> int:
    """A variable given by 0-based index or by column name, as an index.

    ``parameter`` is what the value was given as, named in messages; with
    ``item`` the value is one item of that parameter (``sinks: 'a'``),
    otherwise the parameter itself (``from_index='a'``).
    """
    if isinstance(value, bool) or not isinstance(value, numbers.Integral | str):
        raise TypeError(
            f"{parameter} must be an integer index or a column name: {value!r}"
            f" is neither a column index nor a name ({type(value).__name__})"
        )
    shown = value if isinstance(value, str) else int(value)
    subject = f"{parameter}: {shown!r}" if item else f"{parameter}={shown!r}"
    if isinstance(value, str):
        if names is None:
            raise TypeError(
                f"{subject} is a name, but the data came without column names;"
                " give the variable's index"
            )
        matches = [j for j, name in enumerate(names) if name == value]
        if not matches:
            raise ValueError(f"{subject} is not a column name")
        if len(matches) > 1:
            raise ValueError(
                f"{subject} names {len(matches)} columns; give the variable's index"
            )
        return matches[0]
    index = int(value)
    if not 0 <= index < n_features:
        raise ValueError(
            f"{subject} is out of range; the indices run from 0 to {n_features - 1}"
        )
    return index
