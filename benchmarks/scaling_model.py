"""A model of the search's wall time on a Dask cluster, fitted to this
machine's measurements, projected to d = 24-30 on 64, 512 and 4096 cores.

Fitted here:
- the seconds one core takes per score evaluation, as a + b * k on a level
  of k-member subsets (a regression over k - 1 parents and a sort), from the
  per-level computing times of bench_distributed.py's runs (n = 1000) and
  of a search timed level by level here (``--measure N``, any n);
- the fixed cost of a level on the cluster (broadcast start, first task,
  last result), from the narrow levels of those runs;
- the serial cost of a task to the driver and the scheduler, from a search
  whose chunks are made tiny (``--task-cost``).

Per level k (C(d, k) subsets, k * C(d, k) evaluations, E_k core-seconds):
- computing: E_k / min(P, C(d, k)), plus the last short task's wait;
- broadcast of the level below (4 * C(d, k - 1) bytes): client to scheduler
  to one worker, then copies that triple the holders each round, so
  (2 + ceil(log3 W)) transfers at the bandwidth, W worker processes;
- the tasks (as the search cuts the level: 2 s of a worker, all its threads
  on one chunk, shrinking at the end) cannot go faster than the driver and
  the scheduler hand them out;
- the results (5 bytes a subset) flow into the driver during the level,
  which writes them into its tables (15 ns a subset, measured at d = 26:
  7 ns for the sinks by subset, 8 ns for the totals, first touch included).
A level takes the largest of computing, scheduling and receiving (with
merging), plus its broadcast and fixed cost.

    python benchmarks/scaling_model.py --results benchmarks/results/distributed.jsonl \\
        --measure 10000 --task-cost
"""

from __future__ import annotations

import argparse
import json
import math
import statistics
import time

import numpy as np
from problems import laplace_problem

from veldra._search._distributed import (
    _SHORTEST_TASK_SECONDS as SHORTEST_TASK_SECONDS,
)
from veldra._search._distributed import split_level


def fit_line(levels: list[int], seconds: list[float]) -> tuple[float, float]:
    """Least squares a + b * k through per-evaluation seconds by level."""
    b, a = np.polyfit(np.array(levels, float), np.array(seconds, float), 1)
    return float(a), float(b)


def from_runs(path: str) -> dict[str, float]:
    """Per-evaluation line (n = 1000) and fixed level cost from the runs."""
    levels, seconds, weights, fixed = [], [], [], []
    with open(path) as file:
        for line in file:
            run = json.loads(line)
            if run.get("dask_defaults") or "per_level" not in run:
                continue
            d = run["d"]
            for r in run["per_level"]:
                k = r["level"]
                evaluations = k * math.comb(d, k)
                if r["compute_seconds"] > 1.0 and run["form"] == "workers-1":
                    levels.append(k)
                    seconds.append(r["compute_seconds"] / evaluations)
                    weights.append(evaluations)
                if r["compute_seconds"] < 0.05:
                    workers = r.get("workers", r.get("threads"))
                    fixed.append(r["seconds"] - r["compute_seconds"] / workers)
    a, b = np.polynomial.polynomial.polyfit(levels, seconds, 1, w=np.sqrt(weights))
    return {"a": float(a), "b": float(b), "level_fixed": statistics.median(fixed)}


def measure(n: int, d: int) -> tuple[float, float]:
    """Per-evaluation line at n samples: each level of a d-variable search
    timed here, on one thread."""
    from veldra._sweep import _evaluation_counts, _sweep_level

    X, gram, reference = laplace_problem(n, d)
    columns, none = np.ascontiguousarray(X.T), np.zeros(0, np.int32)
    counts = _evaluation_counts(d, none)
    sinks = np.full(1 << d, -1, np.int8)
    below = np.zeros(1, np.float32)
    levels, seconds = [], []
    for k in range(1, d + 1):
        scores = np.zeros(math.comb(d, k), np.float32)
        began = time.perf_counter()
        _sweep_level(
            columns, gram, reference, k, 0, scores.size, below, scores, sinks, none, 1
        )
        took = time.perf_counter() - began
        if took > 0.2:
            levels.append(k)
            seconds.append(took / counts[k])
        below = scores
    return fit_line(levels, seconds)


def task_cost() -> float:
    """Seconds of driver and scheduler time per task: a search on 2 local
    worker processes with chunks of a few subsets, whose computing is
    negligible, divided by its tasks."""
    import dask
    from distributed import Client, LocalCluster

    from veldra._search import _distributed, _engine

    rng = np.random.default_rng(0)
    X = rng.laplace(size=(20, 14))
    X = (X - X.mean(axis=0)) / X.std(axis=0)
    quiet = {
        "distributed.worker.profile.enabled": False,
        "distributed.admin.tick.interval": "1s",
    }
    saved = _distributed.TASK_SECONDS, _distributed._SHORTEST_TASK_SECONDS
    _distributed.TASK_SECONDS = _distributed._SHORTEST_TASK_SECONDS = 1e-5
    try:
        with (
            dask.config.set(quiet),
            LocalCluster(
                n_workers=2, threads_per_worker=1, dashboard_address=":0"
            ) as cluster,
            Client(cluster, set_as_default=False) as client,
        ):
            client.wait_for_workers(2)
            began = time.perf_counter()
            outcome = _engine.run(
                X,
                X.T @ X,
                np.sort(rng.standard_normal(20)),
                1,
                executor=_distributed.ClusterExecutor(client),
            )
            took = time.perf_counter() - began
    finally:
        _distributed.TASK_SECONDS, _distributed._SHORTEST_TASK_SECONDS = saved
    tasks = sum(r.tasks for r in outcome.levels)
    computing = sum(r.compute_seconds for r in outcome.levels) / 2
    return (took - computing) / tasks


