"""Accuracy of causal orders: veldra against DirectLiNGAM and two baselines.

Run with the benchmark environment that ``bash scripts/setup.sh`` builds
(it has ``lingam`` and ``matplotlib``, which veldra itself never needs)::

    build/bench-venv/bin/python benchmarks/accuracy.py --quick
    flock /tmp/veldra-bench.lock build/bench-venv/bin/python benchmarks/accuracy.py

Data are simulated from linear acyclic models over a random DAG (random
causal order; Erdos-Renyi graphs with expected degree 1 and 2, and
scale-free graphs), edge weights uniform on +-[0.5, 2], and independent
centred unit-variance noise: uniform, Laplace, exponential, Gumbel, and the
Gaussian control, under which no method can find the order. Every data set
is fitted twice, standardised (the main results) and raw: in raw simulated
data the variances grow along the causal order, which leaks the order to
any method that looks at scale (the ``var_sort`` diagnostic shows how much).

Methods:

- ``veldra``: ``veldra.ExhaustiveOrdering(n_threads=1)``;
- ``DirectLiNGAM``: ``lingam.DirectLiNGAM()`` with its own pruning;
- ``r2_sort``: each variable's R^2 in a least-squares regression on all the
  others; least explained first;
- ``random``: a uniformly random order;
- ``var_sort``: smallest variance first (a diagnostic of raw-data leakage,
  not a method anyone should use).

The baselines' graphs are pruned from their orders by the same adaptive
lasso with BIC that veldra uses. Metrics per run: ``no_backward`` (1 if no
true edge points backwards in the returned order), ``n_backward``,
``kendall_tau`` against the simulator's generating order, and ``shd`` and
``f1`` of the pruned graph (see the function docstrings for definitions).

Writes ``accuracy_runs.csv`` (one row per run and method) and
``accuracy_summary.csv`` (mean and standard error per cell and method) to
``--out-dir``, and PNG plots to ``--img-dir``; prints the headline tables.
"""

from __future__ import annotations

import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse
import csv
import math
import multiprocessing
import platform
import sys
import time
import warnings
from collections import defaultdict
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import NamedTuple

import numpy as np
from problems import simulate, standardise

ROOT = Path(__file__).resolve().parents[1]

GRAPHS = ("er1", "er2", "sf")
NOISES = ("uniform", "laplace", "exponential", "gumbel", "gaussian")
NON_GAUSSIAN = ("uniform", "laplace", "exponential", "gumbel")
METHODS = ("veldra", "DirectLiNGAM", "r2_sort", "random", "var_sort")
SCALINGS = ("standardised", "raw")
METRICS = ("no_backward", "n_backward", "kendall_tau", "shd", "f1")

# The full grid: d at n = 1000, and n at d = 8.
D_GRID = (4, 6, 8, 10, 12)
N_GRID = (200, 500, 1000, 5000)
N_FOR_D = 1000
D_FOR_N = 8


# ------------------------------------------------------------------ metrics


def positions(order: Sequence[int]) -> np.ndarray:
    """``positions(order)[v]`` is the place of variable v in ``order``."""
    place = np.empty(len(order), dtype=np.int64)
    place[np.asarray(order)] = np.arange(len(order))
    return place


def n_backward(true_B: np.ndarray, order: Sequence[int]) -> int:
    """True edges j -> i that the order puts backwards (i before j)."""
    place = positions(order)
    targets, sources = np.nonzero(true_B)
    return int(np.sum(place[targets] < place[sources]))


def kendall_tau(order: Sequence[int], true_order: Sequence[int]) -> float:
    """Kendall's tau between the places two orders give the variables.

    +1 for the same order, -1 for the reversed one; orders have no ties.
    """
    a, b = positions(order), positions(true_order)
    d = len(a)
    concordance = np.sign(a[:, None] - a[None, :]) * np.sign(b[:, None] - b[None, :])
    return float(concordance[np.triu_indices(d, 1)].sum() / (d * (d - 1) / 2))


