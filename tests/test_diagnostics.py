"""Whether an order can be trusted: non-Gaussianity and its p-values, the
margin over the runner-up, the identifiability warning and the residuals'
independence test."""

import dataclasses
import itertools
import math
import re
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest
from simulate import simulate

import veldra
from veldra import _data, _reference
from veldra._diagnostics import ResidualScorer, gaussian_p_values

FIRST = "ignore::veldra.IdentifiabilityWarning"


def _gaussian_chain(n, d, seed):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((n, d)) @ np.triu(rng.uniform(0.5, 1.0, (d, d)))


@pytest.mark.parametrize(
    ("X", "message"),
    [
        (_gaussian_chain(1000, 5, seed=0), "not identifiable.*only [01] of the 5"),
        (_gaussian_chain(3000, 2, seed=1), "not identifiable.*only 0 of the 2"),
        (simulate(40, 3, noise="laplace", seed=2).X, "40 samples are very few"),
        (simulate(2000, 6, noise="uniform", seed=3).X, None),
        (simulate(500, 4, noise="exponential", seed=4).X, None),
        (simulate(10, 1, seed=5).X, None),  # one variable: nothing to order
    ],
    ids=["gaussian", "gaussian-pair", "few-samples", "uniform", "exponential", "one"],
)
def test_identifiability_warning(X, message):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = veldra.causal_order(X, n_threads=1)
        model = veldra.ExhaustiveOrdering(n_threads=1).fit(X)
    # Every finding is issued, and kept in the result, with its kind.
    assert [str(w.message) for w in caught] == [*result.warnings, *model.warnings_]
    assert [w.category for w in caught] == [
        w.category for w in (*result.warnings, *model.warnings_)
    ]
    raised = [
        str(w.message) for w in caught if w.category is veldra.IdentifiabilityWarning
    ]
    if message is None:
        assert raised == []
    else:
        assert any(re.search(message, text) for text in raised)


@pytest.mark.parametrize(
    ("n", "noise", "significant"),
    [(3000, "uniform", True), (3000, "laplace", True), (3000, "gaussian", False)],
)
def test_non_gaussianity_terms_add_up_to_the_score(n, noise, significant):
    if noise == "gaussian":
        X = _gaussian_chain(n, 4, seed=7)
    else:
        X = simulate(n, 4, noise=noise, seed=7).X
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", veldra.IdentifiabilityWarning)
        result = veldra.causal_order(X, n_threads=1)
        # The normal quantiles, given as values: scored apart from the search.
        given = veldra.causal_order(
            X, reference=_reference.make_reference("normal", n) * 3.0, n_threads=1
        )
    # With the normal reference the terms are the search's own, in float64.
    assert result.non_gaussianity.sum() == pytest.approx(result.score, rel=1e-5)
    assert np.all(
        (result.non_gaussianity_p_values > 0) & (result.non_gaussianity_p_values <= 1)
    )
    assert np.all(result.non_gaussianity_p_values < 1e-3) == significant
    assert given.order.tolist() == result.order.tolist()
    np.testing.assert_allclose(given.non_gaussianity, result.non_gaussianity)


@pytest.mark.parametrize("n", [9, 60, 700, 3000])
def test_p_values_are_uniform_under_gaussian_residuals(n):
    rng = np.random.default_rng(n)
    count = 4000
    g = rng.standard_normal((count, n))
    g -= g.mean(axis=1, keepdims=True)
    g /= np.sqrt(np.mean(g * g, axis=1, keepdims=True))
    g.sort(axis=1)
    normal = _reference.make_reference("normal", n)
    p = gaussian_p_values(np.mean((g - normal) ** 2, axis=1), n)
    for level in (0.5, 0.1, 0.01):
        # Five binomial standard errors.
        assert abs(np.mean(p < level) - level) < 5 * math.sqrt(level / count) + 1e-3


def _orders_by_total(X, reference):
    """Every order with its total, recomputed by brute force, best first."""
    prepared = _data.prepare(*_data.checked_array(X))
    n, d = X.shape
    scorer = ResidualScorer(
        prepared.standard, prepared.gram, _reference.make_reference(reference, n)
    )
    totals = {}
    for order in itertools.permutations(range(d)):
        prefix, total = 0, 0.0
        for v in order:
            total += scorer.score(v, prefix)
            prefix |= 1 << v
        totals[order] = total
    return sorted(totals.items(), key=lambda item: -item[1])


