"""The search on a local Dask cluster against the search on this machine.

For each d, times interleaved (order rotated from repeat to repeat) the
engine on 1 and 2 threads here and on a LocalCluster of 1 and 2 worker
processes (one thread each) or of one worker process with 2 threads, checks that every run gives the same bits,
gives the 2 workers' parallel efficiency (against 1 worker, and against
the engine on 1 thread here),
and reports the cluster's cost per level: the broadcast of the level below,
the rest of the level's wall time that is not computing (task start,
transfer, merge, the last tasks' wait), and the bytes each way. With
``--json FILE`` every run's figures are appended to FILE, one JSON object
per line, for benchmarks/scaling_model.py.

    python benchmarks/bench_distributed.py --d 18 19 20 21 22 --n 1000
"""

from __future__ import annotations

import argparse
import json
import statistics
import time

from problems import laplace_problem

from veldra._search import _engine

# local-N: the engine here on N threads; workers-N: N worker processes of one
# thread each; threads-N: one worker process of N threads.
FORMS = ["local-1", "local-2", "workers-1", "workers-2", "threads-2"]


# Dask's housekeeping turned down: the workers' statistical profiler (it
# samples every running thread each 10 ms), the event loops' health tick and
# the resource monitors. On this 2-core machine they otherwise take about 5 %
# of a core per process, driver included, from the workers' computing.
QUIET = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "1s",
    "distributed.admin.system-monitor.interval": "2s",
    "distributed.worker.memory.monitor-interval": "1s",
}


def run(form: str, X, gram, reference):
    """One search; returns the outcome and its wall seconds (the cluster's
    start and end not counted)."""
    kind, count = form.split("-")
    if kind == "local":
        began = time.perf_counter()
        outcome = _engine.run(X, gram, reference, int(count))
        return outcome, time.perf_counter() - began
    from distributed import Client, LocalCluster

    from veldra._search._distributed import ClusterExecutor

    processes, threads = (int(count), 1) if kind == "workers" else (1, int(count))
    with (
        LocalCluster(
            n_workers=processes,
            threads_per_worker=threads,
            processes=True,
            dashboard_address=":0",
        ) as cluster,
        Client(cluster, set_as_default=False) as client,
    ):
        client.wait_for_workers(processes)
        began = time.perf_counter()
        executor = ClusterExecutor(client)
        outcome = _engine.run(X, gram, reference, 1, executor=executor)
        return outcome, time.perf_counter() - began


def level_costs(outcome) -> dict[str, float]:
    """The cluster's costs summed over the levels: its wall seconds beyond
    the computing, split into the broadcasts and the rest."""
    levels = outcome.levels
    idle = [r.seconds - r.compute_seconds / r.workers for r in levels]
    return {
        "levels": len(levels),
        "tasks": sum(r.tasks for r in levels),
        "compute_seconds": sum(r.compute_seconds for r in levels),
        "broadcast_seconds": sum(r.broadcast_seconds for r in levels),
        "idle_seconds": sum(idle),
        "median_level_idle": statistics.median(idle),
        "narrow_level_idle": statistics.median(
            [s for s, r in zip(idle, levels, strict=True) if r.compute_seconds < 0.05]
            or [float("nan")]
        ),
        "bytes_out": sum(r.bytes_out for r in levels),
        "bytes_back": sum(r.bytes_back for r in levels),
        "widest_bytes_out": max(r.bytes_out for r in levels),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--d", type=int, nargs="+", default=[18, 19, 20])
    parser.add_argument("--n", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--forms", nargs="+", default=FORMS, choices=FORMS)
    parser.add_argument("--json", metavar="FILE")
    parser.add_argument(
        "--dask-defaults",
        action="store_true",
        help="keep Dask's housekeeping as configured (default: turned down)",
    )
    args = parser.parse_args()
    if not args.dask_defaults:
        import dask

        dask.config.set(QUIET)
    forms = args.forms
    last_levels = []
    setting = "as configured" if args.dask_defaults else "turned down"
    print(
        f"n = {args.n}; seconds, fastest of {args.repeats};"
        f" Dask's housekeeping {setting}"
    )
    print(
        "| d | evaluations | "
        + " | ".join(forms)
        + " | efficiency, 2 workers (vs 1 worker, vs 1 thread) | overhead, 2 workers |"
    )
    print("|---:|---:|" + "---:|" * len(forms) + "---:|---:|")
    for d in args.d:
        X, gram, reference = laplace_problem(args.n, d)
        times: dict[str, list[float]] = {form: [] for form in forms}
        costs: dict[str, dict[str, float]] = {}
        first = None
        for repeat in range(args.repeats):
            turn = repeat % len(forms)
            for form in forms[turn:] + forms[:turn]:
                outcome, seconds = run(form, X, gram, reference)
                if first is None:
                    first = outcome
                assert outcome.sinks.tobytes() == first.sinks.tobytes(), form
                assert outcome.score == first.score, form
                times[form].append(seconds)
                record = {
                    "dask_defaults": args.dask_defaults,
                    "d": d,
                    "n": args.n,
                    "form": form,
                    "seconds": seconds,
                    "evaluations": outcome.n_evaluations,
                }
                if outcome.levels:
                    costs[form] = level_costs(outcome)
                    if form == "workers-2":
                        last_levels = outcome.levels
                    record.update(costs[form])
                    record["per_level"] = [vars(r) for r in outcome.levels]
                if args.json:
                    with open(args.json, "a") as file:
                        file.write(json.dumps(record) + "\n")
        best = {form: min(t) for form, t in times.items()}
        cells = [f"{best[form]:.2f}" for form in forms]
        efficiency = overhead = ""
        if "workers-2" in best:
            efficiency = ", ".join(
                f"{100 * best[form] / (2 * best['workers-2']):.1f} %"
                for form in ("workers-1", "local-1")
                if form in best
            )
        if "workers-2" in costs:
            c = costs["workers-2"]
            overhead = (
                f"{c['idle_seconds']:.2f} s over {c['levels']} levels"
                f" ({c['broadcast_seconds']:.2f} s broadcasts)"
            )
        assert first is not None
        print(
            f"| {d} | {first.n_evaluations:,} | {' | '.join(cells)}"
            f" | {efficiency} | {overhead} |",
            flush=True,
        )
    print("same sink table and score bits in every run")
    if "workers-2" in costs:
        print_levels(last_levels)


def print_levels(levels) -> None:
    """The cost of each level of the last d on 2 worker processes."""
    print("\nper level, 2 workers, the last d:")
    print(
        "| level | wall s | computing s (per worker) | broadcast s | other s"
        " | tasks | bytes out | bytes back |"
    )
    print("|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in levels:
        computing = r.compute_seconds / r.workers
        other = r.seconds - computing - r.broadcast_seconds
        print(
            f"| {r.level} | {r.seconds:.3f} | {computing:.3f} |"
            f" {r.broadcast_seconds:.3f} | {other:.3f} | {r.tasks} |"
            f" {r.bytes_out:,} | {r.bytes_back:,} |"
        )


if __name__ == "__main__":
    main()
