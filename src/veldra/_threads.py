"""How many threads a search may use, and the pieces of work around it.

The kernel's own default counts the CPUs in the calling thread's affinity
set. In a container that set is often the whole host while a CPU quota (a
cgroup limit) allows only a few of them; running more threads than the
quota allows makes the search slower, not faster (every level ends when its
last task does, and a thread without a core holds that up). So the Python
side works out the count itself, caps any count it is given at that, and
passes it explicitly.

The work after the search (the diagnostics) runs its independent pieces on
the same count of threads (:func:`thread_map`), beside the BLAS's own
threads only where they cannot compete (:func:`linear_algebra_threads`,
:func:`blas_on_one_thread`).
"""

from __future__ import annotations

import contextlib
import contextvars
import math
import os
import threading
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, TypeVar

from ._checks import as_int
from ._warnings import warn

__all__ = [
    "MAX_THREADS",
    "available_cpus",
    "blas_on_one_thread",
    "cap_threads",
    "kernel_threads",
    "linear_algebra_threads",
    "resolve_threads",
    "thread_map",
]

# The BLAS libraries' controllers (threadpoolctl's), found on first use.
_blas: Any = None

#: The most rows for which OpenBLAS gives the same bits on any thread count:
#: it splits a dot product of more than 10,000 values among its threads.
SAME_BITS_ROWS = 10_000

# Calls inside blas_on_one_thread, and the limit to undo when the last ends.
_pin_lock = threading.Lock()
_pinned = 0
_pin: Any = None

_Item = TypeVar("_Item")
_Value = TypeVar("_Value")

#: The most threads a search runs on: its pool's 127 workers and the calling
#: thread.
MAX_THREADS = 128


def _affinity_count() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def kernel_threads(n_threads: int) -> int:
    """The threads the native search runs for its ``n_threads`` argument: the
    count itself, or for 0 every CPU of the calling thread's affinity set."""
    return n_threads if n_threads > 0 else _affinity_count()


def _quota_cpus(quota: str, period: str) -> float | None:
    """CPUs allowed by a quota/period pair, or None when there is no limit."""
    try:
        quota_us, period_us = int(quota), int(period)
    except ValueError:  # "max" in cgroup v2 means unlimited
        return None
    if quota_us <= 0 or period_us <= 0:  # -1 in cgroup v1 means unlimited
        return None
    return quota_us / period_us


def _cgroup_v2_limit(root: Path, relative: str) -> float | None:
    # The effective quota is the tightest one on the path up to the root.
    limit: float | None = None
    directory = root / relative.lstrip("/")
    while True:
        try:
            fields = (directory / "cpu.max").read_text().split()
        except OSError:
            fields = []
        if len(fields) == 2:
            cpus = _quota_cpus(fields[0], fields[1])
            if cpus is not None:
                limit = cpus if limit is None else min(limit, cpus)
        if directory == root or root not in directory.parents:
            return limit
        directory = directory.parent


def _cgroup_v1_limit(root: Path, relative: str) -> float | None:
    for name in ("cpu,cpuacct", "cpu"):
        base = root / name
        for directory in (base / relative.lstrip("/"), base):
            try:
                quota = (directory / "cpu.cfs_quota_us").read_text()
                period = (directory / "cpu.cfs_period_us").read_text()
            except OSError:
                continue
            return _quota_cpus(quota.strip(), period.strip())
    return None


def _cgroup_cpu_limit(cgroup_root: Path, proc_cgroup: Path) -> float | None:
    """The CPU quota of this process's cgroup, in CPUs, or None."""
    try:
        lines = proc_cgroup.read_text().splitlines()
    except OSError:
        return None
    for line in lines:
        hierarchy, _, rest = line.partition(":")
        controllers, _, path = rest.partition(":")
        if hierarchy == "0" and controllers == "":
            limit = _cgroup_v2_limit(cgroup_root, path)
            if limit is not None:
                return limit
        elif "cpu" in controllers.split(","):
            limit = _cgroup_v1_limit(cgroup_root, path)
            if limit is not None:
                return limit
    return None


def available_cpus(
    *,
    cgroup_root: str | os.PathLike[str] = "/sys/fs/cgroup",
    proc_cgroup: str | os.PathLike[str] = "/proc/self/cgroup",
) -> int:
    """Number of CPUs this process can really use, at least 1.

    The size of the process's CPU affinity set, lowered to the cgroup CPU
    quota (rounded up) when one is set, as in containers.
    """
    count = _affinity_count()
    limit = _cgroup_cpu_limit(Path(cgroup_root), Path(proc_cgroup))
    if limit is not None:
        count = min(count, math.ceil(limit))
    return max(count, 1)


