"""How many threads a search may use.

The kernel's own default counts the CPUs in the calling thread's affinity
set. In a container that set is often the whole host while a CPU quota (a
cgroup limit) allows only a few of them; spinning more threads than the
quota allows makes the search slower, not faster. So the Python side works
out the count itself and passes it explicitly.
"""

from __future__ import annotations

import math
import os
from pathlib import Path

from ._checks import as_int

__all__ = ["available_cpus", "resolve_threads"]


def _affinity_count() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


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


def resolve_threads(n_threads: int | None) -> int:
    """The thread count to hand to the kernel.

    ``None`` means :func:`available_cpus`; an integer is passed on as it is
    (1 runs on the calling thread alone, 0 lets the kernel count the CPUs of
    the affinity set).
    """
    if n_threads is None:
        return available_cpus()
    count = as_int(n_threads, "n_threads")
    if count < 0:
        raise ValueError(f"n_threads must be 0 or more, got {count}")
    return count
