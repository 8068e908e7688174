"""The reference sample residuals are compared with: the named
distributions, a quantile function or explicit values, sorted and
standardised the same way whatever their source."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from ._checks import REFERENCE_NAMES

__all__ = ["REFERENCES", "ReferenceLike", "make_reference"]

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
