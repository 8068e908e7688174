"""The scikit-learn style estimator: causal order, weighted graph, bootstrap."""

from __future__ import annotations

import math
import time
from collections.abc import Callable
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

__all__ = ["BootstrapResult", "ExhaustiveOrdering"]

_PRUNINGS = PRUNINGS
_CRITERIA = CRITERIA


@dataclass(frozen=True)
class BootstrapResult:
    """What :meth:`ExhaustiveOrdering.bootstrap` found over the resamples.

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
    """

    edge_probabilities: np.ndarray
    position_probabilities: np.ndarray
    orders: np.ndarray
    adjacency_matrices: np.ndarray


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
) -> np.ndarray:
    """Adjacency matrix: each variable regressed on its predecessors in order.

    ``B[i, j]`` is the direct effect of variable ``j`` on variable ``i``. The
    regressions run on the standardised columns (target and predecessors)
    and their coefficients are scaled back, so that the graph does not
    depend on the units: rescaling column j divides column j of B by the
    factor and rescaling column i multiplies row i by it. ``prepared`` may
    also be a data matrix (as the accuracy benchmark passes), checked and
    standardised here.
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
        beta = scipy.linalg.solve_triangular(
            r[:position, :position], r[:position, position]
        )
        if pruning == "adaptive_lasso":
            rss = float(r[position, position]) ** 2
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
    noise and no hidden confounders. The search costs
    ``n_features * 2**(n_features - 1)`` score evaluations and
    ``12 * 2**n_features`` bytes, so ``n_features`` is limited to 30.

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
    ) -> None:
        self.reference = reference
        self.pruning = pruning
        self.criterion = criterion
        self.n_threads = n_threads

    def fit(self, X: npt.ArrayLike, y: None = None) -> ExhaustiveOrdering:
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
            time or duration columns.
        TypeError
            For sparse ``X``, or an ``n_threads`` that is not an integer or
            None.
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
        return self._fit_prepared(prepared, start=start)

    def _fit_prepared(
        self, prepared: _api.Prepared, *, start: float | None = None
    ) -> ExhaustiveOrdering:
        """:meth:`fit` on data from :func:`veldra._api.prepare`, parameters
        checked; ``start`` as in :func:`veldra._api.search`."""
        result = _api.search(
            prepared, reference=self.reference, n_threads=self.n_threads, start=start
        )
        order = np.array(result.order, dtype=np.int64)
        self.adjacency_matrix_ = _predecessor_effects(
            prepared, order, self.pruning, self.criterion
        )
        self.causal_order_ = order
        self.score_ = float(result.score)
        self.n_evaluations_ = int(result.n_evaluations)
        self.search_seconds_ = float(result.seconds)
        self.n_threads_ = int(result.n_threads)
        return self

    def estimate_total_effect(
        self, X: npt.ArrayLike, from_index: int, to_index: int
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
        from_index : int
            Index of the cause.
        to_index : int
            Index of the effect.

        Returns
        -------
        effect : float
            The change in ``to_index`` per unit change of ``from_index``.
            It is 0.0 when ``to_index`` comes before ``from_index`` in the
            causal order: a variable cannot affect one that precedes it.

        Raises
        ------
        sklearn.exceptions.NotFittedError
            If the estimator has not been fitted.
        ValueError
            If an index is out of range, the two indices are equal, or ``X``
            is invalid or has a different number of features.
        TypeError
            If an index is not an integer.
        """
        check_is_fitted(self)
        n_features = self.n_features_in_
        source = _as_index(from_index, n_features, "from_index")
        target = _as_index(to_index, n_features, "to_index")
        if source == target:
            raise ValueError(f"from_index and to_index must differ, both are {source}")
        data, names = self._checked_data(X, reset=False)
        prepared = _api.prepare(data, names, in_place=True)
        positions = np.argsort(self.causal_order_)
        if positions[target] < positions[source]:
            return 0.0
        adjustment = self.causal_order_[: positions[source]]
        columns = [source, *adjustment.tolist()]
        # On the standardised columns, scaled back: the units do not matter.
        standard = prepared.standard
        beta, *_ = np.linalg.lstsq(
            standard[:, columns], standard[:, target], rcond=None
        )
        return float(beta[0] * prepared.scale_ratio(target, source))

    def bootstrap(
        self,
        X: npt.ArrayLike,
        n_sampling: int,
        random_state: int | np.random.RandomState | None = None,
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

        Returns
        -------
        result : BootstrapResult
            Edge and position probabilities, and the order and adjacency
            matrix of every resample.

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
        rng = check_random_state(random_state)
        n_samples, n_features = data.shape
        orders = np.empty((count, n_features), dtype=np.int64)
        adjacencies = np.empty((count, n_features, n_features))
        for k in range(count):
            resample = data[rng.randint(0, n_samples, size=n_samples)]
            try:
                prepared = _api.prepare(
                    *_api.checked_array(resample, names, copy=False), in_place=True
                )
                result = _api.search(
                    prepared, reference=self.reference, n_threads=self.n_threads
                )
            except (ValueError, RuntimeError) as error:
                error.add_note(f"(in bootstrap resample {k})")
                raise
            orders[k] = result.order
            adjacencies[k] = _predecessor_effects(
                prepared, orders[k], self.pruning, self.criterion
            )
        positions = np.zeros((n_features, n_features))
        np.add.at(positions, (orders, np.arange(n_features)), 1.0)
        return BootstrapResult(
            edge_probabilities=(adjacencies != 0).mean(axis=0),
            position_probabilities=positions / count,
            orders=orders,
            adjacency_matrices=adjacencies,
        )

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
