"""What a search found, and the renderers that put it in words: the text
report (``print(result)``, :meth:`veldra.ExhaustiveOrdering.summary` and the
command line's report), a one-line ``repr``, an HTML table for notebooks,
and the picture (:meth:`OrderResult.plot`).
"""

from __future__ import annotations

import html
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._text import (
    default_names,
    escape_controls,
    format_number,
    format_seconds,
    plural,
)

__all__ = ["OrderResult", "format_edges", "format_matrix", "format_report"]

# Above this many columns the graph is listed as edges, not as a matrix.
MATRIX_COLUMNS = 8
# Constraints listed in the report, at most (the JSON has them all).
MAX_CONSTRAINTS_SHOWN = 20


@dataclass(frozen=True, eq=False)
class OrderResult:
    """The outcome of :func:`causal_order`.

    Arrays indexed by variable follow the columns of the input; arrays
    indexed by position follow the order.

    Attributes
    ----------
    order : numpy.ndarray of int64, shape (n_features,)
        Column indices of the variables, from the first cause to the last
        effect.
    column_names : tuple of str or None
        The input's column names, in column order, when it had names (a
        pandas DataFrame), else None.
    score : float
        The best total score: the sum, over the variables, of the squared
        2-Wasserstein distance between each variable's standardised
        residuals (regressed on its predecessors) and the reference. Larger
        means further from the reference. It has float32 precision.
    sinks : numpy.ndarray of int8, shape (2**n_features,)
        The search's table: entry ``m`` is the variable placed last among
        the subset of variables whose bit mask is ``m`` (-1 for the empty
        set, and for subsets that no order allowed by the constraints
        starts with).
    n_evaluations : int
        Residual scores computed by the search, ``d * 2**(d - 1)`` without
        constraints, fewer with them.
    seconds : float
        Wall-clock time of the call, validation and diagnostics included.
    n_threads : int
        Threads the search ran on, the calling one included.
    non_gaussianity : numpy.ndarray of float64, shape (n_features,)
        Per variable: the squared 2-Wasserstein distance between its
        standardised residuals, regressed on its predecessors in ``order``,
        and the normal quantiles (whatever the search's reference). Larger
        is less Gaussian; with ``reference="normal"`` these are the terms
        of ``score``.
    non_gaussianity_p_values : numpy.ndarray of float64, shape (n_features,)
        Per variable: the chance that Gaussian residuals of the same number
        of samples score at least as high. Small means clearly
        non-Gaussian. Each is a test of one variable given the order; the
        order itself was chosen to make the residuals non-Gaussian, so under
        Gaussian noise they come out smaller than uniform.
    position_margins : numpy.ndarray of float64, shape (n_features,)
        Per position k of ``order``: how far ``score`` is ahead of the best
        order that agrees with ``order`` after position k and puts another
        variable at position k (infinite at position 0, which no such order
        exists for). A small value means that another variable fits almost
        as well at that place.
    margin : float
        The smallest of ``position_margins``: how far ``score`` is ahead of
        the best order that differs from ``order`` (the runner-up), in the
        same units. Infinite for one variable. Margins are recomputed in
        float64; below about 1e-6 times ``score`` (the search's float32
        rounding) they are ties.
    margin_se : float
        The sampling noise of ``margin``: both orders are scored again on
        200 resamples of the rows (drawn with replacement, with a fixed
        seed; no new search), and this is the standard deviation of the
        lead over them. A lead of several standard errors would very likely
        hold on new data from the same source; one of about one standard
        error or less would often not. NaN for one variable.
    runner_up_share : float
        The share of those resamples in which the runner-up scores higher:
        roughly, how often new data of the same size would put the
        runner-up first. From 0.1 on, a
        :class:`veldra.NarrowMarginWarning` says the order is not decided
        (unless the runner-up only reorders variables with no edge between
        them, which gives the same graph).
    runner_up_order : numpy.ndarray of int64 or None
        That runner-up order, None for one variable.
    warnings : tuple of str
        Every warning the data and the fit gave, one sentence each (each
        was also issued, as a :class:`veldra.VeldraWarning` of its kind).
    constraints : tuple of str
        The order constraints (prior knowledge) the search honoured, one
        line each; empty when the order was free.
    instruction_sets : tuple of str
        The instruction sets the scores were computed with (Highway's names,
        such as "AVX2" or "AVX3"): one for a search on one machine, one per
        kind of worker on a cluster. A score's last bits depend on it.
    adjacency_matrix : numpy.ndarray of float64, shape (n_features, n_features)
        The weighted graph: entry ``[i, j]`` is the direct effect of
        variable j on variable i, each variable regressed on those before
        it in ``order`` and pruned by an adaptive lasso (BIC), as
        :class:`veldra.ExhaustiveOrdering` does by default.
    independence_p_values : numpy.ndarray of float64 or None
        Symmetric (n_features, n_features): entry ``[i, j]`` is the p-value
        of an HSIC test of independence between the graph's residuals of
        variables i and j (on at most 1000 rows; NaN on the diagonal). None
        with fewer than 6 samples.
    limited : numpy.ndarray of int64 or None
        With ``robust=True``, the values limited per column; else None.
    """

    order: np.ndarray
    column_names: tuple[str, ...] | None
    score: float
    sinks: np.ndarray
    n_evaluations: int
    seconds: float
    n_threads: int
    non_gaussianity: np.ndarray | None = None
    non_gaussianity_p_values: np.ndarray | None = None
    position_margins: np.ndarray | None = None
    margin: float = math.nan
    runner_up_order: np.ndarray | None = None
    warnings: tuple[str, ...] = ()
    constraints: tuple[str, ...] = ()
    instruction_sets: tuple[str, ...] = ()
    margin_se: float = math.nan
    runner_up_share: float = math.nan
    adjacency_matrix: np.ndarray | None = None
    independence_p_values: np.ndarray | None = None
    limited: np.ndarray | None = None

    def __repr__(self) -> str:
        names = self.order_names
        shown = list(names) if names is not None else self.order.tolist()
        return (
            f"OrderResult(order={shown}, score={self.score:.6g},"
            f" margin={self.margin:.3g}, warnings={len(self.warnings)})"
        )

    def __str__(self) -> str:
        return format_report(self)

    def _repr_html_(self) -> str:
        return format_html(self)

    def plot(self, *, bootstrap: Any = None, ax: Any = None) -> Any:
        """Draw the graph, layered by the causal order (needs matplotlib).

        Parameters
        ----------
        bootstrap : BootstrapResult, optional
            Labels the edges with the share of resamples that found them,
            and adds those found only in resamples, dashed.
        ax : matplotlib.axes.Axes, optional
            Where to draw; by default a new figure.

        Returns
        -------
        matplotlib.axes.Axes
        """
        from ._plot import plot_graph

        if self.adjacency_matrix is None:
            raise ValueError("this result has no graph to draw (a resample's)")
        return plot_graph(
            self.adjacency_matrix,
            self.order,
            self.column_names or default_names(len(self.order)),
            edge_probabilities=(
                None if bootstrap is None else bootstrap.edge_probabilities
            ),
            ax=ax,
        )

    @property
    def order_names(self) -> tuple[str, ...] | None:
        """The column names in causal order, or None without names."""
        if self.column_names is None:
            return None
        return tuple(self.column_names[j] for j in self.order)

    @property
    def names(self) -> tuple[str, ...] | None:
        """Deprecated: the names in causal order; use :attr:`order_names`."""
        from ._warnings import warn

        warn(
            "OrderResult.names is deprecated: it lists the names in causal"
            " order, which is order_names; column_names lists them in column"
            " order",
            DeprecationWarning,
        )
        return self.order_names


