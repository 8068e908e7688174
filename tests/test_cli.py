import ast
import json
import os
import re
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from simulate import backward_edges, simulate

import veldra
from veldra import _threads
from veldra._cli import main
from veldra._cli._input import read_csv
from veldra._export import format_dot


def write_csv(path, X, names=None, delimiter=","):
    lines = [] if names is None else [delimiter.join(names)]
    lines += [delimiter.join(repr(float(v)) for v in row) for row in X]
    path.write_text("\n".join(lines) + "\n")
    return path


def run(*args, timeout=120):
    return subprocess.run(
        [sys.executable, "-m", "veldra", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        check=False,
    )


@pytest.fixture(scope="module")
def sim():
    return simulate(2000, 5, noise="uniform", seed=11)


@pytest.fixture
def sim_csv(tmp_path, sim):
    names = ["age", "dose", "level", "risk", "score"]
    return write_csv(tmp_path / "data.csv", sim.X, names), names


def test_json_matches_the_library(sim, sim_csv, tmp_path):
    path, names = sim_csv
    done = run("order", path, "--json", "--threads", "1")
    assert done.returncode == 0, done.stderr
    record = json.loads(done.stdout)  # stdout holds the object alone

    expected = veldra.causal_order(sim.X, n_threads=1)
    model = veldra.ExhaustiveOrdering(n_threads=1).fit(sim.X)
    assert record["order"] == expected.order.tolist()
    assert record["order_names"] == [names[j] for j in expected.order]
    assert record["column_names"] == names
    assert (record["schema"], record["schema_version"]) == ("veldra.order", 1)
    assert record["warnings"] == []
    assert record["bootstrap"] is None
    np.testing.assert_allclose(record["non_gaussianity"], expected.non_gaussianity)
    assert record["margin"] == pytest.approx(expected.margin)
    assert record["score"] == pytest.approx(expected.score, rel=1e-6)
    np.testing.assert_allclose(record["adjacency_matrix"], model.adjacency_matrix_)
    assert record["n_evaluations"] == 5 * 2**4
    assert record["n_threads"] == 1
    assert record["n_samples"] == 2000
    assert record["seconds"] >= 0
    assert backward_edges(sim.B, record["order"]) == []
    assert "Traceback" not in done.stderr


def test_text_report(sim, sim_csv, capsys):
    path, names = sim_csv
    assert main(["order", str(path), "--threads", "2", "--pruning", "none"]) == 0
    out = capsys.readouterr().out
    expected = veldra.causal_order(sim.X, n_threads=1)
    listed = re.findall(
        r"^\s+\d+\. (\w+)\s+\(column (\d+)\)\s+[\d.]+  p [<=] [\d.]+$",
        out,
        re.MULTILINE,
    )
    assert [name for name, _ in listed] == [names[j] for j in expected.order]
    assert [int(j) for _, j in listed] == expected.order.tolist()
    assert f"score: {expected.score:.6g}, ahead of the runner-up" in out
    assert "80 score evaluations" in out
    assert "on 2 threads" in out
    # The matrix: a header of names, then one row per variable, B[i, j] in
    # row i and column j; without pruning every earlier variable has an
    # effect on every later one.
    table = out.split("direct effect of j on i):\n")[1].splitlines()
    assert table[0].split() == names
    rows = [line.split() for line in table[1:6]]
    assert [row[0] for row in rows] == names
    position = {j: k for k, j in enumerate(expected.order)}
    for i in range(5):
        for j in range(5):
            assert (rows[i][1 + j] != "0") == (position[j] < position[i])


def test_dot_file_holds_the_graph(sim_csv, tmp_path, capsys):
    path, names = sim_csv
    dot = tmp_path / "graph.dot"
    assert main(["order", str(path), "--json", "--dot", str(dot), "-q"]) == 0
    record = json.loads(capsys.readouterr().out)
    text = dot.read_text()
    assert text.startswith("digraph veldra {\n")
    assert text.endswith("}\n")
    nodes = dict(re.findall(r'^  n(\d+) \[label="([^"]*)"\];$', text, re.MULTILINE))
    assert nodes == {str(j): name for j, name in enumerate(names)}
    edges = re.findall(r'^  n(\d+) -> n(\d+) \[label="([^"]+)"\];$', text, re.MULTILINE)
    B = np.array(record["adjacency_matrix"])
    assert {(int(j), int(i)) for j, i, _ in edges} == {
        (int(j), int(i)) for i, j in zip(*np.nonzero(B), strict=True)
    }
    for j, i, label in edges:
        assert float(label) == pytest.approx(B[int(i), int(j)], rel=1e-3)
    # Every line is a node, an edge or a brace: nothing else slipped in.
    assert len(text.splitlines()) == 2 + len(names) + len(edges)
    # The library writes the same DOT, from the same JSON.
    assert veldra.ExhaustiveOrdering.from_json(record).to_dot() == text


def test_dot_escapes_names():
    text = format_dot(np.array([[0.0, 0.0], [-0.5, 0.0]]), ['say "hi"', "a\\b\nc"])
    assert '  n0 [label="say \\"hi\\""];' in text
    assert '  n1 [label="a\\\\b\\nc"];' in text
    assert '  n0 -> n1 [label="-0.5"];' in text


def test_no_header_names_columns_by_position(sim, tmp_path, capsys):
    path = write_csv(tmp_path / "plain.csv", sim.X[:300])
    assert main(["order", str(path), "--no-header", "--json", "--threads", "1"]) == 0
    record = json.loads(capsys.readouterr().out)
    assert record["column_names"] == [f"x{j}" for j in range(5)]
    assert record["n_samples"] == 300  # the first row is data


@pytest.mark.parametrize("delimiter", [";", "\t"])
def test_read_csv_delimiters_blank_lines_and_bom(tmp_path, delimiter):
    text = f"\ufeffa{delimiter} b \n\n1{delimiter} 2.5\n-3e2{delimiter}4\n\n"
    path = tmp_path / "t.csv"
    path.write_text(text, encoding="utf-8")
    table = read_csv(str(path), delimiter=delimiter)
    assert table.names == ("a", "b")
    np.testing.assert_array_equal(table.data, [[1.0, 2.5], [-300.0, 4.0]])


def test_delimiter_option(tmp_path, capsys):
    path = tmp_path / "t.tsv"
    rng = np.random.default_rng(0)
    write_csv(path, rng.uniform(size=(50, 3)), ["p", "q", "r"], delimiter="\t")
    assert main(["order", str(path), "--delimiter", "tab", "--json", "-q"]) == 0
    assert json.loads(capsys.readouterr().out)["column_names"] == ["p", "q", "r"]


def _wide(count):
    header = ",".join(f"v{j}" for j in range(count))
    return header + "\n" + ",".join("1" for _ in range(count)) + "\n"


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (None, r"missing\.csv: no such file"),
        ("", r"the file is empty"),
        ("\n\n", r"the file is empty"),
        ("a,b\n1,2\n3,x7\n", r"line 3, column 'b': the cell holds 'x7', not a number"),
        ("a,b\n1,2\n,4\n", r"line 3, column 'a': the cell is empty"),
        ("a,b\n1,2\n3,4,5\n", r"line 3: 3 fields, expected 2"),
        ("a,b\n1,2\n3,nan\n", r"line 3, column 'b'.*'nan', not a finite number"),
        (_wide(31), r"31 columns.*at most 30.*more than 2\^d bytes.*evaluations"),
        ("a,b,c\n1,5,2\n2,5,4\n3,5,1\n", r"column 'b' is constant"),
        ("a,b,c\n1,2,1\n2,4,5\n3,6,2\n4,8,0\n", r"'a' and 'b' are exactly collinear"),
        ("a,b\n1,2\n", r"at least 2 samples"),
        # An unclosed quote used to be reported as "1 fields, expected 2".
        ('a,b\n1,"2\n3,4\n', r"line 2: a quote \(\"\) opens a field that is not"),
        # In the header it used to make one name of the rest of the file.
        ('",b\n1,2\n3,4\n', r"line 1: a quote \(\"\) opens a field .* line 3\)$"),
        ("a;b\n1;2\n3;4\n", r"line 2, column 'a;b'.*try --delimiter ';'$"),
        ("a,b\n1\t2\n", r"line 2: 1 fields, expected 2.*try --delimiter tab$"),
        ("a,b,a\n1,2,4\n2,5,3\n3,1,7\n", r"'a' is the name of columns 0, 2"),
    ],
    ids=[
        "missing",
        "empty",
        "blank",
        "text",
        "empty-cell",
        "ragged",
        "nan",
        "too-wide",
        "constant",
        "collinear",
        "one-row",
        "open-quote",
        "open-quote-header",
        "semicolons",
        "tabs",
        "duplicate-names",
    ],
)
def test_data_errors(tmp_path, capsys, content, message):
    path = tmp_path / "missing.csv"
    if content is not None:
        path.write_text(content)
    assert main(["order", str(path)]) == 1
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err.startswith("veldra: error: ")
    assert captured.err.count("\n") == 1
    assert re.search(message, captured.err)


