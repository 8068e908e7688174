import itertools
import json

import numpy as np
import pytest
from simulate import simulate
from test_cli import write_csv

import veldra
from veldra import ExhaustiveOrdering, _data, _reference
from veldra._cli import main
from veldra._diagnostics import ResidualScorer
from veldra._knowledge import make_knowledge

NAMES = ["age", "dose", "level", "risk"]
CYCLE = "^contradictory prior knowledge: "


def bits(*variables):
    return sum(1 << j for j in variables)


def unknown(d=4, diagonal=-1, **cells):
    """lingam's matrix of -1 with some cells set: a row (r0=0), a column (c1=0)
    or one entry (**{"2_1": 1})."""
    matrix = -np.ones((d, d), dtype=int)
    np.fill_diagonal(matrix, diagonal)
    for key, value in cells.items():
        if key.startswith("r"):
            matrix[int(key[1:]), :] = value
        elif key.startswith("c"):
            matrix[:, int(key[1:])] = value
        else:
            i, j = map(int, key.split("_"))
            matrix[i, j] = value
    return matrix


@pytest.mark.parametrize(
    ("given", "predecessors", "forbidden", "applied"),
    [
        (
            {"exogenous": ["age"], "sinks": 3, "required_order": [("dose", 2)]},
            [0, bits(0), bits(0, 1), bits(0, 1, 2)],
            {(0, j) for j in (1, 2, 3)} | {(i, 3) for i in (0, 1, 2)},
            ["age first (exogenous)", "risk last (sink)", "dose before level"],
        ),
        # A path j -> i orders j first; no path only forbids the edge.
        (
            {"prior_knowledge": unknown(**{"2_1": 1, "3_0": 0})},
            [0, 0, bits(1), 0],
            {(3, 0)},
            [
                "dose before level (prior_knowledge[2, 1] = 1)",
                "no edge age -> risk (prior_knowledge[3, 0] = 0)",
            ],
        ),
        # A row of zeros: no ancestor, first; a column: no descendant, last.
        (
            {"prior_knowledge": unknown(r1=0, c2=0)},
            [bits(1), 0, bits(0, 1, 3), bits(1)],
            {(1, j) for j in (0, 2, 3)} | {(i, 2) for i in (0, 1, 3)},
            [
                "dose first (exogenous: prior_knowledge row 1 is 0)",
                "level last (sink: prior_knowledge column 2 is 0)",
            ],
        ),
        # Row and column of zeros: unconnected, placed first; the diagonal
        # says nothing.
        (
            {"prior_knowledge": unknown(r3=0, c3=0, diagonal=7)},
            [bits(3), bits(3), bits(3), 0],
            {(3, j) for j in range(3)} | {(i, 3) for i in range(3)},
            ["risk first (unconnected: prior_knowledge row and column 3 are 0)"],
        ),
        ({}, None, None, None),
        ({"exogenous": [], "prior_knowledge": unknown()}, None, None, None),
    ],
)
def test_translation(given, predecessors, forbidden, applied):
    knowledge = make_knowledge(4, NAMES, **given)
    if predecessors is None:
        assert knowledge is None
        return
    assert list(knowledge.predecessors) == predecessors
    assert set(zip(*np.nonzero(knowledge.forbidden), strict=True)) == forbidden
    assert not knowledge.forbidden.flags.writeable
    assert list(knowledge.applied) == applied


