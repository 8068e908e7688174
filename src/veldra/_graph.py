"""From an order to the weighted graph and what follows from it: the direct
effects (each variable regressed on its predecessors, pruned by an adaptive
lasso or not), total effects, the paths between two variables and the
residuals of the graph.

The regressions run on the standardised columns and their coefficients are
scaled back, so the graph does not depend on the units of the data.
"""

from __future__ import annotations

import math

import numpy as np
from sklearn.linear_model import lars_path_gram

from ._data import BLOCK_ROWS, PreparedData

__all__ = [
    "adaptive_lasso",
    "ordered_r",
    "paths_between",
    "predecessor_effects",
    "residuals",
    "total_effect",
    "total_effects",
]

# A resample with more paths between two variables than this is refused.
MAX_PATHS = 1_000_000


def paths_between(
    present: np.ndarray, source: int, target: int
) -> list[tuple[int, ...]]:
    """The directed paths from source to target of one acyclic graph, where
    ``present[i, j]`` is an edge j -> i; sorted."""
    if source == target:
        return []
    d = len(present)
    # Paths from each variable to the target, counted first (the graph is
    # acyclic, so memoised depth-first search ends).
    counts: dict[int, int] = {}

    def count(v: int) -> int:
        if v == target:
            return 1
        if v not in counts:
            counts[v] = 0  # no cycles: never read before it is set
            counts[v] = sum(count(int(c)) for c in np.flatnonzero(present[:, v]))
        return counts[v]

    if count(source) > MAX_PATHS:
        raise ValueError(
            f"more than {MAX_PATHS:,} paths from {source} to {target} in one"
            " resample; raise min_causal_effect"
        )
    paths: list[tuple[int, ...]] = []

    def walk(v: int, path: tuple[int, ...]) -> None:
        if v == target:
            paths.append(path)
            return
        for child in range(d):
            if present[child, v] and count(child):
                walk(child, (*path, child))

    walk(source, (source,))
    return sorted(paths)


# Rows per block of the blockwise QR decomposition.


def ordered_r(standard: np.ndarray, order: np.ndarray) -> np.ndarray:
    """R of a QR decomposition of the columns taken in ``order``.

    Its leading k-by-k block and the column after it solve the regression of
    the k-th variable in the order on those before it, and ``R[k, k]**2`` is
    that regression's residual sum of squares. The rows are taken a block at
    a time (each block stacked under the R so far and decomposed again), so
    no copy of the data is made.
    """
    r = np.empty((0, standard.shape[1]))
    for start in range(0, standard.shape[0], BLOCK_ROWS):
        block = standard[start : start + BLOCK_ROWS][:, order]
        r = np.linalg.qr(np.vstack([r, block]), mode="r")
    return r


def predecessor_effects(
    prepared: PreparedData,
    order: np.ndarray,
    pruning: str,
    criterion: str,
    forbidden: np.ndarray | None = None,
) -> np.ndarray:
    """Adjacency matrix: each variable regressed on its predecessors in order.

    ``B[i, j]`` is the direct effect of variable ``j`` on variable ``i``. The
    regressions run on the standardised columns (target and predecessors)
    and their coefficients are scaled back, so that the graph does not
    depend on the units: rescaling column j divides column j of B by the
    factor and rescaling column i multiplies row i by it. Where
    ``forbidden[i, j]`` is True, variable j is left out of variable i's
    regression, so ``B[i, j]`` is exactly 0.
    """
    import scipy.linalg

    n_features = prepared.standard.shape[1]
    adjacency = np.zeros((n_features, n_features))
    r = ordered_r(prepared.standard, order)
    for position in range(1, n_features):
        target = int(order[position])
        parents = order[:position]
        allowed = (
            np.arange(position)
            if forbidden is None
            else np.flatnonzero(~forbidden[target, parents])
        )
        if len(allowed) == 0:
            continue
        if len(allowed) == position:
            beta = scipy.linalg.solve_triangular(
                r[:position, :position], r[:position, position]
            )
            rss = float(r[position, position]) ** 2
        else:
            # On R's columns, as on the data's: Q is orthonormal, and the
            # target's column lies in the span of the first position + 1.
            parents = parents[allowed]
            beta, *_ = scipy.linalg.lstsq(
                r[: position + 1, allowed], r[: position + 1, position]
            )
            change = r[: position + 1, position] - r[: position + 1, allowed] @ beta
            rss = float(change @ change)
        if pruning == "adaptive_lasso":
            beta = adaptive_lasso(prepared, target, parents, beta, rss, criterion)
        adjacency[target, parents] = beta * prepared.scale_ratio(target, parents)
    return adjacency


