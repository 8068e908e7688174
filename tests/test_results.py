"""Using the results with other tools: lingam's bootstrap questions, total
effects by name, the exports and a light import."""

import json
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from simulate import simulate

import veldra
from veldra import BootstrapResult, ExhaustiveOrdering


def _hand_built():
    """Four resamples of three variables; B[i, j] is the effect of j on i."""
    B = np.zeros((4, 3, 3))
    B[0][1, 0], B[0][2, 1] = 0.5, 2.0  # 0 -> 1 -> 2
    B[1][1, 0], B[1][2, 1], B[1][2, 0] = 0.5, 1.0, -1.0  # and 0 -> 2
    B[2][1, 0], B[2][2, 1] = -0.2, 2.0  # 0 -> 1 -> 2, a weak first edge
    B[3][0, 2] = 0.3  # 2 -> 0
    orders = np.array([[0, 1, 2], [0, 1, 2], [0, 1, 2], [1, 2, 0]])
    return BootstrapResult(
        edge_probabilities=(B != 0).mean(axis=0),
        position_probabilities=np.zeros((3, 3)),
        orders=orders,
        adjacency_matrices=B,
        column_names=("a", "b", "c"),
    )


@pytest.mark.parametrize(
    ("method", "kwargs", "expected"),
    [
        (
            "get_causal_direction_counts",
            {},
            {"from": [0, 1, 2, 0], "to": [1, 2, 0, 2], "count": [3, 3, 1, 1]},
        ),
        (
            "get_causal_direction_counts",
            {"n_directions": 2, "min_causal_effect": 0.4},
            {"from": [1, 0], "to": [2, 1], "count": [3, 2]},
        ),
        (
            "get_causal_direction_counts",
            {"split_by_causal_effect_sign": True},
            {
                "from": [1, 0, 2, 0, 0],
                "to": [2, 1, 0, 1, 2],
                "count": [3, 2, 1, 1, 1],
                "sign": [1, 1, 1, -1, -1],
            },
        ),
        (
            "get_directed_acyclic_graph_counts",
            {},
            {
                "dag": [
                    {"from": [0, 1], "to": [1, 2]},
                    {"from": [0, 0, 1], "to": [1, 2, 2]},
                    {"from": [2], "to": [0]},
                ],
                "count": [2, 1, 1],
            },
        ),
        (
            "get_directed_acyclic_graph_counts",
            {"n_dags": 2, "split_by_causal_effect_sign": True},
            {
                "dag": [
                    {"from": [0, 1], "to": [1, 2], "sign": [1, 1]},
                    {"from": [0, 0, 1], "to": [1, 2, 2], "sign": [1, -1, 1]},
                ],
                "count": [1, 1],
            },
        ),
        (
            # Totals are path sums: 0 on 2 is 0.5 * 2, -1 + 0.5 * 1, -0.2 * 2.
            "get_total_causal_effects",
            {},
            {
                "from": [0, 0, 1, 2],
                "to": [1, 2, 2, 0],
                "effect": [0.5, -0.4, 2.0, 0.3],
                "probability": [0.75, 0.75, 0.75, 0.25],
            },
        ),
        (
            "get_paths",
            {"from_index": 0, "to_index": 2},
            {
                "path": [[0, 1, 2], [0, 2]],
                "effect": [0.5, -1.0],
                "probability": [0.75, 0.25],
            },
        ),
        (
            "get_paths",
            {"from_index": "a", "to_index": "c", "min_causal_effect": 0.4},
            {
                "path": [[0, 1, 2], [0, 2]],
                "effect": [0.75, -1.0],
                "probability": [0.5, 0.25],
            },
        ),
        (
            "get_paths",
            {"from_index": 2, "to_index": 1},
            {"path": [], "effect": [], "probability": []},
        ),
    ],
)
def test_lingam_named_summaries(method, kwargs, expected):
    got = getattr(_hand_built(), method)(**kwargs)
    assert list(got) == list(expected)
    for key, values in expected.items():
        if key in ("effect", "probability"):
            np.testing.assert_allclose(got[key], values)
        else:
            assert got[key] == values


def test_lingam_named_arrays():
    result = _hand_built()
    np.testing.assert_array_equal(
        result.get_probabilities(), [[0, 0, 0.25], [0.75, 0, 0], [0.25, 0.75, 0]]
    )
    np.testing.assert_array_equal(
        result.get_probabilities(min_causal_effect=0.4),
        [[0, 0, 0], [0.5, 0, 0], [0.25, 0.75, 0]],
    )
    assert result.adjacency_matrices_ is result.adjacency_matrices
    np.testing.assert_allclose(
        result.total_effects_[1], [[0, 0, 0], [0.5, 0, 0], [-0.5, 1, 0]]
    )
    with pytest.raises(ValueError, match="min_causal_effect"):
        result.get_probabilities(min_causal_effect=-1)
    with pytest.raises(ValueError, match="'z' is not a column name"):
        result.get_paths("z", "a")