@pytest.mark.parametrize(
    ("names", "given", "error", "message"),
    [
        (None, {"exogenous": ["age"]}, TypeError, "'age' is a name, but the data"),
        (NAMES, {"sinks": ["wage"]}, ValueError, "sinks: 'wage' is not a column"),
        (None, {"exogenous": [-1]}, ValueError, "-1 is out of range; .* 0 to 3"),
        (None, {"sinks": [1.0]}, TypeError, "1.0 is neither a column index"),
        (None, {"exogenous": [True]}, TypeError, "True is neither"),
        (None, {"exogenous": 0, "sinks": [0]}, ValueError, "x0 is both exogenous"),
        (None, {"required_order": [(0,)]}, TypeError, r"\(0,\) is not a pair"),
        (None, {"required_order": (0, 1)}, TypeError, "0 is not a pair"),
        (None, {"required_order": [(2, 2)]}, ValueError, "x2 before itself"),
        (None, {"prior_knowledge": np.zeros((3, 3))}, ValueError, r"got \(3, 3\)"),
        (None, {"prior_knowledge": unknown(**{"0_1": 2})}, ValueError, r"\[0, 1\] = 2"),
        (
            None,
            {"prior_knowledge": np.where(np.eye(4) > 0, -1.0, np.nan)},
            ValueError,
            r"\[0, 1\] = nan, .* and 7 more",
        ),
        (None, {"prior_knowledge": unknown() > 0}, TypeError, "not bool values"),
        # The mask used to be dropped: the values under it were read.
        (
            None,
            {"prior_knowledge": np.ma.masked_equal(unknown(**{"0_1": 0}), 0)},
            ValueError,
            r"masked entries \(\[0, 1\]\).*filled\(-1\)",
        ),
        # "abcd" used to name four columns, one letter each.
        ("abcd", {"exogenous": [0]}, TypeError, "column_names must be a list of"),
        (
            None,
            {"sinks": [1], "prior_knowledge": unknown(**{"0_1": 1})},
            ValueError,
            r"path x1 -> x0, but x1 is a sink",
        ),
        # Contradictions name one cycle, implied orders included.
        (
            None,
            {"required_order": [(1, 3), (0, 1), (3, 1)]},
            ValueError,
            CYCLE + "x1 before x3 before x1$",
        ),
        (
            None,
            {"exogenous": [2], "required_order": [(0, 2)]},
            ValueError,
            CYCLE + "x0 before x2 before x0$",
        ),
        (
            None,
            {"prior_knowledge": unknown(**{"1_0": 1, "2_1": 1, "0_2": 1})},
            ValueError,
            CYCLE + "x0 before x1 before x2 before x0$",
        ),
    ],
)
def test_bad_knowledge(names, given, error, message):
    with pytest.raises(error, match=message):
        make_knowledge(4, names, **given)


# Constraints against the data leave Gaussian-looking residuals.
@pytest.mark.filterwarnings("ignore::veldra.IdentifiabilityWarning")
@pytest.mark.parametrize("pruning", ["none", "adaptive_lasso"])
def test_forbidden_edges_are_exactly_zero(pruning):
    sim = simulate(500, 5, edge_prob=1.0, seed=4)
    first, last = int(sim.order[0]), int(sim.order[-1])
    # Forbid real edges, which the data would otherwise give weight.
    cut = [(int(i), int(j)) for i, j in zip(*np.nonzero(sim.B), strict=True)][:3]
    prior = -np.ones((5, 5))
    for i, j in cut:
        prior[i, j] = 0
    given = {"exogenous": [last], "sinks": [first], "prior_knowledge": prior}
    model = ExhaustiveOrdering(n_threads=1, pruning=pruning, **given).fit(sim.X)
    forbidden = make_knowledge(5, None, **given).forbidden
    B = model.adjacency_matrix_
    assert all(forbidden[i, j] for i, j in cut)
    assert not B[forbidden].any()
    if pruning == "none":  # the rest: least squares on the allowed parents
        X = sim.X - sim.X.mean(axis=0)
        position = np.argsort(model.causal_order_)
        for i in range(5):
            allowed = [
                j for j in range(5) if position[j] < position[i] and not forbidden[i, j]
            ]
            beta = np.linalg.lstsq(X[:, allowed], X[:, i], rcond=None)[0]
            np.testing.assert_allclose(B[i, allowed], beta, rtol=1e-8)
    again = ExhaustiveOrdering.from_json(model.to_json())
    assert again.get_params()["sinks"] == [first]
    assert again.constraints_ == model.constraints_ != ()


def test_masked_prior_without_masked_entries_is_its_data():
    matrix = unknown(**{"1_0": 1})
    masked = np.ma.masked_array(matrix, mask=np.zeros((4, 4), dtype=bool))
    assert make_knowledge(4, None, prior_knowledge=masked).applied == (
        make_knowledge(4, None, prior_knowledge=matrix).applied
    )


