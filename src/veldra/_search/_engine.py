"""The search driven level by level from Python.

The native engine (``veldra._sweep``) computes any range of one level's
subsets. Driving it a level at a time lets a search report progress, stop at
Ctrl-C, save itself to a checkpoint file and resume from one, and skip the
subsets that order constraints rule out. Each level is handed to an
executor, which computes the rest of it: :class:`LocalExecutor` on this
machine's threads, or the Dask executor of ``_cluster``, which this module
never imports. The tables and the best score are bit for bit those of the
one-call search (``veldra._exhaustive_kernel._sink_dp``).
"""

from __future__ import annotations

import math
import os
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol

import numpy as np

from .._progress import ProgressCallback
from . import _checkpoint
from ._state import State, level_buffers, level_table

__all__ = ["CHECKPOINT_SECONDS", "Executor", "LocalExecutor", "Outcome", "run"]

# A range of a level is sized to take about this long: Ctrl-C waits for it.
_RANGE_SECONDS = 0.2
# Within a level, a checkpoint is written at most this often; at the end of a
# level whenever writing has taken no more than 5 % of the time since the last.
CHECKPOINT_SECONDS = 60.0
_WRITE_SHARE = 0.05


class Executor(Protocol):
    """What computes the levels of a search."""

    #: Threads computing, the calling one included (a cluster's in all).
    threads: int
    #: What each level cost, where the executor measures it.
    levels: list[Any]

    def begin(
        self,
        columns: np.ndarray,
        gram: np.ndarray,
        reference: np.ndarray,
        predecessors: np.ndarray,
    ) -> None:
        """Take the search's operands: the standardised data by columns,
        their cross-products, the sorted reference and per variable the
        mask of the variables that must come before it (empty for none)."""

    def sweep(
        self,
        state: State,
        per_position: float,
        report: Callable[[int], None],
        save: Callable[[], None],
    ) -> None:
        """Compute the rest of ``state``'s level, advancing its position and
        evaluations; call ``report`` with the evaluations done beyond them
        and ``save`` whenever they advance. ``per_position`` is the level's
        mean evaluations per subset."""

    def instruction_sets(self) -> dict[str, str]:
        """The instruction set the scores were computed with, by where."""

    def close(self) -> None:
        """Let go of what the search held."""


class LocalExecutor:
    """The levels on this machine, a range of subsets at a time on all the
    threads; ranges take about ``_RANGE_SECONDS``, judged by the last one.
    The threads are made once, at the start, and end with :meth:`close`."""

    def __init__(self, threads: int) -> None:
        self.threads = threads
        self.levels: list[Any] = []
        self._seconds_per_evaluation = math.nan
        self._pool: Any = threads

    def begin(
        self,
        columns: np.ndarray,
        gram: np.ndarray,
        reference: np.ndarray,
        predecessors: np.ndarray,
    ) -> None:
        from .._sweep import _Threads

        self._operands = (columns, gram, reference)
        self._predecessors = predecessors
        if self.threads != 1:
            self._pool = _Threads(self.threads)

    def sweep(
        self,
        state: State,
        per_position: float,
        report: Callable[[int], None],
        save: Callable[[], None],
    ) -> None:
        from .._sweep import _sweep_level

        size = state.scores.shape[0]
        while state.position < size:
            if math.isnan(self._seconds_per_evaluation) or per_position == 0:
                count = self.threads  # a mask per thread, to time them
            else:
                count = _RANGE_SECONDS / (self._seconds_per_evaluation * per_position)
            count = max(1, min(size - state.position, int(count)))
            began = time.perf_counter()
            done = _sweep_level(
                *self._operands,
                state.level,
                state.position,
                state.position + count,
                state.below,
                state.scores,
                state.sinks,
                self._predecessors,
                self._pool,
            )
            took = time.perf_counter() - began
            if done:
                self._seconds_per_evaluation = took / done
            state.position += count
            state.evaluations += done
            report(0)
            save()

    def instruction_sets(self) -> dict[str, str]:
        from .._sweep import _instruction_set

        return {"local": _instruction_set()}

    def close(self) -> None:
        if not isinstance(self._pool, int):
            self._pool.close()


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
    executor: Executor | None = None,
) -> Outcome:
    """Run the whole search on standardised data, level by level.

    ``predecessors[j]`` is the bit mask of the variables that must come
    before variable j. ``progress`` is called as its type says. With
    ``checkpoint``, the search resumes from that file when it holds a
    search of the same data, reference and constraints (and refuses one of
    another), and saves itself there from time to time, when interrupted
    and at the end; the file is locked against other searches meanwhile.
    If a write fails, a :class:`CheckpointWarning` says why and the search
    goes on without saving. The levels are computed by ``executor``, by default on
    ``n_threads`` threads of this machine; it is closed at the end.
    """
    from .._sweep import _evaluation_counts

    _n, d = standard.shape
    before = np.array(
        [] if predecessors is None else list(predecessors), dtype=np.int32
    )
    if not before.any():
        before = np.zeros(0, dtype=np.int32)
    per_level = _evaluation_counts(d, before)
    if executor is None:
        executor = LocalExecutor(n_threads)

    saved_to = None
    try:
        if checkpoint is not None:
            saved_to = _checkpoint.CheckpointFile(
                checkpoint, _checkpoint.input_digests(standard, reference, before)
            )
        return _search(
            standard,
            gram,
            reference,
            d,
            before,
            per_level,
            executor,
            saved_to,
            progress,
        )
    finally:
        executor.close()
        if saved_to is not None:
            saved_to.close()


