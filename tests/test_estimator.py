import numpy as np
import pytest
from simulate import backward_edges, simulate
from sklearn.base import clone
from sklearn.exceptions import NotFittedError
from sklearn.linear_model import LassoLarsIC
from sklearn.utils.estimator_checks import parametrize_with_checks
from sklearn.utils.validation import check_is_fitted

import veldra
from veldra import BootstrapResult, ExhaustiveOrdering, IdentifiabilityWarning

# Runs only when SCIPY_ARRAY_API is set. Its data come from make_classification,
# whose redundant features are exact linear combinations of others: the search
# rejects such data by design (and array-API inputs are not supported anyway).
_NOT_APPLICABLE = {
    "check_array_api_input": "data with exactly collinear columns are rejected",
}


# Its data are Gaussian: every fit warns that the order is not identifiable.
@pytest.mark.filterwarnings("ignore::veldra.IdentifiabilityWarning")
@parametrize_with_checks(
    [ExhaustiveOrdering()], expected_failed_checks=lambda _: _NOT_APPLICABLE
)
def test_sklearn_compatible(estimator, check):
    check(estimator)


@pytest.mark.parametrize(
    ("seed", "noise", "criterion"),
    [
        (0, "uniform", "bic"),
        (1, "laplace", "bic"),
        (2, "exponential", "bic"),
        (3, "uniform", "aic"),
    ],
)
def test_recovers_graph_and_effects(seed, noise, criterion):
    data, weights, _ = simulate(3000, 5, noise=noise, edge_prob=0.6, seed=seed)
    model = ExhaustiveOrdering(criterion=criterion, n_threads=1).fit(data)
    assert not backward_edges(weights, model.causal_order_)
    assert not backward_edges(model.adjacency_matrix_, model.causal_order_)
    found = model.adjacency_matrix_ != 0
    if criterion == "bic":
        np.testing.assert_array_equal(found, weights != 0)
    else:  # AIC penalises less and may keep a weak spurious edge.
        assert np.all(found[weights != 0])
    np.testing.assert_allclose(model.adjacency_matrix_, weights, atol=0.1)
    assert np.isfinite(model.score_)


def test_no_pruning_is_least_squares_on_predecessors():
    data, weights, _ = simulate(2000, 4, edge_prob=0.3, seed=3)
    model = ExhaustiveOrdering(pruning="none", n_threads=1).fit(data)
    order = model.causal_order_
    expected = np.zeros((4, 4))
    for position in range(1, 4):
        parents = order[:position]
        design = np.column_stack([np.ones(len(data)), data[:, parents]])
        coef, *_ = np.linalg.lstsq(design, data[:, order[position]], rcond=None)
        expected[order[position], parents] = coef[1:]
    np.testing.assert_allclose(model.adjacency_matrix_, expected, atol=1e-9)
    # Dense below the diagonal in the order, even where the truth has no edge.
    in_order = model.adjacency_matrix_[np.ix_(order, order)]
    assert np.all(in_order[np.tril_indices(4, -1)] != 0)
    assert np.count_nonzero(weights) < 6  # so the truth has absent edges
    # The lasso drops exactly the absent edges.
    pruned = ExhaustiveOrdering(n_threads=1).fit(data).adjacency_matrix_
    np.testing.assert_array_equal(pruned != 0, weights != 0)


def test_invariant_to_column_order_and_scale():
    data, _, _ = simulate(2000, 5, edge_prob=0.6, seed=4)
    reference = ExhaustiveOrdering(n_threads=1).fit(data)
    permutation = np.array([3, 0, 4, 1, 2])
    scale = np.array([1.0, 1e-3, 10.0, 250.0, 0.5])
    changed = ExhaustiveOrdering(n_threads=1).fit(data[:, permutation] * scale)
    # Map back: new column k is old column permutation[k], multiplied by scale[k].
    np.testing.assert_array_equal(
        permutation[changed.causal_order_], reference.causal_order_
    )
    back = np.empty_like(changed.adjacency_matrix_)
    back[np.ix_(permutation, permutation)] = (
        changed.adjacency_matrix_ * scale[None, :] / scale[:, None]
    )
    np.testing.assert_allclose(back, reference.adjacency_matrix_, rtol=1e-6)


