"""The JSON record that the estimator writes and reads and the command line
prints: written from a fit, read back with every key checked.

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

Reading a record checks each key it uses as a fit writes it (the order a
permutation, the matrix square, finite and strictly lower-triangular in the
order, the names distinct strings, ...); a fault is a ValueError that names
the key, what is wrong and what was expected. A key that is null or missing
is read as not recorded, but for ``column_names``, ``order`` and
``adjacency_matrix``, which every record needs.
"""

from __future__ import annotations

import json
import math
import numbers
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from ._checks import CRITERIA, PRUNINGS, REFERENCE_NAMES
from ._convert import describe
from ._knowledge import PriorKnowledgeError, prior_matrix
from ._text import column_label, default_names

__all__ = [
    "SCHEMA",
    "SCHEMA_VERSION",
    "dump_record",
    "fitted_from_record",
    "load_record",
    "order_record",
]

SCHEMA = "veldra.order"
SCHEMA_VERSION = 1


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
    :func:`fitted_from_record` checks the contents.

    Raises
    ------
    ValueError
        For text that is not JSON, JSON that is not an object, or another
        schema or version.
    TypeError
        For ``text`` that is neither text nor a dict.
    """
    if isinstance(text, str | bytes | bytearray):
        parsed = json.loads(text)
        if not isinstance(parsed, dict):  # the text's fault, not the argument's
            raise ValueError(  # noqa: TRY004
                f"not a veldra result: the JSON is {_kind(parsed)}, not an object"
                " ({...}) of the schema's keys"
            )
    elif isinstance(text, Mapping):
        parsed = text
    else:
        raise TypeError(
            "a veldra result is JSON text or the dict it parses to, not"
            f" {type(text).__name__}"
        )
    record = dict(parsed)
    version = record.get("schema_version")
    if version is None and "names" in record and "order" in record:
        record["column_names"] = record.pop("names")
        version = SCHEMA_VERSION
    if (
        isinstance(version, bool)
        or version != SCHEMA_VERSION
        or record.get("schema", SCHEMA) != SCHEMA
    ):
        raise ValueError(
            f"not a veldra result of schema version {SCHEMA_VERSION}: schema"
            f" {record.get('schema')!r}, version {version!r}"
        )
    for key in ("column_names", "order", "adjacency_matrix"):
        if key not in record:
            raise ValueError(f"the record has no {key!r}")
    return record


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
    given = model._given_knowledge()  # generators as fit read them
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
        "exogenous": _plain_variables(given["exogenous"]),
        "sinks": _plain_variables(given["sinks"]),
        "required_order": (
            None
            if given["required_order"] is None
            else [_plain_variables(pair) for pair in given["required_order"]]
        ),
        "prior_knowledge": (
            None
            if given["prior_knowledge"] is None
            else np.asarray(given["prior_knowledge"]).tolist()
        ),
        "constraints": list(getattr(model, "constraints_", ())),
        "instruction_sets": list(getattr(model, "instruction_sets_", ())),
        "bootstrap": boot,
    }


def _kind(value: Any) -> str:
    """A value read from JSON, for a message: its kind and how it starts."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        kind = "a boolean"
    elif isinstance(value, str):
        kind = "a string"
    elif isinstance(value, numbers.Number):
        kind = "a number"
    elif isinstance(value, Mapping):
        kind = "an object"
    elif isinstance(value, list | tuple | np.ndarray):
        kind = "a list"
    else:
        kind = f"a {type(value).__name__}"
    return f"{kind} ({describe(value)})"


def _is_list(value: Any) -> bool:
    """A JSON array, or what a parsed record given as a dict may hold instead."""
    return isinstance(value, list | tuple) or (
        isinstance(value, np.ndarray) and value.ndim == 1
    )


def _as_float(value: Any) -> float | None:
    """A real number (not a boolean) as a float, or None for anything else
    or an integer beyond float's range."""
    if not isinstance(value, numbers.Real) or isinstance(value, bool):
        return None
    try:
        return float(value)
    except OverflowError:
        return None


def _is_index(value: Any) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def _fault(key: str, problem: str) -> ValueError:
    return ValueError(f"the record's {key!r} {problem}")


