"""causal_order, check_data and make_reference: validation, references, the
result and what reaches the search."""

import dataclasses
import re
import warnings

import numpy as np
import pandas as pd
import pytest
import scipy.sparse
from scipy import stats
from simulate import simulate

import veldra
from veldra import _pipeline, _threads
from veldra._api import causal_order
from veldra._data import check_data
from veldra._exhaustive_kernel import _sink_dp
from veldra._reference import make_reference
from veldra._result import OrderResult
from veldra._search._engine import Outcome

RNG = np.random.default_rng(0)
A, B, C = RNG.standard_normal((3, 50))


def _with(column, value, index=1, shape=(20, 3)):
    X = np.random.default_rng(1).standard_normal(shape).astype(object)
    X[:index, column] = [str(v) for v in X[:index, column]]
    X[index, column] = value
    return X


def _nan_at(columns):
    X = np.random.default_rng(1).standard_normal((20, 4))
    X[3, columns] = np.nan
    return X


@pytest.mark.parametrize(
    ("X", "error", "message"),
    [
        (np.arange(5.0), ValueError, r"2-D array.*1-D.*reshape\(-1, 1\)"),
        (np.zeros((2, 3, 4)), ValueError, r"2-D array.*3 dimensions"),
        (np.float64(3.0), ValueError, "2-D array"),
        ([[1.0, 2.0]], ValueError, "at least 2 samples.*1 sample"),
        (np.empty((0, 3)), ValueError, "at least 2 samples"),
        (np.empty((5, 0)), ValueError, r"0 feature\(s\)"),
        (
            np.zeros((2, 31)),
            ValueError,
            r"31 > 30.*2,147,483,648 bytes.*2 GiB.*33,285,996,544 score",
        ),
        ([[1, 2], [3]], ValueError, "not a rectangular array"),
        ([[1j, 2.0], [3.0, 4.0]], ValueError, "Complex data not supported"),
        (_nan_at([1]), ValueError, r"NaN or inf\) in column 1;"),
        (_nan_at([0, 3]), ValueError, r"NaN or inf\) in columns 0 and 3;"),
        (_with(2, np.inf), ValueError, "NaN or inf.*column 2"),
        (
            _with(2, "abc", index=4),
            ValueError,
            "column 2 is not numeric: row 4 .*'abc'",
        ),
        (_with(0, None), ValueError, "column 0 is not numeric: row 1 holds None"),
        ([["1", "2"], ["3", "x"]], ValueError, "column 1 is not numeric: row 1 .*'x'"),
        ([["1", "2"], ["3", "4"]], ValueError, "holds text"),
        # The numeric strings before it used to be blamed (row 0).
        (_with(0, "oops", index=2, shape=(3, 2)), ValueError, "row 2 holds 'oops'"),
        (_with(2, 10**400), ValueError, "column 2 is out of range: row 1 .*401 dig"),
        (_with(1, np.datetime64("2020-01-01")), ValueError, "column 1 is not num"),
        (np.ma.masked_greater(A.reshape(25, 2), 1), ValueError, "masked cells in col"),
        (np.column_stack([A, np.full(50, 2.5), B]), ValueError, "column 1 is constant"),
        (np.ones((4, 3)), ValueError, "columns 0, 1 and 2 are constant"),
        (
            np.column_stack([A, B, C, A - 2 * C + 1]),
            ValueError,
            r"columns 0, 2 and 3 are exactly collinear \(column \d = .*\+ constant\)",
        ),
        (
            np.column_stack([A, B, -3.0 * A + 7.0]),
            ValueError,
            "columns 0 and 2 are exactly collinear",
        ),
        (RNG.standard_normal((3, 4)), ValueError, "with 3 samples.*rank at most 2"),
        (scipy.sparse.csr_matrix(np.eye(3)), TypeError, "sparse"),
    ],
)
def test_invalid_data_is_rejected(X, error, message):
    with pytest.raises(error, match=message):
        check_data(X)
    with pytest.raises(error, match=message):
        causal_order(X, n_threads=1)