def cap_threads(n_threads: int | None) -> tuple[int, str | None]:
    """The thread count a search runs on, and a note when it is less than asked.

    ``None`` and ``0`` mean :func:`available_cpus`; a count above it is
    lowered to it (more threads than CPUs only wait for one), and so is any
    count above :data:`MAX_THREADS`.

    Raises
    ------
    TypeError
        If ``n_threads`` is not an integer or None.
    ValueError
        If ``n_threads`` is negative.
    """
    cpus = available_cpus()
    usable = min(cpus, MAX_THREADS)
    if n_threads is None:
        return usable, None
    count = as_int(n_threads, "n_threads")
    if count < 0:
        raise ValueError(f"n_threads must be 0 or more, got {count}")
    if count == 0:
        return usable, None
    if count <= usable:
        return count, None
    if usable < cpus:
        limit = f"the {MAX_THREADS} threads a search can run on"
    else:
        limit = f"the {cpus} CPU{'s' if cpus != 1 else ''} this process may use"
    return usable, f"more than {limit}; the search runs on {usable}"


def resolve_threads(n_threads: int | None) -> int:
    """The thread count to hand to the kernel: :func:`cap_threads`, warning
    (UserWarning) when the count asked for is lowered."""
    count, note = cap_threads(n_threads)
    if note is not None:
        warn(f"n_threads={n_threads}: {note}")
    return count


def thread_map(
    function: Callable[[_Item], _Value], items: Iterable[_Item], threads: int
) -> list[_Value]:
    """``[function(item) for item in items]``, on up to ``threads`` threads.

    For pieces whose NumPy work releases the GIL; results come in the
    order of ``items``, whatever thread computed them. One thread runs them
    on the calling thread, with no pool; more start with the caller's
    context variables (NumPy's error state among them), or on the calling
    thread when no thread can be started. After an error or an interrupt
    the pieces not yet started are dropped.
    """
    if threads <= 1:
        return [function(item) for item in items]
    items = list(items)
    context = contextvars.copy_context()

    def enter() -> None:
        for variable, value in context.items():
            variable.set(value)

    try:
        with ThreadPoolExecutor(threads, initializer=enter) as pool:
            try:
                return list(pool.map(function, items))
            except BaseException:
                pool.shutdown(cancel_futures=True)
                raise
    except RuntimeError as error:
        # Out of room for a thread (an address-space limit): the finished
        # search is not lost for that, the pieces run here instead.
        if "can't start new thread" not in str(error):
            raise
        return [function(item) for item in items]


def _blas_threads() -> int:
    """The most threads a loaded BLAS library runs a call on; 0 if unknown."""
    global _blas
    if _blas is None:
        try:
            from threadpoolctl import ThreadpoolController
        except ImportError:  # scikit-learn's dependency: there in practice
            return 0
        _blas = ThreadpoolController().select(user_api="blas").lib_controllers
    return max((int(library.num_threads) for library in _blas), default=0)


def linear_algebra_threads(threads: int) -> int:
    """The threads for pieces made of small linear algebra (QR
    decompositions of a few thousand rows): ``threads`` when the BLAS
    libraries run on one thread, else 1.

    A BLAS on several threads spreads each call over them, and its threads
    wait for one another at every call: beside a pool that holds the
    cores, each call then waits for a core, many times over. Their thread
    count is read here, never set: above some sizes it changes the results'
    last bits (OpenBLAS splits a dot product of more than 10,000 values
    among its threads); :func:`blas_on_one_thread` sets it where it does
    not.
    """
    return threads if threads > 1 and _blas_threads() == 1 else 1


@contextlib.contextmanager
def blas_on_one_thread(rows: int) -> Iterator[None]:
    """OpenBLAS on one thread inside the block, for work on data of ``rows``
    rows, where its thread count changes no bit (:data:`SAME_BITS_ROWS`;
    ``benchmarks/same_bits.py`` measures it); above that, and for other
    BLAS libraries, whose bits were not measured, nothing changes.

    Small decompositions on a BLAS of several threads wait for its threads
    at every call; beside any other busy process they wait for a core each
    time, many times over (the margin's resamples took up to 44 times as long
    with two searches side by side). The limit is the process's, as with
    threadpoolctl's ``threadpool_limits``: it holds from the first call
    inside such a block to the end of the last, then the thread counts
    found before it come back.
    """
    global _pinned, _pin
    if rows > SAME_BITS_ROWS:
        yield
        return
    try:
        from threadpoolctl import ThreadpoolController
    except ImportError:  # scikit-learn's dependency: there in practice
        yield
        return
    with _pin_lock:
        if _pinned == 0:
            openblas = ThreadpoolController().select(internal_api="openblas")
            _pin = openblas.limit(limits=1)
        _pinned += 1
    try:
        yield
    finally:
        with _pin_lock:
            _pinned -= 1
            if _pinned == 0:
                _pin.restore_original_limits()
                _pin = None
