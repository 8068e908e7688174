"""Speed of veldra against DirectLiNGAM: time, memory and sorting.

Run with the benchmark environment's interpreter (it has ``lingam`` and
matplotlib)::

    OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 MKL_NUM_THREADS=1 \\
        build/bench-venv/bin/python benchmarks/speed.py
    build/bench-venv/bin/python benchmarks/speed.py --quick --out-dir /tmp/speed

Every search runs in a fresh child process on the same simulated data (a
linear model over a random DAG, uniform noise, edge weights uniform on
±[0.5, 2], columns standardised, n = 1000): ``veldra.causal_order`` with 1
and 2 threads, and ``lingam.DirectLiNGAM().fit``. A cell reports the
fastest of up to ``--repeats`` runs (one run once a run takes longer than
``--repeat-below`` seconds). A method's sweep over d stops once the next
run is expected (veldra: from the evaluation count) or found (DirectLiNGAM)
to take longer than ``--limit`` seconds; the remaining veldra cells are
filled with ``veldra.estimate_cost`` and marked ``measured = False``.

The child process first runs the method once on two columns (so that lazy
imports and first-call set-up count neither in the time nor in the memory),
then resets its peak resident memory to the current one and reports the
current memory before and the peak after the search; the difference is the memory the search added, compared with
``2**d + 8 * C(d, d // 2) + 16 * n * d`` bytes (the search's tables and
the data).

Time and memory are extrapolated to d = 25 and 30 by

    seconds(d) = d * 2**(d - 1) * s_t
    bytes(d)   = 2**d + 8 * C(d, d // 2) + 16 * n * d

where s_t is the time per score evaluation measured with t threads at the
largest d measured with t threads.

Finally the sort micro-benchmark (``build/native/sort_bench``) is run and
its table parsed (skipped with a note if the binary is missing, and in
``--quick`` mode unless ``--sort-bench`` is given).

Outputs: ``speed.csv``, ``speed_memory.csv``, ``speed_extrapolation.csv``
and ``sort.csv`` in ``--out-dir`` (default ``benchmarks/results``);
``speed.png`` and ``sort.png`` in ``--img-dir`` (default ``docs/img``).
"""

from __future__ import annotations

import argparse
import csv
import gc
import json
import math
import os
import subprocess
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

import numpy as np
from problems import sparse_uniform as simulate

ROOT = Path(__file__).resolve().parents[1]
SINGLE_THREAD_ENV = {
    "OMP_NUM_THREADS": "1",
    "OPENBLAS_NUM_THREADS": "1",
    "MKL_NUM_THREADS": "1",
}
METHODS = ("veldra-1t", "veldra-2t", "DirectLiNGAM")
EXTRAPOLATE_TO = (25, 30)
SORT_LABELS = {
    "avx512_ns": "network, AVX-512",
    "avx2_ns": "network, AVX2",
    "portable_ns": "network, portable",
    "netsort_ns": "network, dispatching entry (+ processor query)",
    "std_sort_ns": "std::sort",
    "vqsort_ns": "VQSort, best target",
    "vqsort_avx2_ns": "VQSort held to AVX2",
}


def backward_edges(order, B: np.ndarray) -> int:
    """True edges j -> i with i placed before j in ``order``."""
    position = np.empty(len(order), dtype=int)
    position[np.asarray(order)] = np.arange(len(order))
    effects, causes = np.nonzero(B)
    return int(np.sum(position[causes] > position[effects]))


def evaluations(d: int) -> int:
    """Score evaluations of one exhaustive search over d variables."""
    return d * 2 ** (d - 1)


def extrapolate_seconds(d: int, seconds_per_evaluation: float) -> float:
    """Time of a search over d variables at a given cost per evaluation."""
    return evaluations(d) * seconds_per_evaluation


def formula_bytes(d: int, n: int) -> int:
    """Tables (int8 sink per subset, float32 totals of two of the widest
    levels) plus data."""
    return 2**d + 8 * math.comb(d, d // 2) + 16 * n * d


# --- child process -------------------------------------------------------


def status_bytes(field: str) -> int:
    """A memory field of /proc/self/status (VmRSS, VmHWM), in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def reset_peak_rss() -> int:
    """Reset this process's peak resident memory to the current one (Linux
    4.0 and later) and return the current resident memory. Without a reset,
    a transient peak before the search (an import, the warm-up) would hide
    the search's own memory."""
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return status_bytes("VmRSS")


