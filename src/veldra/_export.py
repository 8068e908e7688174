"""The fitted graph in other programs' terms: Graphviz DOT, networkx, a
pandas DataFrame, and the JSON record (written and read by ``_record``).
networkx and pandas are imported only when asked for.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Self

import numpy as np
from sklearn.utils.validation import check_is_fitted

from ._record import dump_record, fitted_from_record, order_record
from ._result import OrderResult, format_report
from ._text import default_names, format_number

if TYPE_CHECKING:
    from ._bootstrap import BootstrapResult

__all__ = [
    "GraphExports",
    "format_dot",
    "to_dataframe",
    "to_networkx",
]


def _dot_string(text: str) -> str:
    escaped = text.replace("\\", "\\\\").replace('"', '\\"')
    escaped = escaped.replace("\r", "").replace("\n", "\\n")
    return f'"{escaped}"'


def format_dot(adjacency: Any, names: Sequence[str]) -> str:
    """The graph as Graphviz DOT: an edge j -> i labelled B[i, j]."""
    lines = ["digraph veldra {"]
    for j, name in enumerate(names):
        lines.append(f"  n{j} [label={_dot_string(name)}];")
    for i, j in zip(*adjacency.nonzero(), strict=True):
        weight = format_number(float(adjacency[i, j]))
        lines.append(f"  n{j} -> n{i} [label={_dot_string(weight)}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


def to_networkx(adjacency: Any, names: Sequence[str], order: Any) -> Any:
    """A ``networkx.DiGraph``: nodes the column indices with their ``name``
    and ``position`` in ``order``, an edge j -> i per nonzero ``B[i, j]``
    with it as ``weight``, and the order as the graph's ``order``."""
    import numpy as np

    try:
        import networkx
    except ImportError:
        raise ImportError("to_networkx needs networkx: pip install networkx") from None
    graph = networkx.DiGraph(order=order.tolist())
    positions = np.argsort(order)
    for j, name in enumerate(names):
        graph.add_node(j, name=name, position=int(positions[j]))
    for i, j in zip(*np.nonzero(adjacency), strict=True):
        graph.add_edge(int(j), int(i), weight=float(adjacency[i, j]))
    return graph


def to_dataframe(adjacency: Any, names: Sequence[str]) -> Any:
    """The adjacency matrix as a pandas DataFrame, labelled on both sides."""
    try:
        import pandas
    except ImportError:
        raise ImportError("to_dataframe needs pandas: pip install pandas") from None
    return pandas.DataFrame(adjacency.copy(), index=list(names), columns=list(names))


class GraphExports:
    """The exports of a fitted :class:`veldra.ExhaustiveOrdering`: a report
    to read, Graphviz DOT, networkx, a DataFrame and the JSON record."""

    def _column_names(self) -> tuple[str, ...]:
        names = getattr(self, "feature_names_in_", None)
        if names is None:
            return default_names(len(self.causal_order_))
        return tuple(str(name) for name in names)

    def to_text(
        self,
        bootstrap: BootstrapResult | None = None,
        *,
        column_numbers: Sequence[int] | None = None,
    ) -> str:
        """The fitted result as a report to read, as ``veldra order`` prints it.

        The order, each variable's non-Gaussianity and its p-value, the score
        and its margin over the runner-up order, what the search cost, the
        constraints applied, and the graph: the adjacency matrix, or for
        more than 8 variables its edges, strongest first.

        Parameters
        ----------
        bootstrap : BootstrapResult, optional
            Adds the share of resamples that put each variable at its place
            and that found each edge.
        column_numbers : sequence of int, optional
            The number shown beside each variable, ``(column k)``: by
            default its index, 0 to ``n_features_in_ - 1``; the command line
            shows the columns' places in the file it read.
        """
        check_is_fitted(self)
        d = len(self.causal_order_)
        numbers = list(range(d)) if column_numbers is None else list(column_numbers)
        if len(numbers) != d:
            raise ValueError(
                f"column_numbers has {len(numbers)} numbers for {d} variables"
            )
        return format_report(self._as_result(), numbers, bootstrap)

    def summary(self, bootstrap: BootstrapResult | None = None) -> str:
        """The fitted result as a report to read: :meth:`to_text`, which
        ``print(veldra.causal_order(X))`` shows as well.

        The order with each residual's non-Gaussianity and p-value, the
        score, its margin over the runner-up order and the margin's noise,
        the graph's edges with their weights, and every warning.
        """
        return self.to_text(bootstrap)

    def plot(self, bootstrap: BootstrapResult | None = None, *, ax: Any = None) -> Any:
        """Draw the graph layered by the causal order (needs matplotlib).

        Edge widths follow the direct effects; with ``bootstrap``, edges are
        labelled with the share of resamples that found them. Returns the
        matplotlib axes drawn on (``ax``, or a new figure's).
        """
        check_is_fitted(self)
        return self._as_result().plot(bootstrap=bootstrap, ax=ax)

    def _as_result(self) -> OrderResult:
        """The fitted attributes as the result the renderers take."""
        names = getattr(self, "feature_names_in_", None)
        return OrderResult(
            order=np.asarray(self.causal_order_),
            column_names=None if names is None else self._column_names(),
            score=self.score_,
            sinks=None,  # type: ignore[arg-type]
            n_evaluations=self.n_evaluations_,
            seconds=self.search_seconds_,
            n_threads=self.n_threads_,
            non_gaussianity=self.non_gaussianity_,
            non_gaussianity_p_values=self.non_gaussianity_p_values_,
            position_margins=self.position_margins_,
            margin=self.margin_,
            runner_up_order=self.runner_up_order_,
            warnings=tuple(self.warnings_),
            constraints=tuple(getattr(self, "constraints_", ())),
            instruction_sets=tuple(getattr(self, "instruction_sets_", ())),
            margin_se=getattr(self, "margin_se_", math.nan),
            runner_up_share=getattr(self, "runner_up_share_", math.nan),
            adjacency_matrix=self.adjacency_matrix_,
            limited=getattr(self, "limited_", None),
        )

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
        return to_networkx(
            self.adjacency_matrix_, self._column_names(), self.causal_order_
        )

    def to_dataframe(self) -> Any:
        """The adjacency matrix as a labelled pandas DataFrame.

        Rows are the effects and columns the causes, both labelled with the
        column names: ``frame.loc[effect, cause]`` is the direct effect.
        """
        check_is_fitted(self)
        return to_dataframe(self.adjacency_matrix_, self._column_names())

    def to_json(self, bootstrap: BootstrapResult | None = None) -> str:
        """The fitted result as one line of JSON, as ``veldra order --json``
        prints it.

        The schema (version 1) is described in :mod:`veldra._record` and the
        README; :meth:`from_json` reads it back.

        Parameters
        ----------
        bootstrap : BootstrapResult, optional
            Adds its edge and position probabilities under ``"bootstrap"``.
        """
        check_is_fitted(self)
        return dump_record(order_record(self, self._column_names(), bootstrap))

    @classmethod
    def from_json(cls, text: str | bytes | dict[str, Any]) -> Self:
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
        params, fitted = fitted_from_record(text)
        model = cls(**params)
        for name, value in fitted.items():
            setattr(model, name, value)
        return model