def test_collinear_message_gives_the_combination():
    with pytest.raises(ValueError, match="exactly collinear") as info:
        check_data(np.column_stack([A, 2.0 * B + 0.5 * A - 3.0, B]))
    message = str(info.value)
    combination = re.search(r"\((column \d) = (.*) \+ constant\)", message)
    assert combination is not None, message
    target = int(combination[1][-1])
    coefficients = {
        int(j): float(sign + c)
        for sign, c, j in re.findall(
            r"([+-]?)\s*([\d.e+-]+) \* column (\d)", combination[2]
        )
    }
    X = np.column_stack([A, 2.0 * B + 0.5 * A - 3.0, B])
    fitted = sum(c * X[:, j] for j, c in coefficients.items())
    assert set(coefficients) | {target} == {0, 1, 2}
    assert np.allclose(X[:, target] - fitted, (X[:, target] - fitted).mean())


@pytest.mark.parametrize(
    ("frame", "message"),
    [
        (pd.DataFrame({"x": [1.0, 2.0, 3.0], "price": [1.0, np.nan, 2.0]}), "'price'"),
        (
            pd.DataFrame({"x": [1, 2, 3], "n": pd.array([1, None, 3], "Int64")}),
            r"NaN or inf\) in column 'n'",
        ),
        (
            pd.DataFrame({"x": [1.0, 2.0, 3.0], "city": ["a", "b", "c"]}),
            "'city' is not numeric: row 0 holds 'a'",
        ),
        (pd.DataFrame({"k": [4.0, 4.0, 4.0], "x": [1.0, 2.0, 0.0]}), "'k' is constant"),
        (
            pd.DataFrame({"a": A, "b": B, "a2": 2 * A}),
            r"'a' and 'a2' are exactly collinear \(column 'a\d?' = ",
        ),
        (pd.DataFrame({"z": [1j, 2j, 3.0]}), "Complex data not supported"),
        (
            pd.DataFrame({"x": A[:3], "s": pd.array(["1.5", "2.5", "oops"], "string")}),
            "'s' is not numeric: row 2 holds 'oops'",
        ),
        (
            pd.DataFrame({"x": A[:3], "big": np.array([1, 10**400, 2], dtype=object)}),
            "'big' is out of range: row 1",
        ),
        # Read as nanosecond counts by causal_order, refused by fit, before.
        (pd.DataFrame({"x": A[:3], "t": pd.date_range("2020", periods=3)}), "'t' h"),
        (
            pd.DataFrame({"x": A[:3], "t": pd.date_range("2020", periods=3, tz="UTC")}),
            "'t' holds dates, times or durations",
        ),
        (pd.DataFrame({"x": A[:3], "d": pd.to_timedelta([1, 2, 4], "s")}), "'d' h"),
    ],
)
def test_invalid_frames_name_the_column(frame, message):
    with pytest.raises(ValueError, match=message):
        check_data(frame)
    with pytest.raises(ValueError, match=message):
        veldra.ExhaustiveOrdering(n_threads=1).fit(frame)


def test_names_given_apart_from_the_data():
    X = np.column_stack([A, np.full_like(A, 4.0)])
    with pytest.raises(ValueError, match="column 'speed' is constant"):
        check_data(X, names=["km", "speed"])
    with pytest.raises(ValueError, match="1 names given for 2 columns"):
        check_data(X, names=["km"])
    assert check_data(X[:, :1], names=[7])[1] == ("7",)
    # A string used to be read as one name per character.
    message = r"names must be a list of column names, one per column, not a single"
    with pytest.raises(TypeError, match=message + r" str \('ab'\); for one column"):
        check_data(np.column_stack([A, B]), names="ab")
    prepared = veldra.prepare_data(np.column_stack([A, B]), names=["a", "b"])
    with pytest.raises(TypeError, match=message):
        veldra.prepare_data(prepared, names="ab")
    with pytest.raises(TypeError, match="column_names must be a list"):
        veldra.estimate_cost(50, 2, n_threads=1, exogenous=[0], column_names="ab")


@pytest.mark.parametrize(
    ("X", "message"),
    [
        (np.column_stack([A, B]).astype("M8[D]"), "got dtype datetime64"),
        (np.column_stack([A, B]).astype("m8[s]"), "got dtype timedelta64"),
        (np.column_stack([A, B]).astype(str), "holds text"),
        (np.column_stack([A, B]).astype(str).tolist(), "holds text"),
        (_with(1, np.timedelta64(5, "s")), "column 1 is not numeric: row 1 holds np"),
    ],
)
def test_estimator_takes_the_data_causal_order_takes(X, message):
    """Dates, durations and text used to reach the estimator as numbers
    (scikit-learn's conversion), while causal_order refused them; a
    NumPy duration in a cell also broke the message."""
    with pytest.raises(ValueError, match=message):
        causal_order(X, n_threads=1)
    with pytest.raises(ValueError, match=message):
        veldra.ExhaustiveOrdering(n_threads=1).fit(X)


