"""The level-by-level engine: the one-call search's bits whatever the ranges
and threads, progress, Ctrl-C, and checkpoints that resume bit for bit."""

import ast
import contextlib
import io
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from simulate import simulate
from test_parallel import thread_count

import veldra
from veldra import _progress
from veldra._exhaustive_kernel import _sink_dp
from veldra._search import _engine
from veldra._sweep import (
    _evaluation_counts,
    _instruction_set,
    _limit_instruction_set,
    _sweep_level,
    _Threads,
)


def problem(n, d, seed):
    X = simulate(n, d, noise="uniform", seed=seed).X
    X = (X - X.mean(axis=0)) / X.std(axis=0)
    return X, X.T @ X, np.sort(np.random.default_rng(seed).standard_normal(n))


@pytest.mark.parametrize(
    ("n", "d", "threads", "range_seconds"),
    [
        (5, 1, 1, 0.2),
        (40, 4, 2, 0.0),
        (300, 9, 1, 0.0),
        (300, 9, 2, 1e-4),
        (64, 11, 2, 0.2),
    ],
)
def test_any_ranges_give_the_one_call_tables(monkeypatch, n, d, threads, range_seconds):
    monkeypatch.setattr(_engine, "_RANGE_SECONDS", range_seconds)
    X, gram, reference = problem(n, d, seed=d)
    outcome = _engine.run(X, gram, reference, threads)
    sinks, score = _sink_dp(X, gram, reference, d, threads)
    assert outcome.sinks.dtype == np.int8
    assert np.array_equal(outcome.sinks, sinks)
    assert outcome.score == score
    assert outcome.n_evaluations == d * 2 ** (d - 1)


def test_progress_reports_every_evaluation_in_order(monkeypatch, capsys):
    calls = []
    result = veldra.causal_order(
        simulate(200, 8, seed=1).X, n_threads=2, progress=lambda *a: calls.append(a)
    )
    done, totals, seconds = zip(*calls, strict=True)
    assert done[0] == 0
    assert done[-1] == result.n_evaluations == 8 * 2**7
    assert set(totals) == {result.n_evaluations}
    assert list(done) == sorted(done)
    assert list(seconds) == sorted(seconds)
    # With tqdm, its bar (a stand-in here), brought to the total and closed.
    bars = []

    class Bar:
        def __init__(self, **options):
            self.n, self.total, self.closed = 0, options["total"], False
            bars.append(self)

        def update(self, step):
            self.n += step

        def close(self):
            self.closed = True

    monkeypatch.setitem(sys.modules, "tqdm.auto", type(sys)("tqdm.auto"))
    sys.modules["tqdm.auto"].tqdm = Bar
    veldra.causal_order(simulate(200, 4, seed=1).X, n_threads=1, progress=True)
    assert [(b.n, b.total, b.closed) for b in bars] == [(32, 32, True)]
    # Without tqdm, a plain line on stderr.
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    veldra.causal_order(simulate(200, 4, seed=1).X, n_threads=1, progress=True)
    assert "searching: 100.0 %" in capsys.readouterr().err
    with pytest.raises(TypeError, match="progress must be"):
        veldra.causal_order(simulate(200, 3, seed=1).X, progress="yes")


class _Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_line(monkeypatch):
    monkeypatch.setattr(_progress, "_TTY_INTERVAL", 0.1)
    stream = _Terminal()
    progress = _progress.ProgressLine(stream)
    for done, seconds in [(0, 0.0), (10, 0.12), (20, 0.15), (50, 0.3), (100, 0.5)]:
        progress.update(done, 100, seconds)
    progress.finish()
    text = stream.getvalue()
    # Two updates (the others too soon, or at the end), in place, then cleared.
    assert text.count("\r") == 3
    assert "veldra: searching: 10.0 %, 120 ms elapsed, about 1.1 s left" in text
    assert "50.0 %, 300 ms elapsed, about 300 ms left" in text
    assert text.endswith("\r\033[K")

    stream = io.StringIO()  # not a terminal: whole lines
    monkeypatch.setattr(_progress, "_LOG_INTERVAL", 1.0)
    progress = _progress.ProgressLine(stream, "bootstrap")
    for done in range(10):
        progress.update(done, 10, done * 0.5)
    progress.finish()
    assert stream.getvalue().splitlines() == [
        "veldra: bootstrap: 20.0 %, 1.0 s elapsed, about 4.0 s left",
        "veldra: bootstrap: 40.0 %, 2.0 s elapsed, about 3.0 s left",
        "veldra: bootstrap: 60.0 %, 3.0 s elapsed, about 2.0 s left",
        "veldra: bootstrap: 80.0 %, 4.0 s elapsed, about 1000 ms left",
    ]


