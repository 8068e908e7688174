"""How often veldra's answer is right, and how often it says not to trust it,
on clean data and on the data people actually have.

Each setting simulates five variables along a chain through a random order
(plus random further edges: ``problems.ordered_model``), so exactly one order
is right, then spoils the data in one way: a column cut into 0/1 or three
levels, one cell multiplied by 1e6, 1 % of rows replaced by wild values,
rows duplicated, a hidden common cause, one edge through tanh, Gaussian
measurement error. Clean settings cycle the noise law over uniform,
Laplace, Student t (5 degrees of freedom), exponential and log-normal from
seed to seed. Per setting it prints the share of runs whose order is right,
the share with any warning, and how often each kind of warning fired::

    python3 benchmarks/trust.py            # 20 seeds per setting, a few minutes
    python3 benchmarks/trust.py --quick    # 6 seeds, fewer settings
    python3 benchmarks/trust.py --robust   # the same with robust=True
    python3 benchmarks/trust.py --laws     # clean data, law by law (calibration)
    python3 benchmarks/trust.py --cost     # what each check costs, d = 12 and 20
    python3 benchmarks/trust.py --cost --d 16 18 --threads 1 2
"""

from __future__ import annotations

import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse
import multiprocessing
import sys
import time
import warnings
from collections import Counter
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from problems import noise, ordered_model

D = 5
CLEAN_LAWS = ("uniform", "laplace", "t", "exponential", "lognormal")

# name: (n, noise law or None to cycle the clean laws, what spoils the data)
SETTINGS: dict[str, tuple[int, str | None, str | None]] = {
    "clean, n = 100": (100, None, None),
    "clean, n = 200": (200, None, None),
    "clean, n = 500": (500, None, None),
    "clean, n = 1000": (1000, None, None),
    "Gaussian noise": (1000, "gaussian", None),
    "Gaussian noise, n = 200": (200, "gaussian", None),
    "one binary column": (1000, None, "binary"),
    "one three-level column": (1000, None, "three_levels"),
    "one extreme cell": (1000, None, "cell"),
    "1 % outlier rows": (1000, None, "outlier_rows"),
    "duplicated rows (40 x 20)": (40, None, "duplicates"),
    "hidden common cause": (1000, None, "confounder"),
    "one non-linear edge": (1000, None, "nonlinear"),
    "Gaussian measurement error": (1000, None, "measurement"),
}
QUICK = (
    "clean, n = 200",
    "clean, n = 1000",
    "Gaussian noise",
    "one binary column",
    "one extreme cell",
    "duplicated rows (40 x 20)",
    "hidden common cause",
    "one non-linear edge",
)


