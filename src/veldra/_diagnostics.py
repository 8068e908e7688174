"""Whether an order can be trusted: the residuals' non-Gaussianity, the
margin over the next best order and its sampling noise, the independence of
the residuals, and the warnings when any of them says the data cannot pin
the order or the model down.

Only NumPy is imported here; SciPy is loaded when a p-value is asked for.
"""

from __future__ import annotations

import bisect
import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from ._text import column_labels, column_name
from ._threads import linear_algebra_threads, thread_map
from ._warnings import (
    DependentResidualsWarning,
    Finding,
    IdentifiabilityWarning,
    NarrowMarginWarning,
)

__all__ = [
    "ALPHA",
    "MARGIN_RESAMPLES",
    "Diagnostics",
    "IdentifiabilityWarning",
    "ResidualScorer",
    "diagnose",
    "gaussian_p_values",
    "identifiability_messages",
    "independence_findings",
    "margin_noise",
    "margin_resamples",
    "resampled_lead",
]

#: A residual departs from Gaussian when its p-value is below this. The
#: level is a compromise measured by ``benchmarks/trust.py``: at 0.05 the
#: warning fires on 93 % to 100 % of Gaussian data sets (d = 3 to 8, n =
#: 200 to 5000), and on 3 % of clean uniform data sets of 100 rows, where
#: 0.01 gave it on half; 0.1 missed up to 17 % of Gaussian ones at d <= 4.
ALPHA = 0.05
#: Resamples of the rows that re-score the best order and the runner-up.
MARGIN_RESAMPLES = 200
# The most values the margin's resamples sort, in all (about a second):
# fewer resamples on larger data, down to 20, then fewer rows in each.
MARGIN_WORK = 10_000_000
_MIN_MARGIN_RESAMPLES = 20
#: The family-wise error rate of the residual independence tests.
INDEPENDENCE_ALPHA = 0.001
# The lead is within its noise when the runner-up wins in this share of the
# resamples or more.
NARROW_SHARE = 0.25


def _small_sample_limit(d: int) -> int:
    return max(50, 10 * d)


def identifiability_messages(p_values: np.ndarray, n: int) -> list[Finding]:
    """The reasons the order may not be identifiable, as sentences.

    The order is identified when at most one noise term is Gaussian, so at
    least d - 1 residuals along the order must depart from Gaussian
    (p-value below :data:`ALPHA`). With one variable there is nothing to
    order. Calibrated by ``benchmarks/identifiability.py``.
    """
    d = len(p_values)
    if d < 2:
        return []
    messages = []
    clear = int(np.count_nonzero(p_values < ALPHA))
    if clear < d - 1:
        messages.append(
            Finding(
                IdentifiabilityWarning,
                f"the causal order is not identifiable from these data: only {clear}"
                f" of the {d} variables {'has' if clear == 1 else 'have'}"
                " residuals that depart from Gaussian"
                f" (p < {ALPHA}), and at least {d - 1} must; with Gaussian noise every"
                " order fits the data equally well",
            )
        )
    limit = _small_sample_limit(d)
    if n < limit:
        messages.append(
            Finding(
                IdentifiabilityWarning,
                f"{n} samples are very few for {d} variables (fewer than {limit}):"
                " the order is poorly determined",
            )
        )
    return messages


# ----------------------------------------------------------------------------
# The null distribution of the score


def _null_moments(n: int) -> tuple[float, float, float]:
    """Mean, standard deviation and skewness of the log score under Gaussian
    residuals of n samples: interpolated in log n between the simulated
    sizes; beyond the largest, the mean and standard deviation follow their
    slopes over the last two doublings."""
    from ._null_table import TABLE

    sizes = [row[0] for row in TABLE]
    if n <= sizes[0]:
        return TABLE[0][1:]
    if n >= sizes[-1]:
        (n0, m0, s0, _), (n1, m1, s1, g1) = TABLE[-9], TABLE[-1]
        t = math.log(n / n1) / math.log(n1 / n0)
        return m1 + t * (m1 - m0), s1 + t * (s1 - s0), g1
    k = bisect.bisect_left(sizes, n)
    if sizes[k] == n:
        return TABLE[k][1:]
    (n0, *low), (n1, *high) = TABLE[k - 1], TABLE[k]
    t = math.log(n / n0) / math.log(n1 / n0)
    return tuple(a + t * (b - a) for a, b in zip(low, high, strict=True))


