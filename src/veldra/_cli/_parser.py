"""The command line's arguments: the ``order`` command, its options and
their checks, with examples in the help."""

from __future__ import annotations

import argparse
import re
from typing import get_args

import veldra

__all__ = ["ascii_integer", "build_parser"]

_INTEGER = re.compile(r"[+-]?[0-9]+")


def ascii_integer(text: str, *, signed: bool = True) -> int | None:
    """``text`` as an integer if it is one written with the digits 0-9 (and
    a sign, when ``signed``), else None.

    ``int`` alone reads any Unicode digits, superscripts aside: an
    Arabic-Indic or a mathematical bold one would be taken for 1.
    """
    if not _INTEGER.fullmatch(text) or (not signed and not text.isdigit()):
        return None
    return int(text)


def _integer(text: str) -> int:
    """An integer option's value; argparse names the option in the error."""
    value = ascii_integer(text.strip())
    if value is None:
        raise argparse.ArgumentTypeError(
            f"expected a whole number written with the digits 0-9, got {text!r}"
        )
    return value


def _thread_count(text: str) -> int:
    value = _integer(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {value}")
    return value


def _pair(text: str) -> tuple[str, str]:
    first, colon, second = text.partition(":")
    first, second = first.strip(), second.strip()
    if not colon or not first or not second or ":" in second:
        raise argparse.ArgumentTypeError(
            f"expected A:B (column A comes before column B), got {text!r}"
        )
    return first, second


def _delimiter(text: str) -> str:
    text = {"tab": "\t", "\\t": "\t"}.get(text, text)
    if len(text) != 1:
        raise argparse.ArgumentTypeError(
            f"must be a single character (or 'tab'), got {text!r}"
        )
    return text


EXAMPLES = """\
examples:
  veldra order data.csv                      order, diagnostics and graph
  veldra order data.csv --columns age,dose,3-5
                                             only these columns (names,
                                             0-based indices and ranges)
  veldra order data.csv --bootstrap 100 --seed 0
                                             how often each edge and place
                                             comes back on resampled rows
  veldra order data.csv --json --dot g.dot   JSON on stdout, the graph in
                                             Graphviz DOT (dot -Tpng g.dot)
  veldra order data.csv --exogenous age --sink risk --before dose:level
                                             only orders with age first, risk
                                             last and dose before level
  veldra order data.csv --prior known.csv    lingam's prior-knowledge matrix
                                             (row i, column j: 1 a path from
                                             j to i, 0 none, -1 not known)
  veldra order data.csv --plot graph.png     the graph as a picture
  veldra order data.csv --robust             a few wild values limited first
  veldra order data.csv --estimate           the search's size and time only
  veldra order data.csv --checkpoint run.ckpt
                                             resumable: run again after
                                             Ctrl-C or a crash to go on
  veldra order - --no-header < numbers.csv   from stdin, columns x0, x1, ...
"""


def _count(text: str) -> int:
    value = _integer(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {value}")
    return value


def _seed(text: str) -> int:
    value = _integer(text)
    if not 0 <= value < 2**32:
        raise argparse.ArgumentTypeError(f"must be 0 to 2**32 - 1, got {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="veldra",
        description=(
            "Exact causal order of linear non-Gaussian data, by exhaustive "
            "search over all orders of the variables."
        ),
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--version", action="version", version=f"veldra {veldra.__version__}"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    order = commands.add_parser(
        "order",
        help="causal order and weighted graph of the columns of a CSV file",
        description=(
            "Find the causal order of the columns of a numeric CSV file by "
            "exhaustive search over all 2^d subsets of the d columns (at most "
            f"{veldra.MAX_FEATURES}), then the direct effects of each column on the "
            "later ones. Prints the order, its score and its margin over the "
            "runner-up order, the cost of the search, how non-Gaussian each "
            "column's residuals are and the graph: the adjacency matrix B, "
            "where B[i, j] is the direct effect of column j on column i, or "
            "for many columns the list of its edges. Warnings on stderr say "
            "when not to trust the answer: discrete or outlier-ridden columns, "
            "duplicated rows or a written-out row index before the search; "
            "after it, residuals that are too Gaussian or dependent, or a "
            "lead over the runner-up within its sampling noise. "
            "Searches expected to take more than a few seconds are announced "
            "with their size on stderr, and their progress is shown while they "
            "run; Ctrl-C stops within a second (--checkpoint keeps the work "
            "done, to resume from)."
        ),
        epilog=EXAMPLES
        + (
            "\nexit status: 0 success, 1 unusable input, unwritable output or\n"
            "out of memory, 2 command-line error, 130 interrupted. The method\n"
            "assumes a linear acyclic model with independent non-Gaussian\n"
            "noise and no hidden confounders.\n"
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    order.add_argument("file", metavar="FILE", help="CSV file to read ('-': stdin)")
    order.add_argument(
        "--no-header",
        dest="header",
        action="store_false",
        help="the first row is data; columns are named x0, x1, ...",
    )
    order.add_argument(
        "--delimiter",
        type=_delimiter,
        default=",",
        metavar="CHAR",
        help="field separator (default ','; 'tab' for tabs)",
    )
    order.add_argument(
        "--columns",
        metavar="LIST",
        help="the columns to analyse, in this order: names, 0-based indices "
        "and ranges of indices, separated by commas (such as a,b,4-6); the "
        "output's indices count these",
    )
    order.add_argument(
        "--reference",
        choices=sorted(get_args(veldra.ReferenceName)),
        default="normal",
        help="distribution the residuals are compared with (default: normal)",
    )
    order.add_argument(
        "--pruning",
        choices=get_args(veldra.Pruning),
        default="adaptive_lasso",
        help="how direct effects are pruned once the order is known: an "
        "adaptive lasso (default) or none (plain least squares)",
    )
    order.add_argument(
        "--criterion",
        choices=get_args(veldra.Criterion),
        default="bic",
        help="information criterion of the adaptive lasso (default: bic)",
    )
    order.add_argument(
        "--threads",
        type=_thread_count,
        default=None,
        metavar="N",
        help="threads for the search (default and 0: the CPUs this process "
        "may use; more are not used)",
    )
    order.add_argument(
        "--exogenous",
        action="append",
        metavar="VARS",
        help="columns known to come first (root causes: no edge into them); "
        "names or 0-based indices separated by commas; may be repeated",
    )
    order.add_argument(
        "--sink",
        action="append",
        metavar="VARS",
        help="columns known to come last (no edge out of them); as --exogenous",
    )
    order.add_argument(
        "--before",
        action="append",
        type=_pair,
        metavar="A:B",
        help="column A comes before column B (names or indices); may be repeated",
    )
    order.add_argument(
        "--prior",
        metavar="FILE",
        help="lingam's prior-knowledge matrix, d rows of d entries separated "
        "by commas or spaces: at row i, column j, 1 if column j has a path to "
        "column i (j comes first), 0 if it has none (no edge j -> i), -1 if "
        "not known; a row of 0 makes i exogenous, a column of 0 makes j a sink",
    )
    order.add_argument(
        "--robust",
        action="store_true",
        help="limit each column's extreme values to its median +- 5 robust "
        "standard deviations before the search (for a few wild rows, such as "
        "mistyped cells; not for data whose heavy tails are real)",
    )
    order.add_argument(
        "--bootstrap",
        type=_count,
        metavar="N",
        help="also search N resamples of the rows and report how often each "
        "edge and each place in the order comes back",
    )
    order.add_argument(
        "--seed",
        type=_seed,
        metavar="S",
        help="seed of the --bootstrap resampling (default: a fresh one)",
    )
    order.add_argument(
        "--checkpoint",
        metavar="FILE",
        help="save the search to FILE from time to time and when stopped, "
        "and resume from FILE when it holds this search",
    )
    order.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run the search on the Dask cluster whose scheduler is at "
        "ADDRESS (such as tcp://host:8786): each worker runs one task of "
        "about 2 s at a time on all its threads, with a second one waiting; "
        "needs veldra[distributed] here and veldra on the workers "
        "(--estimate still describes this machine)",
    )
    order.add_argument(
        "--json",
        action="store_true",
        help="print one JSON object on stdout instead of text",
    )
    order.add_argument(
        "--dot",
        metavar="OUT",
        help="also write the graph to OUT in Graphviz DOT format",
    )
    order.add_argument(
        "--plot",
        metavar="OUT",
        help="also draw the graph, layered by the causal order, to OUT "
        "(.png, .svg or .pdf; needs matplotlib)",
    )
    order.add_argument(
        "--estimate",
        action="store_true",
        help="only print the size of the search and the estimated time of the "
        "run, its checks included (--bootstrap N adds N more searches)",
    )
    order.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no size announcement, progress or warning on stderr",
    )
    return parser
