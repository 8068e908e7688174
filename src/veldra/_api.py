"""The public function: from a data matrix to the exact causal order."""

from __future__ import annotations

import os
import time
from collections.abc import Iterable
from typing import Any

import numpy.typing as npt

from ._data import prepare_data
from ._knowledge import make_knowledge
from ._pipeline import find_order
from ._progress import ProgressCallback
from ._reference import ReferenceLike
from ._result import OrderResult

__all__ = ["causal_order"]


def causal_order(
    X: Any,
    *,
    reference: ReferenceLike = "normal",
    n_threads: int | None = None,
    exogenous: Iterable[int | str] | None = None,
    sinks: Iterable[int | str] | None = None,
    required_order: Iterable[tuple[int | str, int | str]] | None = None,
    prior_knowledge: npt.ArrayLike | None = None,
    progress: bool | ProgressCallback | None = None,
    checkpoint: str | os.PathLike[str] | None = None,
    client: Any = None,
    robust: bool = False,
) -> OrderResult:
    """Find the causal order of the variables by exhaustive search.

    Every order of the d variables is scored at once by a dynamic programme
    over all 2^d subsets: for each subset it finds the member best placed
    last. A candidate is scored by regressing it on the rest of the subset
    (least squares), standardising the residuals and measuring the squared
    2-Wasserstein distance between their sorted values and the sorted
    reference. The order with the largest total is returned: in a linear
    model with non-Gaussian noise, the true order leaves the least Gaussian
    residuals.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features), DataFrame or PreparedData
        The data, one variable per column; at least 2 samples, between 1
        and 30 features. A data frame's column names are kept: pandas,
        Polars or any other that narwhals reads (a lazy frame must be
        collected first). Data from :func:`veldra.prepare_data` are used as
        they are.
    reference : str, callable or array-like, default="normal"
        What residuals are compared to: ``"normal"``, ``"uniform"`` or
        ``"laplace"``, a quantile function called on the probabilities
        ``(i + 0.5) / n``, or n values. A quantile function's output or
        explicit values are standardised to mean 0 and variance 1.
    n_threads : int or None, default=None
        Threads for the search. None (or 0) uses the CPUs this process may
        run on (its affinity set, capped by a cgroup CPU quota); 1 runs on
        the calling thread alone; k uses k threads, but never more than
        those CPUs (nor 128): a larger k is lowered, with a UserWarning.
        The result does not depend on it.
    exogenous : iterable of int or str, optional
        Variables (indices, or column names of a DataFrame) known to come
        first, before every other variable.
    sinks : iterable of int or str, optional
        Variables known to come last, after every other variable.
    required_order : iterable of (a, b) pairs, optional
        Variable ``a`` comes before variable ``b``.
    prior_knowledge : array-like of shape (n_features, n_features), optional
        lingam's prior-knowledge matrix (0, 1 or -1 per pair); its paths
        become order constraints (see :class:`veldra.ExhaustiveOrdering`
        for what else it means for the graph).
    progress : bool or callable, optional
        True shows a progress bar (tqdm's when installed, which also works
        in notebooks, else a line on stderr); one that cannot be drawn
        (stderr closed, None or on a full disk) is dropped and the search
        goes on. A callable is called with (evaluations done, evaluations
        in all, seconds elapsed) a few times a second; an exception it
        raises stops the search and is raised here (with ``checkpoint``,
        the work done is saved first).
    checkpoint : str or path-like, optional
        A file the search saves itself to from time to time (at most every
        minute within a level; writing takes at most 5 % of the run), when
        interrupted and when done. Called again with the same file, data,
        reference and constraints, the search resumes where it stopped and
        returns the same result bit for bit. A file of another search, a
        damaged one, one in use by another search (it is locked while a
        search runs) or a file that is not a checkpoint is refused with a
        :class:`CheckpointError` and left untouched. If a write fails during
        the search, a :class:`CheckpointWarning` says why once and the
        search goes on without saving.
    client : dask.distributed.Client or str, optional
        Run the search on this Dask cluster (or on the one whose scheduler
        has this address, such as ``"tcp://host:8786"``), which needs
        ``pip install 'veldra[distributed]'`` here and veldra on the
        workers. Each level is cut into tasks of about 2 s of one worker,
        which runs one task at a time on all its threads (two are sent to
        each worker at a time, one running and one ready); the result is bit for bit that of a local search when
        the workers share this machine's instruction set (a UserWarning
        says when they mix sets). ``n_threads`` must then be None.

    robust : bool, default=False
        Limit each column's extreme values before the search: values beyond
        the column's median +- 5 robust standard deviations (1.4826 times
        the median absolute deviation) are set to that limit. A few wild
        rows (a mistyped cell, a sensor glitch) then no longer decide the
        order; the score is changed for every column with values that far
        out, so use it when an :class:`veldra.OutlierWarning` names rows
        that are errors, not for data whose heavy tails are real.

    Returns
    -------
    OrderResult
        The order, the column names, the score, the search's sink table,
        the number of score evaluations, the time taken, the threads used
        (on a cluster: its worker threads), the instruction sets, the
        weighted graph (adaptive lasso, BIC), and the diagnostics: each
        variable's non-Gaussianity and its p-value, the margin over the
        runner-up order with its sampling noise, the residuals'
        independence and every warning. ``print(result)`` shows them.

    Warns
    -----
    DataWarning
        Before the search, for what in the data may mislead it: a discrete
        or heavily tied column (:class:`veldra.DiscreteDataWarning`), a
        handful of rows far beyond a column's tail
        (:class:`veldra.OutlierWarning`), duplicated rows
        (:class:`veldra.DuplicateRowsWarning`), a first column holding the
        row numbers (:class:`veldra.RowIndexWarning`).
    IdentifiabilityWarning
        When fewer than d - 1 of the d variables have clearly non-Gaussian
        residuals (p-value below 0.05), so that the data cannot pin the
        order down, or when there are fewer than max(50, 10 d) samples.
    NarrowMarginWarning
        When the best order and the runner-up tie, or the runner-up scores
        higher on 25 % or more of resampled rows, and the runner-up would
        change the graph.
    DependentResidualsWarning
        When a variable's residual, regressed on the variables before it,
        depends on one of them or on its residual (kernel and
        cross-cumulant tests, Holm-corrected at 0.001): a hidden common
        cause, a non-linear link or a wrong order.

    Raises
    ------
    ValueError
        For invalid data (the message names the columns) or reference.
    PriorKnowledgeError
        For prior knowledge that names no column or contradicts itself (a
        ValueError).
    TypeError
        For a sparse X, a lazy frame (collect it first), or an n_threads
        that is not an integer or None.
    MemoryError
        If the search's tables, buffers or threads do not fit in memory.
    RuntimeError
        If the search found no finite score for some set of variables, or
        its total is not finite.
    KeyboardInterrupt
        On Ctrl-C, within about a second; no thread is left running, and a
        checkpoint file, if given, holds the work done.

    Notes
    -----
    The search costs ``d * 2**(d - 1)`` score evaluations, each a
    regression over the n samples and a sort, and ``2**d`` bytes of tables
    and more (2.2 GiB at d = 30); see :func:`veldra.estimate_cost` for both beforehand. Order
    constraints skip the subsets that no allowed order starts with, which
    makes the search faster; the result is the best order among the
    allowed ones.

    Columns are centred (no intercept is fitted) and scaled to unit
    variance, which changes no score but keeps the arithmetic in range.

    The method assumes the data come from a linear, acyclic structural
    equation model with independent non-Gaussian noise and no hidden
    confounders. Several orders are equally right when the graph leaves
    them free; the returned one is the best under the score. The
    non-Gaussianity diagnostics check the central assumption (and warn
    when it fails); the margin shows how clearly the order won. See
    :class:`veldra.ExhaustiveOrdering` for the weighted graph and the
    independence of its residuals.

    Examples
    --------
    >>> import numpy as np
    >>> rng = np.random.default_rng(0)
    >>> e = rng.uniform(-1, 1, size=(2000, 3))
    >>> x0 = e[:, 0]
    >>> x2 = 0.8 * x0 + e[:, 2]
    >>> x1 = -0.7 * x2 + e[:, 1]
    >>> result = causal_order(np.column_stack([x0, x1, x2]), n_threads=1)
    >>> result.order.tolist()
    [0, 2, 1]
    >>> result.n_evaluations
    12
    """
    start = time.perf_counter()
    prepared = prepare_data(X, robust=robust)
    knowledge = make_knowledge(
        prepared.n_features,
        prepared.names,
        exogenous=exogenous,
        sinks=sinks,
        required_order=required_order,
        prior_knowledge=prior_knowledge,
    )
    result = find_order(
        prepared,
        reference=reference,
        n_threads=n_threads,
        start=start,
        knowledge=knowledge,
        progress=progress,
        checkpoint=checkpoint,
        client=client,
    )
    return result
