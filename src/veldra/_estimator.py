"""The scikit-learn style estimator: causal order, weighted graph, bootstrap."""

from __future__ import annotations

import functools
import itertools
import math
import numbers
import os
import time
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import numpy.typing as npt
from sklearn.base import BaseEstimator
from sklearn.linear_model import lars_path_gram
from sklearn.utils import check_random_state
from sklearn.utils.validation import check_array, check_is_fitted, validate_data

from . import _api
from ._checks import CRITERIA, PRUNINGS, as_int
from ._engine import ProgressCallback
from ._export import (
    SCHEMA,
    SCHEMA_VERSION,
    default_names,
    dump_record,
    format_dot,
    load_record,
)
from ._knowledge import Knowledge, make_knowledge
from ._threads import resolve_threads

__all__ = ["BootstrapResult", "ExhaustiveOrdering"]

_PRUNINGS = PRUNINGS
_CRITERIA = CRITERIA


_MAX_PATHS = 1_000_000


def _sorted_by_count(counts: dict[Any, int], limit: int | None) -> list[Any]:
    """Keys by count, largest first; ties keep their first-seen order."""
    keys = sorted(counts, key=lambda key: -counts[key])
    return keys if limit is None else keys[: as_int(limit, "limit")]


@dataclass(frozen=True, eq=False)
class BootstrapResult:
    """What :meth:`ExhaustiveOrdering.bootstrap` found over the resamples.

    Besides veldra's own summaries, it answers the questions of lingam's
    bootstrap result under the same names, argument names and return
    shapes (``get_causal_direction_counts``, ``get_probabilities`` and so
    on; ``adjacency_matrices_``, ``total_effects_``, ``resampled_indices_``).

    An edge j -> i is present in a resample when its direct effect
    ``B[i, j]`` is nonzero and, given ``min_causal_effect``, at least that
    large in absolute value. Ties in counts and probabilities keep the order
    of B's entries, row by row (by effect, then cause).

    Attributes
    ----------
    edge_probabilities : ndarray of shape (n_features, n_features)
        Entry ``[i, j]`` is the share of resamples whose adjacency matrix
        has a nonzero direct effect of variable ``j`` on variable ``i``.
    position_probabilities : ndarray of shape (n_features, n_features)
        Entry ``[i, k]`` is the share of resamples that put variable ``i``
        at position ``k`` of the causal order (0 is first). Every row sums
        to 1.
    orders : ndarray of shape (n_sampling, n_features)
        The causal order found on each resample, first to last.
    adjacency_matrices : ndarray of shape (n_sampling, n_features, n_features)
        The adjacency matrix estimated on each resample.
    resampled_indices : ndarray of shape (n_sampling, n_samples) or None
        The rows of the data each resample drew.
    column_names : tuple of str or None
        The columns' names, when the data had them.
    random_state : int or None
        The seed of the resampling, when it was an integer.
    """

    edge_probabilities: np.ndarray
    position_probabilities: np.ndarray
    orders: np.ndarray
    adjacency_matrices: np.ndarray
    resampled_indices: np.ndarray | None = None
    column_names: tuple[str, ...] | None = None
    random_state: int | None = None

    @property
    def adjacency_matrices_(self) -> np.ndarray:
        """The adjacency matrix of every resample, shape (n_sampling, d, d)."""
        return self.adjacency_matrices

    @property
    def resampled_indices_(self) -> np.ndarray | None:
        """The rows each resample drew, shape (n_sampling, n_samples)."""
        return self.resampled_indices

    @functools.cached_property
    def total_effects_(self) -> np.ndarray:
        """Total effects of every resample, shape (n_sampling, d, d).

        Entry ``[k, i, j]`` is the total effect of variable j on variable i
        in resample k: the sum over the directed paths from j to i of the
        products of their direct effects, ``inv(I - B) - I`` for that
        resample's adjacency matrix B (zero without a path).
        """
        d = self.adjacency_matrices.shape[-1]
        identity = np.eye(d)
        effects = (
            np.linalg.solve(identity - self.adjacency_matrices, identity) - identity
        )
        effects[np.broadcast_to(identity.astype(bool), effects.shape)] = 0.0
        effects.flags.writeable = False
        return effects

    def _index(self, value: Any, name: str) -> int:
        d = self.adjacency_matrices.shape[-1]
        if isinstance(value, str) and self.column_names is not None:
            if value in self.column_names:
                return self.column_names.index(value)
            raise ValueError(f"{name}={value!r} is not a column name")
        return _as_index(value, d, name)

    def _present(self, matrices: np.ndarray, min_causal_effect: float | None):
        threshold = _threshold(min_causal_effect)
        size = np.abs(matrices)
        return (size > 0.0) & (size >= threshold)

    def get_causal_direction_counts(
        self,
        n_directions: int | None = None,
        min_causal_effect: float | None = None,
        split_by_causal_effect_sign: bool = False,
    ) -> dict[str, list[int]]:
        """How many resamples have each directed edge, most frequent first.

        Parameters
        ----------
        n_directions : int, optional
            Keep only this many of the most frequent edges.
        min_causal_effect : float, optional
            Count an edge only when its direct effect is at least this large
            in absolute value.
        split_by_causal_effect_sign : bool, default=False
            Count positive and negative effects of the same edge apart, and
            add their signs (+1 or -1) under ``"sign"``.

        Returns
        -------
        dict
            ``{"from": [...], "to": [...], "count": [...]}`` (and
            ``"sign"``), one entry per edge, by count, largest first.
        """
        B = self.adjacency_matrices
        present = self._present(B, min_causal_effect)
        counts: dict[tuple[int, ...], int] = {}
        if split_by_causal_effect_sign:
            for sign, side in ((1, B > 0), (-1, B < 0)):
                total = (present & side).sum(axis=0)
                for i, j in zip(*np.nonzero(total), strict=True):
                    counts[(int(j), int(i), sign)] = int(total[i, j])
            # Row by row again, for ties across the two signs.
            counts = dict(sorted(counts.items(), key=lambda kv: (kv[0][1], kv[0][0])))
        else:
            total = present.sum(axis=0)
            for i, j in zip(*np.nonzero(total), strict=True):
                counts[(int(j), int(i))] = int(total[i, j])
        keys = _sorted_by_count(counts, n_directions)
        result = {
            "from": [key[0] for key in keys],
            "to": [key[1] for key in keys],
            "count": [counts[key] for key in keys],
        }
        if split_by_causal_effect_sign:
            result["sign"] = [key[2] for key in keys]
        return result

    def get_directed_acyclic_graph_counts(
        self,
        n_dags: int | None = None,
        min_causal_effect: float | None = None,
        split_by_causal_effect_sign: bool = False,
    ) -> dict[str, list[Any]]:
        """How many resamples found each graph, most frequent first.

        Parameters
        ----------
        n_dags : int, optional
            Keep only this many of the most frequent graphs.
        min_causal_effect : float, optional
            Leave out edges whose direct effect is smaller than this in
            absolute value.
        split_by_causal_effect_sign : bool, default=False
            Tell graphs apart by the signs of their effects too, and list
            each edge's sign under ``"sign"``.

        Returns
        -------
        dict
            ``{"dag": [...], "count": [...]}``, where each graph is
            ``{"from": [...], "to": [...]}`` (and ``"sign"``), its edges
            row by row of B.
        """
        B = self.adjacency_matrices
        present = self._present(B, min_causal_effect)
        counts: dict[tuple[Any, ...], int] = {}
        for k in range(len(B)):
            targets, sources = np.nonzero(present[k])
            key: tuple[Any, ...] = (tuple(sources.tolist()), tuple(targets.tolist()))
            if split_by_causal_effect_sign:
                key += (tuple(np.sign(B[k][targets, sources]).astype(int).tolist()),)
            counts[key] = counts.get(key, 0) + 1
        keys = _sorted_by_count(counts, n_dags)
        dags = []
        for key in keys:
            dag = {"from": list(key[0]), "to": list(key[1])}
            if split_by_causal_effect_sign:
                dag["sign"] = list(key[2])
            dags.append(dag)
        return {"dag": dags, "count": [counts[key] for key in keys]}

    def get_probabilities(self, min_causal_effect: float | None = None) -> np.ndarray:
        """The share of resamples with each edge, shaped like B.

        Parameters
        ----------
        min_causal_effect : float, optional
            Count an edge only when its direct effect is at least this large
            in absolute value.

        Returns
        -------
        ndarray of shape (n_features, n_features)
            Entry ``[i, j]``: the probability of the edge j -> i.
        """
        return self._present(self.adjacency_matrices, min_causal_effect).mean(axis=0)

    def get_total_causal_effects(
        self, min_causal_effect: float | None = None
    ) -> dict[str, list[Any]]:
        """Total effects found in the resamples, most frequent first.

        Parameters
        ----------
        min_causal_effect : float, optional
            Count a total effect only when it is at least this large in
            absolute value.

        Returns
        -------
        dict
            ``{"from": [...], "to": [...], "effect": [...], "probability":
            [...]}``: every pair with a total effect in some resample (see
            :attr:`total_effects_`), the median of its nonzero values and
            the share of resamples that have it, by that share.
        """
        effects = self.total_effects_
        present = self._present(effects, min_causal_effect)
        share = present.mean(axis=0)
        pairs = list(zip(*np.nonzero(share), strict=True))
        pairs.sort(key=lambda pair: -share[pair])
        return {
            "from": [int(j) for _, j in pairs],
            "to": [int(i) for i, _ in pairs],
            "effect": [
                float(np.median(effects[present[:, i, j], i, j])) for i, j in pairs
            ],
            "probability": [float(share[i, j]) for i, j in pairs],
        }

    def get_paths(
        self,
        from_index: int | str,
        to_index: int | str,
        min_causal_effect: float | None = None,
    ) -> dict[str, list[Any]]:
        """Every directed path from one variable to another, with its
        probability over the resamples.

        Parameters
        ----------
        from_index : int or str
            The variable the paths start at (a column name when the data
            had names).
        to_index : int or str
            The variable they end at.
        min_causal_effect : float, optional
            Leave out edges whose direct effect is smaller than this in
            absolute value.

        Returns
        -------
        dict
            ``{"path": [...], "effect": [...], "probability": [...]}``: each
            path as the list of its variables, from first to last, the
            median over the resamples that have it of the product of its
            direct effects, and the share of resamples that have it; by
            that share, largest first.

        Raises
        ------
        ValueError
            If a resample has more than a million such paths (a dense graph:
            raise ``min_causal_effect``).
        """
        source = self._index(from_index, "from_index")
        target = self._index(to_index, "to_index")
        B = self.adjacency_matrices
        present = self._present(B, min_causal_effect)
        found: dict[tuple[int, ...], list[float]] = {}
        for k in range(len(B)):
            for path in _paths(present[k], source, target):
                effect = float(
                    np.prod([B[k][b, a] for a, b in itertools.pairwise(path)])
                )
                found.setdefault(path, []).append(effect)
        paths = sorted(found, key=lambda path: -len(found[path]))
        return {
            "path": [list(path) for path in paths],
            "effect": [float(np.median(found[path])) for path in paths],
            "probability": [len(found[path]) / len(B) for path in paths],
        }


