"""The fitted graph in other programs' terms: Graphviz DOT, networkx, a
pandas DataFrame, and the JSON record that the estimator writes and reads
and the command line prints. networkx and pandas are imported only when
asked for.

JSON record, schema version 1 (``"schema": "veldra.order"``)
------------------------------------------------------------
Indices count the analysed columns from 0; ``column_names`` gives their
names, in column order; anything listed "in causal order" is by position.

- ``schema``, ``schema_version``: ``"veldra.order"`` and 1.
- ``column_names``: the columns' names, in column order.
- ``order``: column indices, first cause to last effect.
- ``order_names``: the names in causal order.
- ``score``: the best total score.
- ``adjacency_matrix``: rows of B, ``B[i][j]`` the direct effect of column
  j on column i.
- ``non_gaussianity``, ``non_gaussianity_p_values``: per column, the score
  of its residuals against the normal and its p-value (null when it has
  none: fewer than 3 samples).
- ``position_margins``: per position of ``order``, the margin over the best
  order that changes it last there (null at position 0: none exists);
  ``margin``: the smallest, null for one column; ``runner_up_order``: the
  best order that differs from ``order``, null for one column;
  ``margin_se``, ``runner_up_share``: the margin's noise on resampled rows
  (its standard error, and the share of resamples the runner-up wins),
  null for one column or when not recorded.
- ``warnings``: every warning of the data and the fit, as sentences.
- ``n_samples``, ``n_evaluations``, ``seconds``, ``n_threads``: the search.
- ``reference`` (null for a custom one), ``pruning``, ``criterion``: the
  settings.
- ``exogenous``, ``sinks`` (lists of indices or names), ``required_order``
  (a list of pairs), ``prior_knowledge`` (lingam's matrix): the prior
  knowledge as given, each null when not given; ``constraints``: what it
  applied, one readable line per constraint. Records without these keys
  had none.
- ``instruction_sets``: the instruction sets the scores were computed with
  (Highway's names, such as "AVX2"); records without it did not say.
- ``bootstrap``: null, or ``n_sampling``, ``random_state`` (an integer
  seed or null), ``edge_probabilities`` (shaped like B) and
  ``position_probabilities`` (``[i][k]``: column i at position k).

Non-finite numbers are written as null, so the text is strict JSON.
"""

from __future__ import annotations

import json
import math
import numbers
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Self

import numpy as np
from sklearn.utils.validation import check_is_fitted

from ._result import OrderResult, format_report
from ._text import default_names, format_number

if TYPE_CHECKING:
    from ._bootstrap import BootstrapResult

__all__ = [
    "SCHEMA",
    "SCHEMA_VERSION",
    "GraphExports",
    "dump_record",
    "fitted_from_record",
    "format_dot",
    "load_record",
    "order_record",
    "to_dataframe",
    "to_networkx",
]

SCHEMA = "veldra.order"
SCHEMA_VERSION = 1


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


def _finite(value: Any) -> Any:
    """Nested lists and dicts of numbers with every non-finite one as None."""
    if isinstance(value, dict):
        return {key: _finite(v) for key, v in value.items()}
    if isinstance(value, list):
        return [_finite(v) for v in value]
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def dump_record(record: dict[str, Any]) -> str:
    """One line of strict JSON."""
    return json.dumps(_finite(record), allow_nan=False)


def load_record(text: str | bytes | dict[str, Any]) -> dict[str, Any]:
    """A record from JSON text (or an already parsed one), its schema checked.

    The command line's output from before the schema was versioned (no
    ``schema_version``, the column names under ``names``) is read too.
    """
    record = dict(json.loads(text) if isinstance(text, str | bytes) else text)
    version = record.get("schema_version")
    if version is None and "names" in record and "order" in record:
        record["column_names"] = record.pop("names")
        version = SCHEMA_VERSION
    if version != SCHEMA_VERSION or record.get("schema", SCHEMA) != SCHEMA:
        raise ValueError(
            f"not a veldra result of schema version {SCHEMA_VERSION}: schema"
            f" {record.get('schema')!r}, version {version!r}"
        )
    for key in ("column_names", "order", "adjacency_matrix"):
        if key not in record:
            raise ValueError(f"the record has no {key!r}")
    return record


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


def _plain_variables(values: Any) -> list[int | str] | None:
    """Variables as given (indices or names), as JSON can hold them."""
    if values is None:
        return None
    if isinstance(values, str | numbers.Integral):
        values = [values]
    return [v if isinstance(v, str) else int(v) for v in values]


