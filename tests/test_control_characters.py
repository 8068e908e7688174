"""Column names holding control characters (a crafted CSV header) are shown
escaped wherever they become text for a person, so that they cannot clear,
recolour or reorder a terminal; the exports for programs keep them as they
are."""

import json
import unicodedata
import warnings

import numpy as np
import pandas as pd
import pytest

import veldra
from veldra._cli import main

NAMES = ["a\x1b[2J", "nul\x00l\x9b", "\u202ecafé<b>"]  # ESC, NUL, C1 CSI, RLO
SHOWN = ["a\\x1b[2J", "nul\\x00l\\x9b", "\\u202ecafé<b>"]
# Gaussian data: the order is not identified, so the warnings name columns.
X = np.random.default_rng(0).standard_normal((300, 3)) @ [
    [1, 1, 0.5],
    [0, 1, 0.5],
    [0, 0, 1],
]


def raw_controls(text):
    return [
        c
        for c in text
        if c != "\n" and unicodedata.category(c) in {"Cc", "Cf", "Cs", "Zl", "Zp"}
    ]


def quietly(call, *args, **kwargs):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        value = call(*args, **kwargs)
    return value, {w.category: str(w.message) for w in caught}


@pytest.fixture(scope="module")
def fitted(tmp_path_factory):
    frame = pd.DataFrame(X, columns=NAMES)
    result, said = quietly(veldra.causal_order, frame, exogenous=[NAMES[0]])
    model, _ = quietly(veldra.ExhaustiveOrdering(exogenous=[NAMES[0]]).fit, frame)
    bootstrap, _ = quietly(model.bootstrap, frame, 2, random_state=0)
    first, last = model.causal_order_[[0, -1]]
    _, effect = quietly(model.estimate_total_effect, frame, int(last), int(first))
    with pytest.raises(veldra.PriorKnowledgeError) as knowledge:
        veldra.causal_order(frame, exogenous=[NAMES[1]], sinks=[NAMES[1]])
    path = tmp_path_factory.mktemp("names") / "data.csv"
    frame.to_csv(path, index=False)
    return {
        "result": result,
        "runner-up": said[veldra.NarrowMarginWarning],
        "model": model,
        "bootstrap": bootstrap,
        "effect": effect[UserWarning],
        "knowledge": str(knowledge.value),
        "csv": str(path),
    }


def command(f, capsys, *args):
    quietly(main, ["order", f["csv"], *args])
    captured = capsys.readouterr()
    return captured.out + captured.err


@pytest.mark.parametrize(
    "render",
    [
        lambda f, _: str(f["result"]),  # the report's rows, constraints, warnings
        lambda f, _: f["model"].summary(),  # the same report from the estimator
        lambda f, _: f["model"].to_text(f["bootstrap"]),  # and its bootstrap part
        lambda f, _: f["runner-up"],  # the runner-up order's names
        lambda f, _: f["effect"],  # the total effect's warning
        lambda f, _: f["knowledge"],  # the contradiction's message
        lambda f, _: f["result"]._repr_html_(),  # the notebook's table
        lambda f, capsys: command(f, capsys, "--threads", "1"),  # report, warnings
        lambda f, capsys: command(f, capsys, "--exogenous", "zz"),  # column list
    ],
    ids=[
        "str",
        "summary",
        "to_text",
        "warnings",
        "total effect",
        "prior knowledge",
        "html",
        "command",
        "command error",
    ],
)
def test_names_are_shown_escaped(fitted, capsys, render):
    text = render(fitted, capsys)
    assert raw_controls(text) == []
    assert any(shown in text for shown in SHOWN)


def test_html_escapes_names(fitted):
    html = fitted["result"]._repr_html_()
    assert "\\u202ecafé&lt;b&gt;" in html
    assert "<b>" not in html


def test_exports_for_programs_keep_the_names(fitted):
    model = fitted["model"]
    record = json.loads(model.to_json())
    assert record["column_names"] == NAMES
    assert (
        veldra.ExhaustiveOrdering.from_json(record).feature_names_in_.tolist() == NAMES
    )
    dot = model.to_dot()
    assert all(f'label="{name}"' in dot for name in NAMES)