def _threshold(min_causal_effect: float | None) -> float:
    if min_causal_effect is None:
        return 0.0
    threshold = float(min_causal_effect)
    if not threshold >= 0.0:
        raise ValueError(
            f"min_causal_effect must be 0 or more, got {min_causal_effect!r}"
        )
    return threshold


def _paths(present: np.ndarray, source: int, target: int) -> list[tuple[int, ...]]:
    """The directed paths from source to target of one acyclic graph, where
    ``present[i, j]`` is an edge j -> i; sorted."""
    if source == target:
        return []
    d = len(present)
    # Paths from each variable to the target, counted first (the graph is
    # acyclic, so memoised depth-first search ends).
    counts: dict[int, int] = {}

    def count(v: int) -> int:
        if v == target:
            return 1
        if v not in counts:
            counts[v] = 0  # no cycles: never read before it is set
            counts[v] = sum(count(int(c)) for c in np.flatnonzero(present[:, v]))
        return counts[v]

    if count(source) > _MAX_PATHS:
        raise ValueError(
            f"more than {_MAX_PATHS:,} paths from {source} to {target} in one"
            " resample; raise min_causal_effect"
        )
    paths: list[tuple[int, ...]] = []

    def walk(v: int, path: tuple[int, ...]) -> None:
        if v == target:
            paths.append(path)
            return
        for child in range(d):
            if present[child, v] and count(child):
                walk(child, (*path, child))

    walk(source, (source,))
    return sorted(paths)