def project(
    d: int,
    cores: int,
    per_evaluation: tuple[float, float],
    level_fixed: float,
    seconds_per_task: float,
    bandwidth: float,
    threads_per_worker: int,
    merge_seconds: float = 15e-9,
) -> dict[str, float]:
    """Wall seconds of a search and what they are spent on."""
    a, b = per_evaluation
    workers = max(1, cores // threads_per_worker)
    hops = 2 + math.ceil(math.log(workers, 3)) if workers > 1 else 1
    parts = dict.fromkeys(
        ("compute", "tail", "scheduling", "receiving", "broadcast", "fixed"), 0.0
    )
    for k in range(1, d + 1):
        size = math.comb(d, k)
        work = k * size * (a + b * k)
        busy = min(cores, size)
        compute = work / busy
        tail = min(SHORTEST_TASK_SECONDS, compute)
        # Subsets per second of one worker, its threads sharing each chunk.
        speed = threads_per_worker / ((a + b * k) * k)
        tasks = len(split_level(0, size, workers, speed))
        scheduling = tasks * seconds_per_task
        receiving = 5 * size / bandwidth + size * merge_seconds
        parts["compute"] += compute
        parts["tail"] += tail
        parts["scheduling"] += max(0.0, scheduling - compute - tail)
        parts["receiving"] += max(0.0, receiving - max(compute + tail, scheduling))
        parts["broadcast"] += 4 * math.comb(d, k - 1) * hops / bandwidth
        parts["fixed"] += level_fixed
    parts["total"] = sum(parts.values())
    parts["core_hours"] = (
        sum(k * math.comb(d, k) * (a + b * k) for k in range(1, d + 1)) / 3600
    )
    parts["driver_bytes"] = 2**d + 8 * math.comb(d, d // 2)
    parts["worker_bytes"] = 4 * math.comb(d, d // 2)
    return parts


def minutes(seconds: float) -> str:
    if seconds < 600:
        return f"{seconds / 60:.1f} min"
    if seconds < 48 * 3600:
        return f"{seconds / 3600:.1f} h"
    return f"{seconds / 86400:.1f} days"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--results", required=True, help="bench_distributed.py JSON")
    parser.add_argument("--measure", type=int, nargs="*", default=[], metavar="N")
    parser.add_argument("--measure-d", type=int, default=14)
    parser.add_argument("--task-cost", action="store_true")
    parser.add_argument("--seconds-per-task", type=float, default=None)
    parser.add_argument("--bandwidth", type=float, default=1.25e9, help="bytes/s")
    parser.add_argument("--threads-per-worker", type=int, default=8)
    parser.add_argument("--d", type=int, nargs="+", default=[24, 26, 28, 30])
    parser.add_argument("--cores", type=int, nargs="+", default=[64, 512, 4096])
    args = parser.parse_args()

    fitted = from_runs(args.results)
    lines = {1000: (fitted["a"], fitted["b"])}
    for n in args.measure:
        lines[n] = measure(n, args.measure_d)
    per_task = args.seconds_per_task
    if per_task is None:
        per_task = task_cost() if args.task_cost else 1e-3
    print("fitted:")
    for n, (a, b) in lines.items():
        print(
            f"  n = {n}: {1e6 * a:.2f} + {1e6 * b:.3f} k us per evaluation"
            f" ({1e6 * (a + 15 * b):.2f} us at k = 15)"
        )
    print(f"  fixed cost of a level: {1e3 * fitted['level_fixed']:.1f} ms")
    print(f"  driver and scheduler time per task: {1e3 * per_task:.2f} ms")
    print(
        f"assumed: {args.bandwidth / 1e9:.2f} GB/s between any two machines,"
        f" {args.threads_per_worker} threads per worker process\n"
    )
    for n, line in lines.items():
        print(f"n = {n}: projected wall time (core-hours of evaluations)")
        print(
            "| d | core-hours | " + " | ".join(f"{c} cores" for c in args.cores) + " |"
        )
        print("|---:|---:|" + "---:|" * len(args.cores))
        for d in args.d:
            cells = []
            hours = 0.0
            for cores in args.cores:
                p = project(
                    d,
                    cores,
                    line,
                    fitted["level_fixed"],
                    per_task,
                    args.bandwidth,
                    args.threads_per_worker,
                )
                cells.append(minutes(p["total"]))
                hours = p["core_hours"]
            print(f"| {d} | {hours:,.1f} | " + " | ".join(cells) + " |")
        print()
    print("d = 30, n = 1000: where the time goes (seconds)")
    keys = ("compute", "tail", "scheduling", "receiving", "broadcast", "fixed", "total")
    print("| cores | " + " | ".join(keys) + " | efficiency |")
    print("|---:|" + "---:|" * (len(keys) + 1))
    for cores in args.cores:
        p = project(
            30,
            cores,
            lines[1000],
            fitted["level_fixed"],
            per_task,
            args.bandwidth,
            args.threads_per_worker,
        )
        ideal = p["core_hours"] * 3600 / cores
        print(
            f"| {cores} | "
            + " | ".join(f"{p[key]:.1f}" for key in keys)
            + f" | {100 * ideal / p['total']:.0f} % |"
        )
    p = project(30, 512, lines[1000], 0, 0, args.bandwidth, args.threads_per_worker)
    print(
        f"\nd = 30 memory: driver {p['driver_bytes'] / 2**30:.2f} GiB of tables,"
        f" each worker process {p['worker_bytes'] / 2**30:.2f} GiB for the"
        " widest level below"
    )


if __name__ == "__main__":
    main()
