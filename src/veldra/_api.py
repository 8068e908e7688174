"""The public function: from a data matrix to the exact causal order."""

from __future__ import annotations

import contextlib
import datetime
import decimal
import math
import numbers
import os
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from ._checks import MAX_FEATURES, REFERENCE_NAMES
from ._engine import ProgressCallback, progress_bar
from ._engine import run as run_engine
from ._threads import resolve_threads

if TYPE_CHECKING:
    from ._knowledge import Knowledge

__all__ = [
    "MAX_FEATURES",
    "REFERENCES",
    "OrderResult",
    "Prepared",
    "causal_order",
    "check_data",
    "checked_array",
    "issue_warnings",
    "make_reference",
    "prepare",
    "reject_unsupported",
    "search",
]

_EPS = float(np.finfo(np.float64).eps)
# A column whose values all lie within peak / _OFFSET_RATIO of one another is
# mostly offset: it is centred exactly before it is scaled.
_OFFSET_RATIO = 1024.0
# Rows per block when a column statistic is accumulated block by block.
_BLOCK_ROWS = 8192
# Cells a Python value may hold that float() would turn into a number but that
# are not quantities: dates, times and durations.
_NOT_QUANTITIES = (
    np.datetime64,
    np.timedelta64,
    datetime.date,
    datetime.time,
    datetime.timedelta,
)

ReferenceLike = str | Callable[[np.ndarray], Any] | npt.ArrayLike


def _normal_quantiles(p: np.ndarray) -> np.ndarray:
    import scipy.special

    return scipy.special.ndtri(p)


def _uniform_quantiles(p: np.ndarray) -> np.ndarray:
    # Uniform on [-sqrt(3), sqrt(3)]: mean 0, variance 1.
    return math.sqrt(3.0) * (2.0 * p - 1.0)


def _laplace_quantiles(p: np.ndarray) -> np.ndarray:
    # Laplace with scale 1/sqrt(2): mean 0, variance 1.
    tail = np.minimum(p, 1.0 - p)
    return -np.sign(p - 0.5) * np.log(2.0 * tail) / math.sqrt(2.0)


#: Named reference distributions, each with mean 0 and variance 1, by their
#: quantile functions.
REFERENCES: dict[str, Callable[[np.ndarray], np.ndarray]] = {
    "normal": _normal_quantiles,
    "uniform": _uniform_quantiles,
    "laplace": _laplace_quantiles,
}
assert tuple(REFERENCES) == REFERENCE_NAMES


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


def _label(index: int, names: Sequence[str] | None) -> str:
    return f"column {index if names is None else repr(names[index])}"


def _labels(indices: Sequence[int], names: Sequence[str] | None) -> str:
    items = [str(i) if names is None else repr(names[i]) for i in indices]
    head = "column " if len(items) == 1 else "columns "
    if len(items) > 10:
        items = [*items[:10], f"{len(indices) - 10} more"]
    if len(items) == 1:
        return head + items[0]
    return head + ", ".join(items[:-1]) + " and " + items[-1]


def _is_frame(X: object) -> bool:
    return hasattr(X, "columns") and hasattr(X, "to_numpy") and hasattr(X, "iloc")


def _describe(value: object) -> str:
    """A cell for a message: its repr, or the size of a huge integer."""
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        bits = abs(int(value)).bit_length()
        if bits > 128:  # its repr may be refused (int_max_str_digits), and long
            return f"an integer of about {int(bits * math.log10(2)) + 1} digits"
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _bad_cell(
    column: np.ndarray, *, missing_ok: bool = False
) -> tuple[int, object, bool] | None:
    """The first cell of an object or text column that is not a real number.

    Returns its row, its value and whether it is a number out of float64's
    range. Numbers written as text count as numbers, as pandas reads them.
    With ``missing_ok``, None and NaN-like values (pandas' missing values)
    pass: the caller turns them into NaN.
    """
    for row, value in enumerate(column.tolist()):
        if isinstance(value, _NOT_QUANTITIES):
            return row, value, False
        if missing_ok and (
            value is None or type(value).__name__ in ("NAType", "NaTType")
        ):
            continue
        if not isinstance(value, bool | numbers.Real | decimal.Decimal | str | bytes):
            return row, value, False
        try:
            float(value)
        except OverflowError:
            return row, value, True
        except ValueError:
            return row, value, False
    return None


