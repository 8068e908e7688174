"""Where a search stands, and the tables it keeps: a sink per subset and the
best totals of two neighbouring levels."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

__all__ = ["State", "level_buffers", "level_table", "table_bytes"]


@dataclass
class State:
    """Where a search stands: ``level`` is being computed, its first
    ``position`` subsets are done."""

    level: int
    position: int
    below: np.ndarray  # totals of level - 1, by rank
    scores: np.ndarray  # totals of level, by rank, the first `position` done
    sinks: np.ndarray  # int8, by mask
    evaluations: int


def level_buffers(d: int) -> tuple[np.ndarray, np.ndarray]:
    """Room for the totals of any two neighbouring levels, allocated at the
    start so that a search that cannot fit fails at once, not hours in."""
    width = math.comb(d, d // 2)
    return np.empty(width, np.float32), np.empty(width, np.float32)


def level_table(buffer: np.ndarray, d: int, level: int) -> np.ndarray:
    table = buffer[: math.comb(d, level)]
    table.fill(0.0)
    return table


def table_bytes(d: int) -> int:
    """The search's tables: a sink per subset (int8) and room for the totals
    (float32) of two levels of the widest size."""
    return 2**d + 8 * math.comb(d, d // 2)
