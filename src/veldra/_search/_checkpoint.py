"""A search saved to a file and resumed from it.

A checkpoint is a NumPy ``.npz`` archive of the search's standing (the
level under way, how far it got, the totals of that level and the one
below, the sink table) and of digests of what it searched: the data, the
reference and the order constraints, so that a resume of another search is
refused. It is written to a temporary file beside it, synced and renamed
over it, so that a crash leaves the last complete checkpoint.

A checkpoint belongs to one search at a time: a lock file beside it, held
while the search runs, says by whom. A file that is not a checkpoint is
never written over, and one is read with every size checked against the
search before anything is allocated, straight into the search's tables.
"""

from __future__ import annotations

import contextlib
import datetime
import errno
import fcntl
import hashlib
import io
import math
import os
import socket
import tempfile
import zipfile
from typing import Any

import numpy as np

from .._warnings import warn
from ._state import State

__all__ = [
    "FORMAT",
    "CheckpointError",
    "CheckpointFile",
    "CheckpointWarning",
    "input_digests",
]

FORMAT = "veldra.checkpoint/1"

# The small members (format, level, digests...) are read whole up to this.
_SMALL_BYTES = 4096
# The tables are read through a buffer of this size, not whole.
_CHUNK_BYTES = 1 << 20
_TEMPORARY_SUFFIX = ".veldra.tmp"
_LOCK_SUFFIX = ".lock"
_LOCK_HEADER = "veldra checkpoint lock\n"


class CheckpointError(ValueError):
    """A checkpoint that cannot be used: a path that cannot hold one, a file
    that is not one (left as it is), a damaged one, one of another search,
    or one in use by another search."""


class CheckpointWarning(UserWarning):
    """Writing the checkpoint failed during a search: the search goes on
    without saving, and its result is returned as usual."""


for _class in (CheckpointError, CheckpointWarning):
    _class.__module__ = "veldra"  # where users import them from


def input_digests(
    standard: np.ndarray, reference: np.ndarray, predecessors: np.ndarray
) -> dict[str, str]:
    """What a checkpoint must match: the data, the reference, the constraints."""

    def digest(*arrays: np.ndarray) -> str:
        h = hashlib.sha256()
        for a in arrays:
            h.update(str((a.dtype.str, a.shape)).encode())
            h.update(np.ascontiguousarray(a).data)
        return h.hexdigest()

    return {
        "data": digest(standard),
        "reference": digest(reference),
        "constraints": digest(predecessors),
    }


_WHAT = {
    "data": "other data",
    "reference": "another reference",
    "constraints": "other order constraints (prior knowledge)",
}


class _Damaged(Exception):
    """What is wrong inside a file that says it is a checkpoint."""


def _kind_of_file(path: str) -> str:
    """What a file that is not a checkpoint looks like, for the message."""
    try:
        with open(path, "rb") as file:
            head = file.read(4096)
    except OSError as error:
        return f"a file that cannot be read ({error.strerror})"
    if head.startswith(b"\x93NUMPY"):
        return "a NumPy array file"
    if head.startswith(b"PK"):
        return "a zip archive (such as a NumPy .npz file) of other contents"
    try:
        head.decode("utf-8")
    except UnicodeDecodeError as error:
        if error.start < len(head) - 4:  # not a character cut at the end
            return "a binary file"
    return "a binary file" if b"\0" in head else "a text file"


def _read_small(archive: zipfile.ZipFile, key: str) -> Any:
    try:
        info = archive.getinfo(f"{key}.npy")
    except KeyError:
        raise _Damaged(f"no {key!r}") from None
    if info.file_size > _SMALL_BYTES:
        raise _Damaged(f"{key!r} is {info.file_size} bytes")
    with archive.open(info) as member:
        raw = member.read(_SMALL_BYTES + 1)
    if len(raw) > _SMALL_BYTES:
        raise _Damaged(f"{key!r} is larger than it says")
    try:
        value = np.load(io.BytesIO(raw), allow_pickle=False)
    except (ValueError, EOFError, OSError) as error:
        raise _Damaged(f"{key!r}: {error}") from None
    if not isinstance(value, np.ndarray) or value.shape != ():
        raise _Damaged(f"{key!r} is not a single value")
    return value[()]


