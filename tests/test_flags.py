"""Every boolean parameter of the public API takes NumPy's booleans as it
takes Python's, and refuses anything else with a TypeError naming it."""

import io

import numpy as np
import pytest
from simulate import simulate

import veldra

X = simulate(200, 4, seed=5).X


@pytest.fixture(scope="module")
def fitted():
    model = veldra.ExhaustiveOrdering(n_threads=1).fit(X)
    return model, model.bootstrap(X, 3, random_state=0)


def order(**options):
    return veldra.causal_order(X, n_threads=1, **options).order.tolist()


def fit(flag, **options):
    model = veldra.ExhaustiveOrdering(n_threads=1, robust=flag)
    return model.fit(X, **options).causal_order_.tolist()


def prepared_in_place(flag):
    data = X.copy()
    veldra.prepare_data(data, copy=flag)
    return data.tolist()


def kept_line(flag):
    stream = io.StringIO()
    line = veldra.ProgressLine(stream, keep=flag)
    line(1, 2, 30.0)
    line.finish()
    return stream.getvalue()


@pytest.mark.parametrize(
    ("name", "call"),
    [
        ("progress", lambda f, _: order(progress=f)),  # np.True_ was a TypeError
        ("progress", lambda f, _: fit(False, progress=f)),  # so in fit
        ("progress", lambda f, m: m[0].bootstrap(X, 2, progress=f).orders.shape),
        # ^ True failed as not callable, after a resample's work
        ("robust", lambda f, _: order(robust=f)),
        ("robust", lambda f, _: fit(f)),
        ("copy", lambda f, _: prepared_in_place(f)),  # any value went by its truth
        ("keep", lambda f, _: kept_line(f)),  # any value went by its truth
        (
            "split_by_causal_effect_sign",  # any value went by its truth
            lambda f, m: m[1].get_causal_direction_counts(
                split_by_causal_effect_sign=f
            ),
        ),
        (
            "split_by_causal_effect_sign",  # any value went by its truth
            lambda f, m: m[1].get_directed_acyclic_graph_counts(
                split_by_causal_effect_sign=f
            ),
        ),
    ],
    ids=[
        "causal_order",
        "fit",
        "bootstrap",
        "causal_order",
        "ExhaustiveOrdering",
        "prepare_data",
        "ProgressLine",
        "get_causal_direction_counts",
        "get_directed_acyclic_graph_counts",
    ],
)
def test_numpy_booleans_are_booleans(fitted, name, call):
    for flag in (False, True):
        assert call(np.bool_(flag), fitted) == call(flag, fitted)
    with pytest.raises(TypeError, match=f"^{name} must be"):
        call("yes", fitted)
