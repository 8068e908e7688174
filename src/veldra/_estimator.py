"""The scikit-learn face of veldra: the estimator, which adds the weighted
graph, total effects, the residuals' independence and the bootstrap to the
search, and exports its result."""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
from sklearn.base import BaseEstimator
from sklearn.utils.validation import check_array, check_is_fitted, validate_data

from . import _bootstrap
from ._bootstrap import BootstrapResult
from ._checks import (
    CRITERIA,
    PRUNINGS,
    Criterion,
    Pruning,
    as_int,
    check_choice,
    check_flag,
)
from ._convert import other_frame, reject_unsupported
from ._data import PreparedData, checked_array, column_index, prepare, prepare_data
from ._export import GraphExports
from ._graph import residuals, total_effect
from ._knowledge import Knowledge, make_knowledge, read_once
from ._pipeline import find_order
from ._progress import ProgressCallback
from ._text import escape_controls
from ._warnings import warn

__all__ = ["BootstrapResult", "ExhaustiveOrdering"]


class ExhaustiveOrdering(GraphExports, BaseEstimator):
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
        ``x_j`` a sink. A masked array with masked entries is refused (a
        ValueError): fill them, ``prior_knowledge.filled(-1)`` for not known.

        The prior knowledge may be given as generators, ``zip`` or ``map``
        objects too: the first method that reads them (usually :meth:`fit`)
        keeps a copy of their items beside the parameter, which stays as
        given, and :meth:`bootstrap` and :meth:`to_json` read that copy.
    robust : bool, default=False
        Limit each column's extreme values before the search and the graph,
        as :func:`veldra.causal_order` does.
    random_state : int, RandomState instance or None, default=None
        The seed :meth:`bootstrap` resamples with when it is given none
        (``bootstrap(random_state=...)`` takes precedence), so that code
        written for lingam's estimators runs unchanged. The search and the
        graph do not use it: they are deterministic, and :meth:`fit` gives
        the same result whatever the seed.

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
    margin_se_ : float
        The standard error of that lead, from re-scoring both orders on
        resampled rows (see :class:`veldra.OrderResult`).
    runner_up_share_ : float
        The share of those resamples in which the runner-up scores higher.
    runner_up_order_ : ndarray of shape (n_features,) or None
        The best order that differs from ``causal_order_``.
    limited_ : ndarray of shape (n_features,) or None
        With ``robust``, the values limited per column.
    warnings_ : tuple of str
        Every warning the data and the fit gave (see
        :func:`veldra.causal_order`), one sentence each.
    constraints_ : tuple of str
        The prior knowledge applied, one readable line per constraint (such
        as ``"age first (exogenous)"``); empty without any.
    instruction_sets_ : tuple of str
        The instruction sets the search's scores were computed with (more
        than one only on a cluster of mixed machines).
    n_features_in_ : int
        Number of features seen during :meth:`fit`.
    feature_names_in_ : ndarray of shape (n_features,)
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
        pruning: Pruning = "adaptive_lasso",
        criterion: Criterion = "bic",
        n_threads: int | None = None,
        exogenous: Sequence[int | str] | None = None,
        sinks: Sequence[int | str] | None = None,
        required_order: Sequence[tuple[int | str, int | str]] | None = None,
        prior_knowledge: npt.ArrayLike | None = None,
        robust: bool = False,
        random_state: int | np.random.RandomState | None = None,
    ) -> None:
        self.reference = reference
        self.pruning = pruning
        self.criterion = criterion
        self.n_threads = n_threads
        self.exogenous = exogenous
        self.sinks = sinks
        self.required_order = required_order
        self.prior_knowledge = prior_knowledge
        self.robust = robust
        self.random_state = random_state

    def fit(
        self,
        X: npt.ArrayLike | PreparedData,
        y: None = None,
        *,
        progress: bool | ProgressCallback | None = None,
        checkpoint: str | os.PathLike[str] | None = None,
        client: Any = None,
    ) -> ExhaustiveOrdering:
        """Find the causal order of the columns of ``X`` and their effects.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features) or PreparedData
            The data, one variable per column; a data frame (pandas, Polars
            or another, as :func:`veldra.causal_order` takes) keeps its
            column names in ``feature_names_in_`` (as does PreparedData with
            names). At least 2 samples and at most 30 features, all finite,
            no constant column and no exactly collinear columns.
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
            For invalid parameters (a ``random_state`` that cannot seed
            :meth:`bootstrap` among them), and for data that is not 2-D, has fewer
            than 2 samples or more than 30 features, holds non-finite
            values, or has a constant column or exactly collinear columns;
            for a masked array with masked cells, or a DataFrame with date,
            time or duration columns; for prior knowledge that names no
            column of ``X`` or contradicts itself (a PriorKnowledgeError).
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
        prepared = self._prepared(X, reset=True, screen=True)
        knowledge = self._knowledge(prepared.n_features, prepared.names)
        result = find_order(
            prepared,
            reference=self.reference,
            n_threads=self.n_threads,
            start=start,
            knowledge=knowledge,
            progress=progress,
            checkpoint=checkpoint,
            client=client,
            pruning=self.pruning,
            criterion=self.criterion,
        )
        order = np.array(result.order, dtype=np.int64)
        self.adjacency_matrix_ = np.array(result.adjacency_matrix)
        self.constraints_ = () if knowledge is None else knowledge.applied
        self.causal_order_ = order
        self.score_ = float(result.score)
        self.n_evaluations_ = int(result.n_evaluations)
        self.search_seconds_ = float(result.seconds)
        self.n_threads_ = int(result.n_threads)
        self.instruction_sets_ = result.instruction_sets
        self.n_samples_fit_ = prepared.n_samples
        self.non_gaussianity_ = result.non_gaussianity
        self.non_gaussianity_p_values_ = result.non_gaussianity_p_values
        self.position_margins_ = result.position_margins
        self.margin_ = float(result.margin)
        self.margin_se_ = float(result.margin_se)
        self.runner_up_share_ = float(result.runner_up_share)
        self.runner_up_order_ = result.runner_up_order
        self.limited_ = result.limited
        self.warnings_ = result.warnings
        return self

    def _knowledge(
        self, n_features: int, names: Sequence[str] | None
    ) -> Knowledge | None:
        return make_knowledge(n_features, names, **self._given_knowledge())

    def _given_knowledge(self) -> dict[str, Any]:
        """The prior-knowledge parameters as fit, bootstrap and the record
        read them.

        A one-shot iterator (a generator, ``zip``, ``map``) gives its items
        once: the first read copies them (:func:`read_once`), and every
        later read takes that copy for as long as the parameter is the same
        object. The parameters themselves stay as given (scikit-learn's
        rule); a new value, from ``set_params``, is read anew.
        """
        kept: dict[str, tuple[Any, Any]] = self.__dict__.setdefault(
            "_knowledge_read", {}
        )
        given = {}
        for name in ("exogenous", "sinks", "required_order", "prior_knowledge"):
            value = getattr(self, name)
            if name not in kept or kept[name][0] is not value:
                kept[name] = (value, read_once(value))
            given[name] = kept[name][1]
        return given

    def _variable(self, value: Any, name: str) -> int:
        """An index, or a column name of the fitted data, as an index."""
        names = getattr(self, "feature_names_in_", None)
        return column_index(
            value, None if names is None else list(names), self.n_features_in_, name
        )

    def estimate_total_effect(
        self,
        X: npt.ArrayLike | PreparedData,
        from_index: int | str,
        to_index: int | str,
    ) -> float:
        """Total effect of one variable on another, given the fitted order.

        ``to_index`` is regressed by least squares on ``from_index`` and the
        variables that precede ``from_index`` in ``causal_order_``; without
        hidden confounders those predecessors block every back-door path,
        so the coefficient of ``from_index`` is its total effect.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features) or PreparedData
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
        if isinstance(X, PreparedData):
            prepared: PreparedData | None = self._prepared(X, reset=False)
        else:
            prepared = None
            data, names = self._checked_data(X, reset=False)
        positions = np.argsort(self.causal_order_)
        if positions[target] < positions[source]:
            labels = [escape_controls(name) for name in self._column_names()]
            warn(
                f"the causal order puts {labels[target]} (to_index={target}) before"
                f" {labels[source]} (from_index={source}), so it cannot be affected"
                " by it: the total effect is 0.0",
                UserWarning,
            )
            return 0.0
        if prepared is None:
            robust = check_flag(self.robust, "robust")
            prepared = prepare(data, names, in_place=True, robust=robust)
        return total_effect(prepared, self.causal_order_, source, target)

    def get_error_independence_p_values(
        self, X: npt.ArrayLike | PreparedData, *, max_samples: int = 1000
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
        X : array-like of shape (n_samples, n_features) or PreparedData
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
        prepared = self._prepared(X, reset=False)
        return hsic_p_values(residuals(prepared, self.adjacency_matrix_, limit))

    def bootstrap(
        self,
        X: npt.ArrayLike | PreparedData,
        n_sampling: int,
        random_state: int | np.random.RandomState | None = None,
        *,
        n_jobs: int | None = None,
        progress: bool | ProgressCallback | None = None,
    ) -> BootstrapResult:
        """How stable the order and the edges are under resampling.

        Draws ``n_sampling`` resamples of the rows of ``X`` with
        replacement and estimates the order and the adjacency matrix on
        each, with this estimator's parameters. The estimator's own fitted
        state, if any, is left unchanged.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features) or PreparedData
            The data, one variable per column. PreparedData is resampled as
            it is, standardised.
        n_sampling : int
            Number of resamples, at least 1. Each costs one full search.
        random_state : int, RandomState instance or None, default=None
            Seeds the resampling; pass an int for reproducible results.
            None takes the estimator's ``random_state`` (itself None by
            default: other draws at every call).
        n_jobs : int or None, default=None
            Resamples searched at the same time (joblib, in threads: the
            search releases the interpreter lock). None or 1 searches them
            one after the other, each on ``n_threads``; with more, the
            threads are shared out among them. Small searches gain most. The
            result does not depend on it.
        progress : bool or callable, optional
            True shows a progress bar of the resamples, as :meth:`fit` does
            of its search; a callable is called with (resamples searched,
            ``n_sampling``, seconds) after each resample.

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
        if isinstance(X, PreparedData):
            data, names = X.standard, X.names
        else:
            data, names = self._checked_data(X, reset=None)
            robust = check_flag(self.robust, "robust")
            # The whole sample first: collinear columns; the resamples draw
            # from its limited values.
            prepare(data, names, in_place=False, robust=robust)
            if robust:
                from ._screening import limit_extremes

                limit_extremes(data)
        return _bootstrap.bootstrap(
            data,
            names,
            count,
            self.random_state if random_state is None else random_state,
            reference=self.reference,
            n_threads=self.n_threads,
            pruning=self.pruning,
            criterion=self.criterion,
            knowledge=self._knowledge(data.shape[1], names),
            n_jobs=n_jobs,
            progress=progress,
        )

    def _check_params(self) -> None:
        check_choice(self.pruning, PRUNINGS, "pruning")
        check_choice(self.criterion, CRITERIA, "criterion")
        _bootstrap.resampling_rng(self.random_state)  # draws nothing

    def _prepared(self, X: Any, *, reset: bool, screen: bool = False) -> PreparedData:
        """``X`` checked and standardised (with extremes limited under
        ``robust``), with scikit-learn's bookkeeping of the features
        (``reset`` as in ``validate_data``); ``screen`` looks the data over
        for the search's warnings. PreparedData is taken as it is."""
        robust = check_flag(self.robust, "robust")
        if not isinstance(X, PreparedData):
            data, names = self._checked_data(X, reset=reset)
            return prepare(data, names, in_place=True, screen=screen, robust=robust)
        prepare_data(X, robust=robust)  # refuses data prepared otherwise
        if reset:
            self.n_features_in_ = X.n_features
            if X.names is not None:
                self.feature_names_in_ = np.array(X.names, dtype=object)
            elif hasattr(self, "feature_names_in_"):
                del self.feature_names_in_
            return X
        if X.n_features != self.n_features_in_:
            raise ValueError(
                f"X has {X.n_features} features, but {type(self).__name__} is"
                f" expecting {self.n_features_in_} features as input."
            )
        fitted = getattr(self, "feature_names_in_", None)
        if X.names is not None and fitted is not None and list(X.names) != list(fitted):
            raise ValueError(
                "The feature names should match those that were passed during fit."
            )
        return X

    def _checked_data(
        self, X: npt.ArrayLike, *, reset: bool | None
    ) -> tuple[np.ndarray, tuple[str, ...] | None]:
        """Validate ``X``; ``reset`` as in ``validate_data``, None: no bookkeeping.

        A data frame gets the data checks of :func:`veldra.causal_order`
        first, so that the messages name its columns (a lazy frame is
        refused). Other input gets
        scikit-learn's checks first (sparse, complex, object or empty input
        get its usual messages), after masked arrays are refused (the
        conversion would use the values under the mask). Returns a new
        float64 array and the names; columns are checked for collinearity by
        :func:`veldra._data.prepare`.
        """
        frame = other_frame(X) is not None or hasattr(X, "columns")
        if frame:
            checked = checked_array(X)
        else:
            reject_unsupported(X)
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
            checked_array(X)  # names the cell out of float64's range
            raise
        return checked if frame else checked_array(array)