@pytest.mark.filterwarnings("ignore::veldra.IdentifiabilityWarning")
def test_generators_reach_fit_bootstrap_and_record():
    """Constraints given as one-shot iterators (generators, zip, map) used
    to be read up by fit: bootstrap and to_json saw none of them."""
    sim = simulate(300, 5, noise="uniform", edge_prob=0.5, seed=4)
    prior = unknown(d=5, **{"3_2": 0})
    lists = {
        "exogenous": [1],
        "sinks": [0],
        "required_order": [(2, 4), (3, 4)],
        "prior_knowledge": prior,
    }

    def one_shot():
        return {
            "exogenous": (j for j in [1]),
            "sinks": map(int, ["0"]),
            "required_order": zip([2, 3], [4, 4], strict=True),
            "prior_knowledge": (row for row in prior),
        }

    expected = ExhaustiveOrdering(n_threads=1, **lists).fit(sim.X)
    given = one_shot()
    model = ExhaustiveOrdering(n_threads=1, **given).fit(sim.X)
    assert model.constraints_ == expected.constraints_ != ()
    # The parameters stay as given (scikit-learn's rule).
    assert all(getattr(model, key) is value for key, value in given.items())
    boot = model.bootstrap(sim.X, 3, random_state=0)
    knowledge = make_knowledge(5, None, **lists)
    assert all(knowledge.satisfied_by(order) for order in boot.orders)
    np.testing.assert_array_equal(
        boot.orders, expected.bootstrap(sim.X, 3, random_state=0).orders
    )
    record = json.loads(model.to_json(boot))
    assert record["exogenous"] == [1]
    assert record["sinks"] == [0]
    assert record["required_order"] == [[2, 4], [3, 4]]
    assert record["prior_knowledge"] == prior.tolist()
    again = ExhaustiveOrdering.from_json(record)
    assert again.constraints_ == model.constraints_
    # A second fit reads the same copy; set_params is read anew.
    model.fit(sim.X)
    assert model.constraints_ == expected.constraints_
    model.set_params(**one_shot()).set_params(exogenous=[4], sinks=None)
    assert json.loads(model.to_json())["exogenous"] == [4]
    # causal_order reads its parameters once anyway.
    result = veldra.causal_order(sim.X, n_threads=1, **one_shot())
    assert result.constraints == expected.constraints_


def random_constraints(rng, d):
    """Exogenous variables, sinks and ordered pairs all true of one random
    order, so that they never contradict one another."""
    hidden = rng.permutation(d).tolist()
    given = {}
    if rng.random() < 0.5:
        given["exogenous"] = hidden[: rng.integers(1, 3)]
    if rng.random() < 0.5:
        given["sinks"] = hidden[d - rng.integers(1, 3) :]
    given["required_order"] = [
        tuple(sorted(map(int, rng.choice(d, 2, replace=False)), key=hidden.index))
        for _ in range(rng.integers(1, 4))
    ]
    return given


def brute_force_best(X, knowledge):
    prepared = _data.prepare(*_data.checked_array(X), in_place=True)
    n, d = X.shape
    scorer = ResidualScorer(
        prepared.standard, prepared.gram, _reference.make_reference("normal", n)
    )

    def total(order):
        masks = itertools.accumulate((1 << j for j in order[:-1]), initial=0)
        return sum(scorer.score(j, m) for j, m in zip(order, masks, strict=True))

    allowed = [
        order
        for order in itertools.permutations(range(d))
        if knowledge is None or knowledge.satisfied_by(order)
    ]
    return max(map(total, allowed)), total


