"""The pipeline under every front end: prepared data and the user's prior
knowledge in, the search, the order read off its table, the diagnostics,
an :class:`OrderResult` out.

:func:`veldra.causal_order`, :class:`veldra.ExhaustiveOrdering` and its
bootstrap (and through them the command line) all search through
:func:`find_order`.
"""

from __future__ import annotations

import math
import os
import time
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._progress import ProgressCallback, progress_callback
from ._reference import ReferenceLike, make_reference
from ._result import OrderResult
from ._search._engine import run as run_engine
from ._threads import resolve_threads

if TYPE_CHECKING:
    from ._data import PreparedData
    from ._knowledge import Knowledge

__all__ = ["find_order", "issue_warnings", "read_order"]


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
) -> OrderResult:
    """:func:`veldra.causal_order` on prepared data; ``start`` is the
    :func:`time.perf_counter` value the reported time counts from. Without
    ``diagnose`` the result has no diagnostics (and no warning is issued
    by the caller), as the bootstrap's resamples need none."""
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
        from ._diagnostics import diagnose as run_diagnostics

        is_normal = isinstance(reference, str) and reference.lower() == "normal"
        found = run_diagnostics(
            standard,
            prepared.gram,
            sinks,
            order,
            values,
            None if is_normal else make_reference("normal", n),
            predecessors=predecessors,
        )
        extra = vars(found)
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


def issue_warnings(messages: Sequence[str], stacklevel: int) -> None:
    """Issue each message as an :class:`IdentifiabilityWarning`."""
    if not messages:
        return
    from ._diagnostics import IdentifiabilityWarning

    for message in messages:
        warnings.warn(message, IdentifiabilityWarning, stacklevel=stacklevel + 1)