def simulate(
    rng: np.random.Generator, n: int, law: str, spoil: str | None
) -> tuple[np.ndarray, np.ndarray]:
    """The observed data and the right order."""
    B, order = ordered_model(rng, D)
    e = noise(rng, law, (n, D))
    X = np.zeros((n, D))
    hidden = rng.choice(D, size=2, replace=False)
    if spoil == "confounder":
        latent = noise(rng, law, (n, 1))[:, 0]
        e[:, hidden] += latent[:, np.newaxis]
    bent = (order[D // 2 - 1], order[D // 2])  # a chain edge: cause, effect
    for j in order:
        if spoil == "nonlinear":
            cause, effect = bent
            if j == effect:
                w, B[effect, cause] = B[effect, cause], 0.0
                x = X[:, cause] / X[:, cause].std()
                X[:, j] += 2.0 * w * X[:, cause].std() * np.tanh(2.0 * x)
        X[:, j] += X @ B[j] + e[:, j]
    column = int(rng.integers(D))
    if spoil == "binary":
        X[:, column] = X[:, column] > np.median(X[:, column])
    elif spoil == "three_levels":
        cuts = np.quantile(X[:, column], [1 / 3, 2 / 3])
        X[:, column] = np.searchsorted(cuts, X[:, column]).astype(float)
    elif spoil == "cell":
        X[int(rng.integers(n)), column] *= 1e6
    elif spoil == "outlier_rows":
        rows = rng.choice(n, size=max(1, n // 100), replace=False)
        X[rows] = rng.standard_normal((len(rows), D)) * 10.0 * X.std(axis=0)
    elif spoil == "duplicates":
        X = np.repeat(X, 20, axis=0)
    elif spoil == "measurement":
        X += rng.standard_normal(X.shape) * 0.5 * X.std(axis=0)
    return X, order


def run(task: tuple[str, int, bool]) -> tuple[str, int, bool, list[str], float]:
    """(setting, seed, right order, kinds of warning, seconds) of one run."""
    import veldra

    name, seed, robust = task
    n, law, spoil = SETTINGS[name]
    rng = np.random.default_rng([seed, sum(map(ord, name))])
    X, truth = simulate(rng, n, law or CLEAN_LAWS[seed % len(CLEAN_LAWS)], spoil)
    options = {"robust": True} if robust else {}
    start = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = veldra.causal_order(X, n_threads=1, **options)
    seconds = time.perf_counter() - start
    kinds = sorted(
        {
            w.category.__name__
            for w in caught
            if issubclass(w.category, UserWarning) and w.category is not UserWarning
        }
    )
    return name, seed, bool(np.array_equal(result.order, truth)), kinds, seconds


def clean_law_settings(seeds: int) -> list[tuple[str, int, bool]]:
    for law in CLEAN_LAWS:
        for n in (100, 200, 500, 1000, 5000):
            SETTINGS[f"{law}, n = {n}"] = (n, law, None)
    return [
        (name, seed, False)
        for name in SETTINGS
        if name.split(",")[0] in CLEAN_LAWS
        for seed in range(seeds)
    ]


def cost(
    sizes: tuple[int, ...] = (12, 20), n: int = 1000, threads: tuple[int, ...] = (1,)
) -> None:
    """Seconds of the call, its search and its diagnostics, and of each
    check alone, on one chain problem each, at each thread count."""
    from problems import uniform_chain

    import veldra
    from veldra import _pipeline
    from veldra._diagnostics import margin_noise
    from veldra._independence import order_dependence_p_values
    from veldra._pipeline import INDEPENDENCE_ROWS
    from veldra._screening import screen_data

    diagnose, spent = _pipeline._diagnose, []

    def timed(*args):
        start = time.perf_counter()
        found = diagnose(*args)
        spent.append(time.perf_counter() - start)
        return found

    _pipeline._diagnose = timed
    warnings.simplefilter("ignore")
    veldra.causal_order(uniform_chain(np.random.default_rng(0), 200, 5))  # imports
    print(
        "| d | threads | the call | its search | its diagnostics | data checks"
        " | margin noise | independence |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for d in sizes:
        X = uniform_chain(np.random.default_rng(d), n, d)
        start = time.perf_counter()
        screen_data(X, None)
        checks = time.perf_counter() - start
        prepared = veldra.prepare_data(X)
        reference = np.sort(np.random.default_rng(0).standard_normal(n))
        for count in threads:
            start = time.perf_counter()
            result = veldra.causal_order(prepared, n_threads=count)
            total = time.perf_counter() - start
            start = time.perf_counter()
            margin_noise(
                prepared.standard,
                result.order,
                result.runner_up_order,
                reference,
                threads=count,
            )
            margin = time.perf_counter() - start
            start = time.perf_counter()
            order_dependence_p_values(
                prepared.standard, result.order, INDEPENDENCE_ROWS, count
            )
            independence = time.perf_counter() - start
            print(
                f"| {d} | {count} | {total:.2f} s | {total - spent[-1]:.2f} s |"
                f" {spent[-1]:.3f} s | {checks:.3f} s | {margin:.3f} s |"
                f" {independence:.3f} s |"
            )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="6 seeds, fewer settings")
    parser.add_argument("--seeds", type=int, default=None, help="seeds per setting")
    parser.add_argument("--robust", action="store_true", help="search with robust=True")
    parser.add_argument("--laws", action="store_true", help="clean data law by law")
    parser.add_argument("--cost", action="store_true", help="seconds of each check")
    parser.add_argument(
        "--d", type=int, nargs="+", default=[12, 20], help="variables (--cost)"
    )
    parser.add_argument(
        "--threads", type=int, nargs="+", default=[1], help="thread counts (--cost)"
    )
    args = parser.parse_args(argv)
    if args.cost:
        cost(tuple(args.d), threads=tuple(args.threads))
        return 0
    seeds = args.seeds or (6 if args.quick else 20)
    if args.laws:
        tasks = clean_law_settings(seeds)
    else:
        names = QUICK if args.quick else tuple(SETTINGS)
        tasks = [(name, seed, args.robust) for name in names for seed in range(seeds)]
    with multiprocessing.Pool(os.cpu_count()) as pool:
        runs = pool.map(run, tasks, chunksize=1)
    print(
        "| setting | right | warned | warned when right | warned when wrong"
        " | warnings (runs) | ms per run |"
    )
    print("|---|---|---|---|---|---|---|")
    for name in dict.fromkeys(task[0] for task in tasks):
        mine = [r for r in runs if r[0] == name]
        right = sum(r[2] for r in mine)
        warned = sum(bool(r[3]) for r in mine)
        kinds = Counter(kind for r in mine for kind in r[3])
        listed = ", ".join(
            f"{kind.removesuffix('Warning')} {count}"
            for kind, count in kinds.most_common()
        )
        ms = 1000.0 * float(np.median([r[4] for r in mine]))
        when_right = sum(bool(r[3]) for r in mine if r[2])
        when_wrong = sum(bool(r[3]) for r in mine if not r[2])
        print(
            f"| {name} | {right}/{len(mine)} | {warned}/{len(mine)} |"
            f" {when_right}/{right} | {when_wrong}/{len(mine) - right} |"
            f" {listed or '-'} | {ms:.0f} |"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