def test_the_engine_imports_no_cluster_code():
    # The cluster plugs in as an executor; a search on one machine never
    # loads it.
    tree = ast.parse(Path(_engine.__file__).read_text())
    imported = [
        node.module or "" for node in ast.walk(tree) if isinstance(node, ast.ImportFrom)
    ]
    assert "_state" in imported
    assert not any("distributed" in module for module in imported)


class Stop(Exception):
    pass


@pytest.mark.parametrize("stop_after", [1, 3, 25, 10**9])
def test_checkpoint_resumes_bit_for_bit(monkeypatch, tmp_path, stop_after):
    """Stopped after some ranges (saving after every one), resumed until done."""
    monkeypatch.setattr(_engine, "_RANGE_SECONDS", 0.0)
    monkeypatch.setattr(_engine, "CHECKPOINT_SECONDS", 0.0)
    X = simulate(150, 7, noise="laplace", seed=3).X
    path = tmp_path / "run.ckpt"
    expected = veldra.causal_order(X, n_threads=1)
    calls = []

    def stop(done, total, seconds):
        calls.append(done)
        if len(calls) > stop_after:
            raise Stop

    before = thread_count()
    with contextlib.suppress(Stop):
        veldra.causal_order(X, n_threads=2, progress=stop, checkpoint=path)
    assert thread_count(at_most=before) == before
    resumed = []
    result = veldra.causal_order(
        X, n_threads=1, progress=lambda d, t, s: resumed.append(d), checkpoint=path
    )
    assert resumed[0] == min(calls[-1], expected.n_evaluations)
    assert np.array_equal(result.sinks, expected.sinks)
    assert result.score == expected.score
    assert result.n_evaluations == expected.n_evaluations
    assert os.listdir(tmp_path) == ["run.ckpt"]


@pytest.mark.parametrize(
    ("change", "message"),
    [
        ({"X": 1.5}, "other data"),
        ({"reference": "uniform"}, "another reference"),
        ({"required_order": [(0, 1)]}, "other order constraints"),
    ],
)
def test_checkpoint_of_another_search_is_refused(tmp_path, change, message):
    X = simulate(100, 3, seed=4).X
    path = tmp_path / "run.ckpt"
    veldra.causal_order(X, n_threads=1, checkpoint=path)
    if "X" in change:
        X = X.copy()
        X[0, 0] *= change["X"]
    if "required_order" in change:
        pytest.importorskip("veldra._knowledge")
    options = {k: v for k, v in change.items() if k in ("reference", "required_order")}
    with pytest.raises(ValueError, match=message):
        veldra.causal_order(X, n_threads=1, checkpoint=path, **options)


RUN = """
import sys, numpy as np, veldra
X = np.random.default_rng(5).laplace(size=({n}, {d})) @ np.triu(np.ones(({d}, {d})))
def started(done, total, seconds):
    if done == 0:
        print("started", flush=True)
result = veldra.causal_order(X, n_threads=2, progress=started, checkpoint={path!r})
print(result.score, flush=True)
"""


def start(code):
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        # A shell running the tests in the background ignores SIGINT, and
        # the child would inherit that: give it the default disposition.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),  # noqa: PLW1509
    )


def saved_level(path):
    try:
        with np.load(path) as saved:
            return int(saved["level"])
    except FileNotFoundError:
        return 0