def _search(
    standard: np.ndarray,
    gram: np.ndarray,
    reference: np.ndarray,
    d: int,
    before: np.ndarray,
    per_level: list[int],
    executor: Executor,
    saved_to: _checkpoint.CheckpointFile | None,
    progress: ProgressCallback | None,
) -> Outcome:
    start = time.perf_counter()
    total = sum(per_level)
    buffers = level_buffers(d)
    state = None
    if saved_to is not None:
        # Read straight into the search's tables: a resume needs no more
        # memory than a fresh search.
        state = saved_to.load(d, buffers, np.empty(1 << d, dtype=np.int8))
    if state is None:
        sinks = np.full(1 << d, -1, dtype=np.int8)
        below = level_table(buffers[0], d, 0)
        state = State(1, 0, below, level_table(buffers[1], d, 1), sinks, 0)
    saved = (state.level, state.position)
    last_save, write_seconds = time.perf_counter(), 0.0

    def save(interval: float) -> None:
        nonlocal saved, last_save, write_seconds
        now = time.perf_counter()
        if saved_to is None or saved == (state.level, state.position):
            return
        if now - last_save < max(interval, write_seconds / _WRITE_SHARE):
            return
        if saved_to.save(state):
            saved = (state.level, state.position)
        last_save = time.perf_counter()
        write_seconds = last_save - now

    def report(ahead: int = 0) -> None:
        if progress is not None:
            progress(state.evaluations + ahead, total, time.perf_counter() - start)

    executor.begin(np.ascontiguousarray(standard.T), gram, reference, before)
    report()
    try:
        while True:
            level, size = state.level, state.scores.shape[0]
            executor.sweep(
                state,
                per_level[level] / size,
                report,
                lambda: save(CHECKPOINT_SECONDS),
            )
            if level == d:
                break
            # The level below is let go before the next is made: two levels
            # at a time at most.
            state.level, state.position = level + 1, 0
            free = buffers[1] if state.scores.base is buffers[0] else buffers[0]
            state.below = state.scores
            state.scores = level_table(free, d, level + 1)
            save(0.0)
    except BaseException as error:
        # What is done so far is kept, whatever stopped the search.
        if saved_to is not None and saved != (state.level, state.position):
            if saved_to.failure is not None:
                error.add_note(f"the checkpoint could not be saved: {saved_to.failure}")
            else:
                try:
                    saved_to.write(state)
                except OSError as failure:
                    error.add_note(f"the checkpoint could not be saved: {failure}")
        raise
    if saved_to is not None and saved != (state.level, state.position):
        saved_to.save(state)
    return Outcome(
        state.sinks,
        float(state.scores[0]),
        state.evaluations,
        executor.instruction_sets(),
        executor.threads,
        executor.levels,
    )