def shd(true_B: np.ndarray, est_B: np.ndarray) -> int:
    """Structural Hamming distance of two directed graphs.

    Each unordered pair of variables whose edges differ counts 1: a missing
    edge, an extra edge or a reversed edge.
    """
    t, e = true_B != 0, est_B != 0
    differs = (t != e) | (t.T != e.T)
    return int(np.triu(differs, 1).sum())


def f1(true_B: np.ndarray, est_B: np.ndarray) -> float:
    """F1 of the directed edges (a reversed edge is one false positive and
    one false negative); 1.0 when both graphs have no edge."""
    t, e = true_B != 0, est_B != 0
    total = int(t.sum() + e.sum())
    return 1.0 if total == 0 else 2.0 * int((t & e).sum()) / total


def metrics(
    true_B: np.ndarray, true_order: np.ndarray, order: np.ndarray, est_B: np.ndarray
) -> dict[str, float]:
    back = n_backward(true_B, order)
    return {
        "no_backward": float(back == 0),
        "n_backward": float(back),
        "kendall_tau": kendall_tau(order, true_order),
        "shd": float(shd(true_B, est_B)),
        "f1": f1(true_B, est_B),
    }


# ------------------------------------------------------------------ methods


def r2_order(X: np.ndarray) -> np.ndarray:
    """Variables by R^2 of their regression on all others, least explained
    first. With standardised columns, 1 - R^2_i = 1 / (C^-1)_ii for the
    correlation matrix C."""
    precision_diag = np.diag(np.linalg.inv(np.corrcoef(X, rowvar=False)))
    r2 = 1.0 - 1.0 / precision_diag
    return np.argsort(r2, kind="stable").astype(np.int64)


def pruned(X: np.ndarray, order: np.ndarray) -> np.ndarray:
    """The graph veldra would estimate for this order (adaptive lasso, BIC)."""
    import veldra
    from veldra._graph import predecessor_effects

    return predecessor_effects(veldra.prepare_data(X), order, "adaptive_lasso", "bic")


def fit(method: str, X: np.ndarray, rng: np.random.Generator):
    """``(order, adjacency)`` of one method on data ``X``."""
    if method == "veldra":
        import veldra

        # Gaussian noise is part of the grid: its warning is expected there
        # (benchmarks/identifiability.py counts it).
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)
            model = veldra.ExhaustiveOrdering(n_threads=1).fit(X)
        return np.asarray(model.causal_order_), model.adjacency_matrix_
    if method == "DirectLiNGAM":
        import lingam

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = lingam.DirectLiNGAM().fit(X)
        return np.asarray(model.causal_order_), model.adjacency_matrix_
    if method == "r2_sort":
        order = r2_order(X)
    elif method == "random":
        order = rng.permutation(X.shape[1]).astype(np.int64)
    elif method == "var_sort":
        order = np.argsort(X.var(axis=0), kind="stable").astype(np.int64)
    else:
        raise ValueError(f"unknown method {method!r}")
    return order, pruned(X, order)


# --------------------------------------------------------------------- grid


class Task(NamedTuple):
    graph: str
    noise: str
    d: int
    n: int
    seed: int


def cells(d_grid: Iterable[int], n_grid: Iterable[int]) -> list[tuple[int, int]]:
    """(d, n) pairs: each d at n = 1000, each n at d = 8, without repeats."""
    pairs = [(d, N_FOR_D) for d in d_grid] + [(D_FOR_N, n) for n in n_grid]
    return list(dict.fromkeys(pairs))


def task_rng(task: Task, stream: int) -> np.random.Generator:
    """A generator fixed by the cell and seed index (stream 0: the data,
    stream 1: the random-order baseline)."""
    key = [GRAPHS.index(task.graph), NOISES.index(task.noise), task.d, task.n]
    return np.random.default_rng([*key, task.seed, stream])


