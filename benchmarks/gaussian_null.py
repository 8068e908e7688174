"""The null distribution of the non-Gaussianity score, by simulation.

The diagnostics of ``veldra.causal_order`` give each variable's residuals a
p-value against Gaussian residuals of the same n. The score is the squared
2-Wasserstein distance between the standardised, sorted residuals and the
normal quantiles at ``(i + 0.5) / n``; under Gaussian residuals its
logarithm is close to normal, with a mean, a standard deviation and a small
skewness that depend on n alone. This script simulates them on a grid of n
with a fixed seed and writes the table the package interpolates
(``src/veldra/_null_table.py``)::

    python3 benchmarks/gaussian_null.py --write   # the table (a few minutes)
    python3 benchmarks/gaussian_null.py --check   # the approximation against
                                                  # fresh simulations off the grid

``--check`` prints, for n between and beyond the grid points, the share of
simulated Gaussian scores whose p-value falls below 0.1, 0.05, 0.01 and
0.001: each should be close to the level. ``--quick`` makes both small.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
TABLE = ROOT / "src" / "veldra" / "_null_table.py"
SEED = 20240611
BLOCK_VALUES = 4_000_000


def grid(largest: int) -> list[int]:
    """Every n up to 32, then four points per doubling up to ``largest``."""
    sizes = list(range(3, 33))
    k = 1
    while (n := round(32 * 2 ** (k / 4))) <= largest:
        sizes.append(n)
        k += 1
    return sizes


def replicates(n: int, quick: bool) -> int:
    if quick:
        return 2000
    return int(min(40_000, max(4000, 4e8 / n)))


def null_scores(n: int, count: int, rng: np.random.Generator) -> np.ndarray:
    """Scores of ``count`` standardised Gaussian samples of size n."""
    from scipy.special import ndtri

    quantiles = ndtri((np.arange(n) + 0.5) / n)
    out = np.empty(count)
    rows = max(1, BLOCK_VALUES // n)
    for start in range(0, count, rows):
        g = rng.standard_normal((min(rows, count - start), n))
        g -= g.mean(axis=1, keepdims=True)
        g /= np.sqrt(np.mean(g * g, axis=1, keepdims=True))
        g.sort(axis=1)
        g -= quantiles
        out[start : start + len(g)] = np.mean(g * g, axis=1)
    return out


def moments(scores: np.ndarray) -> tuple[float, float, float]:
    logs = np.log(scores)
    mean = float(logs.mean())
    sd = float(logs.std(ddof=1))
    skew = float(np.mean(((logs - mean) / sd) ** 3))
    return mean, sd, skew


def write(largest: int, quick: bool) -> None:
    rng = np.random.default_rng(SEED)
    rows = []
    start = time.perf_counter()
    for n in grid(largest):
        count = replicates(n, quick)
        rows.append((n, *moments(null_scores(n, count, rng))))
        print(
            f"  n = {n:>7}: {count} samples, {time.perf_counter() - start:.0f} s",
            file=sys.stderr,
            flush=True,
        )
    lines = [
        '"""The null distribution of the non-Gaussianity score: mean, standard',
        "deviation and skewness of its logarithm for Gaussian residuals of n",
        "samples. Written by benchmarks/gaussian_null.py (simulation, seed",
        f'{SEED}); do not edit."""',
        "",
        "# (n, mean, standard deviation, skewness)",
        "TABLE = (",
        *(f"    ({n}, {m!r}, {s!r}, {g!r})," for n, m, s, g in rows),
        ")",
        "",
    ]
    TABLE.write_text("\n".join(lines))
    print(f"wrote {TABLE} ({len(rows)} sizes)", file=sys.stderr)


def check(sizes: list[int], count: int) -> int:
    from veldra._diagnostics import gaussian_p_values

    rng = np.random.default_rng(SEED + 1)
    levels = (0.1, 0.05, 0.01, 0.001)
    print(f"{'n':>8}  " + "  ".join(f"p<{a:<6}" for a in levels))
    worst = 0.0
    for n in sizes:
        p = gaussian_p_values(null_scores(n, count, rng), n)
        shares = [float(np.mean(p < a)) for a in levels]
        print(f"{n:>8}  " + "  ".join(f"{s:<8.4f}" for s in shares))
        # Standard errors of a share of the count: the level's binomial one.
        for a, s in zip(levels, shares, strict=True):
            worst = max(worst, abs(s - a) / math.sqrt(a * (1 - a) / count))
    print(f"largest deviation: {worst:.1f} binomial standard errors")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--write", action="store_true", help="write the table")
    parser.add_argument("--check", action="store_true", help="check the p-values")
    parser.add_argument("--quick", action="store_true", help="a small, fast run")
    args = parser.parse_args(argv)
    if args.write:
        write(2**10 if args.quick else 2**16, args.quick)
    if args.check:
        if args.quick:
            check([50, 700], 2000)
        else:
            check([7, 23, 50, 150, 700, 2500, 9000, 40_000], 20_000)
            check([200_000, 1_000_000], 4000)
    if not (args.write or args.check):
        parser.error("nothing to do: give --write, --check or both")
    return 0


if __name__ == "__main__":
    sys.exit(main())