class _Record:
    """The contents of a record, each key checked as it is read: the message
    of a fault names the key, what is wrong and what was expected."""

    def __init__(self, record: dict[str, Any]) -> None:
        self.record = record
        self.names = self._names()
        self.d = len(self.names)

    def _names(self) -> list[str]:
        key = "column_names"
        names = self.record[key]
        expected = "expected a list of distinct strings, one per column"
        if not _is_list(names):
            raise _fault(key, f"is {_kind(names)}; {expected}")
        if not len(names):
            raise _fault(key, f"is empty; {expected}")
        seen: dict[str, int] = {}
        for j, name in enumerate(names):
            if not isinstance(name, str):
                raise _fault(key, f"holds {_kind(name)} at {j}; {expected}")
            if name in seen:
                raise _fault(
                    key, f"holds {name!r} twice (at {seen[name]} and {j}); {expected}"
                )
            seen[name] = j
        return [str(name) for name in names]

    def get(self, key: str, default: Any = None) -> Any:
        """An optional key; null is read as missing."""
        value = self.record.get(key)
        return default if value is None else value

    def number(self, key: str, default: float = math.nan) -> float:
        value = self.get(key, default)
        number = _as_float(value)
        if number is None:
            raise _fault(key, f"is {_kind(value)}; expected a number or null")
        return number

    def count(self, key: str, default: int) -> int:
        value = self.get(key, default)
        if not _is_index(value) or value < 0:
            raise _fault(key, f"is {_kind(value)}; expected a whole number, 0 or more")
        return int(value)

    def choice(self, key: str, choices: tuple[str, ...], default: str) -> str:
        value = self.get(key, default)
        if not isinstance(value, str) or value not in choices:
            shown = ", ".join(map(repr, choices))
            raise _fault(key, f"is {_kind(value)}; expected one of {shown}")
        return value

    def texts(self, key: str) -> tuple[str, ...]:
        value = self.get(key, ())
        if not _is_list(value) or not all(isinstance(v, str) for v in value):
            raise _fault(key, f"is {_kind(value)}; expected a list of strings")
        return tuple(value)

    def per_column(self, key: str, default: float = math.nan) -> np.ndarray:
        """One number (or null, for ``default``) per column."""
        values = self.get(key)
        if values is None:
            return np.full(self.d, default)
        expected = f"expected a list of {self.d} numbers (or nulls), one per column"
        if not _is_list(values) or len(values) != self.d:
            raise _fault(key, f"is {_kind(values)}; {expected}")
        numbers = [default if v is None else _as_float(v) for v in values]
        for j, number in enumerate(numbers):
            if number is None:
                raise _fault(key, f"holds {_kind(values[j])} at {j}; {expected}")
        return np.array(numbers, float)

    def permutation(self, key: str, values: Any) -> np.ndarray:
        """Column indices, each once."""
        d = self.d
        expected = f"expected the column indices 0 to {d - 1}, each once"
        if not _is_list(values):
            raise _fault(key, f"is {_kind(values)}; {expected}")
        if len(values) != d:
            raise _fault(key, f"has {len(values)} indices for {d} columns; {expected}")
        placed: dict[int, int] = {}
        for position, value in enumerate(values):
            if not _is_index(value) or not 0 <= value < d:
                raise _fault(
                    key,
                    f"holds {_kind(value)} at position {position}, not a column"
                    f" index; {expected}",
                )
            if int(value) in placed:
                raise _fault(
                    key,
                    f"holds {int(value)} twice (at positions {placed[int(value)]}"
                    f" and {position}); {expected}",
                )
            placed[int(value)] = position
        return np.array(values, dtype=np.int64)

    def adjacency(self, order: np.ndarray) -> np.ndarray:
        """B, d x d and finite, with effects only of variables on later ones
        in ``order``: strictly lower-triangular once rows and columns are
        put in that order, as a fit makes it (and so acyclic)."""
        key, d = "adjacency_matrix", self.d
        rows = self.record[key]
        expected = f"expected {d} rows of {d} finite numbers, one per column"
        if not _is_list(rows) or len(rows) != d:
            raise _fault(key, f"is {_kind(rows)}; {expected}")
        matrix = np.empty((d, d))
        for i, row in enumerate(rows):
            if not _is_list(row) or len(row) != d:
                raise _fault(key, f"row {i} is {_kind(row)}; {expected}")
            for j, value in enumerate(row):
                number = _as_float(value)
                if number is None or not math.isfinite(number):
                    raise _fault(key, f"[{i}][{j}] is {_kind(value)}; {expected}")
                matrix[i, j] = number
        position = np.argsort(order)
        for i, j in np.argwhere(matrix).tolist():
            if position[j] >= position[i]:
                cause, effect = column_label(j, self.names), column_label(i, self.names)
                where = (
                    "itself"
                    if i == j
                    else f"{effect}, which comes before it in the 'order'"
                )
                raise _fault(
                    key,
                    f"[{i}][{j}] = {float(matrix[i, j])!r} is an effect of {cause} on"
                    f" {where}; expected effects only of variables on later ones"
                    " (strictly lower-triangular in the order, as a fit makes"
                    " it)",
                )
        return matrix

    def variables(self, key: str) -> Any:
        """Variables as given: null, an index or name, or a list of them."""
        values = self.get(key)
        if values is None or isinstance(values, str) or self._variable(values):
            return values
        expected = (
            f"expected null, or a list of column indices (0 to {self.d - 1}) or names"
        )
        if not _is_list(values):
            raise _fault(key, f"is {_kind(values)}; {expected}")
        for k, value in enumerate(values):
            if not isinstance(value, str) and not self._variable(value):
                raise _fault(key, f"holds {_kind(value)} at {k}; {expected}")
        return list(values)

    def _variable(self, value: Any) -> bool:
        return _is_index(value) and 0 <= value < self.d

    def pairs(self) -> list[tuple[Any, Any]] | None:
        key = "required_order"
        values = self.get(key)
        if values is None:
            return None
        expected = "expected null, or a list of pairs [a, b] of column indices or names"
        if not _is_list(values):
            raise _fault(key, f"is {_kind(values)}; {expected}")
        for k, pair in enumerate(values):
            if (
                not _is_list(pair)
                or len(pair) != 2
                or not all(isinstance(v, str) or self._variable(v) for v in pair)
            ):
                raise _fault(key, f"holds {_kind(pair)} at {k}; {expected}")
        return [tuple(pair) for pair in values]

    def prior_knowledge(self) -> Any:
        value = self.get("prior_knowledge")
        if _is_list(value) and any(
            _is_list(row) and any(v is None for v in row) for row in value
        ):
            # NaN written as null: on the diagonal, which says nothing, a
            # matrix as given may hold it.
            value = [
                [math.nan if v is None else v for v in row] if _is_list(row) else row
                for row in value
            ]
        if value is not None:
            try:
                prior_matrix(value, self.d)
            except (PriorKnowledgeError, TypeError) as error:
                raise _fault(
                    "prior_knowledge", f"is not lingam's matrix: {error}"
                ) from None
        return value