def order_record(model: Any, names: Sequence[str], bootstrap: Any = None) -> dict:
    """The record of a fitted estimator (and a bootstrap result), before
    :func:`dump_record` writes it."""
    import numpy as np

    order = model.causal_order_.tolist()
    boot = None
    if bootstrap is not None:
        boot = {
            "n_sampling": len(bootstrap.orders),
            "random_state": bootstrap.random_state,
            "edge_probabilities": bootstrap.edge_probabilities.tolist(),
            "position_probabilities": bootstrap.position_probabilities.tolist(),
        }
    runner_up = model.runner_up_order_
    return {
        "schema": SCHEMA,
        "schema_version": SCHEMA_VERSION,
        "column_names": list(names),
        "order": order,
        "order_names": [names[j] for j in order],
        "score": model.score_,
        "adjacency_matrix": model.adjacency_matrix_.tolist(),
        "non_gaussianity": np.asarray(model.non_gaussianity_).tolist(),
        "non_gaussianity_p_values": np.asarray(
            model.non_gaussianity_p_values_
        ).tolist(),
        "position_margins": np.asarray(model.position_margins_).tolist(),
        "margin": model.margin_,
        "margin_se": getattr(model, "margin_se_", math.nan),
        "runner_up_share": getattr(model, "runner_up_share_", math.nan),
        "runner_up_order": None if runner_up is None else runner_up.tolist(),
        "warnings": list(model.warnings_),
        "n_samples": model.n_samples_fit_,
        "n_evaluations": model.n_evaluations_,
        "seconds": model.search_seconds_,
        "n_threads": model.n_threads_,
        "reference": model.reference if isinstance(model.reference, str) else None,
        "pruning": model.pruning,
        "criterion": model.criterion,
        "exogenous": _plain_variables(model.exogenous),
        "sinks": _plain_variables(model.sinks),
        "required_order": (
            None
            if model.required_order is None
            else [_plain_variables(pair) for pair in model.required_order]
        ),
        "prior_knowledge": (
            None
            if model.prior_knowledge is None
            else np.asarray(model.prior_knowledge).tolist()
        ),
        "constraints": list(getattr(model, "constraints_", ())),
        "instruction_sets": list(getattr(model, "instruction_sets_", ())),
        "bootstrap": boot,
    }


def _number(value: Any) -> float:
    return math.nan if value is None else float(value)


def fitted_from_record(
    text: str | bytes | dict[str, Any],
) -> tuple[dict[str, Any], dict[str, Any]]:
    """From a record (:func:`load_record` checks it): the estimator's
    parameters, and its fitted attributes (a custom reference comes back as
    ``"normal"``)."""
    import numpy as np

    record = load_record(text)
    names = [str(name) for name in record["column_names"]]
    d = len(names)

    def array(key: str, default: float = math.nan) -> np.ndarray:
        values = record.get(key)
        if values is None:
            return np.full(d, default)
        return np.array([default if v is None else v for v in values], float)

    params = {
        "reference": record.get("reference") or "normal",
        "pruning": record.get("pruning", "adaptive_lasso"),
        "criterion": record.get("criterion", "bic"),
        "exogenous": record.get("exogenous"),
        "sinks": record.get("sinks"),
        "required_order": (
            None
            if record.get("required_order") is None
            else [tuple(pair) for pair in record["required_order"]]
        ),
        "prior_knowledge": record.get("prior_knowledge"),
    }
    order = np.array(record["order"], dtype=np.int64)
    adjacency = np.array(record["adjacency_matrix"], dtype=float)
    if order.shape != (d,) or adjacency.shape != (d, d):
        raise ValueError("the record's order and matrix do not match its columns")
    margin = record.get("margin")
    runner_up = record.get("runner_up_order")
    fitted: dict[str, Any] = {
        "causal_order_": order,
        "adjacency_matrix_": adjacency,
        "score_": float(record.get("score", math.nan)),
        "n_evaluations_": int(record.get("n_evaluations", d * 2 ** (d - 1))),
        "search_seconds_": float(record.get("seconds", math.nan)),
        "n_threads_": int(record.get("n_threads", 1)),
        "n_samples_fit_": int(record.get("n_samples", 0)),
        "non_gaussianity_": array("non_gaussianity"),
        "non_gaussianity_p_values_": array("non_gaussianity_p_values"),
        "position_margins_": array("position_margins", math.inf),
        "margin_": math.inf if margin is None else float(margin),
        "margin_se_": _number(record.get("margin_se")),
        "runner_up_share_": _number(record.get("runner_up_share")),
        "runner_up_order_": (
            None if runner_up is None else np.array(runner_up, dtype=np.int64)
        ),
        "warnings_": tuple(record.get("warnings", ())),
        "constraints_": tuple(record.get("constraints", ())),
        "instruction_sets_": tuple(record.get("instruction_sets", ())),
        "n_features_in_": d,
    }
    if names != list(default_names(d)):
        fitted["feature_names_in_"] = np.array(names, dtype=object)
    return params, fitted


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

        The schema (version 1) is described in :mod:`veldra._export` and the
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