def test_parallel_bootstrap_is_the_same_bootstrap():
    X = simulate(400, 4, noise="laplace", edge_prob=0.6, seed=4).X
    model = ExhaustiveOrdering(n_threads=1)
    serial = model.bootstrap(X, 6, random_state=5)
    parallel = model.bootstrap(X, 6, random_state=5, n_jobs=2)
    assert serial.resampled_indices_.shape == (6, 400)
    np.testing.assert_array_equal(
        serial.resampled_indices_, parallel.resampled_indices_
    )
    np.testing.assert_array_equal(serial.orders, parallel.orders)
    np.testing.assert_array_equal(
        serial.adjacency_matrices_, parallel.adjacency_matrices_
    )
    # Each resample is the search of the rows it drew.
    k = 3
    again = ExhaustiveOrdering(n_threads=1).fit(X[serial.resampled_indices_[k]])
    np.testing.assert_array_equal(again.causal_order_, serial.orders[k])
    np.testing.assert_allclose(again.adjacency_matrix_, serial.adjacency_matrices_[k])


@pytest.fixture(scope="module")
def fitted():
    sim = simulate(1500, 4, noise="uniform", edge_prob=0.6, seed=2)
    frame = pd.DataFrame(sim.X, columns=["rain", "soil", "crop", "price"])
    return frame, ExhaustiveOrdering(n_threads=1).fit(frame)


def test_lingam_tutorial_idioms(fitted):
    frame, model = fitted
    order = model.causal_order_
    assert isinstance(order, np.ndarray)
    assert list(order) == order.tolist()
    last = order.tolist()[-1]
    assert order.tolist().index(last) == 3
    first, then = order.tolist()[:2]
    by_name = model.estimate_total_effect(
        frame, frame.columns[first], frame.columns[then]
    )
    assert by_name == model.estimate_total_effect(frame, first, then)
    with pytest.warns(UserWarning, match=r"puts .* before .*: the total effect is 0.0"):
        assert model.estimate_total_effect(frame, last, first) == 0.0
    with pytest.raises(ValueError, match="'wind' is not a column name"):
        model.estimate_total_effect(frame, "wind", "crop")
    unnamed = ExhaustiveOrdering(n_threads=1).fit(frame.to_numpy())
    with pytest.raises(TypeError, match="without column names"):
        unnamed.estimate_total_effect(frame.to_numpy(), "rain", "crop")


def test_exports_agree_with_the_graph(fitted):
    networkx = pytest.importorskip("networkx", reason="networkx is not installed")
    _, model = fitted
    B = model.adjacency_matrix_
    graph = model.to_networkx()
    assert isinstance(graph, networkx.DiGraph)
    assert {(j, i): w for j, i, w in graph.edges(data="weight")} == {
        (int(j), int(i)): B[i, j] for i, j in zip(*np.nonzero(B), strict=True)
    }
    assert [graph.nodes[j]["name"] for j in range(4)] == [
        "rain",
        "soil",
        "crop",
        "price",
    ]
    place = dict(graph.nodes(data="position"))
    assert sorted(place, key=place.get) == model.causal_order_.tolist()
    assert all(place[j] < place[i] for j, i in graph.edges)
    frame = model.to_dataframe()
    for i, j in zip(*np.nonzero(B), strict=True):
        assert frame.loc[frame.index[i], frame.columns[j]] == B[i, j]
    assert list(frame.index) == list(frame.columns) == ["rain", "soil", "crop", "price"]


def test_json_round_trip(fitted):
    frame, model = fitted
    text = model.to_json()
    record = json.loads(text)
    assert record["column_names"] == ["rain", "soil", "crop", "price"]
    assert record["position_margins"][0] is None  # no infinity in strict JSON
    back = ExhaustiveOrdering.from_json(text)
    assert back.to_json() == text
    assert back.to_dot() == model.to_dot()
    np.testing.assert_array_equal(back.causal_order_, model.causal_order_)
    cause, effect = model.causal_order_[:2].tolist()
    assert back.estimate_total_effect(frame, cause, effect) == pytest.approx(
        model.estimate_total_effect(frame, cause, effect)
    )
    # The command line's output from before the schema had a version.
    legacy = {key: record[key] for key in ("order", "score", "adjacency_matrix")}
    legacy["names"] = record["column_names"]
    assert ExhaustiveOrdering.from_json(legacy).to_dot() == model.to_dot()
    with pytest.raises(ValueError, match="schema version 1"):
        ExhaustiveOrdering.from_json(json.dumps({**record, "schema_version": 2}))


def _against_the_order(record):
    """An effect of the last variable of the order on the first."""
    first, last = record["order"][0], record["order"][-1]
    record["adjacency_matrix"][first][last] = 0.5


def _cycle(record):
    """Two variables each the cause of the other."""
    a, b = record["order"][:2]
    record["adjacency_matrix"][b][a] = record["adjacency_matrix"][a][b] = 1.0