# Rows per block of the blockwise QR decomposition.
_BLOCK_ROWS = 8192


def _ordered_r(standard: np.ndarray, order: np.ndarray) -> np.ndarray:
    """R of a QR decomposition of the columns taken in ``order``.

    Its leading k-by-k block and the column after it solve the regression of
    the k-th variable in the order on those before it, and ``R[k, k]**2`` is
    that regression's residual sum of squares. The rows are taken a block at
    a time (each block stacked under the R so far and decomposed again), so
    no copy of the data is made.
    """
    r = np.empty((0, standard.shape[1]))
    for start in range(0, standard.shape[0], _BLOCK_ROWS):
        block = standard[start : start + _BLOCK_ROWS][:, order]
        r = np.linalg.qr(np.vstack([r, block]), mode="r")
    return r


def _predecessor_effects(
    prepared: _api.Prepared | np.ndarray,
    order: np.ndarray,
    pruning: str,
    criterion: str,
    forbidden: np.ndarray | None = None,
) -> np.ndarray:
    """Adjacency matrix: each variable regressed on its predecessors in order.

    ``B[i, j]`` is the direct effect of variable ``j`` on variable ``i``. The
    regressions run on the standardised columns (target and predecessors)
    and their coefficients are scaled back, so that the graph does not
    depend on the units: rescaling column j divides column j of B by the
    factor and rescaling column i multiplies row i by it. ``prepared`` may
    also be a data matrix (as the accuracy benchmark passes), checked and
    standardised here. Where ``forbidden[i, j]`` is True, variable j is left
    out of variable i's regression, so ``B[i, j]`` is exactly 0.
    """
    import scipy.linalg

    if not isinstance(prepared, _api.Prepared):
        prepared = _api.prepare(*_api.checked_array(prepared), in_place=True)
    n_features = prepared.standard.shape[1]
    adjacency = np.zeros((n_features, n_features))
    r = _ordered_r(prepared.standard, order)
    for position in range(1, n_features):
        target = int(order[position])
        parents = order[:position]
        allowed = (
            np.arange(position)
            if forbidden is None
            else np.flatnonzero(~forbidden[target, parents])
        )
        if len(allowed) == 0:
            continue
        if len(allowed) == position:
            beta = scipy.linalg.solve_triangular(
                r[:position, :position], r[:position, position]
            )
            rss = float(r[position, position]) ** 2
        else:
            # On R's columns, as on the data's: Q is orthonormal, and the
            # target's column lies in the span of the first position + 1.
            parents = parents[allowed]
            beta, *_ = scipy.linalg.lstsq(
                r[: position + 1, allowed], r[: position + 1, position]
            )
            change = r[: position + 1, position] - r[: position + 1, allowed] @ beta
            rss = float(change @ change)
        if pruning == "adaptive_lasso":
            beta = _adaptive_lasso(prepared, target, parents, beta, rss, criterion)
        adjacency[target, parents] = beta * prepared.scale_ratio(target, parents)
    return adjacency


def _adaptive_lasso(
    prepared: _api.Prepared,
    target: int,
    parents: np.ndarray,
    beta_ols: np.ndarray,
    rss_ols: float,
    criterion: str,
) -> np.ndarray:
    """Adaptive lasso on the standardised predecessors, tuned by ``criterion``.

    The weights are the absolute least-squares coefficients (gamma = 1): a
    predictor with a small least-squares effect is penalised more. The lasso
    path is LARS on the weighted cross-products, as scikit-learn's
    LassoLarsIC runs it when there are more samples than predictors; the
    criterion is LassoLarsIC's, with each step's residual sum of squares
    taken from the least-squares one, RSS(b) = RSS_ols + (b - b_ols)' G
    (b - b_ols), G the predecessors' cross-products: exact, and without an
    n-by-steps matrix of residuals.
    """
    gram = prepared.gram
    n_samples, n_parents = prepared.standard.shape[0], len(parents)
    # Validation rejects data whose centred columns are rank deficient, so
    # n_samples >= n_features + 1 and at least one residual degree of
    # freedom is left here.
    noise_variance = rss_ols / (n_samples - n_parents - 1)
    if not noise_variance > 0.0:  # an exact fit: nothing to weigh edges by
        return beta_ols
    weights = np.abs(beta_ols)
    cross = gram[np.ix_(parents, parents)]
    _, _, path = lars_path_gram(
        gram[parents, target] * weights,
        cross * np.outer(weights, weights),
        n_samples=n_samples,
        method="lasso",
        alpha_min=0.0,
    )
    change = path * weights[:, np.newaxis] - beta_ols[:, np.newaxis]
    rss = rss_ols + np.einsum("ik,ij,jk->k", change, cross, change)
    degrees_of_freedom = np.count_nonzero(np.abs(path) > np.finfo(float).eps, axis=0)
    penalty = math.log(n_samples) if criterion == "bic" else 2.0
    values = (
        n_samples * math.log(2.0 * math.pi * noise_variance)
        + rss / noise_variance
        + penalty * degrees_of_freedom
    )
    return path[:, int(np.argmin(values))] * weights


def _plain_variables(values: Any) -> list[int | str] | None:
    """Variables as given (indices or names), as JSON can hold them."""
    if values is None:
        return None
    if isinstance(values, str | numbers.Integral):
        values = [values]
    return [v if isinstance(v, str) else int(v) for v in values]


def _as_index(value: Any, n_features: int, name: str) -> int:
    index = as_int(value, name)
    if not 0 <= index < n_features:
        raise ValueError(
            f"{name}={index} is out of range for {n_features} features "
            f"(expected 0 to {n_features - 1})"
        )
    return index


