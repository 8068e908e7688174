"""The default thread count: affinity set capped by a cgroup CPU quota."""

from __future__ import annotations

import threading
import warnings
from pathlib import Path

import numpy as np
import pytest
from simulate import simulate

import veldra
from veldra import _diagnostics, _threads
from veldra._threads import available_cpus, resolve_threads


@pytest.fixture
def eight_cpus(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr("os.sched_getaffinity", lambda pid: set(range(8)))


def fake_cgroup(tmp_path: Path, proc: str, files: dict[str, str]) -> dict[str, Path]:
    root = tmp_path / "cgroup"
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    (tmp_path / "proc_cgroup").write_text(proc)
    return {"cgroup_root": root, "proc_cgroup": tmp_path / "proc_cgroup"}


@pytest.mark.usefixtures("eight_cpus")
@pytest.mark.parametrize(
    ("proc", "files", "expected"),
    [
        ("0::/\n", {}, 8),  # no quota file at all
        ("0::/\n", {"cpu.max": "max 100000\n"}, 8),
        ("0::/\n", {"cpu.max": "200000 100000\n"}, 2),
        ("0::/\n", {"cpu.max": "150000 100000\n"}, 2),  # 1.5 CPUs rounds up
        ("0::/\n", {"cpu.max": "50000 100000\n"}, 1),
        ("0::/\n", {"cpu.max": "2000000 100000\n"}, 8),  # quota above affinity
        # The tightest quota on the way up to the root applies.
        (
            "0::/a/b\n",
            {"a/b/cpu.max": "max 100000", "a/cpu.max": "300000 100000"},
            3,
        ),
        (
            "0::/a/b\n",
            {"a/b/cpu.max": "100000 100000", "a/cpu.max": "300000 100000"},
            1,
        ),
        # cgroup v1, inside the container's own path or at the mount's top.
        (
            "4:cpu,cpuacct:/docker/x\n",
            {
                "cpu,cpuacct/docker/x/cpu.cfs_quota_us": "400000",
                "cpu,cpuacct/docker/x/cpu.cfs_period_us": "100000",
            },
            4,
        ),
        (
            "1:cpu:/gone\n",
            {"cpu/cpu.cfs_quota_us": "300000", "cpu/cpu.cfs_period_us": "100000"},
            3,
        ),
        (
            "1:cpu:/\n",
            {"cpu/cpu.cfs_quota_us": "-1", "cpu/cpu.cfs_period_us": "100000"},
            8,
        ),
        ("garbage without colons\n", {"cpu.max": "100000 100000"}, 8),
    ],
)
def test_quota_caps_the_affinity_set(
    tmp_path: Path, proc: str, files: dict[str, str], expected: int
) -> None:
    assert available_cpus(**fake_cgroup(tmp_path, proc, files)) == expected


def test_affinity_set_counts_when_no_cgroup_is_readable(
    monkeypatch: pytest.MonkeyPatch, tmp_path: Path
) -> None:
    monkeypatch.setattr("os.sched_getaffinity", lambda pid: {0, 5, 7})
    assert available_cpus(proc_cgroup=tmp_path / "missing") == 3
    assert resolve_threads(None) == available_cpus()


@pytest.mark.parametrize(
    ("asked", "cpus", "expected"),
    [
        (None, 4, 4),
        (0, 4, 4),
        (1, 4, 1),
        (4, 4, 4),
        # Counts above the CPUs used to be passed on: 128 spinning workers on
        # 2 cores made a search 35 times slower.
        (5, 4, 4),
        (2**64, 4, 4),
        (200, 500, 128),  # the pool's own limit
        (None, 500, 128),
    ],
)
def test_counts_are_capped_at_the_usable_cpus(monkeypatch, asked, cpus, expected):
    monkeypatch.setattr(_threads, "available_cpus", lambda: cpus)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert resolve_threads(asked) == expected
    lowered = asked not in (None, 0) and asked > expected
    assert len(caught) == lowered
    for warning in caught:
        assert str(warning.message).startswith(f"n_threads={asked}: more than ")
        assert str(warning.message).endswith(f"; the search runs on {expected}")


def test_bad_counts_are_refused() -> None:
    with pytest.raises(ValueError, match="0 or more"):
        resolve_threads(-1)
    with pytest.raises(TypeError, match="float"):
        resolve_threads(2.0)  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="bool"):
        resolve_threads(True)


def test_pieces_on_threads_keep_the_callers_numpy_error_state() -> None:
    # Worker threads used to start from NumPy's default error state.
    with np.errstate(divide="raise"):
        states = _threads.thread_map(lambda _: np.geterr()["divide"], range(4), 2)
    assert states == ["raise"] * 4


def test_pieces_run_here_when_no_thread_can_start(monkeypatch) -> None:
    # Under an address-space limit, a finished search lost its diagnostics
    # to "can't start new thread".
    def refuse(self):
        raise RuntimeError("can't start new thread")

    monkeypatch.setattr(threading.Thread, "start", refuse)
    drawn = (i * i for i in range(6))  # read once, as the margin's draws are
    assert _threads.thread_map(lambda x: x + 1, drawn, 2) == [1, 2, 5, 10, 17, 26]


def test_the_diagnostics_hold_openblas_to_one_thread_where_bits_allow(monkeypatch):
    # On several threads each small decomposition waited for the BLAS's
    # threads; beside another busy process that took 44 times as long.
    threadpoolctl = pytest.importorskip("threadpoolctl")
    seen = []
    margin_noise = _diagnostics.margin_noise

    def record(*args, **kwargs):
        seen.append(_threads._blas_threads())
        return margin_noise(*args, **kwargs)

    monkeypatch.setattr(_diagnostics, "margin_noise", record)
    with threadpoolctl.threadpool_limits(3, user_api="blas"):
        for n in (200, _threads.SAME_BITS_ROWS + 1):
            veldra.causal_order(simulate(n, 3, seed=1).X, n_threads=1)
        assert seen == [1, 3]
        assert _threads._blas_threads() == 3
        # Calls that overlap: the first to end leaves the limit to the last.
        first, last = _threads.blas_on_one_thread(9), _threads.blas_on_one_thread(9)
        first.__enter__()
        last.__enter__()
        first.__exit__(None, None, None)
        assert _threads._blas_threads() == 1
        last.__exit__(None, None, None)
        assert _threads._blas_threads() == 3