@pytest.mark.parametrize(
    "X",
    [
        [[1, 2], [3, 5], [4, 4]],
        np.array([[True, False], [False, False], [True, True]]),
        np.array([[1, 2], [3, 5], [4, 4]], dtype=np.int32),
        np.asfortranarray(RNG.standard_normal((6, 3))),
        RNG.standard_normal((10, 4)).astype(np.float32),
        np.array([[1, 2.5], [3, 5], [4.0, 4]], dtype=object),
        # As a DataFrame reads them; such an array used to be refused.
        np.array([["1", 2.5], ["3", "5"], [4.0, b"4"]], dtype=object),
        np.ma.masked_array([[1, 2.5], [3, 5], [4.0, 4]], mask=False),
        # Highly correlated but of full rank: not exactly collinear.
        np.column_stack([A, A + 1e-6 * B, C]),
    ],
)
def test_valid_data_converted_to_a_float64_copy(X):
    original = np.array(X, dtype=object, copy=True)
    data, names = check_data(X)
    assert names is None
    assert data.dtype == np.float64
    assert data.flags.c_contiguous
    assert np.array_equal(data, np.asarray(X, dtype=np.float64))  # not centred
    data[...] = 0.0
    assert np.array_equal(np.asarray(X, dtype=object), original)


@pytest.mark.filterwarnings("ignore::veldra.IdentifiabilityWarning")
def test_highly_correlated_data_still_ordered():
    X = np.column_stack([A, A + 1e-6 * RNG.uniform(-1, 1, 50), C])
    result = causal_order(X, n_threads=1)
    assert sorted(result.order.tolist()) == [0, 1, 2]
    assert np.isfinite(result.score)


def test_frame_names_kept_and_reordered():
    sim = simulate(1000, 4, noise="uniform", edge_prob=1.0, seed=3)
    columns = ["alpha", 2, "gamma", "delta"]
    frame = pd.DataFrame(sim.X, columns=columns)
    data, names = check_data(frame)
    assert names == ("alpha", "2", "gamma", "delta")
    assert np.array_equal(data, sim.X)
    result = causal_order(frame, n_threads=1)
    assert result.order.tolist() == sim.order.tolist()
    assert result.column_names == names
    assert result.order_names == tuple(str(columns[j]) for j in sim.order)
    with pytest.deprecated_call(match="order_names"):
        assert result.names == result.order_names
    unnamed = causal_order(sim.X, n_threads=1)
    assert unnamed.column_names is None
    assert unnamed.order_names is None


N = 7
P = (np.arange(N) + 0.5) / N


def _standard(values):
    return (values - values.mean()) / values.std()


@pytest.mark.parametrize(
    ("reference", "expected"),
    [
        ("normal", stats.norm.ppf(P)),
        ("Normal", stats.norm.ppf(P)),
        ("uniform", stats.uniform.ppf(P, loc=-(3**0.5), scale=2 * 3**0.5)),
        ("laplace", stats.laplace.ppf(P, scale=0.5**0.5)),
        # Anything else is standardised, sorted for the user.
        (stats.t(5).ppf, _standard(stats.t(5).ppf(P))),
        (lambda p: -p, _standard(-P[::-1])),
        ([3.0, -1.0, 2.0, 0.0, 5.0, 4.0, 1.0], _standard(np.arange(-1.0, 6.0))),
        (np.arange(N, dtype=np.int64) * 10**18, _standard(np.arange(N, dtype=float))),
        (np.arange(N) * 1e300 - 3e300, _standard(np.arange(N, dtype=float))),
        ((np.arange(N) - 3) * 5e307, _standard(np.arange(N, dtype=float))),
    ],
)
def test_reference_options(reference, expected):
    values = make_reference(reference, N)
    assert values.dtype == np.float64
    assert values.shape == (N,)
    np.testing.assert_allclose(values, expected, rtol=1e-12, atol=1e-14)


def test_explicit_reference_is_not_modified():
    given = np.array([2.0, 1.0, 3.0])
    np.testing.assert_allclose(make_reference(given, 3), [-(1.5**0.5), 0, 1.5**0.5])
    assert given.tolist() == [2.0, 1.0, 3.0]
    # Already standardised: used as it is, to the bit.
    standard = _standard(RNG.standard_normal(50))
    assert make_reference(standard, 50).tobytes() == np.sort(standard).tobytes()