class ExhaustiveOrdering(BaseEstimator):
    """Exact causal order and weighted causal graph of a linear model.

    Finds the causal order of the variables by exhaustive search over all
    orders (see :func:`veldra.causal_order`), then estimates the direct
    effects by regressing each variable on the variables before it in the
    order, pruned by an adaptive lasso or left as plain least squares.

    Parameters
    ----------
    reference : str, callable or array-like, default="normal"
        The distribution the standardised residuals are compared with:
        a name known to :func:`veldra.causal_order` (such as ``"normal"``),
        a quantile function called on the probabilities ``(i + 0.5) / n``,
        or an explicit array of ``n_samples`` values.
    pruning : {"adaptive_lasso", "none"}, default="adaptive_lasso"
        How direct effects are estimated once the order is known.
        ``"adaptive_lasso"`` keeps only the effects an adaptive lasso
        selects under ``criterion``; ``"none"`` keeps every least-squares
        coefficient, so the graph is complete in the causal order.
    criterion : {"bic", "aic"}, default="bic"
        Information criterion that chooses the adaptive lasso's penalty.
        Ignored when ``pruning="none"``.
    n_threads : int or None, default=None
        Threads of the search. ``None`` (or ``0``) uses the CPUs this
        process may really use (its affinity set, capped by a container's
        CPU quota); ``1`` searches on the calling thread alone; a larger
        count is lowered to those CPUs, with a UserWarning.
    exogenous : list of int or str, optional
        Variables known to come first, before every other one (indices, or
        column names when fitting on a DataFrame). They are taken as root
        causes: no edge into them.
    sinks : list of int or str, optional
        Variables known to come last, after every other one. They cause
        nothing: no edge out of them.
    required_order : list of (a, b) pairs, optional
        Variable ``a`` is known to come before variable ``b``.
    prior_knowledge : array-like of shape (n_features, n_features), optional
        lingam's prior-knowledge matrix: entry ``[i, j]`` is 1 when there is
        a directed path from ``x_j`` to ``x_i`` (``x_j`` comes first), 0
        when there is none (no edge ``x_j -> x_i``), -1 when not known.
        A row of zeros makes ``x_i`` exogenous, a column of zeros makes
        ``x_j`` a sink. See :func:`veldra._knowledge.make_knowledge`.

    Attributes
    ----------
    causal_order_ : ndarray of shape (n_features,), dtype int64
        Variable indices from first (a root cause) to last.
    adjacency_matrix_ : ndarray of shape (n_features, n_features)
        ``adjacency_matrix_[i, j]`` is the direct effect of variable ``j``
        on variable ``i``. Only variables earlier in ``causal_order_`` can
        have a nonzero effect on later ones.
    score_ : float
        Total score of the best order (larger is better).
    n_evaluations_ : int
        Candidate sinks the search scored, ``n_features * 2**(n_features - 1)``.
    search_seconds_ : float
        Wall-clock seconds the order search took, data checks included; the
        graph's regressions are not counted.
    n_threads_ : int
        Threads the search ran on.
    n_samples_fit_ : int
        Number of samples seen during :meth:`fit`.
    non_gaussianity_ : ndarray of shape (n_features,)
        Per variable, how far its residuals (regressed on its predecessors
        in the order) are from Gaussian: their squared 2-Wasserstein
        distance to the normal quantiles.
    non_gaussianity_p_values_ : ndarray of shape (n_features,)
        Per variable, the chance that Gaussian residuals of as many samples
        score at least as high; see :class:`veldra.OrderResult`.
    position_margins_ : ndarray of shape (n_features,)
        Per position of the order, how far ``score_`` is ahead of the best
        order that changes it last at that position (infinite at 0).
    margin_ : float
        How far ``score_`` is ahead of the runner-up order (infinite for one
        variable).
    runner_up_order_ : ndarray of shape (n_features,) or None
        The best order that differs from ``causal_order_``.
    warnings_ : tuple of str
        Why the order may not be identifiable from the data, if it may not;
        each was issued as an :class:`veldra.IdentifiabilityWarning`.
    constraints_ : tuple of str
        The prior knowledge applied, one readable line per constraint (such
        as ``"age first (exogenous)"``); empty without any.
    instruction_sets_ : tuple of str
        The instruction sets the search's scores were computed with (more
        than one only on a cluster of mixed machines).
    n_features_in_ : int
        Number of features seen during :meth:`fit`.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Names of the features seen during :meth:`fit`. Defined only when
        ``X`` has feature names that are all strings.

    See Also
    --------
    veldra.causal_order : The search alone, as a function.
    veldra.estimate_cost : Evaluations, memory and expected time of a search.

    Notes
    -----
    The model assumed is linear and acyclic, with independent non-Gaussian
    noise and no hidden confounders. :meth:`fit` checks the non-Gaussian
    noise (``non_gaussianity_p_values_``, with an
    :class:`veldra.IdentifiabilityWarning` when too few variables have
    clearly non-Gaussian residuals); :meth:`get_error_independence_p_values`
    checks the independence of the residuals, which hidden confounders or a
    wrong order break. The search costs
    ``n_features * 2**(n_features - 1)`` score evaluations and more than
    ``2**n_features`` bytes, so ``n_features`` is limited to 30.

    The effects are fitted on standardised columns (the variable and its
    predecessors) and mapped back to the original scale, so the graph does
    not depend on the units. The adaptive lasso fits, for each variable
    with predecessors, least squares; the absolute coefficients weigh the
    predictors of a lasso whose penalty is chosen by ``criterion`` (the
    path and criterion of scikit-learn's ``LassoLarsIC``, computed from
    cross-products). The noise variance the criterion needs is the residual
    variance of that least-squares fit, with ``n_samples - n_predecessors - 1``
    degrees of freedom; the data checks (no exactly collinear columns) ensure
    ``n_samples > n_features``, so it is always defined, down to
    ``n_samples = n_features + 1``.

    With prior knowledge the search finds the best order among those that
    respect it (every variable after those it must follow), and the graph
    leaves out the forbidden edges: a variable is regressed on its
    predecessors but those it may have no edge from, so their effects are
    exactly 0. The parameters are checked when fitting, against the data's
    columns; contradictory knowledge (a cycle of required orders) is a
    ValueError naming the cycle.

    scikit-learn's common estimator checks pass; those about ``predict``,
    ``transform`` and ``score`` have nothing to exercise, as the estimator
    has no such method. The array-API check does not apply: array-API
    inputs are not supported, and its data hold exactly collinear columns,
    which the search rejects.

    Examples
    --------
    >>> import numpy as np
    >>> from veldra import ExhaustiveOrdering
    >>> rng = np.random.default_rng(0)
    >>> noise = rng.uniform(-1, 1, size=(2000, 3))
    >>> x0 = noise[:, 0]
    >>> x2 = 2.0 * x0 + noise[:, 2]
    >>> x1 = -1.5 * x2 + noise[:, 1]
    >>> model = ExhaustiveOrdering(n_threads=1).fit(np.column_stack([x0, x1, x2]))
    >>> model.causal_order_
    array([0, 2, 1])
    >>> np.round(model.adjacency_matrix_, 1)
    array([[ 0. ,  0. ,  0. ],
           [ 0. ,  0. , -1.5],
           [ 2. ,  0. ,  0. ]])
    """

    def __init__(
        self,
        *,
        reference: str | Callable[[np.ndarray], npt.ArrayLike] | npt.ArrayLike = (
            "normal"
        ),
        pruning: Literal["adaptive_lasso", "none"] = "adaptive_lasso",
        criterion: Literal["bic", "aic"] = "bic",
        n_threads: int | None = None,
        exogenous: Sequence[int | str] | None = None,
        sinks: Sequence[int | str] | None = None,
        required_order: Sequence[tuple[int | str, int | str]] | None = None,
        prior_knowledge: npt.ArrayLike | None = None,
    ) -> None:
        self.reference = reference
        self.pruning = pruning
        self.criterion = criterion
        self.n_threads = n_threads
        self.exogenous = exogenous
        self.sinks = sinks
        self.required_order = required_order
        self.prior_knowledge = prior_knowledge

    def fit(
        self,
        X: npt.ArrayLike,
        y: None = None,
        *,
        progress: bool | ProgressCallback | None = None,
        checkpoint: str | os.PathLike[str] | None = None,
        client: Any = None,
    ) -> ExhaustiveOrdering:
        """Find the causal order of the columns of ``X`` and their effects.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The data, one variable per column; a pandas DataFrame keeps its
            column names in ``feature_names_in_``. At least 2 samples and at
            most 30 features, all finite, no constant column and no exactly
            collinear columns.
        y : None
            Ignored; present for the scikit-learn API.
        progress : bool or callable, optional
            The search's progress, as in :func:`veldra.causal_order`.
        checkpoint : str or path-like, optional
            A file to save the search to and resume it from, as in
            :func:`veldra.causal_order`.
        client : dask.distributed.Client or str, optional
            Run the search on a Dask cluster, as in
            :func:`veldra.causal_order` (``n_threads`` must then be None);
            the effects are fitted here.

        Returns
        -------
        self : ExhaustiveOrdering
            The fitted estimator.

        Raises
        ------
        ValueError
            For invalid parameters, and for data that is not 2-D, has fewer
            than 2 samples or more than 30 features, holds non-finite
            values, or has a constant column or exactly collinear columns;
            for a masked array with masked cells, or a DataFrame with date,
            time or duration columns; for prior knowledge that names no
            column of ``X`` or contradicts itself.
        TypeError
            For sparse ``X``, an ``n_threads`` that is not an integer or
            None, or a variable of the prior knowledge that is neither an
            index nor a name.
        MemoryError
            If the search's tables, buffers or threads do not fit in memory.
        RuntimeError
            If the search found no finite score for some set of variables
            (near-collinear columns), or its total is not finite.
        """
        start = time.perf_counter()
        self._check_params()
        data, names = self._checked_data(X, reset=True)
        prepared = _api.prepare(data, names, in_place=True)
        del data
        return self._fit_prepared(
            prepared,
            start=start,
            progress=progress,
            checkpoint=checkpoint,
            client=client,
        )

    def _fit_prepared(
        self,
        prepared: _api.Prepared,
        *,
        start: float | None = None,
        emit: bool = True,
        record_names: bool = False,
        progress: bool | ProgressCallback | None = None,
        checkpoint: str | os.PathLike[str] | None = None,
        client: Any = None,
    ) -> ExhaustiveOrdering:
        """:meth:`fit` on data from :func:`veldra._api.prepare`, parameters
        checked; ``start`` as in :func:`veldra._api.search`. Without ``emit``
        the warnings are only recorded in ``warnings_``; with
        ``record_names`` the prepared data's names become the feature names
        (for data that did not pass through :meth:`fit`)."""
        knowledge = self._knowledge(prepared.standard.shape[1], prepared.names)
        result = _api.search(
            prepared,
            reference=self.reference,
            n_threads=self.n_threads,
            start=start,
            knowledge=knowledge,
            progress=progress,
            checkpoint=checkpoint,
            client=client,
        )
        order = np.array(result.order, dtype=np.int64)
        self.adjacency_matrix_ = _predecessor_effects(
            prepared,
            order,
            self.pruning,
            self.criterion,
            None if knowledge is None else knowledge.forbidden,
        )
        self.constraints_ = () if knowledge is None else knowledge.applied
        self.causal_order_ = order
        self.score_ = float(result.score)
        self.n_evaluations_ = int(result.n_evaluations)
        self.search_seconds_ = float(result.seconds)
        self.n_threads_ = int(result.n_threads)
        self.instruction_sets_ = result.instruction_sets
        self.n_samples_fit_ = int(prepared.standard.shape[0])
        self.non_gaussianity_ = result.non_gaussianity
        self.non_gaussianity_p_values_ = result.non_gaussianity_p_values
        self.position_margins_ = result.position_margins
        self.margin_ = float(result.margin)
        self.runner_up_order_ = result.runner_up_order
        self.warnings_ = result.warnings
        if record_names:
            self.n_features_in_ = int(prepared.standard.shape[1])
            if prepared.names is not None:
                self.feature_names_in_ = np.array(prepared.names, dtype=object)
        if emit:
            _api.issue_warnings(result.warnings, stacklevel=3)
        return self

    def _knowledge(
        self, n_features: int, names: Sequence[str] | None
    ) -> Knowledge | None:
        return make_knowledge(
            n_features,
            names,
            exogenous=self.exogenous,
            sinks=self.sinks,
            required_order=self.required_order,
            prior_knowledge=self.prior_knowledge,
        )

    def _column_names(self) -> tuple[str, ...]:
        names = getattr(self, "feature_names_in_", None)
        if names is None:
            return default_names(len(self.causal_order_))
        return tuple(str(name) for name in names)

    def _variable(self, value: Any, name: str) -> int:
        """An index, or a column name of the fitted data, as an index."""
        if isinstance(value, str):
            names = getattr(self, "feature_names_in_", None)
            if names is None:
                raise TypeError(
                    f"{name}={value!r} is a name, but the estimator was fitted"
                    " on data without column names; pass an index"
                )
            matches = np.flatnonzero(names == value)
            if len(matches) != 1:
                raise ValueError(f"{name}={value!r} is not a column name")
            return int(matches[0])
        return _as_index(value, self.n_features_in_, name)

    def estimate_total_effect(
        self, X: npt.ArrayLike, from_index: int | str, to_index: int | str
    ) -> float:
        """Total effect of one variable on another, given the fitted order.

        ``to_index`` is regressed by least squares on ``from_index`` and the
        variables that precede ``from_index`` in ``causal_order_``; without
        hidden confounders those predecessors block every back-door path,
        so the coefficient of ``from_index`` is its total effect.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features_in_)
            Data with the same variables as those the estimator was fitted
            on (usually the same data).
        from_index : int or str
            Index of the cause, or its column name when the estimator was
            fitted on a DataFrame.
        to_index : int or str
            Index or column name of the effect.

        Returns
        -------
        effect : float
            The change in ``to_index`` per unit change of ``from_index``.
            It is 0.0, with a warning, when ``to_index`` comes before
            ``from_index`` in the causal order: a variable cannot affect one
            that precedes it.

        Warns
        -----
        UserWarning
            When the order puts ``to_index`` before ``from_index``.

        Raises
        ------
        sklearn.exceptions.NotFittedError
            If the estimator has not been fitted.
        ValueError
            If an index is out of range or not a column name, the two
            variables are the same, or ``X`` is invalid or has a different
            number of features.
        TypeError
            If an index is neither an integer nor a name, or a name is given
            to an estimator fitted without names.
        """
        check_is_fitted(self)
        source = self._variable(from_index, "from_index")
        target = self._variable(to_index, "to_index")
        if source == target:
            raise ValueError(f"from_index and to_index must differ, both are {source}")
        data, names = self._checked_data(X, reset=False)
        positions = np.argsort(self.causal_order_)
        if positions[target] < positions[source]:
            labels = self._column_names()
            warnings.warn(
                f"the causal order puts {labels[target]} (to_index={target}) before"
                f" {labels[source]} (from_index={source}), so it cannot be affected"
                " by it: the total effect is 0.0",
                UserWarning,
                stacklevel=2,
            )
            return 0.0
        prepared = _api.prepare(data, names, in_place=True)
        adjustment = self.causal_order_[: positions[source]]
        columns = [source, *adjustment.tolist()]
        # On the standardised columns, scaled back: the units do not matter.
        standard = prepared.standard
        beta, *_ = np.linalg.lstsq(
            standard[:, columns], standard[:, target], rcond=None
        )
        return float(beta[0] * prepared.scale_ratio(target, source))

    def get_error_independence_p_values(
        self, X: npt.ArrayLike, *, max_samples: int = 1000
    ) -> np.ndarray:
        """P-values of pairwise independence tests between the residuals.

        The residuals are those of the fitted graph, ``e = x - B x`` on the
        centred data. The model assumes independent noise: a small p-value
        for a pair points at a hidden confounder of the two variables, or
        at a wrong order or a missing edge.

        The test is HSIC (the Hilbert-Schmidt independence criterion) with
        Gaussian kernels of median-distance width and the gamma
        approximation of its null distribution (Gretton et al., 2007). It
        costs memory and time in the square of the samples: above
        ``max_samples`` samples, that many rows are drawn at random (with a
        fixed seed, so the result is repeatable).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features_in_)
            The data the estimator was fitted on (or data with the same
            variables).
        max_samples : int, default=1000
            The most rows the tests use; at least 6.

        Returns
        -------
        p_values : ndarray of shape (n_features, n_features)
            Symmetric; entry ``[i, j]`` tests the residuals of variables i
            and j. The diagonal is NaN.

        Raises
        ------
        sklearn.exceptions.NotFittedError
            If the estimator has not been fitted.
        ValueError
            If ``X`` is invalid or has a different number of features, or
            fewer than 6 samples are used.
        """
        from ._independence import hsic_p_values

        check_is_fitted(self)
        limit = as_int(max_samples, "max_samples")
        data, names = self._checked_data(X, reset=False)
        prepared = _api.prepare(data, names, in_place=True)
        ratio = prepared.scale_ratio(
            np.arange(len(prepared.peak))[:, np.newaxis], np.arange(len(prepared.peak))
        )
        standard = prepared.standard
        if len(standard) > limit:
            rows = np.random.default_rng(0).choice(len(standard), limit, replace=False)
            standard = standard[np.sort(rows)]
        residuals = standard - standard @ (self.adjacency_matrix_ / ratio).T
        return hsic_p_values(residuals)

    def bootstrap(
        self,
        X: npt.ArrayLike,
        n_sampling: int,
        random_state: int | np.random.RandomState | None = None,
        *,
        n_jobs: int | None = None,
        progress: ProgressCallback | None = None,
    ) -> BootstrapResult:
        """How stable the order and the edges are under resampling.

        Draws ``n_sampling`` resamples of the rows of ``X`` with
        replacement and estimates the order and the adjacency matrix on
        each, with this estimator's parameters. The estimator's own fitted
        state, if any, is left unchanged.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The data, one variable per column.
        n_sampling : int
            Number of resamples, at least 1. Each costs one full search.
        random_state : int, RandomState instance or None, default=None
            Seeds the resampling; pass an int for reproducible results.
        n_jobs : int or None, default=None
            Resamples searched at the same time (joblib, in threads: the
            search releases the interpreter lock). None or 1 searches them
            one after the other, each on ``n_threads``; with more, the
            threads are shared out among them. Small searches gain most. The
            result does not depend on it.
        progress : callable, optional
            Called with (resamples searched, ``n_sampling``, seconds) after
            each resample.

        Returns
        -------
        result : BootstrapResult
            Edge and position probabilities, the order and adjacency matrix
            of every resample and the rows it drew, and lingam's summaries.

        Raises
        ------
        ValueError
            If ``n_sampling`` is less than 1, the parameters or ``X`` are
            invalid, or a resample has a constant or collinear column (too
            few distinct rows).
        TypeError
            If ``n_sampling`` is not an integer.
        """
        count = as_int(n_sampling, "n_sampling")
        if count < 1:
            raise ValueError(f"n_sampling must be at least 1, got {count}")
        self._check_params()
        data, names = self._checked_data(X, reset=None)
        _api.prepare(data, names)  # the whole sample first: collinear columns
        knowledge = self._knowledge(data.shape[1], names)
        rng = check_random_state(random_state)
        n_samples, n_features = data.shape
        indices = rng.randint(0, n_samples, size=(count, n_samples))
        orders = np.empty((count, n_features), dtype=np.int64)
        adjacencies = np.empty((count, n_features, n_features))
        workers, threads = 1, self.n_threads
        if n_jobs is not None and n_jobs != 1:
            import joblib

            workers = min(joblib.effective_n_jobs(n_jobs), count)
            if workers > 1:
                threads = max(1, resolve_threads(self.n_threads) // workers)

        start = time.perf_counter()
        finished = itertools.count(1)  # next() on it is atomic in threads

        def resample(k: int) -> None:
            try:
                prepared = _api.prepare(
                    *_api.checked_array(data[indices[k]], names, copy=False),
                    in_place=True,
                )
                result = _api.search(
                    prepared,
                    reference=self.reference,
                    n_threads=threads,
                    diagnose=False,
                    knowledge=knowledge,
                )
            except (ValueError, RuntimeError) as error:
                error.add_note(f"(in bootstrap resample {k})")
                raise
            orders[k] = result.order
            adjacencies[k] = _predecessor_effects(
                prepared,
                orders[k],
                self.pruning,
                self.criterion,
                None if knowledge is None else knowledge.forbidden,
            )
            done = next(finished)
            if progress is not None:
                progress(done, count, time.perf_counter() - start)

        if workers > 1:
            import joblib

            joblib.Parallel(n_jobs=workers, prefer="threads")(
                joblib.delayed(resample)(k) for k in range(count)
            )
        else:
            for k in range(count):
                resample(k)
        positions = np.zeros((n_features, n_features))
        np.add.at(positions, (orders, np.arange(n_features)), 1.0)
        return BootstrapResult(
            edge_probabilities=(adjacencies != 0).mean(axis=0),
            position_probabilities=positions / count,
            orders=orders,
            adjacency_matrices=adjacencies,
            resampled_indices=indices,
            column_names=names,
            random_state=(
                int(random_state)
                if isinstance(random_state, numbers.Integral)
                else None
            ),
        )

    # ------------------------------------------------------------------
    # Exports

    def to_dot(self) -> str:
        """The graph in Graphviz DOT, as ``veldra order --dot`` writes it.

        A node per variable, labelled with its column name (``x0``, ``x1``,
        ... without names), and an edge j -> i labelled with ``B[i, j]`` for
        every nonzero direct effect.
        """
        check_is_fitted(self)
        return format_dot(self.adjacency_matrix_, self._column_names())

    def to_networkx(self) -> Any:
        """The graph as a ``networkx.DiGraph`` (networkx must be installed).

        Nodes are the column indices, with their column name (``name``) and
        place in the causal order (``position``); an edge j -> i carries
        the direct effect ``B[i, j]`` as ``weight``. The graph's
        ``order`` is ``causal_order_`` as a list.
        """
        check_is_fitted(self)
        try:
            import networkx
        except ImportError:
            raise ImportError(
                "to_networkx needs networkx: pip install networkx"
            ) from None
        graph = networkx.DiGraph(order=self.causal_order_.tolist())
        positions = np.argsort(self.causal_order_)
        for j, name in enumerate(self._column_names()):
            graph.add_node(j, name=name, position=int(positions[j]))
        B = self.adjacency_matrix_
        for i, j in zip(*np.nonzero(B), strict=True):
            graph.add_edge(int(j), int(i), weight=float(B[i, j]))
        return graph

    def to_dataframe(self) -> Any:
        """The adjacency matrix as a labelled pandas DataFrame.

        Rows are the effects and columns the causes, both labelled with the
        column names: ``frame.loc[effect, cause]`` is the direct effect.
        """
        check_is_fitted(self)
        try:
            import pandas
        except ImportError:
            raise ImportError("to_dataframe needs pandas: pip install pandas") from None
        names = list(self._column_names())
        return pandas.DataFrame(
            self.adjacency_matrix_.copy(), index=names, columns=names
        )

    def _record(self, bootstrap: BootstrapResult | None = None) -> dict[str, Any]:
        check_is_fitted(self)
        names = list(self._column_names())
        order = self.causal_order_.tolist()
        boot = None
        if bootstrap is not None:
            boot = {
                "n_sampling": len(bootstrap.orders),
                "random_state": bootstrap.random_state,
                "edge_probabilities": bootstrap.edge_probabilities.tolist(),
                "position_probabilities": bootstrap.position_probabilities.tolist(),
            }
        runner_up = self.runner_up_order_
        return {
            "schema": SCHEMA,
            "schema_version": SCHEMA_VERSION,
            "column_names": names,
            "order": order,
            "order_names": [names[j] for j in order],
            "score": self.score_,
            "adjacency_matrix": self.adjacency_matrix_.tolist(),
            "non_gaussianity": np.asarray(self.non_gaussianity_).tolist(),
            "non_gaussianity_p_values": np.asarray(
                self.non_gaussianity_p_values_
            ).tolist(),
            "position_margins": np.asarray(self.position_margins_).tolist(),
            "margin": self.margin_,
            "runner_up_order": None if runner_up is None else runner_up.tolist(),
            "warnings": list(self.warnings_),
            "n_samples": self.n_samples_fit_,
            "n_evaluations": self.n_evaluations_,
            "seconds": self.search_seconds_,
            "n_threads": self.n_threads_,
            "reference": self.reference if isinstance(self.reference, str) else None,
            "pruning": self.pruning,
            "criterion": self.criterion,
            "exogenous": _plain_variables(self.exogenous),
            "sinks": _plain_variables(self.sinks),
            "required_order": (
                None
                if self.required_order is None
                else [_plain_variables(pair) for pair in self.required_order]
            ),
            "prior_knowledge": (
                None
                if self.prior_knowledge is None
                else np.asarray(self.prior_knowledge).tolist()
            ),
            "constraints": list(getattr(self, "constraints_", ())),
            "instruction_sets": list(getattr(self, "instruction_sets_", ())),
            "bootstrap": boot,
        }

    def to_json(self, bootstrap: BootstrapResult | None = None) -> str:
        """The fitted result as one line of JSON, as ``veldra order --json``
        prints it.

        The schema (version 1) is described in :mod:`veldra._export` and the
        README; :meth:`from_json` reads it back.

        Parameters
        ----------
        bootstrap : BootstrapResult, optional
            Adds its edge and position probabilities under ``"bootstrap"``.
        """
        return dump_record(self._record(bootstrap))

    @classmethod
    def from_json(cls, text: str | bytes | dict[str, Any]) -> ExhaustiveOrdering:
        """A fitted estimator from :meth:`to_json`'s (or the command line's)
        JSON.

        It has the parameters, order, graph, scores and diagnostics of the
        record (a custom reference comes back as ``"normal"``), so that
        everything but refitting works: the exports, and
        :meth:`estimate_total_effect` and
        :meth:`get_error_independence_p_values` on data.

        Raises
        ------
        ValueError
            If the text is not such a record.
        """
        record = load_record(text)

        def array(key: str, default: float = math.nan) -> np.ndarray:
            values = record.get(key)
            if values is None:
                return np.full(len(names), default)
            return np.array([default if v is None else v for v in values], float)

        names = [str(name) for name in record["column_names"]]
        model = cls(
            reference=record.get("reference") or "normal",
            pruning=record.get("pruning", "adaptive_lasso"),
            criterion=record.get("criterion", "bic"),
            exogenous=record.get("exogenous"),
            sinks=record.get("sinks"),
            required_order=(
                None
                if record.get("required_order") is None
                else [tuple(pair) for pair in record["required_order"]]
            ),
            prior_knowledge=record.get("prior_knowledge"),
        )
        d = len(names)
        model.causal_order_ = np.array(record["order"], dtype=np.int64)
        model.adjacency_matrix_ = np.array(record["adjacency_matrix"], dtype=float)
        if model.causal_order_.shape != (d,) or model.adjacency_matrix_.shape != (d, d):
            raise ValueError("the record's order and matrix do not match its columns")
        model.score_ = float(record.get("score", math.nan))
        model.n_evaluations_ = int(record.get("n_evaluations", d * 2 ** (d - 1)))
        model.search_seconds_ = float(record.get("seconds", math.nan))
        model.n_threads_ = int(record.get("n_threads", 1))
        model.n_samples_fit_ = int(record.get("n_samples", 0))
        model.non_gaussianity_ = array("non_gaussianity")
        model.non_gaussianity_p_values_ = array("non_gaussianity_p_values")
        model.position_margins_ = array("position_margins", math.inf)
        margin = record.get("margin")
        model.margin_ = math.inf if margin is None else float(margin)
        runner_up = record.get("runner_up_order")
        model.runner_up_order_ = (
            None if runner_up is None else np.array(runner_up, dtype=np.int64)
        )
        model.warnings_ = tuple(record.get("warnings", ()))
        model.constraints_ = tuple(record.get("constraints", ()))
        model.instruction_sets_ = tuple(record.get("instruction_sets", ()))
        model.n_features_in_ = d
        if names != list(default_names(d)):
            model.feature_names_in_ = np.array(names, dtype=object)
        return model

    def _check_params(self) -> None:
        if not isinstance(self.pruning, str) or self.pruning not in _PRUNINGS:
            raise ValueError(
                f"pruning must be one of {', '.join(map(repr, _PRUNINGS))}; "
                f"got {self.pruning!r}"
            )
        if not isinstance(self.criterion, str) or self.criterion not in _CRITERIA:
            raise ValueError(
                f"criterion must be one of {', '.join(map(repr, _CRITERIA))}; "
                f"got {self.criterion!r}"
            )

    def _checked_data(
        self, X: npt.ArrayLike, *, reset: bool | None
    ) -> tuple[np.ndarray, tuple[str, ...] | None]:
        """Validate ``X``; ``reset`` as in ``validate_data``, None: no bookkeeping.

        A DataFrame gets the data checks of :func:`veldra.causal_order`
        first, so that the messages name its columns. Other input gets
        scikit-learn's checks first (sparse, complex, object or empty input
        get its usual messages), after masked arrays are refused (the
        conversion would use the values under the mask). Returns a new
        float64 array and the names; columns are checked for collinearity by
        :func:`veldra._api.prepare`.
        """
        frame = hasattr(X, "columns")
        if frame:
            checked = _api.checked_array(X)
        else:
            _api.reject_unsupported(X)
        options = {
            "dtype": np.float64,
            "ensure_min_samples": 2,
            "ensure_all_finite": False,
        }
        try:
            if reset is None:
                array = check_array(X, **options)
            else:
                array = validate_data(self, X, reset=reset, **options)
        except OverflowError:
            _api.checked_array(X)  # names the cell out of float64's range
            raise
        return checked if frame else _api.checked_array(array)