def test_data_errors_end_to_end(tmp_path):
    bad = tmp_path / "bad.csv"
    bad.write_text("a,b\n1,2\n3,4\n5,oops\n")
    messages = []
    for target in (bad, tmp_path / "none.csv", tmp_path):
        done = run("order", target)
        assert done.returncode == 1
        assert done.stdout == ""
        assert done.stderr.startswith("veldra: error: ")
        assert "Traceback" not in done.stderr
        messages.append(done.stderr)
    assert "line 4, column 'b'" in messages[0]
    assert "no such file" in messages[1]
    assert "is a directory" in messages[2]


def test_unwritable_dot_file(sim_csv, tmp_path, capsys):
    path, _ = sim_csv
    target = tmp_path / "no" / "such" / "dir.dot"
    assert main(["order", str(path), "--dot", str(target), "-q"]) == 1
    assert "cannot write" in capsys.readouterr().err


@pytest.mark.parametrize(
    "args",
    [
        ["order"],
        ["order", "x.csv", "--seed", "3"],
        ["order", "x.csv", "--bootstrap", "0"],
        ["order", "x.csv", "--threads", "-1"],
        ["order", "x.csv", "--threads", "two"],
        ["order", "x.csv", "--reference", "cauchy"],
        ["order", "x.csv", "--pruning", "lasso"],
        ["order", "x.csv", "--delimiter", "::"],
        ["frobnicate"],
    ],
)
def test_usage_errors(capsys, args):
    assert main(args) == 2
    err = capsys.readouterr().err
    assert "usage: veldra" in err
    assert "Traceback" not in err


