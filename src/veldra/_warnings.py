"""The warnings veldra gives when an answer should not be trusted, one class
per kind, :class:`Finding`: a warning's message that remembers its kind,
kept in a result and issued by the front ends, and :func:`warn`, which every
warning of the package goes through."""

from __future__ import annotations

import os
import sys
import warnings
from collections.abc import Iterable
from typing import Any, Self

__all__ = [
    "DataWarning",
    "DependentResidualsWarning",
    "DiscreteDataWarning",
    "DuplicateRowsWarning",
    "Finding",
    "IdentifiabilityWarning",
    "NarrowMarginWarning",
    "OutlierWarning",
    "RowIndexWarning",
    "VeldraWarning",
    "issue",
    "warn",
]

# Frames of files under this directory are veldra's own.
_PACKAGE = os.path.dirname(__file__) + os.sep


class VeldraWarning(UserWarning):
    """Base of veldra's warnings: something about the data or the fit makes
    the order less trustworthy than the search's exactness suggests."""


class DataWarning(VeldraWarning):
    """Base of the warnings about the data, given before the search."""


class DiscreteDataWarning(DataWarning):
    """A column takes few distinct values, or many rows share one value.

    The score assumes continuous noise; around such a column the order is
    not reliable.
    """


class OutlierWarning(DataWarning):
    """A handful of rows lie far beyond the rest of a column's tail, so they
    alone decide how non-Gaussian the column looks."""


class DuplicateRowsWarning(DataWarning):
    """A real share of the rows are copies of others: each copy counts as a
    new sample in every p-value and in the margin's noise."""


class RowIndexWarning(DataWarning):
    """The first column holds the row numbers 0, 1, 2, ... (or 1, 2, 3,
    ...): it looks like an index written out with the data."""


class IdentifiabilityWarning(VeldraWarning):
    """The data cannot pin the causal order down.

    Given by :func:`veldra.causal_order` and
    :meth:`veldra.ExhaustiveOrdering.fit` when too few of the variables have
    clearly non-Gaussian residuals, or when the samples are very few for the
    number of variables. The order returned is then no better evidence of
    causation than any other.
    """


class DependentResidualsWarning(VeldraWarning):
    """Residuals that the model says are independent are not: a hidden
    common cause, a non-linear link or a wrong order."""


class NarrowMarginWarning(VeldraWarning):
    """The best order's lead over the runner-up is within its sampling
    noise (or is a tie): resampled rows would often rank them the other way."""


class Finding(str):
    """A warning's message, with its kind in ``category``."""

    category: type[Warning]

    def __new__(cls, category: type[Warning], message: str) -> Self:
        finding = super().__new__(cls, message)
        finding.category = category
        return finding

    def __reduce__(self) -> tuple[Any, ...]:
        return (Finding, (self.category, str(self)))


def warn(message: str | Warning, category: type[Warning] | None = None) -> None:
    """:func:`warnings.warn`, reported at the line that called into veldra.

    The stack level is counted out of the package's own frames, however
    deep the call, so that the warning names the user's file and line (and
    the filters for it, such as DeprecationWarning's in ``__main__``, apply).
    """
    frame = sys._getframe(1)
    level = 2  # that frame's, counted from warnings.warn's caller: this one
    while frame.f_back is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame = frame.f_back
        level += 1
    warnings.warn(message, category, stacklevel=level)


def issue(findings: Iterable[str]) -> None:
    """Issue each finding as a warning of its kind (a plain message, as read
    back from a record, as a :class:`VeldraWarning`)."""
    for finding in findings:
        warn(str(finding), getattr(finding, "category", VeldraWarning))


for _class in (
    VeldraWarning,
    DataWarning,
    DiscreteDataWarning,
    OutlierWarning,
    DuplicateRowsWarning,
    RowIndexWarning,
    IdentifiabilityWarning,
    DependentResidualsWarning,
    NarrowMarginWarning,
):
    _class.__module__ = "veldra"  # where users import them from
