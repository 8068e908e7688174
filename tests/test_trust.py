"""When not to trust the answer: the data's warnings before the search, the
fit's after it, the margin's noise, the robust option and the report. Each
check fires on one bad case and stays silent on clean ones; the rates are
benchmarks/trust.py's."""

import re
import warnings

import numpy as np
import pytest

import veldra
from veldra._diagnostics import Diagnostics, margin_findings


def chain(n, seed, law="uniform"):
    """x0 -> x1 -> x2 -> x3, each edge of weight 1, noise of the given law."""
    rng = np.random.default_rng(seed)
    e = {
        "uniform": lambda: rng.uniform(-1, 1, (n, 4)),
        "laplace": lambda: rng.laplace(size=(n, 4)),
        "t": lambda: rng.standard_t(3, (n, 4)),
        "exponential": lambda: rng.exponential(size=(n, 4)),
        "lognormal": lambda: rng.lognormal(size=(n, 4)),
    }[law]()
    X = e.copy()
    for j in range(1, 4):
        X[:, j] += X[:, j - 1]
    return X


def kinds(findings):
    return {finding.category for finding in findings}


def spoiled(how):
    X = chain(1000, 0)
    if how == "binary":
        X[:, 1] = X[:, 1] > 0
    elif how == "rounded":
        X[:, 2] = np.round(X[:, 2])
    elif how == "cell":
        X[17, 2] *= 1e6
    elif how == "duplicates":
        X = np.repeat(X[:50], 20, axis=0)
    elif how == "index":
        X[:, 0] = np.arange(1, len(X) + 1)
    return X


@pytest.mark.parametrize(
    ("how", "kind", "words"),
    [
        ("binary", veldra.DiscreteDataWarning, "column 1 is discrete.*2 distinct"),
        ("rounded", veldra.DiscreteDataWarning, "column 2 is discrete"),
        ("cell", veldra.OutlierWarning, r"column 2 has 1 row .*\(row 17: "),
        ("duplicates", veldra.DuplicateRowsWarning, "950 of the 1,000 rows"),
        ("index", veldra.RowIndexWarning, "row numbers 1 to 1000"),
    ],
)
def test_each_data_check_fires_on_its_case(how, kind, words):
    findings = veldra.prepare_data(spoiled(how)).findings
    assert kind in kinds(findings)
    assert any(re.search(words, finding) for finding in findings)
    assert all(issubclass(f.category, veldra.DataWarning) for f in findings)


@pytest.mark.parametrize("law", ["uniform", "laplace", "t", "exponential", "lognormal"])
def test_clean_data_even_heavy_tailed_raise_no_data_warning(law):
    for n in (100, 2000):
        assert veldra.prepare_data(chain(n, 1, law)).findings == ()


def test_duplicate_column_names_are_refused_everywhere():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(chain(100, 2), columns=["a", "b", "a", "c"])
    for call in (veldra.causal_order, veldra.prepare_data):
        with pytest.raises(ValueError, match="'a' is the name of columns 0, 2"):
            call(frame)
    with pytest.raises(ValueError, match="duplicate column names"):
        veldra.ExhaustiveOrdering().fit(frame)


def test_dependent_residuals_warn_for_a_non_linear_link_only():
    X = chain(1000, 3)
    with warnings.catch_warnings(record=True) as clean:
        warnings.simplefilter("always")
        result = veldra.causal_order(X, n_threads=1)
    assert not clean
    assert result.warnings == ()
    assert np.nanmin(result.independence_p_values) > 1e-3
    X[:, 3] = np.tanh(3 * X[:, 2]) + 0.3 * np.random.default_rng(4).uniform(size=1000)
    with pytest.warns(veldra.DependentResidualsWarning, match="non-linear link"):
        veldra.causal_order(X, n_threads=1)


def _diagnostics(margin, share, runner_up):
    return Diagnostics(
        np.zeros(3), np.zeros(3), np.zeros(3), margin, 0.01, share, runner_up, ()
    )


@pytest.mark.parametrize(
    ("margin", "share", "runner_up", "warns"),
    [
        (0.05, 0.0, [1, 0, 2], False),  # a clear lead
        (0.05, 0.3, [1, 0, 2], True),  # the runner-up often wins
        (0.0, 0.0, [1, 0, 2], True),  # an exact tie always warns
        (0.0, 0.5, [0, 2, 1], False),  # 1 and 2 unlinked: the same graph
    ],
)
def test_narrow_margin_rule(margin, share, runner_up, warns):
    adjacency = np.zeros((3, 3))
    adjacency[1, 0] = 0.8  # 0 -> 1; 2 has no edge
    found = _diagnostics(margin, share, np.array(runner_up))
    findings = margin_findings(found, 1.0, adjacency, None)
    assert kinds(findings) == ({veldra.NarrowMarginWarning} if warns else set())


def test_margin_noise_separates_a_clear_order_from_gaussian_data():
    clear = veldra.causal_order(chain(2000, 5), n_threads=1)
    assert clear.runner_up_share == 0.0
    assert 0 < clear.margin_se < clear.margin / 3
    rng = np.random.default_rng(6)
    with pytest.warns(veldra.IdentifiabilityWarning):
        gaussian = veldra.causal_order(
            rng.standard_normal((2000, 3)) @ np.triu(np.ones((3, 3))), n_threads=1
        )
    assert gaussian.runner_up_share > 0.2


def test_robust_option_restores_the_order_of_an_extreme_cell():
    X = spoiled("cell")
    with pytest.warns(veldra.OutlierWarning):
        assert veldra.causal_order(X, n_threads=1).order.tolist() != [0, 1, 2, 3]
    for robust in (True, np.True_):
        result = veldra.causal_order(X, n_threads=1, robust=robust)
        assert result.order.tolist() == [0, 1, 2, 3]
        assert result.limited.tolist() == [0, 0, 1, 0]
    model = veldra.ExhaustiveOrdering(robust=True, n_threads=1).fit(X)
    assert model.causal_order_.tolist() == [0, 1, 2, 3]
    with pytest.raises(ValueError, match="prepare_data\\(X, robust=True\\)"):
        veldra.causal_order(veldra.prepare_data(X), robust=True)
    with pytest.raises(TypeError, match="robust must be True or False"):
        veldra.causal_order(X, robust="yes")


def test_a_result_reads_as_a_report():
    pd = pytest.importorskip("pandas")
    X = pd.DataFrame(spoiled("cell"), columns=["a", "<b>", "c", "d"])
    with pytest.warns(veldra.OutlierWarning):
        result = veldra.causal_order(X, n_threads=1)
    text = str(result)
    for part in ("causal order", "<b>", "adjacency matrix", "standard error"):
        assert part in text
    assert all(w in text for w in result.warnings)
    assert len(text) < 4000
    assert "sinks" not in repr(result)
    assert "\n" not in repr(result)
    assert repr(result).startswith("OrderResult(order=[")
    assert "&lt;b&gt;" in result._repr_html_()
    assert "<table>" in result._repr_html_()
    with pytest.warns(veldra.OutlierWarning):
        model = veldra.ExhaustiveOrdering(n_threads=1).fit(X)
    summary = model.summary()
    assert summary == model.to_text()
    assert "warnings:" in summary
    assert veldra.ExhaustiveOrdering.from_json(model.to_json()).summary() == summary