def worker(method: str, n: int, d: int, seed: int, repeats: int, below: float):
    """Time one method on one data set; print the result as JSON."""
    X, B = simulate(n, d, seed)
    if method == "DirectLiNGAM":
        import lingam

        def run(data):
            return lingam.DirectLiNGAM().fit(data).causal_order_, None
    else:
        import veldra

        threads = int(method.split("-")[1][:-1])

        def run(data):
            result = veldra.causal_order(data, n_threads=threads)
            return result.order, result.n_evaluations

    # A warm-up on two columns, so that lazy imports and first-call set-up
    # count neither in the time nor in the search's memory.
    run(X[:, :2])
    before = reset_peak_rss()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        order, n_evaluations = run(X)
        times.append(time.perf_counter() - start)
        if times[-1] > below:
            break
    print(
        json.dumps(
            {
                "seconds": min(times),
                "runs": len(times),
                "n_evaluations": n_evaluations,
                "rss_before": before,
                "rss_after": status_bytes("VmHWM"),
                "backward_edges": backward_edges(order, B),
            }
        )
    )


# --- parent ---------------------------------------------------------------


@dataclass
class Cell:
    method: str
    threads: int
    d: int
    n: int
    seconds: float
    evaluations: int | None
    evaluations_per_second: float | None
    measured: bool
    runs: int
    search_rss_bytes: int | None
    backward_edges: int | None


def threads_of(method: str) -> int:
    return 1 if method == "DirectLiNGAM" else int(method.split("-")[1][:-1])


def run_cell(method: str, n: int, d: int, args) -> Cell:
    command = [
        sys.executable,
        str(Path(__file__).resolve()),
        "--worker",
        method,
        "--n",
        str(n),
        "--d",
        str(d),
        "--seed",
        str(args.seed),
        "--repeats",
        str(args.repeats),
        "--repeat-below",
        str(args.repeat_below),
    ]
    env = {**os.environ, **SINGLE_THREAD_ENV}
    out = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
    if out.returncode != 0:
        raise RuntimeError(f"{method} d={d} failed:\n{out.stderr}")
    report = json.loads(out.stdout.strip().splitlines()[-1])
    count = report["n_evaluations"]
    return Cell(
        method=method,
        threads=threads_of(method),
        d=d,
        n=n,
        seconds=report["seconds"],
        evaluations=count,
        evaluations_per_second=count / report["seconds"] if count else None,
        measured=True,
        runs=report["runs"],
        search_rss_bytes=report["rss_after"] - report["rss_before"],
        backward_edges=report["backward_edges"],
    )


def estimated_cell(method: str, n: int, d: int) -> Cell:
    import veldra

    cost = veldra.estimate_cost(n, d, n_threads=threads_of(method))
    return Cell(
        method=method,
        threads=threads_of(method),
        d=d,
        n=n,
        seconds=cost.seconds,
        evaluations=cost.n_evaluations,
        evaluations_per_second=cost.n_evaluations / cost.seconds,
        measured=False,
        runs=0,
        search_rss_bytes=None,
        backward_edges=None,
    )


def sweep(method: str, n: int, ds: list[int], args) -> list[Cell]:
    """Measure d in order until the next run would exceed the limit."""
    cells: list[Cell] = []
    stopped = False
    for d in ds:
        if not stopped and cells:
            last = cells[-1]
            if method == "DirectLiNGAM":
                stopped = last.seconds > args.limit
            else:
                growth = evaluations(d) / evaluations(last.d)
                stopped = last.seconds * growth > args.limit
        if stopped:
            if method == "DirectLiNGAM":
                break
            cells.append(estimated_cell(method, n, d))
        else:
            cells.append(run_cell(method, n, d, args))
        c = cells[-1]
        print(
            f"  {method:<12} d={d:>2} {c.seconds:>10.3f} s"
            f" {'measured' if c.measured else 'estimate'}",
            file=sys.stderr,
            flush=True,
        )
    return cells


def parse_sort_bench(text: str) -> tuple[list[dict], float | None]:
    """Rows of sort_bench's table (n and ns per element per sort) and the
    nanoseconds of one processor-feature query, if printed."""
    rows, header, query_ns = [], None, None
    for line in text.splitlines():
        fields = line.split()
        if not fields:
            continue
        if fields[0] == "n" and header is None:
            header = fields
        elif header and fields[0].isdigit() and len(fields) == len(header):
            row = {"n": int(fields[0])}
            row.update(
                {k: float(v) for k, v in zip(header[1:], fields[1:], strict=True)}
            )
            rows.append(row)
        elif line.startswith("hwy::SupportedTargets()"):
            query_ns = float(line.split("():")[1].split()[0])
    if header is None or not rows:
        raise ValueError("no sort_bench table found in the output")
    return rows, query_ns