def gaussian_p_values(scores: np.ndarray | Sequence[float], n: int) -> np.ndarray:
    """P-values of non-Gaussianity scores against Gaussian residuals of n samples.

    The score is the squared 2-Wasserstein distance between n standardised
    residuals and the normal quantiles at ``(i + 0.5) / n``. Under Gaussian
    residuals its logarithm is nearly normal, with a slight right skew; the
    p-value is the upper tail of that distribution with a Cornish-Fisher
    correction for the skewness, its mean, spread and skewness interpolated
    from simulations (``benchmarks/gaussian_null.py``, which also checks the
    p-values against fresh simulations). NaN for fewer than 3 samples.
    """
    from scipy.special import ndtr

    scores = np.asarray(scores, dtype=np.float64)
    if n < 3:
        return np.full(scores.shape, np.nan)
    mean, sd, skew = _null_moments(n)
    with np.errstate(divide="ignore"):
        w = (np.log(scores) - mean) / sd
    # Invert w = z + skew / 6 * (z**2 - 1) for the root that is increasing in w.
    c = skew / 6.0
    if abs(c) < 1e-12:
        z = w
    else:
        disc = 1.0 + 4.0 * c * (w + c)
        root = np.sqrt(np.maximum(disc, 0.0))
        z = (root - 1.0) / (2.0 * c)
        z = np.where(disc < 0.0, -np.inf if c > 0 else np.inf, z)
    return np.asarray(ndtr(-z), dtype=np.float64)


# ----------------------------------------------------------------------------
# Scores and the margin


class ResidualScorer:
    """The search's score of one candidate, recomputed in float64.

    ``score(s, mask)`` regresses standardised variable ``s`` on the variables
    of bit mask ``mask`` (least squares from the cross-product matrix),
    standardises the residuals to unit root mean square, sorts them and
    returns their mean squared difference with the sorted reference: the
    search's formula, in float64 rather than the search's float32 sums.
    Results are kept, so each candidate is scored once.
    """

    def __init__(self, standard: np.ndarray, gram: np.ndarray, reference: np.ndarray):
        self.standard = standard
        self.gram = gram
        self.reference = reference
        self._scores: dict[tuple[int, int], float] = {}
        self._best: dict[int, float] = {0: 0.0}

    def score(self, sink: int, mask: int) -> float:
        key = (sink, mask)
        value = self._scores.get(key)
        if value is None:
            value = self._compute(sink, mask)
            self._scores[key] = value
        return value

    def _compute(self, sink: int, mask: int) -> float:
        parents = [j for j in range(self.gram.shape[0]) if (mask >> j) & 1]
        residual = self.standard[:, sink]
        if parents:
            try:
                beta = np.linalg.solve(
                    self.gram[np.ix_(parents, parents)], self.gram[parents, sink]
                )
            except np.linalg.LinAlgError:
                return math.nan
            residual = residual - self.standard[:, parents] @ beta
        square = float(np.dot(residual, residual))
        if not square > 0.0:
            return math.nan
        z = np.sort(residual * math.sqrt(len(residual) / square))
        z -= self.reference
        return float(np.dot(z, z)) / len(z)

    def best(self, sinks: np.ndarray, mask: int) -> float:
        """Total score of the search's best order of the variables in ``mask``,
        read from its sink table."""
        path = []
        while mask not in self._best:
            path.append(mask)
            sink = int(sinks[mask])
            mask = 0 if sink < 0 else mask & ~(1 << sink)
        total = self._best[mask]
        for subset in reversed(path):
            sink = int(sinks[subset])
            if sink < 0:  # no candidate with a finite score in this subset
                total = math.nan
                self._best[subset] = total
                continue
            total += self.score(sink, subset & ~(1 << sink))
            self._best[subset] = total
        return total


