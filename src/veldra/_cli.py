"""The ``veldra`` command: causal order and graph of the columns of a CSV file.

Exit status: 0 on success, 1 when the input cannot be used (missing or
unreadable file, malformed CSV, non-numeric or non-finite cells, too many
columns, constant or collinear columns, a malformed ``--prior`` file), an
output cannot be written or memory runs out, 2 for a command-line mistake
(unknown option, bad value, prior knowledge naming no column or
contradicting itself), 130 when interrupted by Ctrl-C.

Whatever goes wrong is said in one line on stderr: NumPy, SciPy and
scikit-learn are imported inside :func:`main`, so that even Ctrl-C during
start-up is reported, not shown as a traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import itertools
import json
import math
import os
import stat
import sys
import tempfile
import warnings
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TextIO

from . import __version__
from ._checks import CRITERIA, MAX_FEATURES, PRUNINGS, REFERENCE_NAMES
from ._export import format_dot, format_number
from ._threads import cap_threads

if TYPE_CHECKING:
    import numpy as np

    from ._api import Prepared
    from ._cost import CostEstimate
    from ._estimator import BootstrapResult, ExhaustiveOrdering

__all__ = ["format_dot", "main", "parse_columns", "read_csv"]

#: Runs estimated to take longer than this many seconds are announced.
LONG_RUN_SECONDS = 3.0
# Below this much work (evaluations times max(n, 1000)) a search takes well
# under a second and is not worth a calibration (itself about 0.1 s).
_TRIVIAL_WORK = 5_000_000
# Progress updates: in place on a terminal, as plain lines otherwise.
_TTY_INTERVAL = 0.5
_LOG_INTERVAL = 10.0
# The longest line read: 30 columns of numbers fit many times over, and a
# file without line breaks (such as /dev/zero) is refused, not read whole.
MAX_LINE = 1 << 20
# Rows converted to numbers at a time; the text of one block is all that is
# held besides the numbers.
_BLOCK_ROWS = 4096
# The search counts rows in 32 bits.
_MAX_ROWS = 2**31 - 1
# Above this many columns the graph is listed as edges, not as a matrix.
MATRIX_COLUMNS = 8

# Constraints listed in the text report, at most (the JSON has them all).
MAX_CONSTRAINTS_SHOWN = 20

EXIT_DATA = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


# The checkpoint of the search running, named after "interrupted" if saved.
_checkpoint_path: str | None = None
# Temporary files of outputs not yet in place, removed on any exit.
_temporary_files: list[str] = []


class DataError(Exception):
    """A problem with the user's input or output, reported without a traceback."""


class UsageError(Exception):
    """A command-line mistake found once the data are read (such as a
    constraint naming no column), reported in one line with status 2."""


# ----------------------------------------------------------------------------
# Reading the CSV file


@dataclass(frozen=True)
class Table:
    """Numbers read from a CSV file, with a name per column, and the place of
    each column in the file."""

    data: np.ndarray
    names: tuple[str, ...]
    columns: tuple[int, ...] = ()


def _too_many_columns(path: str, count: int, selected: bool) -> DataError:
    from ._cost import format_bytes

    what = "columns selected" if selected else "columns"
    return DataError(
        f"{path}: {count} {what}, but at most {MAX_FEATURES} can be searched: the "
        f"search visits all 2^d subsets of the d columns, so it needs "
        f"more than 2^d bytes of tables ({format_bytes(2.0**count)} for "
        f"d = {count}) and d * 2^(d-1) score evaluations "
        f"({count * 2.0 ** (count - 1):.3g}); select at most {MAX_FEATURES} "
        f"columns with --columns (names or 0-based indices and ranges, such as"
        f" --columns 0-{MAX_FEATURES - 1})"
    )