def fitted_from_record(
    text: str | bytes | dict[str, Any],
) -> tuple[dict[str, Any], dict[str, Any]]:
    """From a record (:func:`load_record` checks its schema): the
    estimator's parameters, and its fitted attributes (a custom reference
    comes back as ``"normal"``).

    The contents are checked as a fit makes them: ``column_names`` distinct
    strings, ``order`` (and ``runner_up_order``) each column index once,
    ``adjacency_matrix`` d x d, finite, with effects only of variables on
    later ones in the order; the per-column lists of d numbers; the counts
    whole numbers; the settings known names; the prior knowledge of the
    shapes the estimator takes, indices in range and lingam's matrix d x d.

    Raises
    ------
    ValueError
        For a record that is not such, naming the key, what is wrong and
        what was expected.
    """
    import numpy as np

    record = _Record(load_record(text))
    names, d = record.names, record.d
    reference = record.get("reference", "normal")
    if reference != "" and (
        not isinstance(reference, str) or reference.lower() not in REFERENCE_NAMES
    ):
        raise _fault(
            "reference",
            f"is {_kind(reference)}; expected null (a custom reference) or one"
            f" of {', '.join(map(repr, REFERENCE_NAMES))}",
        )
    params = {
        "reference": reference or "normal",
        "pruning": record.choice("pruning", PRUNINGS, "adaptive_lasso"),
        "criterion": record.choice("criterion", CRITERIA, "bic"),
        "exogenous": record.variables("exogenous"),
        "sinks": record.variables("sinks"),
        "required_order": record.pairs(),
        "prior_knowledge": record.prior_knowledge(),
    }
    order = record.permutation("order", record.record["order"])
    adjacency = record.adjacency(order)
    runner_up = record.get("runner_up_order")
    fitted: dict[str, Any] = {
        "causal_order_": order,
        "adjacency_matrix_": adjacency,
        "score_": record.number("score"),
        "n_evaluations_": record.count("n_evaluations", d * 2 ** (d - 1)),
        "search_seconds_": record.number("seconds"),
        "n_threads_": record.count("n_threads", 1),
        "n_samples_fit_": record.count("n_samples", 0),
        "non_gaussianity_": record.per_column("non_gaussianity"),
        "non_gaussianity_p_values_": record.per_column("non_gaussianity_p_values"),
        "position_margins_": record.per_column("position_margins", math.inf),
        "margin_": record.number("margin", math.inf),
        "margin_se_": record.number("margin_se"),
        "runner_up_share_": record.number("runner_up_share"),
        "runner_up_order_": (
            None
            if runner_up is None
            else record.permutation("runner_up_order", runner_up)
        ),
        "warnings_": record.texts("warnings"),
        "constraints_": record.texts("constraints"),
        "instruction_sets_": record.texts("instruction_sets"),
        "n_features_in_": d,
    }
    if names != list(default_names(d)):
        fitted["feature_names_in_"] = np.array(names, dtype=object)
    return params, fitted