def _bad_cell_error(
    index: int, names: Sequence[str] | None, cell: tuple[int, object, bool]
) -> ValueError:
    row, value, out_of_range = cell
    if out_of_range:
        return ValueError(
            f"{_label(index, names)} is out of range: row {row} holds"
            f" {_describe(value)}, beyond the largest float64"
            f" ({sys.float_info.max:.4g})"
        )
    return ValueError(
        f"{_label(index, names)} is not numeric: row {row} holds {_describe(value)}"
    )


def _check_frame_dtypes(frame: Any, names: Sequence[str]) -> None:
    for j, dtype in enumerate(frame.dtypes):
        kind = getattr(dtype, "kind", "")
        if kind == "c":
            raise ValueError(f"Complex data not supported: {_label(j, names)}")
        if kind in "mM":
            raise ValueError(
                f"{_label(j, names)} holds dates, times or durations (dtype"
                f" {dtype}), not quantities; convert it to numbers first, such as"
                " seconds since a start"
            )


def _frame_to_array(frame: Any) -> tuple[np.ndarray, tuple[str, ...]]:
    names = tuple(str(c) for c in frame.columns)
    shape = getattr(frame, "shape", None)
    if shape is not None and len(shape) == 2 and shape[1] == 0:
        return np.empty(shape, dtype=np.float64), names
    _check_frame_dtypes(frame, names)
    for j, dtype in enumerate(frame.dtypes):
        # Object columns are read cell by cell, as object arrays are, so that
        # dates or times inside them are not taken for numbers.
        if getattr(dtype, "kind", "") == "O":
            cells = np.asarray(frame.iloc[:, j].to_numpy(), dtype=object)
            bad = _bad_cell(cells, missing_ok=True)
            if bad is not None:
                raise _bad_cell_error(j, names, bad)
    try:
        data = frame.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError, OverflowError):
        for j in range(len(names)):
            column = frame.iloc[:, j]
            try:
                column.to_numpy(dtype=np.float64, na_value=np.nan)
            except (TypeError, ValueError, OverflowError):
                cells = np.asarray(column.to_numpy(), dtype=object)
                bad = _bad_cell(cells) or (0, cells[0] if len(cells) else None, False)
                raise _bad_cell_error(j, names, bad) from None
        raise
    # A new C-ordered array, never a view of the frame's own: it is
    # standardised in place.
    return np.array(data, order="C", copy=True), names


def reject_unsupported(X: Any) -> None:
    """Refuse inputs whose conversion to numbers would silently change them.

    A masked array's masked cells still hold values, which the conversion
    would use; a DataFrame's date, time and duration columns would become
    nanosecond counts.

    Raises
    ------
    ValueError
        Naming the columns concerned.
    """
    if np.ma.isMaskedArray(X):
        mask = np.ma.getmaskarray(X)
        if mask.any():
            where = ""
            if mask.ndim == 2:
                where = (
                    f" in {_labels(np.flatnonzero(mask.any(axis=0)).tolist(), None)}"
                )
            raise ValueError(
                f"X is a masked array with masked cells{where}; the values under"
                " the mask would be used as data. Drop the rows that hold them"
                " or fill them first (X.filled(value))"
            )
    elif _is_frame(X):
        _check_frame_dtypes(X, tuple(str(c) for c in X.columns))