def _read_table(archive: zipfile.ZipFile, key: str, into: np.ndarray) -> None:
    """Read a table member into ``into``, which fixes its type and size."""
    try:
        info = archive.getinfo(f"{key}.npy")
    except KeyError:
        raise _Damaged(f"no {key!r}") from None
    with archive.open(info) as member:
        try:
            version = np.lib.format.read_magic(member)
            if version == (1, 0):
                shape, _fortran, dtype = np.lib.format.read_array_header_1_0(member)
            elif version == (2, 0):
                shape, _fortran, dtype = np.lib.format.read_array_header_2_0(member)
            else:
                raise ValueError(f"array format {version}")
        except (ValueError, EOFError, SyntaxError) as error:
            raise _Damaged(f"{key!r}: {error}") from None
        if shape != into.shape or dtype != into.dtype:
            raise _Damaged(
                f"{key!r} holds {dtype} of shape {shape},"
                f" not {into.dtype} of shape {into.shape}"
            )
        target = memoryview(into.reshape(-1).view(np.uint8))
        done = 0
        while done < len(target):
            chunk = member.read(min(_CHUNK_BYTES, len(target) - done))
            if not chunk:
                raise _Damaged(f"{key!r} is cut short")
            target[done : done + len(chunk)] = chunk
            done += len(chunk)
        if member.read(1):
            raise _Damaged(f"{key!r} is longer than its table")


