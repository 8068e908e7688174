"""What a search will cost: score evaluations, memory and a calibrated time.

The time is not guessed from constants: the first estimate for a given
number of samples and threads times real searches on synthetic data of that
size on this machine, fits a cost per score evaluation, and keeps the fit
for the rest of the process. The work of the call around the search is
timed the same way, once per number of samples and variables.

Cost model
----------
A search over d variables scores ``d * 2**(d - 1)`` candidate sinks. One
score regresses the candidate on the k other members of its subset
(k averages (d - 1) / 2 over the search), computes n residuals, sorts them
with a sorting network and compares them with the reference. Its time is
modelled as ``a(n) + b(n) * d``: ``a`` gathers the fixed part and the sort
(which depends on n alone: the network is oblivious to the data) and ``b``
the work per sample and variable in the residual pass. Both are fitted from
two single-thread searches, at d = 5 and d = 9, on min(n, 2048) samples;
for larger n, a search at d = 2 on the full n (up to 2**20 samples) fixes
``a(n)``, and ``b`` is scaled in proportion to n. Beyond 2**20 samples
``a`` is scaled by the comparator count of the sorting network,
proportional to n * log2(n)**2, and ``b`` by n. Several threads share
each level of the search; their speed-up is measured by repeating the
d = 9 search with the requested thread count.

Around the search, :func:`veldra.causal_order` checks the data (sorting
each column) and standardises them; after it, it re-scores about d**2
residuals for the margins, re-scores the order and its runner-up on
resamples of the rows for the margin's noise
(:func:`veldra._diagnostics.margin_resamples` of them: 200 on small data,
down to 20 of fewer rows on large), and tests the residuals' independence: 2 (d - 1)
kernel matrices and d (d - 1) / 2 kernel tests on at most
``INDEPENDENCE_ROWS`` rows, and d (d - 1) cross-cumulant tests on every
row. Each step is timed, by its own code, on synthetic data of d
variables and min(n, 2**18 / d) rows, the linear algebra library on one
thread; the steps that sort are scaled to n in proportion to
n * log2(n), the cumulant tests to n, the kernel tests to
min(n, INDEPENDENCE_ROWS)**2. The graph's regressions are left out: a
fraction of a percent of the call. The calibration's data fit in the
processor's caches and large data do not, so at millions of rows the
estimate is low: by a fifth at a million rows of 5 variables, by two
fifths at 5 million of 3.

The calibration runs are timed in CPU time, so the estimate is the time
the search takes on CPUs it has to itself: other programs running at the
same time make the real search slower than estimated, not the estimate
larger.
"""

from __future__ import annotations

import functools
import math
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from .._checks import MAX_FEATURES, MAX_SAMPLES, as_int
from .._diagnostics import margin_resamples
from .._exhaustive_kernel import _sink_dp
from .._text import format_bytes, format_seconds, plural
from .._threads import kernel_threads, resolve_threads
from ._state import table_bytes as _table_bytes

__all__ = ["CostEstimate", "estimate_cost"]

# Beyond this the evaluations no longer fit in a float.
_MAX_ESTIMATED_FEATURES = 1000
# Calibration sizes. The two small searches fit a and b; 2048 samples keep
# them near 0.1 s on one core while the residual pass is already measurable,
# and d = 9 makes a search long enough (2304 evaluations) for the cost of the
# call itself and the pool's start to count for little.
_SMALL_N = 2048
_LOW_D = 5
_HIGH_D = 9
# Largest n timed directly (one d = 2 search: 4 evaluations).
_DIRECT_N = 2**20
# Timings repeat until this much wall-clock time is spent, at least twice
# and at most _MAX_REPEATS times.
_REPEAT_BUDGET = 0.1
_MAX_REPEATS = 4
# Values (rows times variables) the work around the search is timed on:
# some tens of milliseconds a step, and enough rows for each step's fixed
# cost to count for little once scaled.
_AROUND_VALUES = 2**18
_MAX_STEP_RUNS = 10


