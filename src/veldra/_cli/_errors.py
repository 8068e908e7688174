"""The command line's two kinds of failure, each reported in one line
without a traceback."""

from __future__ import annotations

__all__ = ["EXIT_DATA", "EXIT_INTERRUPTED", "EXIT_USAGE", "DataError", "UsageError"]

EXIT_DATA = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class DataError(Exception):
    """A problem with the user's input or output (exit status 1)."""


class UsageError(Exception):
    """A command-line mistake found once the data are read, such as a
    constraint naming no column (exit status 2)."""
