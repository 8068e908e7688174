"""The search on a Dask cluster: real worker processes on this machine, each
result compared bit for bit with the search here."""

import json
import os
import signal
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest
from simulate import simulate

import veldra
from veldra._search import _distributed

distributed = pytest.importorskip("distributed")


def local_cluster():
    return distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    )


@pytest.fixture(scope="module")
def client():
    with (
        local_cluster() as cluster,
        distributed.Client(cluster, set_as_default=False) as client,
    ):
        yield client


def same_search(result, expected):
    assert result.sinks.tobytes() == expected.sinks.tobytes()
    assert np.float32(result.score).tobytes() == np.float32(expected.score).tobytes()
    assert result.order.tolist() == expected.order.tolist()
    assert result.n_evaluations == expected.n_evaluations


PROBLEMS = [
    # d, n, seed, prior knowledge
    (1, 30, 0, {}),
    (6, 200, 1, {}),
    (9, 500, 2, {"exogenous": [3], "required_order": [(0, 5)]}),
    (11, 150, 3, {"sinks": [1, 7]}),
]


@pytest.mark.parametrize(("d", "n", "seed", "knowledge"), PROBLEMS)
def test_cluster_search_is_the_local_search(client, d, n, seed, knowledge):
    X = simulate(n, d, noise="uniform", seed=seed).X
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", veldra.IdentifiabilityWarning)
        expected = veldra.causal_order(X, n_threads=1, **knowledge)
        result = veldra.causal_order(X, client=client, **knowledge)
    same_search(result, expected)
    assert result.constraints == expected.constraints
    assert result.instruction_sets == expected.instruction_sets
    assert result.n_threads == 2


def test_checkpoint_moves_between_cluster_and_machine(client, tmp_path):
    X = simulate(300, 10, noise="laplace", seed=4).X
    expected = veldra.causal_order(X, n_threads=1)
    for first, second in ((client, None), (None, client)):
        path = tmp_path / f"{first is None}.ckpt"

        def stop(done, total, seconds):
            if done > total // 2:
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            veldra.causal_order(X, client=first, checkpoint=path, progress=stop)
        assert path.exists()
        calls = []
        result = veldra.causal_order(
            X, client=second, checkpoint=path, progress=lambda *a, c=calls: c.append(a)
        )
        same_search(result, expected)
        assert calls[0][0] > 0  # resumed, not restarted
        assert [c[0] for c in calls] == sorted(c[0] for c in calls)


def test_estimator_and_refusals(client):
    X = simulate(200, 5, noise="uniform", seed=5).X
    local = veldra.ExhaustiveOrdering(n_threads=1).fit(X)
    model = veldra.ExhaustiveOrdering().fit(X, client=client)
    assert model.causal_order_.tolist() == local.causal_order_.tolist()
    np.testing.assert_array_equal(model.adjacency_matrix_, local.adjacency_matrix_)
    assert json.loads(model.to_json())["instruction_sets"] == list(
        local.instruction_sets_
    )
    with pytest.raises(ValueError, match="n_threads is for a search on this"):
        veldra.causal_order(X, client=client, n_threads=2)
    with pytest.raises(TypeError, match=r"dask\.distributed\.Client"):
        veldra.causal_order(X, client=object())


def test_mixed_instruction_sets_warn_once():
    session = _distributed.Session(None, None, "t", 3)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for where, name in [("a", "AVX2"), ("b", "AVX2"), ("c", "AVX3"), ("d", "SSE4")]:
            session.record(where, name)
    assert len(caught) == 1
    assert "AVX2 on 2 workers, AVX3 on 1 worker" in str(caught[0].message)


@pytest.mark.parametrize(
    ("start", "size", "threads", "speed"),
    [
        (0, 1, 4, float("nan")),
        (3, 10, 2, float("nan")),
        (0, 100_000, 2, 1e3),  # tasks of 2000 positions, then shorter
        (5, 7_000_000, 512, 3e4),
        (0, 50, 8, 1e-3),  # slower than a position per task
    ],
)
def test_chunks_cover_the_level_once(start, size, threads, speed):
    chunks = _distributed.split_level(start, size, threads, speed)
    bounds = [first for first, _ in chunks] + [chunks[-1][1]]
    assert (bounds[0], bounds[-1]) == (start, size)
    assert all(first < last for first, last in chunks)
    assert [last for _, last in chunks[:-1]] == bounds[1:-1]
    longest = max(last - first for first, last in chunks)
    if not np.isnan(speed):  # measured: no task much over TASK_SECONDS
        assert longest <= max(1, _distributed.TASK_SECONDS * speed)
    sizes = [last - first for first, last in chunks]
    assert sizes == sorted(sizes, reverse=True)  # the longest first


