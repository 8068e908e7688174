"""The ``veldra`` command: causal order and graph of the columns of a CSV file.

Exit status: 0 on success, 1 when the input cannot be used (missing or
unreadable file, malformed CSV, non-numeric or non-finite cells, too many
columns, constant or collinear columns) or the output file cannot be
written, 2 for a command-line mistake (unknown option, bad value), 130 when
interrupted by Ctrl-C.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import json
import math
import os
import sys
import threading
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, TextIO

import numpy as np

from . import __version__
from ._api import MAX_FEATURES, REFERENCES, check_data
from ._cost import (
    CostEstimate,
    _effective_threads,
    estimate_cost,
    format_bytes,
    format_seconds,
)
from ._estimator import _CRITERIA, _PRUNINGS, ExhaustiveOrdering
from ._threads import resolve_threads

__all__ = ["main"]

#: Runs estimated to take longer than this many seconds are announced.
LONG_RUN_SECONDS = 3.0
# Below this much work (evaluations times max(n, 1000)) a search takes well
# under a second and is not worth a calibration (itself about 0.1 s).
_TRIVIAL_WORK = 5_000_000
# Progress updates: in place on a terminal, as plain lines otherwise.
_TTY_INTERVAL = 0.5
_LOG_INTERVAL = 10.0

EXIT_DATA = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class DataError(Exception):
    """A problem with the user's input, reported without a traceback."""


# ----------------------------------------------------------------------------
# Reading the CSV file


@dataclass(frozen=True)
class Table:
    """Numbers read from a CSV file, with a name per column."""

    data: np.ndarray
    names: tuple[str, ...]


def _too_many_columns(path: str, count: int) -> DataError:
    return DataError(
        f"{path}: {count} columns, but at most {MAX_FEATURES} can be searched: the "
        f"search visits all 2^d subsets of the d columns, so it needs "
        f"12 * 2^d bytes of tables ({format_bytes(12 * 2.0**count)} for "
        f"d = {count}) and d * 2^(d-1) score evaluations "
        f"({count * 2.0 ** (count - 1):.3g}); select at most {MAX_FEATURES} "
        "columns"
    )


def _open(path: str) -> contextlib.AbstractContextManager[TextIO]:
    if path == "-":
        stream = io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8-sig", newline="")
        return contextlib.nullcontext(stream)
    try:
        return open(path, encoding="utf-8-sig", newline="")
    except FileNotFoundError:
        raise DataError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise DataError(f"{path}: is a directory, not a CSV file") from None
    except OSError as error:
        raise DataError(f"{path}: cannot open: {error.strerror}") from None


def _rows(reader: Any) -> Iterator[tuple[int, list[str]]]:
    """Non-blank rows of a csv reader, with the line each one ends on."""
    for row in reader:
        if not row or (len(row) == 1 and not row[0].strip()):
            continue
        yield reader.line_num, row


def _locate_bad_cell(
    rows: list[list[str]], lines: list[int], names: Sequence[str], path: str
) -> DataError:
    for row, line in zip(rows, lines, strict=True):
        for j, cell in enumerate(row):
            try:
                float(cell)
            except ValueError:
                what = "is empty" if not cell.strip() else f"holds {cell!r}"
                return DataError(
                    f"{path}, line {line}, column {names[j]!r}: the cell {what},"
                    " not a number"
                )
    return DataError(f"{path}: the cells could not be read as numbers")