@dataclass(frozen=True)
class CostEstimate:
    """The size of one search, and how long it should take on this machine.

    Attributes
    ----------
    n_samples : int
        Samples (rows) of the data.
    n_features : int
        Variables (columns) of the data.
    n_threads : int
        Threads the search would run on.
    n_evaluations : int
        Candidate sinks scored, ``n_features * 2**(n_features - 1)``.
    table_bytes : int
        The search's tables at their peak: a sink per subset (one byte) and
        room for the best totals of two levels of subsets (float32),
        ``2**d + 8 * comb(d, d // 2)`` bytes for d features.
    data_bytes : int
        The standardised copy of the data and the search's own copy of it
        by columns (``2 * 8 * n_samples * n_features``), the cross-product
        matrix and the reference (float64), and one residual buffer of
        ``n_samples`` values per thread.
    memory_bytes : int
        ``table_bytes + data_bytes``: the peak the search adds to the
        caller's own copy of the data, resumed from a checkpoint or not (a
        checkpoint is read straight into the tables, through a 1 MiB
        buffer).
    seconds : float
        Expected wall-clock time of the whole :func:`veldra.causal_order`
        call on CPUs free of other load: ``search_seconds`` and the data's
        checks before the search, the diagnostics, the graph and the
        independence tests after it.
    search_seconds : float
        Expected wall-clock time of the search alone, from the calibration.
    seconds_per_evaluation : float
        Expected time of one score on one thread at this size.
    speedup : float
        Measured speed-up of ``n_threads`` threads over one.
    feasible : bool
        Whether the search accepts this size (at most 30 variables and
        ``2**31 - 1`` samples). An infeasible size is still estimated, so
        that the reason can be shown.
    """

    n_samples: int
    n_features: int
    n_threads: int
    n_evaluations: int
    table_bytes: int
    data_bytes: int
    memory_bytes: int
    seconds: float
    search_seconds: float
    seconds_per_evaluation: float
    speedup: float
    feasible: bool

    def __str__(self) -> str:
        return (
            f"{self.n_evaluations:,} score evaluations, "
            f"{format_bytes(self.memory_bytes)} of memory "
            f"({format_bytes(self.table_bytes)} of tables), "
            f"estimated {format_seconds(self.seconds)}"
            f" (the search {format_seconds(self.search_seconds)}) on"
            f" {plural(self.n_threads, 'thread')}"
        )


@dataclass(frozen=True)
class _Calibration:
    fixed: float  # a: seconds per evaluation, not counting the variables
    per_feature: float  # b: seconds per evaluation and variable
    speedup: float  # of the thread count over one thread
    n_samples: int  # the n that a and b hold for


@dataclass(frozen=True)
class _Around:
    """CPU seconds of the steps around the search, on ``rows`` rows (the
    kernel test's on ``kernel_rows``)."""

    rows: int
    checks: float  # prepare_data and the reference
    score: float  # one residual score of the diagnostics
    resample: float  # one resample of the margin's noise, both orders
    cumulant: float  # one cross-cumulant test
    kernel_rows: int
    kernel: float  # one kernel matrix of the independence test
    kernel_test: float  # one kernel test of a pair


_cache: dict[tuple[int, int], _Calibration] = {}
_around_cache: dict[tuple[int, int], _Around] = {}
_cache_lock = threading.Lock()


