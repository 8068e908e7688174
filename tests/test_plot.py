"""Drawing a graph: nodes, weighted arrows, bootstrap-only edges and bad input."""

import sys

import numpy as np
import pytest

from veldra._plot import plot_graph

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
plt = pytest.importorskip("matplotlib.pyplot")
FancyArrowPatch = pytest.importorskip("matplotlib.patches").FancyArrowPatch

NAMES = ["a", "b", "c", "d"]
B = np.zeros((4, 4))
B[1, 0], B[2, 1], B[3, 0], B[3, 2] = 0.5, -2.0, 1.0, 0.25  # a->b->c->d, a->d


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    plt.close("all")


def _drawn(ax):
    """Arrows by their 'cause -> effect' id, node positions and label texts."""
    arrows = {p.get_gid(): p for p in ax.patches if isinstance(p, FancyArrowPatch)}
    texts = [t.get_text() for t in ax.texts]
    where = {t.get_text(): t.get_position() for t in ax.texts if t.get_text() in NAMES}
    return arrows, where, texts


def test_draws_nodes_and_weighted_arrows_in_layers(tmp_path):
    ax = plot_graph(B, [0, 1, 2, 3], NAMES)
    arrows, where, texts = _drawn(ax)
    assert sorted(t for t in texts if t in NAMES) == NAMES  # one box per name
    weight = {f"{NAMES[j]} -> {NAMES[i]}": abs(B[i, j]) for i, j in np.argwhere(B)}
    assert arrows.keys() == weight.keys()
    assert sorted(arrows, key=lambda e: arrows[e].get_linewidth()) == sorted(
        weight, key=weight.get
    )
    assert arrows["b -> c"].get_edgecolor() != arrows["a -> b"].get_edgecolor()
    assert {"0.5", "-2", "1", "0.25"} <= set(texts)
    for edge in arrows:  # causes sit left of their effects
        cause, effect = edge.split(" -> ")
        assert where[cause][0] < where[effect][0]
    for suffix in ("png", "svg"):
        path = tmp_path / f"graph.{suffix}"
        ax.figure.savefig(path)
        assert path.stat().st_size > 0


def test_bootstrap_only_edge_is_dashed_with_its_probability():
    probabilities = (B != 0) * 0.9
    probabilities[2, 0] = 0.2  # a -> c in some resamples only
    arrows, _, texts = _drawn(
        plot_graph(B, [0, 1, 2, 3], NAMES, edge_probabilities=probabilities)
    )
    dashed = [e for e, p in arrows.items() if p.get_linestyle() in ("--", "dashed")]
    assert dashed == ["a -> c"]
    assert "p=0.20" in texts
    assert "-2 (p=0.90)" in texts


AGAINST = B.copy()
AGAINST[0, 3] = 0.1


@pytest.mark.parametrize(
    ("change", "fault"),
    [
        ({"adjacency": np.zeros((4, 3))}, "square"),
        ({"order": [0, 1, 1, 3]}, "permutation"),
        ({"names": NAMES[:3]}, "names has 3 labels"),
        ({"adjacency": AGAINST}, "d -> a against the order"),
        ({"edge_probabilities": np.zeros((3, 3))}, "edge_probabilities"),
    ],
)
def test_bad_input_names_the_fault(change, fault):
    call = {"adjacency": B, "order": [0, 1, 2, 3], "names": NAMES} | change
    with pytest.raises(ValueError, match=fault):
        plot_graph(**call)


def test_missing_matplotlib_says_how_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match="pip install matplotlib"):
        plot_graph(B, [0, 1, 2, 3], NAMES)