def test_version_and_help(capsys):
    done = run("--version")
    assert done.returncode == 0
    assert done.stdout.strip() == f"veldra {veldra.__version__}"
    assert main(["order", "--help"]) == 0
    help_text = capsys.readouterr().out
    for option in ("--no-header", "--json", "--dot", "--threads", "--columns"):
        assert option in help_text
    assert "exit status" in help_text
    assert "examples:\n  veldra order data.csv" in help_text
    # No command: the overview, with the examples, and no error.
    assert main([]) == 0
    captured = capsys.readouterr()
    assert "usage: veldra" in captured.out
    assert "examples:" in captured.out
    assert captured.err == ""


def test_estimate_only(sim_csv, capsys):
    path, _ = sim_csv
    assert main(["order", str(path), "--estimate", "--json", "--threads", "1"]) == 0
    record = json.loads(capsys.readouterr().out)
    cost = veldra.estimate_cost(2000, 5, n_threads=1)
    assert record["n_evaluations"] == cost.n_evaluations
    # The numbers as read are the copy the search standardises; reading adds
    # a block of text rows.
    assert cost.memory_bytes < record["memory_bytes"] < cost.memory_bytes + 2**22
    assert record["seconds"] > 0


def _long_run_features(n):
    """Features that make a search of n samples last at least 20 s here."""
    for d in range(12, 21):
        if veldra.estimate_cost(n, d, n_threads=1).seconds > 20:
            return d
    pytest.skip("no search of up to 20 features takes 20 s on this machine")