def _order_scores(
    data: np.ndarray, order: Sequence[int], reference: np.ndarray
) -> float:
    """Total score of ``order`` on centred ``data``, in float64: each variable
    regressed on those before it (through a QR decomposition), residuals
    standardised to unit root mean square, sorted and compared with the
    reference."""
    q, r = np.linalg.qr(data[:, list(order)])
    residual = q * np.diag(r)
    square = np.einsum("ij,ij->j", residual, residual)
    residual *= np.sqrt(len(data) / np.where(square > 0.0, square, np.nan))
    residual.sort(axis=0)
    residual -= reference[:, np.newaxis]
    return float(np.einsum("ij,ij->", residual, residual)) / len(data)


def margin_resamples(
    n_samples: int, n_features: int, resamples: int = MARGIN_RESAMPLES
) -> tuple[int, int]:
    """The resamples :func:`margin_noise` draws for data of this size, and
    the rows in each: each resample sorts 2 ``n_features`` residuals of
    that many rows, ``MARGIN_WORK`` values in all at most, so on large data
    fewer resamples (down to 20), then fewer rows than ``n_samples``."""
    per_resample = 2 * n_features * n_samples
    count = max(_MIN_MARGIN_RESAMPLES, min(resamples, MARGIN_WORK // per_resample))
    rows = min(n_samples, max(MARGIN_WORK // (2 * n_features * count), 1))
    return count, rows


def resampled_lead(
    standard: np.ndarray,
    order: Sequence[int],
    runner_up: Sequence[int],
    reference: np.ndarray,
    rng: np.random.Generator,
    rows: int | None = None,
) -> float:
    """The lead of ``order`` over ``runner_up`` on one resample of ``rows``
    rows (all by default) drawn with replacement by ``rng``: one step of
    :func:`margin_noise`. ``reference`` is sorted and has ``rows`` values."""
    n = len(standard)
    drawn = rng.integers(0, n, n if rows is None else rows)
    return _lead(standard, drawn, order, runner_up, reference)


def _lead(
    standard: np.ndarray,
    drawn: np.ndarray,
    order: Sequence[int],
    runner_up: Sequence[int],
    reference: np.ndarray,
) -> float:
    """The lead of ``order`` over ``runner_up`` on the rows ``drawn``."""
    data = standard[drawn]
    data -= data.mean(axis=0)
    return _order_scores(data, order, reference) - _order_scores(
        data, runner_up, reference
    )


def margin_noise(
    standard: np.ndarray,
    order: Sequence[int],
    runner_up: Sequence[int],
    reference: np.ndarray,
    *,
    resamples: int = MARGIN_RESAMPLES,
    seed: int = 0,
    lead: float = math.nan,
    threads: int = 1,
) -> tuple[float, float]:
    """The sampling noise of the lead of ``order`` over ``runner_up``.

    Both orders are re-scored on ``resamples`` resamples of the rows (drawn
    with replacement, with a fixed seed, so the result is repeatable); no
    search is run. Returns the standard deviation of the lead over the
    resamples (its standard error) and the share of resamples in which the
    runner-up scores higher. The resamples are drawn in turn and scored on
    up to ``threads`` threads, with the same result.

    On large data (more than 10^7 sorted values in all) there are fewer
    resamples, down to 20, and then each draws m < n rows, compared with
    the reference's m quantiles: the leads' spread around ``lead`` (the
    lead on all rows; their mean if not given) is then scaled by
    sqrt(m / n), as a lead's noise shrinks with the square root of the rows.
    """
    n, d = standard.shape
    resamples, rows = margin_resamples(n, d, resamples)
    if rows < n:
        reference = reference[((np.arange(rows) + 0.5) * (n / rows)).astype(np.int64)]
    rng = np.random.default_rng(seed)
    # Drawn in turn on the calling thread, as each piece is handed out.
    draws = (rng.integers(0, n, rows) for _ in range(resamples))
    leads = np.array(
        thread_map(
            lambda drawn: _lead(standard, drawn, order, runner_up, reference),
            draws,
            threads,
        ),
        dtype=np.float64,
    )
    valid = leads[np.isfinite(leads)]
    if len(valid) < 2:
        return math.nan, math.nan
    if rows < n:
        centre = lead if math.isfinite(lead) else float(np.mean(valid))
        valid = centre + (valid - centre) * math.sqrt(rows / n)
    return float(np.std(valid, ddof=1)), float(np.mean(valid < 0.0))


def margin_findings(
    found: Diagnostics,
    score: float,
    adjacency: np.ndarray,
    names: Sequence[str] | None,
) -> list[Finding]:
    """The warning when the lead over the runner-up is a tie or within its
    sampling noise, and the runner-up would change the graph: a runner-up
    that only reorders variables with no edge between them (one that the
    fitted graph allows as well) describes the same model."""
    runner_up = found.runner_up_order
    if runner_up is None or not math.isfinite(found.margin):
        return []
    # The search sums in float32: a lead below its rounding is a tie.
    tie = found.margin <= 1e-6 * abs(score)
    if not tie and not found.runner_up_share >= NARROW_SHARE:
        return []
    position = np.empty(len(runner_up), dtype=np.int64)
    position[runner_up] = np.arange(len(runner_up))
    effects, causes = np.nonzero(adjacency)
    if np.all(position[causes] < position[effects]):
        return []
    shown = ", ".join(
        str(j) if names is None else column_name(j, names) for j in runner_up
    )
    if tie:
        what = f"the best order and the runner-up ({shown}) tie exactly"
    else:
        what = (
            f"the best order's lead over the runner-up ({shown}) is"
            f" {found.margin:.3g}, within its sampling noise (standard error"
            f" {found.margin_se:.3g}; the runner-up wins on"
            f" {100 * found.runner_up_share:.0f} % of resampled rows)"
        )
    return [
        Finding(
            NarrowMarginWarning,
            f"{what}: the data do not decide between them, and they imply"
            " different graphs; more samples, prior knowledge of the order, or"
            " a bootstrap (how often each edge comes back) may",
        )
    ]


def independence_findings(
    p_values: np.ndarray, names: Sequence[str] | None
) -> list[Finding]:
    """The warning when the residuals show dependence the model rules out.

    The pairs' p-values (a symmetric matrix, from
    :func:`veldra._independence.order_dependence_p_values`) are corrected
    for their number by Holm's step-down method at
    :data:`INDEPENDENCE_ALPHA`.
    """
    d = len(p_values)
    pairs = [(float(p_values[i, j]), i, j) for i in range(d) for j in range(i + 1, d)]
    pairs = sorted(pair for pair in pairs if not math.isnan(pair[0]))
    dependent = []
    for rank, (p, i, j) in enumerate(pairs):
        if p > INDEPENDENCE_ALPHA / (len(pairs) - rank):
            break
        dependent.append((p, i, j))
    if not dependent:
        return []
    shown = "; ".join(
        f"{column_labels([i, j], names)} (p = {p:.1g})" for p, i, j in dependent[:5]
    )
    more = f"; and {len(dependent) - 5} more pairs" if len(dependent) > 5 else ""
    return [
        Finding(
            DependentResidualsWarning,
            "the model says each variable's residual is independent of the"
            f" variables before it, and these pairs are not: {shown}{more}"
            f" (corrected for {len(pairs)} pairs). A hidden common cause of the"
            " pair, a non-linear link between them or a wrong order would do"
            " this; the edges and weights involving them are not to be trusted",
        )
    ]


def _walk(sinks: np.ndarray, mask: int) -> list[int]:
    order = []
    while mask:
        sink = int(sinks[mask])
        order.append(sink)
        mask &= ~(1 << sink)
    return order[::-1]


@dataclass(frozen=True)
class Diagnostics:
    """What :func:`diagnose` found; see :class:`veldra.OrderResult`."""

    non_gaussianity: np.ndarray
    non_gaussianity_p_values: np.ndarray
    position_margins: np.ndarray
    margin: float
    margin_se: float
    runner_up_share: float
    runner_up_order: np.ndarray | None
    warnings: tuple[str, ...]


def diagnose(
    standard: np.ndarray,
    gram: np.ndarray,
    sinks: np.ndarray,
    order: np.ndarray,
    reference: np.ndarray,
    normal: np.ndarray | None,
    *,
    predecessors: Sequence[int] | None = None,
    threads: int = 1,
) -> Diagnostics:
    """Non-Gaussianity, p-values, margins and warnings of a search's order.

    ``reference`` is the sorted reference the search used; ``normal`` the
    normal quantiles when that reference was another (None when it was
    them).

    The margin at position k (0-based) compares the answer with the orders
    that agree with it after position k and put another variable at k: the
    best of those is the best order of the first k + 1 variables whose last
    is not the answer's, followed by the answer's tail. Every other order
    falls in exactly one such class (by the last position where it differs),
    so the smallest margin is how far the answer is ahead of the best order
    that differs from it at all, which is the runner-up. Under order
    constraints (``predecessors[j]``: the variables that must come before
    j) only allowed orders compete. The margin's resamples are scored on up
    to ``threads`` threads when the linear algebra runs on one
    (:func:`veldra._threads.linear_algebra_threads`).
    """
    n, d = standard.shape
    scorer = ResidualScorer(standard, gram, reference)
    normal_scorer = scorer if normal is None else ResidualScorer(standard, gram, normal)
    order_list = [int(j) for j in order]
    must_follow = [0] * d
    for j, mask in enumerate(predecessors or ()):
        for i in range(d):
            if (mask >> i) & 1:
                must_follow[i] |= 1 << j

    non_gaussianity = np.empty(d)
    prefix = 0
    for sink in order_list:
        non_gaussianity[sink] = normal_scorer.score(sink, prefix)
        prefix |= 1 << sink

    margins = np.full(d, np.inf)
    best_gap, runner_up = math.inf, None
    prefix = 0
    for k, chosen in enumerate(order_list):
        prefix |= 1 << chosen
        if k == 0:
            continue
        answer = scorer.best(sinks, prefix)
        rival_total, rival = -math.inf, -1
        for other in order_list[: k + 1]:
            if other == chosen or must_follow[other] & prefix:
                continue
            rest = prefix & ~(1 << other)
            total = scorer.score(other, rest) + scorer.best(sinks, rest)
            if total > rival_total:  # NaN never wins, as in the search
                rival_total, rival = total, other
        if rival < 0:
            continue
        # The search sums in float32: a rival ahead by less than its rounding
        # is a tie.
        margins[k] = max(answer - rival_total, 0.0)
        if margins[k] < best_gap:
            best_gap = float(margins[k])
            head = _walk(sinks, prefix & ~(1 << rival))
            runner_up = np.array([*head, rival, *order_list[k + 1 :]], dtype=np.int64)

    p_values = gaussian_p_values(non_gaussianity, n)
    findings = identifiability_messages(p_values, n)
    margin_se = runner_up_share = math.nan
    if runner_up is not None:
        margin_se, runner_up_share = margin_noise(
            standard,
            order_list,
            runner_up,
            reference,
            lead=best_gap,
            threads=linear_algebra_threads(threads),
        )
    for array in (non_gaussianity, p_values, margins):
        array.flags.writeable = False
    if runner_up is not None:
        runner_up.flags.writeable = False
    return Diagnostics(
        non_gaussianity=non_gaussianity,
        non_gaussianity_p_values=p_values,
        position_margins=margins,
        margin=best_gap,
        margin_se=margin_se,
        runner_up_share=runner_up_share,
        runner_up_order=runner_up,
        warnings=tuple(findings),
    )
