"""How the search uses the cores: one thread, several, and the machine's own
ceiling, measured in the same run.

For each search (the one-call ``_sink_dp``, the level engine as
``causal_order`` drives it, and ``causal_order`` itself) and each d, every
round times, in turn and each in a warmed-up process of its own:

- the search on one thread;
- the search on T threads;
- T one-thread searches side by side in T processes: the ceiling,
  T x (one thread) / (side by side), is the speed-up the machine itself
  gives to work that shares nothing.

The share of the ceiling that the threads reach is the figure to watch. To
compare trees (a checkout with its built modules beside its sources), name
each with ``--source LABEL=DIR``: their rounds alternate. With
``--load``, a busy process runs beside every measurement: the ceiling is
then the fair share of the cores (4/3 for two threads on two cores). The
engine's cost over the one-call search is given at one and at T threads.
Every search must give the same bits at every thread count, or the script
stops. Medians over the rounds are shown, the machine being shared.

    python3 benchmarks/bench_threads.py --d 16 18 --rounds 3
    python3 benchmarks/bench_threads.py --d 16 --load
    python3 benchmarks/bench_threads.py --source before=/tmp/old/src --source after=src
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np
from problems import chain_problem

FORMS = ("sink_dp", "engine", "causal_order")
LABELS = {"sink_dp": "_sink_dp", "engine": "engine", "causal_order": "causal_order"}
KINDS = ("one", "threads", "side")


def search(form: str, d: int, n: int, threads: int) -> tuple[float, str]:
    """Seconds of one search and a digest of what it found."""
    import veldra
    from veldra._exhaustive_kernel import _sink_dp
    from veldra._search import _engine

    X, gram, reference = chain_problem(n, d)
    began = time.perf_counter()
    if form == "sink_dp":
        sinks, score = _sink_dp(X, gram, reference, d, threads)
        found = np.asarray(sinks).tobytes() + np.float64(score).tobytes()
    elif form == "engine":
        outcome = _engine.run(X, gram, reference, threads)
        found = outcome.sinks.tobytes() + np.float64(outcome.score).tobytes()
    else:
        result = veldra.causal_order(X, n_threads=threads)
        found = result.order.tobytes() + np.float64(result.score).tobytes()
    seconds = time.perf_counter() - began
    return seconds, hashlib.sha256(found).hexdigest()


def serve() -> None:
    """Answers search requests on stdin, after one small search of each form
    so that imports and first calls are not timed."""
    for form in FORMS:
        search(form, 4, 200, 2)
    print("ready", flush=True)
    for line in sys.stdin:
        request = json.loads(line)
        print(json.dumps(search(**request)), flush=True)


class Server:
    def __init__(self, source: str | None) -> None:
        env = dict(os.environ)
        if source is not None:
            env["PYTHONPATH"] = os.path.abspath(source)
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=env,
        )
        assert self.process.stdout is not None
        assert self.process.stdout.readline().strip() == "ready"

    def send(self, **request) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()

    def receive(self) -> tuple[float, str]:
        assert self.process.stdout is not None
        seconds, digest = json.loads(self.process.stdout.readline())
        return seconds, digest

    def close(self) -> None:
        self.process.kill()
        self.process.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--d", type=int, nargs="+", default=[16])
    parser.add_argument("--n", type=int, default=1000)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--forms", nargs="+", choices=FORMS, default=list(FORMS))
    parser.add_argument(
        "--load", action="store_true", help="a busy process beside every search"
    )
    parser.add_argument(
        "--source",
        action="append",
        default=[],
        metavar="LABEL=DIR",
        help="a tree's importable veldra, to compare (repeatable)",
    )
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve()
        return

    from veldra._sweep import _instruction_set

    T = args.threads
    sources = dict(item.partition("=")[::2] for item in args.source) or {"": None}
    servers = {
        label: [Server(path) for _ in range(T)] for label, path in sources.items()
    }
    busy = None
    if args.load:
        busy = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    times: dict[tuple[str, str, int, str], list[float]] = {}
    try:
        for round_index in range(args.rounds):
            for d in args.d:
                for form in args.forms:
                    digests = set()
                    request = {"form": form, "d": d, "n": args.n}
                    runs = [(label, kind) for label in servers for kind in KINDS]
                    # Each first in turn: the round's drift hits all alike.
                    turn = round_index % len(runs)
                    for label, kind in runs[turn:] + runs[:turn]:
                        group = servers[label]
                        if kind == "side":
                            for server in group:
                                server.send(**request, threads=1)
                            answers = [server.receive() for server in group]
                            seconds = statistics.mean(a[0] for a in answers)
                            digests.update(a[1] for a in answers)
                        else:
                            group[0].send(**request, threads=1 if kind == "one" else T)
                            seconds, digest = group[0].receive()
                            digests.add(digest)
                        times.setdefault((label, form, d, kind), []).append(seconds)
                    if len(digests) != 1:
                        raise SystemExit(f"{form}, d = {d}: the runs differ in bits")
    finally:
        for group in servers.values():
            for server in group:
                server.close()
        if busy is not None:
            busy.kill()
            busy.wait()

    median = {key: statistics.median(value) for key, value in times.items()}
    beside = ", one busy process beside each" if args.load else ""
    print(
        f"n = {args.n}, {T} threads{beside}; seconds, median of {args.rounds}"
        f" rounds; score on {_instruction_set()}"
    )
    print(
        f"| search | d | 1 thread | {T} threads | speed-up |"
        f" {T} 1-thread runs side by side, each | ceiling | share of ceiling |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for label in servers:
        for form in args.forms:
            for d in args.d:
                one, many, side = (median[(label, form, d, k)] for k in KINDS)
                speedup, ceiling = one / many, T * one / side
                name = f"{LABELS[form]}{f' ({label})' if label else ''}"
                print(
                    f"| {name} | {d} | {one:.3f} | {many:.3f} | {speedup:.2f}x |"
                    f" {side:.3f} | {ceiling:.2f}x | {speedup / ceiling:.2f} |"
                )
    if "sink_dp" in args.forms and "engine" in args.forms:
        print("\nthe engine's cost over the one-call search")
        for label in servers:
            for d in args.d:
                cells = []
                for kind, threads in (("one", 1), ("threads", T)):
                    engine = median[(label, "engine", d, kind)]
                    cost = engine / median[(label, "sink_dp", d, kind)] - 1
                    cells.append(f"{threads} thread(s): {100 * cost:+.1f} %")
                print(f"  {label + ', ' if label else ''}d = {d}: " + ", ".join(cells))
    print("same bits in every run")


if __name__ == "__main__":
    main()