def test_ctrl_c_ends_a_long_search_promptly(tmp_path):
    n = 2000  # at 200 samples even 20 features end too soon since the speed-up
    d = _long_run_features(n)
    X = np.random.default_rng(5).laplace(size=(n, d))
    path = write_csv(tmp_path / "big.csv", X, [f"c{j}" for j in range(d)])
    checkpoint = tmp_path / "run.ckpt"
    command = ["order", str(path), "--threads", "1", "--checkpoint", str(checkpoint)]
    process = subprocess.Popen(
        [sys.executable, "-m", "veldra", *command],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        # A shell running the tests in the background ignores SIGINT, and
        # the child would inherit that: give it the default disposition.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),  # noqa: PLW1509
    )
    try:
        # The size of a long run is announced just before the search starts.
        announcement = process.stderr.readline()
        assert "score evaluations" in announcement
        assert "estimated" in announcement
        time.sleep(0.5)  # well inside the search
        process.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = process.communicate(timeout=15)
        # The search stops within a range of its levels, a fraction of a second.
        assert time.monotonic() - sent < 3
    finally:
        process.kill()
        process.wait()
    assert process.returncode == 130
    assert f"veldra: interrupted; the search so far is saved in {checkpoint}" in err
    assert "Traceback" not in err
    assert out == ""
    assert checkpoint.exists()


def test_checkpoint_option_resumes(tmp_path, capsys):
    rng = np.random.default_rng(8)
    path = write_csv(tmp_path / "d.csv", rng.laplace(size=(300, 5)), "abcde")
    checkpoint = tmp_path / "run.ckpt"
    records = []
    for _ in range(2):
        command = ["order", str(path), "--json", "--checkpoint", str(checkpoint)]
        assert main(command) == 0
        record = json.loads(capsys.readouterr().out)
        del record["seconds"]
        records.append(record)
    assert records[0] == records[1]
    assert checkpoint.exists()
    other = write_csv(tmp_path / "e.csv", rng.laplace(size=(300, 5)), "abcde")
    assert main(["order", str(other), "--checkpoint", str(checkpoint)]) == 1
    assert "belongs to a search with other data" in capsys.readouterr().err


def _child(args, setup):
    """The command in a child process, its stdout full or closed, or limited."""
    what, _, value = setup.partition("=")

    def prepare():
        if what in ("AS", "FSIZE"):
            limit = getattr(resource, f"RLIMIT_{what}")
            resource.setrlimit(limit, (int(value), int(value)))
        elif what == "close":
            os.close(int(value))

    with open("/dev/full", "w") as full:
        return subprocess.run(
            [sys.executable, "-m", "veldra", "order", *map(str, args)],
            stdin=subprocess.DEVNULL,
            stdout=full if what == "full" else subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            timeout=300,
            check=False,
            preexec_fn=prepare,
        )