@pytest.fixture(scope="module")
def unscaled():
    data = simulate(600, 4, noise="uniform", edge_prob=0.7, seed=14).X
    return data, {
        pruning: ExhaustiveOrdering(pruning=pruning, n_threads=1).fit(data)
        for pruning in ("adaptive_lasso", "none")
    }


@pytest.mark.parametrize("pruning", ["adaptive_lasso", "none"])
@pytest.mark.parametrize("factor", [1e-200, 1e-100, 1e-5, 1e5, 1e155, 1e200])
@pytest.mark.parametrize("column", [None, 0, 1, 2, 3])
def test_graph_is_equivariant_under_rescaling(unscaled, pruning, factor, column):
    # Edges used to vanish below a scale of 5e-4 or when only the target was
    # small; B was all zeros at 1e155, the lasso failed at 1e154 and the SVD
    # at 1e-200.
    data, fitted = unscaled
    scale = np.ones(4)
    scale[slice(None) if column is None else column] = factor
    model = ExhaustiveOrdering(pruning=pruning, n_threads=1).fit(data * scale)
    reference = fitted[pruning]
    np.testing.assert_array_equal(model.causal_order_, reference.causal_order_)
    expected = reference.adjacency_matrix_ * scale[:, None] / scale[None, :]
    np.testing.assert_array_equal(model.adjacency_matrix_ != 0, expected != 0)
    np.testing.assert_allclose(model.adjacency_matrix_, expected, rtol=1e-8)
    source, target = reference.causal_order_[[0, -1]]
    np.testing.assert_allclose(
        model.estimate_total_effect(data * scale, source, target),
        reference.estimate_total_effect(data, source, target)
        * scale[target]
        / scale[source],
        rtol=1e-8,
    )


@pytest.mark.parametrize(("seed", "criterion"), [(20, "bic"), (21, "aic"), (22, "bic")])
def test_lasso_matches_lasso_lars_ic(seed, criterion):
    # The pruning computes LassoLarsIC's path and criterion from
    # cross-products; on standardised data both must keep the same effects.
    data = simulate(800, 6, noise="laplace", edge_prob=0.5, seed=seed).X
    model = ExhaustiveOrdering(criterion=criterion, n_threads=1).fit(data)
    z = (data - data.mean(axis=0)) / data.std(axis=0)
    expected = np.zeros((6, 6))
    order = model.causal_order_
    for position in range(1, 6):
        target, parents = order[position], order[:position]
        ols = np.linalg.lstsq(z[:, parents], z[:, target], rcond=None)[0]
        residuals = z[:, target] - z[:, parents] @ ols
        lasso = LassoLarsIC(
            criterion=criterion,
            noise_variance=residuals @ residuals / (800 - position - 1),
        ).fit(z[:, parents] * np.abs(ols), z[:, target])
        expected[target, parents] = lasso.coef_ * np.abs(ols)
    expected *= data.std(axis=0)[:, None] / data.std(axis=0)[None, :]
    np.testing.assert_array_equal(model.adjacency_matrix_ != 0, expected != 0)
    np.testing.assert_allclose(model.adjacency_matrix_, expected, rtol=1e-7)


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda X: np.ma.masked_less(X, -2.0), "masked cells"),
        # scikit-learn's bare OverflowError used to come through.
        (lambda X: [*X.tolist(), [10**400, 1.0, 2.0]], "column 0 is out of range"),
    ],
)
def test_inputs_the_conversion_would_change_are_refused(change, message):
    with pytest.raises(ValueError, match=message):
        ExhaustiveOrdering(n_threads=1).fit(change(simulate(50, 3, seed=1).X))


