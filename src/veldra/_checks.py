"""Argument checks shared by the public functions."""

from __future__ import annotations

import operator

__all__ = ["as_int"]


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
