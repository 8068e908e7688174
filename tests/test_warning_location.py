"""Every warning is reported at the user's line that called veldra, however
deep inside the package it was issued."""

import errno
import warnings

import numpy as np
import pytest
from simulate import simulate

import veldra
from veldra._search import _checkpoint

UNIFORM = simulate(300, 3, edge_prob=1.0, seed=4).X
GAUSSIAN = np.random.default_rng(5).standard_normal((300, 3))
DISCRETE = np.column_stack([UNIFORM[:, :2], np.arange(300) % 3])
MANY = 10_000  # threads, more than any machine gives a search


def _no_space(self, state):
    raise OSError(errno.ENOSPC, "No space left on device")


def _reversed_effect():
    model = veldra.ExhaustiveOrdering(n_threads=1).fit(UNIFORM)
    first, last = model.causal_order_[[0, -1]].tolist()
    return model.estimate_total_effect(UNIFORM, last, first)


@pytest.mark.parametrize(
    ("call", "category"),
    [
        # The thread warning used to point into veldra's own pipeline.
        (lambda: veldra.causal_order(UNIFORM, n_threads=MANY), UserWarning),
        (
            lambda: veldra.ExhaustiveOrdering(n_threads=MANY).fit(UNIFORM),
            UserWarning,
        ),
        (
            lambda: veldra.ExhaustiveOrdering(n_threads=MANY).bootstrap(UNIFORM, 1),
            UserWarning,
        ),
        (lambda: veldra.estimate_cost(100, 3, n_threads=MANY), UserWarning),
        (
            lambda: veldra.causal_order(GAUSSIAN, n_threads=1),
            veldra.IdentifiabilityWarning,
        ),
        (
            lambda: veldra.ExhaustiveOrdering(n_threads=1).fit(GAUSSIAN),
            veldra.IdentifiabilityWarning,
        ),
        (
            lambda: veldra.causal_order(DISCRETE, n_threads=1),
            veldra.DiscreteDataWarning,
        ),
        (
            lambda: veldra.causal_order(veldra.prepare_data(DISCRETE), n_threads=1),
            veldra.DiscreteDataWarning,
        ),
        (_reversed_effect, UserWarning),
        (lambda: veldra.causal_order(UNIFORM, n_threads=1).names, DeprecationWarning),
    ],
    ids=[
        "threads-api",
        "threads-fit",
        "threads-bootstrap",
        "threads-cost",
        "gaussian-api",
        "gaussian-fit",
        "discrete-api",
        "discrete-prepared",
        "reversed-effect",
        "deprecated-names",
    ],
)
def test_warning_names_the_callers_file(call, category):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    ours = [w for w in caught if issubclass(w.category, category)]
    assert ours, f"no {category.__name__}"
    assert {w.filename for w in ours} == {__file__}


def test_checkpoint_warning_names_the_callers_file(monkeypatch, tmp_path):
    monkeypatch.setattr(_checkpoint.CheckpointFile, "write", _no_space)
    with pytest.warns(veldra.CheckpointWarning, match="No space left") as caught:
        veldra.causal_order(UNIFORM, n_threads=1, checkpoint=tmp_path / "run.ckpt")
    assert [w.filename for w in caught] == [__file__]
