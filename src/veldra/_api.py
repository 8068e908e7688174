"""The public function: from a data matrix to the exact causal order."""

from __future__ import annotations

import math
import numbers
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.linalg
import scipy.sparse
import scipy.special

from ._exhaustive_kernel import _sink_dp
from ._threads import resolve_threads

__all__ = [
    "MAX_FEATURES",
    "REFERENCES",
    "OrderResult",
    "causal_order",
    "check_data",
    "make_reference",
]

#: The largest number of variables the exhaustive search accepts.
MAX_FEATURES = 30

_EPS = float(np.finfo(np.float64).eps)

ReferenceLike = str | Callable[[np.ndarray], Any] | npt.ArrayLike


def _normal_quantiles(p: np.ndarray) -> np.ndarray:
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


@dataclass(frozen=True, eq=False)
class OrderResult:
    """The outcome of :func:`causal_order`.

    Attributes
    ----------
    order : numpy.ndarray of int64, shape (n_features,)
        Column indices of the variables, from the first cause to the last
        effect.
    names : tuple of str or None
        The column names in the same order, when the input had names (a
        pandas DataFrame), else None.
    score : float
        The best total score: the sum, over the variables, of the squared
        2-Wasserstein distance between each variable's standardised
        residuals (regressed on its predecessors) and the reference. Larger
        means further from the reference. It has float32 precision.
    sinks : numpy.ndarray of int32, shape (2**n_features,)
        The search's table: entry ``m`` is the variable placed last among
        the subset of variables whose bit mask is ``m`` (-1 for the empty
        set).
    n_evaluations : int
        Residual scores computed by the search, ``d * 2**(d - 1)``.
    seconds : float
        Wall-clock time of the call, validation included.
    """

    order: np.ndarray
    names: tuple[str, ...] | None
    score: float
    sinks: np.ndarray
    n_evaluations: int
    seconds: float


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


def _bad_cell(column: np.ndarray) -> tuple[int, object] | None:
    """The first cell of an object or text column that is not a number."""
    for row, value in enumerate(column.tolist()):
        if isinstance(value, bool | numbers.Real) and not isinstance(value, str):
            continue
        if isinstance(value, str | bytes):
            try:
                float(value)
            except ValueError:
                return row, value
            if column.dtype.kind == "O":
                return row, value
            continue
        return row, value
    return None


def _not_numeric(index: int, names: Sequence[str] | None, row: int, value: object):
    return ValueError(
        f"{_label(index, names)} is not numeric: row {row} holds {value!r}"
    )


def _frame_to_array(frame: Any) -> tuple[np.ndarray, tuple[str, ...]]:
    names = tuple(str(c) for c in frame.columns)
    shape = getattr(frame, "shape", None)
    if shape is not None and len(shape) == 2 and shape[1] == 0:
        return np.empty(shape, dtype=np.float64), names
    for j, dtype in enumerate(frame.dtypes):
        if getattr(dtype, "kind", "") == "c":
            raise ValueError(f"Complex data not supported: {_label(j, names)}")
    try:
        data = frame.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        for j in range(len(names)):
            column = frame.iloc[:, j]
            try:
                column.to_numpy(dtype=np.float64, na_value=np.nan)
            except (TypeError, ValueError):
                cells = np.asarray(column.to_numpy(), dtype=object)
                bad = _bad_cell(cells) or (0, cells[0] if len(cells) else None)
                raise _not_numeric(j, names, *bad) from None
        raise
    return data, names


def _array_to_float(X: Any) -> np.ndarray:
    if scipy.sparse.issparse(X):
        raise TypeError(
            "sparse input is not supported; convert it with X.toarray() first"
        )
    try:
        array = np.asarray(X)
    except ValueError as error:  # ragged nested sequences
        raise ValueError(f"X is not a rectangular array: {error}") from None
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
        return array.astype(np.float64)
    if kind in "OUS":
        for j in range(array.shape[1]):
            bad = _bad_cell(array[:, j])
            if bad is not None:
                raise _not_numeric(j, None, *bad)
        if kind == "O":
            try:
                return array.astype(np.float64)
            except (TypeError, ValueError):
                pass
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
        memory = 12 * 2**d
        evaluations = d * 2 ** (d - 1)
        raise ValueError(
            f"too many features: {d} > {MAX_FEATURES}. The exhaustive search "
            f"visits all 2^{d} subsets of the features: it needs 12 * 2^{d} = "
            f"{memory:,} bytes ({memory / 2**30:,.0f} GiB) of tables and "
            f"{d} * 2^{d - 1} = {evaluations:,} score evaluations. "
            "Select at most 30 features."
        )


def _standardise(data: np.ndarray) -> np.ndarray:
    """Centred columns scaled to unit root mean square.

    Scaling a column does not change any score of the search, which
    standardises residuals; it keeps squares and cross-products in range
    and the cross-product matrix well scaled. ``data`` must have no
    constant column.
    """
    peak = np.max(np.abs(data), axis=0)
    scaled = data / peak  # no overflow in the mean below
    centred = scaled - scaled.mean(axis=0)
    centred /= np.max(np.abs(centred), axis=0)
    centred /= np.sqrt(np.mean(centred * centred, axis=0))
    return np.ascontiguousarray(centred)