def _array_to_float(X: Any, *, copy: bool = True) -> np.ndarray:
    if type(X).__module__.startswith("scipy.sparse"):
        import scipy.sparse

        if scipy.sparse.issparse(X):
            raise TypeError(
                "sparse input is not supported; convert it with X.toarray() first"
            )
    reject_unsupported(X)
    if np.ma.isMaskedArray(X):
        X = np.ma.getdata(X)
    try:
        array = np.asarray(X)
    except ValueError as error:  # ragged nested sequences
        raise ValueError(f"X is not a rectangular array: {error}") from None
    except OverflowError as error:
        raise ValueError(f"X holds a number out of range: {error}") from None
    if array.ndim != 2:
        if array.ndim == 1:
            got = f"a 1-D array of shape {array.shape}"
            hint = (
                "; use X.reshape(-1, 1) for a single feature"
                " or X.reshape(1, -1) for a single sample"
            )
        else:
            got = f"an array with {array.ndim} dimensions, shape {array.shape}"
            hint = ""
        raise ValueError(
            f"expected a 2-D array of shape (n_samples, n_features), got {got}{hint}"
        )
    kind = array.dtype.kind
    if kind == "c":
        raise ValueError("Complex data not supported; pass the real part or split it")
    if kind in "biuf":
        return np.array(array, dtype=np.float64, order="C", copy=copy or None)
    if kind in "OUS":
        for j in range(array.shape[1]):
            bad = _bad_cell(array[:, j])
            if bad is not None:
                raise _bad_cell_error(j, None, bad)
        if kind == "O":
            return np.array(array, dtype=np.float64, order="C")
        raise ValueError(
            f"X holds text (dtype {array.dtype}), not numbers;"
            " convert it with X.astype(float) first"
        )
    raise ValueError(f"X must hold numbers, got dtype {array.dtype}")


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
            "Select at most 30 features."
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
    for start in range(0, n, _BLOCK_ROWS):
        block = columns[start : start + _BLOCK_ROWS]
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
class Prepared:
    """Validated data as the search and the graph's regressions use them.

    Attributes
    ----------
    standard : numpy.ndarray of float64, shape (n_samples, n_features)
        The columns centred and scaled to unit root mean square, C-ordered.
    gram : numpy.ndarray of float64, shape (n_features, n_features)
        ``standard.T @ standard``.
    peak, factor : numpy.ndarray of float64, shape (n_features,)
        Column ``j`` of the centred data is ``standard[:, j] * peak[j] *
        factor[j]``.
    names : tuple of str or None
        The column names, when known.
    """

    standard: np.ndarray
    gram: np.ndarray
    peak: np.ndarray
    factor: np.ndarray
    names: tuple[str, ...] | None

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


def _collinearity(prepared: Prepared) -> str | None:
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
    description = f"{_labels(involved, names)} are exactly collinear"
    if len(involved) == 1:
        description = f"{_label(target, names)} is constant"
    else:
        # Express the target in the original units, on the support alone.
        fit = np.linalg.lstsq(standard[:, support], standard[:, target], rcond=None)
        fit = fit[0] * prepared.scale_ratio(target, support)
        terms = ""
        for k, (c, j) in enumerate(zip(fit, support, strict=True)):
            sign = ("-" if c < 0 else "") if k == 0 else (" - " if c < 0 else " + ")
            terms += f"{sign}{abs(c):.6g} * {_label(int(j), names)}"
        description += f" ({_label(target, names)} = {terms} + constant)"
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


def checked_array(
    X: Any, names: Sequence[str] | None = None, *, copy: bool = True
) -> tuple[np.ndarray, tuple[str, ...] | None]:
    """X as float64, C-ordered, with its shape and values checked.

    Returns a new array unless ``copy`` is false and X is already such an
    array (the caller then hands it over). Collinearity is :func:`prepare`'s.
    """
    if _is_frame(X):
        data, frame_names = _frame_to_array(X)
        names = frame_names if names is None else names
        if data.ndim != 2:
            raise ValueError("expected a 2-D table of shape (n_samples, n_features)")
    else:
        data = _array_to_float(X, copy=copy)
    n, d = data.shape
    if names is not None:
        names = tuple(str(name) for name in names)
        if len(names) != d:
            raise ValueError(f"{len(names)} names given for {d} columns")
    _check_shape(n, d)
    finite = np.isfinite(data).all(axis=0)
    if not finite.all():
        bad = np.flatnonzero(~finite).tolist()
        raise ValueError(
            f"non-finite values (NaN or inf) in {_labels(bad, names)};"
            " remove or impute them first"
        )
    constant = np.flatnonzero(data.max(axis=0) == data.min(axis=0)).tolist()
    if constant:
        verb = "is" if len(constant) == 1 else "are"
        raise ValueError(
            f"{_labels(constant, names)} {verb} constant; a constant variable"
            " has no residual to score, drop it"
        )
    return data, names


