"""User input as a float64 array: arrays and nested sequences, masked
arrays, object and text cells, and data frames (with their column names),
refusing what a conversion would silently change (masked cells, dates and
times, complex numbers) and naming the cell that is not a number.

pandas frames are read directly; other libraries' frames (Polars, PyArrow
and the rest that narwhals knows) through narwhals, imported only for them.
"""

from __future__ import annotations

import datetime
import decimal
import math
import numbers
import sys
from collections.abc import Sequence
from typing import Any

import numpy as np

from ._text import column_label, column_labels

__all__ = [
    "as_float_array",
    "describe",
    "is_frame",
    "other_frame",
    "reject_unsupported",
]

# Cells a Python value may hold that float() would turn into a number but that
# are not quantities: dates, times and durations.
_NOT_QUANTITIES = (
    np.datetime64,
    np.timedelta64,
    datetime.date,
    datetime.time,
    datetime.timedelta,
)


def is_frame(X: object) -> bool:
    """Whether X is a pandas(-like) DataFrame."""
    # iloc first: asking a lazy frame for its columns may resolve its query.
    return hasattr(X, "iloc") and hasattr(X, "columns") and hasattr(X, "to_numpy")


def other_frame(X: object) -> Any:
    """X as a narwhals DataFrame when it is a data frame of another library
    than pandas (Polars, PyArrow, ...), else None.

    Raises
    ------
    TypeError
        For a lazy frame, which holds a query rather than data.
    """
    if isinstance(X, np.ndarray | list | tuple) or is_frame(X):
        return None
    import narwhals.stable.v2 as nw

    frame = nw.from_native(X, pass_through=True)
    if isinstance(frame, nw.LazyFrame):
        kind = f"{type(X).__module__.partition('.')[0]}.{type(X).__name__}"
        raise TypeError(
            f"X is a lazy frame ({kind}): it holds a query, not data; call"
            " `collect()` first and pass the DataFrame it returns"
        )
    return frame if isinstance(frame, nw.DataFrame) else None


def describe(value: object) -> str:
    """A cell for a message: its repr, or the size of a huge integer."""
    # NumPy's durations count as integers, but int() refuses them.
    if isinstance(value, numbers.Integral) and not isinstance(
        value, bool | np.timedelta64
    ):
        bits = abs(int(value)).bit_length()
        if bits > 128:  # its repr may be refused (int_max_str_digits), and long
            return f"an integer of about {int(bits * math.log10(2)) + 1} digits"
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _bad_cell(
    column: np.ndarray, *, missing_ok: bool = False
) -> tuple[int, object, bool] | None:
    """The first cell of an object or text column that is not a real number.

    Returns its row, its value and whether it is a number out of float64's
    range. Numbers written as text count as numbers, as pandas reads them.
    With ``missing_ok``, None and NaN-like values (pandas' missing values)
    pass: the caller turns them into NaN.
    """
    for row, value in enumerate(column.tolist()):
        if isinstance(value, _NOT_QUANTITIES):
            return row, value, False
        if missing_ok and (
            value is None or type(value).__name__ in ("NAType", "NaTType")
        ):
            continue
        if not isinstance(value, bool | numbers.Real | decimal.Decimal | str | bytes):
            return row, value, False
        try:
            float(value)
        except OverflowError:
            return row, value, True
        except ValueError:
            return row, value, False
    return None


def _bad_cell_error(
    index: int, names: Sequence[str] | None, cell: tuple[int, object, bool]
) -> ValueError:
    row, value, out_of_range = cell
    if out_of_range:
        return ValueError(
            f"{column_label(index, names)} is out of range: row {row} holds"
            f" {describe(value)}, beyond the largest float64"
            f" ({sys.float_info.max:.4g})"
        )
    return ValueError(
        f"{column_label(index, names)} is not numeric: row {row} holds {describe(value)}"
    )


