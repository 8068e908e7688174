"""The search's levels on a Dask cluster.

Every subset of a level depends only on the totals of the level below, so a
level is cut into chunks of consecutive ranks that the workers compute apart
(:func:`veldra._sweep._sweep_chunk`) and the driver merges into its tables.
The data go to every worker once per search and the level below once per
level, as float32 totals by rank. Tasks are pure: Dask recomputes those of a
worker that is lost, with the same bits.

Scores depend in their last bits on the instruction set that computes them,
so every chunk reports its own, and a search on workers with different ones
warns. Workers that run another build of veldra (or none) are refused when
the search begins, and a cluster lost during it ends the search with a
:class:`ClusterError` that says where it got to.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import functools
import itertools
import math
import os
import threading
import time
import uuid
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from .._warnings import warn

if TYPE_CHECKING:
    from ._state import State

# A chunk is sized to take about this long on one worker: long enough that a
# task's overhead (a few milliseconds) is lost in it, short enough that a
# lost worker costs little and the level's last tasks end together.
TASK_SECONDS = 2.0
# Chunks shrink towards the end of a level, but not below this.
_SHORTEST_TASK_SECONDS = 0.2
# Chunks per worker in a level whose cost is not known yet.
_CHUNKS_PER_WORKER = 4
# Chunks out at a time per worker: one running, one ready to start.
_IN_FLIGHT_PER_WORKER = 2
# A scheduler given by its address must answer within this long.
_CONNECT_SECONDS = 30
# A broadcast that meets a lost worker is tried again after a pause.
_BROADCAST_ATTEMPTS = 10
_BROADCAST_PAUSE = 1.0
# A refusal names at most this many workers of each kind.
_NAMED_WORKERS = 3


class ClusterError(ConnectionError):
    """The Dask cluster cannot run the search, or was lost during it: a
    scheduler that cannot be reached or stops answering, a closed client,
    no workers, or workers without this build of veldra. The message says
    which, and what to do; with a checkpoint, a note says where the search
    so far is saved."""


# The cluster's own failures, as distinct from a task's: the connection to
# the scheduler broken or closed, the search's tasks cancelled with it, or
# the workers running a task dying one after another.
class _Cancelled(concurrent.futures.CancelledError):
    """The search's futures lost with their client, as Dask says it."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


def _cluster_failures() -> tuple[type[BaseException], ...]:
    import distributed.client
    from distributed import KilledWorker

    # Older releases of distributed have no error of their own for a
    # closed client.
    closed = getattr(distributed.client, "ClosedClientError", OSError)
    return (OSError, concurrent.futures.CancelledError, closed, KilledWorker)


def _reason(error: BaseException) -> str:
    """What broke, in one line."""
    reason = getattr(error, "reason", None)  # a cancelled future's
    if reason == "scheduler-connection-lost":
        return "the connection to the scheduler was lost"
    if isinstance(error, concurrent.futures.CancelledError):
        return f"the search's tasks were cancelled ({reason or error})"
    if type(error).__name__ == "KilledWorker":
        tries = getattr(error, "allowed_failures", 0) + 1
        last = getattr(getattr(error, "last_worker", None), "address", "unknown")
        return (
            f"{tries} workers died in turn running one of its chunks (the last"
            f" {last}); a worker that runs out of memory or crashes is"
            " restarted, but not its task: see the workers' logs"
        )
    if type(error).__name__ == "CommClosedError":
        cause = error
        while cause.__cause__ is not None:
            cause = cause.__cause__
        lost = "the connection to the scheduler was lost"
        return lost if cause is error else f"{lost} ({_reason(cause)})"
    text = " ".join(str(error).split())
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _lost(address: str, where: str, error: BaseException) -> ClusterError:
    return ClusterError(
        f"lost the Dask cluster (scheduler {address}) {where}: {_reason(error)}."
        " Check that the scheduler and its workers are running, then search"
        " again"
    )


_INSTALL = (
    "install the same veldra build on the workers as here (the same wheel"
    " and NumPy) and restart them"
)


# A worker runs one chunk at a time on all its threads; a second chunk sent
# to it waits here, ready to start when the first ends.
_ONE_CHUNK_AT_A_TIME = threading.Lock()