def format_matrix(matrix: np.ndarray, names: Sequence[str]) -> str:
    """A square matrix as a table with the names along both sides."""
    cells = [[format_number(v) for v in row] for row in matrix.tolist()]
    width = max([len(name) for name in names] + [len(c) for row in cells for c in row])
    label = max(len(name) for name in names)
    lines = [" " * label + "".join(f"  {name:>{width}}" for name in names)]
    for name, row in zip(names, cells, strict=True):
        lines.append(f"{name:<{label}}" + "".join(f"  {c:>{width}}" for c in row))
    return "\n".join(lines)


def format_edges(
    adjacency: np.ndarray,
    names: Sequence[str],
    probabilities: np.ndarray | None = None,
) -> str:
    """The graph's edges, one a line: cause -> effect and the direct effect,
    strongest first; or, with ``probabilities``, every edge found in some
    resample with its share, most frequent first."""
    weights = probabilities if probabilities is not None else abs(adjacency)
    edges = sorted(
        zip(*weights.nonzero(), strict=True),
        key=lambda edge: -float(weights[edge]),
    )
    if not edges:
        return "  (none)"
    rows = []
    for i, j in edges:
        value = (
            f"{float(probabilities[i, j]):.2f}"
            if probabilities is not None
            else format_number(float(adjacency[i, j]))
        )
        rows.append((f"{names[j]} -> {names[i]}", value))
    width = max(len(edge) for edge, _ in rows)
    return "\n".join(f"  {edge:<{width}}  {value}" for edge, value in rows)


