"""Digests of every field and warning of ``causal_order``'s results over a
table of cases (n from 12 to 20,000, five noise laws, constraints), to show
that a change leaves every result bit for bit as it was.

Run it once per tree, thread count or environment, then compare:

    PYTHONPATH=/tmp/old/src python3 benchmarks/same_bits.py --threads 2 > old.json
    OPENBLAS_NUM_THREADS=1 PYTHONPATH=src python3 benchmarks/same_bits.py > new.json
    python3 benchmarks/same_bits.py --compare old.json new.json
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import json
import sys
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

LAWS = ((3, "uniform"), (5, "laplace"), (7, "exponential"), (4, "lognormal"), (6, "t"))
CASES = [
    (n, d, noise, {})
    for n in (12, 50, 400, 1000, 4000, 10_000, 10_001, 20_000)
    for d, noise in LAWS
] + [
    (1500, 5, "laplace", {"reference": "laplace"}),
    (400, 7, "exponential", {"exogenous": [3]}),
    (30, 3, "mixed", {"robust": True}),
    (2000, 8, "uniform", {"required_order": [(0, 5)]}),
]


def data(n: int, d: int, noise: str) -> np.ndarray:
    """A random linear model's data; its noise drawn from ``noise``."""
    from simulate import NOISES, simulate

    if noise in NOISES or noise == "mixed":
        return simulate(n, d, noise=noise, seed=n + d).X
    model = simulate(n, d, seed=n + d).B
    rng = np.random.default_rng(n * d)
    draws = (
        rng.lognormal(size=(n, d))
        if noise == "lognormal"
        else rng.standard_t(3, (n, d))
    )
    return draws @ np.linalg.inv(np.eye(d) - model).T


def digests(threads: int) -> dict[str, str]:
    import veldra

    found = {}
    for n, d, noise, options in CASES:
        X = data(n, d, noise)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = veldra.causal_order(X, n_threads=threads, **options)
        digest = hashlib.sha256()
        for field in dataclasses.fields(result):
            if field.name in ("seconds", "n_threads"):
                continue
            value = getattr(result, field.name)
            digest.update(field.name.encode())
            if isinstance(value, np.ndarray | float):
                digest.update(np.asarray(value).tobytes())
            else:
                digest.update(repr(value).encode())
        for warning in caught:
            digest.update(
                repr((warning.category.__name__, str(warning.message))).encode()
            )
        found[f"n={n} d={d} {noise} {options}"] = digest.hexdigest()
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--compare", nargs=2, metavar="JSON")
    args = parser.parse_args()
    if args.compare is None:
        json.dump(digests(args.threads), sys.stdout, indent=1)
        return
    first, second = (json.loads(Path(name).read_text()) for name in args.compare)
    differ = [case for case in first if first[case] != second.get(case)]
    print(f"{len(first) - len(differ)} of {len(first)} cases the same")
    for case in differ:
        print("differs:", case)
    sys.exit(1 if differ else 0)


if __name__ == "__main__":
    main()