def test_dataframe_names_and_single_feature():
    pd = pytest.importorskip("pandas")
    data, _, _ = simulate(500, 3, edge_prob=0.6, seed=5)
    frame = pd.DataFrame(data, columns=["rain", "wet", "slip"])
    model = ExhaustiveOrdering(n_threads=1).fit(frame)
    np.testing.assert_array_equal(model.feature_names_in_, ["rain", "wet", "slip"])
    frame["flat"] = 1.0
    with pytest.raises(ValueError, match="flat"):
        ExhaustiveOrdering(n_threads=1).fit(frame)
    single = ExhaustiveOrdering(n_threads=1).fit(data[:, :1])
    np.testing.assert_array_equal(single.causal_order_, [0])
    np.testing.assert_array_equal(single.adjacency_matrix_, [[0.0]])


@pytest.mark.parametrize("criterion", ["bic", "aic"])
def test_fewest_samples(criterion):
    # One sample more than features is the least the data checks allow; the
    # criterion's noise variance then rests on one degree of freedom.
    data = simulate(5, 4, noise="laplace", seed=12).X
    with pytest.warns(IdentifiabilityWarning) as caught:
        model = ExhaustiveOrdering(criterion=criterion, n_threads=1).fit(data)
    assert any(
        "5 samples are very few for 4 variables" in str(w.message) for w in caught
    )
    assert np.all(np.isfinite(model.adjacency_matrix_))
    assert not backward_edges(model.adjacency_matrix_, model.causal_order_)
    with pytest.raises(ValueError, match="collinear"):
        ExhaustiveOrdering(criterion=criterion).fit(data[:4])


@pytest.mark.parametrize(
    "params",
    [
        {"pruning": "lasso"},
        {"criterion": "mdl"},
        {"pruning": None},
        {"reference": "cauchy"},  # checked by the search, so it was passed on
        {"reference": [0.0, 1.0]},
    ],
)
def test_invalid_parameters(params):
    data, _, _ = simulate(100, 3, edge_prob=0.6, seed=6)
    model = ExhaustiveOrdering(**params)
    name = next(iter(params))
    with pytest.raises(ValueError, match=name):
        model.fit(data)
    with pytest.raises(ValueError, match=name):
        model.bootstrap(data, 2)


def _confounded_chain(seed=7, n_samples=5000):
    """x0 -> x1 (1.0), x0 -> x2 (2.0), x1 -> x2 (0.5), columns shuffled as [x2, x0, x1]."""
    rng = np.random.default_rng(seed)
    noise = rng.uniform(-1.0, 1.0, (n_samples, 3))
    x0 = noise[:, 0]
    x1 = 1.0 * x0 + noise[:, 1]
    x2 = 2.0 * x0 + 0.5 * x1 + noise[:, 2]
    return np.column_stack([x2, x0, x1])


def test_total_effect():
    data = _confounded_chain()
    model = ExhaustiveOrdering(n_threads=1).fit(data)
    np.testing.assert_array_equal(model.causal_order_, [1, 2, 0])
    # x0 on x2: direct 2.0 plus 1.0 * 0.5 through x1.
    assert model.estimate_total_effect(data, 1, 0) == pytest.approx(2.5, abs=0.05)
    assert model.estimate_total_effect(data, 1, 2) == pytest.approx(1.0, abs=0.05)
    # x1 on x2 needs x0 adjusted for; a plain regression would give about 1.5.
    assert model.estimate_total_effect(data, 2, 0) == pytest.approx(0.5, abs=0.05)
    # Nothing flows against the order, which is said.
    for cause, effect in [(0, 1), (0, 2), (2, 1)]:
        with pytest.warns(UserWarning, match=rf"before .*\(from_index={cause}\)"):
            assert model.estimate_total_effect(data, cause, effect) == 0.0


