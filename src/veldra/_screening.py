"""What in the data may mislead the search, found before it runs: discrete
or heavily tied columns, a handful of rows that decide a column's tail,
duplicated rows, a written-out row index; and the robust option's limits on
extreme values. Calibrated by ``benchmarks/trust.py``."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from ._text import column_label, format_number
from ._warnings import (
    DiscreteDataWarning,
    DuplicateRowsWarning,
    Finding,
    OutlierWarning,
    RowIndexWarning,
)

__all__ = ["ROBUST_LIMIT", "limit_extremes", "screen_data"]

# A column is heavily tied when one value holds this share of the rows (and
# at least TIED_ROWS of them); continuous data hold no ties at all.
TIED_SHARE = 0.05
TIED_ROWS = 3
# Duplicated rows are warned about from this share of the rows.
DUPLICATE_SHARE = 0.01
# The tail-gap test: the K most extreme rows of each tail are compared with
# the spacing of the next M. Its largest value over K and both tails stays
# below 30 in 99.9 % of columns of uniform, Gaussian, Laplace, Student t (3
# and 5 degrees of freedom), exponential and log-normal samples of 50 to
# 5000 rows; a cell multiplied by 1e6 gives over 60 from 200 rows on.
GAP_ROWS = 10
GAP_REFERENCE_ROWS = 20
GAP_LIMIT = 40.0
#: The robust option limits each column to its median +- this many robust
#: standard deviations (1.4826 times the median absolute deviation).
ROBUST_LIMIT = 5.0


def _tail_gap(column: np.ndarray) -> tuple[float, np.ndarray]:
    """The largest tail gap of a column and the rows beyond it.

    For each tail, the distances y from the median in decreasing order are
    compared on a log scale: ``k * (log y[k-1] - log y[k])`` (the k-th
    spacing, which for a power-law tail is an exponential variable whose
    mean is the tail's index) over the Hill estimate of that index from the
    next ``GAP_REFERENCE_ROWS`` distances. A few rows far beyond the rest of
    their tail give a large ratio; any smooth tail, light or heavy, a ratio
    of a few units. Scale-free, so only the tail's shape matters.
    """
    median = np.median(column)
    best, rows = 0.0, np.empty(0, dtype=np.int64)
    top = GAP_ROWS + GAP_REFERENCE_ROWS + 1  # the distances the test reads
    for side in (column - median, median - column):
        beyond = np.flatnonzero(side > 0)
        count = len(beyond)
        if count > top:
            # Only the largest distances are ranked (ties at the cut kept,
            # so the ranking is that of a sort of all of them).
            cut = np.partition(side[beyond], count - top)[count - top]
            beyond = beyond[side[beyond] >= cut]
        ranked = beyond[np.argsort(-side[beyond], kind="stable")]
        logs = np.log(side[ranked])
        gaps = min(GAP_ROWS, (count - 2) // 3)
        reference = min(GAP_REFERENCE_ROWS, count - gaps - 1)
        for k in range(1, gaps + 1):
            hill = float(np.mean(logs[k : k + reference])) - logs[k + reference]
            if not hill > 0.0:
                continue
            ratio = k * float(logs[k - 1] - logs[k]) / hill
            if ratio > best:
                best, rows = ratio, ranked[:k]
    return best, rows


def _ties(column: np.ndarray) -> tuple[int, int, float]:
    """Distinct values, rows on the most common one, and that value."""
    values = np.sort(column)
    starts = np.flatnonzero(np.r_[True, values[1:] != values[:-1]])
    counts = np.diff(np.r_[starts, len(values)])
    top = int(np.argmax(counts))
    return len(starts), int(counts[top]), float(values[starts[top]])


def _duplicate_rows(data: np.ndarray) -> int:
    """Rows equal to an earlier row, found through a 64-bit hash of each row
    (a collision, at odds of 2**-64 per pair, would only add to the count)."""
    bits = (data + 0.0).view(np.uint64)  # + 0.0 makes -0.0 into 0.0
    rng = np.random.default_rng(0x5EED)
    factors = rng.integers(1, 2**63, size=data.shape[1], dtype=np.uint64) | 1
    hashes = np.zeros(len(data), dtype=np.uint64)
    with np.errstate(over="ignore"):
        for j in range(data.shape[1]):
            hashes ^= bits[:, j] * factors[j]
            hashes = (hashes << np.uint64(13)) | (hashes >> np.uint64(51))
    hashes.sort()  # faster than np.unique's hash table on millions of rows
    return int(np.count_nonzero(hashes[1:] == hashes[:-1]))


def screen_data(
    data: np.ndarray, names: Sequence[str] | None, *, robust: bool = False
) -> tuple[Finding, ...]:
    """The data's findings, as warnings to give before the search.

    ``data`` holds the checked values, not yet standardised. With
    ``robust``, extreme values will be limited, so they are not reported.
    """
    n, d = data.shape
    findings = []
    discrete = set()
    for j in range(d):
        distinct, count, value = _ties(data[:, j])
        if count >= TIED_ROWS and count >= TIED_SHARE * n:
            discrete.add(j)
            findings.append(
                Finding(
                    DiscreteDataWarning,
                    f"{column_label(j, names)} is discrete or heavily tied"
                    f" ({distinct:,} distinct values; {100 * count / n:.0f} % of"
                    f" the rows hold {format_number(value)}): the score assumes"
                    " continuous noise, so the order around it is not reliable;"
                    " leave discrete variables out, and do not round continuous"
                    " ones coarsely",
                )
            )
    for j in range(d):
        if robust or j in discrete:
            continue
        ratio, rows = _tail_gap(data[:, j])
        if ratio <= GAP_LIMIT:
            continue
        rest = np.delete(data[:, j], rows)
        shown = ", ".join(
            f"row {int(r)}: {format_number(float(data[r, j]))}"
            for r in np.sort(rows)[:5]
        )
        more = f" and {len(rows) - 5} more" if len(rows) > 5 else ""
        findings.append(
            Finding(
                OutlierWarning,
                f"{column_label(j, names)} has {len(rows)} row"
                f"{'s' if len(rows) > 1 else ''} far beyond the rest of its values"
                f" ({shown}{more}, 0-based; the others lie between"
                f" {format_number(float(rest.min()))} and"
                f" {format_number(float(rest.max()))}): so few rows decide how"
                " non-Gaussian it looks, and can decide the order; check those"
                " rows, or limit extreme values with the robust option"
                " (robust=True, --robust)",
            )
        )
    copies = _duplicate_rows(data)
    if copies >= 2 and copies >= DUPLICATE_SHARE * n:
        findings.append(
            Finding(
                DuplicateRowsWarning,
                f"{copies:,} of the {n:,} rows ({100 * copies / n:.0f} %) repeat"
                " an earlier row exactly: every copy counts as a new sample, so"
                " the p-values and the margin's noise claim more evidence than"
                " the data hold; drop the copies unless they are real repeated"
                " measurements",
            )
        )
    first = data[:, 0]
    start = first[0]
    if (
        d > 1
        and n > 2
        and start in (0.0, 1.0)
        and (first == np.arange(n) + start).all()
    ):
        findings.append(
            Finding(
                RowIndexWarning,
                f"the first column ({column_label(0, names)}) holds the row"
                f" numbers {format_number(first[0])} to"
                f" {format_number(first[-1])}: it looks like a row index"
                " written out with the data (as pandas' to_csv does unless"
                " index=False); leave it out (--columns on the command line,"
                " index_col=0 in pandas.read_csv)",
            )
        )
    return tuple(findings)


def limit_extremes(data: np.ndarray) -> np.ndarray:
    """Limit each column, in place, to its median +- :data:`ROBUST_LIMIT`
    robust standard deviations; returns the count of values limited per
    column. A column whose median absolute deviation is 0 (over half its
    rows on one value) is left as it is."""
    median = np.median(data, axis=0)
    spread = 1.4826 * np.median(np.abs(data - median), axis=0)
    limited = np.zeros(data.shape[1], dtype=np.int64)
    for j in np.flatnonzero(spread > 0.0):
        low = median[j] - ROBUST_LIMIT * spread[j]
        high = median[j] + ROBUST_LIMIT * spread[j]
        column = data[:, j]
        limited[j] = int(np.count_nonzero((column < low) | (column > high)))
        np.clip(column, low, high, out=column)
    return limited