def run_task(args: tuple[Task, tuple[str, ...]]) -> list[dict]:
    """Fit every method to one simulated data set, raw and standardised."""
    task, scalings = args
    X_raw, B, order = simulate(
        task_rng(task, 0), task.n, task.d, task.graph, task.noise
    )
    rows = []
    for scaling in scalings:
        X = standardise(X_raw) if scaling == "standardised" else X_raw
        rng = task_rng(task, 1)
        for method in METHODS:
            start = time.perf_counter()
            try:
                est_order, est_B = fit(method, X, rng)
            except (ValueError, RuntimeError, np.linalg.LinAlgError) as error:
                # Recorded, not fatal: the failures column of the summary
                # counts them and the metrics leave them out.
                scores = dict.fromkeys(METRICS, float("nan"))
                failure = f"{type(error).__name__}: {error}".replace("\n", " ")
            else:
                scores, failure = metrics(B, order, est_order, est_B), ""
            seconds = time.perf_counter() - start
            rows.append(
                {
                    "scaling": scaling,
                    "graph": task.graph,
                    "noise": task.noise,
                    "d": task.d,
                    "n": task.n,
                    "seed": task.seed,
                    "method": method,
                    **scores,
                    "n_true_edges": int((B != 0).sum()),
                    "seconds": seconds,
                    "error": failure,
                }
            )
    return rows


def run_grid(tasks: list[Task], scalings: tuple[str, ...], workers: int) -> list[dict]:
    # Largest cells first so that the two workers finish together.
    tasks = sorted(tasks, key=lambda t: (-(2**t.d) * t.n, t.seed))
    jobs = [(task, scalings) for task in tasks]
    rows: list[dict] = []
    done = 0
    start = time.perf_counter()
    if workers > 1:
        with multiprocessing.get_context("fork").Pool(workers) as pool:
            for result in pool.imap_unordered(run_task, jobs):
                rows.extend(result)
                done += 1
                _progress(done, len(jobs), start)
    else:
        for job in jobs:
            rows.extend(run_task(job))
            done += 1
            _progress(done, len(jobs), start)
    key_order = {m: i for i, m in enumerate(METHODS)}
    rows.sort(
        key=lambda r: (
            SCALINGS.index(r["scaling"]),
            GRAPHS.index(r["graph"]),
            NOISES.index(r["noise"]),
            r["d"],
            r["n"],
            r["seed"],
            key_order[r["method"]],
        )
    )
    return rows