@pytest.mark.parametrize(
    ("from_index", "to_index", "error", "match"),
    [
        (3, 0, ValueError, "from_index=3 is out of range"),
        (0, -1, ValueError, "to_index=-1 is out of range"),
        (1, 1, ValueError, "must differ"),
        (0.0, 1, TypeError, "from_index must be an integer"),
        (0, True, TypeError, "to_index must be an integer"),
    ],
)
def test_total_effect_index_errors(from_index, to_index, error, match):
    data = _confounded_chain(n_samples=200)
    model = ExhaustiveOrdering(n_threads=1).fit(data)
    with pytest.raises(error, match=match):
        model.estimate_total_effect(data, from_index, to_index)


def test_total_effect_needs_fit_and_matching_data():
    data = _confounded_chain(n_samples=200)
    with pytest.raises(NotFittedError):
        ExhaustiveOrdering().estimate_total_effect(data, 0, 1)
    model = ExhaustiveOrdering(n_threads=1).fit(data)
    with pytest.raises(ValueError, match="features"):
        model.estimate_total_effect(data[:, :2], 0, 1)


def test_bootstrap():
    data, weights, _ = simulate(1500, 4, edge_prob=0.6, seed=8)
    model = ExhaustiveOrdering(n_threads=1).fit(data)
    fitted = {k: np.copy(v) for k, v in vars(model).items() if k.endswith("_")}
    result = model.bootstrap(data, 12, random_state=3)
    assert isinstance(result, BootstrapResult)
    assert result.orders.shape == (12, 4)
    assert result.adjacency_matrices.shape == (12, 4, 4)
    for probabilities in (result.edge_probabilities, result.position_probabilities):
        assert probabilities.shape == (4, 4)
        assert np.all((probabilities >= 0) & (probabilities <= 1))
    # Every variable takes one position and every position one variable.
    np.testing.assert_allclose(result.position_probabilities.sum(axis=1), 1.0)
    np.testing.assert_allclose(result.position_probabilities.sum(axis=0), 1.0)
    for order, adjacency in zip(result.orders, result.adjacency_matrices, strict=True):
        assert sorted(order) == [0, 1, 2, 3]
        assert not backward_edges(adjacency, order)
    # A clear case: the true edges are found in nearly every resample.
    assert np.all(result.edge_probabilities[weights != 0] >= 0.9)
    assert np.all(result.edge_probabilities[weights == 0] <= 0.25)
    positions = result.position_probabilities[model.causal_order_, np.arange(4)]
    assert np.all(positions >= 0.9)
    # Same seed, same draws; another seed, other draws; fitted state untouched.
    again = model.bootstrap(data, 12, random_state=3)
    np.testing.assert_array_equal(again.adjacency_matrices, result.adjacency_matrices)
    other = model.bootstrap(data, 12, random_state=4)
    assert not np.array_equal(other.adjacency_matrices, result.adjacency_matrices)
    model.bootstrap(data[:, :3], 2, random_state=np.random.RandomState(0))
    assert fitted.keys() == {k for k in vars(model) if k.endswith("_")}
    for key, value in fitted.items():
        np.testing.assert_array_equal(getattr(model, key), value)


def test_bootstrap_leaves_unfitted_estimator_unfitted():
    data, _, _ = simulate(300, 3, edge_prob=0.6, seed=9)
    model = ExhaustiveOrdering(pruning="none", n_threads=1)
    result = model.bootstrap(data, 3, random_state=0)
    # Without pruning every predecessor has an effect in every resample.
    np.testing.assert_array_equal(result.edge_probabilities.sum(), 3.0)
    with pytest.raises(NotFittedError):
        check_is_fitted(model)


@pytest.mark.parametrize(
    ("n_sampling", "error"),
    [(0, ValueError), (-2, ValueError), (2.5, TypeError), (True, TypeError)],
)
def test_bootstrap_n_sampling_errors(n_sampling, error):
    data, _, _ = simulate(100, 3, edge_prob=0.6, seed=10)
    with pytest.raises(error, match="n_sampling"):
        ExhaustiveOrdering(n_threads=1).bootstrap(data, n_sampling)


