"""Whatever data, column names, prior knowledge, CSV text or JSON record
comes in, veldra refuses it with a ValueError or TypeError (the command line:
exit status 1 or 2 and one line on stderr) or gives a valid result; never
another exception. The examples are small, few and derandomised for CI;
VELDRA_EXPLORE=1 draws new ones, twenty times as many.
"""

import json
import math
import os
import warnings
from contextlib import redirect_stderr, redirect_stdout, suppress
from functools import cache
from graphlib import TopologicalSorter
from io import StringIO

import numpy as np
import pandas as pd
import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import veldra
from veldra import ExhaustiveOrdering
from veldra._cli import main
from veldra._cli._errors import DataError
from veldra._cli._input import read_csv
from veldra._knowledge import Knowledge, make_knowledge

REFUSED = (ValueError, TypeError)
# True one time in five: for the odd cases that would otherwise stop most
# examples before the code after them.
RARELY = st.sampled_from([False, False, False, False, True])
_EXPLORE = bool(os.environ.get("VELDRA_EXPLORE"))


def bounded(examples):
    return settings(
        max_examples=examples * (20 if _EXPLORE else 1),
        deadline=5000,
        derandomize=not _EXPLORE,
        database=None,
    )


def quiet():
    """The search's statistical warnings (tiny samples) are not the point."""
    return warnings.catch_warnings(action="ignore")


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("properties")


def check_order(order, B, d):
    """A permutation, and B finite with effects only on later variables."""
    assert sorted(np.asarray(order).tolist()) == list(range(d))
    assert np.shape(B) == (d, d)
    assert np.isfinite(B).all()
    assert not np.triu(np.asarray(B)[np.ix_(order, order)]).any()


def check_fitted(model, d):
    """Also: the exports work and the record reads back to the same record."""
    check_order(model.causal_order_, model.adjacency_matrix_, d)
    text = model.to_json()
    assert ExhaustiveOrdering.from_json(text).to_json() == text
    for export in (model.to_text, model.to_dot, model.to_dataframe, model.to_networkx):
        export()


# --- data: arrays and data frames -------------------------------------------

_FLOATS = st.floats()  # NaN and infinities included
_OBJECTS = st.one_of(
    _FLOATS,
    st.integers(-(10**400), 10**400),
    st.booleans(),
    st.none(),
    st.text("0123456789.e-+ xna", max_size=5),
    st.decimals(allow_nan=True, places=3),
    st.sampled_from([np.datetime64("2020-01-01"), np.timedelta64(5, "s")]),
    st.complex_numbers(max_magnitude=10),
)
_DTYPES = ["f8", "f4", "f2", "i1", "i8", "u8", "?", "c16", "M8[D]", "m8[s]", "U6"]
_DTYPES += ["S6", "O"]
# Number-like text and odd objects; any value of the dtype for the others.
_ODD = {"U6": st.text("0123456789.-e", max_size=4), "O": _OBJECTS}


def _values(seed, shape, dtype):
    """Distinct enough to pass the checks when the dtype holds numbers."""
    values = np.asarray(np.random.default_rng(seed).uniform(-1, 1, shape) ** 3 * 100)
    if dtype.kind in "iumM":
        low = max(np.iinfo(dtype).min, -100) if dtype.kind in "iu" else -100
        return np.clip(np.round(values), low, None).astype(np.int64).astype(dtype)
    if dtype.kind == "b":
        return values > 0
    if dtype.kind in "US":
        return values.round(2).astype(dtype)
    return values.astype(dtype)


@st.composite
def data(draw, dtypes=_DTYPES):
    """Random arrays, a few cells odd, of many dtypes and shapes, in many forms."""
    name = draw(st.sampled_from(dtypes))
    dtype = np.dtype(name)
    if draw(RARELY):
        shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=3))
    else:
        n, d = draw(st.integers(0, 12)), draw(st.integers(0, 5))
        shape = (n, d) if draw(RARELY) else (max(n, d + 3), d)
    X = _values(draw(st.integers(0, 2**16)), shape, dtype)
    cells = _ODD[name] if name in _ODD else hnp.from_dtype(dtype)
    for _ in range(draw(st.integers(0, 2)) if X.size else 0):
        at = tuple(draw(st.integers(0, side - 1)) for side in X.shape)
        value = draw(cells)
        with suppress(ValueError, TypeError, OverflowError):  # not of the dtype
            X[at] = value
    form = draw(st.sampled_from(["array", "array", "list", "masked", "F", "object"]))
    if form == "masked":
        mask = draw(st.booleans()) and draw(hnp.arrays(np.bool_, X.shape))
        return np.ma.masked_array(X, mask=mask)
    forms = {"list": X.tolist, "F": lambda: np.asfortranarray(X)}
    return {**forms, "object": lambda: X.astype(object)}.get(form, lambda: X)()