def prepare(
    data: np.ndarray, names: tuple[str, ...] | None, *, in_place: bool = False
) -> Prepared:
    """Standardise data from :func:`checked_array` and check collinearity.

    With ``in_place``, ``data`` itself becomes the standardised columns.
    """
    standard, peak, factor = _standardise(data, in_place=in_place)
    prepared = Prepared(standard, np.empty((0, 0)), peak, factor, names)
    problem = _collinearity(prepared)
    if problem is not None:
        raise ValueError(
            f"{problem}. The search regresses every variable on every subset of"
            " the others and finds no residual to score for such a set; drop"
            " the redundant columns"
        )
    gram = np.ascontiguousarray(standard.T @ standard)
    return Prepared(standard, gram, peak, factor, names)


def check_data(
    X: Any, *, names: Sequence[str] | None = None
) -> tuple[np.ndarray, tuple[str, ...] | None]:
    """Validate a data matrix for the causal search.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features) or pandas.DataFrame
        Real-valued data, one variable per column. Booleans, integers and
        numbers written as text in an object array or column are converted
        to float64.
    names : sequence of str, optional
        Column names to use in messages and to return, in place of a
        DataFrame's own (for data read elsewhere, such as a CSV file).

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
        If X is a sparse matrix.

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


def _standardised_reference(values: np.ndarray, what: str) -> np.ndarray:
    """Sorted finite values shifted and scaled to mean 0 and variance 1.

    Values standardised already (to rounding) are returned as they are.
    """
    peak = max(abs(values[0]), abs(values[-1]))
    if peak == 0.0 or values[0] == values[-1]:
        raise ValueError(
            f"{what} is constant; it needs a spread to compare residuals with"
        )
    # A power of two scales exactly; centring twice removes what the first
    # mean's rounding leaves.
    power = math.ldexp(1.0, min(math.frexp(peak)[1], 1023))
    centred = values / power
    mean = centred.mean()
    centred -= mean
    centred -= centred.mean()
    variance = float(np.mean(centred * centred))
    if (
        abs(mean * power) <= 2.0**-40
        and abs(variance * power * power - 1.0) <= 2.0**-40
    ):
        return values
    return centred / math.sqrt(variance)


def make_reference(reference: ReferenceLike, n: int) -> np.ndarray:
    """The sorted reference sample the standardised residuals are compared to.

    Parameters
    ----------
    reference : str, callable or array-like
        A name from ``REFERENCES`` (``"normal"``, ``"uniform"``,
        ``"laplace"``; each with mean 0 and variance 1), a quantile function
        called on the probabilities ``(i + 0.5) / n`` for ``i = 0 .. n - 1``,
        or n explicit values (sorted here).
    n : int
        The number of samples.

    Returns
    -------
    numpy.ndarray of float64, shape (n,)
        The reference values in increasing order. A quantile function's
        output and explicit values are standardised to mean 0 and variance
        1 (unless they are already, to rounding); named references are the
        quantiles as they are.

    Raises
    ------
    ValueError
        For an unknown name (the message lists the known ones), or values
        that are not 1-D, not n of them, complex, masked, not finite or all
        equal.

    Notes
    -----
    Residuals are standardised to mean 0 and unit root mean square before
    the comparison, so a reference is too: only its shape matters, not its
    location or scale. With a symmetric reference (the named ones are) the
    sign of a column does not matter.

    Examples
    --------
    >>> make_reference("normal", 4).round(4)
    array([-1.1503, -0.3186,  0.3186,  1.1503])
    >>> make_reference([3.0, 1.0, 2.0], 3).round(4)
    array([-1.2247,  0.    ,  1.2247])
    """
    n = int(n)
    if isinstance(reference, str):
        quantile = REFERENCES.get(reference.lower())
        if quantile is None:
            known = ", ".join(repr(k) for k in REFERENCES)
            raise ValueError(
                f"unknown reference {reference!r}; use one of {known}, a"
                " quantile function or an array of n_samples values"
            )
        values = quantile((np.arange(n) + 0.5) / n)
        what = f"the {reference!r} reference"
    elif callable(reference):
        values = reference((np.arange(n) + 0.5) / n)
        what = "the reference quantile function's output"
    else:
        values = reference
        what = "the reference"
    if np.ma.isMaskedArray(values) and np.ma.getmaskarray(values).any():
        raise ValueError(f"{what} is a masked array with masked values")
    if np.iscomplexobj(values):
        raise ValueError(f"{what} holds complex numbers, not real ones")
    try:
        values = np.array(np.ma.getdata(values), dtype=np.float64)
    except (TypeError, ValueError, OverflowError) as error:
        raise ValueError(f"{what} is not an array of real numbers: {error}") from None
    if values.ndim != 1:
        raise ValueError(f"{what} must be 1-D, got shape {values.shape}")
    if values.shape[0] != n:
        raise ValueError(
            f"{what} has {values.shape[0]} values but the data have {n} samples;"
            " it needs one value per sample"
        )
    if not np.isfinite(values).all():
        raise ValueError(f"{what} contains non-finite values (NaN or inf)")
    values.sort()
    if isinstance(reference, str):
        return values
    return _standardised_reference(values, what)


def _walk(sinks: np.ndarray, d: int) -> np.ndarray:
    order: list[int] = []
    subset = (1 << d) - 1
    while subset:
        sink = int(sinks[subset])
        members = [j for j in range(d) if (subset >> j) & 1]
        if sink not in members:
            if sink >= 0:
                raise RuntimeError(
                    f"the search's table is inconsistent: it puts variable {sink}"
                    f" last among variables {members}"
                )
            raise RuntimeError(
                "the search found no candidate with a finite score among"
                f" variables {members}: every regression among them failed."
                " This usually means near-collinear columns or values of"
                " extreme magnitude; drop redundant columns or rescale."
            )
        order.append(sink)
        subset &= ~(1 << sink)
    order.reverse()
    return np.array(order, dtype=np.int64)


def search(
    prepared: Prepared,
    *,
    reference: ReferenceLike = "normal",
    n_threads: int | None = None,
    start: float | None = None,
    diagnose: bool = True,
    knowledge: Knowledge | None = None,
    progress: bool | ProgressCallback | None = None,
    checkpoint: str | os.PathLike[str] | None = None,
    client: Any = None,
) -> OrderResult:
    """:func:`causal_order` on data from :func:`prepare`; ``start`` is the
    :func:`time.perf_counter` value the reported time counts from. Without
    ``diagnose`` the result has no diagnostics (and no warning is issued
    by the caller), as the bootstrap's resamples need none."""
    if start is None:
        start = time.perf_counter()
    standard, names = prepared.standard, prepared.names
    n, d = standard.shape
    values = make_reference(reference, n)
    if client is not None and n_threads is not None:
        raise ValueError(
            "n_threads is for a search on this machine; on a cluster the"
            " threads are its workers' (dask worker --nthreads)"
        )
    threads = 1 if client is not None else resolve_threads(n_threads)
    predecessors = None if knowledge is None else knowledge.predecessors
    with contextlib.ExitStack() as stack:
        if progress is True:
            callback = stack.enter_context(progress_bar())
        elif progress is None or progress is False:
            callback = None
        elif callable(progress):
            callback = progress
        else:
            raise TypeError(
                "progress must be None, a bool or a callable taking (evaluations"
                f" done, evaluations in all, seconds); got {progress!r}"
            )
        outcome = run_engine(
            standard,
            prepared.gram,
            values,
            threads,
            predecessors=predecessors,
            progress=callback,
            checkpoint=checkpoint,
            client=client,
        )
    sinks, score = outcome.sinks, outcome.score
    order = _walk(sinks, d)
    if not math.isfinite(score):
        raise RuntimeError(
            f"the search's best total score is not finite ({score}): its sums"
            " left the range of float32. Check the data and the reference for"
            " values of extreme magnitude"
        )
    sinks.flags.writeable = False
    order.flags.writeable = False
    extra: dict[str, Any] = {}
    if diagnose:
        from ._diagnostics import diagnose as run_diagnostics

        is_normal = isinstance(reference, str) and reference.lower() == "normal"
        found = run_diagnostics(
            standard,
            prepared.gram,
            sinks,
            order,
            values,
            None if is_normal else make_reference("normal", n),
            predecessors=predecessors,
        )
        extra = vars(found)
    return OrderResult(
        order=order,
        column_names=None if names is None else tuple(names),
        score=score,
        sinks=sinks,
        n_evaluations=outcome.n_evaluations,
        seconds=time.perf_counter() - start,
        n_threads=outcome.n_threads,
        constraints=() if knowledge is None else knowledge.applied,
        instruction_sets=tuple(sorted(set(outcome.instruction_sets.values()))),
        **extra,
    )