@pytest.fixture(scope="module")
def places(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli")
    rng = np.random.default_rng(3)
    (root / "bad.csv").write_text("a,b\n1,2\n3,oops\n")
    return {
        "root": root,
        "small": write_csv(root / "small.csv", rng.laplace(size=(60, 3)), "abc"),
        "wide": write_csv(
            root / "wide.csv", rng.laplace(size=(60, 30)), [f"c{k}" for k in range(30)]
        ),
        "bad": root / "bad.csv",
    }


# Each used to end in a traceback (or, for the output file, to be found out
# only after the search, or to leave a truncated file).
@pytest.mark.parametrize(
    ("args", "setup", "message"),
    [
        (["{small}", "--threads", 2**64, "--estimate", "-q"], "", None),
        (["{small}", "--threads", 2**64, "--json"], "", "warning: --threads 1844"),
        (["{small}"], "full", "cannot write the results to standard output: No"),
        (["{small}", "--json"], "full", "No space left on device"),
        (["{small}", "--estimate"], "full", "No space left on device"),
        (["{small}"], "close=1", "standard output is closed"),
        (["{small}", "--json"], "close=1", "standard output is closed"),
        (["{small}", "--estimate"], "close=1", "standard output is closed"),
        (["-"], "close=0", "-: standard input is closed"),
        (["/dev/zero"], f"AS={2**30}", "line 1: longer than 1,048,576 characters"),
        (["{wide}", "-q"], f"AS={2_500_000 * 1024}", "out of memory: "),
        (["{bad}", "--dot", "{root}/no/dir.dot"], "", "no/dir.dot: cannot write"),
        (["{small}", "--dot", "{root}/g.dot", "-q"], "FSIZE=20", "File too large"),
        (["{small}", "--checkpoint", ""], "", "the checkpoint's path is empty"),
        (["{small}", "--checkpoint", "{bad}"], "", "is a text file, not a veldra"),
        (["{small}", "--checkpoint", "{root}"], "", "is a directory: give a file"),
    ],
    ids=[
        "huge-threads-estimate",
        "huge-threads",
        "full-text",
        "full-json",
        "full-estimate",
        "closed-text",
        "closed-json",
        "closed-estimate",
        "closed-stdin",
        "dev-zero",
        "no-memory",
        "dot-checked-first",
        "dot-too-large",
        "checkpoint-empty-path",
        "checkpoint-not-a-checkpoint",
        "checkpoint-directory",
    ],
)
def test_failures_are_one_line(places, args, setup, message):
    root = places["root"]
    (root / "g.dot").write_text("the graph before\n")
    before = {path.name: path.read_bytes() for path in root.iterdir()}
    done = _child([str(a).format(**places) for a in args], setup)
    usable = _threads.available_cpus()
    if message is None:  # --quiet: the estimate alone, on the usable CPUs
        assert (done.returncode, done.stderr) == (0, "")
        assert done.stdout.endswith(f" on {usable} thread{'s' * (usable > 1)}\n")
        return
    assert done.stderr.count("\n") == 1, done.stderr
    assert message in done.stderr
    if "warning" in message:
        assert (done.returncode, json.loads(done.stdout)["n_threads"]) == (0, usable)
        return
    assert done.returncode == 1
    assert done.stderr.startswith("veldra: error: ")
    # A failed write leaves every file as it was, and nothing beside them.
    assert {path.name: path.read_bytes() for path in root.iterdir()} == before


INTERRUPTED_SCRIPT = """
import sys
class Interrupt:
    def find_spec(self, name, path=None, target=None):
        if name == sys.argv[1]:
            raise KeyboardInterrupt
sys.meta_path.insert(0, Interrupt())
from veldra._cli import main
sys.exit(main(["order", sys.argv[2]]))
"""


@pytest.mark.parametrize("module", ["numpy", "sklearn", "veldra._exhaustive_kernel"])
def test_ctrl_c_during_start_up(places, module):
    # Ctrl-C while the libraries load used to print a traceback: they were
    # imported before the command could catch it.
    done = subprocess.run(
        [sys.executable, "-c", INTERRUPTED_SCRIPT, module, str(places["small"])],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert (done.returncode, done.stdout) == (130, "")
    assert done.stderr == "veldra: interrupted\n"


@pytest.mark.parametrize(
    ("selection", "picked"),
    [("risk,age", [3, 0]), ("1-3", [1, 2, 3]), ("score,0,2-3", [4, 0, 2, 3])],
)
def test_columns_option(sim, sim_csv, capsys, selection, picked):
    path, names = sim_csv
    assert main(["order", str(path), "--columns", selection, "--json", "-q"]) == 0
    record = json.loads(capsys.readouterr().out)
    assert record["column_names"] == [names[j] for j in picked]
    expected = veldra.causal_order(sim.X[:, picked], n_threads=1)
    assert record["order"] == expected.order.tolist()
    # The text names the columns by their place in the file.
    assert main(["order", str(path), "--columns", selection, "-q"]) == 0
    listed = re.findall(
        r"^\s+\d+\. (\w+)\s+\(column (\d+)\)", capsys.readouterr().out, re.MULTILINE
    )
    assert {name: int(j) for name, j in listed} == {names[j]: j for j in picked}


@pytest.mark.parametrize(
    ("selection", "message"),
    [
        ("age,wage", r"no column named 'wage' \(the columns: age, dose"),
        ("2-9", r"'2-9' is out of range; the indices run from 0 to 4"),
        ("age,0", r"column 'age' is selected twice"),
        ("age,,dose", r"an empty item"),
    ],
)
def test_columns_errors(sim_csv, capsys, selection, message):
    path, _ = sim_csv
    assert main(["order", str(path), "--columns", selection]) == 1
    assert re.search(message, capsys.readouterr().err)


def test_wide_file_is_searched_through_columns(tmp_path, capsys):
    path = tmp_path / "wide.csv"
    rows = np.random.default_rng(0).laplace(size=(300, 40)).astype(str)
    rows[:, 0] = "n/a"  # not read: only the selected columns are numbers
    path.write_text(_wide(40).splitlines()[0] + "\n" + "\n".join(map(",".join, rows)))
    assert main(["order", str(path)]) == 1
    assert "--columns 0-29" in capsys.readouterr().err
    # Nine columns, the text cell in column 0 left out: edges, not a matrix.
    assert main(["order", str(path), "--columns", "1-9", "-q"]) == 0
    out = capsys.readouterr().out
    assert "edges (cause -> effect: direct effect):\n" in out
    assert "adjacency matrix" not in out


def test_bootstrap_in_text_and_json(sim, sim_csv, capsys):
    path, names = sim_csv
    args = ["order", str(path), "--bootstrap", "4", "--seed", "7", "--threads", "1"]
    assert main([*args, "--json", "-q"]) == 0
    record = json.loads(capsys.readouterr().out)
    boot = veldra.ExhaustiveOrdering(n_threads=1).bootstrap(sim.X, 4, random_state=7)
    assert record["bootstrap"]["n_sampling"] == 4
    assert record["bootstrap"]["random_state"] == 7
    np.testing.assert_array_equal(
        record["bootstrap"]["edge_probabilities"], boot.edge_probabilities
    )
    np.testing.assert_array_equal(
        record["bootstrap"]["position_probabilities"], boot.position_probabilities
    )
    assert main([*args, "-q"]) == 0
    out = capsys.readouterr().out
    assert "bootstrap, 4 resamples (seed 7):" in out
    edges = re.findall(r"^    (\w+) -> (\w+)\s+(\S+)$", out, re.MULTILINE)
    share = boot.edge_probabilities
    assert {(a, b): float(p) for a, b, p in edges} == {
        (names[j], names[i]): pytest.approx(share[i, j], abs=0.005)
        for i, j in zip(*np.nonzero(share), strict=True)
    }


def test_identifiability_warning_on_stderr_and_in_json(tmp_path, capsys):
    X = np.random.default_rng(1).standard_normal((800, 3)) @ [
        [1, 0.5, 0],
        [0, 1, 0.7],
        [0, 0, 1],
    ]
    path = write_csv(tmp_path / "gauss.csv", X, ["p", "q", "r"])
    assert main(["order", str(path), "--json"]) == 0
    captured = capsys.readouterr()
    messages = json.loads(captured.out)["warnings"]
    assert any("not identifiable" in message for message in messages)
    assert captured.err == "".join(f"veldra: warning: {m}\n" for m in messages)
    assert main(["order", str(path), "--json", "-q"]) == 0
    assert capsys.readouterr().err == ""


def test_plot_robust_and_data_warnings(sim, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    X = np.column_stack([np.arange(len(sim.X)), sim.X])
    X[7, 2] *= 1e6
    path = write_csv(tmp_path / "wild.csv", X, ["", *"abcde"])
    picture = tmp_path / "g.svg"
    args = ["order", str(path), "--columns", "1-5", "--plot", str(picture)]
    assert main(args) == 0
    err = capsys.readouterr().err
    assert "OutlierWarning" not in err
    assert "column 'b' has 1 row far beyond" in err
    assert picture.read_text().startswith("<?xml")
    assert main(["order", str(path), "--robust"]) == 0
    captured = capsys.readouterr()
    assert "robust: values beyond" in captured.out
    assert "column 'b' has 1 row" not in captured.err  # limited, not warned about
    assert "the first column (column 'x0') holds the row numbers 0" in captured.err
    assert main(["order", str(path), "--plot", str(tmp_path / "g.gif")]) == 2
    assert ".png, .svg or .pdf" in capsys.readouterr().err


def test_the_command_line_uses_only_the_public_api():
    # Whatever the command needs, users of the library need too: it reaches
    # nothing of veldra beyond its own package but the names veldra exports.
    for path in (Path(veldra.__file__).parent / "_cli").glob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level == 0:
                names = [alias.name for alias in node.names]
                if node.module.startswith("veldra"):
                    assert node.module == "veldra", path.name
                    assert set(names) <= set(veldra.__all__), path.name
            elif isinstance(node, ast.ImportFrom):
                assert node.level == 1, path.name
            elif isinstance(node, ast.Import):
                assert not any(a.name.startswith("veldra.") for a in node.names)
            elif (
                isinstance(node, ast.Attribute)
                and getattr(node.value, "id", "") == "veldra"
            ):
                assert node.attr in veldra.__all__, (path.name, node.attr)
