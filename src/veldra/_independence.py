"""Pairwise independence of residuals: the HSIC test with a gamma
approximation of its null distribution, a cross-cumulant test, and the two
combined into one p-value per pair of variables along an order.

The Hilbert-Schmidt independence criterion of two samples x and y is
``trace(K H L H) / m**2``, with K and L Gaussian-kernel Gram matrices and H
the centring matrix; it is zero in the population exactly when x and y are
independent. Under independence, ``m`` times its biased estimate is close
to a gamma distribution whose mean and variance have closed forms in K and
L (Gretton et al., "A kernel statistical test of independence", NIPS 2007),
which gives the p-value. Kernel widths are the median distance between the
sample's points.
"""

from __future__ import annotations

import math
import threading

import numpy as np

from ._threads import thread_map

__all__ = ["hsic_p_values", "order_dependence_p_values"]

# The kernel test's p-value counts for this many times its value in the
# order's check: least-squares residuals of heavy-tailed data (log-normal
# noise, n = 1000) keep a dependence on their regressors, from the fit's own
# leverage, that the kernel test finds at p = 1e-5 to 1e-19 in a third of
# clean data sets; misspecification (a non-linear link) gives far smaller.
HSIC_DISCOUNT = 1e4


# Distances drawn to bracket the median distance between a sample's points:
# the bracket decides how many distances are computed, not the median.
_BRACKET_DRAWS = 8192
_GOLDEN = (math.sqrt(5.0) - 1.0) / 2.0
# Rows of a kernel matrix computed at a time (half a megabyte at 1000 rows).
_KERNEL_ROWS = 64


def _rows_within(s: np.ndarray, t: float) -> np.ndarray:
    """Per i, how many j have ``s[j] - s[i] <= t`` (as rounded), for sorted
    ``s`` and finite ``t >= 0``: the j up to i, then those after it, up to
    the first that is farther (the rounded differences grow with j)."""
    least = np.arange(1, len(s) + 1)
    stop = np.maximum(np.searchsorted(s, s + t, side="right"), least)
    # s + t is rounded: move past the values it put on the wrong side.
    while True:
        back = stop > least
        back[back] = s[stop[back] - 1] - s[back] > t
        stop[back] = np.searchsorted(s, s[stop[back] - 1], side="left")
        ahead = stop < len(s)
        ahead[ahead] = s[stop[ahead]] - s[ahead] <= t
        stop[ahead] = np.searchsorted(s, s[stop[ahead]], side="right")
        if not (back.any() or ahead.any()):
            return stop


