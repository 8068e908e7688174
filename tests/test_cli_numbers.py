"""Numbers on the command line are written with the digits 0-9: other
scripts' digits are refused with the option, the value and what is
expected, not read as the number they stand for nor ended in a traceback."""

import re

import pytest
from simulate import simulate

from veldra._cli import main

ZERO, ONE = "\u0660", "\u0661"  # Arabic-Indic
BOLD_ONE = "\U0001d7cf"  # mathematical bold
SQUARED = "\u00b2"  # superscript two
PRIOR = object()  # stands for a prior-knowledge file holding an Arabic-Indic 1


@pytest.fixture(scope="module")
def data_csv(tmp_path_factory):
    path = tmp_path_factory.mktemp("numbers") / "data.csv"
    rows = simulate(300, 3, seed=2).X.tolist()
    path.write_text("age,dose,risk\n" + "\n".join(",".join(map(repr, r)) for r in rows))
    return path


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--threads", ONE], "--threads: expected a whole number"),  # read as 1
        (["--bootstrap", BOLD_ONE], "--bootstrap: expected a whole"),  # read as 1
        (["--bootstrap", "2", "--seed", ONE], "--seed: expected a whole"),  # read as 1
        (["--columns", SQUARED], "--columns: no column named '.'"),  # a traceback
        (["--columns", f"{ZERO}-{ONE}"], "--columns: no column named"),  # read as 0-1
        (["--exogenous", SQUARED], "--exogenous: no column named '.'"),  # a traceback
        (["--sink", ONE], "--sink: no column named '.'"),  # read as column 1
        (["--before", f"{SQUARED}:age"], "--before: no column named '.'"),  # traceback
        (["--prior", PRIOR], r"line 1, field 2: '.' is not 0 \(no path\)"),  # read as 1
    ],
)
def test_other_scripts_digits_are_refused(data_csv, capsys, args, message):
    prior = data_csv.parent / "prior.txt"
    prior.write_text(f"0,{ONE},0\n0,0,0\n0,0,0\n")
    args = [str(prior) if arg is PRIOR else arg for arg in args]
    assert main(["order", str(data_csv), "--json", *args]) in (1, 2)
    err = capsys.readouterr().err
    assert re.search(message, err)
    if "no column named" in message:
        assert "(indices are written with the digits 0-9; the columns: age" in err