@pytest.mark.parametrize(
    ("seed", "noise", "d", "reference"),
    [
        (0, "uniform", 4, "normal"),
        (1, "laplace", 5, "normal"),
        (2, "mixed", 5, "laplace"),
    ],
)
def test_margins_match_brute_force(seed, noise, d, reference):
    X = simulate(300, d, noise=noise, edge_prob=0.5, seed=seed).X
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", veldra.IdentifiabilityWarning)
        result = veldra.causal_order(X, reference=reference, n_threads=1)
    ranked = _orders_by_total(X, reference)
    (best, best_total), (second, second_total) = ranked[0], ranked[1]
    assert tuple(result.order.tolist()) == best
    assert result.margin == pytest.approx(best_total - second_total, abs=1e-12)
    assert tuple(result.runner_up_order.tolist()) == second
    # Position k: the best order agreeing with the answer after k, not at k.
    assert result.position_margins[0] == math.inf
    for k in range(1, d):
        rival = max(
            total
            for order, total in ranked
            if order[k + 1 :] == best[k + 1 :] and order[k] != best[k]
        )
        assert result.position_margins[k] == pytest.approx(
            best_total - rival, abs=1e-12
        )


def test_single_variable_has_no_runner_up():
    result = veldra.causal_order(simulate(100, 1, seed=0).X)
    assert result.margin == math.inf
    assert result.runner_up_order is None
    assert result.position_margins.tolist() == [math.inf]


def _confounded(n, seed):
    """x0 -> x1 -> x2, and a hidden skewed h behind x0 and x2."""
    rng = np.random.default_rng(seed)
    e = rng.uniform(-1, 1, (n, 3))
    h = rng.exponential(1.0, n) - 1.0
    x0 = e[:, 0] + 2.0 * h
    x1 = 0.8 * x0 + e[:, 1]
    x2 = 0.7 * x1 + e[:, 2] - 2.0 * h
    return np.column_stack([x0, x1, x2])


@pytest.mark.filterwarnings(FIRST)
@pytest.mark.parametrize(
    ("X", "dependent"),
    [
        (simulate(600, 4, noise="uniform", edge_prob=0.7, seed=3).X, set()),
        (_confounded(800, seed=4), {(0, 2)}),
    ],
    ids=["model-holds", "confounded"],
)
def test_error_independence_p_values(X, dependent):
    model = veldra.ExhaustiveOrdering(n_threads=1).fit(X)
    p = model.get_error_independence_p_values(X)
    d = X.shape[1]
    assert p.shape == (d, d)
    assert np.all(np.isnan(np.diag(p)))
    np.testing.assert_array_equal(p, p.T)
    found = {(i, j) for i in range(d) for j in range(i + 1, d) if p[i, j] < 1e-3}
    assert found == dependent
    assert all(
        p[i, j] > 0.01
        for i in range(d)
        for j in range(i + 1, d)
        if (i, j) not in dependent
    )
    # Above max_samples a fixed subsample is tested: the same answer twice.
    few = model.get_error_independence_p_values(X, max_samples=200)
    np.testing.assert_array_equal(
        few, model.get_error_independence_p_values(X, max_samples=200)
    )


def test_independence_test_is_calibrated():
    from veldra._independence import hsic_p_values

    rng = np.random.default_rng(9)
    p = np.array(
        [hsic_p_values(rng.standard_normal((80, 2)))[0, 1] for _ in range(300)]
    )
    assert 0.02 <= np.mean(p < 0.05) <= 0.09
    x = rng.standard_normal(200)
    assert (
        hsic_p_values(np.column_stack([x, x**2 + 0.3 * rng.standard_normal(200)]))[0, 1]
        < 1e-4
    )


_RNG = np.random.default_rng(11)


