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

import numpy as np

__all__ = ["hsic_p_values", "order_dependence_p_values"]

# The kernel test's p-value counts for this many times its value in the
# order's check: least-squares residuals of heavy-tailed data (log-normal
# noise, n = 1000) keep a dependence on their regressors, from the fit's own
# leverage, that the kernel test finds at p = 1e-5 to 1e-19 in a third of
# clean data sets; misspecification (a non-linear link) gives far smaller.
HSIC_DISCOUNT = 1e4


def _kernel(x: np.ndarray) -> tuple[np.ndarray, float]:
    """The centred Gaussian-kernel Gram matrix of x and the mean of its
    off-diagonal entries."""
    m = len(x)
    square = np.subtract.outer(x, x)
    square *= square
    width = float(np.median(square[np.triu_indices(m, 1)]))
    if not width > 0.0:  # most values equal: fall back to the spread
        width = float(np.mean(square)) or 1.0
    gram = np.exp(square * (-0.5 / width))
    off_diagonal = (float(gram.sum()) - m) / (m * (m - 1))
    row = gram.mean(axis=0)
    gram -= row
    gram -= row[:, np.newaxis]
    gram += row.mean()
    return gram, off_diagonal


def _hsic_p(first: tuple[np.ndarray, float], second: tuple[np.ndarray, float]) -> float:
    """The HSIC test's p-value from two samples' :func:`_kernel` results."""
    from scipy.special import gammaincc

    (ki, mu_i), (kj, mu_j) = first, second
    m = len(ki)
    scale = 72.0 * (m - 4) * (m - 5) / (m * (m - 1) * (m - 2) * (m - 3))
    product = ki * kj
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
    from scipy.special import ndtr

    su, sv = float(u.std()), float(v.std())
    if not (su > 0.0 and sv > 0.0):
        return 1.0
    u = (u - u.mean()) / su
    v = (v - v.mean()) / sv
    u2, v2 = u * u - 1.0, v * v - 1.0
    largest = 0.0
    for w in (u2 * v, u * v2, u2 * v2):
        spread = float(w.std(ddof=1))
        if spread > 0.0:
            largest = max(largest, abs(float(w.mean())) / spread * math.sqrt(len(w)))
    return min(1.0, 6.0 * float(ndtr(-largest)))


def order_dependence_p_values(
    standard: np.ndarray, order: np.ndarray, max_samples: int
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
    diagonal.
    """
    n, d = standard.shape
    columns = standard[:, order]
    q, r = np.linalg.qr(columns)
    residual = q * np.diag(r)
    rows = np.arange(n)
    if n > max_samples:
        rows = np.sort(np.random.default_rng(0).choice(n, max_samples, replace=False))
    use_hsic = len(rows) >= 6
    kernels_e = [_kernel(residual[rows, k]) for k in range(1, d)] if use_hsic else []
    kernels_x = [_kernel(columns[rows, k]) for k in range(d - 1)] if use_hsic else []
    p_values = np.full((d, d), np.nan)
    for b in range(d):
        for a in range(b):
            tests = [
                _cumulant_p(residual[:, b], residual[:, a]),
                _cumulant_p(residual[:, b], columns[:, a]),
            ]
            if use_hsic:
                hsic = _hsic_p(kernels_e[b - 1], kernels_x[a])
                tests.append(min(1.0, HSIC_DISCOUNT * hsic))
            p = min(1.0, len(tests) * min(tests))
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
