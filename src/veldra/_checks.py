"""The values the public parameters take, checked in one place: the limits
of a search (read from the native engine), the named references, prunings
and criteria, and integer arguments. Nothing heavy is imported here (the
native module loads without NumPy), so the command line can use them before
it reads any data."""

from __future__ import annotations

import operator
from typing import Literal, get_args

from ._sweep import MAX_SAMPLES as _MAX_SAMPLES
from ._sweep import MAX_VARIABLES as _MAX_VARIABLES

__all__ = [
    "CRITERIA",
    "MAX_FEATURES",
    "MAX_SAMPLES",
    "PRUNINGS",
    "REFERENCE_NAMES",
    "Criterion",
    "Pruning",
    "ReferenceName",
    "as_int",
    "check_choice",
    "check_flag",
]

#: The most variables a search takes: its subsets are 32-bit masks.
MAX_FEATURES: int = _MAX_VARIABLES
#: The most samples a search takes: it counts rows in 32 bits.
MAX_SAMPLES: int = _MAX_SAMPLES

#: The named reference distributions residuals are compared with.
ReferenceName = Literal["normal", "uniform", "laplace"]
#: How the estimator prunes the graph's effects once the order is known.
Pruning = Literal["adaptive_lasso", "none"]
#: The information criteria that tune the adaptive lasso.
Criterion = Literal["bic", "aic"]

REFERENCE_NAMES: tuple[str, ...] = get_args(ReferenceName)
PRUNINGS: tuple[str, ...] = get_args(Pruning)
CRITERIA: tuple[str, ...] = get_args(Criterion)


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


def check_choice(value: object, choices: tuple[str, ...], name: str) -> None:
    """ValueError unless ``value`` is one of the names in ``choices``."""
    if not isinstance(value, str) or value not in choices:
        raise ValueError(
            f"{name} must be one of {', '.join(map(repr, choices))}; got {value!r}"
        )


def check_flag(value: object, name: str, expected: str = "True or False") -> bool:
    """``value`` as a bool: Python's or NumPy's booleans; TypeError otherwise,
    saying that ``name`` must be ``expected``."""
    if isinstance(value, bool):
        return value
    dtype = getattr(value, "dtype", None)
    if dtype is not None and dtype.kind == "b" and getattr(value, "shape", 1) == ():
        return bool(value)
    raise TypeError(f"{name} must be {expected}, not {value!r}")
