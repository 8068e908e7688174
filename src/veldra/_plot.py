"""Drawing a causal graph with matplotlib: nodes in layers from left to right,
arrows from cause to effect labelled with the direct effects and, optionally,
their bootstrap probabilities. matplotlib is an optional dependency, imported
only when a graph is drawn."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from ._text import column_name

if TYPE_CHECKING:
    import matplotlib.axes

__all__ = ["plot_graph"]

POSITIVE, NEGATIVE, RESAMPLED = "tab:blue", "tab:red", "0.45"
# Layout in inches (one data unit is one inch in a figure made here).
ROW_GAP, CHAR_WIDTH, BOX_HEIGHT = 1.0, 0.085, 0.35
# fmt: off
RADII = (0.0, 0.2, -0.2, 0.35, -0.35, 0.5, -0.5)
NODE = {"ha": "center", "va": "center", "zorder": 2,
        "bbox": {"boxstyle": "round,pad=0.3", "fc": "0.93", "ec": "0.3"}}
LABEL = {"ha": "center", "va": "center", "fontsize": 8, "zorder": 4,
         "bbox": {"boxstyle": "round,pad=0.15", "fc": "white", "ec": "none",
                  "alpha": 0.85}}
ARROW = {"arrowstyle": "-|>", "shrinkA": 2, "shrinkB": 2, "zorder": 3}
LEGEND = {"loc": "upper center", "bbox_to_anchor": (0.5, 0.0), "frameon": False,
          "fontsize": 8}
# fmt: on


def _check(adjacency, order, names, edge_probabilities) -> tuple[np.ndarray, list]:
    adjacency = np.asarray(adjacency, dtype=float)
    shape, d = adjacency.shape, len(adjacency)
    if adjacency.ndim != 2 or adjacency.shape[0] != adjacency.shape[1] or not d:
        raise ValueError(
            f"adjacency must be a square (d, d) array with d >= 1, got {shape}"
        )
    if not np.isfinite(adjacency).all():
        raise ValueError("adjacency has NaN or infinite entries; fill or drop them")
    order = [int(v) for v in order]
    if sorted(order) != list(range(d)):
        raise ValueError(f"order must be a permutation of range({d}), got {order}")
    if len(names) != d:
        raise ValueError(f"names has {len(names)} labels for {d} variables")
    if edge_probabilities is not None:
        p = np.asarray(edge_probabilities, dtype=float)
        if p.shape != (d, d) or not ((p >= 0) & (p <= 1)).all():
            raise ValueError(
                f"edge_probabilities must be a ({d}, {d}) array of values in [0, 1]"
            )
    pos = np.argsort(order)
    for i, j in zip(*np.nonzero(adjacency), strict=True):
        if pos[j] >= pos[i]:
            raise ValueError(
                f"adjacency has an edge {column_name(j, names)} ->"
                f" {column_name(i, names)} against the order"
                f" ({column_name(i, names)} comes first); pass the order the"
                " graph was built on"
            )
    return adjacency, order


def _bend(a, b, rad: float) -> np.ndarray:
    """The control point of matplotlib's ``arc3`` curve from a to b."""
    (dx, dy), mid = b - a, (a + b) / 2
    return mid + rad * np.array([dy, -dx])


def _radius(a, b, others, forbid_straight: bool) -> float:
    """The first curvature whose curve clears the boxes of the other nodes,
    bulging away from the middle of the drawing first."""
    t = np.linspace(0.05, 0.95, 19)[:, None]
    outward = -(np.sign((a + b)[1]) or -1.0) * (np.sign(b[0] - a[0]) or 1.0)
    best, fewest = outward * RADII[1], np.inf
    for rad in outward * np.array(RADII[forbid_straight:]):
        curve = (1 - t) ** 2 * a + 2 * t * (1 - t) * _bend(a, b, rad) + t**2 * b
        hits = sum(
            np.any((np.abs(curve - xy) < half + 0.1).all(axis=1)) for xy, half in others
        )
        if hits < fewest:
            best, fewest = rad, hits
        if not hits:
            break
    return float(best)