def read_csv(path: str, *, header: bool = True, delimiter: str = ",") -> Table:
    """Read a numeric CSV file (``"-"`` for standard input).

    With ``header``, the first non-blank row names the columns; without it,
    the columns are named ``x0``, ``x1``, ... Blank lines are skipped. Every
    other row must have one number per column; the column count is checked
    against the limit of the search before the rest of the file is read.

    Raises
    ------
    DataError
        With the file name, and the line and column of a faulty cell.
    """
    with _open(path) as stream:
        reader = csv.reader(stream, delimiter=delimiter)
        rows: list[list[str]] = []
        lines: list[int] = []
        try:
            records = _rows(reader)
            first = next(records, None)
            if first is None:
                raise DataError(f"{path}: the file is empty")
            if header:
                names = tuple(
                    name.strip() or f"x{j}" for j, name in enumerate(first[1])
                )
            else:
                names = tuple(f"x{j}" for j in range(len(first[1])))
                rows.append(first[1])
                lines.append(first[0])
            if len(names) > MAX_FEATURES:
                raise _too_many_columns(path, len(names))
            for line, row in records:
                if len(row) != len(names):
                    raise DataError(
                        f"{path}, line {line}: {len(row)} fields, expected "
                        f"{len(names)} like the "
                        f"{'header' if header else 'first row'}"
                    )
                rows.append(row)
                lines.append(line)
        except csv.Error as error:
            raise DataError(f"{path}, line {reader.line_num}: {error}") from None
        except UnicodeDecodeError:
            raise DataError(f"{path}: not a UTF-8 text file") from None
        except OSError as error:
            raise DataError(f"{path}: cannot read: {error.strerror}") from None

    if not rows:
        return Table(np.empty((0, len(names))), names)
    try:
        data = np.array(rows, dtype=np.float64)
    except ValueError:
        raise _locate_bad_cell(rows, lines, names, path) from None
    finite = np.isfinite(data)
    if not finite.all():
        i, j = (int(k) for k in np.argwhere(~finite)[0])
        raise DataError(
            f"{path}, line {lines[i]}, column {names[j]!r}: the cell holds "
            f"{rows[i][j].strip()!r}, not a finite number (missing values are "
            "not supported)"
        )
    return Table(data, names)


# ----------------------------------------------------------------------------
# Writing the results


def _format_number(value: float) -> str:
    return "0" if value == 0 else f"{value:.4g}"


def format_matrix(matrix: np.ndarray, names: Sequence[str]) -> str:
    """A square matrix as a table with the names along both sides."""
    cells = [[_format_number(v) for v in row] for row in matrix.tolist()]
    width = max([len(name) for name in names] + [len(c) for row in cells for c in row])
    label = max(len(name) for name in names)
    lines = [" " * label + "".join(f"  {name:>{width}}" for name in names)]
    for name, row in zip(names, cells, strict=True):
        lines.append(f"{name:<{label}}" + "".join(f"  {c:>{width}}" for c in row))
    return "\n".join(lines)


def _dot_string(text: str) -> str:
    escaped = text.replace("\\", "\\\\").replace('"', '\\"')
    escaped = escaped.replace("\r", "").replace("\n", "\\n")
    return f'"{escaped}"'


