"""The pipeline under every front end: prepared data and the user's prior
knowledge in, the data's warnings, the search, the order read off its
table, the graph's weights, the diagnostics and their warnings, an
:class:`OrderResult` out.

:func:`veldra.causal_order`, :class:`veldra.ExhaustiveOrdering` and its
bootstrap (and through them the command line) all search through
:func:`find_order`.
"""

from __future__ import annotations

import math
import os
import time
from typing import TYPE_CHECKING, Any

import numpy as np

from ._progress import ProgressCallback, progress_callback
from ._reference import ReferenceLike, make_reference
from ._result import OrderResult
from ._search._engine import run as run_engine
from ._threads import blas_on_one_thread, resolve_threads
from ._warnings import issue

if TYPE_CHECKING:
    from ._data import PreparedData
    from ._knowledge import Knowledge

__all__ = ["find_order", "read_order"]

# The most rows the residual independence tests use (their cost is
# quadratic in the rows): beyond, rows are drawn with a fixed seed.
INDEPENDENCE_ROWS = 1000


def read_order(sinks: np.ndarray, d: int) -> np.ndarray:
    """The order the sink table gives, from the full set downwards.

    Raises
    ------
    RuntimeError
        If a subset has no sink (no candidate had a finite score) or a sink
        that is not among its members.
    """
    order: list[int] = []
    subset = (1 << d) - 1
    while subset:
        sink = int(sinks[subset])
        members = [j for j in range(d) if (subset >> j) & 1]
        if sink not in members:
            if sink >= 0:
                raise RuntimeError(
                    f"the search's table is inconsistent: it puts variable {sink}"
                    f" last among variables {members}"
                )
            raise RuntimeError(
                "the search found no candidate with a finite score among"
                f" variables {members}: every regression among them failed."
                " This usually means near-collinear columns or values of"
                " extreme magnitude; drop redundant columns or rescale."
            )
        order.append(sink)
        subset &= ~(1 << sink)
    order.reverse()
    return np.array(order, dtype=np.int64)


def find_order(
    prepared: PreparedData,
    *,
    reference: ReferenceLike = "normal",
    n_threads: int | None = None,
    start: float | None = None,
    diagnose: bool = True,
    knowledge: Knowledge | None = None,
    progress: bool | ProgressCallback | None = None,
    checkpoint: str | os.PathLike[str] | None = None,
    client: Any = None,
    pruning: str = "adaptive_lasso",
    criterion: str = "bic",
) -> OrderResult:
    """:func:`veldra.causal_order` on prepared data; ``start`` is the
    :func:`time.perf_counter` value the reported time counts from.

    The data's findings are issued as warnings before the search, the fit's
    after it. Without ``diagnose``
    the result has neither graph nor diagnostics and nothing is issued, as
    the bootstrap's resamples need none."""
    if diagnose:
        issue(prepared.findings)
    if start is None:
        start = time.perf_counter()
    standard, names = prepared.standard, prepared.names
    n, d = standard.shape
    values = make_reference(reference, n)
    if client is not None and n_threads is not None:
        raise ValueError(
            "n_threads is for a search on this machine; on a cluster the"
            " threads are its workers' (dask worker --nthreads)"
        )
    threads = 1 if client is not None else resolve_threads(n_threads)
    predecessors = None if knowledge is None else knowledge.predecessors
    executor = None
    if client is not None:
        from ._search._distributed import ClusterExecutor

        executor = ClusterExecutor(client)
    try:
        with progress_callback(progress) as callback:
            outcome = run_engine(
                standard,
                prepared.gram,
                values,
                threads,
                predecessors=predecessors,
                progress=callback,
                checkpoint=checkpoint,
                executor=executor,
            )
    except Exception as error:
        if executor is not None:
            executor.explain(error, checkpoint)
        raise
    sinks, score = outcome.sinks, outcome.score
    order = read_order(sinks, d)
    if not math.isfinite(score):
        raise RuntimeError(
            f"the search's best total score is not finite ({score}): its sums"
            " left the range of float32. Check the data and the reference for"
            " values of extreme magnitude"
        )
    sinks.flags.writeable = False
    order.flags.writeable = False
    extra: dict[str, Any] = {}
    if diagnose:
        extra = _diagnose(
            prepared,
            sinks,
            order,
            score,
            values,
            reference,
            knowledge,
            pruning,
            criterion,
            threads,
        )
        issue(extra["warnings"][len(prepared.findings) :])
    return OrderResult(
        order=order,
        column_names=None if names is None else tuple(names),
        score=score,
        sinks=sinks,
        n_evaluations=outcome.n_evaluations,
        seconds=time.perf_counter() - start,
        n_threads=outcome.n_threads,
        constraints=() if knowledge is None else knowledge.applied,
        instruction_sets=tuple(sorted(set(outcome.instruction_sets.values()))),
        **extra,
    )


def _diagnose(
    prepared: PreparedData,
    sinks: np.ndarray,
    order: np.ndarray,
    score: float,
    values: np.ndarray,
    reference: ReferenceLike,
    knowledge: Knowledge | None,
    pruning: str,
    criterion: str,
    threads: int,
) -> dict[str, Any]:
    """The graph's weights, the diagnostics and every finding, as fields of
    the result; their independent pieces run on up to ``threads`` threads."""
    from ._diagnostics import diagnose, independence_findings, margin_findings
    from ._graph import predecessor_effects
    from ._independence import order_dependence_p_values

    n = prepared.n_samples
    # The imports above load SciPy's BLAS, so that the limit reaches it too.
    with blas_on_one_thread(n):
        is_normal = isinstance(reference, str) and reference.lower() == "normal"
        found = diagnose(
            prepared.standard,
            prepared.gram,
            sinks,
            order,
            values,
            None if is_normal else make_reference("normal", n),
            predecessors=None if knowledge is None else knowledge.predecessors,
            threads=threads,
        )
        forbidden = None if knowledge is None else knowledge.forbidden
        adjacency = predecessor_effects(prepared, order, pruning, criterion, forbidden)
        findings = list(found.warnings)
        # Whether the runner-up gives another graph is judged on a pruned graph:
        # a complete one would count every near-zero weight as an edge.
        pruned = adjacency
        if pruning != "adaptive_lasso":
            pruned = predecessor_effects(
                prepared, order, "adaptive_lasso", "bic", forbidden
            )
        findings += margin_findings(found, score, pruned, prepared.names)
        independence = None
        if n >= 4 and prepared.n_features > 1:
            independence = order_dependence_p_values(
                prepared.standard, order, INDEPENDENCE_ROWS, threads
            )
            findings += independence_findings(independence, prepared.names)
            independence.flags.writeable = False
        adjacency.flags.writeable = False
        return {
            **vars(found),
            "warnings": (*prepared.findings, *findings),
            "adjacency_matrix": adjacency,
            "independence_p_values": independence,
            "limited": prepared.limited,
        }
