"""Data frames of other libraries than pandas (Polars here): their column
names kept, their cells read as pandas' are, lazy frames refused."""

import datetime

import numpy as np
import pandas as pd
import pytest
from simulate import simulate

from veldra import ExhaustiveOrdering, causal_order, prepare_data

pl = pytest.importorskip("polars")

SIM = simulate(400, 3, noise="uniform", edge_prob=1.0, seed=3)
NAMES = ["rain", "wet", "slip"]


def _polars():
    return pl.DataFrame(SIM.X, schema=NAMES)


def test_polars_frame_searched_as_the_pandas_frame():
    # The names used to be dropped.
    pandas = causal_order(pd.DataFrame(SIM.X, columns=NAMES), n_threads=1)
    polars = causal_order(_polars(), n_threads=1)
    assert polars.column_names == pandas.column_names == tuple(NAMES)
    assert polars.order.tolist() == pandas.order.tolist() == SIM.order.tolist()
    assert polars.score == pandas.score


@pytest.mark.parametrize(
    "fit",
    [
        # Prior knowledge by name used to fail: "the data came without column names".
        lambda X, last: causal_order(X, sinks=[last], n_threads=1).order_names,
        lambda X, last: tuple(
            np.asarray(NAMES)[
                ExhaustiveOrdering(sinks=[last], n_threads=1).fit(X).causal_order_
            ]
        ),
    ],
    ids=["causal_order", "estimator"],
)
def test_prior_knowledge_by_name(fit):
    first = NAMES[SIM.order[0]]  # the true first variable, forced to come last
    assert fit(_polars(), first)[-1] == first


def test_estimator_feature_names():
    model = ExhaustiveOrdering(n_threads=1).fit(_polars())
    assert model.feature_names_in_.tolist() == NAMES
    cause, effect = (NAMES[j] for j in SIM.order[:2])
    by_name = model.estimate_total_effect(_polars(), cause, effect)
    assert by_name == model.estimate_total_effect(
        _polars(), NAMES.index(cause), NAMES.index(effect)
    )


@pytest.mark.parametrize(
    ("frame", "error", "message"),
    [
        # Used to be reported as "an array with 0 dimensions".
        (pl.DataFrame({"a": [1.0, 2.0]}).lazy(), TypeError, r"call `collect\(\)`"),
        (
            pl.DataFrame(
                {
                    "x": [1.0, 2.0, 3.0],
                    "t": [datetime.date(2020, 1, d) for d in (1, 2, 3)],
                }
            ),
            ValueError,
            "'t' holds dates",
        ),
        (
            pl.DataFrame({"x": [1.0, 2.0, 3.0], "c": ["1", "2", "oops"]}),
            ValueError,
            "'c' is not numeric: row 2 holds 'oops'",
        ),
        (
            pl.DataFrame({"x": [1.0, 2.0, 3.0], "n": [1.0, None, 3.0]}),
            ValueError,
            "non-finite values .* in column 'n'",
        ),
        (
            pl.DataFrame({"x": [1.0, 2.0, 3.0], "l": [[1], [2], [3]]}),
            ValueError,
            "'l' is not numeric: row 0",
        ),
    ],
    ids=["lazy", "dates", "text", "null", "lists"],
)
@pytest.mark.parametrize(
    "call",
    [causal_order, ExhaustiveOrdering().fit],
    ids=["api", "fit"],
)
def test_bad_frames_refused_by_name(frame, error, message, call):
    with pytest.raises(error, match=message):
        call(frame)


def test_numbers_as_text_and_booleans_read_as_pandas_reads_them():
    frame = pl.DataFrame(
        {
            "s": ["1.5", "-2", "3e0", "0.25"],
            "b": [True, False, False, True],
            "i": [4, 1, 7, 2],
        }
    )
    expected = pd.DataFrame(frame.to_dict(as_series=False))
    got, want = prepare_data(frame), prepare_data(expected)
    assert got.names == want.names == ("s", "b", "i")
    np.testing.assert_array_equal(got.standard, want.standard)
