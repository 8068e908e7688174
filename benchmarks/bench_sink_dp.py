"""Score evaluations per second of the exhaustive search, against np.sort.

Run after ``bash scripts/setup.sh``::

    python3 benchmarks/bench_sink_dp.py            # d = 12, one thread
    python3 benchmarks/bench_sink_dp.py --threads 1 2 --d 14 --n 1000

The search scores d * 2**(d - 1) candidate sinks, each a regression, a sort of
n residuals and a comparison with the reference. Each row also gives the time
of one evaluation divided by that of one ``np.sort`` of n standard-normal
values, measured in the same run.

To compare builds, name their extension modules (``_exhaustive_kernel*.so``
files) with ``--module label=path``; the installed module is ``installed``.
Rounds alternate between the builds and np.sort, so a busy machine slows all
of them alike; the fastest round of each is reported. Every build must return
the same sink table and the same score bits, or the script stops with an
error. ``--check K`` first compares the builds on K random small searches
(sizes, thread counts and degenerate data that the timed problems lack).

The native sort benchmark (``build/native/sort_bench``) runs at the end when
it has been built and no ``--module`` is given.
"""

from __future__ import annotations

import argparse
import hashlib
import importlib.util
import json
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
from problems import chain_problem


def check_problem(trial: int) -> tuple[tuple, int]:
    """Search arguments of check number ``trial`` (some degenerate), threads."""
    rng = np.random.default_rng([1, trial])
    n = int(rng.choice([1, 2, 7, 16, 17, 95, 97, 300, 1000, 1500]))
    d = int(rng.integers(1, 9))
    X, _, reference = chain_problem(n, d, seed=trial)
    kind = trial % 4
    if kind == 1 and d > 1:  # an all-zero column
        X[:, 0] = 0.0
    elif kind == 2 and d > 1:  # a duplicated column
        X[:, d - 1] = X[:, 0]
    elif kind == 3:  # heavy-tailed data, uncentred
        X = rng.standard_cauchy((n, d)) + 3.0
    return (X, X.T @ X, reference, d), int(rng.choice([1, 2, 3]))


def serve(path: str) -> None:
    """Runs searches for the parent process with the module at ``path``.

    Builds cannot share a process: Python would hand back the first module
    loaded under the name ``_exhaustive_kernel`` for every later file.
    """
    found = importlib.util.spec_from_file_location("_exhaustive_kernel", path)
    assert found is not None, path
    assert found.loader is not None, path
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    for line in sys.stdin:
        request = json.loads(line)
        if "trial" in request:
            args, threads = check_problem(request["trial"])
        else:
            X, gram, reference = chain_problem(request["n"], request["d"])
            args, threads = (X, gram, reference, request["d"]), request["threads"]
        start = time.perf_counter()
        sinks, value = module._sink_dp(*args, threads)
        seconds = time.perf_counter() - start
        digest = hashlib.sha256(sinks.tobytes() + np.float64(value).tobytes())
        print(json.dumps([seconds, digest.hexdigest()]), flush=True)


def start_builds(modules: list[str]) -> dict[str, subprocess.Popen]:
    builds = {}
    for item in modules:
        label, _, path = item.partition("=")
        builds[label] = subprocess.Popen(
            [sys.executable, __file__, "--serve", path],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
    return builds


def ask(build: subprocess.Popen, request: dict) -> tuple[float, str]:
    assert build.stdin is not None
    assert build.stdout is not None
    build.stdin.write(json.dumps(request) + "\n")
    build.stdin.flush()
    seconds, digest = json.loads(build.stdout.readline())
    return seconds, digest


def same(digests: dict[str, str], what: str) -> None:
    if len(set(digests.values())) > 1:
        raise SystemExit(f"the builds differ on {what}: {digests}")


def check(builds: dict[str, subprocess.Popen], trials: int) -> None:
    """Compares the builds on random small searches, some degenerate."""
    for trial in range(trials):
        digests = {label: ask(b, {"trial": trial})[1] for label, b in builds.items()}
        same(digests, f"check {trial}")
    print(f"{trials} random searches: every build gave the same bits")


def measure(
    builds: dict[str, subprocess.Popen], n: int, d: int, threads: int, rounds: int
) -> tuple[dict[str, float], float]:
    """Fastest seconds per call of each build, and of one np.sort of n values."""
    values = np.random.default_rng(2).standard_normal(n)
    sorts = max(1, 200_000 // n)
    best = dict.fromkeys(builds, float("inf"))
    best_sort = float("inf")
    digests = {}
    for _ in range(rounds):
        for label, build in builds.items():
            seconds, digests[label] = ask(build, {"n": n, "d": d, "threads": threads})
            best[label] = min(best[label], seconds)
        start = time.perf_counter()
        for _ in range(sorts):
            np.sort(values)
        best_sort = min(best_sort, (time.perf_counter() - start) / sorts)
    same(digests, f"n={n}, d={d}, threads={threads}")
    return best, best_sort


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--d", type=int, default=12)
    parser.add_argument("--n", type=int, nargs="+", default=[100, 1000, 10000])
    parser.add_argument("--threads", type=int, nargs="+", default=[1])
    parser.add_argument("--repeats", type=int, default=3, help="rounds per build")
    parser.add_argument(
        "--module",
        action="append",
        default=[],
        metavar="LABEL=PATH",
        help="an extension module file to time (repeatable)",
    )
    parser.add_argument("--check", type=int, default=0, metavar="K")
    parser.add_argument("--serve", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.serve)
        return

    if not args.module:
        from veldra import _exhaustive_kernel

        args.module = [f"installed={_exhaustive_kernel.__file__}"]
    builds = start_builds(args.module)
    if args.check:
        check(builds, args.check)

    evaluations = args.d * 2 ** (args.d - 1)
    print(
        f"_sink_dp, d = {args.d} ({evaluations} score evaluations),"
        f" fastest of {args.repeats} interleaved rounds"
    )
    print(
        f"{'build':>12} {'n':>6} {'threads':>7} {'evaluations/s':>14}"
        f" {'s/call':>8} {'np.sort us':>10} {'eval/np.sort':>12}"
    )
    for n in args.n:
        for threads in args.threads:
            seconds, sort = measure(builds, n, args.d, threads, args.repeats)
            for label, best in seconds.items():
                per_evaluation = best / evaluations * threads
                print(
                    f"{label:>12} {n:>6} {threads:>7} {evaluations / best:>14.0f}"
                    f" {best:>8.3f} {sort * 1e6:>10.2f}"
                    f" {per_evaluation / sort:>12.2f}"
                )

    sort_bench = Path(__file__).resolve().parents[1] / "build" / "native" / "sort_bench"
    if sort_bench.exists() and not args.module:
        print("\nsort, ns per element")
        subprocess.run([str(sort_bench)], check=True)


if __name__ == "__main__":
    main()