def parse_columns(selection: str, names: Sequence[str]) -> list[int]:
    """The columns a ``--columns`` value selects, in the order given.

    Items are separated by commas; each is a column name, a 0-based index
    or an inclusive range of indices ``i-j``. A name takes precedence over
    an index or range spelled the same.

    Raises
    ------
    DataError
        For an unknown name, an index out of range, an empty item or a
        column selected twice.
    """
    chosen: list[int] = []
    for item in selection.split(","):
        text = item.strip()
        if not text:
            raise DataError(f"--columns {selection!r}: an empty item")
        if text in names:
            picked = [names.index(text)]
        else:
            first, dash, last = text.partition("-")
            if not (first.isdigit() and (not dash or last.isdigit())):
                shown = ", ".join(names[:10]) + (", ..." if len(names) > 10 else "")
                raise DataError(
                    f"--columns: no column named {text!r} (the columns: {shown})"
                )
            low, high = int(first), int(last) if dash else int(first)
            if high < low or high >= len(names):
                raise DataError(
                    f"--columns: {text!r} is out of range; the indices run from 0"
                    f" to {len(names) - 1}"
                )
            picked = list(range(low, high + 1))
        for j in picked:
            if j in chosen:
                raise DataError(f"--columns: column {names[j]!r} is selected twice")
            chosen.append(j)
    return chosen


def _open(path: str) -> contextlib.AbstractContextManager[TextIO]:
    if path == "-":
        if sys.stdin is None:
            raise DataError("-: standard input is closed")
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


def _lines(stream: TextIO, path: str) -> Iterator[str]:
    """The lines of ``stream``, refusing one longer than :data:`MAX_LINE`."""
    number = 0
    while line := stream.readline(MAX_LINE + 1):
        number += 1
        if len(line) > MAX_LINE:
            raise DataError(
                f"{path}, line {number}: longer than {MAX_LINE:,} characters;"
                " not a CSV file of numbers"
            )
        yield line


def _delimiter_hint(text: str, delimiter: str) -> str:
    """A hint at --delimiter when ``text`` holds another likely separator."""
    for candidate, option in ((";", "';'"), ("\t", "tab"), ("|", "'|'")):
        if candidate != delimiter and candidate in text:
            shown = "tabs" if option == "tab" else option
            return f"; the fields seem separated by {shown}: try --delimiter {option}"
    return ""


def _rows(reader: Any) -> Iterator[tuple[int, int, list[str]]]:
    """Non-blank rows of a csv reader, with the lines each starts and ends on."""
    while True:
        first = reader.line_num + 1
        try:
            row = next(reader)
        except StopIteration:
            return
        if not row or (len(row) == 1 and not row[0].strip()):
            continue
        yield first, reader.line_num, row


def _locate_bad_cell(
    rows: list[list[str]],
    lines: list[int],
    names: Sequence[str],
    path: str,
    delimiter: str,
) -> DataError:
    for row, line in zip(rows, lines, strict=True):
        for j, cell in enumerate(row):
            try:
                float(cell)
            except ValueError:
                what = "is empty" if not cell.strip() else f"holds {cell!r}"
                return DataError(
                    f"{path}, line {line}, column {names[j]!r}: the cell {what},"
                    f" not a number{_delimiter_hint(cell, delimiter)}"
                )
    return DataError(f"{path}: the cells could not be read as numbers")


def _convert_block(
    rows: list[list[str]],
    lines: list[int],
    names: Sequence[str],
    path: str,
    delimiter: str,
) -> np.ndarray:
    import numpy as np

    try:
        block = np.array(rows, dtype=np.float64)
    except ValueError:
        raise _locate_bad_cell(rows, lines, names, path, delimiter) from None
    finite = np.isfinite(block)
    if not finite.all():
        i, j = (int(k) for k in np.argwhere(~finite)[0])
        raise DataError(
            f"{path}, line {lines[i]}, column {names[j]!r}: the cell holds "
            f"{rows[i][j].strip()!r}, not a finite number (missing values are "
            "not supported)"
        )
    return block