def format_dot(adjacency: np.ndarray, names: Sequence[str]) -> str:
    """The graph as Graphviz DOT: an edge j -> i labelled B[i, j]."""
    lines = ["digraph veldra {"]
    for j, name in enumerate(names):
        lines.append(f"  n{j} [label={_dot_string(name)}];")
    for i, j in zip(*np.nonzero(adjacency), strict=True):
        weight = _format_number(float(adjacency[i, j]))
        lines.append(f"  n{j} -> n{i} [label={_dot_string(weight)}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


# ----------------------------------------------------------------------------
# Running the search


@dataclass
class _Outcome:
    model: ExhaustiveOrdering | None = None
    error: BaseException | None = None


def _fit(model: ExhaustiveOrdering, data: np.ndarray, outcome: _Outcome) -> None:
    try:
        outcome.model = model.fit(data)
    except BaseException as error:  # noqa: BLE001 (re-raised by the main thread)
        outcome.error = error


class _Progress:
    """Elapsed time on stderr while the search runs."""

    def __init__(self, stream: TextIO, expected: float | None) -> None:
        self.stream = stream
        self.expected = expected
        self.tty = stream.isatty()
        self.interval = _TTY_INTERVAL if self.tty else _LOG_INTERVAL
        self.shown = False

    def update(self, elapsed: float) -> None:
        text = f"veldra: searching, {format_seconds(elapsed)} elapsed"
        if self.expected is not None:
            text += f" of about {format_seconds(self.expected)}"
        if self.tty:
            self.stream.write("\r" + text + "\033[K")
        else:
            self.stream.write(text + "\n")
        self.stream.flush()
        self.shown = True

    def finish(self) -> None:
        if self.tty and self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()


def run_search(
    model: ExhaustiveOrdering,
    data: np.ndarray,
    *,
    progress: _Progress | None,
) -> ExhaustiveOrdering:
    """Fit ``model`` in a worker thread, showing progress until it is done.

    The search releases the interpreter lock, so this thread stays free to
    report progress and to receive Ctrl-C (KeyboardInterrupt) at once,
    although the search itself cannot be stopped.
    """
    outcome = _Outcome()
    worker = threading.Thread(
        target=_fit, args=(model, data, outcome), name="veldra-search", daemon=True
    )
    start = time.monotonic()
    worker.start()
    next_update = start + (progress.interval if progress else math.inf)
    while worker.is_alive():
        worker.join(timeout=min(0.1, max(next_update - time.monotonic(), 0.0)))
        now = time.monotonic()
        if progress is not None and worker.is_alive() and now >= next_update:
            progress.update(now - start)
            next_update += progress.interval
    if progress is not None:
        progress.finish()
    if outcome.error is not None:
        raise outcome.error
    assert outcome.model is not None
    return outcome.model


# ----------------------------------------------------------------------------
# The command line


def _thread_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {value}")
    return value


def _delimiter(text: str) -> str:
    text = {"tab": "\t", "\\t": "\t"}.get(text, text)
    if len(text) != 1:
        raise argparse.ArgumentTypeError(
            f"must be a single character (or 'tab'), got {text!r}"
        )
    return text


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="veldra",
        description=(
            "Exact causal order of linear non-Gaussian data, by exhaustive "
            "search over all orders of the variables."
        ),
    )
    parser.add_argument("--version", action="version", version=f"veldra {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    order = commands.add_parser(
        "order",
        help="causal order and weighted graph of the columns of a CSV file",
        description=(
            "Find the causal order of the columns of a numeric CSV file by "
            "exhaustive search over all 2^d subsets of the d columns (at most "
            f"{MAX_FEATURES}), then the direct effects of each column on the "
            "later ones. Prints the order, its score, the cost of the search "
            "and the adjacency matrix B, where B[i, j] is the direct effect "
            "of column j on column i. Searches expected to take more than a "
            f"few seconds are announced with their size on stderr, and "
            "elapsed time is shown while they run; Ctrl-C stops at once."
        ),
        epilog=(
            "exit status: 0 success, 1 unusable input or output file, "
            "2 command-line error, 130 interrupted. The method assumes a "
            "linear acyclic model with independent non-Gaussian noise and no "
            "hidden confounders."
        ),
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
        "--reference",
        choices=sorted(REFERENCES),
        default="normal",
        help="distribution the residuals are compared with (default: normal)",
    )
    order.add_argument(
        "--pruning",
        choices=_PRUNINGS,
        default="adaptive_lasso",
        help="how direct effects are pruned once the order is known: an "
        "adaptive lasso (default) or none (plain least squares)",
    )
    order.add_argument(
        "--criterion",
        choices=_CRITERIA,
        default="bic",
        help="information criterion of the adaptive lasso (default: bic)",
    )
    order.add_argument(
        "--threads",
        type=_thread_count,
        default=None,
        metavar="N",
        help="threads for the search (default: the CPUs this process may use; "
        "0: every CPU of its affinity set)",
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
        "--estimate",
        action="store_true",
        help="only print the size of the search and its estimated time",
    )
    order.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no size announcement and no progress on stderr",
    )
    return parser


def _estimate_text(cost: CostEstimate) -> str:
    return (
        f"{cost.n_evaluations:,} score evaluations, "
        f"{format_bytes(cost.memory_bytes)} of memory "
        f"({format_bytes(cost.table_bytes)} of tables), "
        f"estimated {format_seconds(cost.seconds)} on {cost.n_threads} "
        f"thread{'s' if cost.n_threads != 1 else ''}"
    )


def _report_text(
    model: ExhaustiveOrdering, names: Sequence[str], threads: int, out: TextIO
) -> None:
    order = model.causal_order_.tolist()
    width = len(str(len(order)))
    out.write("causal order (first cause to last effect):\n")
    out.writelines(
        f"  {position:>{width}}. {names[j]}  (column {j})\n"
        for position, j in enumerate(order, start=1)
    )
    out.write(
        f"score: {model.score_:.6g}\n"
        f"search: {model.n_evaluations_:,} score evaluations in "
        f"{format_seconds(model.search_seconds_)} on {threads} "
        f"thread{'s' if threads != 1 else ''}\n\n"
        "adjacency matrix (row i, column j: direct effect of j on i):\n"
    )
    out.write(format_matrix(model.adjacency_matrix_, names) + "\n")