def _compute_chunk(
    operands: tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray],
    level: int,
    first: int,
    last: int,
    below: np.ndarray,
) -> tuple[np.ndarray, np.ndarray, int, float, str, str]:
    """Positions [first, last) of a level, on every thread of the worker
    that runs it (one task per worker rather than per thread keeps the
    scheduler's share of the work small on large clusters).

    Returns the chunk's totals and sinks (by rank), the scores evaluated,
    the seconds taken, the instruction set used and the worker's address.
    """
    from .._sweep import _instruction_set, _sweep_chunk

    try:
        from distributed import get_worker

        worker = get_worker()
        where, threads = worker.address, max(1, int(worker.state.nthreads))
    except (ImportError, ValueError):
        where, threads = "local", 1
    columns, gram, reference, predecessors = operands
    scores = np.empty(last - first, np.float32)
    sinks = np.empty(last - first, np.int8)
    with _ONE_CHUNK_AT_A_TIME:
        began = time.perf_counter()
        evaluations = _sweep_chunk(
            columns,
            gram,
            reference,
            level,
            first,
            last,
            below,
            scores,
            sinks,
            predecessors,
            threads,
        )
        seconds = time.perf_counter() - began
    return scores, sinks, evaluations, seconds, _instruction_set(), where


#: What must be the same on the workers as here, as named to the user.
BUILD_PARTS = ("veldra", "NumPy", "native build")


def _make_build_probe() -> Callable[[], dict[str, str]]:
    # Defined inside a function, the probe is pickled by value: it runs on a
    # worker whatever veldra, if any, that worker has.
    def build() -> dict[str, str]:
        """veldra's and NumPy's versions and the sha256 of the loaded
        native extension; a part that cannot be imported is said so."""
        import hashlib
        import importlib

        found = {}
        for part, module, read in (
            ("NumPy", "numpy", None),
            ("veldra", "veldra", None),
            ("native build", "veldra._sweep", hashlib.sha256),
        ):
            try:
                loaded = importlib.import_module(module)
                if read is None:
                    found[part] = str(getattr(loaded, "__version__", "unknown"))
                else:
                    with open(loaded.__file__, "rb") as file:
                        found[part] = "sha256 " + read(file.read()).hexdigest()[:16]
            except Exception as error:  # noqa: BLE001 - any failure is "missing"
                text = " ".join(str(error).split())
                found[part] = f"missing ({type(error).__name__}: {text})"
        return found

    return build


_build_probe = _make_build_probe()


@functools.cache
def this_build() -> dict[str, str]:
    """veldra's build here (see :data:`BUILD_PARTS`), read once."""
    return _build_probe()


def build_mismatch(here: dict[str, str], workers: dict[str, Any]) -> str | None:
    """What differs between ``here`` and the builds of ``workers`` (by
    address: a build, or the error that stopped the probe), or None.

    A worker without veldra is named for that alone, not again for the
    native build it cannot have."""
    differing: dict[str, dict[str, list[str]]] = {}
    for address, build in sorted(workers.items()):
        if isinstance(build, BaseException):
            build = {"veldra": f"not checked ({_reason(build)})"}
        for part in BUILD_PARTS:
            theirs = build.get(part, "unknown")
            if part == "native build" and build.get("veldra") != here["veldra"]:
                continue
            if theirs != here[part]:
                differing.setdefault(part, {}).setdefault(theirs, []).append(address)
    if not differing:
        return None
    said = []
    for part, values in differing.items():
        for theirs, addresses in values.items():
            named = ", ".join(addresses[:_NAMED_WORKERS])
            if len(addresses) > _NAMED_WORKERS:
                named += f" and {len(addresses) - _NAMED_WORKERS} more"
            worker = "worker" if len(addresses) == 1 else "workers"
            said.append(f"{part} {theirs} on {worker} {named} (here {here[part]})")
    return (
        "the Dask cluster's workers do not run this build of veldra: "
        + "; ".join(said)
        + f". To search there, {_INSTALL}"
    )


def check_workers(client: Any) -> None:
    """Refuse workers whose veldra, NumPy or native build is not this
    process's (workers that join later are not checked)."""
    workers = client.run(_build_probe, on_error="return")
    # A worker lost meanwhile runs no task: the scheduler drops it.
    workers = {
        address: build
        for address, build in workers.items()
        if not isinstance(build, OSError)
    }
    message = build_mismatch(this_build(), workers)
    if message is not None:
        raise ClusterError(message)


