"""The speed benchmark runs, writes consistent results, and its helpers hold."""

import csv
import importlib.util
import json
import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import veldra

ROOT = Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "benchmarks" / "speed.py"

# Lines of real sort_bench output (build/native/sort_bench on an AVX2 VM).
SORT_BENCH_SAMPLE = """\
     n  avx512_ns    avx2_ns    portable_ns  netsort_ns  std_sort_ns  vqsort_ns  vqsort_avx2_ns
     8       0.00       4.01           7.75      889.59        12.70       5.64            5.56
  1000       0.00       5.08          35.24       12.43        51.66       8.77           11.42
 10000       0.00      10.70          76.86        9.40        69.21      11.39           10.62
(no AVX-512 on this processor: AVX-512 column not run)
hwy::SupportedTargets(): 8765 ns per call
"""


@pytest.fixture(scope="module")
def speed():
    found = importlib.util.spec_from_file_location("speed_bench", SCRIPT)
    module = importlib.util.module_from_spec(found)
    sys.modules[found.name] = module  # dataclasses look their module up there
    found.loader.exec_module(module)
    return module


def read(path: Path) -> list[dict]:
    with path.open() as f:
        return list(csv.DictReader(f))


def test_quick_run_writes_every_cell(bench_python, tmp_path):
    out = subprocess.run(
        [
            str(bench_python),
            str(SCRIPT),
            "--quick",
            "--out-dir",
            str(tmp_path / "csv"),
            "--img-dir",
            str(tmp_path / "img"),
        ],
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    assert out.returncode == 0, out.stderr
    assert "DirectLiNGAM" in out.stdout  # the table is printed

    rows = read(tmp_path / "csv" / "speed.csv")
    cells = {(r["method"], int(r["d"])) for r in rows}
    expected = {
        (m, d) for m in ("veldra-1t", "veldra-2t", "DirectLiNGAM") for d in range(4, 9)
    }
    assert cells == expected
    assert len(rows) == len(expected)
    for r in rows:
        d, seconds = int(r["d"]), float(r["seconds"])
        assert seconds > 0
        assert r["measured"] == "True"
        assert int(r["n"]) == 1000
        assert int(r["backward_edges"]) >= 0
        if r["method"].startswith("veldra"):
            # The count comes from the library's result, not from the formula.
            assert int(r["evaluations"]) == d * 2 ** (d - 1)
            assert float(r["evaluations_per_second"]) == pytest.approx(
                d * 2 ** (d - 1) / seconds, rel=1e-9
            )
            assert int(r["threads"]) == int(r["method"][-2])
        else:
            assert r["evaluations"] == r["evaluations_per_second"] == ""

    # Memory rows: one per measured veldra cell, matching its speed row. (At
    # these sizes the search may reuse freed memory; see
    # test_worker_counts_the_search_memory for a size where it cannot.)
    memory = read(tmp_path / "csv" / "speed_memory.csv")
    assert [(int(m["threads"]), int(m["d"])) for m in memory] == [
        (t, d) for t in (1, 2) for d in range(4, 9)
    ]
    rss = {(r["method"], int(r["d"])): r["search_rss_bytes"] for r in rows}
    for m in memory:
        d, added = int(m["d"]), int(m["search_rss_bytes"])
        assert m["search_rss_bytes"] == rss[(f"veldra-{m['threads']}t", d)]
        assert int(m["formula_bytes"]) == 2**d + 8 * math.comb(d, d // 2) + 16000 * d
        assert float(m["ratio"]) == pytest.approx(added / int(m["formula_bytes"]))

    # The extrapolation starts from the largest measured d of each thread count.
    by_cell = {(r["method"], int(r["d"])): float(r["seconds"]) for r in rows}
    extra = read(tmp_path / "csv" / "speed_extrapolation.csv")
    assert {(e["method"], int(e["d"])) for e in extra} == {
        (m, d) for m in ("veldra-1t", "veldra-2t") for d in (25, 30)
    }
    for e in extra:
        d, from_d = int(e["d"]), int(e["from_d"])
        assert from_d == 8
        per_eval = by_cell[(e["method"], from_d)] / (from_d * 2 ** (from_d - 1))
        assert float(e["seconds_per_evaluation"]) == pytest.approx(per_eval)
        assert float(e["seconds"]) == pytest.approx(d * 2 ** (d - 1) * per_eval)

    png = tmp_path / "img" / "speed.png"
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert not (tmp_path / "csv" / "sort.csv").exists()  # skipped in quick mode


def test_worker_counts_the_search_memory(bench_python):
    # d = 14: the tables alone (12 bytes per subset, 192 KiB) are larger than
    # anything the warm-up could have freed for the search to reuse.
    command = [str(bench_python), str(SCRIPT), "--worker", "veldra-2t", "--d", "14"]
    command += ["--n", "1000", "--seed", "0", "--repeats", "1", "--repeat-below", "1"]
    out = subprocess.run(
        command,
        capture_output=True,
        text=True,
        timeout=120,
        check=True,
    )
    report = json.loads(out.stdout.splitlines()[-1])
    assert report["n_evaluations"] == 14 * 2**13
    assert report["runs"] == 1
    assert report["seconds"] > 0
    assert report["rss_after"] - report["rss_before"] >= 2**14
    assert report["backward_edges"] >= 0


def test_sort_bench_parser(speed):
    rows, query_ns = speed.parse_sort_bench(SORT_BENCH_SAMPLE)
    assert [r["n"] for r in rows] == [8, 1000, 10000]
    assert rows[1] == {
        "n": 1000,
        "avx512_ns": 0.0,
        "avx2_ns": 5.08,
        "portable_ns": 35.24,
        "netsort_ns": 12.43,
        "std_sort_ns": 51.66,
        "vqsort_ns": 8.77,
        "vqsort_avx2_ns": 11.42,
    }
    assert query_ns == 8765.0
    # Without the AVX2 line's query figure the table still parses; without a
    # table it is an error rather than an empty CSV.
    rows, query_ns = speed.parse_sort_bench(SORT_BENCH_SAMPLE.rsplit("hwy", 1)[0])
    assert len(rows) == 3
    assert query_ns is None
    with pytest.raises(ValueError, match="no sort_bench table"):
        speed.parse_sort_bench("sort_bench: not found\n")


@pytest.mark.filterwarnings("ignore::veldra.IdentifiabilityWarning")
def test_cost_formulas(speed):
    # The evaluation count matches what the library actually does.
    X, _ = speed.simulate(200, 6, seed=3)
    for d in (1, 3, 6):
        assert veldra.causal_order(X[:, :d], n_threads=1).n_evaluations == (
            speed.evaluations(d)
        )
    assert speed.extrapolate_seconds(30, 5e-5) == pytest.approx(
        30 * 2**29 * 5e-5
    )  # about 9.3 days
    assert speed.extrapolate_seconds(25, 5e-5) / 86400 == pytest.approx(0.2428, 1e-3)
    # Tables: a byte per subset and two widest levels of float32, 2.2 GiB at
    # d = 30; data: 16 bytes per value.
    assert speed.formula_bytes(30, 1000) == 2**30 + 8 * 155117520 + 16 * 1000 * 30
    assert speed.formula_bytes(20, 1) - speed.formula_bytes(20, 0) == 16 * 20


def test_simulated_data_is_a_standardised_dag(speed):
    X, B = speed.simulate(500, 9, seed=1)
    assert X.shape == (500, 9)
    np.testing.assert_allclose(X.mean(axis=0), 0, atol=1e-12)
    np.testing.assert_allclose(X.std(axis=0), 1)
    weights = np.abs(B[B != 0])
    assert weights.size > 0
    assert np.all((weights >= 0.5) & (weights <= 2.0))
    # Acyclic: some order makes B strictly lower triangular, i.e. B is
    # nilpotent.
    assert not np.linalg.matrix_power((B != 0).astype(int), 9).any()
    # The same seed gives the same data.
    X2, B2 = speed.simulate(500, 9, seed=1)
    np.testing.assert_array_equal(X, X2)
    np.testing.assert_array_equal(B, B2)


def test_backward_edges(speed):
    # Edges 0 -> 1, 1 -> 2, 0 -> 2 (B[i, j] is the effect of j on i).
    B = np.zeros((3, 3))
    B[1, 0] = B[2, 1] = B[2, 0] = 1.0
    assert speed.backward_edges([0, 1, 2], B) == 0
    assert speed.backward_edges([2, 1, 0], B) == 3
    assert speed.backward_edges([1, 0, 2], B) == 1
    assert speed.backward_edges(np.array([0, 2, 1]), B) == 1
