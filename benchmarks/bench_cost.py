"""How close the calibrated time estimate comes to real calls, and how
fast the evaluations under prior knowledge are counted.

Run after ``bash scripts/setup.sh``::

    python3 benchmarks/bench_cost.py                      # n = 1000, d = 10..14
    python3 benchmarks/bench_cost.py --threads 1 2 --d 10 16 --n 1000 10000
    python3 benchmarks/bench_cost.py --threads 1 --d 3 3 --n 5000000 \
        --repeats 1 --calibrations 1                      # large n: minutes
    python3 benchmarks/bench_cost.py --constrained        # counts at d = 30

For each thread count, n and d, the calibration is redone
``--calibrations`` times (its caches cleared in between) to show its
spread; then ``veldra.causal_order`` is timed on simulated data (the
fastest of ``--repeats`` runs, in wall-clock time and in CPU time per
thread) and compared with the median estimate of the whole call (and the
search's part of it). The calibration is timed in CPU time, so it predicts
the call on CPUs free of other load; other programs running at the same
time slow the wall-clock figure down.

``--constrained`` times the count of the evaluations under a few sets of
prior knowledge at d = 30, which the estimate makes without a search:
each should take milliseconds.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
from problems import uniform_chain

import veldra
from veldra._search import _cost


def estimates(
    n: int, d: int, threads: int, count: int
) -> tuple[list[_cost.CostEstimate], float]:
    """Estimates from ``count`` fresh calibrations, and their longest cost."""
    found, spent = [], 0.0
    for _ in range(count):
        _cost._cache.clear()
        _cost._around_cache.clear()
        start = time.perf_counter()
        found.append(_cost.estimate_cost(n, d, n_threads=threads))
        spent = max(spent, time.perf_counter() - start)
    return found, spent


def constrained() -> None:
    """Milliseconds to count the evaluations under prior knowledge, d = 30."""
    d = 30
    chains = [(i, i + 1) for i in range(d - 1) if i % 10 != 9]
    cases = {
        "every variable exogenous": {"exogenous": range(d)},
        "3 exogenous": {"exogenous": [0, 1, 2]},
        "2 sinks": {"sinks": [28, 29]},
        "3 chains of 10": {"required_order": chains},
        "2 layers of 15, most pairs ordered": {
            "required_order": [
                (i, j) for i in range(15) for j in range(15, d) if (i + j) % 3
            ]
        },
    }
    print(f"{'prior knowledge (d = 30)':>36} {'evaluations':>14} {'ms':>8}")
    for name, knowledge in cases.items():
        start = time.perf_counter()
        count = _cost._constrained_evaluations(d, None, **knowledge)
        took = time.perf_counter() - start
        print(f"{name:>36} {count:>14,} {1e3 * took:>8.2f}")


def measured(n: int, d: int, threads: int, repeats: int) -> tuple[float, float]:
    """Fastest wall-clock time of a real search, and its CPU time / threads.

    The second figure is what the estimate predicts (the search alone on
    its CPUs); the two part when other programs compete for the CPUs.
    """
    X = uniform_chain(np.random.default_rng(0), n, d)
    # One thread: the calling thread's CPU time (idle BLAS threads that spin
    # after the validation would inflate the process's); several: the
    # process's CPU time shared out, as in the calibration.
    clock = time.thread_time if threads == 1 else time.process_time
    wall = cpu = float("inf")
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), clock()
        veldra.causal_order(X, n_threads=threads)
        wall = min(wall, time.perf_counter() - start)
        cpu = min(cpu, (clock() - start_cpu) / threads)
    return wall, cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, nargs="+", default=[1000])
    parser.add_argument(
        "--d", type=int, nargs=2, default=[10, 14], metavar=("FIRST", "LAST")
    )
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--calibrations", type=int, default=5)
    parser.add_argument("--constrained", action="store_true")
    args = parser.parse_args()
    if args.constrained:
        constrained()
        return

    print(
        f"{'n':>8} {'threads':>7} {'d':>3} {'estimate s':>10} {'search s':>9}"
        f" {'range':>17} {'wall s':>8} {'ratio':>6} {'cpu/T s':>8} {'ratio':>6}"
    )
    for n in args.n:
        for threads in args.threads:
            worst_calibration = 0.0
            for d in range(args.d[0], args.d[1] + 1):
                found, spent = estimates(n, d, threads, args.calibrations)
                worst_calibration = max(worst_calibration, spent)
                guesses = [cost.seconds for cost in found]
                guess = statistics.median(guesses)
                search = statistics.median(cost.search_seconds for cost in found)
                wall, cpu = measured(n, d, threads, args.repeats)
                spread = f"{min(guesses):.3f}..{max(guesses):.3f}"
                print(
                    f"{n:>8} {threads:>7} {d:>3} {guess:>10.3f} {search:>9.3f}"
                    f" {spread:>17} {wall:>8.3f} {guess / wall:>6.2f}"
                    f" {cpu:>8.3f} {guess / cpu:>6.2f}",
                    flush=True,
                )
            print(f"# calibration took at most {worst_calibration:.3f} s")


if __name__ == "__main__":
    main()