@pytest.mark.parametrize(
    ("change", "message"),
    [
        # [0, 1, 7] used to load, and to_json to fail with an IndexError.
        (
            {"order": [0, 1, 2, 7]},
            (
                r"^the record's 'order' holds a number \(7\) at position 3, not a"
                " column index; expected the column indices 0 to 3, each once$"
            ),
        ),
        ({"order": [0, 1, 1, 2]}, "'order' holds 1 twice .*positions 1 and 2"),
        ({"order": [0, 1, 2]}, "'order' has 3 indices for 4 columns"),
        ({"order": [0, 1, 2.0, 3]}, r"'order' holds a number \(2.0\)"),
        ({"runner_up_order": [3, 2, 1]}, "'runner_up_order' has 3 indices for 4"),
        # Matrices against the order, or cyclic, used to load.
        (_against_the_order, r"'adjacency_matrix' \[\d\]\[\d\] = 0.5 is an effect"),
        (_cycle, "'adjacency_matrix' .*which comes before it in the 'order'"),
        ({"adjacency_matrix": [[0.0] * 4] * 3}, "'adjacency_matrix' is a list"),
        (
            {"adjacency_matrix": [[0.0] * 4, [0.0] * 4, [0.0] * 4, [0.0, None, 0, 0]]},
            r"\[3\]\[1\] is null; expected 4 rows of 4 finite numbers",
        ),
        # "abcd" used to become four names, one letter each.
        (
            {"column_names": "abcd"},
            r"'column_names' is a string \('abcd'\); expected a",
        ),
        ({"column_names": ["a", "b", "a", "c"]}, "holds 'a' twice"),
        ({"column_names": ["a", "b", 3, "c"]}, r"holds a number \(3\) at 2"),
        ({"non_gaussianity": [0.1]}, "'non_gaussianity' is a list .* 4 numbers"),
        ({"warnings": "abc"}, "'warnings' is a string .* list of strings"),
        ({"n_samples": 1.5}, "'n_samples' is a number .* whole number"),
        ({"score": "high"}, "'score' is a string"),
        ({"pruning": "lasso"}, "'pruning' .* one of 'adaptive_lasso', 'none'"),
        ({"reference": 5}, "'reference' is a number"),
        ({"exogenous": [[0]]}, r"'exogenous' holds a list \(\[0\]\) at 0"),
        ({"sinks": [9]}, "'sinks' holds a number .* column indices .0 to 3."),
        ({"required_order": [0]}, "'required_order' holds a number .* pairs"),
        ({"prior_knowledge": [[1]]}, r"'prior_knowledge' .* shape \(4, 4\)"),
    ],
)
def test_faulty_records_are_refused(fitted, change, message):
    record = json.loads(fitted[1].to_json())
    if callable(change):
        change(record)
    else:
        record.update(change)
    with pytest.raises(ValueError, match=message):
        ExhaustiveOrdering.from_json(record)
    with pytest.raises(ValueError, match=message):
        ExhaustiveOrdering.from_json(json.dumps(record))


def test_records_of_odd_fits_load():
    """Records as the library writes them load back, to the same record."""
    sim = simulate(200, 2, noise="uniform", edge_prob=1.0, seed=0)
    single = ExhaustiveOrdering(n_threads=1, prior_knowledge=[[np.nan]])
    single.fit(sim.X[:, :1])
    # Its ignored diagonal NaN is written as null, which used to be refused.
    assert json.loads(single.to_json())["prior_knowledge"] == [[None]]
    laplace = ExhaustiveOrdering(n_threads=1, reference="Laplace").fit(sim.X)
    for model in (single, laplace):
        text = model.to_json()
        assert ExhaustiveOrdering.from_json(text).to_json() == text
    with pytest.raises(ValueError, match="the JSON is a list"):
        ExhaustiveOrdering.from_json("[1, 2]")
    with pytest.raises(TypeError, match="JSON text or the dict"):
        ExhaustiveOrdering.from_json(5)


def test_text_report(fitted):
    frame, model = fitted
    text = model.to_text()
    # The command line's report: the order by name, each with its column.
    listed = [line.split()[1:4:2] for line in text.splitlines()[1:5]]
    order = model.causal_order_.tolist()
    assert listed == [[frame.columns[j], f"{j})"] for j in order]
    renumbered = model.to_text(column_numbers=[7, 8, 9, 10])
    assert f"(column {7 + order[0]})" in renumbered
    with pytest.raises(ValueError, match="3 numbers for 4 variables"):
        model.to_text(column_numbers=[1, 2, 3])


def test_import_is_light():
    code = (
        "import sys, veldra\n"
        "veldra.causal_order, veldra.OrderResult, veldra.IdentifiabilityWarning\n"
        "heavy = ('sklearn', 'scipy', 'pandas', 'networkx', 'joblib', 'narwhals')\n"
        "print(sorted(m for m in heavy if m in sys.modules))\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    )
    assert done.stdout.strip() == "[]"
    assert veldra.BootstrapResult is BootstrapResult
