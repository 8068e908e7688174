"""The search recovers the causal order of simulated linear non-Gaussian data,
agrees with a brute force over all orders, and ignores column order, scale and
shift."""

import itertools

import numpy as np
import pytest
from scipy import stats
from scipy.special import ndtri
from simulate import NOISES, backward_edges, simulate

from veldra import causal_order


@pytest.mark.parametrize("d", range(3, 9))
@pytest.mark.parametrize("noise", [*NOISES, "mixed"])
@pytest.mark.parametrize("seed", [0, 1])
def test_true_order_recovered(d, noise, seed):
    sim = simulate(2000, d, noise=noise, seed=100 * d + seed)
    result = causal_order(sim.X, n_threads=2)
    assert sorted(result.order.tolist()) == list(range(d))
    assert backward_edges(sim.B, result.order) == []


def _brute_force(X, reference):
    """Total score of every order, from a direct least-squares computation."""
    d = X.shape[1]
    Xc = X - X.mean(axis=0)
    cache = {}

    def score(target, parents):
        key = (target, parents)
        if key not in cache:
            y = Xc[:, target]
            if parents:
                A = Xc[:, list(parents)]
                y = y - A @ np.linalg.lstsq(A, y, rcond=None)[0]
            z = np.sort(y / np.sqrt(np.mean(y * y)))
            cache[key] = np.mean((z - reference) ** 2)
        return cache[key]

    return {
        order: sum(score(v, tuple(sorted(order[:k]))) for k, v in enumerate(order))
        for order in itertools.permutations(range(d))
    }


QUANTILES = {  # each with mean 0 and variance 1
    "normal": stats.norm.ppf,
    "laplace": stats.laplace(scale=0.5**0.5).ppf,
    "uniform": stats.uniform(loc=-(3**0.5), scale=2 * 3**0.5).ppf,
}


@pytest.mark.parametrize(
    ("d", "noise", "reference"),
    [
        (3, "uniform", "normal"),
        (4, "laplace", "normal"),
        (4, "mixed", "laplace"),
        (5, "exponential", "uniform"),
    ],
)
def test_score_is_the_maximum_over_all_orders(d, noise, reference):
    sim = simulate(500, d, noise=noise, edge_prob=0.7, seed=d)
    result = causal_order(sim.X, reference=reference, n_threads=1)
    totals = _brute_force(sim.X, QUANTILES[reference]((np.arange(500) + 0.5) / 500))
    best = max(totals.values())
    # The search accumulates in float32.
    assert result.score == pytest.approx(best, rel=1e-5)
    assert totals[tuple(result.order.tolist())] == pytest.approx(best, rel=1e-5)


def test_explicit_reference_is_used():
    # A skewed reference changes every score; the search must use the values
    # given (standardised, so their scale and location do not matter), not
    # the default.
    sim = simulate(300, 3, noise="laplace", seed=7)
    n = 300
    skewed = np.expm1(ndtri((np.arange(n) + 0.5) / n)) * 2.0 + 5.0
    result = causal_order(sim.X, reference=skewed[::-1], n_threads=1)
    totals = _brute_force(sim.X, (skewed - skewed.mean()) / skewed.std())
    assert result.score == pytest.approx(max(totals.values()), rel=1e-5)
    default = causal_order(sim.X, n_threads=1).score
    assert result.score != pytest.approx(default, rel=1e-2)


@pytest.mark.parametrize("seed", range(4))
def test_invariant_to_column_permutation_scale_and_shift(seed):
    rng = np.random.default_rng(seed)
    d = 3 + seed
    sim = simulate(2000, d, noise="mixed", seed=seed + 40)
    base = causal_order(sim.X, n_threads=1).order

    perm = rng.permutation(d)
    permuted = causal_order(sim.X[:, perm], n_threads=1).order
    assert perm[permuted].tolist() == base.tolist()

    scale = rng.choice([1e-4, 0.3, 7.0, 1e5], size=d) * rng.choice([-1, 1], d)
    shift = rng.choice([-1e4, 0.0, 3.0, 1e6], size=d)
    transformed = causal_order(sim.X * scale + shift, n_threads=1)
    assert transformed.order.tolist() == base.tolist()