def _temporal_error(index: int, names: Sequence[str], dtype: object) -> ValueError:
    return ValueError(
        f"{column_label(index, names)} holds dates, times or durations (dtype"
        f" {dtype}), not quantities; convert it to numbers first, such as"
        " seconds since a start"
    )


def _check_frame_dtypes(frame: Any, names: Sequence[str]) -> None:
    for j, dtype in enumerate(frame.dtypes):
        kind = getattr(dtype, "kind", "")
        if kind == "c":
            raise ValueError(f"Complex data not supported: {column_label(j, names)}")
        if kind in "mM":
            raise _temporal_error(j, names, dtype)


def _frame_to_array(frame: Any) -> tuple[np.ndarray, tuple[str, ...]]:
    names = tuple(str(c) for c in frame.columns)
    shape = getattr(frame, "shape", None)
    if shape is not None and len(shape) == 2 and shape[1] == 0:
        return np.empty(shape, dtype=np.float64), names
    _check_frame_dtypes(frame, names)
    for j, dtype in enumerate(frame.dtypes):
        # Object columns are read cell by cell, as object arrays are, so that
        # dates or times inside them are not taken for numbers.
        if getattr(dtype, "kind", "") == "O":
            cells = np.asarray(frame.iloc[:, j].to_numpy(), dtype=object)
            bad = _bad_cell(cells, missing_ok=True)
            if bad is not None:
                raise _bad_cell_error(j, names, bad)
    try:
        data = frame.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError, OverflowError):
        for j in range(len(names)):
            column = frame.iloc[:, j]
            try:
                column.to_numpy(dtype=np.float64, na_value=np.nan)
            except (TypeError, ValueError, OverflowError):
                cells = np.asarray(column.to_numpy(), dtype=object)
                bad = _bad_cell(cells) or (0, cells[0] if len(cells) else None, False)
                raise _bad_cell_error(j, names, bad) from None
        raise
    # A new C-ordered array, never a view of the frame's own: it is
    # standardised in place.
    return np.array(data, order="C", copy=True), names


def _other_frame_to_array(frame: Any) -> tuple[np.ndarray, tuple[str, ...]]:
    """A narwhals DataFrame's columns as float64, read one by one as pandas'
    are: numbers (nulls as NaN), booleans and numbers written as text."""
    names = tuple(str(c) for c in frame.columns)
    data = np.empty((len(frame), len(names)), dtype=np.float64)
    for j, series in enumerate(frame.iter_columns()):
        if series.dtype.is_temporal():
            raise _temporal_error(j, names, series.dtype)
        cells = series.to_numpy()
        kind = cells.dtype.kind
        if cells.ndim != 1:  # a column of fixed-size arrays
            raise _bad_cell_error(j, names, (0, cells[0], False))
        if kind == "c":
            raise ValueError(f"Complex data not supported: {column_label(j, names)}")
        if kind in "mM":
            raise _temporal_error(j, names, series.dtype)
        if kind not in "biuf":
            bad = _bad_cell(np.asarray(cells, dtype=object), missing_ok=True)
            if bad is not None:
                raise _bad_cell_error(j, names, bad)
            cells = [math.nan if value is None else value for value in cells.tolist()]
        data[:, j] = cells
    return data, names


def _reject_masked_cells(X: Any) -> None:
    if np.ma.isMaskedArray(X):
        mask = np.ma.getmaskarray(X)
        if mask.any():
            where = ""
            if mask.ndim == 2:
                where = f" in {column_labels(np.flatnonzero(mask.any(axis=0)).tolist(), None)}"
            raise ValueError(
                f"X is a masked array with masked cells{where}; the values under"
                " the mask would be used as data. Drop the rows that hold them"
                " or fill them first (X.filled(value))"
            )


