"""Linear non-Gaussian data over a random DAG, for tests.

``simulate(n, d, ...)`` draws a causal order (a random permutation), puts an
edge from each earlier variable to each later one with probability
``edge_prob``, weights edges uniformly on +-[0.5, 2] and adds independent
centred noise. ``B[i, j]`` is the direct effect of variable j on variable i.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

NOISES = ("uniform", "laplace", "exponential")


class Simulation(NamedTuple):
    X: np.ndarray  # (n, d) data
    B: np.ndarray  # (d, d) weighted adjacency, B[i, j]: effect of j on i
    order: np.ndarray  # the causal order used, first cause first


def _noise(rng: np.random.Generator, kind: str, n: int) -> np.ndarray:
    if kind == "uniform":
        return rng.uniform(-1.0, 1.0, n)
    if kind == "laplace":
        return rng.laplace(0.0, 1.0, n)
    if kind == "exponential":
        return rng.exponential(1.0, n) - 1.0
    raise ValueError(f"unknown noise {kind!r}")


def simulate(
    n: int,
    d: int,
    *,
    noise: str = "uniform",
    edge_prob: float = 0.5,
    seed: int | np.random.Generator | None = None,
) -> Simulation:
    """``noise`` is one of NOISES, or "mixed" for a random kind per variable."""
    rng = np.random.default_rng(seed)
    order = rng.permutation(d)
    B = np.zeros((d, d))
    for pos, child in enumerate(order):
        for parent in order[:pos]:
            if rng.random() < edge_prob:
                B[child, parent] = rng.choice([-1.0, 1.0]) * rng.uniform(0.5, 2.0)
    X = np.zeros((n, d))
    for child in order:
        kind = NOISES[rng.integers(len(NOISES))] if noise == "mixed" else noise
        X[:, child] = X @ B[child] + _noise(rng, kind, n)
    return Simulation(X, B, order)


def backward_edges(B: np.ndarray, order) -> list[tuple[int, int]]:
    """The edges j -> i of B that point backwards in ``order``."""
    position = np.empty(len(order), dtype=int)
    position[np.asarray(order)] = np.arange(len(order))
    children, parents = np.nonzero(B)
    return [
        (int(j), int(i))
        for i, j in zip(children, parents, strict=True)
        if position[j] > position[i]
    ]
