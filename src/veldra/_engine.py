"""The search driven level by level from Python.

The native engine (:mod:`veldra._sweep`) computes any range of one level's
subsets. Driving it in ranges of a fraction of a second lets a search report
progress, stop at Ctrl-C, save itself to a checkpoint file and resume from
one, and skip the subsets that order constraints rule out. The tables and
the best score are bit for bit those of the one-call search
(:func:`veldra._exhaustive_kernel._sink_dp`).
"""

from __future__ import annotations

import contextlib
import hashlib
import math
import os
import sys
import tempfile
import time
import zipfile
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

#: Called with (evaluations done, evaluations in all, seconds since the call
#: began) when the search starts, after every range and at the end.
ProgressCallback = Callable[[int, int, float], object]

# A range of a level is sized to take about this long: Ctrl-C waits for it.
_RANGE_SECONDS = 0.2
# Within a level, a checkpoint is written at most this often; at the end of a
# level whenever writing has taken no more than 5 % of the time since the last.
CHECKPOINT_SECONDS = 60.0
_WRITE_SHARE = 0.05
_FORMAT = "veldra.checkpoint/1"


@dataclass
class _State:
    """Where a search stands: ``level`` is being computed, its first
    ``position`` subsets are done."""

    level: int
    position: int
    below: np.ndarray  # totals of level - 1, by rank
    scores: np.ndarray  # totals of level, by rank, the first `position` done
    sinks: np.ndarray  # int8, by mask
    evaluations: int