def _reject_non_numbers(array: np.ndarray) -> None:
    """Refuse a 2-D array whose dtype holds no numbers: text (naming its
    first cell that is not a number, if any), dates, times, durations; and
    an object array with a date, time or duration in a cell."""
    kind = array.dtype.kind
    if kind == "O":
        for j in range(array.shape[1]):
            for row, value in enumerate(array[:, j].tolist()):
                if isinstance(value, _NOT_QUANTITIES):
                    raise _bad_cell_error(j, None, (row, value, False))
        return
    if kind in "US":
        for j in range(array.shape[1]):
            bad = _bad_cell(array[:, j])
            if bad is not None:
                raise _bad_cell_error(j, None, bad)
        raise ValueError(
            f"X holds text (dtype {array.dtype}), not numbers;"
            " convert it with X.astype(float) first"
        )
    if kind not in "biufcO":
        raise ValueError(f"X must hold numbers, got dtype {array.dtype}")


def reject_unsupported(X: Any) -> None:
    """Refuse inputs whose conversion to numbers would silently change them,
    before a conversion that would (scikit-learn's).

    A masked array's masked cells still hold values, which the conversion
    would use; a DataFrame's date, time and duration columns, and an array
    of dates, times or durations, would become counts of their units; an
    array of text would be read as numbers, where :func:`as_float_array`
    asks for a conversion.

    Raises
    ------
    ValueError
        Naming the columns concerned.
    """
    _reject_masked_cells(X)
    if is_frame(X):
        _check_frame_dtypes(X, tuple(str(c) for c in X.columns))
        return
    if isinstance(X, list | tuple):
        try:
            X = np.asarray(X)
        except (ValueError, TypeError, OverflowError):
            return  # not an array: the conversion says so
    if isinstance(X, np.ndarray) and X.ndim == 2:
        _reject_non_numbers(np.ma.getdata(X))


def _array_to_float(X: Any, *, copy: bool = True) -> np.ndarray:
    if type(X).__module__.startswith("scipy.sparse"):
        import scipy.sparse

        if scipy.sparse.issparse(X):
            raise TypeError(
                "sparse input is not supported; convert it with X.toarray() first"
            )
    _reject_masked_cells(X)
    if np.ma.isMaskedArray(X):
        X = np.ma.getdata(X)
    try:
        array = np.asarray(X)
    except ValueError as error:  # ragged nested sequences
        raise ValueError(f"X is not a rectangular array: {error}") from None
    except OverflowError as error:
        raise ValueError(f"X holds a number out of range: {error}") from None
    if array.ndim != 2:
        if array.ndim == 1:
            got = f"a 1-D array of shape {array.shape}"
            hint = (
                "; use X.reshape(-1, 1) for a single feature"
                " or X.reshape(1, -1) for a single sample"
            )
        else:
            got = f"an array with {array.ndim} dimensions, shape {array.shape}"
            hint = ""
        raise ValueError(
            f"expected a 2-D array of shape (n_samples, n_features), got {got}{hint}"
        )
    kind = array.dtype.kind
    if kind == "c":
        raise ValueError("Complex data not supported; pass the real part or split it")
    if kind in "biuf":
        return np.array(array, dtype=np.float64, order="C", copy=copy or None)
    if kind == "O":
        for j in range(array.shape[1]):
            bad = _bad_cell(array[:, j])
            if bad is not None:
                raise _bad_cell_error(j, None, bad)
        return np.array(array, dtype=np.float64, order="C")
    _reject_non_numbers(array)
    raise AssertionError(f"unreachable: dtype {array.dtype}")


def as_float_array(
    X: Any, *, copy: bool = True
) -> tuple[np.ndarray, tuple[str, ...] | None]:
    """X as a 2-D float64 C-ordered array, and a data frame's column names
    (None for other input; names given apart are :mod:`veldra._data`'s).

    Returns a new array unless ``copy`` is false and X is already such an
    array.
    """
    names = None
    other = other_frame(X)
    if other is not None:
        data, names = _other_frame_to_array(other)
    elif is_frame(X):
        data, names = _frame_to_array(X)
        if data.ndim != 2:
            raise ValueError("expected a 2-D table of shape (n_samples, n_features)")
    else:
        data = _array_to_float(X, copy=copy)
    return data, names