def _problem(n: int, d: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Independent uniform columns: full rank, so no score is skipped."""
    rng = np.random.default_rng(20240605)
    X = rng.uniform(-1.0, 1.0, (n, d))
    X -= X.mean(axis=0)
    reference = np.sort(rng.standard_normal(n))
    return np.ascontiguousarray(X), X.T @ X, reference


def _seconds_per_evaluation(*sizes: tuple[int, int, int]) -> list[float]:
    """Seconds per score of real searches at each (n, d, threads).

    A run is timed by CPU time, not by the clock on the wall, so that the
    time slices other programs take on a busy machine do not count: on one
    thread, the CPU time of the calling thread (the search runs on it); on
    T threads, the CPU time of the process divided by T (the threads work
    or spin, waiting for one another, from the start of each level to its
    end). The result is the wall-clock time on CPUs free of other load.
    The searches take turns and each keeps its fastest run.
    """
    problems = [(_problem(n, d), d, threads) for n, d, threads in sizes]
    best = [math.inf] * len(sizes)
    started = time.perf_counter()
    for repeat in range(_MAX_REPEATS):
        for i, ((X, gram, reference), d, threads) in enumerate(problems):
            count = kernel_threads(threads)
            clock = time.thread_time if count == 1 else time.process_time
            start = clock()
            _sink_dp(X, gram, reference, d, threads)
            best[i] = min(best[i], (clock() - start) / count)
        if repeat >= 1 and time.perf_counter() - started >= _REPEAT_BUDGET:
            break
    return [t / (d * 2 ** (d - 1)) for t, (_, d, _) in zip(best, sizes, strict=True)]


def _sort_work(n: int) -> float:
    """Comparators of the merge-exchange network on n values, to a factor."""
    levels = max(math.ceil(math.log2(n)), 1)
    return n * levels * (levels + 1)


def _calibrate(n: int, threads: int) -> _Calibration:
    # A warm-up call pays for first-use costs (code dispatch, page faults).
    _seconds_per_evaluation((2, 1, 1))
    small = min(n, _SMALL_N)
    # Centred data of n rows have rank n - 1: keep the d columns independent.
    high = max(min(_HIGH_D, small - 1), 1)
    low = min(_LOW_D, high)
    sizes = [(small, high, 1)]
    if low < high:
        sizes.append((small, low, 1))
    if kernel_threads(threads) > 1:
        sizes.append((small, high, threads))
    if n > small:
        sizes.append((n, 2, 1))
    timings = dict(zip(sizes, _seconds_per_evaluation(*sizes), strict=True))

    t_high = timings[small, high, 1]
    t_low = timings.get((small, low, 1), t_high)
    per_feature = max((t_high - t_low) / (high - low), 0.0) if low < high else 0.0
    fixed = max(t_low - per_feature * low, 0.0)
    if n > small:
        # The residual pass grows in proportion to n.
        per_feature *= n / small
        t_full = timings[n, 2, 1]
        fixed = max(t_full - 2 * per_feature, 0.5 * t_full)
    speedup = t_high / timings.get((small, high, threads), t_high)
    speedup = min(speedup, float(kernel_threads(threads)))
    return _Calibration(fixed, per_feature, speedup, n)


def _calibration(n: int, threads: int) -> _Calibration:
    key = (min(n, _DIRECT_N), threads)
    with _cache_lock:
        found = _cache.get(key)
        if found is None:
            found = _cache[key] = _calibrate(*key)
    return found


def _cpu_seconds(step: Callable[[], Any]) -> tuple[float, Any]:
    """CPU time of this thread for ``step``, and its result.

    The fastest of runs repeated until _REPEAT_BUDGET of wall-clock time is
    spent (one run if it takes that long, else at least two and at most
    _MAX_STEP_RUNS): the first runs of a short step pay for first use.
    """
    best, runs, started = math.inf, 0, time.perf_counter()
    while runs < _MAX_STEP_RUNS:
        start = time.thread_time()
        result = step()
        best = min(best, time.thread_time() - start)
        runs += 1
        spent = time.perf_counter() - started
        if spent >= _REPEAT_BUDGET and (runs >= 2 or best >= _REPEAT_BUDGET):
            break
    return best, result


def _calibrate_around(rows: int, d: int) -> _Around:
    from threadpoolctl import threadpool_limits

    # The linear algebra library's threads, waiting for one another on a
    # busy machine, make its small products look many times dearer, and
    # change from run to run.
    with threadpool_limits(limits=1, user_api="blas"):
        return _time_around(rows, d)


def _time_around(rows: int, d: int) -> _Around:
    from .._data import prepare_data
    from .._diagnostics import ResidualScorer, resampled_lead
    from .._independence import _cumulant_p, _hsic_p, _kernel
    from .._pipeline import INDEPENDENCE_ROWS
    from .._reference import make_reference

    rng = np.random.default_rng(20240605)
    X = rng.uniform(-1.0, 1.0, (rows, d))
    checks, (prepared, reference) = _cpu_seconds(
        lambda: (prepare_data(X), make_reference("normal", rows))
    )
    standard = prepared.standard
    order = np.arange(d)
    kernel_rows = min(rows, INDEPENDENCE_ROWS)
    kernel, matrix = _cpu_seconds(lambda: _kernel(standard[:kernel_rows, -1]))

    def scores() -> None:
        scorer = ResidualScorer(standard, prepared.gram, reference)
        for j in range(d):
            scorer.score(j, (1 << j) - 1)

    return _Around(
        rows=rows,
        checks=checks,
        score=_cpu_seconds(scores)[0] / d,
        resample=_cpu_seconds(
            lambda: resampled_lead(standard, order, order[::-1], reference, rng)
        )[0],
        cumulant=_cpu_seconds(lambda: _cumulant_p(standard[:, -1], standard[:, 0]))[0],
        kernel_rows=kernel_rows,
        kernel=kernel,
        kernel_test=_cpu_seconds(lambda: _hsic_p(matrix, matrix))[0],
    )


def _around_search(n: int, d: int, evaluations: int) -> float:
    """CPU seconds of the call's work before and after the search."""
    # Enough rows for d independent columns and a kernel test, even when
    # n is not: the times are scaled down to n.
    rows = max(min(n, _AROUND_VALUES // d), d + 8)
    key = (rows, d)
    with _cache_lock:
        found = _around_cache.get(key)
        if found is None:
            found = _around_cache[key] = _calibrate_around(rows, d)

    sorting = n * math.log2(n) / (found.rows * math.log2(found.rows))
    seconds = (found.checks + d * d * found.score) * sorting
    # Only one allowed order (d evaluations, one per level): no runner-up.
    if evaluations > d:
        resamples, drawn = margin_resamples(n, d)
        seconds += (
            resamples
            * found.resample
            * (drawn * math.log2(max(drawn, 2)) / (found.rows * math.log2(found.rows)))
        )
    if d > 1:
        pairs = d * (d - 1) // 2
        seconds += 2 * pairs * found.cumulant * n / found.rows
        kernels = (min(n, found.kernel_rows) / found.kernel_rows) ** 2
        seconds += (2 * (d - 1) * found.kernel + pairs * found.kernel_test) * kernels
    return seconds


def _evaluations_under(predecessors: Sequence[int]) -> int:
    """The scores a search makes when the variables of bit mask
    ``predecessors[j]`` must come before j, counted without visiting the
    2**d subsets.

    Variable j is scored as the last of a subset S that some allowed order
    starts with exactly when S minus j holds all of j's ancestors, none of
    its descendants, and a set of the variables unrelated to j that holds
    the ancestors of each of its members (a "closed" set); any such set
    will do. So the count is, over j, the number of closed sets of the
    variables unrelated to j: 2**(d - 1) each without constraints.
    """
    d = len(predecessors)
    below = list(predecessors)
    for k in range(d):  # transitive closure
        for j in range(d):
            if below[j] >> k & 1:
                below[j] |= below[k]
    above = [sum(1 << j for j in range(d) if below[j] >> i & 1) for i in range(d)]
    related = [below[j] | above[j] for j in range(d)]

    def members(mask: int) -> Iterable[int]:
        while mask:
            low = mask & -mask
            yield low.bit_length() - 1
            mask ^= low

    @functools.cache
    def closed_sets(mask: int) -> int:
        count, rest = 1, mask
        while rest:
            # A group of variables related to one another, directly or
            # through others: groups combine freely.
            group, grown = 0, rest & -rest
            while grown:
                group |= grown
                reach = 0
                for j in members(grown):
                    reach |= related[j]
                grown = reach & mask & ~group
            rest &= ~group
            if group & (group - 1) == 0:
                count *= 2
                continue
            # The sets without variable x (so without its descendants) and
            # those with it (so with its ancestors); the most related x
            # leaves the least to count.
            x = max(members(group), key=lambda j: (related[j] & group).bit_count())
            count *= closed_sets(group & ~(above[x] | 1 << x)) + closed_sets(
                group & ~(below[x] | 1 << x)
            )
        return count

    full = (1 << d) - 1
    return sum(closed_sets(full & ~(related[j] | 1 << j)) for j in range(d))


def _constrained_evaluations(
    d: int, names: Sequence[str] | None, **knowledge: Any
) -> int:
    if d > MAX_FEATURES:
        raise ValueError(
            f"prior knowledge is counted for at most {MAX_FEATURES} features, got {d}"
        )
    from .._knowledge import make_knowledge

    found = make_knowledge(d, names, **knowledge)
    if found is None:
        return d * 2 ** (d - 1)
    return _evaluations_under(found.predecessors)


def estimate_cost(
    n_samples: int,
    n_features: int,
    *,
    n_threads: int | None = None,
    exogenous: Iterable[int | str] | None = None,
    sinks: Iterable[int | str] | None = None,
    required_order: Iterable[tuple[int | str, int | str]] | None = None,
    prior_knowledge: Any = None,
    column_names: Sequence[str] | None = None,
) -> CostEstimate:
    """Evaluations, memory and expected time of a search of the given size.

    The first call for a given number of samples and threads calibrates the
    time on this machine by timing a few small real searches (a fraction of
    a second); later calls with the same pair reuse that calibration. The
    work around the search (the data's checks, the diagnostics and the
    independence tests) is calibrated likewise, once per number of samples
    and variables.

    Parameters
    ----------
    n_samples : int
        Samples (rows) of the data, at least 2.
    n_features : int
        Variables (columns), at least 0. More than 30 are estimated but
        marked infeasible: the search refuses them.
    n_threads : int or None, default=None
        Threads, as in :func:`veldra.causal_order`: None (or 0) for the CPUs
        this process may use, k for k but no more than those (a larger k is
        lowered, with a UserWarning).
    exogenous, sinks, required_order, prior_knowledge : optional
        Prior knowledge as in :func:`veldra.causal_order`: the evaluations
        are then those of the constrained search, counted exactly (for at
        most 30 features).
    column_names : sequence of str, optional
        The columns' names, so that the prior knowledge may name variables
        and its errors use the names.

    Returns
    -------
    CostEstimate
        The evaluations, memory and seconds (of the whole call and of the
        search), with the thread count and the measured speed-up behind
        them.

    Raises
    ------
    TypeError
        If an argument is not an integer (or None for ``n_threads``).
    ValueError
        If ``n_samples < 2``, ``n_features`` is negative or above 1000, or
        ``n_threads < 0``.
    PriorKnowledgeError
        For prior knowledge that names no column or contradicts itself (a
        ValueError).

    Notes
    -----
    The search costs ``d * 2**(d - 1)`` score evaluations (fewer under
    prior knowledge) and about
    ``2**d + 8 * comb(d, d // 2)`` bytes of tables for d variables
    (2.2 GiB at d = 30). The search's time grows with 2**d, the work around
    it with n: at large n (a million rows or more) and few variables that
    work, mostly the margin's resamples, is most of the call. The estimate
    is as good as the calibration: other programs running during it, or
    during the call, make the two differ.

    Examples
    --------
    >>> cost = estimate_cost(1000, 20, n_threads=1)
    >>> cost.n_evaluations, cost.table_bytes
    (10485760, 2526624)
    """
    n = as_int(n_samples, "n_samples")
    d = as_int(n_features, "n_features")
    if n < 2:
        raise ValueError(f"n_samples must be at least 2, got {n}")
    if d < 0:
        raise ValueError(f"n_features must be 0 or more, got {d}")
    if d > _MAX_ESTIMATED_FEATURES:
        raise ValueError(
            f"n_features = {d} is far beyond the {MAX_FEATURES} the search"
            f" accepts; its cost, d * 2^(d - 1) evaluations, is estimated up to"
            f" d = {_MAX_ESTIMATED_FEATURES}"
        )
    if column_names is not None:
        from .._data import resolve_names

        column_names = resolve_names(column_names, d, "column_names")
    threads = resolve_threads(n_threads)
    effective = kernel_threads(threads)

    evaluations = d * 2 ** (d - 1) if d > 0 else 0
    given = (exogenous, sinks, required_order, prior_knowledge)
    if d > 0 and any(item is not None for item in given):
        evaluations = _constrained_evaluations(
            d,
            column_names,
            exogenous=exogenous,
            sinks=sinks,
            required_order=required_order,
            prior_knowledge=prior_knowledge,
        )
    table_bytes = _table_bytes(d)
    data_bytes = 8 * (2 * n * d + d * d + n + effective * n)

    calibration = _calibration(n, threads) if evaluations else None
    # The call refuses such data at once: nothing around the search to time.
    feasible = d <= MAX_FEATURES and n <= MAX_SAMPLES
    around = _around_search(n, d, evaluations) if evaluations and feasible else 0.0
    if calibration is None:
        per_evaluation, speedup = 0.0, 1.0
    else:
        fixed, per_feature = calibration.fixed, calibration.per_feature
        if n > calibration.n_samples:
            fixed *= _sort_work(n) / _sort_work(calibration.n_samples)
            per_feature *= n / calibration.n_samples
        per_evaluation = fixed + per_feature * d
        speedup = calibration.speedup
    search = evaluations * per_evaluation / speedup
    return CostEstimate(
        n_samples=n,
        n_features=d,
        n_threads=effective,
        n_evaluations=evaluations,
        table_bytes=table_bytes,
        data_bytes=data_bytes,
        memory_bytes=table_bytes + data_bytes,
        seconds=search + around,
        search_seconds=search,
        seconds_per_evaluation=per_evaluation,
        speedup=speedup,
        feasible=feasible,
    )