def _level_buffers(d: int) -> tuple[np.ndarray, np.ndarray]:
    """Room for the totals of any two neighbouring levels, allocated at the
    start so that a search that cannot fit fails at once, not hours in."""
    width = math.comb(d, d // 2)
    return np.empty(width, np.float32), np.empty(width, np.float32)


def _level_table(buffer: np.ndarray, d: int, level: int) -> np.ndarray:
    table = buffer[: math.comb(d, level)]
    table.fill(0.0)
    return table


def table_bytes(d: int) -> int:
    """The search's tables: a sink per subset (int8) and room for the totals
    (float32) of two levels of the widest size."""
    return 2**d + 8 * math.comb(d, d // 2)


def _digests(
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


def _load(path: str, d: int, digests: dict[str, str]) -> _State | None:
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
            if str(archive["format"]) != _FORMAT:
                raise KeyError("format")
            for key, what in _WHAT.items():
                if str(archive[f"digest_{key}"]) != digests[key]:
                    raise ValueError(
                        f"checkpoint {path!r} belongs to a search with {what};"
                        " give another file, or remove it to start afresh"
                    )
            state = _State(
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


def _save(path: str, state: _State, digests: dict[str, str]) -> None:
    """Write ``state`` to ``path`` atomically: a crash leaves the old file."""
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(
        prefix=".veldra-", suffix=".ckpt.tmp", dir=directory
    )
    try:
        with os.fdopen(handle, "wb") as file:
            np.savez(
                file,
                format=np.array(_FORMAT),
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


def _check_writable(path: str) -> None:
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise ValueError(f"checkpoint {path!r}: no directory {directory!r}")
    if not os.access(directory, os.W_OK | os.X_OK):
        raise ValueError(f"checkpoint {path!r}: cannot write in {directory!r}")


@dataclass
class Outcome:
    """A finished search: its sink table (int8, by mask), best total score,
    the scores evaluated in all (before a resume included) and the
    instruction set that computed them, by where they ran ("local" or a
    worker's address)."""

    sinks: np.ndarray
    score: float
    n_evaluations: int
    instruction_sets: dict[str, str] = field(default_factory=dict)
    n_threads: int = 1
    levels: list[Any] = field(default_factory=list)  # per level, on a cluster


def run(
    standard: np.ndarray,
    gram: np.ndarray,
    reference: np.ndarray,
    n_threads: int,
    *,
    predecessors: Sequence[int] | None = None,
    progress: ProgressCallback | None = None,
    checkpoint: str | os.PathLike[str] | None = None,
    client: Any = None,
) -> Outcome:
    """Run the whole search on standardised data, level by level.

    ``predecessors[j]`` is the bit mask of the variables that must come
    before variable j. ``progress`` is called as its type says. With
    ``checkpoint``, the search resumes from that file when it holds a
    search of the same data, reference and constraints (and refuses one of
    another), and saves itself there from time to time, when interrupted
    and at the end. With a Dask ``client``, the levels are computed on its
    workers (``n_threads`` is then unused).
    """
    from ._sweep import _evaluation_counts, _instruction_set, _sweep_level

    start = time.perf_counter()
    _n, d = standard.shape
    before = np.array(
        [] if predecessors is None else list(predecessors), dtype=np.int32
    )
    if not before.any():
        before = np.zeros(0, dtype=np.int32)
    per_level = _evaluation_counts(d, before)
    total = sum(per_level)
    columns = np.ascontiguousarray(standard.T)

    path = None if checkpoint is None else os.fspath(checkpoint)
    digests: dict[str, str] = {}
    state = None
    if path is not None:
        _check_writable(path)
        digests = _digests(standard, reference, before)
        state = _load(path, d, digests)
    buffers = _level_buffers(d)
    if state is None:
        sinks = np.full(1 << d, -1, dtype=np.int8)
        below = _level_table(buffers[0], d, 0)
        state = _State(1, 0, below, _level_table(buffers[1], d, 1), sinks, 0)
    else:
        for buffer, name in zip(buffers, ("below", "scores"), strict=True):
            table = buffer[: getattr(state, name).shape[0]]
            table[:] = getattr(state, name)
            setattr(state, name, table)
    saved = (state.level, state.position)
    last_save, write_seconds = time.perf_counter(), 0.0

    def save(interval: float) -> None:
        nonlocal saved, last_save, write_seconds
        now = time.perf_counter()
        if path is None or saved == (state.level, state.position):
            return
        if now - last_save < max(interval, write_seconds / _WRITE_SHARE):
            return
        _save(path, state, digests)
        saved = (state.level, state.position)
        last_save = time.perf_counter()
        write_seconds = last_save - now

    def report(ahead: int = 0) -> None:
        if progress is not None:
            progress(state.evaluations + ahead, total, time.perf_counter() - start)

    stack = contextlib.ExitStack()
    session = None
    if client is not None:
        from . import _distributed

        session = _distributed.start(client, columns, gram, reference, before)
        stack.callback(session.close)
    report()
    seconds_per_evaluation = math.nan
    try:
        while True:
            level, size = state.level, state.scores.shape[0]
            per_position = per_level[level] / size
            if session is not None:
                _distributed.sweep_level(
                    session,
                    state,
                    per_position,
                    report,
                    lambda: save(CHECKPOINT_SECONDS),
                )
            while state.position < size:
                # Ranges of about _RANGE_SECONDS, judged by the last one.
                if math.isnan(seconds_per_evaluation) or per_position == 0:
                    count = n_threads  # a mask per thread, to time them
                else:
                    count = _RANGE_SECONDS / (seconds_per_evaluation * per_position)
                count = max(1, min(size - state.position, int(count)))
                began = time.perf_counter()
                done = _sweep_level(
                    columns,
                    gram,
                    reference,
                    level,
                    state.position,
                    state.position + count,
                    state.below,
                    state.scores,
                    state.sinks,
                    before,
                    n_threads,
                )
                took = time.perf_counter() - began
                if done:
                    seconds_per_evaluation = took / done
                state.position += count
                state.evaluations += done
                report()
                save(CHECKPOINT_SECONDS)
            if level == d:
                break
            # The level below is let go before the next is made: two levels
            # at a time at most.
            state.level, state.position = level + 1, 0
            free = buffers[1] if state.scores.base is buffers[0] else buffers[0]
            state.below = state.scores
            state.scores = _level_table(free, d, level + 1)
            save(0.0)
    except BaseException as error:
        # What is done so far is kept, whatever stopped the search.
        if path is not None and saved != (state.level, state.position):
            try:
                _save(path, state, digests)
            except OSError as failure:
                error.add_note(f"the checkpoint could not be saved: {failure}")
        raise
    finally:
        stack.close()
    if path is not None and saved != (state.level, state.position):
        _save(path, state, digests)
    if session is None:
        where, threads = {"local": _instruction_set()}, n_threads
    else:
        where, threads = session.instruction_sets, session.threads
    return Outcome(
        state.sinks,
        float(state.scores[0]),
        state.evaluations,
        where,
        threads,
        [] if session is None else session.levels,
    )


# ----------------------------------------------------------------------------
# Progress shown to the user


def _plain_bar(stream: Any) -> tuple[ProgressCallback, Callable[[], None]]:
    """A progress line on ``stream``, rewritten in place on a terminal."""
    from ._cost import format_seconds

    tty = bool(getattr(stream, "isatty", lambda: False)())
    interval = 0.5 if tty else 10.0
    shown = {"next": 0.0, "any": False}

    def update(done: int, total: int, seconds: float) -> None:
        if seconds < shown["next"] and done < total:
            return
        shown["next"] = seconds + interval
        stream.write(
            ("\r" if tty else "") + progress_text(done, total, seconds, format_seconds)
        )
        stream.write("\033[K" if tty else "\n")
        stream.flush()
        shown["any"] = True

    def close() -> None:
        if tty and shown["any"]:
            stream.write("\n")
            stream.flush()

    return update, close


def progress_text(
    done: int, total: int, seconds: float, format_seconds: Callable[[float], str]
) -> str:
    """'searching: 42.0 %, 1.2 s elapsed, about 1.7 s left'."""
    share = done / total if total else 1.0
    text = f"searching: {100 * share:.1f} %, {format_seconds(seconds)} elapsed"
    if 0 < share < 1 and seconds > 0:
        text += f", about {format_seconds(seconds * (1 - share) / share)} left"
    return text


@contextlib.contextmanager
def progress_bar() -> Iterator[ProgressCallback]:
    """A ready progress display: tqdm's (also in notebooks) when installed,
    else a plain line on stderr."""
    try:
        from tqdm.auto import tqdm
    except ImportError:
        update, close = _plain_bar(sys.stderr)
        try:
            yield update
        finally:
            close()
        return
    bar = tqdm(total=None, unit="eval", unit_scale=True, desc="veldra")
    try:

        def update(done: int, total: int, seconds: float) -> None:
            if bar.total != total:
                bar.total = total
            bar.update(done - bar.n)

        yield update
    finally:
        bar.close()
