"""Score evaluations per second of the exhaustive search.

Run after ``bash scripts/setup.sh``::

    python3 benchmarks/bench_sink_dp.py            # d = 12, one thread
    python3 benchmarks/bench_sink_dp.py --threads 1 2 --d 14 --n 1000

The search scores d * 2**(d - 1) candidate sinks, each a regression, a sort of
n residuals and a comparison with the reference. The native sort benchmark
(``build/native/sort_bench``) is run at the end when it has been built.
"""

from __future__ import annotations

import argparse
import subprocess
import time
from pathlib import Path

import numpy as np

from veldra._exhaustive_kernel import _sink_dp


def problem(n: int, d: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """A linear model with uniform noise along a random causal order."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1.0, 1.0, (n, d))
    order = rng.permutation(d)
    for pos in range(1, d):
        weights = rng.uniform(-0.5, 0.5, pos) * (rng.random(pos) < 0.5)
        X[:, order[pos]] += X[:, order[:pos]] @ weights
    X -= X.mean(axis=0)
    reference = np.sort(rng.standard_normal(n))
    return X, X.T @ X, reference


def evaluations_per_second(n: int, d: int, threads: int, repeats: int) -> float:
    X, gram, reference = problem(n, d)
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        _sink_dp(X, gram, reference, d, threads)
        best = min(best, time.perf_counter() - start)
    return d * 2 ** (d - 1) / best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--d", type=int, default=12)
    parser.add_argument("--n", type=int, nargs="+", default=[100, 1000, 10000])
    parser.add_argument("--threads", type=int, nargs="+", default=[1])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    print(f"_sink_dp, d = {args.d} ({args.d * 2 ** (args.d - 1)} score evaluations)")
    print(f"{'n':>7} {'threads':>7} {'evaluations/s':>14} {'s/call':>8}")
    for n in args.n:
        for threads in args.threads:
            rate = evaluations_per_second(n, args.d, threads, args.repeats)
            seconds = args.d * 2 ** (args.d - 1) / rate
            print(f"{n:>7} {threads:>7} {rate:>14.0f} {seconds:>8.3f}")

    sort_bench = Path(__file__).resolve().parents[1] / "build" / "native" / "sort_bench"
    if sort_bench.exists():
        print("\nsort, ns per element")
        subprocess.run([str(sort_bench)], check=True)


if __name__ == "__main__":
    main()
