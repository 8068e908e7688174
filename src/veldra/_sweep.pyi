import typing

import numpy
import numpy.typing

class _Threads:
    """The threads of one search, kept from one call to the next; workers
    block between calls."""

    def __init__(
        self, n_threads: typing.SupportsInt | typing.SupportsIndex
    ) -> None: ...
    @property
    def count(self) -> int:
        """Threads working, the calling one included."""

    def close(self) -> None:
        """Ends the threads; later calls run on the calling thread."""

def _sweep_level(
    X_columns: numpy.typing.ArrayLike,
    gram: numpy.typing.ArrayLike,
    reference: numpy.typing.ArrayLike,
    level: typing.SupportsInt | typing.SupportsIndex,
    first: typing.SupportsInt | typing.SupportsIndex,
    last: typing.SupportsInt | typing.SupportsIndex,
    below: numpy.typing.NDArray[numpy.float32],
    scores: numpy.typing.NDArray[numpy.float32],
    sinks: numpy.typing.NDArray[numpy.int8],
    predecessors: numpy.typing.ArrayLike,
    n_threads: typing.SupportsInt | typing.SupportsIndex | _Threads,
) -> int:
    """Computes positions [first, last) of the level of `level`-member
    subsets: totals into scores (by rank), sinks into sinks (by mask),
    on n_threads threads (0: every CPU) or a search's _Threads.
    Returns the scores evaluated."""

def _evaluation_counts(
    d: typing.SupportsInt | typing.SupportsIndex,
    predecessors: numpy.typing.ArrayLike,
) -> list[int]:
    """Scores each level 0..d evaluates under the order constraints."""

def _sweep_chunk(
    X_columns: numpy.typing.ArrayLike,
    gram: numpy.typing.ArrayLike,
    reference: numpy.typing.ArrayLike,
    level: typing.SupportsInt | typing.SupportsIndex,
    first: typing.SupportsInt | typing.SupportsIndex,
    last: typing.SupportsInt | typing.SupportsIndex,
    below: numpy.typing.NDArray[numpy.float32],
    scores: numpy.typing.NDArray[numpy.float32],
    sinks: numpy.typing.NDArray[numpy.int8],
    predecessors: numpy.typing.ArrayLike,
    n_threads: typing.SupportsInt | typing.SupportsIndex | _Threads,
) -> int:
    """_sweep_level for a chunk computed apart from the search's tables:
    scores and sinks hold positions [first, last) only, both by rank.
    Returns the scores evaluated."""

def _merge_sinks(
    level: typing.SupportsInt | typing.SupportsIndex,
    first: typing.SupportsInt | typing.SupportsIndex,
    chunk_sinks: numpy.typing.NDArray[numpy.int8],
    sinks: numpy.typing.NDArray[numpy.int8],
) -> None:
    """Writes a chunk's sinks (by rank, from position first of the level)
    into the sink table (by mask)."""

def _instruction_set() -> str:
    """The instruction set scores are computed with here (Highway's name):
    their last bits depend on it."""

def _limit_instruction_set(name: str | None) -> dict[str, str]:
    """Keeps the score, the residuals and the sort of this module (of the
    process, when Highway is a shared library) to the instruction set
    `name` (Highway's name, e.g. 'AVX2') and those below it; None lifts
    the limit. Returns what each of them now uses. Not while a search
    runs."""

MAX_VARIABLES: int
"""The most variables a search takes (its subsets are 32-bit masks)."""
MAX_SAMPLES: int
"""The most samples a search takes (it counts rows in 32 bits)."""