def test_killed_search_resumes_from_its_checkpoint(tmp_path):
    path = tmp_path / "run.ckpt"
    n, d = 5000, 14
    child = start(RUN.format(n=n, d=d, path=str(path)))
    assert child.stdout.readline() == "started\n"
    deadline = time.monotonic() + 60
    while saved_level(path) < 6 and time.monotonic() < deadline:
        time.sleep(0.02)
    child.send_signal(signal.SIGKILL)
    child.communicate()
    assert child.returncode == -signal.SIGKILL
    assert 6 <= saved_level(path) < d  # some levels in, but not done
    X = np.random.default_rng(5).laplace(size=(n, d)) @ np.triu(np.ones((d, d)))
    resumed = []
    result = veldra.causal_order(
        X, n_threads=2, progress=lambda *a: resumed.append(a[0]), checkpoint=path
    )
    assert resumed[0] > 0
    expected = veldra.causal_order(X, n_threads=2)
    assert result.score == expected.score
    assert np.array_equal(result.sinks, expected.sinks)


def test_ctrl_c_stops_a_long_search_within_a_second(tmp_path):
    child = start(RUN.format(n=2000, d=18, path=str(tmp_path / "run.ckpt")))
    assert child.stdout.readline() == "started\n"
    time.sleep(1.0)
    child.send_signal(signal.SIGINT)
    sent = time.monotonic()
    _, err = child.communicate(timeout=30)
    assert time.monotonic() - sent < 1.5
    assert child.returncode != 0
    assert err.rstrip().endswith("KeyboardInterrupt")
    with np.load(tmp_path / "run.ckpt") as saved:
        assert int(saved["level"]) >= 1


def test_no_thread_outlives_an_interrupted_search():
    X = simulate(500, 9, seed=6).X
    veldra.causal_order(X, n_threads=1)  # starts what the libraries keep
    before = threading.active_count(), thread_count()

    def interrupt(done, total, seconds):
        if done > total // 3:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        veldra.causal_order(X, n_threads=2, progress=interrupt)
    assert (threading.active_count(), thread_count(at_most=before[1])) == before


def test_a_search_keeps_its_threads_even_across_a_fork():
    X, gram, reference = problem(300, 6, seed=3)
    columns, none = np.ascontiguousarray(X.T), np.zeros(0, np.int32)

    def level_two(threads):
        scores = np.zeros(15, np.float32)
        sinks = np.full(64, -1, np.int8)
        below = np.zeros(6, np.float32)
        _sweep_level(
            columns, gram, reference, 2, 0, 15, below, scores, sinks, none, threads
        )
        return scores.tobytes() + sinks.tobytes()

    expected, threads = level_two(1), _Threads(2)
    assert [level_two(threads) for _ in range(3)] == [expected] * 3
    # A forked child has none of the pool's threads: it must neither wait
    # for them nor compute other bits, also when it lets the pool go.
    child = os.fork()
    if child == 0:
        same = level_two(threads) == expected
        del threads
        os._exit(0 if same else 1)
    deadline = time.monotonic() + 30
    while (done := os.waitpid(child, os.WNOHANG))[0] == 0:
        if time.monotonic() > deadline:
            os.kill(child, signal.SIGKILL)
            pytest.fail("the forked child hung")
        time.sleep(0.05)
    assert os.waitstatus_to_exitcode(done[1]) == 0
    threads.close()
    assert threads.count == 1
    assert level_two(threads) == expected


