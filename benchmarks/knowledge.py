"""What prior knowledge saves: evaluations and time of constrained searches.

Run with any interpreter that has veldra installed::

    python benchmarks/knowledge.py
    python benchmarks/knowledge.py --d 10 --repeats 1     # a quick look

The data are those of ``benchmarks/speed.py`` (a linear model over a random
DAG, uniform noise, n = 1000, d = 16 by default). Every constraint set is
true of the simulated causal order, so each constrained search looks at a
part of the orders that holds the true one:

- none: the full search;
- 1 exogenous: the first variable of the true order;
- 2 exogenous + 1 sink: its first two and its last;
- chain of 4: four ordered pairs a -> b -> c -> d -> e of variables three
  places apart;
- half known: the relative order of every other variable, a chain of
  d / 2 - 1 pairs.

Each search runs on 1 and 2 threads, without diagnostics, on data prepared
once; a cell is the fastest of ``--repeats`` runs. Prints a Markdown table:
the search's evaluations, their share of the full search's, seconds, the
speed-up over the full search on as many threads, and whether the order
found respects the constraints.
"""

from __future__ import annotations

import argparse
import itertools
import time

import numpy as np
from problems import sparse_uniform

from veldra import _data
from veldra._knowledge import make_knowledge
from veldra._pipeline import find_order


def constraint_sets(order: list[int]) -> dict[str, dict]:
    """Named constraint sets, each true of ``order``."""
    d = len(order)
    spaced = order[2::3][:5]
    half = order[::2]
    return {
        "none": {},
        "1 exogenous": {"exogenous": order[:1]},
        "2 exogenous + 1 sink": {"exogenous": order[:2], "sinks": order[-1:]},
        f"chain of {len(spaced) - 1}": {
            "required_order": list(itertools.pairwise(spaced))
        },
        f"half known ({len(half)} of {d})": {
            "required_order": list(itertools.pairwise(half))
        },
    }


def timed(prepared, knowledge, threads: int, repeats: int):
    best, result = np.inf, None
    for _ in range(repeats):
        start = time.perf_counter()
        result = find_order(
            prepared, n_threads=threads, diagnose=False, knowledge=knowledge
        )
        best = min(best, time.perf_counter() - start)
    return result, best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1000)
    parser.add_argument("--d", type=int, default=16)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    args = parser.parse_args()

    X, _ = sparse_uniform(args.n, args.d, args.seed)
    # sparse_uniform draws the causal order first from the same generator.
    order = np.random.default_rng(args.seed).permutation(args.d).tolist()
    prepared = _data.prepare(*_data.checked_array(X), in_place=True)
    for threads in args.threads:  # first-call set-up counts in no cell
        find_order(prepared, n_threads=threads, diagnose=False)
    print(f"d = {args.d}, n = {args.n}, seed {args.seed}, fastest of {args.repeats}\n")
    print(
        "| constraints | threads | evaluations | share | seconds | speed-up"
        " | respected |"
    )
    print("| --- | ---: | ---: | ---: | ---: | ---: | --- |")
    full: dict[int, tuple[int, float]] = {}
    for name, given in constraint_sets(order).items():
        knowledge = make_knowledge(args.d, None, **given)
        for threads in args.threads:
            result, seconds = timed(prepared, knowledge, threads, args.repeats)
            if knowledge is None:
                full[threads] = (result.n_evaluations, seconds)
            evaluations, full_seconds = full[threads]
            respected = knowledge is None or knowledge.satisfied_by(result.order)
            print(
                f"| {name} | {threads} | {result.n_evaluations:,} |"
                f" {result.n_evaluations / evaluations:.1%} | {seconds:.3f} |"
                f" {full_seconds / seconds:.1f}x | {'yes' if respected else 'NO'} |"
            )


if __name__ == "__main__":
    main()