@pytest.mark.filterwarnings("ignore::veldra.IdentifiabilityWarning")
@pytest.mark.parametrize(("d", "seed"), [(3, 0), (4, 1), (5, 2), (5, 3), (6, 4)])
def test_constrained_search_is_the_best_allowed_order(d, seed):
    rng = np.random.default_rng(seed)
    X = simulate(300, d, noise="mixed", seed=seed).X
    plain = veldra.causal_order(X, n_threads=1)
    best, total = brute_force_best(X, None)
    assert plain.score == pytest.approx(best, rel=1e-5)
    for _ in range(3):
        given = random_constraints(rng, d)
        knowledge = make_knowledge(d, None, **given)
        result = veldra.causal_order(X, n_threads=1, **given)
        assert knowledge.satisfied_by(result.order), (given, result.order)
        best, total = brute_force_best(X, knowledge)
        assert result.score == pytest.approx(best, rel=1e-5)
        assert total(result.order.tolist()) == pytest.approx(best, rel=1e-5)
        # Only allowed orders compete for the runner-up and the margin.
        others = [
            total(order)
            for order in itertools.permutations(range(d))
            if knowledge.satisfied_by(order) and list(order) != result.order.tolist()
        ]
        if others:
            assert knowledge.satisfied_by(result.runner_up_order)
            assert result.margin == pytest.approx(best - max(others), abs=1e-5 * best)
    # Constraints the unconstrained answer meets change nothing.
    order = plain.order.tolist()
    same = veldra.causal_order(
        X, n_threads=1, exogenous=order[:1], required_order=[tuple(order[1:3])]
    )
    assert same.order.tolist() == order
    assert same.score == pytest.approx(plain.score, rel=1e-6)


@pytest.fixture
def csv_path(tmp_path):
    return write_csv(tmp_path / "d.csv", simulate(400, 4, seed=9).X, NAMES)


@pytest.mark.parametrize(
    ("args", "prior", "status", "message"),
    [
        (["--before", "dose"], None, 2, "expected A:B"),
        (["--before", "dose:wage"], None, 2, "--before: no column named 'wage'"),
        (["--exogenous", "age,9"], None, 2, "--exogenous: 9 is out of range"),
        (["--sink", "age,,dose"], None, 2, "--sink: an empty item"),
        (["--before", "0:1", "--before", "dose:age"], None, 2, "age before dose bef"),
        (["--exogenous", "1", "--sink", "dose"], None, 2, "dose is both exogenous"),
        ([], "-1 0 1\n", 1, "line 1: 3 entries, expected 4"),
        ([], "-1,0,1,x\n", 1, "line 1, field 4: 'x' is not 0"),
        ([], "# matrix\n-1 0 1 2\n", 1, "line 2, field 4: '2' is not 0"),
        ([], "-1 0 1 1\n", 1, "1 rows, expected 4"),
    ],
)
def test_cli_errors(csv_path, capsys, args, prior, status, message):
    if prior is not None:
        (csv_path.parent / "prior.txt").write_text(prior)
        args = [*args, "--prior", str(csv_path.parent / "prior.txt")]
    assert main(["order", str(csv_path), "-q", *args]) == status
    captured = capsys.readouterr()
    assert captured.out == ""
    assert message in captured.err.splitlines()[-1]


@pytest.mark.parametrize("fmt", [" ", ","])
def test_cli_constraints(csv_path, capsys, fmt):
    prior = unknown(**{"3_2": 0})
    prior_path = csv_path.parent / "prior.txt"
    prior_path.write_text("\n".join(fmt.join(map(str, row)) for row in prior))
    args = ["order", str(csv_path), "-q", "--threads", "1", "--exogenous", "age"]
    args += ["--before", "dose:2", "--prior", str(prior_path)]
    model = ExhaustiveOrdering(
        n_threads=1, exogenous=[0], required_order=[(1, 2)], prior_knowledge=prior
    ).fit(np.loadtxt(csv_path, delimiter=",", skiprows=1))
    assert main([*args, "--json"]) == 0
    record = json.loads(capsys.readouterr().out)
    assert record["order"] == model.causal_order_.tolist()
    np.testing.assert_allclose(record["adjacency_matrix"], model.adjacency_matrix_)
    lines = ["age first (exogenous)", "dose before level"]
    lines.append("no edge level -> risk (prior_knowledge[3, 2] = 0)")
    assert record["constraints"] == lines
    assert main(args) == 0
    out = capsys.readouterr().out
    assert "\nconstraints:\n" + "".join(f"  {line}\n" for line in lines) in out
    assert main(["order", "--help"]) == 0
    assert "--before dose:level" in capsys.readouterr().out
