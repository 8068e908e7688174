"""What the command line writes: results to standard output, messages to
standard error, and output files put in place only when complete."""

from __future__ import annotations

import contextlib
import os
import stat
import sys
import tempfile
from dataclasses import dataclass

from ._errors import DataError

__all__ = [
    "Output",
    "emit",
    "open_output",
    "remove_temporary_files",
    "say",
    "silence_stdout",
    "write_output",
]

# Temporary files of outputs not yet in place, removed on any exit.
_temporary_files: list[str] = []


@dataclass
class Output:
    """A file to be written once the results are known.

    A regular file is written to a temporary file beside it, made when the
    command starts (so that an unwritable place is reported before the
    search), and renamed over it at the end: a failed write never leaves a
    truncated file nor harms an existing one. Anything else (a device, a
    pipe) is written directly.
    """

    path: str
    target: str
    temporary: str | None
    mode: int


def open_output(path: str) -> Output:
    if not path:
        raise DataError("the output file name is empty")
    target = os.path.realpath(path)  # a symbolic link stays one
    if os.path.isdir(target):
        raise DataError(f"{path}: is a directory, not a file")
    try:
        existing = os.stat(target)
    except FileNotFoundError:
        existing = None
    except OSError as error:
        raise DataError(f"{path}: cannot write: {error.strerror}") from None
    if existing is not None and not os.access(target, os.W_OK):
        raise DataError(f"{path}: cannot write: permission denied")
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        return Output(path, target, None, 0)
    if existing is not None:
        mode = stat.S_IMODE(existing.st_mode)
    else:
        umask = os.umask(0o022)
        os.umask(umask)
        mode = 0o666 & ~umask
    directory, name = os.path.split(target)
    try:
        handle, temporary = tempfile.mkstemp(
            prefix=f".{name}.", suffix=".tmp", dir=directory or "."
        )
    except OSError as error:
        raise DataError(f"{path}: cannot write: {error.strerror}") from None
    os.close(handle)
    _temporary_files.append(temporary)
    return Output(path, target, temporary, mode)


def write_output(output: Output, content: str | bytes) -> None:
    """Put ``content`` (text, or the bytes of a picture) in place."""
    data = content.encode() if isinstance(content, str) else content
    try:
        if output.temporary is None:
            with open(output.target, "wb") as stream:
                stream.write(data)
            return
        with open(output.temporary, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        os.chmod(output.temporary, output.mode)
        os.replace(output.temporary, output.target)
        _temporary_files.remove(output.temporary)
    except OSError as error:
        raise DataError(f"{output.path}: cannot write: {error.strerror}") from None


def remove_temporary_files() -> None:
    while _temporary_files:
        with contextlib.suppress(OSError):
            os.unlink(_temporary_files.pop())


def emit(text: str) -> None:
    """Write ``text`` to stdout and flush it, so that a failure shows here."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        silence_stdout()
        raise DataError(
            f"cannot write the results to standard output: {error.strerror}"
        ) from None


def silence_stdout() -> None:
    # What is left in the buffer would fail again when Python exits.
    with contextlib.suppress(OSError, ValueError, AttributeError):
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)


def say(text: str) -> None:
    """One line on stderr, if there is a stderr."""
    if sys.stderr is None:
        return
    with contextlib.suppress(OSError, ValueError):
        sys.stderr.write(text + "\n")
        sys.stderr.flush()