def _p_value(p: float) -> str:
    if math.isnan(p):  # too few samples for a test
        return "p = n/a"
    return "p < 0.001" if p < 0.001 else f"p = {p:.3f}"


def _constraints_text(constraints: Sequence[str]) -> str:
    if not constraints:
        return ""
    shown = list(constraints[:MAX_CONSTRAINTS_SHOWN])
    if len(constraints) > len(shown):
        shown.append(f"... and {len(constraints) - len(shown)} more (see --json)")
    return "constraints:\n" + "".join(f"  {escape_controls(line)}\n" for line in shown)


def _margin_text(result: OrderResult) -> str:
    if not math.isfinite(result.margin):
        return ""
    text = f", ahead of the runner-up order by {result.margin:.4g}"
    if math.isfinite(result.margin_se):
        text += (
            f"\n  (standard error {result.margin_se:.2g}; the runner-up scores"
            f" higher on {100 * result.runner_up_share:.0f} % of resamples of"
            " the rows)"
        )
    return text


def _limited_text(result: OrderResult, names: Sequence[str]) -> str:
    if result.limited is None:
        return ""
    columns = [
        f"{names[j]} {int(count)}" for j, count in enumerate(result.limited) if count
    ]
    return (
        "robust: values beyond the median +- 5 robust standard deviations"
        f" limited ({', '.join(columns) if columns else 'none'})\n"
    )


def _shown_names(result: OrderResult) -> list[str]:
    """The names as the text renderers show them, control characters
    escaped."""
    names = result.column_names or default_names(len(result.order))
    return [escape_controls(name) for name in names]


