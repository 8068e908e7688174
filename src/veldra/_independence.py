"""Pairwise independence of residuals: the HSIC test with a gamma
approximation of its null distribution.

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

import numpy as np

__all__ = ["hsic_p_values"]


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


def hsic_p_values(residuals: np.ndarray) -> np.ndarray:
    """P-values of HSIC tests of independence between every pair of columns.

    Returns a symmetric (d, d) matrix with NaN on the diagonal. Needs at
    least 6 rows; costs O(m**2) memory per column and time per pair.
    """
    from scipy.special import gammaincc

    m, d = residuals.shape
    if m < 6:
        raise ValueError(f"the independence test needs at least 6 samples, got {m}")
    kernels = [_kernel(residuals[:, j]) for j in range(d)]
    scale = 72.0 * (m - 4) * (m - 5) / (m * (m - 1) * (m - 2) * (m - 3))
    p_values = np.full((d, d), np.nan)
    for i in range(d):
        ki, mu_i = kernels[i]
        for j in range(i + 1, d):
            kj, mu_j = kernels[j]
            product = ki * kj
            statistic = float(product.sum()) / m
            product *= product
            spread = (float(product.sum()) - float(np.trace(product))) / 36.0
            variance = scale * spread / (m * (m - 1))
            mean = (1.0 + mu_i * mu_j - mu_i - mu_j) / m
            if not (variance > 0.0 and mean > 0.0):
                p = 1.0
            else:
                shape = mean * mean / variance
                theta = variance * m / mean
                p = float(gammaincc(shape, statistic / theta))
            p_values[i, j] = p_values[j, i] = p
    return p_values