class CheckpointFile:
    """The checkpoint of one search: checked, locked for the search and
    cleared of temporaries left by a killed one when made; :meth:`close`
    lets it go."""

    def __init__(self, path: str | os.PathLike[str], digests: dict[str, str]):
        self.path = os.fspath(path)
        self.digests = digests
        #: Why writing stopped, once it has failed.
        self.failure: OSError | None = None
        self._check_path()
        self._lock = self._take_lock()
        try:
            self._clear_temporaries()
        except BaseException:
            self.close()
            raise

    # What the path is, before anything is written.

    def _refuse(self, what: str) -> CheckpointError:
        return CheckpointError(f"checkpoint {self.path!r}: {what}")

    def _check_path(self) -> None:
        if not self.path:
            raise CheckpointError("the checkpoint's path is empty: give a file name")
        directory = os.path.dirname(os.path.abspath(self.path))
        if os.path.isdir(self.path):
            raise self._refuse(
                "is a directory: give a file name, such as"
                f" {os.path.join(self.path, 'search.ckpt')!r}"
            )
        if not os.path.isdir(directory):
            raise self._refuse(f"no directory {directory!r}")
        if os.path.lexists(self.path) and not os.path.isfile(self.path):
            raise self._refuse(
                "is not a regular file (a device, a pipe, a socket or a broken"
                " link); give the path of a new file"
            )

    def _not_a_checkpoint(self) -> CheckpointError:
        return self._refuse(
            f"is {_kind_of_file(self.path)}, not a veldra checkpoint; veldra"
            " leaves it as it is: give another path for the checkpoint"
        )

    # One search at a time.

    def _take_lock(self) -> int:
        lock_path = self.path + _LOCK_SUFFIX
        while True:
            try:
                handle = os.open(lock_path, os.O_RDWR | os.O_CREAT, 0o644)
            except OSError as error:
                raise self._refuse(
                    f"cannot write beside it ({error.strerror}): give a path in"
                    " a directory where files can be written"
                ) from None
            try:
                held = os.read(handle, 4096).decode("utf-8", "replace")
                if held and not held.startswith(_LOCK_HEADER):
                    raise self._refuse(
                        f"{lock_path!r} is not veldra's lock file; veldra leaves"
                        " it as it is: give another path for the checkpoint"
                    )
                try:
                    fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except OSError as error:
                    if error.errno not in (errno.EAGAIN, errno.EACCES):
                        raise
                    holder = held[len(_LOCK_HEADER) :].strip() or "another search"
                    raise self._refuse(
                        f"in use by {holder}; wait until that search ends, or"
                        " give another path"
                    ) from None
                # The lock file may have been let go and removed between our
                # open and our lock: then take the new one.
                try:
                    current = os.stat(lock_path)
                except FileNotFoundError:
                    current = None
                mine = os.fstat(handle)
                if current is None or (current.st_ino, current.st_dev) != (
                    mine.st_ino,
                    mine.st_dev,
                ):
                    os.close(handle)
                    continue
                since = (
                    datetime.datetime.now().astimezone().isoformat(timespec="seconds")
                )
                holder = (
                    f"{_LOCK_HEADER}a search on host {socket.gethostname()},"
                    f" process {os.getpid()}, since {since}\n"
                )
                os.ftruncate(handle, 0)
                os.pwrite(handle, holder.encode(), 0)
                return handle
            except BaseException:
                with contextlib.suppress(OSError):
                    os.close(handle)
                raise

    def close(self) -> None:
        """Let the checkpoint go: the lock file is removed while still held."""
        if self._lock < 0:
            return
        with contextlib.suppress(OSError):
            os.unlink(self.path + _LOCK_SUFFIX)
        with contextlib.suppress(OSError):
            os.close(self._lock)
        self._lock = -1

    def _temporary_prefix(self) -> str:
        return "." + os.path.basename(self.path) + "-"

    def _clear_temporaries(self) -> None:
        # Under the lock, a temporary of this checkpoint is one a killed
        # search left behind.
        directory = os.path.dirname(os.path.abspath(self.path))
        prefix = self._temporary_prefix()
        for name in os.listdir(directory):
            if name.startswith(prefix) and name.endswith(_TEMPORARY_SUFFIX):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(directory, name))

    # Reading.

    def load(
        self, d: int, buffers: tuple[np.ndarray, np.ndarray], sinks: np.ndarray
    ) -> State | None:
        """The saved state, read into ``buffers`` (room for two levels'
        totals) and ``sinks``; None when there is no checkpoint yet."""
        try:
            if os.path.getsize(self.path) == 0:
                return None  # an empty file holds nothing to keep
        except FileNotFoundError:
            return None
        except OSError as error:
            raise self._refuse(f"cannot be read ({error.strerror})") from None
        try:
            archive = zipfile.ZipFile(self.path)
        except (zipfile.BadZipFile, OSError, ValueError, EOFError):
            raise self._not_a_checkpoint() from None
        with archive:
            try:
                if str(_read_small(archive, "format")) != FORMAT:
                    raise _Damaged("format")
            except (_Damaged, zipfile.BadZipFile, OSError, EOFError):
                raise self._not_a_checkpoint() from None
            try:
                return self._read_state(archive, d, buffers, sinks)
            except (_Damaged, zipfile.BadZipFile, OSError, EOFError) as error:
                raise self._refuse(
                    f"is damaged ({error}); veldra leaves it as it is: give"
                    " another path to start afresh"
                ) from None

    def _read_state(
        self,
        archive: zipfile.ZipFile,
        d: int,
        buffers: tuple[np.ndarray, np.ndarray],
        sinks: np.ndarray,
    ) -> State:
        for key, what in _WHAT.items():
            if str(_read_small(archive, f"digest_{key}")) != self.digests[key]:
                raise self._refuse(
                    f"belongs to a search with {what}; give another path for"
                    " this search's checkpoint"
                )
        numbers = {}
        for key in ("level", "position", "evaluations"):
            value = _read_small(archive, key)
            if not isinstance(value, np.integer):
                raise _Damaged(f"{key!r} is not an integer")
            numbers[key] = int(value)
        level = numbers["level"]
        if not 1 <= level <= d:
            raise _Damaged(f"level {level} of a search over {d} variables")
        size = math.comb(d, level)
        if not 0 <= numbers["position"] <= size or numbers["evaluations"] < 0:
            raise _Damaged(f"position {numbers['position']} in a level of {size}")
        below = buffers[0][: math.comb(d, level - 1)]
        scores = buffers[1][:size]
        for key, table in (("sinks", sinks), ("below", below), ("scores", scores)):
            _read_table(archive, key, table)
        return State(
            level, numbers["position"], below, scores, sinks, numbers["evaluations"]
        )

    # Writing.

    def save(self, state: State) -> bool:
        """Write ``state``; on failure warn once and write no more. True
        when it was written."""
        if self.failure is not None:
            return False
        try:
            self.write(state)
        except OSError as error:
            self.failure = error
            warn(
                CheckpointWarning(
                    f"the checkpoint {self.path!r} could not be written"
                    f" ({error.strerror or error}); the search goes on without"
                    " saving, and the last checkpoint written is kept"
                )
            )
            return False
        return True

    def write(self, state: State) -> None:
        """Write ``state`` atomically: a crash leaves the old file."""
        directory = os.path.dirname(os.path.abspath(self.path))
        handle, temporary = tempfile.mkstemp(
            prefix=self._temporary_prefix(), suffix=_TEMPORARY_SUFFIX, dir=directory
        )
        try:
            with os.fdopen(handle, "wb") as file:
                np.savez(
                    file,
                    format=np.array(FORMAT),
                    level=np.array(state.level),
                    position=np.array(state.position),
                    below=state.below,
                    scores=state.scores,
                    sinks=state.sinks,
                    evaluations=np.array(state.evaluations),
                    **{
                        f"digest_{key}": np.array(value)
                        for key, value in self.digests.items()
                    },
                )
                file.flush()
                os.fsync(file.fileno())
            os.replace(temporary, self.path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise
