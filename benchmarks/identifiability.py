"""How often the identifiability warning fires, on the accuracy benchmark's
simulations.

``veldra.causal_order`` warns (``veldra.IdentifiabilityWarning``) when fewer
than d - 1 of the d variables have clearly non-Gaussian residuals along the
returned order, or when n < max(50, 10 d). The warning should fire in
nearly every run with Gaussian noise, where no order can be identified, and
almost never with the non-Gaussian noises at n >= 500. This script runs the
search on the data of ``benchmarks/accuracy.py`` (the same graphs, noises,
weights, standardisation and seeds; d = 4 to 12 at n = 1000 and n = 200 to
5000 at d = 8) and reports the share of runs that warned::

    python3 benchmarks/identifiability.py            # 20 seeds, a few minutes
    python3 benchmarks/identifiability.py --quick    # 2 seeds, d <= 6

It also prints, per noise, the share of runs whose order has no backward
edge, split by whether the warning fired.
"""

from __future__ import annotations

import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse
import importlib.util
import multiprocessing
import sys
import warnings
from collections import defaultdict
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent


def _accuracy():
    found = importlib.util.spec_from_file_location("accuracy", HERE / "accuracy.py")
    module = importlib.util.module_from_spec(found)
    sys.modules["accuracy"] = module  # its tasks are pickled to the workers
    found.loader.exec_module(module)
    return module


acc = _accuracy()


def run(task) -> tuple[str, int, int, bool, bool, bool]:
    """(noise, d, n, warned for identifiability, warned for few samples,
    order without backward edge) of one simulated data set."""
    import veldra

    X, B, _ = acc.simulate(
        acc.task_rng(task, 0), task.n, task.d, task.graph, task.noise
    )
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", veldra.IdentifiabilityWarning)
        result = veldra.causal_order(acc.standardise(X), n_threads=1)
    messages = [str(w.message) for w in caught]
    unidentified = any("not identifiable" in m for m in messages)
    few = any("very few" in m for m in messages)
    return (
        task.noise,
        task.d,
        task.n,
        unidentified,
        few,
        acc.n_backward(B, result.order) == 0,
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="2 seeds, small d")
    parser.add_argument("--seeds", type=int, default=20, help="seeds per cell")
    parser.add_argument("--workers", type=int, default=2, help="processes")
    args = parser.parse_args(argv)
    seeds = 2 if args.quick else args.seeds
    d_grid = (4, 6) if args.quick else acc.D_GRID
    n_grid = (200, 500) if args.quick else acc.N_GRID
    tasks = [
        acc.Task(graph, noise, d, n, seed)
        for graph in acc.GRAPHS
        for noise in acc.NOISES
        for d, n in acc.cells(d_grid, n_grid)
        for seed in range(seeds)
        if not (args.quick and d > 6)
    ]
    if args.workers > 1:
        with multiprocessing.get_context("fork").Pool(args.workers) as pool:
            rows = pool.map(run, tasks, chunksize=4)
    else:
        rows = [run(task) for task in tasks]

    cells: dict[tuple, list] = defaultdict(list)
    for noise, d, n, unidentified, few, right in rows:
        group = "gaussian" if noise == "gaussian" else "non-gaussian"
        cells[(group, d, n)].append((unidentified or few, right))
    print("share of runs that warned (runs), by noise and (d, n):")
    print(f"{'noise':<14}{'d':>4}{'n':>7}  {'warned':>7}  {'runs':>5}")
    for (group, d, n), values in sorted(cells.items()):
        warned = np.mean([w for w, _ in values])
        print(f"{group:<14}{d:>4}{n:>7}  {warned:>7.3f}  {len(values):>5}")

    gaussian = [u or f for noise, _, _, u, f, _ in rows if noise == "gaussian"]
    clear = [
        u or f for noise, _, n, u, f, _ in rows if noise != "gaussian" and n >= 500
    ]
    print(
        f"\nGaussian noise: warned in {np.mean(gaussian):.3f} of {len(gaussian)} runs"
    )
    print(
        f"non-Gaussian noise, n >= 500: warned in {np.mean(clear):.4f} of"
        f" {len(clear)} runs"
    )
    print("\nno backward edge, by noise and warning (runs):")
    for noise in acc.NOISES:
        for warned in (False, True):
            right = [
                r for nz, _, _, u, f, r in rows if nz == noise and (u or f) == warned
            ]
            if right:
                label = "warned" if warned else "silent"
                print(f"  {noise:<12} {label:<7} {np.mean(right):.3f} ({len(right)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
