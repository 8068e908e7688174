"""How stable the order and the graph are under resampling: the bootstrap
and its result, which answers lingam's questions under lingam's names."""

from __future__ import annotations

import functools
import itertools
import numbers
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from sklearn.utils import check_random_state

from ._checks import as_int, check_flag
from ._data import checked_array, column_index, prepare
from ._graph import paths_between, predecessor_effects, total_effects
from ._pipeline import find_order
from ._progress import ProgressCallback, progress_callback
from ._threads import resolve_threads

if TYPE_CHECKING:
    from ._knowledge import Knowledge
    from ._reference import ReferenceLike

__all__ = ["BootstrapResult", "bootstrap"]


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
        effects = total_effects(self.adjacency_matrices)
        effects.flags.writeable = False
        return effects

    def _index(self, value: Any, name: str) -> int:
        d = self.adjacency_matrices.shape[-1]
        return column_index(value, self.column_names, d, name)

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
        split = check_flag(split_by_causal_effect_sign, "split_by_causal_effect_sign")
        B = self.adjacency_matrices
        present = self._present(B, min_causal_effect)
        counts: dict[tuple[int, ...], int] = {}
        if split:
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
        if split:
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
        split = check_flag(split_by_causal_effect_sign, "split_by_causal_effect_sign")
        B = self.adjacency_matrices
        present = self._present(B, min_causal_effect)
        counts: dict[tuple[Any, ...], int] = {}
        for k in range(len(B)):
            targets, sources = np.nonzero(present[k])
            key: tuple[Any, ...] = (tuple(sources.tolist()), tuple(targets.tolist()))
            if split:
                key += (tuple(np.sign(B[k][targets, sources]).astype(int).tolist()),)
            counts[key] = counts.get(key, 0) + 1
        keys = _sorted_by_count(counts, n_dags)
        dags = []
        for key in keys:
            dag = {"from": list(key[0]), "to": list(key[1])}
            if split:
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
            for path in paths_between(present[k], source, target):
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


def resampling_rng(random_state: Any) -> np.random.RandomState:
    """The generator of the resamples' rows, as lingam's bootstrap seeds it."""
    try:
        return check_random_state(random_state)
    except ValueError:
        raise ValueError(
            f"random_state={random_state!r} cannot seed the resampling; pass an"
            " int, a numpy.random.RandomState or None"
        ) from None


def bootstrap(
    data: np.ndarray,
    names: tuple[str, ...] | None,
    count: int,
    random_state: int | np.random.RandomState | None,
    *,
    reference: ReferenceLike,
    n_threads: int | None,
    pruning: str,
    criterion: str,
    knowledge: Knowledge | None,
    n_jobs: int | None = None,
    progress: bool | ProgressCallback | None = None,
) -> BootstrapResult:
    """Search ``count`` resamples of the rows of checked ``data`` (standardised
    or not: every resample is standardised anew) and fit each one's graph;
    see :meth:`veldra.ExhaustiveOrdering.bootstrap`."""
    rng = resampling_rng(random_state)
    n_samples, n_features = data.shape
    indices = rng.randint(0, n_samples, size=(count, n_samples))
    orders = np.empty((count, n_features), dtype=np.int64)
    adjacencies = np.empty((count, n_features, n_features))
    workers, threads = 1, n_threads
    if n_jobs is not None and n_jobs != 1:
        import joblib

        workers = min(joblib.effective_n_jobs(n_jobs), count)
        if workers > 1:
            threads = max(1, resolve_threads(n_threads) // workers)

    start = time.perf_counter()
    finished = itertools.count(1)  # next() on it is atomic in threads

    def resample(k: int, report: ProgressCallback | None) -> None:
        try:
            prepared = prepare(
                *checked_array(data[indices[k]], names, copy=False), in_place=True
            )
            result = find_order(
                prepared,
                reference=reference,
                n_threads=threads,
                diagnose=False,
                knowledge=knowledge,
            )
        except (ValueError, RuntimeError) as error:
            error.add_note(f"(in bootstrap resample {k})")
            raise
        orders[k] = result.order
        adjacencies[k] = predecessor_effects(
            prepared,
            orders[k],
            pruning,
            criterion,
            None if knowledge is None else knowledge.forbidden,
        )
        done = next(finished)
        if report is not None:
            report(done, count, time.perf_counter() - start)

    with progress_callback(progress, what="bootstrap", unit="resample") as report:
        if workers > 1:
            import joblib

            joblib.Parallel(n_jobs=workers, prefer="threads")(
                joblib.delayed(resample)(k, report) for k in range(count)
            )
        else:
            for k in range(count):
                resample(k, report)
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
            int(random_state) if isinstance(random_state, numbers.Integral) else None
        ),
    )