def issue_warnings(messages: Sequence[str], stacklevel: int) -> None:
    """Issue each message as an :class:`IdentifiabilityWarning`."""
    if not messages:
        return
    import warnings

    from ._diagnostics import IdentifiabilityWarning

    for message in messages:
        warnings.warn(message, IdentifiabilityWarning, stacklevel=stacklevel + 1)


def causal_order(
    X: Any,
    *,
    reference: ReferenceLike = "normal",
    n_threads: int | None = None,
    exogenous: Iterable[int | str] | None = None,
    sinks: Iterable[int | str] | None = None,
    required_order: Iterable[tuple[int | str, int | str]] | None = None,
    prior_knowledge: npt.ArrayLike | None = None,
    progress: bool | ProgressCallback | None = None,
    checkpoint: str | os.PathLike[str] | None = None,
    client: Any = None,
) -> OrderResult:
    """Find the causal order of the variables by exhaustive search.

    Every order of the d variables is scored at once by a dynamic programme
    over all 2^d subsets: for each subset it finds the member best placed
    last. A candidate is scored by regressing it on the rest of the subset
    (least squares), standardising the residuals and measuring the squared
    2-Wasserstein distance between their sorted values and the sorted
    reference. The order with the largest total is returned: in a linear
    model with non-Gaussian noise, the true order leaves the least Gaussian
    residuals.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features) or pandas.DataFrame
        The data, one variable per column; at least 2 samples, between 1
        and 30 features. A DataFrame's column names are kept.
    reference : str, callable or array-like, default="normal"
        What residuals are compared to; see :func:`make_reference`. A
        quantile function's output or explicit values are standardised to
        mean 0 and variance 1.
    n_threads : int or None, default=None
        Threads for the search. None (or 0) uses the CPUs this process may
        run on (its affinity set, capped by a cgroup CPU quota); 1 runs on
        the calling thread alone; k uses k threads, but never more than
        those CPUs (nor 128): a larger k is lowered, with a UserWarning.
        The result does not depend on it.
    exogenous : iterable of int or str, optional
        Variables (indices, or column names of a DataFrame) known to come
        first, before every other variable.
    sinks : iterable of int or str, optional
        Variables known to come last, after every other variable.
    required_order : iterable of (a, b) pairs, optional
        Variable ``a`` comes before variable ``b``.
    prior_knowledge : array-like of shape (n_features, n_features), optional
        lingam's prior-knowledge matrix (0, 1 or -1 per pair); its paths
        become order constraints (see :class:`veldra.ExhaustiveOrdering`
        for what else it means for the graph).
    progress : bool or callable, optional
        True shows a progress bar (tqdm's when installed, which also works
        in notebooks, else a line on stderr). A callable is called with
        (evaluations done, evaluations in all, seconds elapsed) a few times
        a second.
    checkpoint : str or path-like, optional
        A file the search saves itself to from time to time (at most every
        minute within a level; writing takes at most 5 % of the run), when
        interrupted and when done. Called again with the same file, data,
        reference and constraints, the search resumes where it stopped and
        returns the same result bit for bit; a file of another search is
        refused with a ValueError.
    client : dask.distributed.Client or str, optional
        Run the search on this Dask cluster (or on the one whose scheduler
        has this address, such as ``"tcp://host:8786"``), which needs
        ``pip install 'veldra[distributed]'`` here and veldra on the
        workers. Each level is cut into tasks of a few seconds, one worker
        thread each; the result is bit for bit that of a local search when
        the workers share this machine's instruction set (a UserWarning
        says when they mix sets). ``n_threads`` must then be None.

    Returns
    -------
    OrderResult
        The order, the column names, the score, the search's sink table,
        the number of score evaluations, the time taken, the threads used
        (on a cluster: its worker threads), the instruction sets,
        and the diagnostics: each variable's non-Gaussianity and its
        p-value, the margin over the runner-up order and the warnings.

    Warns
    -----
    IdentifiabilityWarning
        When fewer than d - 1 of the d variables have clearly non-Gaussian
        residuals (p-value below 0.01), so that the data cannot pin the
        order down, or when there are fewer than max(50, 10 d) samples.

    Raises
    ------
    ValueError
        For invalid data (see :func:`check_data`) or reference (see
        :func:`make_reference`).
    TypeError
        For a sparse X, or an n_threads that is not an integer or None.
    MemoryError
        If the search's tables, buffers or threads do not fit in memory.
    RuntimeError
        If the search found no finite score for some set of variables, or
        its total is not finite.
    KeyboardInterrupt
        On Ctrl-C, within about a second; no thread is left running, and a
        checkpoint file, if given, holds the work done.

    Notes
    -----
    The search costs ``d * 2**(d - 1)`` score evaluations, each a
    regression over the n samples and a sort, and ``2**d`` bytes of tables
    and more (2.2 GiB at d = 30); see :func:`veldra.estimate_cost` for both beforehand. Order
    constraints skip the subsets that no allowed order starts with, which
    makes the search faster; the result is the best order among the
    allowed ones.

    Columns are centred (no intercept is fitted) and scaled to unit
    variance, which changes no score but keeps the arithmetic in range.

    The method assumes the data come from a linear, acyclic structural
    equation model with independent non-Gaussian noise and no hidden
    confounders. Several orders are equally right when the graph leaves
    them free; the returned one is the best under the score. The
    non-Gaussianity diagnostics check the central assumption (and warn
    when it fails); the margin shows how clearly the order won. See
    :class:`veldra.ExhaustiveOrdering` for the weighted graph and the
    independence of its residuals.

    Examples
    --------
    >>> import numpy as np
    >>> rng = np.random.default_rng(0)
    >>> e = rng.uniform(-1, 1, size=(2000, 3))
    >>> x0 = e[:, 0]
    >>> x2 = 0.8 * x0 + e[:, 2]
    >>> x1 = -0.7 * x2 + e[:, 1]
    >>> result = causal_order(np.column_stack([x0, x1, x2]), n_threads=1)
    >>> result.order.tolist()
    [0, 2, 1]
    >>> result.n_evaluations
    12
    """
    start = time.perf_counter()
    data, names = checked_array(X)
    prepared = prepare(data, names, in_place=True)
    del data
    knowledge = None
    given = (exogenous, sinks, required_order, prior_knowledge)
    if any(item is not None for item in given):
        from ._knowledge import make_knowledge

        knowledge = make_knowledge(
            prepared.standard.shape[1],
            prepared.names,
            exogenous=exogenous,
            sinks=sinks,
            required_order=required_order,
            prior_knowledge=prior_knowledge,
        )
    result = search(
        prepared,
        reference=reference,
        n_threads=n_threads,
        start=start,
        knowledge=knowledge,
        progress=progress,
        checkpoint=checkpoint,
        client=client,
    )
    issue_warnings(result.warnings, stacklevel=2)
    return result
