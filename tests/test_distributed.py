"""The search on a Dask cluster: real worker processes on this machine, each
result compared bit for bit with the search here."""

import contextlib
import functools
import gc
import json
import os
import re
import signal
import subprocess
import sys
import time
import types
import warnings

import numpy as np
import pytest
from simulate import simulate

import veldra
from veldra import _cli
from veldra._search import _distributed
from veldra._sweep import _evaluation_counts

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


@functools.cache
def local_search(n, d, seed):
    """Data and the search of them on this machine's one thread."""
    X = simulate(n, d, noise="uniform", seed=seed).X
    return X, veldra.causal_order(X, n_threads=1)


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
    closed = distributed.Client(client.scheduler.address, set_as_default=False)
    closed.close()
    for given, said in [
        (closed, "the Dask client is closed: give an open one"),  # was 'ncores'
        ("nonsense://x", "unknown address scheme 'nonsense'"),
    ]:
        with pytest.raises(ConnectionError, match=said):
            veldra.causal_order(X, client=given)
    # A client left half made by a bad address hung here, then printed a
    # traceback.
    gc.collect()


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
    X, expected = local_search(2000, 13, 7)
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


@contextlib.contextmanager
def deployment(tmp_path, workers):
    """`dask scheduler` and a `dask worker` per entry of ``workers`` (its
    threads, and the variables its environment changes), over loopback;
    yields the scheduler's process and address."""
    scheduler_file = tmp_path / "scheduler.json"
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    dask = [sys.executable, "-m"]
    scheduler = subprocess.Popen(
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
    processes = [scheduler]
    try:
        deadline = time.monotonic() + 60
        while not scheduler_file.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        address = json.loads(scheduler_file.read_text())["address"]
        for name, (threads, environment) in enumerate(workers):
            processes.append(
                subprocess.Popen(
                    [
                        *dask,
                        "distributed.cli.dask_worker",
                        address,
                        f"--nthreads={threads}",
                        f"--name={name}",
                        "--no-dashboard",
                        "--host=127.0.0.1",
                    ],
                    env={**os.environ, **environment},
                    **quiet,
                )
            )
        with distributed.Client(address, set_as_default=False) as client:
            client.wait_for_workers(len(workers), timeout=60)
        yield scheduler, address
    finally:
        for process in processes:
            process.terminate()
        for process in processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()


def test_scheduler_and_workers_over_loopback(tmp_path):
    """`dask scheduler` and two `dask worker` processes, and veldra's command
    line and Python API pointed at the scheduler's address."""
    X = simulate(400, 8, noise="laplace", seed=8).X
    data = tmp_path / "data.csv"
    np.savetxt(data, X, delimiter=",")
    # A worker's chunks run on all its threads.
    with deployment(tmp_path, [(1, {}), (2, {})]) as (_, address):
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


class KillAt:
    """A progress callback that kills the scheduler a third of the way into
    the search, after a chunk that does not end its level (the level's
    other chunks are then still out)."""

    def __init__(self, scheduler, d):
        self.scheduler = scheduler
        ends = np.cumsum(_evaluation_counts(d, np.zeros(0, np.int32)))
        self.ends = set(ends.tolist())
        self.killed = None

    def __call__(self, done, total, seconds):
        if self.killed is None and done > total // 3 and done not in self.ends:
            self.scheduler.kill()  # SIGKILL
            self.scheduler.wait()
            self.killed = done

    def finish(self):
        pass


@pytest.mark.parametrize("front", ["api", "cli"])
def test_scheduler_killed_mid_search(tmp_path, monkeypatch, capsys, front):
    """Was `TypeError: cannot unpack non-iterable FutureCancelledError`. Now
    the search says where it was lost and where it is saved, and the
    checkpoint resumes here to the same bits."""
    d = 13
    X, expected = local_search(2000, d, 7)
    path = tmp_path / "search.ckpt"
    with deployment(tmp_path, [(1, {}), (1, {})]) as (scheduler, address):
        progress = KillAt(scheduler, d)
        if front == "api":
            with pytest.raises(ConnectionError) as lost:
                veldra.causal_order(
                    X, client=address, checkpoint=path, progress=progress
                )
            said = "; ".join([str(lost.value), *lost.value.__notes__])
        else:
            data = tmp_path / "data.csv"
            np.savetxt(data, X, delimiter=",")
            monkeypatch.setattr(veldra, "ProgressLine", lambda *_: progress)
            status = _cli.main(
                [
                    *("order", str(data), "--no-header", "--scheduler", address),
                    *("--checkpoint", str(path)),
                ]
            )
            err = capsys.readouterr().err
            assert status == 1
            assert "Traceback" not in err
            said = err.splitlines()[-1]
            assert said.startswith("veldra: error: ")
    assert progress.killed is not None
    assert re.search(
        rf"lost the Dask cluster \(scheduler {address}\) during level \d+ of {d},"
        r" with [\d,]+ of its [\d,]+ subsets done \(\d+%\)",
        said,
    ), said
    assert f"the search so far is saved in {path}" in said
    calls = []
    result = veldra.causal_order(
        X, checkpoint=path, n_threads=1, progress=lambda *a: calls.append(a)
    )
    same_search(result, expected)
    assert 0 < calls[0][0] <= progress.killed  # resumed, not restarted


def test_workers_without_this_build_are_refused(tmp_path, capsys):
    """A worker whose veldra is another version, and one where it cannot be
    imported, were a TypeError or a worker silently crashing; now both are
    named, with what they have, before any data is sent."""
    other, broken = tmp_path / "other", tmp_path / "broken"
    for root, body in [
        (other, '__version__ = "0.0.0+other"\n'),
        (broken, 'raise ImportError("a broken install")\n'),
    ]:
        (root / "veldra").mkdir(parents=True)
        (root / "veldra" / "__init__.py").write_text(body)
    X = simulate(100, 3, noise="uniform", seed=10).X
    data = tmp_path / "data.csv"
    np.savetxt(data, X, delimiter=",")
    workers = [
        (1, {}),
        (1, {"PYTHONPATH": str(other)}),
        (1, {"PYTHONPATH": str(broken)}),
    ]
    with (
        deployment(tmp_path, workers) as (_, address),
        distributed.Client(address, set_as_default=False) as client,
    ):
        where = {
            str(worker["name"]): at
            for at, worker in client.scheduler_info()["workers"].items()
        }
        with pytest.raises(ConnectionError) as refused:
            veldra.causal_order(X, client=client)
        assert _cli.main(["order", str(data), "--scheduler", address, "-q"]) == 1
    message = str(refused.value)
    here = veldra.__version__
    assert f"veldra 0.0.0+other on worker {where['1']} (here {here})" in message
    assert (
        f"veldra missing (ImportError: a broken install) on worker {where['2']}"
        f" (here {here})"
    ) in message
    assert where["0"] not in message
    assert "install the same veldra build on the workers" in message
    assert capsys.readouterr().err == f"veldra: error: {message}\n"


HERE = {"veldra": "1.0", "NumPy": "2.0", "native build": "sha256 aa"}


@pytest.mark.parametrize(
    ("workers", "said"),
    [
        ({"a": HERE, "b": HERE}, None),
        # A rebuilt extension of the same version.
        (
            {"a": HERE, "b": {**HERE, "native build": "sha256 bb"}},
            "native build sha256 bb on worker b (here sha256 aa)",
        ),
        # Another NumPy on many workers: a few are named.
        (
            {w: {**HERE, "NumPy": "1.26"} for w in "abcde"},
            "NumPy 1.26 on workers a, b, c and 2 more (here 2.0)",
        ),
        # Another veldra: its native build differs too, and is not said again.
        (
            {"a": {**HERE, "veldra": "0.9", "native build": "sha256 bb"}},
            "veldra 0.9 on worker a (here 1.0). To search",
        ),
        # A probe that could not run there.
        (
            {"a": RuntimeError("no probe")},
            "veldra not checked (RuntimeError: no probe) on worker a",
        ),
    ],
)
def test_build_mismatch_is_named(workers, said):
    message = _distributed.build_mismatch(HERE, workers)
    if said is None:
        assert message is None
    else:
        assert said in message


@pytest.mark.parametrize(
    ("failure", "said"),
    [
        # Was a KilledWorker traceback from the command line.
        (
            distributed.KilledWorker("chunk", types.SimpleNamespace(address="w:2"), 3),
            (
                "lost the Dask cluster (scheduler s:1) during level 3 of 9: 4"
                " workers died in turn running one of its chunks (the last w:2)"
            ),
        ),
        # A task's own failure is not the cluster's.
        (ValueError("a task's"), None),
    ],
)
def test_cluster_failures_are_said(failure, said):
    expected = ConnectionError if said else type(failure)
    with (
        pytest.raises(expected) as raised,
        _distributed._speaking("s:1", lambda: "during level 3 of 9"),
    ):
        raise failure
    assert said is None or str(raised.value).startswith(said)


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