_TEXT = st.none() | st.text("0123456789.-x", max_size=3)
# Per pandas dtype: the column from random values in [-9, 9], odd cells.
_COLUMNS = {
    "float": (float, lambda v: v.tolist(), _FLOATS),
    "object": (object, lambda v: v.tolist(), _OBJECTS),
    "int": (None, lambda v: np.round(v * 1000).astype(np.int64), None),
    "bool": (bool, lambda v: v > 0, None),
    "string": ("string", lambda v: [f"{x:.3f}" for x in v], _TEXT),
    "Int64": ("Int64", lambda v: [round(x * 1000) for x in v], st.none()),
    "Float64": ("Float64", list, st.none()),
    "category": ("category", lambda v: np.round(v).astype(int), None),
    "datetime": (None, lambda v: pd.to_datetime(np.round(v * 1e6), unit="s"), None),
    "timedelta": (None, lambda v: pd.to_timedelta(np.round(v * 1e6), unit="s"), None),
    "complex": (None, lambda v: v + 1j, None),
}
_NAMES = st.text("ab ", max_size=2) | st.integers(0, 2) | st.none()


@st.composite
def frames(draw):
    """Mixed dtypes; now and then duplicate, empty, integer or no names."""
    n, d = draw(st.integers(0, 10)), draw(st.integers(0, 4))
    columns = {}
    for j in range(d):
        dtype, make, odd = _COLUMNS[draw(st.sampled_from(["float", *_COLUMNS]))]
        rng = np.random.default_rng(draw(st.integers(0, 2**16)))
        cells = make(rng.uniform(-9, 9, n))
        at = (
            st.lists(st.integers(0, n - 1), max_size=2)
            if n and odd is not None
            else st.just([])
        )
        for i in draw(at):
            cells[i] = draw(odd)
        columns[j] = pd.Series(cells, dtype=dtype)
    frame = pd.DataFrame(columns, index=range(n))
    if draw(RARELY):
        frame.columns = draw(st.lists(_NAMES, min_size=d, max_size=d))
    else:
        frame.columns = [f"c{j}" for j in range(d)]
    return frame


@bounded(220)
@given(data() | frames())
def test_data_is_refused_or_searched(X):
    """causal_order and the estimator take the same arrays; the estimator
    refuses some more frames (scikit-learn's rule for names of mixed types)."""
    frame = isinstance(X, pd.DataFrame)
    try:
        with quiet():
            result = veldra.causal_order(X, n_threads=1)
    except REFUSED:
        event("data refused")
        result = None
    else:
        event("data searched")
        check_order(result.order, result.adjacency_matrix, np.shape(X)[1])
        assert result.column_names == (tuple(map(str, X.columns)) if frame else None)
        assert math.isfinite(result.score)
        str(result)
        result._repr_html_()
    try:
        with quiet():
            model = ExhaustiveOrdering(n_threads=1).fit(X)
    except REFUSED:
        assert frame or result is None
        return
    assert result is not None
    check_fitted(model, np.shape(X)[1])


_GIVEN_NAMES = st.lists(_NAMES | st.floats(0, 1), max_size=6) | st.text(
    "abc", max_size=5
)
_GIVEN_NAMES |= st.none() | st.just(b"ab") | st.integers()


@bounded(60)
@given(data(["f8"]), _GIVEN_NAMES)
def test_names_are_refused_or_kept(X, names):
    d = np.shape(X)[1] if np.ndim(X) == 2 else 1
    for prepare in (
        lambda: veldra.prepare_data(X, names=names),
        lambda: veldra.prepare_data(veldra.prepare_data(X), names=names),
        # Only with prior knowledge does estimate_cost read the names.
        lambda: veldra.estimate_cost(
            60, d, n_threads=1, exogenous=[0], column_names=names
        ),
    ):
        try:
            with quiet():
                done = prepare()
        except REFUSED:
            continue
        assert names is None or not isinstance(names, str | bytes)
        if isinstance(done, veldra.PreparedData) and names is not None:
            assert done.names == tuple(str(name) for name in names)


# --- CSV files and the command line ----------------------------------------

_ODD_CELLS = ["", " ", "nan", "inf", "-inf", "1e400", "x", '"1"', '"', "1;2"]
_ODD_CELLS += ["1\t2", " 3 ", "é", "0x10", "1_000", "\u0661", "1,5", '"a\nb"']
_CELLS = st.floats().map(repr) | st.integers(-(10**30), 10**30).map(str)
_CELLS |= st.sampled_from(_ODD_CELLS)