def find_sort_bench(given: str | None) -> Path | None:
    if given:
        return Path(given)
    candidate = ROOT / "build" / "native" / "sort_bench"
    return candidate if candidate.exists() else None


def write_csv(path: Path, rows: list[dict]) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    with path.open("w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)


def fmt(value, layout: str) -> str:
    return "-" if value is None else format(value, layout)


def print_speed(cells: list[Cell]) -> None:
    print(
        f"{'method':<12} {'d':>3} {'seconds':>10} {'eval/s':>10}"
        f" {'measured':>8} {'runs':>4} {'search MiB':>10} {'backward':>8}"
    )
    for c in cells:
        mib = None if c.search_rss_bytes is None else c.search_rss_bytes / 2**20
        print(
            f"{c.method:<12} {c.d:>3} {c.seconds:>10.3f}"
            f" {fmt(c.evaluations_per_second, '>10,.0f')} {c.measured!s:>8}"
            f" {c.runs:>4} {fmt(mib, '>10.2f')} {fmt(c.backward_edges, '>8')}"
        )


def plot_speed(cells: list[Cell], memory: list[dict], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator

    fig, (ax_t, ax_m) = plt.subplots(1, 2, figsize=(11, 4.2))
    styles = {"veldra-1t": "C0", "veldra-2t": "C1", "DirectLiNGAM": "C2"}
    labels = {
        "veldra-1t": "veldra, 1 thread",
        "veldra-2t": "veldra, 2 threads",
        "DirectLiNGAM": "DirectLiNGAM",
    }
    for method, colour in styles.items():
        mine = [c for c in cells if c.method == method]
        done = [c for c in mine if c.measured]
        guess = [c for c in mine if not c.measured]
        if done:
            ax_t.plot(
                [c.d for c in done],
                [c.seconds for c in done],
                "o-",
                color=colour,
                label=f"{labels[method]} (measured)",
            )
        if guess:
            joined = done[-1:] + guess
            ax_t.plot(
                [c.d for c in joined],
                [c.seconds for c in joined],
                "x--",
                color=colour,
                label=f"{labels[method]} (estimate)",
            )
    ax_t.set_yscale("log")
    ax_t.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax_m.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax_t.set_xlabel("variables d")
    ax_t.set_ylabel("wall time, s (n = 1000)")
    ax_t.set_title("Time of one search")
    ax_t.grid(True, which="both", alpha=0.3)
    ax_t.legend(fontsize=8)

    for threads, colour in ((1, "C0"), (2, "C1")):
        mine = [m for m in memory if m["threads"] == threads]
        if mine:
            ax_m.plot(
                [m["d"] for m in mine],
                [max(m["search_rss_bytes"], 1) / 2**20 for m in mine],
                "o-",
                color=colour,
                label=f"peak RSS added by the search, {threads} thread(s)",
            )
    ds = sorted({m["d"] for m in memory})
    ax_m.plot(
        ds,
        [formula_bytes(d, memory[0]["n"]) / 2**20 for d in ds],
        "k--",
        label="12·2^d + 16·n·d",
    )
    ax_m.set_yscale("log")
    ax_m.set_xlabel("variables d")
    ax_m.set_ylabel("MiB")
    ax_m.set_title("veldra memory")
    ax_m.grid(True, which="both", alpha=0.3)
    ax_m.legend(fontsize=8)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_sort(rows: list[dict], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6.5, 4.2))
    for key in rows[0]:
        # A form the processor cannot run is printed as 0.
        if key != "n" and any(r[key] > 0 for r in rows):
            label = SORT_LABELS.get(key, key)
            ax.plot([r["n"] for r in rows], [r[key] for r in rows], "o-", label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("n (doubles sorted)")
    ax.set_ylabel("ns per element")
    ax.set_title("Sorting one array of n doubles")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def extrapolation(cells: list[Cell], n: int) -> list[dict]:
    rows = []
    for method in ("veldra-1t", "veldra-2t"):
        done = [c for c in cells if c.method == method and c.measured]
        if not done:
            continue
        ref = max(done, key=lambda c: c.d)
        per_eval = ref.seconds / evaluations(ref.d)
        for d in EXTRAPOLATE_TO:
            rows.append(
                {
                    "method": method,
                    "d": d,
                    "n": n,
                    "from_d": ref.d,
                    "seconds_per_evaluation": per_eval,
                    "seconds": extrapolate_seconds(d, per_eval),
                    "days": extrapolate_seconds(d, per_eval) / 86400,
                    "memory_bytes": formula_bytes(d, n),
                }
            )
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="d = 4..8, 1 repeat")
    parser.add_argument("--out-dir", type=Path, default=ROOT / "benchmarks/results")
    parser.add_argument("--img-dir", type=Path, default=None)
    parser.add_argument("--n", type=int, default=1000)
    parser.add_argument("--d-min", type=int, default=6)
    parser.add_argument("--d-max", type=int, default=20)
    parser.add_argument("--lingam-d", type=int, nargs="*", default=[25, 30, 40])
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--repeat-below", type=float, default=5.0)
    parser.add_argument(
        "--limit",
        type=float,
        nargs=3,
        default=[160.0, 200.0, 120.0],
        metavar=("V1", "V2", "LINGAM"),
        help="per-run limit in seconds for veldra 1 and 2 threads, DirectLiNGAM",
    )
    parser.add_argument("--sort-bench", default=None, help="path of sort_bench")
    parser.add_argument("--worker", choices=METHODS, help=argparse.SUPPRESS)
    parser.add_argument("--d", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        worker(args.worker, args.n, args.d, args.seed, args.repeats, args.repeat_below)
        return
    if args.img_dir is None:
        args.img_dir = args.out_dir if args.quick else ROOT / "docs/img"
    if args.quick:
        args.d_min, args.d_max, args.repeats, args.lingam_d = 4, 8, 1, []

    ds = list(range(args.d_min, args.d_max + 1))
    cells: list[Cell] = []
    limits = dict(zip(METHODS, args.limit, strict=True))
    for method in METHODS:
        method_ds = ds + (args.lingam_d if method == "DirectLiNGAM" else [])
        args.limit = limits[method]
        cells += sweep(method, args.n, method_ds, args)
    write_csv(args.out_dir / "speed.csv", [asdict(c) for c in cells])
    print_speed(cells)

    memory = [
        {
            "threads": c.threads,
            "d": c.d,
            "n": c.n,
            "search_rss_bytes": c.search_rss_bytes,
            "formula_bytes": formula_bytes(c.d, c.n),
            "ratio": c.search_rss_bytes / formula_bytes(c.d, c.n),
        }
        for c in cells
        if c.method.startswith("veldra") and c.measured
    ]
    write_csv(args.out_dir / "speed_memory.csv", memory)
    print(
        f"\n{'threads':>7} {'d':>3} {'search MiB':>10} {'formula MiB':>11} {'ratio':>6}"
    )
    for m in memory:
        print(
            f"{m['threads']:>7} {m['d']:>3} {m['search_rss_bytes'] / 2**20:>10.2f}"
            f" {m['formula_bytes'] / 2**20:>11.2f} {m['ratio']:>6.2f}"
        )

    extra = extrapolation(cells, args.n)
    write_csv(args.out_dir / "speed_extrapolation.csv", extra)
    print(
        f"\n{'method':<10} {'d':>3} {'from d':>6} {'s/eval':>9} {'days':>10} {'GiB':>7}"
    )
    for e in extra:
        print(
            f"{e['method']:<10} {e['d']:>3} {e['from_d']:>6}"
            f" {e['seconds_per_evaluation']:>9.2e} {e['days']:>10.2f}"
            f" {e['memory_bytes'] / 2**30:>7.2f}"
        )
    plot_speed(cells, memory, args.img_dir / "speed.png")

    bench = (
        None if args.quick and not args.sort_bench else find_sort_bench(args.sort_bench)
    )
    if bench is None or not bench.exists():
        print("\nsort benchmark skipped: no sort_bench binary (or --quick)")
        return
    text = subprocess.run(
        [str(bench)], capture_output=True, text=True, check=True
    ).stdout
    rows, _ = parse_sort_bench(text)
    write_csv(args.out_dir / "sort.csv", rows)
    plot_sort(rows, args.img_dir / "sort.png")
    print()
    print(text.rstrip())


if __name__ == "__main__":
    main()
