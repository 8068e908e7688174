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
Each build runs in a process of its own, which also times np.sort; rounds
alternate between the processes, so a busy machine slows all of them alike,
and the fastest round of each is reported. Every build must return the same
sink table and the same score bits, or the script stops with an error.
``--check K`` first compares the builds on K random small searches (sizes,
thread counts and degenerate data that the timed problems lack).

``--instruction-set AVX3_ZEN4 AVX2`` times every build once per named
instruction set (Highway's names) and those below it, each in a process of
its own whose NumPy is kept from AVX-512 (and, below AVX2, from AVX2) when
the named set lacks it. Each row says what its figure ran on: the score,
the residuals ("-" when the build does not say) and the sort, and the
highest of NumPy's instruction sets left to np.sort. The limit is set
through the build's ``_sweep`` (or, for a build without the means, this
checkout's), which reaches ``_exhaustive_kernel`` only where both use the
system's shared Highway library, as a development build does. A build with
Highway linked into each module (a wheel) is refused with such a limit.

The native sort benchmark (``build/native/sort_bench``) runs at the end when
it has been built and no ``--module`` is given.
"""

from __future__ import annotations

import argparse
import hashlib
import importlib.util
import json
import os
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


def load(name: str, path: str | Path):
    """The extension module ``name`` from the file at ``path``."""
    found = importlib.util.spec_from_file_location(name, path)
    assert found is not None, path
    assert found.loader is not None, path
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def highway_is_shared() -> bool:
    """Whether a shared Highway library is loaded into this process."""
    return "/libhwy.so" in Path("/proc/self/maps").read_text()


def limit(path: str, instruction_set: str | None) -> dict[str, str]:
    """Limits this process to ``instruction_set`` (None: the processor's) and
    returns what the build of the kernel at ``path`` now uses."""
    sibling = next(Path(path).parent.glob("_sweep.*so"), None)
    if sibling is None:
        raise SystemExit(
            f"no _sweep module beside {path} to ask for its instruction set"
        )
    # Distinct names: pybind11 hands back the module first loaded under one.
    build = load("build._sweep", sibling)
    limiter = build
    if not hasattr(build, "_limit_instruction_set"):
        checkout = importlib.util.find_spec("veldra")
        origin = Path(checkout.origin).parent if checkout and checkout.origin else None
        found = next(origin.glob("_sweep.*so"), None) if origin else None
        limiter = load("checkout._sweep", found) if found else None
        if not hasattr(limiter, "_limit_instruction_set") and instruction_set is None:
            return {"score": build._instruction_set(), "residuals": "-", "sort": "-"}
        if not hasattr(limiter, "_limit_instruction_set"):
            raise SystemExit(
                f"neither {path}'s build nor the veldra imported here has "
                "_sweep._limit_instruction_set: run from a checkout with PYTHONPATH=src"
            )
    try:
        sets = limiter._limit_instruction_set(instruction_set)
    except ValueError as error:
        raise SystemExit(str(error)) from None
    if build is not limiter:
        # The build's own word, the limit having been set from elsewhere.
        sets["score"], sets["residuals"] = build._instruction_set(), "-"
        if instruction_set is not None and sets["score"] != instruction_set:
            raise SystemExit(f"the limit to {instruction_set} did not reach {path}")
    return sets


def serve(path: str, instruction_set: str | None) -> None:
    """Runs searches and np.sort for the parent process with the module at
    ``path``, limited to ``instruction_set``; first says what each runs on.

    Builds cannot share a process: Python would hand back the first module
    loaded under the name ``_exhaustive_kernel`` for every later file.
    """
    module = load("_exhaustive_kernel", path)
    if instruction_set is not None and not highway_is_shared():
        raise SystemExit(
            f"{path} has Highway linked in (a wheel build): its instruction set "
            "cannot be limited from outside it; time a development build, "
            "which uses the system's shared Highway"
        )
    sets = limit(path, instruction_set)
    simd = np.show_config(mode="dicts")["SIMD Extensions"]
    sets["np.sort"] = (simd.get("found") or simd["baseline"])[-1]
    print(json.dumps(sets), flush=True)
    for line in sys.stdin:
        request = json.loads(line)
        if "sort" in request:
            values = np.random.default_rng(2).standard_normal(request["sort"])
            sorts = max(1, 200_000 // len(values))
            start = time.perf_counter()
            for _ in range(sorts):
                np.sort(values)
            print(json.dumps([(time.perf_counter() - start) / sorts, ""]), flush=True)
            continue
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


def numpy_limit(instruction_set: str | None) -> str:
    """NumPy's instruction sets above ``instruction_set`` found here, as
    NPY_DISABLE_CPU_FEATURES takes them."""
    if instruction_set is None or instruction_set.startswith("AVX3"):
        return ""
    found = np.show_config(mode="dicts")["SIMD Extensions"]["found"]
    if instruction_set == "AVX2":
        found = [f for f in found if f.startswith("AVX512") or f == "X86_V4"]
    return " ".join(found)


def start_builds(
    modules: list[str], instruction_sets: list[str | None]
) -> dict[tuple[str, str | None], tuple[subprocess.Popen, dict[str, str]]]:
    """A serving process per build and instruction set, and what it runs on."""
    builds = {}
    for instruction_set in instruction_sets:
        for item in modules:
            label, _, path = item.partition("=")
            command = [sys.executable, __file__, "--serve", path]
            if instruction_set is not None:
                command += ["--instruction-set", instruction_set]
            build = subprocess.Popen(
                command,
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                text=True,
                env={
                    **os.environ,
                    "NPY_DISABLE_CPU_FEATURES": numpy_limit(instruction_set),
                },
            )
            assert build.stdout is not None
            said = build.stdout.readline()
            if not said:
                raise SystemExit(
                    f"{label} could not be served ({instruction_set or 'native'})"
                )
            builds[label, instruction_set] = build, json.loads(said)
    return builds


def ask(build: subprocess.Popen, request: dict) -> tuple[float, str]:
    assert build.stdin is not None
    assert build.stdout is not None
    build.stdin.write(json.dumps(request) + "\n")
    build.stdin.flush()
    seconds, digest = json.loads(build.stdout.readline())
    return seconds, digest


def same(digests: dict[tuple[str, str | None], str], what: str) -> None:
    """Stops unless the builds gave the same bits on each instruction set (the
    last bits of a score depend on it)."""
    for instruction_set in {key[1] for key in digests}:
        bits = {key: d for key, d in digests.items() if key[1] == instruction_set}
        if len(set(bits.values())) > 1:
            raise SystemExit(f"the builds differ on {what}: {bits}")


def check(builds: dict, trials: int) -> None:
    """Compares the builds on random small searches, some degenerate."""
    for trial in range(trials):
        digests = {key: ask(b, {"trial": trial})[1] for key, (b, _) in builds.items()}
        same(digests, f"check {trial}")
    print(f"{trials} random searches: every build gave the same bits")


def measure(
    builds: dict, n: int, d: int, threads: int, rounds: int
) -> dict[tuple[str, str | None], tuple[float, float]]:
    """Fastest seconds per call of each build, and of one np.sort of n values
    in its process."""
    best = dict.fromkeys(builds, (float("inf"), float("inf")))
    digests = {}
    for _ in range(rounds):
        for key, (build, _) in builds.items():
            seconds, digests[key] = ask(build, {"n": n, "d": d, "threads": threads})
            sort, _ = ask(build, {"sort": n})
            best[key] = (min(best[key][0], seconds), min(best[key][1], sort))
    same(digests, f"n={n}, d={d}, threads={threads}")
    return best


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
    parser.add_argument(
        "--instruction-set",
        nargs="+",
        default=[None],
        metavar="NAME",
        help="time each build limited to each of these (e.g. AVX3_ZEN4 AVX2)",
    )
    parser.add_argument("--serve", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.serve, args.instruction_set[0])
        return

    if not args.module:
        from veldra import _exhaustive_kernel

        args.module = [f"installed={_exhaustive_kernel.__file__}"]
    builds = start_builds(args.module, args.instruction_set)
    if args.check:
        check(builds, args.check)

    evaluations = args.d * 2 ** (args.d - 1)
    print(
        f"_sink_dp, d = {args.d} ({evaluations} score evaluations),"
        f" fastest of {args.repeats} interleaved rounds"
    )
    print(
        f"{'build':>12} {'score':>9} {'residuals':>9} {'sort':>5} {'np.sort':>10}"
        f" {'n':>6} {'threads':>7} {'evaluations/s':>14} {'s/call':>8}"
        f" {'np.sort us':>10} {'eval/np.sort':>12}"
    )
    for n in args.n:
        for threads in args.threads:
            best = measure(builds, n, args.d, threads, args.repeats)
            for (label, _), (seconds, sort) in best.items():
                sets = builds[label, _][1]
                per_evaluation = seconds / evaluations * threads
                print(
                    f"{label:>12} {sets['score']:>9} {sets['residuals']:>9}"
                    f" {sets['sort']:>5} {sets['np.sort']:>10} {n:>6} {threads:>7}"
                    f" {evaluations / seconds:>14.0f} {seconds:>8.3f}"
                    f" {sort * 1e6:>10.2f} {per_evaluation / sort:>12.2f}"
                )

    sort_bench = Path(__file__).resolve().parents[1] / "build" / "native" / "sort_bench"
    if sort_bench.exists() and not args.module:
        print("\nsort, ns per element")
        subprocess.run([str(sort_bench)], check=True)


if __name__ == "__main__":
    main()