@pytest.mark.parametrize(
    ("own", "given", "drawn_as"),
    [
        # ExhaustiveOrdering(random_state=...) used to be a TypeError.
        (5, None, 5),
        (5, 7, 7),  # the seed given to bootstrap wins
        (None, 7, 7),
    ],
)
def test_random_state_seeds_bootstrap_not_the_search(own, given, drawn_as):
    data = simulate(200, 3, edge_prob=0.6, seed=13).X
    model = ExhaustiveOrdering(n_threads=1, random_state=own)
    assert clone(model).get_params()["random_state"] == own
    result = model.bootstrap(data, 2, random_state=given)
    expected = ExhaustiveOrdering(n_threads=1).bootstrap(data, 2, random_state=drawn_as)
    np.testing.assert_array_equal(result.resampled_indices, expected.resampled_indices)
    assert result.random_state == drawn_as
    fitted = model.fit(data)
    unseeded = ExhaustiveOrdering(n_threads=1).fit(data)
    np.testing.assert_array_equal(fitted.adjacency_matrix_, unseeded.adjacency_matrix_)


def test_random_state_that_cannot_seed_is_refused_at_fit():
    data = simulate(50, 3, seed=1).X
    with pytest.raises(ValueError, match=r"random_state='x' cannot seed"):
        ExhaustiveOrdering(n_threads=1, random_state="x").fit(data)


def test_bootstrap_names_the_failing_resample():
    # Four rows of three variables: most resamples repeat a row and become
    # collinear, which the search rejects.
    data = np.random.default_rng(11).normal(size=(4, 3))
    with pytest.raises(ValueError, match=r"collinear|constant") as raised:
        ExhaustiveOrdering(n_threads=1).bootstrap(data, 20, random_state=0)
    assert any("bootstrap resample" in note for note in raised.value.__notes__)


def test_prepared_data_serve_every_step():
    # Data prepared once give every step the bits of the raw data, and keep
    # the names they were given.
    data, _, _ = simulate(400, 4, edge_prob=0.6, seed=12)
    prepared = veldra.prepare_data(data, names=list("abcd"))
    raw = ExhaustiveOrdering(n_threads=1).fit(data)
    model = ExhaustiveOrdering(n_threads=1).fit(prepared)
    assert model.feature_names_in_.tolist() == list("abcd")
    np.testing.assert_array_equal(model.adjacency_matrix_, raw.adjacency_matrix_)
    found = veldra.causal_order(prepared, n_threads=1)
    assert np.array_equal(found.sinks, veldra.causal_order(data, n_threads=1).sinks)
    assert found.column_names == ("a", "b", "c", "d")
    cause, effect = model.causal_order_[[0, -1]].tolist()
    assert model.estimate_total_effect(
        prepared, "abcd"[cause], "abcd"[effect]
    ) == raw.estimate_total_effect(data, cause, effect)
    np.testing.assert_array_equal(
        model.get_error_independence_p_values(prepared),
        raw.get_error_independence_p_values(data),
    )
    resampled = model.bootstrap(prepared, 3, random_state=0)
    again = model.bootstrap(prepared.standard, 3, random_state=0)
    np.testing.assert_array_equal(
        resampled.adjacency_matrices, again.adjacency_matrices
    )
    # Without a copy the array handed over becomes the standardised columns.
    own = data.copy()
    assert veldra.prepare_data(own, copy=False).standard is own
    np.testing.assert_array_equal(own, prepared.standard)
    with pytest.raises(ValueError, match="expecting 4 features"):
        model.estimate_total_effect(veldra.prepare_data(data[:, :3]), 0, 1)
    with pytest.raises(ValueError, match="names given"):
        veldra.prepare_data(prepared, names=list("wxyz"))