@pytest.mark.parametrize(
    ("reference", "message"),
    [
        ("gaussian", "unknown reference 'gaussian'; use one of 'normal', 'uniform'"),
        ([1.0, 2.0], "2 values but the data have 7 samples"),
        (np.zeros(8), "8 values but the data have 7 samples"),
        (np.zeros((7, 1)), r"must be 1-D, got shape \(7, 1\)"),
        ([0, 1, 2, np.nan, 4, 5, 6], "non-finite"),
        ([0, 1, 2, np.inf, 4, 5, 6], "non-finite"),
        (["a"] * 7, "not an array of real numbers"),
        (lambda p: p[:3], "quantile function.*3 values"),
        (lambda p: np.where(p > 0.9, np.inf, p), "quantile function.*non-finite"),
        ([2.5] * 7, "the reference is constant"),
        (lambda p: 0 * p + 1e-300, "function's output is constant"),
        (np.ma.masked_less(np.arange(7.0), 1), "masked array with masked values"),
        (np.arange(7) + 1j, "complex"),
        (np.array([10**400] * 7, dtype=object), "not an array of real numbers"),
    ],
)
def test_invalid_reference(reference, message):
    with pytest.raises(ValueError, match=message):
        make_reference(reference, N)


@pytest.mark.parametrize("factor", [1e-10, 1e6, 1e19, 1e300])
def test_reference_scale_and_location_do_not_matter(factor):
    # Unstandardised references used to change the order (float32 sums lost
    # the differences) or make the score infinite.
    X = simulate(400, 4, noise="uniform", seed=6).X
    reference = RNG.standard_normal(400)
    expected = causal_order(X, reference=reference, n_threads=1)
    result = causal_order(X, reference=reference * factor + 3.0, n_threads=1)
    assert result.order.tolist() == expected.order.tolist()
    assert result.score == pytest.approx(expected.score, rel=1e-5)


def test_infinite_score_is_an_error(monkeypatch):
    sinks = np.array([-1, 0, 1, 1], dtype=np.int8)
    monkeypatch.setattr(
        _pipeline, "run_engine", lambda *a, **k: Outcome(sinks, np.inf, 4)
    )
    with pytest.raises(RuntimeError, match=r"total score is not finite \(inf\)"):
        causal_order(simulate(50, 2, seed=0).X, n_threads=1)


@pytest.mark.parametrize(
    ("scale", "offset"),
    [
        (1.0, 1e6),
        # Dividing by the largest value before centring rounded the data away:
        # from 3e14 on, this chain came out in another order.
        (1.0, 3e14),
        (1.0, 1e15),
        (1.0, -1e15),
        ([1e-150, 1.0, 1e150], [3e-136, -1e15, 1e164]),
        ([1e300, 1e-300, 1.0], [0.0, 1e-290, 0.0]),
        ([1.0, 1.0, 1e293], [0.0, 0.0, 1.79e308]),  # offset at float64's edge
    ],
)
def test_offsets_and_scales_keep_the_order(scale, offset):
    sim = simulate(300, 3, noise="uniform", edge_prob=1.0, seed=0)
    result = causal_order(sim.X * scale + offset, n_threads=1)
    assert result.order.tolist() == sim.order.tolist()
    assert np.isfinite(result.score)


@pytest.fixture
def spy(monkeypatch):
    """Record the arguments and result of every call to the kernel."""
    calls = []

    real = _pipeline.run_engine

    def recording(standard, gram, values, threads, **options):
        outcome = real(standard, gram, values, threads, **options)
        d = standard.shape[1]
        calls.append(
            ((standard, gram, values, d, threads), (outcome.sinks, outcome.score))
        )
        return outcome

    monkeypatch.setattr(_pipeline, "run_engine", recording)
    return calls


