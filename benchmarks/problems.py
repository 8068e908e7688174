"""The problems the benchmarks search, each recipe in one place: linear
models with non-Gaussian noise along random causal orders. The same
arguments give the same bits, so that results recorded in
``benchmarks/results`` and ``docs`` can be reproduced.

- ``simulate``: a random DAG (Erdos-Renyi or scale-free), weights on
  +-[0.5, 2], five noise laws (the accuracy and identifiability runs);
- ``sparse_uniform``: an Erdos-Renyi DAG of expected degree 2, uniform
  noise, standardised (the speed comparison and prior knowledge);
- ``chain_problem``: each variable mixing half of the earlier ones with
  weights on [-0.5, 0.5], uniform noise, centred (the one-call search);
- ``ordered_model``: a chain through a random order plus random further
  edges, so that exactly one order is right (the trust checks);
- ``laplace_problem``: Laplace noise through an upper-triangular mix,
  standardised (the engine, the cluster and the scaling model).

The ``*_problem`` recipes return what a search takes: the data, their
cross-products and a sorted Gaussian reference drawn after the data.
"""

from __future__ import annotations

import math

import numpy as np

__all__ = [
    "chain_problem",
    "laplace_problem",
    "noise",
    "ordered_model",
    "random_dag",
    "simulate",
    "sparse_uniform",
    "standardise",
    "uniform_chain",
]


def random_dag(
    rng: np.random.Generator, d: int, graph: str
) -> tuple[np.ndarray, np.ndarray]:
    """A random DAG over a random causal order.

    Returns ``(A, order)``: ``A[i, j]`` is True for an edge j -> i, and every
    edge points from an earlier to a later variable of ``order``.

    - ``er1``, ``er2``: Erdos-Renyi; each pair of variables is joined with
      probability ``k / (d - 1)``, so the expected degree (number of
      neighbours of a node, ``2 * edges / d``) is ``k`` = 1 or 2.
    - ``sf``: scale-free by preferential attachment; each variable after
      the first, in causal order, gets one parent chosen among the earlier
      variables with probability proportional to their degree + 1 (a tree
      of ``d - 1`` edges: expected degree ``2 (d - 1) / d``, close to 2).

    A graph without edges is drawn again: it has no order to find.
    """
    while True:
        order = rng.permutation(d)
        adjacency = np.zeros((d, d), dtype=bool)
        if graph in ("er1", "er2"):
            p = (1.0 if graph == "er1" else 2.0) / (d - 1)
            for pos in range(1, d):
                parents = order[:pos][rng.random(pos) < p]
                adjacency[order[pos], parents] = True
        elif graph == "sf":
            degree = np.zeros(d)
            for pos in range(1, d):
                earlier = order[:pos]
                weight = degree[earlier] + 1.0
                parent = rng.choice(earlier, p=weight / weight.sum())
                adjacency[order[pos], parent] = True
                degree[parent] += 1.0
                degree[order[pos]] += 1.0
        else:
            raise ValueError(f"unknown graph type {graph!r}")
        if adjacency.any():
            return adjacency, order


def noise(rng: np.random.Generator, kind: str, size: tuple[int, int]) -> np.ndarray:
    """Independent noise with mean 0 and variance 1."""
    if kind == "uniform":
        return rng.uniform(-math.sqrt(3.0), math.sqrt(3.0), size)
    if kind == "laplace":
        return rng.laplace(0.0, 1.0 / math.sqrt(2.0), size)
    if kind == "exponential":
        return rng.exponential(1.0, size) - 1.0
    if kind == "gumbel":
        scale = math.sqrt(6.0) / math.pi
        return rng.gumbel(0.0, scale, size) - np.euler_gamma * scale
    if kind == "gaussian":
        return rng.standard_normal(size)
    if kind == "t":  # Student t with 5 degrees of freedom
        return rng.standard_t(5, size) / math.sqrt(5.0 / 3.0)
    if kind == "lognormal":
        e = math.e
        return (rng.lognormal(0.0, 1.0, size) - math.sqrt(e)) / math.sqrt((e - 1) * e)
    raise ValueError(f"unknown noise {kind!r}")