@st.composite
def csv_files(draw):
    """Random numbers; now and then a header, odd cells, a ragged row, a blank
    line, a BOM, CRLF, another delimiter or bytes that are not UTF-8."""
    width, n = draw(st.integers(1, 4)), draw(st.integers(0, 12))
    rng = np.random.default_rng(draw(st.integers(0, 2**16)))
    rows = [[repr(v) for v in row] for row in rng.uniform(-1, 1, (n, width)).tolist()]
    for _ in range(draw(st.integers(0, 2)) if rows else 0):
        draw(st.sampled_from(rows))[draw(st.integers(0, width - 1))] = draw(_CELLS)
    if rows and draw(RARELY):
        i = draw(st.integers(0, len(rows) - 1))
        rows[i] = rows[i][:-1] if draw(st.booleans()) else [*rows[i], "0"]
    if draw(st.booleans()):
        header = st.lists(st.text('ab ,"', max_size=2), min_size=width, max_size=width)
        rows.insert(0, draw(header))
    delimiter = draw(st.sampled_from([",", ",", ",", ";", "\t"]))
    newline = "\r\n" if draw(RARELY) else "\n"
    lines = [delimiter.join(row) for row in rows]
    if draw(RARELY):
        lines.insert(draw(st.integers(0, len(lines))), "")
    text = newline.join(lines) + draw(st.sampled_from(["", newline]))
    bom = b"\xef\xbb\xbf" if draw(RARELY) else b""
    return bom + text.encode() + (b"\xff" if draw(RARELY) else b"")


@st.composite
def prior_files(draw):
    """lingam's matrix as a file: rows of 0, 1 and -1 separated by commas,
    spaces or tabs; now and then odd entries, one entry or row too many, or
    a comment first."""
    d = draw(st.integers(0, 5))
    entries = st.sampled_from(["0", "1", "-1", " -1 ", "1.0"])
    if draw(RARELY):
        entries |= st.sampled_from(["2", "x", "", "nan", "1e0", "-0", "+1"])
    row = st.lists(entries, min_size=d, max_size=d + int(draw(RARELY)))
    rows = draw(st.lists(row, min_size=d, max_size=d + int(draw(RARELY))))
    separator = draw(st.sampled_from([",", " ", "\t"]))
    lines = [separator.join(row) for row in rows]
    if draw(RARELY):
        lines.insert(0, "# a comment")
    return "\n".join(lines).encode()


_FLAGS = ["--no-header", "--delimiter ;", "--delimiter tab", "--robust"]
_FLAGS += ["--pruning none", "--dot DOT", "--estimate", "--bootstrap 2 --seed 1"]
_OPTIONS = st.sampled_from(_FLAGS).map(str.split) | st.tuples(
    st.sampled_from(["--columns", "--exogenous", "--sink", "--before"]),
    st.text("0123ab,:- ", max_size=5),
).map(list)


@bounded(100)
@given(
    csv_files(),
    st.booleans(),
    st.lists(_OPTIONS, max_size=3),
    st.none() | prior_files(),
)
def test_csv_is_refused_or_read(scratch, data, header, options, prior):
    """By the reader and by the command line, which fails in one line."""
    path = scratch / "data.csv"
    path.write_bytes(data)
    try:
        table = read_csv(str(path), header=header)
    except DataError as error:
        event("csv refused")
        message = str(error)
    else:
        event("csv read")
        message = ""
        assert table.data.dtype == np.float64
        assert table.data.ndim == 2
        assert table.data.shape[1] == len(table.names) >= 1
        assert np.isfinite(table.data).all()
    assert "\n" not in message
    argv = ["order", str(path), "--json", "-q", "--threads", "1"]
    argv += [] if header else ["--no-header"]
    dot = str(scratch / "graph.dot")
    argv += [dot if item == "DOT" else item for option in options for item in option]
    if prior is not None:
        (scratch / "prior.txt").write_bytes(prior)
        argv += ["--prior", str(scratch / "prior.txt")]
    out, err = StringIO(), StringIO()
    with redirect_stdout(out), redirect_stderr(err):
        status = main(argv)
    said = err.getvalue()
    event(f"exit status {status}")
    assert "Traceback" not in said
    if status == 0:
        assert not said
        if ["--estimate"] not in options:
            ExhaustiveOrdering.from_json(json.loads(out.getvalue())).to_text()
        return
    assert status in (1, 2)
    if said.startswith("usage: "):  # argparse's own: the usage, then the error
        assert status == 2
        said = said.splitlines(keepends=True)[-1].replace("veldra order: ", "veldra: ")
    assert said.startswith("veldra: error: "), said
    assert said.count("\n") == 1, said


