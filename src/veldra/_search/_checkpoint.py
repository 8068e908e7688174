"""A search saved to a file and resumed from it.

A checkpoint is a NumPy ``.npz`` archive of the search's standing (the
level under way, how far it got, the totals of that level and the one
below, the sink table) and of digests of what it searched: the data, the
reference and the order constraints, so that a resume of another search is
refused. It is written to a temporary file beside it, synced and renamed
over it, so that a crash leaves the last complete checkpoint.
"""

from __future__ import annotations

import contextlib
import hashlib
import math
import os
import tempfile
import zipfile

import numpy as np

from ._state import State

__all__ = ["FORMAT", "check_writable", "input_digests", "load", "save"]

FORMAT = "veldra.checkpoint/1"


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


def load(path: str, d: int, digests: dict[str, str]) -> State | None:
    """The state saved in ``path``, None when there is no such file."""
    try:
        archive = np.load(path, allow_pickle=False)
    except FileNotFoundError:
        return None
    except (OSError, ValueError, zipfile.BadZipFile, EOFError) as error:
        raise ValueError(
            f"checkpoint {path!r} cannot be read ({error}); remove it to start afresh"
        ) from None
    with archive:
        try:
            if str(archive["format"]) != FORMAT:
                raise KeyError("format")
            for key, what in _WHAT.items():
                if str(archive[f"digest_{key}"]) != digests[key]:
                    raise ValueError(
                        f"checkpoint {path!r} belongs to a search with {what};"
                        " give another file, or remove it to start afresh"
                    )
            state = State(
                level=int(archive["level"]),
                position=int(archive["position"]),
                below=archive["below"],
                scores=archive["scores"],
                sinks=archive["sinks"],
                evaluations=int(archive["evaluations"]),
            )
        except (KeyError, TypeError, zipfile.BadZipFile, OSError) as error:
            raise ValueError(
                f"{path!r} is not a veldra checkpoint (or a damaged one: {error});"
                " remove it to start afresh"
            ) from None
    consistent = (
        1 <= state.level <= d
        and state.sinks.dtype == np.int8
        and state.sinks.shape == (1 << d,)
        and state.below.dtype == np.float32
        and state.below.shape == (math.comb(d, state.level - 1),)
        and state.scores.dtype == np.float32
        and state.scores.shape == (math.comb(d, state.level),)
        and 0 <= state.position <= state.scores.shape[0]
    )
    if not consistent:
        raise ValueError(
            f"checkpoint {path!r} is damaged (its tables do not fit a search"
            f" over {d} variables); remove it to start afresh"
        )
    return state


def save(path: str, state: State, digests: dict[str, str]) -> None:
    """Write ``state`` to ``path`` atomically: a crash leaves the old file."""
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(
        prefix=".veldra-", suffix=".ckpt.tmp", dir=directory
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
                **{f"digest_{key}": np.array(value) for key, value in digests.items()},
            )
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def check_writable(path: str) -> None:
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise ValueError(f"checkpoint {path!r}: no directory {directory!r}")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise ValueError(f"checkpoint {path!r}: cannot write in {directory!r}")