def test_what_reaches_the_search(spy):
    X = simulate(300, 4, noise="laplace", seed=2).X * [1.0, 1e3, 1e-3, 5.0] + 40.0
    reference = RNG.standard_normal(300)
    result = causal_order(X, reference=reference, n_threads=1)
    [((data, gram, values, d, threads), (sinks, score))] = spy
    assert (d, threads) == (4, 1)
    assert data.dtype == gram.dtype == values.dtype == np.float64
    assert data.flags.c_contiguous
    assert gram.flags.c_contiguous
    # Centred, scaled to unit variance, otherwise the same data.
    np.testing.assert_allclose(data.mean(axis=0), 0.0, atol=1e-12)
    np.testing.assert_allclose(np.mean(data**2, axis=0), 1.0)
    centred = X - X.mean(axis=0)
    np.testing.assert_allclose(data * centred.std(axis=0), centred, atol=1e-9)
    np.testing.assert_allclose(gram, data.T @ data)
    # The reference standardised, like the residuals.
    np.testing.assert_allclose(values, _standard(np.sort(reference)), rtol=1e-12)
    # The result is the search's, read out, and the one-call search's bits.
    assert result.score == score
    assert np.array_equal(result.sinks, sinks)
    expected_sinks, expected_score = _sink_dp(data, gram, values, d, threads)
    assert score == expected_score
    assert np.array_equal(sinks, expected_sinks)


def test_result_fields():
    sim = simulate(500, 5, noise="uniform", seed=5)
    result = causal_order(sim.X, n_threads=1)
    assert isinstance(result, OrderResult)
    assert result.order.dtype == np.int64
    assert sorted(result.order.tolist()) == list(range(5))
    assert result.sinks.dtype == np.int8
    assert result.sinks.shape == (32,)
    assert result.sinks[0] == -1
    assert result.sinks[31] == result.order[-1]
    assert result.n_evaluations == 5 * 2**4
    assert isinstance(result.score, float)
    assert np.isfinite(result.score)
    assert result.score > 0.0
    assert result.seconds > 0.0
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.score = 0.0
    with pytest.raises(ValueError, match="read-only"):
        result.order[0] = 1
    assert veldra.causal_order is causal_order
    assert veldra.OrderResult is OrderResult


def test_single_feature():
    result = causal_order(pd.DataFrame({"only": [1.0, 3.0, 2.0, 7.0]}), n_threads=1)
    assert result.order.tolist() == [0]
    assert result.column_names == result.order_names == ("only",)
    assert result.sinks.tolist() == [-1, 0]
    assert result.n_evaluations == 1
    assert np.isfinite(result.score)


@pytest.mark.parametrize(
    ("sinks", "message"),
    [
        ([-1, 0, 1, -1], r"no candidate with a finite score among variables \[0, 1\]"),
        ([-1, 0, 1, 1, 2, 2, 0, 0], r"puts variable 0 last among variables \[1, 2\]"),
    ],
)
def test_broken_table_is_an_error(monkeypatch, sinks, message):
    d = len(sinks).bit_length() - 1
    fake = np.array(sinks, dtype=np.int8)
    monkeypatch.setattr(_pipeline, "run_engine", lambda *a, **k: Outcome(fake, 1.0, 0))
    with pytest.raises(RuntimeError, match=message):
        causal_order(simulate(50, d, seed=0).X, n_threads=1)


@pytest.mark.parametrize(("n_threads", "used"), [(0, 3), (1, 1), (3, 3), (64, 3)])
def test_thread_count_capped_at_the_cpus(spy, monkeypatch, n_threads, used):
    monkeypatch.setattr(_threads, "available_cpus", lambda: 3)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = causal_order(simulate(100, 3, seed=1).X, n_threads=n_threads)
    assert spy[0][0][4] == result.n_threads == used
    assert len(caught) == (n_threads > used)


@pytest.mark.parametrize(
    ("affinity", "limit", "expected"),
    [(range(6), None, 6), (range(6), 1.5, 2), ({3}, 4.0, 1), (range(8), 0.2, 1)],
)
def test_default_threads_follow_affinity_and_quota(
    spy, monkeypatch, affinity, limit, expected
):
    monkeypatch.setattr(_threads.os, "sched_getaffinity", lambda pid: set(affinity))
    monkeypatch.setattr(_threads, "_cgroup_cpu_limit", lambda *paths: limit)
    causal_order(simulate(100, 3, seed=1).X)
    assert spy[0][0][4] == expected


@pytest.mark.parametrize(
    ("n_threads", "error"), [(-1, ValueError), (2.0, TypeError), (True, TypeError)]
)
def test_invalid_thread_count_stops_before_the_search(spy, n_threads, error):
    with pytest.raises(error):
        causal_order(simulate(100, 3, seed=1).X, n_threads=n_threads)
    assert spy == []