# --- prior knowledge ------------------------------------------------------


@st.composite
def problems(draw):
    """A number of variables, names or none, and constraints as users give
    them: lists, tuples, arrays, single values and generators; half the time
    now and then wrongly: variables out of range, names without names, pairs
    of one or three, matrices of the wrong shape, values or dtype, masked."""
    odd = draw(st.booleans())
    d = draw(st.integers(1, 5))
    names = draw(st.sampled_from([None, tuple("abcde"[:d])]))
    variable = st.integers(0, d - 1)
    if names is not None:
        variable |= st.sampled_from(names)
    if odd:
        variable |= st.integers(-1, d) | st.booleans() | st.floats(-1, d) | st.none()
        variable |= st.sampled_from([np.int64(0), np.int8(d - 1), np.float64(0.0)])
        variable |= st.sampled_from([b"a", "zz", ""])
    pair = st.lists(variable, min_size=2, max_size=2).map(tuple)
    if odd:
        pair |= st.lists(variable, min_size=1, max_size=3).map(tuple) | variable

    def listed(items):
        form = draw(st.sampled_from(["generator", "list", "tuple", "array", "one"]))
        if form == "one":
            return items[0] if items else None
        if form == "tuple":
            return tuple(items)
        if form == "generator":
            return (item for item in items)
        if form == "array":
            with suppress(ValueError):
                return np.array(items)
        return items

    given = {}
    for key, item, most in (
        ("exogenous", variable, 2),
        ("sinks", variable, 2),
        ("required_order", pair, 3),
    ):
        if draw(st.booleans()):
            given[key] = listed(draw(st.lists(item, max_size=most)))
    if draw(st.booleans()):
        side = draw(st.sampled_from([d, d, d, d - 1, d + 1])) if odd else d
        dtype = draw(st.sampled_from([np.int8, np.float64, object, np.int64]))
        if dtype in (np.int8, np.int64):
            values = [-1, 0, 1, 2] if odd else [-1, -1, 0, 1]
        else:
            values = [-1, -1, 0, 1] + ([2, 0.5, np.nan, -1.0] if odd else [])
        matrix = draw(hnp.arrays(dtype, (side, side), elements=st.sampled_from(values)))
        forms = ["array", "list", "rows", "masked", "text"]
        form = draw(st.sampled_from(forms if odd else forms[:3]))
        if form == "list":
            matrix = matrix.tolist()
        elif form == "rows":
            matrix = (row for row in matrix.tolist())
        elif form == "masked":
            mask = draw(hnp.arrays(np.bool_, matrix.shape))
            matrix = np.ma.masked_array(matrix, mask=mask)
        elif form == "text":
            matrix = matrix.astype(str)
        given["prior_knowledge"] = matrix
    return d, names, given


@cache
def _sample(d):
    rng = np.random.default_rng(d)
    X = rng.uniform(-1, 1, (60, d))
    for j in range(1, d):
        X[:, j] += 0.8 * X[:, j - 1]
    return X


_CONSTRAINTS = ("exogenous", "sinks", "required_order", "prior_knowledge")


@bounded(140)
@given(problems())
def test_knowledge_is_refused_or_used(problem):
    """Knowledge: order constraints some order satisfies, read-only forbidden
    edges. Generators are read once: fit, bootstrap and the record see what
    was given, as they do when it is given as lists."""
    d, names, drawn = problem
    lazy = {key for key, value in drawn.items() if hasattr(value, "__next__")}
    lists = {key: list(v) if key in lazy else v for key, v in drawn.items()}

    def again():  # the generators anew
        return {key: (i for i in v) if key in lazy else v for key, v in lists.items()}

    try:
        found = make_knowledge(d, names, **again())
    except REFUSED:
        event("knowledge refused")
        found = None
    if found is not None:
        assert isinstance(found, Knowledge)
        assert len(found.predecessors) == d
        assert not any(before >> d for before in found.predecessors)
        assert found.forbidden.shape == (d, d)
        assert not found.forbidden.flags.writeable
        graph = {
            j: [i for i in range(d) if p >> i & 1]
            for j, p in enumerate(found.predecessors)
        }
        # static_order raises CycleError if no order satisfies them.
        assert found.satisfied_by(list(TopologicalSorter(graph).static_order()))
    X = pd.DataFrame(_sample(d), columns=list(names)) if names else _sample(d)
    try:
        with quiet():
            expected = ExhaustiveOrdering(n_threads=1, **lists).fit(X)
    except REFUSED:
        with pytest.raises(REFUSED), quiet():
            ExhaustiveOrdering(n_threads=1, **again()).fit(X)
        return
    event("knowledge fitted" + (", from a generator" if lazy else ""))
    model = ExhaustiveOrdering(n_threads=1, **again())
    with quiet():
        model.fit(X)
        boot = model.bootstrap(X, 1, random_state=0)
        expected_boot = expected.bootstrap(X, 1, random_state=0)
    check_fitted(model, d)
    assert model.constraints_ == expected.constraints_
    np.testing.assert_array_equal(boot.orders, expected_boot.orders)
    record = json.loads(model.to_json(boot))
    wanted = json.loads(expected.to_json(expected_boot))
    assert [record[k] for k in _CONSTRAINTS] == [wanted[k] for k in _CONSTRAINTS]
    assert ExhaustiveOrdering.from_json(record).constraints_ == model.constraints_