@pytest.mark.parametrize(
    "x",
    [
        _RNG.standard_normal(1000),  # the distances inside a drawn bracket
        np.round(_RNG.standard_normal(1000)),  # ties at the median: all distances
        _RNG.integers(0, 3, 999).astype(float),  # odd count of distances
        1e8 + 1e-3 * _RNG.standard_normal(700),  # differences that round
        _RNG.lognormal(0.0, 3.0, 500),  # distances of every magnitude
        np.ldexp(1.0, _RNG.integers(-40, 40, 400)),  # s[i] + t far off s[j]
        np.r_[np.zeros(599), 1.0],  # median 0: the kernel's fallback
        np.r_[-np.zeros(3), np.zeros(3)],  # signed zeros, the fewest rows
        _RNG.standard_normal(7),
    ],
    ids=[
        "bracket",
        "ties",
        "odd",
        "offset",
        "lognormal",
        "powers",
        "zero",
        "signed-zeros",
        "seven",
    ],
)
def test_kernel_width_is_the_median_of_all_distances(x):
    from veldra._independence import _median_square_distance

    square = np.subtract.outer(x, x)
    square *= square
    expected = np.median(square[np.triu_indices(len(x), 1)])
    assert np.float64(_median_square_distance(x)).tobytes() == expected.tobytes()


@pytest.mark.parametrize(
    "x",
    [
        _RNG.standard_normal(300),  # s[i] + t rounds across a neighbour
        _RNG.standard_normal(300) * 10.0 ** _RNG.integers(-8, 8, 300),  # and far
        np.ldexp(_RNG.choice([-1.0, 1.0], 300), _RNG.integers(-40, 40, 300)),
        np.round(_RNG.standard_normal(300)),  # runs of equal values
    ],
    ids=["normal", "magnitudes", "powers", "ties"],
)
def test_distance_counts_follow_the_rounded_differences(x):
    from veldra._independence import _rows_within

    s = np.sort(x)
    differences = np.subtract.outer(s, s).T  # [i, j]: s[j] - s[i], rounded
    for t in np.abs(differences[_RNG.integers(0, 300, 50), _RNG.integers(0, 300, 50)]):
        expected = np.count_nonzero(differences <= t, axis=1)
        np.testing.assert_array_equal(_rows_within(s, float(t)), expected)


@pytest.mark.parametrize(
    ("n", "d", "noise", "options"),
    [
        (1000, 6, "uniform", {}),  # kernels on every row
        (1500, 5, "laplace", {"reference": "laplace"}),  # drawn kernel rows
        (400, 7, "exponential", {"exogenous": [3]}),  # constrained runner-up
        (30, 3, "mixed", {"robust": True}),  # fewer rows than the resamples
    ],
)
def test_results_are_the_same_bits_on_any_thread_count(
    n, d, noise, options, monkeypatch
):
    X = simulate(n, d, noise=noise, seed=n + d).X
    # As with a BLAS on one thread: the margin's resamples on the pool too.
    monkeypatch.setattr("veldra._threads._blas_threads", lambda: 1)
    runs = []
    for threads in (1, 3):
        monkeypatch.setattr(
            "veldra._pipeline.resolve_threads", lambda _, threads=threads: threads
        )
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = veldra.causal_order(X, **options)
        runs.append((result, [(w.category, str(w.message)) for w in caught]))
    (one, one_warned), (three, three_warned) = runs
    assert three.n_threads == 3
    assert one_warned == three_warned
    for field in dataclasses.fields(one):
        if field.name in ("seconds", "n_threads"):
            continue
        a, b = getattr(one, field.name), getattr(three, field.name)
        if isinstance(a, np.ndarray | float):
            assert np.asarray(a).tobytes() == np.asarray(b).tobytes(), field.name
        else:
            assert a == b, field.name


BENCHMARKS = Path(__file__).resolve().parents[1] / "benchmarks"


def _script(name, *args):
    done = subprocess.run(
        [sys.executable, str(BENCHMARKS / name), *args],
        capture_output=True,
        text=True,
        timeout=600,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_quick_warning_benchmark():
    out = _script("identifiability.py", "--quick", "--workers", "1")
    gaussian = re.search(r"Gaussian noise: warned in ([\d.]+) of (\d+) runs", out)
    other = re.search(r"non-Gaussian noise, n >= 500: warned in ([\d.]+) of (\d+)", out)
    assert (int(gaussian[2]), int(other[2])) == (12, 48)
    assert float(gaussian[1]) >= 0.9
    assert float(other[1]) <= 0.05


def test_quick_null_check():
    out = _script("gaussian_null.py", "--check", "--quick")
    rows = re.findall(r"^\s+(\d+)((?:\s+[\d.]+){4})\s*$", out, re.MULTILINE)
    assert [int(n) for n, _ in rows] == [50, 700]
    for _, shares in rows:
        below = dict(zip((0.1, 0.05, 0.01), map(float, shares.split()), strict=False))
        for level, share in below.items():
            assert abs(share - level) < 0.3 * level + 0.005