def split_level(
    start: int,
    size: int,
    workers: int,
    positions_per_second: float,
) -> list[tuple[int, int]]:
    """Chunks [first, last) covering positions start..size of a level, for
    ``workers`` workers that each compute ``positions_per_second``.

    Without a measured speed (NaN) the rest is cut into
    ``_CHUNKS_PER_WORKER`` chunks per worker. Otherwise chunks take
    ``TASK_SECONDS``, shrinking once the rest is short, so that the workers
    finish the level together: each takes half a worker's share of the
    rest, but no less than ``_SHORTEST_TASK_SECONDS`` (or a worker's share
    of the level, when that is less).
    """
    remaining = size - start
    if remaining <= 0:
        return []
    workers = max(1, workers)
    if not positions_per_second > 0 or math.isinf(positions_per_second):
        count = min(remaining, _CHUNKS_PER_WORKER * workers)
        bounds = [start + (remaining * i) // count for i in range(count + 1)]
        return list(itertools.pairwise(bounds))
    longest = max(1.0, TASK_SECONDS * positions_per_second)
    shortest = max(1.0, min(longest, _SHORTEST_TASK_SECONDS * positions_per_second))
    chunks = []
    first = start
    # A level shorter than a short task per worker still goes to every one.
    floor = min(shortest, max(1.0, remaining / workers))
    while first < size:
        share = (size - first) / (2 * workers)
        count = int(min(longest, max(floor, share)))
        last = min(size, first + max(1, count))
        chunks.append((first, last))
        first = last
    return chunks


@dataclass
class LevelRecord:
    """What a level cost on the cluster: wall seconds in all and for the
    broadcast of the level below, the seconds the tasks computed (summed
    over them), the number of tasks and of workers, and the bytes sent to
    the workers (the level below, once each) and brought back (totals and
    sinks)."""

    level: int
    seconds: float
    broadcast_seconds: float
    compute_seconds: float
    tasks: int
    workers: int
    bytes_out: int
    bytes_back: int


@dataclass
class Session:
    """A search's standing on a cluster: its data on the workers, the speed
    measured so far and the instruction set each worker used."""

    client: Any
    operands: Any  # the future of (columns, gram, reference, predecessors)
    token: str
    threads: int
    address: str = ""  # the scheduler's, for messages
    instruction_sets: dict[str, str] = field(default_factory=dict)
    seconds: float = 0.0
    evaluations: int = 0
    warned: bool = False
    owned: bool = False  # a client made here from an address
    levels: list[LevelRecord] = field(default_factory=list)

    def close(self) -> None:
        """Let go of the data on the workers (and of the client, if made
        here)."""
        # A cluster already gone must not hide what ended the search.
        with contextlib.suppress(Exception):
            self.client.cancel([self.operands])
        if self.owned:
            with contextlib.suppress(Exception):
                self.client.close()

    def positions_per_second(self, per_position: float) -> float:
        """One worker's speed on this level, judged by what was done."""
        if self.evaluations == 0 or self.seconds <= 0 or per_position <= 0:
            return math.nan
        return self.evaluations / (self.seconds * per_position)

    def record(self, where: str, instruction_set: str) -> None:
        self.instruction_sets[where] = instruction_set
        if not self.warned and len(set(self.instruction_sets.values())) > 1:
            self.warned = True
            warn(mixed_message(self.instruction_sets))


def mixed_message(instruction_sets: dict[str, str]) -> str:
    counts: dict[str, int] = {}
    for name in instruction_sets.values():
        counts[name] = counts.get(name, 0) + 1
    listed = ", ".join(
        f"{name} on {count} worker{'s' if count > 1 else ''}"
        for name, count in sorted(counts.items())
    )
    return (
        f"the cluster's workers compute scores with different instruction sets"
        f" ({listed}): a score's last bits depend on it, so the result may"
        " differ in its last bits from a search on one kind of machine, and"
        " orders whose totals tie to rounding may swap. Run on workers of one"
        " kind for results that repeat bit for bit."
    )


def connect(client: Any) -> Any:
    """A client from a ``distributed.Client`` or a scheduler address."""
    try:
        from distributed import Client
        from distributed.comm import resolve_address
    except ImportError:
        raise ImportError(
            "a search on a cluster needs Dask's distributed:"
            " pip install 'veldra[distributed]'"
        ) from None
    if isinstance(client, str):
        try:
            # A client that fails on a malformed address is left half made,
            # and hangs when collected: the address is read first.
            resolve_address(client)
            return Client(client, timeout=_CONNECT_SECONDS, set_as_default=False)
        except (OSError, TimeoutError, ValueError) as error:  # a bad address too
            raise ClusterError(
                f"cannot reach the Dask scheduler at {client}: {error}"
            ) from None
    if not isinstance(client, Client):
        raise TypeError(
            "client must be a dask.distributed.Client (or, on the command line,"
            f" a scheduler address); got {type(client).__name__}"
        )
    if client.status in ("closing", "closed"):
        raise ClusterError(
            "the Dask client is closed: give an open one"
            " (distributed.Client(scheduler address)), or the scheduler's address"
        )
    return client


def start(
    client: Any,
    columns: np.ndarray,
    gram: np.ndarray,
    reference: np.ndarray,
    predecessors: np.ndarray,
) -> Session:
    """Check the workers' builds and send the data to every worker, once
    for the whole search."""
    owned = isinstance(client, str)
    client = connect(client)
    address = str(getattr(client.scheduler, "address", None) or client)
    try:
        with _speaking(address, lambda: "before the search began"):
            threads = sum(client.nthreads().values())
            if threads == 0:
                raise ClusterError(
                    "the Dask cluster has no workers; start some (dask worker"
                    " <scheduler address>) or wait for them"
                )
            check_workers(client)
            token = uuid.uuid4().hex
            operands = _broadcast(
                client, (columns, gram, reference, predecessors), f"veldra-data-{token}"
            )
    except BaseException:
        if owned:
            client.close()
        raise
    return Session(client, operands, token, threads, address, owned=owned)


def _still_connected(client: Any) -> None:
    """Fail as the search's futures do once the client knows that its
    scheduler is lost (or that it is closed)."""
    if client.status != "running":
        reason = "scheduler-connection-lost"
        if client.status != "connecting":
            reason = f"the client is {client.status}"
        raise _Cancelled(reason)


@contextlib.contextmanager
def _speaking(address: str, whereabouts: Callable[[], str]) -> Iterator[None]:
    """The cluster's own failures within, said as a :class:`ClusterError`
    that tells where the search was (``whereabouts()``)."""
    try:
        yield
    except ClusterError:
        raise
    except _cluster_failures() as error:
        raise _lost(address, whereabouts(), error) from None


def _broadcast(client: Any, value: Any, key: str) -> Any:
    """``value`` on every worker, as ``key``. A worker lost since the
    scheduler last heard from it fails the transfer; the scheduler soon
    drops it, so the transfer is tried again, a few times."""
    for attempt in range(_BROADCAST_ATTEMPTS):
        try:
            return client.scatter({key: value}, broadcast=True)[key]
        except (OSError, ValueError) as error:
            # Dask samples the workers to send to from a list that a lost
            # worker may leave shorter than the count it read before.
            lost = isinstance(error, OSError) or "larger than population" in str(error)
            # A lost scheduler is not waited for.
            if (
                not lost
                or attempt + 1 == _BROADCAST_ATTEMPTS
                or client.status != "running"
            ):
                raise
            time.sleep(_BROADCAST_PAUSE)
    raise AssertionError("unreachable")


def sweep_level(
    session: Session,
    state: State,
    per_position: float,
    report: Callable[[int], None],
    save: Callable[[], None],
) -> None:
    """Compute the rest of ``state``'s level on the cluster.

    At most ``_IN_FLIGHT_PER_WORKER`` chunks per worker are out at a time,
    longest first, and each finished one makes room for the next: the
    workers stay busy, the shorter chunks fill in at the end of the level
    whatever the scheduler's placement, and few results wait in memory.

    Chunks finish in any order; ``state.position`` and ``state.evaluations``
    advance over those that follow the done positions without a gap, so a
    checkpoint holds only work whose every position is done. ``report`` is
    given the evaluations done beyond that.
    """
    from distributed import as_completed

    from .._sweep import _merge_sinks

    level, size = state.level, state.scores.shape[0]
    if state.position >= size:
        return
    client = session.client
    levels = state.sinks.shape[0].bit_length() - 1

    def whereabouts() -> str:
        return (
            f"during level {level} of {levels}, with {state.position:,} of its"
            f" {size:,} subsets done ({100 * state.position // size}%)"
        )

    speaking = functools.partial(_speaking, session.address, whereabouts)
    with speaking():
        _still_connected(client)
        nthreads = client.nthreads()
    workers = max(1, len(nthreads))
    session.threads = max(session.threads, sum(nthreads.values()))
    chunks = split_level(
        state.position, size, workers, session.positions_per_second(per_position)
    )
    began = time.perf_counter()
    with speaking():
        below = _broadcast(client, state.below, f"veldra-below-{session.token}-{level}")
    broadcast_seconds = time.perf_counter() - began

    waiting = iter(chunks)
    pending: dict[Any, tuple[int, int]] = {}

    def submit() -> Any:
        for first, last in waiting:
            future = client.submit(
                _compute_chunk,
                session.operands,
                level,
                first,
                last,
                below,
                key=f"veldra-chunk-{session.token}-{level}-{first}",
            )
            pending[future] = (first, last)
            # A client that loses its scheduler cancels the futures it knows;
            # one made after that would never end.
            _still_connected(client)
            return future
        return None

    finished: dict[int, tuple[int, int]] = {}
    ahead = 0
    level_seconds, level_evaluations = 0.0, 0
    try:
        with speaking():
            for _ in range(_IN_FLIGHT_PER_WORKER * workers):
                submit()
            # Results are fetched here, not by as_completed: a result it fails
            # to fetch from a lost scheduler never comes out of it.
            completed = as_completed(list(pending), loop=client.loop)
        # The progress callback and the checkpoint run outside `speaking`:
        # their failures are their own.
        for future in completed:
            with speaking():
                following = submit()
                if following is not None:
                    completed.add(following)
                result = _result(future)
            first, last = pending.pop(future)
            scores, sinks, evaluations, seconds, instruction_set, where = result
            state.scores[first:last] = scores
            _merge_sinks(level, first, sinks, state.sinks)
            session.record(where, instruction_set)
            level_seconds += seconds
            level_evaluations += evaluations
            finished[first] = (last, evaluations)
            ahead += evaluations
            while state.position in finished:
                last, done = finished.pop(state.position)
                state.position = last
                state.evaluations += done
                ahead -= done
            report(ahead)
            save()
    finally:
        with contextlib.suppress(Exception):  # as in Session.close
            client.cancel([*pending, below])
        pending.clear()
    if level_evaluations:
        session.seconds, session.evaluations = level_seconds, level_evaluations
    positions = size - chunks[0][0]
    session.levels.append(
        LevelRecord(
            level,
            time.perf_counter() - began,
            broadcast_seconds,
            level_seconds,
            len(chunks),
            workers,
            state.below.nbytes * workers,
            positions * (state.scores.itemsize + state.sinks.itemsize),
        )
    )


class ClusterExecutor:
    """The levels of a search on a Dask cluster, for the level engine: the
    data go to the workers when the search begins, each level is cut into
    chunks that they compute, and the results are merged here."""

    def __init__(self, client: Any) -> None:
        self.client = client
        self.session: Session | None = None

    @property
    def threads(self) -> int:
        return 1 if self.session is None else self.session.threads

    @property
    def levels(self) -> list[LevelRecord]:
        return [] if self.session is None else self.session.levels

    def begin(
        self,
        columns: np.ndarray,
        gram: np.ndarray,
        reference: np.ndarray,
        predecessors: np.ndarray,
    ) -> None:
        self.session = start(self.client, columns, gram, reference, predecessors)

    def sweep(
        self,
        state: State,
        per_position: float,
        report: Callable[[int], None],
        save: Callable[[], None],
    ) -> None:
        assert self.session is not None
        sweep_level(self.session, state, per_position, report, save)

    def instruction_sets(self) -> dict[str, str]:
        return {} if self.session is None else self.session.instruction_sets

    def explain(
        self, error: BaseException, checkpoint: str | os.PathLike[str] | None
    ) -> None:
        """Once a search has ended in ``error`` (and saved itself), note
        where its work is kept, or how it could have been."""
        if not isinstance(error, ClusterError) or getattr(error, "__notes__", None):
            return  # the engine's note says why the checkpoint was not saved
        if checkpoint is not None and os.path.exists(checkpoint):
            error.add_note(
                f"the search so far is saved in {os.fspath(checkpoint)}: the same"
                " search with this checkpoint resumes from there"
            )
        elif checkpoint is None and self.session is not None:
            error.add_note(
                "with a checkpoint, a search cut short resumes from where it was"
            )

    def close(self) -> None:
        if self.session is not None:
            self.session.close()


def _result(future: Any) -> Any:
    """A chunk's result, with a plain message when the workers cannot run
    the search at all."""
    try:
        return future.result()
    except ModuleNotFoundError as error:
        raise ClusterError(
            f"the cluster's workers cannot run the search ({error}): {_INSTALL}"
        ) from None