def adaptive_lasso(
    prepared: PreparedData,
    target: int,
    parents: np.ndarray,
    beta_ols: np.ndarray,
    rss_ols: float,
    criterion: str,
) -> np.ndarray:
    """Adaptive lasso on the standardised predecessors, tuned by ``criterion``.

    The weights are the absolute least-squares coefficients (gamma = 1): a
    predictor with a small least-squares effect is penalised more. The lasso
    path is LARS on the weighted cross-products, as scikit-learn's
    LassoLarsIC runs it when there are more samples than predictors; the
    criterion is LassoLarsIC's, with each step's residual sum of squares
    taken from the least-squares one, RSS(b) = RSS_ols + (b - b_ols)' G
    (b - b_ols), G the predecessors' cross-products: exact, and without an
    n-by-steps matrix of residuals.
    """
    gram = prepared.gram
    n_samples, n_parents = prepared.standard.shape[0], len(parents)
    # Validation rejects data whose centred columns are rank deficient, so
    # n_samples >= n_features + 1 and at least one residual degree of
    # freedom is left here.
    noise_variance = rss_ols / (n_samples - n_parents - 1)
    if not noise_variance > 0.0:  # an exact fit: nothing to weigh edges by
        return beta_ols
    weights = np.abs(beta_ols)
    cross = gram[np.ix_(parents, parents)]
    _, _, path = lars_path_gram(
        gram[parents, target] * weights,
        cross * np.outer(weights, weights),
        n_samples=n_samples,
        method="lasso",
        alpha_min=0.0,
    )
    change = path * weights[:, np.newaxis] - beta_ols[:, np.newaxis]
    rss = rss_ols + np.einsum("ik,ij,jk->k", change, cross, change)
    degrees_of_freedom = np.count_nonzero(np.abs(path) > np.finfo(float).eps, axis=0)
    penalty = math.log(n_samples) if criterion == "bic" else 2.0
    values = (
        n_samples * math.log(2.0 * math.pi * noise_variance)
        + rss / noise_variance
        + penalty * degrees_of_freedom
    )
    return path[:, int(np.argmin(values))] * weights


def total_effect(
    prepared: PreparedData, order: np.ndarray, source: int, target: int
) -> float:
    """The total effect of ``source`` on ``target``: ``target`` regressed on
    ``source`` and the variables that precede it in ``order`` (which block
    every back-door path when there is no hidden confounder)."""
    positions = np.argsort(order)
    adjustment = order[: positions[source]]
    columns = [source, *adjustment.tolist()]
    standard = prepared.standard
    beta, *_ = np.linalg.lstsq(standard[:, columns], standard[:, target], rcond=None)
    return float(beta[0] * prepared.scale_ratio(target, source))


def total_effects(adjacency: np.ndarray) -> np.ndarray:
    """Total effects of the graphs in ``adjacency`` (any leading shape):
    ``inv(I - B) - I``, the sums over directed paths of the products of their
    direct effects, zero on the diagonal."""
    d = adjacency.shape[-1]
    identity = np.eye(d)
    effects = np.linalg.solve(identity - adjacency, identity) - identity
    effects[np.broadcast_to(identity.astype(bool), effects.shape)] = 0.0
    return effects


def residuals(
    prepared: PreparedData, adjacency: np.ndarray, max_samples: int
) -> np.ndarray:
    """The graph's residuals ``e = x - B x`` on the standardised columns, of
    at most ``max_samples`` rows (drawn with a fixed seed beyond that)."""
    d = len(prepared.peak)
    ratio = prepared.scale_ratio(np.arange(d)[:, np.newaxis], np.arange(d))
    standard = prepared.standard
    if len(standard) > max_samples:
        rows = np.random.default_rng(0).choice(
            len(standard), max_samples, replace=False
        )
        standard = standard[np.sort(rows)]
    return standard - standard @ (adjacency / ratio).T