def _collinearity(
    standard: np.ndarray, names: Sequence[str] | None, data: np.ndarray
) -> str | None:
    """Describe an exact linear dependency among the columns, or None.

    A column counts as a linear combination of others when the share of its
    variance they leave unexplained, 1 - R^2, is at the rounding level of
    the cross-product arithmetic the search runs on (16 * d * eps): there
    the search's regressions leave residuals made of rounding noise alone.
    """
    n, d = standard.shape
    r, pivots = scipy.linalg.qr(standard, mode="r", pivoting=True)
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
        centred = data - data.mean(axis=0)
        fit = np.linalg.lstsq(centred[:, support], centred[:, target], rcond=None)[0]
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


def _validate(
    X: Any, names: Sequence[str] | None = None
) -> tuple[np.ndarray, tuple[str, ...] | None, np.ndarray]:
    """check_data, plus the centred and scaled data the search runs on."""
    if _is_frame(X):
        data, frame_names = _frame_to_array(X)
        names = frame_names if names is None else names
        if data.ndim != 2:
            raise ValueError("expected a 2-D table of shape (n_samples, n_features)")
    else:
        data = _array_to_float(X)
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
    data = np.ascontiguousarray(data)
    standard = _standardise(data)
    problem = _collinearity(standard, names, data)
    if problem is not None:
        raise ValueError(
            f"{problem}. The search regresses every variable on every subset of"
            " the others and finds no residual to score for such a set; drop"
            " the redundant columns"
        )
    return data, names, standard


def check_data(
    X: Any, *, names: Sequence[str] | None = None
) -> tuple[np.ndarray, tuple[str, ...] | None]:
    """Validate a data matrix for the causal search.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features) or pandas.DataFrame
        Real-valued data, one variable per column. Booleans and integers are
        converted to float64.
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
        30 features, holds complex, non-numeric or non-finite values, a
        constant column, or columns that are exactly collinear (one is an
        affine function of others). The message names the columns.
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
    data, names, _ = _validate(X, names)
    return data, names


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
        The reference values in increasing order.

    Raises
    ------
    ValueError
        For an unknown name (the message lists the known ones), or values
        that are not 1-D, not n of them, or not finite.

    Notes
    -----
    Residuals are standardised to mean 0 and unit root mean square before
    the comparison, so a reference should have mean 0 and variance 1 too.
    With a symmetric reference (the named ones are) the sign of a column
    does not matter.

    Examples
    --------
    >>> make_reference("normal", 4).round(4)
    array([-1.1503, -0.3186,  0.3186,  1.1503])
    >>> make_reference([3.0, 1.0, 2.0], 3)
    array([1., 2., 3.])
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
    try:
        values = np.array(values, dtype=np.float64)
    except (TypeError, ValueError) as error:
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
    return values


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


def causal_order(
    X: Any,
    *,
    reference: ReferenceLike = "normal",
    n_threads: int | None = None,
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
        What residuals are compared to; see :func:`make_reference`.
    n_threads : int or None, default=None
        Threads for the search. None uses the CPUs this process may run on
        (its affinity set, capped by a cgroup CPU quota); 1 runs on the
        calling thread alone; 0 lets the search count the CPUs of the
        affinity set; k uses k threads. The result does not depend on it.

    Returns
    -------
    OrderResult
        The order, its column names, the score, the search's sink table,
        the number of score evaluations and the time taken.

    Raises
    ------
    ValueError
        For invalid data (see :func:`check_data`) or reference (see
        :func:`make_reference`).
    TypeError
        For a sparse X, or an n_threads that is not an integer or None.
    RuntimeError
        If the search found no finite score for some set of variables.

    Notes
    -----
    The search costs ``d * 2**(d - 1)`` score evaluations, each a
    regression over the n samples and a sort, and ``12 * 2**d`` bytes of
    tables: 30 features need 12 GiB. It cannot be interrupted once started;
    see :func:`veldra.estimate_cost` for a time estimate beforehand.

    Columns are centred (no intercept is fitted) and scaled to unit
    variance, which changes no score but keeps the arithmetic in range.

    The method assumes the data come from a linear, acyclic structural
    equation model with independent non-Gaussian noise and no hidden
    confounders. Several orders are equally right when the graph leaves
    them free; the returned one is the best under the score. It does not
    test these assumptions, nor give the graph's edges: see
    :class:`veldra.ExhaustiveOrdering` for the weighted graph.

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
    data, names, standard = _validate(X)
    n, d = data.shape
    gram = np.ascontiguousarray(standard.T @ standard)
    values = make_reference(reference, n)
    threads = resolve_threads(n_threads)
    sinks, score = _sink_dp(standard, gram, values, d, threads)
    sinks = np.asarray(sinks)
    order = _walk(sinks, d)
    sinks.flags.writeable = False
    order.flags.writeable = False
    return OrderResult(
        order=order,
        names=None if names is None else tuple(names[j] for j in order),
        score=float(score),
        sinks=sinks,
        n_evaluations=d * 2 ** (d - 1),
        seconds=time.perf_counter() - start,
    )