def plot_graph(
    adjacency: np.ndarray,
    order: Sequence[int],
    names: Sequence[str],
    *,
    edge_probabilities: np.ndarray | None = None,
    ax: matplotlib.axes.Axes | None = None,
) -> matplotlib.axes.Axes:
    """Draw a causal graph in layers, roots on the left.

    Parameters
    ----------
    adjacency : ndarray of shape (d, d)
        ``adjacency[i, j] != 0`` is an edge j -> i with that direct effect.
    order : sequence of int
        The causal order, first cause to last effect; a permutation of
        ``range(d)``.
    names : sequence of str
        The d labels of the variables.
    edge_probabilities : ndarray of shape (d, d), optional
        Share of bootstrap resamples with each edge j -> i. Edges of the
        adjacency get it in their label; edges seen only in resamples are
        drawn dashed.
    ax : matplotlib.axes.Axes, optional
        Where to draw; by default a new figure sized to the graph.

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn on.

    Raises
    ------
    ValueError
        If the shapes disagree, ``order`` is not a permutation of ``range(d)``
        or the adjacency has an edge against the order.
    ImportError
        If matplotlib is not installed.
    """
    adjacency, order = _check(adjacency, order, names, edge_probabilities)
    try:
        import matplotlib.pyplot as plt
        from matplotlib.lines import Line2D
        from matplotlib.patches import FancyArrowPatch
    except ImportError:
        raise ImportError("plot() needs matplotlib: pip install matplotlib") from None
    d, names = len(adjacency), [str(n) for n in names]
    layer = np.zeros(d, dtype=int)
    for v in order:  # parents come earlier, so their layers are final
        layer[v] = max((layer[p] + 1 for p in np.flatnonzero(adjacency[v])), default=0)
    half = [np.array([CHAR_WIDTH * len(n) + 0.3, BOX_HEIGHT]) / 2 for n in names]
    width = 2 * max(h[0] for h in half)
    # Wide enough for the longest edge label between two columns.
    gap = width + max(1.4, 0.9 + 0.065 * (5 if edge_probabilities is None else 14))
    xy = np.zeros((d, 2))
    for k in range(layer.max() + 1):
        column = [v for v in order if layer[v] == k]
        for row, v in enumerate(column):
            xy[v] = k * gap, ((len(column) - 1) / 2 - row) * ROW_GAP
    if ax is None:
        size = xy.max(axis=0) - xy.min(axis=0) + [width + 1.0, 1.8]
        _, ax = plt.subplots(
            figsize=tuple(np.clip(size, 3.0, 30.0)), layout="constrained"
        )
    nodes = [ax.text(*xy[v], names[v], **NODE) for v in range(d)]
    probs = None if edge_probabilities is None else np.asarray(edge_probabilities)
    present = adjacency != 0
    drawn = present | (probs > 0 if probs is not None else False)
    np.fill_diagonal(drawn, False)  # a variable is not its own cause
    scale, mids = np.abs(adjacency).max() or 1.0, [xy]
    for i, j in zip(*np.nonzero(drawn), strict=True):
        w, a, b = adjacency[i, j], xy[j], xy[i]
        others = [(xy[v], half[v]) for v in range(d) if v not in (i, j)]
        rad = _radius(a, b, others, forbid_straight=bool(drawn[j, i]))
        colour, lw, style = POSITIVE if w > 0 else NEGATIVE, 0.8, "-"
        if present[i, j]:
            lw += 3.2 * abs(w) / scale
            text = f"{w:.3g}" + ("" if probs is None else f" (p={probs[i, j]:.2f})")
        else:
            colour, style, text = RESAMPLED, "--", f"p={probs[i, j]:.2f}"
        # Above the boxes: they are placed as they draw, and clip the arrow.
        arrow = FancyArrowPatch(
            a, b, patchA=nodes[j].get_bbox_patch(), patchB=nodes[i].get_bbox_patch(),
            connectionstyle=f"arc3,rad={rad}", color=colour, linewidth=lw,
            linestyle=style, mutation_scale=10 + 2 * lw,
            gid=f"{names[j]} -> {names[i]}", **ARROW,
        )  # fmt: skip
        ax.add_patch(arrow)
        # The middle of the quadratic curve is halfway to its control point.
        mids.append([((a + b) / 2 + _bend(a, b, rad)) / 2])
        ax.text(*mids[-1][0], text, color=colour, **LABEL)
    styles = [(POSITIVE, "-", "positive effect"), (NEGATIVE, "-", "negative effect")]
    if (drawn & ~present).any():
        styles.append((RESAMPLED, "--", "resamples only"))
    handles = [Line2D([], [], color=c, ls=s, label=t) for c, s, t in styles]
    ax.legend(handles=handles, ncol=len(handles), **LEGEND)
    # Room for the boxes and for the labels of curves that bulge out.
    ends, pad = np.vstack(mids), np.array([width / 2 + 0.3, 0.5])
    ax.set_xlim(ends[:, 0].min() - pad[0], ends[:, 0].max() + pad[0])
    ax.set_ylim(ends[:, 1].min() - pad[1], ends[:, 1].max() + pad[1])
    ax.set_aspect("equal", adjustable="box")  # keeps labels on their curves
    ax.set_axis_off()
    return ax
