"""Numbers and columns as people read them: durations, byte counts and
effects, as every report, progress line and estimate of veldra writes them,
and the columns its messages name, with any control characters in their
names escaped. Nothing heavy is imported here."""

from __future__ import annotations

import unicodedata
from collections.abc import Sequence

__all__ = [
    "column_label",
    "column_labels",
    "column_name",
    "default_names",
    "escape_controls",
    "format_bytes",
    "format_number",
    "format_seconds",
    "plural",
]


def format_bytes(count: float) -> str:
    """A byte count with a binary unit, e.g. ``'12.0 MiB'``."""
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB", "PiB"):
        if count < 1024 or unit == "PiB":
            return f"{count:.0f} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")


def format_seconds(seconds: float) -> str:
    """A duration in the largest fitting unit, e.g. ``'3.2 min'``."""
    for unit, size in (("years", 365.25 * 86400), ("days", 86400), ("h", 3600)):
        if seconds >= size:
            return f"{seconds / size:.1f} {unit}"
    if seconds >= 60:
        return f"{seconds / 60:.1f} min"
    if seconds >= 1:
        return f"{seconds:.1f} s"
    return f"{seconds * 1000:.0f} ms"


def format_number(value: float) -> str:
    """An effect or weight to four significant digits; zero as ``'0'``."""
    return "0" if value == 0 else f"{value:.4g}"


def plural(count: int, noun: str) -> str:
    """``'1 thread'``, ``'2 threads'``."""
    return f"{count} {noun}{'s' if count != 1 else ''}"


# Control, format (such as the bidirectional overrides), surrogate and
# line-breaking characters: a terminal acts on them or cannot show them.
_CONTROL_CATEGORIES = frozenset({"Cc", "Cf", "Cs", "Zl", "Zp"})


def escape_controls(text: str) -> str:
    """``text`` with its control characters escaped as in a string's repr
    (``\\x1b``, ``\\x00``, ``\\u202e``) and every other character as it is:
    names and the messages that hold them, shown as text, so that a column's
    name cannot move, recolour or rewrite what a terminal shows."""
    if text.isprintable():
        return text
    return "".join(
        repr(c)[1:-1] if unicodedata.category(c) in _CONTROL_CATEGORIES else c
        for c in text
    )


def column_label(index: int, names: Sequence[str] | None) -> str:
    """``'column 3'``, or ``"column 'age'"`` when the columns have names."""
    return f"column {index if names is None else repr(names[index])}"


def column_labels(indices: Sequence[int], names: Sequence[str] | None) -> str:
    """``'columns 0, 1 and 2'`` (the first ten, then how many more)."""
    items = [str(i) if names is None else repr(names[i]) for i in indices]
    head = "column " if len(items) == 1 else "columns "
    if len(items) > 10:
        items = [*items[:10], f"{len(indices) - 10} more"]
    if len(items) == 1:
        return head + items[0]
    return head + ", ".join(items[:-1]) + " and " + items[-1]


def column_name(index: int, names: Sequence[str] | None) -> str:
    """A column's name for a message (its control characters escaped), or
    ``x3`` for column 3 of data without names."""
    return f"x{index}" if names is None else escape_controls(names[index])


def default_names(d: int) -> tuple[str, ...]:
    """Names of unnamed columns: x0, x1, ... (as the command line's
    ``--no-header`` gives them)."""
    return tuple(column_name(j, None) for j in range(d))