def _progress(done: int, total: int, start: float) -> None:
    if done == total or done % max(1, total // 20) == 0:
        print(
            f"  {done}/{total} data sets, {time.perf_counter() - start:.0f} s",
            file=sys.stderr,
            flush=True,
        )


# ----------------------------------------------------------------- summaries


def mean_se(values: Sequence[float]) -> tuple[float, float]:
    a = np.asarray(values, dtype=float)
    if a.size == 0:
        return float("nan"), float("nan")
    se = float(a.std(ddof=1) / math.sqrt(a.size)) if a.size > 1 else float("nan")
    return float(a.mean()), se


def summarise(rows: list[dict], keys: Sequence[str]) -> list[dict]:
    """Mean and standard error of each metric per group of ``keys``."""
    groups: dict[tuple, list[dict]] = defaultdict(list)
    for row in rows:
        groups[tuple(row[k] for k in keys)].append(row)
    out = []
    for key, members in groups.items():
        record = dict(zip(keys, key, strict=True))
        record["seeds"] = len({(r["graph"], r["noise"], r["seed"]) for r in members})
        fitted = [r for r in members if not r["error"]]
        record["runs"] = len(fitted)
        record["failures"] = len(members) - len(fitted)
        for metric in (*METRICS, "seconds"):
            mean, se = mean_se([r[metric] for r in fitted])
            record[metric] = mean
            record[f"{metric}_se"] = se
        out.append(record)
    return out


def noise_group(row: dict) -> str:
    return "gaussian" if row["noise"] == "gaussian" else "non-gaussian"


def headline(rows: list[dict]) -> list[dict]:
    """Pooled over graph types, and over the non-Gaussian noises."""
    tagged = [{**r, "noise_group": noise_group(r)} for r in rows]
    keys = ("scaling", "noise_group", "d", "n", "method")
    out = summarise(tagged, keys)
    out.sort(
        key=lambda r: (
            SCALINGS.index(r["scaling"]),
            r["noise_group"] != "non-gaussian",
            r["n"] != N_FOR_D,
            r["d"],
            r["n"],
            METHODS.index(r["method"]),
        )
    )
    return out


def write_csv(path: Path, rows: list[dict]) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    with path.open("w", newline="") as handle:
        writer = csv.DictWriter(handle, fieldnames=list(rows[0]))
        writer.writeheader()
        for row in rows:
            writer.writerow(
                {k: f"{v:.6g}" if isinstance(v, float) else v for k, v in row.items()}
            )


def markdown_tables(summary: list[dict]) -> str:
    """One table per scaling and noise group: methods by rows, (d, n) cells
    by columns, each entry no_backward share / tau / SHD / F1."""
    lines = []
    for scaling in SCALINGS:
        for group in ("non-gaussian", "gaussian"):
            part = [
                r
                for r in summary
                if r["scaling"] == scaling and r["noise_group"] == group
            ]
            if not part:
                continue
            pairs = list(dict.fromkeys((r["d"], r["n"]) for r in part))
            runs = {(r["d"], r["n"]): r["runs"] for r in part}
            lines.append(
                f"\n{scaling} data, {group} noise "
                "(no-backward share / Kendall tau / SHD / F1; runs per cell: "
                + ", ".join(f"d={d} n={n}: {runs[d, n]}" for d, n in pairs)
                + ")\n"
            )
            lines.append(
                "| method | " + " | ".join(f"d={d} n={n}" for d, n in pairs) + " |"
            )
            lines.append("|---" * (len(pairs) + 1) + "|")
            for method in METHODS:
                by_cell = {(r["d"], r["n"]): r for r in part if r["method"] == method}
                cells_text = [
                    "{:.2f} / {:.2f} / {:.1f} / {:.2f}".format(
                        *(
                            by_cell[p][m]
                            for m in ("no_backward", "kendall_tau", "shd", "f1")
                        )
                    )
                    for p in pairs
                ]
                lines.append(f"| {method} | " + " | ".join(cells_text) + " |")
    return "\n".join(lines)


# -------------------------------------------------------------------- plots

COLOURS = {
    "veldra": "tab:blue",
    "DirectLiNGAM": "tab:orange",
    "r2_sort": "tab:green",
    "random": "tab:gray",
    "var_sort": "tab:purple",
}
LABELS = {
    "no_backward": "share with no backward edge",
    "kendall_tau": "Kendall tau",
    "f1": "F1 of the graph",
    "shd": "SHD",
}


def _line(ax, part: list[dict], axis: str, method: str, metric: str, **style) -> None:
    points = sorted(
        (r[axis], r[metric], r[f"{metric}_se"]) for r in part if r["method"] == method
    )
    if not points:
        return
    x, y, se = (np.array(v, dtype=float) for v in zip(*points, strict=True))
    # Nudge each method sideways a little so equal results stay visible.
    nudge = 0.012 * (METHODS.index(method) - 2)
    x = x * np.exp(nudge) if axis == "n" else x + 10 * nudge
    ax.errorbar(
        x,
        y,
        yerr=np.nan_to_num(se),
        color=COLOURS[method],
        capsize=2,
        label=method,
        **style,
    )


def _fixed(summary: list[dict], key: str, preferred: int) -> int:
    """``preferred`` if some cell has it, else the smallest value present."""
    values = {r[key] for r in summary}
    return preferred if preferred in values else min(values)


def plot_vs(summary: list[dict], axis: str, path: Path) -> None:
    """Metrics against d (n = 1000) or n (d = 8), standardised data."""
    import matplotlib.pyplot as plt

    fixed = (
        ("n", _fixed(summary, "n", N_FOR_D))
        if axis == "d"
        else ("d", _fixed(summary, "d", D_FOR_N))
    )
    part = [
        r for r in summary if r["scaling"] == "standardised" and r[fixed[0]] == fixed[1]
    ]
    rows_m = ("no_backward", "kendall_tau", "f1")
    fig, axes = plt.subplots(
        len(rows_m), 2, figsize=(10, 9), sharex=True, squeeze=False
    )
    for col, group in enumerate(("non-gaussian", "gaussian")):
        sub = [r for r in part if r["noise_group"] == group]
        for row, metric in enumerate(rows_m):
            ax = axes[row, col]
            for method in METHODS:
                if method != "var_sort":
                    _line(ax, sub, axis, method, metric, marker="o")
            ax.set_ylabel(LABELS[metric])
            ax.grid(alpha=0.3)
            if row == 0:
                title = "non-Gaussian" if group == "non-gaussian" else "Gaussian"
                ax.set_title(f"{title} noise (standardised, {fixed[0]} = {fixed[1]})")
            if row == len(rows_m) - 1:
                ax.set_xlabel(axis)
                if axis == "n":
                    ax.set_xscale("log")
                    ticks = sorted({r["n"] for r in sub})
                    ax.set_xticks(ticks, [str(t) for t in ticks])
                    ax.minorticks_off()
    axes[0, 0].legend(fontsize=8)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_noises(cell_summary: list[dict], path: Path) -> None:
    """No-backward share against d, one panel per noise (standardised,
    averaged over graph types)."""
    import matplotlib.pyplot as plt

    n = _fixed(cell_summary, "n", N_FOR_D)
    part = [r for r in cell_summary if r["scaling"] == "standardised" and r["n"] == n]
    noises = [k for k in NOISES if any(r["noise"] == k for r in part)]
    fig, axes = plt.subplots(
        1, len(noises), figsize=(3.2 * len(noises), 3.4), sharey=True, squeeze=False
    )
    for ax, kind in zip(axes[0], noises, strict=True):
        sub = [r for r in part if r["noise"] == kind]
        for method in METHODS:
            if method != "var_sort":
                _line(ax, sub, "d", method, "no_backward", marker="o")
        ax.set_title(f"{kind} noise")
        ax.set_xlabel(f"d (n = {n})")
        ax.grid(alpha=0.3)
    axes[0, 0].set_ylabel(LABELS["no_backward"])
    axes[0, 0].legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_raw(summary: list[dict], path: Path) -> None:
    """Raw against standardised data, non-Gaussian noise, against d."""
    import matplotlib.pyplot as plt

    n = _fixed(summary, "n", N_FOR_D)
    part = [r for r in summary if r["noise_group"] == "non-gaussian" and r["n"] == n]
    fig, axes = plt.subplots(1, 2, figsize=(10, 3.8), squeeze=False)
    for ax, metric in zip(axes[0], ("no_backward", "kendall_tau"), strict=True):
        for scaling, style in (("standardised", "-"), ("raw", "--")):
            sub = [r for r in part if r["scaling"] == scaling]
            for method in METHODS:
                _line(ax, sub, "d", method, metric, marker="o", linestyle=style)
        ax.set_xlabel(f"d (n = {n})")
        ax.set_ylabel(LABELS[metric])
        ax.set_title(
            "non-Gaussian noise: standardised (solid), raw (dashed)", fontsize=9
        )
        ax.grid(alpha=0.3)
    handles, labels = axes[0, 0].get_legend_handles_labels()
    unique = dict(zip(labels, handles, strict=True))
    axes[0, 0].legend(unique.values(), unique.keys(), fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --------------------------------------------------------------------- main


def versions() -> str:
    import sklearn

    import veldra

    parts = [
        f"python {platform.python_version()}",
        f"numpy {np.__version__}",
        f"scikit-learn {sklearn.__version__}",
        f"veldra {getattr(veldra, '__version__', '?')}",
    ]
    try:
        import lingam

        parts.append(f"lingam {lingam.__version__}")
    except ImportError:
        parts.append("lingam missing")
    return ", ".join(parts)


def read_runs(path: Path) -> list[dict]:
    """The per-run rows of an earlier run, as ``run_task`` made them."""
    integers = ("d", "n", "seed", "n_true_edges")
    floats = (*METRICS, "seconds")
    with path.open() as handle:
        rows = list(csv.DictReader(handle))
    for row in rows:
        row.update({k: int(row[k]) for k in integers})
        row.update({k: float(row[k]) for k in floats})
    return rows


def parse_args(argv: Sequence[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--quick",
        action="store_true",
        help="small grid: d 4 and 6 at n = 500, 2 seeds, uniform and Gaussian noise",
    )
    parser.add_argument(
        "--out-dir",
        type=Path,
        default=ROOT / "benchmarks" / "results",
        help="directory of the CSV files",
    )
    parser.add_argument(
        "--img-dir",
        type=Path,
        default=ROOT / "docs" / "img",
        help="directory of the PNG plots",
    )
    parser.add_argument("--seeds", type=int, default=20, help="seeds per cell")
    parser.add_argument(
        "--seeds-d12",
        type=int,
        default=None,
        help="seeds for the d = 12 cells (default: --seeds)",
    )
    parser.add_argument(
        "--raw",
        choices=("all", "small", "none"),
        default="all",
        help="also fit raw data: in every cell, in cells with d <= 10, or never",
    )
    parser.add_argument(
        "--from-runs",
        type=Path,
        default=None,
        help="redo the summaries, tables and plots from this per-run CSV "
        "instead of running the grid",
    )
    parser.add_argument("--workers", type=int, default=2, help="worker processes")
    return parser.parse_args(argv)


def build_tasks(args: argparse.Namespace) -> list[tuple[Task, tuple[str, ...]]]:
    if args.quick:
        pairs, graphs, noises, seeds = (
            [(4, 500), (6, 500)],
            GRAPHS,
            ("uniform", "gaussian"),
            2,
        )
    else:
        pairs, graphs, noises, seeds = cells(D_GRID, N_GRID), GRAPHS, NOISES, args.seeds
    jobs = []
    for d, n in pairs:
        count = args.seeds_d12 if (d == 12 and args.seeds_d12) else seeds
        raw = args.raw == "all" or (args.raw == "small" and d <= 10)
        scalings = SCALINGS if raw else ("standardised",)
        for graph in graphs:
            for kind in noises:
                for seed in range(count):
                    jobs.append((Task(graph, kind, d, n, seed), scalings))
    return jobs


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    jobs = build_tasks(args)
    start = time.perf_counter()
    print(
        f"{len(jobs)} data sets, {args.workers} workers; {versions()}",
        file=sys.stderr,
        flush=True,
    )
    rows: list[dict] = []
    if args.from_runs:
        rows = read_runs(args.from_runs)
    else:
        # Group by scalings so each pool call gets one scalings tuple.
        by_scalings: dict[tuple[str, ...], list[Task]] = defaultdict(list)
        for task, scalings in jobs:
            by_scalings[scalings].append(task)
        for scalings, tasks in by_scalings.items():
            rows.extend(run_grid(tasks, scalings, args.workers))
    elapsed = time.perf_counter() - start

    suffix = "_quick" if args.quick else ""
    cell_keys = ("scaling", "graph", "noise", "d", "n", "method")
    cell_summary = summarise(rows, cell_keys)
    head = headline(rows)
    if not args.from_runs:
        write_csv(args.out_dir / f"accuracy_runs{suffix}.csv", rows)
    write_csv(args.out_dir / f"accuracy_summary{suffix}.csv", cell_summary)
    write_csv(args.out_dir / f"accuracy_headline{suffix}.csv", head)
    plot_vs(head, "d", args.img_dir / f"accuracy_d{suffix}.png")
    if len({r["n"] for r in head}) > 1:
        plot_vs(head, "n", args.img_dir / f"accuracy_n{suffix}.png")
    noise_summary = summarise(rows, ("scaling", "noise", "d", "n", "method"))
    plot_noises(noise_summary, args.img_dir / f"accuracy_noise{suffix}.png")
    if any(r["scaling"] == "raw" for r in rows):
        plot_raw(head, args.img_dir / f"accuracy_raw{suffix}.png")

    print(markdown_tables(head))
    failed = [r for r in rows if r["error"]]
    print(f"\n{len(failed)} failed fits")
    for row in failed[:20]:
        print(
            f"  {row['method']} {row['scaling']} {row['graph']} {row['noise']} "
            f"d={row['d']} n={row['n']} seed={row['seed']}: {row['error']}"
        )
    if not args.from_runs:
        print(
            f"\n{len(rows)} runs in {elapsed:.1f} s wall time with "
            f"{args.workers} workers"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