def format_report(
    result: OrderResult,
    numbers: Sequence[int] | None = None,
    bootstrap: Any = None,
) -> str:
    """A result as text: the order with each residual's non-Gaussianity, the
    score and its margin with the margin's noise, what the search cost, the
    constraints, the graph (a matrix, or a list of edges for many columns),
    given a bootstrap result how often each place and edge came back, and
    every warning. Variable ``j`` is shown as ``name (column numbers[j])``."""
    order = result.order.tolist()
    d = len(order)
    names = _shown_names(result)
    numbers = list(range(d)) if numbers is None else numbers
    width = len(str(d))
    label = max(len(names[j]) for j in order)
    place = max(len(f"(column {numbers[j]})") for j in order)
    sets = result.instruction_sets
    if result.non_gaussianity is None:
        rows = "".join(
            f"  {position:>{width}}. {names[j]:<{label}}  (column {numbers[j]})\n"
            for position, j in enumerate(order, start=1)
        )
        heading = "causal order (first cause to last effect):\n"
    else:
        p_values = result.non_gaussianity_p_values
        rows = "".join(
            f"  {position:>{width}}. {names[j]:<{label}}"
            f"  {f'(column {numbers[j]})':<{place}}"
            f"  {result.non_gaussianity[j]:.4f}  {_p_value(p_values[j])}\n"
            for position, j in enumerate(order, start=1)
        )
        heading = (
            "causal order (first cause to last effect), with how non-Gaussian"
            " each residual is:\n"
        )
    text = (
        heading + rows + f"score: {result.score:.6g}{_margin_text(result)}\n"
        f"search: {result.n_evaluations:,} score evaluations in "
        f"{format_seconds(result.seconds)} on "
        f"{plural(result.n_threads, 'thread')}"
        + (f" ({', '.join(sets)})" if sets else "")
        + "\n"
        + _limited_text(result, names)
        + _constraints_text(result.constraints)
    )
    adjacency = result.adjacency_matrix
    if adjacency is not None and d > MATRIX_COLUMNS:
        text += (
            "\nedges (cause -> effect: direct effect):\n"
            + format_edges(adjacency, names)
            + "\n"
        )
    elif adjacency is not None:
        text += (
            "\nadjacency matrix (row i, column j: direct effect of j on i):\n"
            + format_matrix(adjacency, names)
            + "\n"
        )
    if bootstrap is not None:
        count = len(bootstrap.orders)
        seed = bootstrap.random_state
        places = bootstrap.position_probabilities
        edges = format_edges(
            np.zeros((d, d)) if adjacency is None else adjacency,
            names,
            bootstrap.edge_probabilities,
        )
        text += (
            f"\nbootstrap, {plural(count, 'resample')}"
            + (f" (seed {seed})" if seed is not None else "")
            + ":\n  share that put each variable at its place in the order:\n"
            + "".join(
                f"  {position:>{width + 2}}. {names[j]:<{label}}"
                f"  {places[j, position - 1]:.2f}\n"
                for position, j in enumerate(order, start=1)
            )
            + "  share that found each edge (cause -> effect):\n"
            + "\n".join("  " + line for line in edges.splitlines())
            + "\n"
        )
    if result.warnings:
        text += "\nwarnings:\n" + "".join(
            f"- {escape_controls(w)}\n" for w in result.warnings
        )
    return text


def format_html(result: OrderResult) -> str:
    """A result as an HTML table, for notebooks: the order with each
    residual's non-Gaussianity and p-value, the score and margin, the edges
    and the warnings."""
    order = result.order.tolist()
    names = _shown_names(result)
    escape = html.escape
    rows = []
    for position, j in enumerate(order, start=1):
        cells = [str(position), escape(names[j])]
        if result.non_gaussianity is not None:
            cells += [
                f"{result.non_gaussianity[j]:.4f}",
                escape(_p_value(result.non_gaussianity_p_values[j])),
            ]
        rows.append("<tr>" + "".join(f"<td>{c}</td>" for c in cells) + "</tr>")
    head = "<th>#</th><th>variable</th>"
    if result.non_gaussianity is not None:
        head += "<th>non-Gaussianity</th><th>p-value</th>"
    parts = [
        "<div><strong>causal order</strong> (first cause to last effect)",
        f"<table><thead><tr>{head}</tr></thead><tbody>{''.join(rows)}</tbody></table>",
        f"<p>score {result.score:.6g}{escape(_margin_text(result))}</p>",
    ]
    if result.adjacency_matrix is not None:
        edges = format_edges(result.adjacency_matrix, names)
        parts.append(
            "<p><strong>edges</strong> (cause -&gt; effect: direct effect)</p>"
            f"<pre>{escape(edges)}</pre>"
        )
    if result.warnings:
        items = "".join(
            f"<li>{escape(escape_controls(w))}</li>" for w in result.warnings
        )
        parts.append(f"<p><strong>warnings</strong></p><ul>{items}</ul>")
    return "\n".join(parts) + "</div>"