def test_lost_worker_costs_only_its_tasks(tmp_path):
    """A worker process killed mid-level: its nanny restarts it, Dask
    recomputes what it held and the result is the same bits."""
    X = simulate(2000, 13, noise="uniform", seed=7).X
    expected = veldra.causal_order(X, n_threads=1)
    with (
        local_cluster() as cluster,
        distributed.Client(cluster, set_as_default=False) as client,
    ):
        pids = list(client.run(os.getpid).values())
        killed = []

        def kill_once(done, total, seconds):
            if not killed and done > 0.3 * total:
                os.kill(pids[0], signal.SIGKILL)
                killed.append(done / total)

        result = veldra.causal_order(X, client=client, progress=kill_once)
    assert killed
    same_search(result, expected)


def test_scheduler_and_workers_over_loopback(tmp_path):
    """`dask scheduler` and two `dask worker` processes, and veldra's command
    line and Python API pointed at the scheduler's address."""
    X = simulate(400, 8, noise="laplace", seed=8).X
    data = tmp_path / "data.csv"
    np.savetxt(data, X, delimiter=",")
    scheduler_file = tmp_path / "scheduler.json"
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    dask = [sys.executable, "-m"]
    processes = [
        subprocess.Popen(
            [
                *dask,
                "distributed.cli.dask_scheduler",
                "--host=127.0.0.1",
                "--port=0",
                "--no-dashboard",
                f"--scheduler-file={scheduler_file}",
            ],
            **quiet,
        )
    ]
    try:
        deadline = time.monotonic() + 60
        while not scheduler_file.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        address = json.loads(scheduler_file.read_text())["address"]
        for threads in (1, 2):  # a worker's chunks run on all its threads
            processes.append(
                subprocess.Popen(
                    [
                        *dask,
                        "distributed.cli.dask_worker",
                        address,
                        f"--nthreads={threads}",
                        "--no-dashboard",
                        "--host=127.0.0.1",
                    ],
                    **quiet,
                )
            )
        with distributed.Client(address, set_as_default=False) as client:
            client.wait_for_workers(2, timeout=60)
        expected = veldra.causal_order(X, n_threads=1, exogenous=[2])
        result = veldra.causal_order(X, client=address, exogenous=[2])
        same_search(result, expected)

        command = [sys.executable, "-m", "veldra", "order", str(data), "--json", "-q"]
        there = subprocess.run(
            [*command, "--scheduler", address, "--exogenous", "2"],
            check=False,
            capture_output=True,
            text=True,
            timeout=120,
        )
        here = subprocess.run(
            [*command, "--exogenous", "2"],
            check=False,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert there.returncode == 0, there.stderr
        there, here = json.loads(there.stdout), json.loads(here.stdout)
        for key in ("order", "score", "n_evaluations", "adjacency_matrix"):
            assert there[key] == here[key], key
        assert there["n_threads"] == 3

        refused = subprocess.run(
            [*command, "--scheduler", address, "--threads", "2"],
            check=False,
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert refused.returncode == 2
        assert "--threads is for a search on this machine" in refused.stderr
    finally:
        for process in processes:
            process.terminate()
        for process in processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()


def test_without_distributed_installed(monkeypatch, tmp_path, capsys):
    from veldra import _cli

    monkeypatch.setitem(sys.modules, "distributed", None)
    X = simulate(100, 3, noise="uniform", seed=9).X
    with pytest.raises(ImportError, match=r"pip install 'veldra\[distributed\]'"):
        veldra.causal_order(X, client="tcp://127.0.0.1:8786")
    data = tmp_path / "data.csv"
    np.savetxt(data, X, delimiter=",", header="a,b,c", comments="")
    assert _cli.main(["order", str(data), "--scheduler", "tcp://127.0.0.1:8786"]) == 2
    assert "--scheduler needs Dask's distributed" in capsys.readouterr().err