def read_csv(
    path: str,
    *,
    header: bool = True,
    delimiter: str = ",",
    columns: str | None = None,
) -> Table:
    """Read a numeric CSV file (``"-"`` for standard input).

    With ``header``, the first non-blank row names the columns; without it,
    the columns are named ``x0``, ``x1``, ... ``columns`` selects some of
    them (see :func:`parse_columns`); only those are read as numbers. Blank
    lines are skipped. Every other row must have one field per column; the
    column count is checked against the limit of the search before the rest
    of the file is read.
    The numbers are converted a block of rows at a time into one growing
    array, so that memory holds little more than the numbers.

    Raises
    ------
    DataError
        With the file name, and the line and column of a faulty cell.
    """
    import numpy as np

    with _open(path) as stream:
        reader = csv.reader(_lines(stream, path), delimiter=delimiter)
        data = np.empty((0, 0))
        count = 0
        rows: list[list[str]] = []
        lines: list[int] = []

        def flush() -> None:
            nonlocal data, count
            block = _convert_block(rows, lines, names, path, delimiter)
            if count + len(block) > _MAX_ROWS:
                raise DataError(
                    f"{path}: more than {_MAX_ROWS:,} rows; the search counts"
                    " rows in 32 bits"
                )
            if count + len(block) > data.shape[0]:
                # Grown in place where the allocator can (large blocks are
                # remapped, not copied).
                size = max(count + len(block), data.shape[0] * 5 // 4, _BLOCK_ROWS)
                data.resize((size, len(names)), refcheck=False)
            data[count : count + len(block)] = block
            count += len(block)
            rows.clear()
            lines.clear()

        try:
            records = _rows(reader)
            first = next(records, None)
            if first is None:
                raise DataError(f"{path}: the file is empty")
            if header:
                every = tuple(
                    name.strip() or f"x{j}" for j, name in enumerate(first[2])
                )
            else:
                records = itertools.chain([first], records)
                every = tuple(f"x{j}" for j in range(len(first[2])))
            width = len(every)
            keep = (
                list(range(width))
                if columns is None
                else parse_columns(columns, list(every))
            )
            names = tuple(every[j] for j in keep)
            if len(names) > MAX_FEATURES:
                raise _too_many_columns(path, len(names), columns is not None)
            everything = len(keep) == width and keep == sorted(keep)
            data = np.empty((0, len(names)))
            for line, last, row in records:
                if last > line:
                    # Only a quoted field spans lines, and numbers need no
                    # quotes: one was opened and not closed.
                    raise DataError(
                        f'{path}, line {line}: a quote (") opens a field that'
                        " is not closed on that line (the field runs on to"
                        f" line {last})"
                    )
                if len(row) != width:
                    text = delimiter.join(row)
                    raise DataError(
                        f"{path}, line {line}: {len(row)} fields, expected "
                        f"{width} like the "
                        f"{'header' if header else 'first row'}"
                        f"{_delimiter_hint(text, delimiter)}"
                    )
                rows.append(row if everything else [row[j] for j in keep])
                lines.append(line)
                if len(rows) == _BLOCK_ROWS:
                    flush()
            if rows:
                flush()
        except csv.Error as error:
            raise DataError(f"{path}, line {reader.line_num}: {error}") from None
        except UnicodeDecodeError:
            raise DataError(f"{path}: not a UTF-8 text file") from None
        except OSError as error:
            raise DataError(f"{path}: cannot read: {error.strerror}") from None
    data.resize((count, len(names)), refcheck=False)
    return Table(data, names, tuple(keep))


# ----------------------------------------------------------------------------
# Prior knowledge


def _variable_index(text: str, names: Sequence[str], option: str) -> int:
    """A column given by name or 0-based index; a name wins, as in --columns."""
    if text in names:
        return list(names).index(text)
    if text.isdigit():
        index = int(text)
        if index < len(names):
            return index
        raise UsageError(
            f"{option}: {text} is out of range; the indices run from 0 to"
            f" {len(names) - 1}"
        )
    shown = ", ".join(names[:10]) + (", ..." if len(names) > 10 else "")
    raise UsageError(f"{option}: no column named {text!r} (the columns: {shown})")


def read_prior(path: str, n_features: int) -> np.ndarray:
    """lingam's prior-knowledge matrix from a file: one row per line, its
    entries (0, 1 or -1) separated by commas or by white space. Blank lines
    and lines starting with '#' are skipped.

    Raises
    ------
    DataError
        With the file name, and the line and field of a faulty entry.
    """
    import numpy as np

    try:
        with open(path, encoding="utf-8-sig") as stream:
            text = stream.read(MAX_LINE + 1)
    except FileNotFoundError:
        raise DataError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise DataError(f"{path}: is a directory, not a matrix file") from None
    except UnicodeDecodeError:
        raise DataError(f"{path}: not a UTF-8 text file") from None
    except OSError as error:
        raise DataError(f"{path}: cannot read: {error.strerror}") from None
    if len(text) > MAX_LINE:
        raise DataError(
            f"{path}: longer than {MAX_LINE:,} characters; not a matrix of"
            f" {n_features} x {n_features} entries"
        )
    rows: list[list[int]] = []
    for number, line in enumerate(text.splitlines(), start=1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        fields = line.split(",") if "," in line else line.split()
        row = []
        for place, field in enumerate(fields, start=1):
            try:
                value = float(field)
            except ValueError:
                value = math.nan
            if value not in (0.0, 1.0, -1.0):
                raise DataError(
                    f"{path}, line {number}, field {place}: {field.strip()!r} is"
                    " not 0 (no path), 1 (a path) or -1 (not known)"
                )
            row.append(int(value))
        if len(row) != n_features:
            raise DataError(
                f"{path}, line {number}: {len(row)} entries, expected"
                f" {n_features}, one per column analysed"
            )
        rows.append(row)
    if len(rows) != n_features:
        raise DataError(
            f"{path}: {len(rows)} rows, expected {n_features}, one per column"
            " analysed (row i, column j: is there a path from column j to"
            " column i)"
        )
    return np.array(rows, dtype=np.int8)


def _knowledge_options(
    args: argparse.Namespace, names: Sequence[str]
) -> dict[str, Any]:
    """The estimator's prior-knowledge parameters from the options, as
    indices (the bootstrap searches columns without names)."""

    def variables(values: list[str] | None, option: str) -> list[int] | None:
        if not values:
            return None
        items = [item.strip() for value in values for item in value.split(",")]
        if "" in items:
            raise UsageError(f"{option}: an empty item")
        return [_variable_index(item, names, option) for item in items]

    pairs = None
    if args.before:
        pairs = [
            tuple(_variable_index(side, names, "--before") for side in pair)
            for pair in args.before
        ]
    return {
        "exogenous": variables(args.exogenous, "--exogenous"),
        "sinks": variables(args.sink, "--sink"),
        "required_order": pairs,
        "prior_knowledge": (
            None if args.prior is None else read_prior(args.prior, len(names))
        ),
    }


# ----------------------------------------------------------------------------
# Writing the results


def format_matrix(matrix: np.ndarray, names: Sequence[str]) -> str:
    """A square matrix as a table with the names along both sides."""
    cells = [[format_number(v) for v in row] for row in matrix.tolist()]
    width = max([len(name) for name in names] + [len(c) for row in cells for c in row])
    label = max(len(name) for name in names)
    lines = [" " * label + "".join(f"  {name:>{width}}" for name in names)]
    for name, row in zip(names, cells, strict=True):
        lines.append(f"{name:<{label}}" + "".join(f"  {c:>{width}}" for c in row))
    return "\n".join(lines)


@dataclass
class _Output:
    """A file to be written once the results are known.

    A regular file is written to a temporary file beside it, made when the
    command starts (so that an unwritable place is reported before the
    search), and renamed over it at the end: a failed write never leaves a
    truncated file nor harms an existing one. Anything else (a device, a
    pipe) is written directly.
    """

    path: str
    target: str
    temporary: str | None
    mode: int


def _open_output(path: str) -> _Output:
    if not path:
        raise DataError("the output file name is empty")
    target = os.path.realpath(path)  # a symbolic link stays one
    if os.path.isdir(target):
        raise DataError(f"{path}: is a directory, not a file")
    try:
        existing = os.stat(target)
    except FileNotFoundError:
        existing = None
    except OSError as error:
        raise DataError(f"{path}: cannot write: {error.strerror}") from None
    if existing is not None and not os.access(target, os.W_OK):
        raise DataError(f"{path}: cannot write: permission denied")
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        return _Output(path, target, None, 0)
    if existing is not None:
        mode = stat.S_IMODE(existing.st_mode)
    else:
        umask = os.umask(0o022)
        os.umask(umask)
        mode = 0o666 & ~umask
    directory, name = os.path.split(target)
    try:
        handle, temporary = tempfile.mkstemp(
            prefix=f".{name}.", suffix=".tmp", dir=directory or "."
        )
    except OSError as error:
        raise DataError(f"{path}: cannot write: {error.strerror}") from None
    os.close(handle)
    _temporary_files.append(temporary)
    return _Output(path, target, temporary, mode)


def _write_output(output: _Output, text: str) -> None:
    try:
        if output.temporary is None:
            with open(output.target, "w", encoding="utf-8") as stream:
                stream.write(text)
            return
        with open(output.temporary, "w", encoding="utf-8") as stream:
            stream.write(text)
            stream.flush()
            os.fsync(stream.fileno())
        os.chmod(output.temporary, output.mode)
        os.replace(output.temporary, output.target)
        _temporary_files.remove(output.temporary)
    except OSError as error:
        raise DataError(f"{output.path}: cannot write: {error.strerror}") from None


def _remove_temporary_files() -> None:
    while _temporary_files:
        with contextlib.suppress(OSError):
            os.unlink(_temporary_files.pop())


def _emit(text: str) -> None:
    """Write ``text`` to stdout and flush it, so that a failure shows here."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        _silence_stdout()
        raise DataError(
            f"cannot write the results to standard output: {error.strerror}"
        ) from None


def _silence_stdout() -> None:
    # What is left in the buffer would fail again when Python exits.
    with contextlib.suppress(OSError, ValueError, AttributeError):
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)


def _release_free_memory() -> None:
    """Hand the memory freed so far back to the system.

    glibc keeps freed blocks of the calibration's arrays for reuse, where
    the search, which allocates from its own thread, cannot use them: they
    would add to the peak.
    """
    with contextlib.suppress(OSError, AttributeError):
        import ctypes

        ctypes.CDLL(None).malloc_trim(0)


def _say(text: str) -> None:
    """One line on stderr, if there is a stderr."""
    if sys.stderr is None:
        return
    with contextlib.suppress(OSError, ValueError):
        sys.stderr.write(text + "\n")
        sys.stderr.flush()


# ----------------------------------------------------------------------------
# Running the search


class _Progress:
    """The search's progress on stderr: in place on a terminal, else a line
    every _LOG_INTERVAL seconds."""

    def __init__(self, stream: TextIO, what: str = "searching") -> None:
        from ._cost import format_seconds

        self.format_seconds = format_seconds
        self.stream = stream
        self.what = what
        self.tty = stream.isatty()
        self.interval = _TTY_INTERVAL if self.tty else _LOG_INTERVAL
        self.next_update = self.interval
        self.shown = False

    def update(self, done: int, total: int, seconds: float) -> None:
        """Called by the search with its evaluations (or resamples) so far."""
        if seconds < self.next_update or done >= total:
            return
        self.next_update = seconds + self.interval
        share = done / total
        text = (
            f"veldra: {self.what}: {100 * share:.1f} %, "
            f"{self.format_seconds(seconds)} elapsed"
        )
        if done > 0:
            left = seconds * (1 - share) / share
            text += f", about {self.format_seconds(left)} left"
        with contextlib.suppress(OSError, ValueError):
            if self.tty:
                self.stream.write("\r" + text + "\033[K")
            else:
                self.stream.write(text + "\n")
            self.stream.flush()
        self.shown = True

    def finish(self) -> None:
        if self.tty and self.shown:
            with contextlib.suppress(OSError, ValueError):
                self.stream.write("\r\033[K")
                self.stream.flush()
        self.shown = False


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
  veldra order data.csv --estimate           the search's size and time only
  veldra order data.csv --checkpoint run.ckpt
                                             resumable: run again after
                                             Ctrl-C or a crash to go on
  veldra order - --no-header < numbers.csv   from stdin, columns x0, x1, ...
"""


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {value}")
    return value


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
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
    parser.add_argument("--version", action="version", version=f"veldra {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    order = commands.add_parser(
        "order",
        help="causal order and weighted graph of the columns of a CSV file",
        description=(
            "Find the causal order of the columns of a numeric CSV file by "
            "exhaustive search over all 2^d subsets of the d columns (at most "
            f"{MAX_FEATURES}), then the direct effects of each column on the "
            "later ones. Prints the order, its score and its margin over the "
            "runner-up order, the cost of the search, how non-Gaussian each "
            "column's residuals are (with a warning when too few are for the "
            "order to be identifiable) and the graph: the adjacency matrix B, "
            "where B[i, j] is the direct effect of column j on column i, or "
            f"for more than {MATRIX_COLUMNS} columns the list of its edges. "
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
        choices=sorted(REFERENCE_NAMES),
        default="normal",
        help="distribution the residuals are compared with (default: normal)",
    )
    order.add_argument(
        "--pruning",
        choices=PRUNINGS,
        default="adaptive_lasso",
        help="how direct effects are pruned once the order is known: an "
        "adaptive lasso (default) or none (plain least squares)",
    )
    order.add_argument(
        "--criterion",
        choices=CRITERIA,
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
        "ADDRESS (such as tcp://host:8786), each worker thread taking tasks "
        "of a few seconds; needs veldra[distributed] here and veldra on the "
        "workers (--estimate still describes this machine)",
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
        help="only print the size of the search and its estimated time (of "
        "one search: --bootstrap N makes N more)",
    )
    order.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no size announcement, progress or warning on stderr",
    )
    return parser


def _estimate_text(cost: CostEstimate, memory: int) -> str:
    from ._cost import format_bytes, format_seconds

    return (
        f"{cost.n_evaluations:,} score evaluations, "
        f"{format_bytes(memory)} of memory "
        f"({format_bytes(cost.table_bytes)} of tables), "
        f"estimated {format_seconds(cost.seconds)} on {cost.n_threads} "
        f"thread{'s' if cost.n_threads != 1 else ''}"
    )


def _memory(cost: CostEstimate) -> int:
    """Peak memory of the command beyond the interpreter and its libraries.

    The numbers as read are the copy of the data the search standardises in
    place, so they are in ``cost.memory_bytes`` already; reading adds the
    text of one block of rows.
    """
    return cost.memory_bytes + _BLOCK_ROWS * (cost.n_features * 80 + 120)


def _p_value(p: float) -> str:
    if math.isnan(p):  # too few samples for a test
        return "p = n/a"
    return "p < 0.001" if p < 0.001 else f"p = {p:.3f}"


def format_edges(
    adjacency: np.ndarray,
    names: Sequence[str],
    probabilities: np.ndarray | None = None,
) -> str:
    """The graph's edges, one a line: cause -> effect and the direct effect,
    strongest first; or, with ``probabilities``, every edge found in some
    resample with its share, most frequent first."""
    weights = probabilities if probabilities is not None else abs(adjacency)
    edges = sorted(
        zip(*weights.nonzero(), strict=True),
        key=lambda edge: -float(weights[edge]),
    )
    if not edges:
        return "  (none)"
    rows = []
    for i, j in edges:
        value = (
            f"{float(probabilities[i, j]):.2f}"
            if probabilities is not None
            else format_number(float(adjacency[i, j]))
        )
        rows.append((f"{names[j]} -> {names[i]}", value))
    width = max(len(edge) for edge, _ in rows)
    return "\n".join(f"  {edge:<{width}}  {value}" for edge, value in rows)


def _sets_text(model: ExhaustiveOrdering) -> str:
    sets = getattr(model, "instruction_sets_", ())
    return f" ({', '.join(sets)})" if sets else ""


def _constraints_text(constraints: Sequence[str]) -> str:
    if not constraints:
        return ""
    shown = list(constraints[:MAX_CONSTRAINTS_SHOWN])
    if len(constraints) > len(shown):
        shown.append(f"... and {len(constraints) - len(shown)} more (see --json)")
    return "constraints:\n" + "".join(f"  {line}\n" for line in shown)


def _report_text(
    model: ExhaustiveOrdering,
    names: Sequence[str],
    columns: Sequence[int],
    bootstrap: BootstrapResult | None = None,
) -> str:
    from ._cost import format_seconds

    order = model.causal_order_.tolist()
    threads = model.n_threads_
    width = len(str(len(order)))
    label = max(len(names[j]) for j in order)
    place = max(len(f"(column {columns[j]})") for j in order)
    p_values = model.non_gaussianity_p_values_
    margin = (
        f", ahead of the runner-up order by {model.margin_:.4g}"
        if math.isfinite(model.margin_)
        else ""
    )
    text = (
        "causal order (first cause to last effect), with how non-Gaussian each"
        " residual is:\n"
        + "".join(
            f"  {position:>{width}}. {names[j]:<{label}}"
            f"  {f'(column {columns[j]})':<{place}}"
            f"  {model.non_gaussianity_[j]:.4f}  {_p_value(p_values[j])}\n"
            for position, j in enumerate(order, start=1)
        )
        + f"score: {model.score_:.6g}{margin}\n"
        f"search: {model.n_evaluations_:,} score evaluations in "
        f"{format_seconds(model.search_seconds_)} on {threads} "
        f"thread{'s' if threads != 1 else ''}{_sets_text(model)}\n"
        + _constraints_text(model.constraints_)
        + "\n"
    )
    if len(order) > MATRIX_COLUMNS:
        text += (
            "edges (cause -> effect: direct effect):\n"
            + format_edges(model.adjacency_matrix_, names)
            + "\n"
        )
    else:
        text += (
            "adjacency matrix (row i, column j: direct effect of j on i):\n"
            + format_matrix(model.adjacency_matrix_, names)
            + "\n"
        )
    if bootstrap is not None:
        count = len(bootstrap.orders)
        seed = bootstrap.random_state
        places = bootstrap.position_probabilities
        text += (
            f"\nbootstrap, {count} resample{'s' if count != 1 else ''}"
            + (f" (seed {seed})" if seed is not None else "")
            + ":\n  share that put each variable at its place in the order:\n"
            + "".join(
                f"  {position:>{width + 2}}. {names[j]:<{label}}"
                f"  {places[j, position - 1]:.2f}\n"
                for position, j in enumerate(order, start=1)
            )
            + "  share that found each edge (cause -> effect):\n"
            + format_edges(
                model.adjacency_matrix_, names, bootstrap.edge_probabilities
            ).replace("\n  ", "\n    ")[0:0]
            + "\n".join(
                "  " + line
                for line in format_edges(
                    model.adjacency_matrix_, names, bootstrap.edge_probabilities
                ).splitlines()
            )
            + "\n"
        )
    return text


def _connect(address: str) -> Any:
    """A client of the Dask scheduler at ``address``."""
    try:
        from distributed import Client
    except ImportError:
        raise UsageError(
            "--scheduler needs Dask's distributed: pip install 'veldra[distributed]'"
        ) from None
    try:
        return Client(address, timeout=30, set_as_default=False)
    except (OSError, TimeoutError, ValueError) as error:
        raise DataError(
            f"cannot reach the Dask scheduler at {address}: {error}"
        ) from None


def _order(args: argparse.Namespace) -> int:
    if sys.stdout is None:
        raise DataError("standard output is closed: nowhere to write the results")
    if args.scheduler is not None and args.threads is not None:
        raise UsageError(
            "--threads is for a search on this machine; with --scheduler the"
            " workers' threads do the work (dask worker --nthreads)"
        )
    threads, note = cap_threads(args.threads)
    if note is not None and not args.quiet:
        _say(f"veldra: warning: --threads {args.threads}: {note}")
    dot = None
    if args.dot is not None and not args.estimate:
        dot = _open_output(args.dot)

    from . import _api
    from ._cost import estimate_cost
    from ._estimator import ExhaustiveOrdering

    table = read_csv(
        args.file, header=args.header, delimiter=args.delimiter, columns=args.columns
    )
    names, columns = table.names, table.columns
    try:
        data, _ = _api.checked_array(table.data, names, copy=False)
    except ValueError as error:
        raise DataError(f"{args.file}: {error}") from None
    del table  # the numbers are standardised in place below
    n, d = data.shape
    from ._knowledge import make_knowledge

    knowledge = _knowledge_options(args, names)
    try:
        make_knowledge(d, names, **knowledge)
    except (ValueError, TypeError) as error:
        raise UsageError(str(error)) from None

    cost: CostEstimate | None = None
    work = d * 2 ** (d - 1) * max(n, 1000)
    if args.estimate or (work > _TRIVIAL_WORK and args.scheduler is None):
        cost = estimate_cost(n, d, n_threads=threads, **knowledge)
        _release_free_memory()
    try:
        prepared: Prepared = _api.prepare(data, names, in_place=True)
    except ValueError as error:
        raise DataError(f"{args.file}: {error}") from None
    del data
    if args.estimate:
        assert cost is not None
        if args.json:
            record = {
                "n_samples": n,
                "n_features": d,
                "n_threads": cost.n_threads,
                "n_evaluations": cost.n_evaluations,
                "memory_bytes": _memory(cost),
                "table_bytes": cost.table_bytes,
                "seconds": cost.seconds,
            }
            _emit(json.dumps(record) + "\n")
        else:
            _emit(f"{n} samples, {d} columns: {_estimate_text(cost, _memory(cost))}\n")
        return 0
    searches = 1 + (args.bootstrap or 0)
    expected = cost.seconds * searches if cost is not None else None
    if expected is not None and expected > LONG_RUN_SECONDS and not args.quiet:
        assert cost is not None
        more = f" (and {args.bootstrap} like it)" if args.bootstrap else ""
        _say(f"veldra: {_estimate_text(cost, _memory(cost))}{more}")

    model = ExhaustiveOrdering(
        reference=args.reference,
        pruning=args.pruning,
        criterion=args.criterion,
        n_threads=threads if args.scheduler is None else None,
        **knowledge,
    )
    client = None if args.scheduler is None else _connect(args.scheduler)
    global _checkpoint_path
    _checkpoint_path = args.checkpoint
    search_progress = bootstrap_progress = None
    if not args.quiet and sys.stderr is not None:
        search_progress = _Progress(sys.stderr)
        bootstrap_progress = _Progress(sys.stderr, "bootstrap")
    bootstrap = None
    try:
        try:
            model._fit_prepared(
                prepared,
                emit=False,
                record_names=True,
                progress=search_progress and search_progress.update,
                checkpoint=args.checkpoint,
                client=client,
            )
        finally:
            if search_progress is not None:
                search_progress.finish()
            if client is not None:
                client.close()
        _checkpoint_path = None
        if args.bootstrap is not None:
            # The standardised columns: the probabilities do not depend on units.
            try:
                bootstrap = model.bootstrap(
                    prepared.standard,
                    args.bootstrap,
                    random_state=args.seed,
                    progress=bootstrap_progress and bootstrap_progress.update,
                )
            finally:
                if bootstrap_progress is not None:
                    bootstrap_progress.finish()
    except (ValueError, RuntimeError) as error:
        raise DataError(f"{args.file}: {error}") from None
    if not args.quiet:
        for message in model.warnings_:
            _say(f"veldra: warning: {message}")

    if dot is not None:
        _write_output(dot, model.to_dot())
    if args.json:
        _emit(model.to_json(bootstrap) + "\n")
    else:
        _emit(_report_text(model, names, columns, bootstrap))
    return 0


def _show_warning(
    message: Warning | str,
    category: type[Warning],
    filename: str,
    lineno: int,
    file: TextIO | None = None,
    line: str | None = None,
) -> None:
    _say(f"veldra: warning: {message}")


def _main(argv: list[str] | None) -> int:
    parser = build_parser()
    if not (sys.argv[1:] if argv is None else argv):
        with contextlib.suppress(OSError, ValueError, AttributeError):
            parser.print_help()
        return 0
    try:
        args = parser.parse_args(argv)
        if args.seed is not None and args.bootstrap is None:
            parser.error("--seed is the seed of --bootstrap, which is not given")
    except SystemExit as exit_:  # --help, --version or a usage error
        return exit_.code if isinstance(exit_.code, int) else EXIT_USAGE
    with warnings.catch_warnings():
        if args.quiet:
            warnings.simplefilter("ignore")
        else:
            warnings.showwarning = _show_warning
        try:
            return _order(args)
        except DataError as error:
            _say(f"veldra: error: {error}")
            return EXIT_DATA
        except UsageError as error:
            _say(f"veldra: error: {error}")
            return EXIT_USAGE
        except MemoryError as error:
            detail = " ".join(str(error).split())
            _say(
                "veldra: error: out of memory"
                + (f": {detail}" if detail and detail != "std::bad_alloc" else "")
            )
            return EXIT_DATA
        except BrokenPipeError:
            # The reader of stdout went away (e.g. `| head`): nothing to say.
            _silence_stdout()
            return EXIT_DATA
        finally:
            _remove_temporary_files()


def main(argv: list[str] | None = None) -> int:
    """Run the ``veldra`` command line; return its exit status.

    Parameters
    ----------
    argv : list of str or None, default=None
        The arguments after the program name; None reads ``sys.argv``.

    Returns
    -------
    int
        0 on success, 1 for unusable input, an unwritable output or a lack
        of memory, 2 for a command-line error. On Ctrl-C the search stops
        within about a second (saving itself first with --checkpoint) and
        the process ends with status 130.
    """
    try:
        return _main(argv)
    except KeyboardInterrupt:
        _remove_temporary_files()
        with contextlib.suppress(Exception):
            if sys.stdout is not None:
                sys.stdout.flush()
        # Start on a fresh line after a progress line on a terminal.
        with contextlib.suppress(Exception):
            fresh = "\n" if sys.stderr is not None and sys.stderr.isatty() else ""
            note = ""
            if _checkpoint_path is not None and os.path.exists(_checkpoint_path):
                note = (
                    f"; the search so far is saved in {_checkpoint_path}: run"
                    " the same command to resume it"
                )
            _say(fresh + "veldra: interrupted" + note)
        os._exit(EXIT_INTERRUPTED)