def test_bad_engine_arguments_are_refused():
    X, gram, reference = problem(20, 3, seed=0)
    columns = np.ascontiguousarray(X.T)
    below, scores, sinks = (
        np.zeros(3, np.float32),
        np.zeros(3, np.float32),
        np.full(8, -1, np.int8),
    )
    none = np.zeros(0, np.int32)
    good = {
        "X_columns": columns,
        "gram": gram,
        "reference": reference,
        "level": 2,
        "first": 0,
        "last": 3,
        "below": below,
        "scores": scores,
        "sinks": sinks,
        "predecessors": none,
        "n_threads": 1,
    }
    assert _sweep_level(**good) == 6
    read_only = sinks.copy()
    read_only.flags.writeable = False
    for change, message in [
        ({"level": 0}, "level must lie in 1..3"),
        ({"level": 4}, "level must lie in 1..3"),
        ({"last": 4}, "within the level's 3 positions"),
        ({"first": 2, "last": 1}, "within the level's"),
        ({"scores": scores.astype(np.float64)}, "scores must be a writeable"),
        ({"scores": np.zeros(4, np.float32)}, "scores must hold 3 values"),
        ({"sinks": read_only}, "sinks must be a writeable"),
        ({"sinks": np.full(7, -1, np.int8)}, "sinks must hold 8 values"),
        ({"below": np.zeros(2, np.float32)}, "totals of the level below"),
        ({"below": scores}, "below and scores must differ"),
        ({"predecessors": np.array([0, 2, 0], np.int32)}, r"predecessors\[1\]"),
        ({"predecessors": np.array([8, 0, 0], np.int32)}, r"predecessors\[0\]"),
        ({"predecessors": np.array([0, 0], np.int32)}, "one mask per variable"),
        ({"reference": reference[:-1]}, "reference must hold n values"),
        ({"gram": gram[:2]}, "gram must be d x d"),
    ]:
        with pytest.raises(ValueError, match=message):
            _sweep_level(**{**good, **change})
    for threads in (-1, 2.5, None):
        with pytest.raises(TypeError, match="n_threads must be a non-negative"):
            _sweep_level(**{**good, "n_threads": threads})
    # Level sizes: free, and 0 before 1 with 2 last.
    assert _evaluation_counts(3, none) == [0, 3, 6, 3]
    assert _evaluation_counts(3, np.array([0, 1, 3], np.int32)) == [0, 1, 1, 1]


# The instruction sets the kernel is compiled for, lowest first, each with the
# form of the sort it allows.
SORT_FORM = {
    "SSE2": "SSE2",
    "SSSE3": "SSE2",
    "SSE4": "SSE2",
    "AVX2": "AVX2",
    "AVX3": "AVX3",
    "AVX3_DL": "AVX3",
    "AVX3_ZEN4": "AVX3",
    "AVX3_SPR": "AVX3",
}


@pytest.fixture
def processor_sets():
    """The processor's instruction sets, from the refusal's message; the
    limit is lifted afterwards."""
    with pytest.raises(ValueError, match="choose one of") as refused:
        _limit_instruction_set("")
    yield str(refused.value).rpartition("choose one of ")[2].split(", ")
    _limit_instruction_set(None)


def test_every_instruction_set_runs_the_search(processor_sets):
    X, gram, reference = problem(300, 6, seed=4)
    free = _engine.run(X, gram, reference, 1)
    assert processor_sets == [name for name in SORT_FORM if name in processor_sets]
    for name in processor_sets:
        used = {"score": name, "residuals": name, "sort": SORT_FORM[name]}
        assert _limit_instruction_set(name) == used
        outcome = _engine.run(X, gram, reference, 2)
        # A search asks for the processor's targets: the limit must hold.
        assert _limit_instruction_set(name) == used
        assert _instruction_set() == name
        np.testing.assert_array_equal(outcome.sinks, free.sinks)
        assert outcome.score == pytest.approx(free.score, rel=1e-6)
    assert _limit_instruction_set(None)["score"] == processor_sets[-1]


@pytest.mark.parametrize(
    "name",
    [
        "AVX9",  # no such set
        "avx2",  # the names are Highway's, in capitals
        "",
        "EMU128",  # Highway's, but the kernel is not compiled for it
        "missing",  # stands for every compiled set this processor lacks
    ],
)
def test_unknown_instruction_set_is_refused_and_changes_nothing(processor_sets, name):
    names = [name]
    if name == "missing":
        names = [n for n in SORT_FORM if n not in processor_sets]
        if not names:
            pytest.skip("this processor has every instruction set compiled")
    _limit_instruction_set(processor_sets[0])
    for refused in names:
        message = (
            f"no instruction set {refused!r} on this processor: "
            f"choose one of {', '.join(processor_sets)}"
        )
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            _limit_instruction_set(refused)
        assert _instruction_set() == processor_sets[0]
