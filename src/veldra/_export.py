"""The graph and the result as text: Graphviz DOT and the JSON record that
the estimator and the command line share. Nothing heavy is imported here.

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
  best order that differs from ``order``, null for one column.
- ``warnings``: why the order may not be identifiable, as sentences.
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
from collections.abc import Sequence
from typing import Any

__all__ = [
    "SCHEMA",
    "SCHEMA_VERSION",
    "default_names",
    "dump_record",
    "format_dot",
    "format_number",
    "load_record",
]

SCHEMA = "veldra.order"
SCHEMA_VERSION = 1


def default_names(d: int) -> tuple[str, ...]:
    """Names of unnamed columns: x0, x1, ... (as the command line's
    ``--no-header`` gives them)."""
    return tuple(f"x{j}" for j in range(d))


def format_number(value: float) -> str:
    return "0" if value == 0 else f"{value:.4g}"


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
