"""The level-by-level engine against the one-call search.

Times, interleaved on the same problem, ``_exhaustive_kernel._sink_dp``
(one native call), the engine as ``causal_order`` drives it
(``veldra._search._engine.run``), and the engine saving a checkpoint, and checks
that all three give the same bits. The checkpoint's own cost is also
given directly: the time spent writing files, as a share of the run (the
largest over the repeats). With ``--memory``, each runs once more in
a child process of its own, which reports the peak resident memory it added.

    python benchmarks/bench_engine.py --d 16 --n 1000 --threads 1 2 --repeats 5
    python benchmarks/bench_engine.py --d 20 --n 100 --threads 2 --repeats 1 --memory
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
from problems import laplace_problem

from veldra._exhaustive_kernel import _sink_dp
from veldra._search import _checkpoint, _engine
from veldra._search._state import table_bytes

WRITES: list[float] = []


def _timed_write(self, state, _write=_checkpoint.CheckpointFile.write):
    began = time.perf_counter()
    _write(self, state)
    WRITES.append(time.perf_counter() - began)


_checkpoint.CheckpointFile.write = _timed_write


def run(form: str, X, gram, reference, threads: int, directory: str):
    d = X.shape[1]
    if form == "sink_dp":
        sinks, score = _sink_dp(X, gram, reference, d, threads)
        return np.asarray(sinks), score
    path = os.path.join(directory, "run.ckpt") if form == "checkpoint" else None
    if path is not None and os.path.exists(path):
        os.unlink(path)
    outcome = _engine.run(X, gram, reference, threads, checkpoint=path)
    return outcome.sinks, outcome.score


def peak_rss_child(form: str, n: int, d: int, threads: int) -> int:
    """Peak resident memory added by one search, in a fresh process."""
    code = f"""
import json, sys, tempfile
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
from bench_engine import run
from problems import laplace_problem
X, gram, reference = laplace_problem({n}, {d})
run({form!r}, X[:, :2], X[:, :2].T @ X[:, :2], reference, 1, tempfile.gettempdir())
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from here
def rss(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
before = rss("VmRSS")
with tempfile.TemporaryDirectory() as directory:
    run({form!r}, X, gram, reference, {threads}, directory)
print(json.dumps(rss("VmHWM") - before))
"""
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    )
    return int(out.stdout.split()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--d", type=int, default=16)
    parser.add_argument("--n", type=int, default=1000)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--memory", action="store_true")
    args = parser.parse_args()
    forms = ["sink_dp", "engine", "checkpoint"]
    X, gram, reference = laplace_problem(args.n, args.d)
    print(f"d = {args.d}, n = {args.n}; seconds, fastest and median of {args.repeats}")
    print(
        "| threads | one call | engine | engine + checkpoint | engine overhead"
        " | checkpoint cost | checkpoint writes |"
    )
    print("|---:|---:|---:|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as directory:
        for threads in args.threads:
            times: dict[str, list[float]] = {form: [] for form in forms}
            results = {}
            write_shares: list[tuple[float, int]] = []
            for repeat in range(args.repeats):
                # Interleaved, and in turn first: the machine's load and the
                # position in a round hit all alike.
                turn = repeat % len(forms)
                for form in forms[turn:] + forms[:turn]:
                    WRITES.clear()
                    began = time.perf_counter()
                    results[form] = run(form, X, gram, reference, threads, directory)
                    times[form].append(time.perf_counter() - began)
                    if form == "checkpoint":
                        share = sum(WRITES) / times[form][-1]
                        write_shares.append((share, len(WRITES)))
            sinks, score = results["sink_dp"]
            for form in forms[1:]:
                assert np.array_equal(results[form][0], sinks), form
                assert results[form][1] == score, form
            best = {form: min(t) for form, t in times.items()}
            median = {form: statistics.median(t) for form, t in times.items()}
            cells = [f"{best[f]:.3f} ({median[f]:.3f})" for f in forms]
            overhead = best["engine"] / best["sink_dp"] - 1
            checkpoint = best["checkpoint"] / best["engine"] - 1
            share, files = max(write_shares)
            print(
                f"| {threads} | {' | '.join(cells)} | {100 * overhead:+.1f} % |"
                f" {100 * checkpoint:+.1f} % | {files} files, {100 * share:.1f} % |"
            )
    print("same sink table and score bits in every run")
    if args.memory:
        print(f"\npeak memory added by one search (d = {args.d}, n = {args.n}):")
        for form in forms[:2]:
            added = peak_rss_child(form, args.n, args.d, args.threads[0])
            print(f"  {form}: {added / 2**20:.1f} MiB")
        print(
            f"  engine's tables by formula: {table_bytes(args.d) / 2**20:.1f} MiB;"
            f" one call's: {12 * 2**args.d / 2**20:.1f} MiB"
        )
        print(
            f"  d = 30: engine {table_bytes(30) / 2**30:.2f} GiB,"
            f" one call {12 * 2**30 / 2**30:.0f} GiB"
        )


if __name__ == "__main__":
    main()