def simulate(
    rng: np.random.Generator, n: int, d: int, graph: str, noise_kind: str
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Raw data ``X`` (n, d), weights ``B`` (``B[i, j]``: j -> i) and the order."""
    adjacency, order = random_dag(rng, d, graph)
    signs = rng.choice([-1.0, 1.0], size=(d, d))
    B = np.where(adjacency, signs * rng.uniform(0.5, 2.0, (d, d)), 0.0)
    X = noise(rng, noise_kind, (n, d))
    for target in order:  # parents come earlier, so are final already
        X[:, target] += X @ B[target]
    return X, B, order


def ordered_model(
    rng: np.random.Generator, d: int, extra: float = 0.3
) -> tuple[np.ndarray, np.ndarray]:
    """Weights ``B`` (``B[i, j]``: j -> i) and the order of a DAG with an edge
    between each pair of neighbours in a random order (so that no other
    order fits it) and each other forward pair joined with probability
    ``extra``; weights on +-[0.5, 1.5]."""
    order = rng.permutation(d)
    B = np.zeros((d, d))
    for pos in range(1, d):
        for before in range(pos):
            if before == pos - 1 or rng.random() < extra:
                weight = rng.uniform(0.5, 1.5) * rng.choice([-1.0, 1.0])
                B[order[pos], order[before]] = weight
    return B, order


def standardise(X: np.ndarray) -> np.ndarray:
    return (X - X.mean(axis=0)) / X.std(axis=0)


def sparse_uniform(n: int, d: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """Standardised data from a linear model with uniform noise.

    The DAG is Erdős-Rényi with expected degree 2 over a random order; edge
    weights are uniform on ±[0.5, 2]. Returns the data and B, with
    B[i, j] the direct effect of j on i.
    """
    rng = np.random.default_rng(seed)
    order = rng.permutation(d)
    p = min(1.0, 2.0 / max(d - 1, 1))
    B = np.zeros((d, d))
    for later in range(1, d):
        for earlier in range(later):
            if rng.random() < p:
                weight = rng.uniform(0.5, 2.0) * rng.choice([-1.0, 1.0])
                B[order[later], order[earlier]] = weight
    X = rng.uniform(-1.0, 1.0, (n, d))
    for i in order:
        X[:, i] += X @ B[i]
    X = (X - X.mean(axis=0)) / X.std(axis=0)
    return X, B


def uniform_chain(rng: np.random.Generator, n: int, d: int) -> np.ndarray:
    """A linear model with uniform noise along a random order: each variable
    adds, with weights on [-0.5, 0.5], about half of the earlier ones."""
    X = rng.uniform(-1.0, 1.0, (n, d))
    order = rng.permutation(d)
    for pos in range(1, d):
        weights = rng.uniform(-0.5, 0.5, pos) * (rng.random(pos) < 0.5)
        X[:, order[pos]] += X[:, order[:pos]] @ weights
    return X


def _search_inputs(
    X: np.ndarray, rng: np.random.Generator
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    return X, X.T @ X, np.sort(rng.standard_normal(len(X)))


def chain_problem(
    n: int, d: int, seed: int = 0
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """:func:`uniform_chain`, centred, as a search takes it."""
    rng = np.random.default_rng(seed)
    X = uniform_chain(rng, n, d)
    X -= X.mean(axis=0)
    return _search_inputs(X, rng)


def laplace_problem(
    n: int, d: int, seed: int = 0
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Laplace noise mixed through an upper-triangular matrix of weights on
    [0.2, 1], standardised, as a search takes it."""
    rng = np.random.default_rng(seed)
    X = rng.laplace(size=(n, d)) @ np.triu(rng.uniform(0.2, 1.0, (d, d)))
    X = (X - X.mean(axis=0)) / X.std(axis=0)
    return _search_inputs(X, rng)
