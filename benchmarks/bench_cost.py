"""How close the calibrated time estimate comes to real searches.

Run after ``bash scripts/setup.sh``::

    python3 benchmarks/bench_cost.py                      # n = 1000, d = 10..14
    python3 benchmarks/bench_cost.py --threads 1 2 --d 10 16 --n 1000 10000

For each thread count and n, the calibration is redone ``--calibrations``
times (its cache cleared in between) to show its spread; then
``veldra.causal_order`` is timed on simulated data for each d (the fastest
of ``--repeats`` runs, in wall-clock time and in CPU time per thread) and
compared with the median estimate. The calibration is timed in CPU time, so
it predicts the search on CPUs free of other load; other programs running
at the same time slow the wall-clock figure down.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
from problems import uniform_chain

import veldra
from veldra._search import _cost


def estimates(n: int, d: int, threads: int, count: int) -> tuple[list[float], float]:
    """Estimated seconds from ``count`` fresh calibrations, and their cost."""
    seconds, spent = [], 0.0
    for _ in range(count):
        _cost._cache.clear()
        start = time.perf_counter()
        _cost.estimate_cost(n, 1, n_threads=threads)  # calibrates
        spent = max(spent, time.perf_counter() - start)
        seconds.append(_cost.estimate_cost(n, d, n_threads=threads).seconds)
    return seconds, spent


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
    args = parser.parse_args()

    print(
        f"{'n':>6} {'threads':>7} {'d':>3} {'estimate s':>10} {'range':>15}"
        f" {'wall s':>8} {'ratio':>6} {'cpu/T s':>8} {'ratio':>6}"
    )
    for n in args.n:
        for threads in args.threads:
            worst_calibration = 0.0
            for d in range(args.d[0], args.d[1] + 1):
                guesses, spent = estimates(n, d, threads, args.calibrations)
                worst_calibration = max(worst_calibration, spent)
                guess = statistics.median(guesses)
                wall, cpu = measured(n, d, threads, args.repeats)
                spread = f"{min(guesses):.3f}..{max(guesses):.3f}"
                print(
                    f"{n:>6} {threads:>7} {d:>3} {guess:>10.3f} {spread:>15}"
                    f" {wall:>8.3f} {guess / wall:>6.2f}"
                    f" {cpu:>8.3f} {guess / cpu:>6.2f}",
                    flush=True,
                )
            print(f"# calibration took at most {worst_calibration:.3f} s")


if __name__ == "__main__":
    main()
