"""Argument checks and limits shared by the public functions and the command
line; nothing heavy is imported here."""

from __future__ import annotations

import operator

__all__ = ["CRITERIA", "MAX_FEATURES", "PRUNINGS", "REFERENCE_NAMES", "as_int"]

#: The largest number of variables the exhaustive search accepts.
MAX_FEATURES = 30

#: The named reference distributions (see ``veldra._api.REFERENCES``).
REFERENCE_NAMES = ("normal", "uniform", "laplace")

#: How the estimator prunes the graph's effects, and the criteria of its lasso.
PRUNINGS = ("adaptive_lasso", "none")
CRITERIA = ("bic", "aic")


def as_int(value: object, name: str) -> int:
    """``value`` as a Python int; TypeError for bool and non-integers."""
    # bool is an int subclass, but True threads or samples is a mistake.
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"{name} must be an integer, not {type(value).__name__}"
        ) from None