# --- JSON records ---------------------------------------------------------


@cache
def _records():
    """Valid records: without names, with names, knowledge and a bootstrap,
    and of one column."""
    prior = -np.ones((4, 4))
    prior[3, 0] = 0  # no edge p -> s
    frame = pd.DataFrame(_sample(4), columns=["p", "q", "r", "s"])
    with quiet():
        plain = ExhaustiveOrdering(n_threads=1).fit(_sample(3))
        named = ExhaustiveOrdering(
            n_threads=1,
            exogenous=["p"],
            required_order=[("q", "s")],
            prior_knowledge=prior,
        ).fit(frame)
        boot = named.bootstrap(frame, 2, random_state=1)
        single = ExhaustiveOrdering(n_threads=1).fit(_sample(1))
    return tuple(
        json.loads(model.to_json(bootstrap))
        for model, bootstrap in ((plain, None), (named, boot), (single, None))
    )


_JSON = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-3, 9)
    | st.floats()
    | st.text("abpqx", max_size=3),
    lambda children: (
        st.lists(children, max_size=4)
        | st.dictionaries(st.text("ab", max_size=2), children, max_size=3)
    ),
    max_leaves=10,
)


def _mutate(draw, value, keys):
    """One change in a dict or list, or in a dict or list inside it: an entry
    set to another JSON value, removed, appended or swapped with another."""
    key = draw(st.sampled_from(keys))
    hows = ["set", "remove"] + (["append", "swap"] if isinstance(value, list) else [])
    if isinstance(value[key], dict | list) and value[key]:
        hows.append("inside")
    how = draw(st.sampled_from(hows))
    if how == "inside":
        inner = value[key]
        _mutate(
            draw, inner, sorted(inner) if isinstance(inner, dict) else range(len(inner))
        )
    elif how == "set":
        value[key] = draw(_JSON | st.floats(-2, 2))
    elif how == "remove":
        del value[key]
    elif how == "append":
        value.append(draw(_JSON))
    else:
        other = draw(st.sampled_from(keys))
        value[key], value[other] = value[other], value[key]


@st.composite
def mutated_records(draw):
    """A valid record with one (now and then two or three) changes, as a
    dict, JSON text or bytes; now and then any JSON value or bytes instead."""
    if draw(RARELY):
        return draw(_JSON | st.binary(max_size=8))
    record = json.loads(json.dumps(draw(st.sampled_from(_records()))))
    for _ in range(draw(st.integers(2, 3)) if draw(RARELY) else 1):
        # The keys every record needs, twice as likely as the others.
        needed = [
            key
            for key in ("column_names", "order", "adjacency_matrix")
            if key in record
        ]
        _mutate(draw, record, sorted(record) + needed)
    text = json.dumps(record)
    return draw(st.sampled_from([record, text, text.encode()]))


@bounded(100)
@given(mutated_records())
def test_records_are_refused_or_loaded(record):
    try:
        model = ExhaustiveOrdering.from_json(record)
    except REFUSED:
        event("record refused")
        return
    event("record loaded")
    d = model.n_features_in_
    check_fitted(model, d)
    model.summary()
    model._as_result()._repr_html_()
    X = _sample(d)
    with quiet():
        if d > 1:
            first, second = model.causal_order_[:2].tolist()
            model.estimate_total_effect(X, first, second)
        model.get_error_independence_p_values(X)


def test_records_from_the_library_load():
    """The mutations start from records that load (a property that refuses
    everything proves nothing)."""
    for record in _records():
        check_fitted(ExhaustiveOrdering.from_json(record), len(record["column_names"]))
