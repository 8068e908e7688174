"""What the command line reads: a CSV file of numbers, lingam's
prior-knowledge matrix from a file, and the columns named on the command
line (names, 0-based indices and ranges), each fault reported with its file,
line and column, or its option."""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import itertools
import math
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TextIO

import veldra

from ._errors import DataError, UsageError
from ._parser import ascii_integer

if TYPE_CHECKING:
    import numpy as np

__all__ = ["Table", "knowledge_options", "parse_columns", "read_csv", "read_prior"]

# The longest line read: 30 columns of numbers fit many times over, and a
# file without line breaks (such as /dev/zero) is refused, not read whole.
MAX_LINE = 1 << 20
# Rows converted to numbers at a time; the text of one block is all that is
# held besides the numbers.
CSV_BLOCK_ROWS = 4096


@dataclass(frozen=True)
class Table:
    """Numbers read from a CSV file, with a name per column, and the place of
    each column in the file."""

    data: np.ndarray
    names: tuple[str, ...]
    columns: tuple[int, ...] = ()


def _too_many_columns(path: str, count: int, selected: bool) -> DataError:
    limit = veldra.MAX_FEATURES
    what = "columns selected" if selected else "columns"
    return DataError(
        f"{path}: {count} {what}, but at most {limit} can be searched: the "
        "search visits all 2^d subsets of the d columns, so it needs more than "
        f"2^d bytes of tables ({2**count:,} bytes for d = {count}) and "
        f"d * 2^(d-1) score evaluations ({count * 2 ** (count - 1):,}); select "
        f"at most {limit} columns with --columns (names or 0-based indices and"
        f" ranges, such as --columns 0-{limit - 1})"
    )


def _columns_of(
    item: str,
    names: Sequence[str],
    option: str,
    error: type[Exception],
    *,
    ranges: bool,
) -> list[int]:
    """The columns one item of an option names: a column name, a 0-based
    index or, with ``ranges``, an inclusive range ``i-j``. A name wins over
    an index or range spelled the same."""
    if item in names:
        return [list(names).index(item)]
    first, dash, last = item.partition("-")
    low = ascii_integer(first, signed=False)
    high = low
    if dash:
        high = ascii_integer(last, signed=False) if ranges else None
    if low is not None and high is not None:
        if high < low or high >= len(names):
            shown = repr(item) if dash else item
            raise error(
                f"{option}: {shown} is out of range; the indices run from 0 to"
                f" {len(names) - 1}"
            )
        return list(range(low, high + 1))
    # A name a terminal would act on is quoted, as the other messages do.
    shown = ", ".join(n if n.isprintable() else repr(n) for n in names[:10])
    shown += ", ..." if len(names) > 10 else ""
    expected = ""
    if any(c.isdigit() and not c.isascii() for c in item):
        expected = "indices are written with the digits 0-9; "
    raise error(f"{option}: no column named {item!r} ({expected}the columns: {shown})")


def parse_columns(selection: str, names: Sequence[str]) -> list[int]:
    """The columns a ``--columns`` value selects, in the order given.

    Items are separated by commas; each is a column name, a 0-based index
    or an inclusive range of indices ``i-j``.

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
        for j in _columns_of(text, names, "--columns", DataError, ranges=True):
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


def _unclosed_quote(path: str, line: int, last: int) -> DataError:
    # Only a quoted field spans lines, and neither numbers nor the names of
    # a header need one: a quote was opened and not closed.
    return DataError(
        f'{path}, line {line}: a quote (") opens a field that is not closed on'
        f" that line (the field runs on to line {last})"
    )


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
            if count + len(block) > veldra.MAX_SAMPLES:
                raise DataError(
                    f"{path}: more than {veldra.MAX_SAMPLES:,} rows; the search"
                    " counts rows in 32 bits"
                )
            if count + len(block) > data.shape[0]:
                # Grown in place where the allocator can (large blocks are
                # remapped, not copied).
                size = max(count + len(block), data.shape[0] * 5 // 4, CSV_BLOCK_ROWS)
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
                if first[1] > first[0]:
                    raise _unclosed_quote(path, first[0], first[1])
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
            if len(names) > veldra.MAX_FEATURES:
                raise _too_many_columns(path, len(names), columns is not None)
            everything = len(keep) == width and keep == sorted(keep)
            data = np.empty((0, len(names)))
            for line, last, row in records:
                if last > line:
                    raise _unclosed_quote(path, line, last)
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
                if len(rows) == CSV_BLOCK_ROWS:
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
                # float() alone would read other scripts' digits too.
                value = float(field) if field.isascii() else math.nan
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


def knowledge_options(args: argparse.Namespace, names: Sequence[str]) -> dict[str, Any]:
    """The estimator's prior-knowledge parameters from the options, by index.

    Raises
    ------
    UsageError
        For an empty item or a column that does not exist.
    DataError
        For a faulty ``--prior`` file.
    """

    def variable(text: str, option: str) -> int:
        [index] = _columns_of(text, names, option, UsageError, ranges=False)
        return index

    def variables(values: list[str] | None, option: str) -> list[int] | None:
        if not values:
            return None
        items = [item.strip() for value in values for item in value.split(",")]
        if "" in items:
            raise UsageError(f"{option}: an empty item")
        return [variable(item, option) for item in items]

    pairs = None
    if args.before:
        pairs = [
            tuple(variable(side, "--before") for side in pair) for pair in args.before
        ]
    return {
        "exogenous": variables(args.exogenous, "--exogenous"),
        "sinks": variables(args.sink, "--sink"),
        "required_order": pairs,
        "prior_knowledge": (
            None if args.prior is None else read_prior(args.prior, len(names))
        ),
    }