def _median_square_distance(x: np.ndarray) -> float:
    """``np.median`` of ``(x[i] - x[j])**2`` over the pairs i < j, bit for bit,
    without the m (m - 1) / 2 values.

    Over the sorted sample s the distances are the rounded ``s[j] - s[i]``
    (rounding is symmetric, so the same values), which grow along each row
    j > i. The distances of pairs spread evenly over the ranks bracket the
    median; each row's distances inside the bracket are found by binary
    search, and only they are computed and partitioned (all of them when
    the bracket misses).
    """
    m = len(x)
    s = np.sort(x)
    pairs = m * (m - 1) // 2
    ranks = [pairs // 2] if pairs % 2 else [pairs // 2 - 1, pairs // 2]
    # Row i's distances are s[j] - s[i] for j in [start[i], stop[i]), all
    # of the others but ``below`` being larger.
    start, stop, below = np.arange(1, m + 1), np.full(m, m), 0
    if pairs > 8 * _BRACKET_DRAWS:
        # Pairs spread evenly over the sample's ranks (a Fibonacci lattice).
        k = np.arange(_BRACKET_DRAWS)
        i, j = k * m // _BRACKET_DRAWS, (k * _GOLDEN % 1.0 * m).astype(np.int64)
        reach = int(3.0 * math.sqrt(_BRACKET_DRAWS))
        centre = _BRACKET_DRAWS // 2
        bounds = [centre - reach, centre + reach]
        drawn = np.partition(s[np.maximum(i, j)] - s[np.minimum(i, j)], bounds)
        # Ties at the low bound are candidates too: count below it only.
        floor = float(drawn[bounds[0]])
        low = _rows_within(s, float(np.nextafter(floor, -np.inf))) if floor else start
        high = _rows_within(s, float(drawn[bounds[1]]))
        under = int((low - start).sum())
        if under <= ranks[0] and int((high - start).sum()) > ranks[-1]:
            start, stop, below = low, high, under
    counts = stop - start
    rows = np.repeat(np.arange(m), counts)
    columns = np.arange(len(rows)) + np.repeat(
        start - np.cumsum(counts) + counts, counts
    )
    distances = s[columns] - s[rows]
    wanted = [rank - below for rank in ranks]
    middle = np.partition(distances, wanted)[wanted]
    return float(np.median(middle * middle))


def _kernel(x: np.ndarray, out: np.ndarray | None = None) -> tuple[np.ndarray, float]:
    """The centred Gaussian-kernel Gram matrix of x (in ``out`` if given)
    and the mean of its off-diagonal entries."""
    m = len(x)
    width = _median_square_distance(x)
    if not width > 0.0:  # most values equal: fall back to the spread
        square = np.subtract.outer(x, x)
        square *= square
        width = float(np.mean(square)) or 1.0
    scale = -0.5 / width
    gram = np.empty((m, m)) if out is None else out
    # A block of rows at a time, each step's values still in cache.
    for start in range(0, m, _KERNEL_ROWS):
        block = gram[start : start + _KERNEL_ROWS]
        np.subtract.outer(x[start : start + _KERNEL_ROWS], x, out=block)
        block *= block
        block *= scale
        np.exp(block, out=block)
    off_diagonal = (float(gram.sum()) - m) / (m * (m - 1))
    row = gram.mean(axis=0)
    centre = row.mean()
    for start in range(0, m, _KERNEL_ROWS):
        block = gram[start : start + _KERNEL_ROWS]
        block -= row
        block -= row[start : start + _KERNEL_ROWS, np.newaxis]
        block += centre
    return gram, off_diagonal


def _hsic_p(
    first: tuple[np.ndarray, float],
    second: tuple[np.ndarray, float],
    product: np.ndarray | None = None,
) -> float:
    """The HSIC test's p-value from two samples' :func:`_kernel` results
    (``product``: room for their product)."""
    from scipy.special import gammaincc

    (ki, mu_i), (kj, mu_j) = first, second
    m = len(ki)
    scale = 72.0 * (m - 4) * (m - 5) / (m * (m - 1) * (m - 2) * (m - 3))
    product = np.multiply(ki, kj, out=product)
    statistic = float(product.sum()) / m
    product *= product
    spread = (float(product.sum()) - float(np.trace(product))) / 36.0
    variance = scale * spread / (m * (m - 1))
    mean = (1.0 + mu_i * mu_j - mu_i - mu_j) / m
    if not (variance > 0.0 and mean > 0.0):
        return 1.0
    shape = mean * mean / variance
    theta = variance * m / mean
    return float(gammaincc(shape, statistic / theta))


def _standardised(u: np.ndarray) -> tuple[np.ndarray, np.ndarray] | None:
    """A sample centred and scaled to unit variance, and its square less 1;
    None for a constant one."""
    spread = float(u.std())
    if not spread > 0.0:
        return None
    u = (u - u.mean()) / spread
    return u, u * u - 1.0


def _cumulant_p(u: np.ndarray, v: np.ndarray) -> float:
    """P-value of a test that the cross-cumulants of orders 3 and 4 of two
    standardised samples are 0, as they are for independent samples.

    Each of ``(u**2 - 1) v``, ``u (v**2 - 1)`` and ``(u**2 - 1)(v**2 - 1)``
    has mean 0 under independence; each mean is divided by its own
    standard error (self-normalised, so heavy tails make it cautious, not
    bold), and the largest of the three is Bonferroni-corrected. It sees
    the linear mixing of a non-Gaussian common cause that a kernel test of
    this size may miss, at O(n) cost on every row.
    """
    return _cumulant_test(_standardised(u), _standardised(v))


def _cumulant_test(
    first: tuple[np.ndarray, np.ndarray] | None,
    second: tuple[np.ndarray, np.ndarray] | None,
) -> float:
    """:func:`_cumulant_p` from the two samples' :func:`_standardised`."""
    from scipy.special import ndtr

    if first is None or second is None:
        return 1.0
    (u, u2), (v, v2) = first, second
    largest = 0.0
    for w in (u2 * v, u * v2, u2 * v2):
        spread = float(w.std(ddof=1))
        if spread > 0.0:
            largest = max(largest, abs(float(w.mean())) / spread * math.sqrt(len(w)))
    return min(1.0, 6.0 * float(ndtr(-largest)))


def order_dependence_p_values(
    standard: np.ndarray, order: np.ndarray, max_samples: int, threads: int = 1
) -> np.ndarray:
    """Per pair of variables, a p-value for dependence left by the linear
    model along ``order``.

    Each variable's residual (its least-squares regression on all the
    variables before it) must be independent of every earlier variable and
    of its residual. For variables i before j, the residual of j is tested
    against variable i by HSIC (on at most ``max_samples`` rows, drawn with
    a fixed seed beyond) and by the cross-cumulant test (on every row), and
    against i's residual by the cross-cumulant test; the pair's p-value is
    the smallest of the three, Bonferroni-corrected. Symmetric, NaN on the
    diagonal. The kernels and the pairs are computed on up to ``threads``
    threads, with the same result.
    """
    n, d = standard.shape
    columns = standard[:, order]
    q, r = np.linalg.qr(columns)
    residual = q * np.diag(r)
    rows = np.arange(n)
    if n > max_samples:
        rows = np.sort(np.random.default_rng(0).choice(n, max_samples, replace=False))
    use_hsic = len(rows) >= 6
    variables = [_standardised(columns[:, k]) for k in range(d - 1)]
    residuals = [_standardised(residual[:, k]) for k in range(d)]
    # The variables' kernels serve every later residual and are kept; a
    # residual's kernel serves its own pairs only: each thread computes it,
    # and the pairs' products, in memory of its own, used again row after
    # row (fresh memory costs about as much as computing a kernel).
    samples = [columns[rows, k] for k in range(d - 1)] if use_hsic else []
    kernels = thread_map(_kernel, samples, threads)
    rooms = threading.local()

    def row_p(b: int) -> list[float]:
        """The p-values of the pairs of residual b and those before it."""
        kernel = product = None
        if use_hsic:
            if not hasattr(rooms, "kernel"):
                rooms.kernel, rooms.product = np.empty((2, len(rows), len(rows)))
            kernel = _kernel(residual[rows, b], rooms.kernel)
            product = rooms.product
        found = []
        for a in range(b):
            tests = [
                _cumulant_test(residuals[b], residuals[a]),
                _cumulant_test(residuals[b], variables[a]),
            ]
            if kernel is not None:
                hsic = _hsic_p(kernel, kernels[a], product)
                tests.append(min(1.0, HSIC_DISCOUNT * hsic))
            found.append(min(1.0, len(tests) * min(tests)))
        return found

    p_values = np.full((d, d), np.nan)
    # The longest rows first, so that the threads end together.
    later = range(d - 1, 0, -1)
    for b, found in zip(later, thread_map(row_p, later, threads), strict=True):
        for a, p in enumerate(found):
            i, j = int(order[a]), int(order[b])
            p_values[i, j] = p_values[j, i] = p
    return p_values


def hsic_p_values(residuals: np.ndarray) -> np.ndarray:
    """P-values of HSIC tests of independence between every pair of columns.

    Returns a symmetric (d, d) matrix with NaN on the diagonal. Needs at
    least 6 rows; costs O(m**2) memory per column and time per pair.
    """
    m, d = residuals.shape
    if m < 6:
        raise ValueError(f"the independence test needs at least 6 samples, got {m}")
    kernels = [_kernel(residuals[:, j]) for j in range(d)]
    p_values = np.full((d, d), np.nan)
    for i in range(d):
        for j in range(i + 1, d):
            p_values[i, j] = p_values[j, i] = _hsic_p(kernels[i], kernels[j])
    return p_values