def _report_json(
    model: ExhaustiveOrdering,
    names: Sequence[str],
    n_samples: int,
    threads: int,
    args: argparse.Namespace,
    out: TextIO,
) -> None:
    order = model.causal_order_.tolist()
    record = {
        "order": order,
        "order_names": [names[j] for j in order],
        "names": list(names),
        "score": model.score_,
        "adjacency_matrix": model.adjacency_matrix_.tolist(),
        "n_samples": n_samples,
        "n_evaluations": model.n_evaluations_,
        "seconds": model.search_seconds_,
        "n_threads": threads,
        "reference": args.reference,
        "pruning": args.pruning,
    }
    json.dump(record, out)
    out.write("\n")


def _order(args: argparse.Namespace) -> int:
    table = read_csv(args.file, header=args.header, delimiter=args.delimiter)
    try:
        data, _ = check_data(table.data, names=table.names)
    except ValueError as error:
        raise DataError(f"{args.file}: {error}") from None
    n, d = data.shape
    threads = resolve_threads(args.threads)

    cost: CostEstimate | None = None
    work = d * 2 ** (d - 1) * max(n, 1000)
    if args.estimate or work > _TRIVIAL_WORK:
        cost = estimate_cost(n, d, n_threads=threads)
    if args.estimate:
        assert cost is not None
        if args.json:
            json.dump(
                {
                    "n_samples": n,
                    "n_features": d,
                    "n_threads": cost.n_threads,
                    "n_evaluations": cost.n_evaluations,
                    "memory_bytes": cost.memory_bytes,
                    "table_bytes": cost.table_bytes,
                    "seconds": cost.seconds,
                },
                sys.stdout,
            )
            sys.stdout.write("\n")
        else:
            print(f"{n} samples, {d} columns: {_estimate_text(cost)}")
        return 0
    if cost is not None and cost.seconds > LONG_RUN_SECONDS and not args.quiet:
        print(f"veldra: {_estimate_text(cost)}", file=sys.stderr, flush=True)

    model = ExhaustiveOrdering(
        reference=args.reference,
        pruning=args.pruning,
        criterion=args.criterion,
        n_threads=threads,
    )
    progress = None
    if not args.quiet:
        progress = _Progress(sys.stderr, cost.seconds if cost is not None else None)
    try:
        model = run_search(model, data, progress=progress)
    except (ValueError, RuntimeError) as error:
        raise DataError(f"{args.file}: {error}") from None

    if args.dot is not None:
        try:
            with open(args.dot, "w", encoding="utf-8") as out:
                out.write(format_dot(model.adjacency_matrix_, table.names))
        except OSError as error:
            raise DataError(f"{args.dot}: cannot write: {error.strerror}") from None
    effective = _effective_threads(threads)
    if args.json:
        _report_json(model, table.names, n, effective, args, sys.stdout)
    else:
        _report_text(model, table.names, effective, sys.stdout)
    return 0


def main(argv: list[str] | None = None) -> int:
    """Run the ``veldra`` command line; return its exit status.

    Parameters
    ----------
    argv : list of str or None, default=None
        The arguments after the program name; None reads ``sys.argv``.

    Returns
    -------
    int
        0 on success, 1 for unusable input, 2 for a command-line error.
        On Ctrl-C the process ends at once with status 130 (a running
        search cannot be stopped, so it is not waited for).
    """
    parser = build_parser()
    try:
        try:
            args = parser.parse_args(argv)
        except SystemExit as exit_:  # --help, --version or a usage error
            return exit_.code if isinstance(exit_.code, int) else EXIT_USAGE
        try:
            return _order(args)
        except DataError as error:
            print(f"veldra: error: {error}", file=sys.stderr)
            return EXIT_DATA
        except BrokenPipeError:
            # The reader of stdout went away (e.g. `| head`): nothing to say.
            with contextlib.suppress(OSError):
                os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return EXIT_DATA
    except KeyboardInterrupt:
        with contextlib.suppress(Exception):
            sys.stdout.flush()
        with contextlib.suppress(Exception):
            # Start on a fresh line after a progress line on a terminal.
            fresh = "\n" if sys.stderr.isatty() else ""
            sys.stderr.write(fresh + "veldra: interrupted\n")
            sys.stderr.flush()
        os._exit(EXIT_INTERRUPTED)
