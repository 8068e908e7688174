"""veldra: exact causal ordering of linear non-Gaussian models.

The search itself lives in the native modules ``veldra._exhaustive_kernel``
and ``veldra._sweep``. The public names are imported on first use, so that
``import veldra`` (and the start of the command line) does not load NumPy,
SciPy and scikit-learn.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._api import causal_order
    from ._bootstrap import BootstrapResult
    from ._checks import (
        MAX_FEATURES,
        MAX_SAMPLES,
        Criterion,
        Pruning,
        ReferenceName,
    )
    from ._data import PreparedData, prepare_data
    from ._estimator import ExhaustiveOrdering
    from ._knowledge import PriorKnowledgeError
    from ._progress import ProgressLine
    from ._result import OrderResult
    from ._search._checkpoint import CheckpointError, CheckpointWarning
    from ._search._cost import CostEstimate, estimate_cost
    from ._threads import cap_threads
    from ._warnings import (
        DataWarning,
        DependentResidualsWarning,
        DiscreteDataWarning,
        DuplicateRowsWarning,
        IdentifiabilityWarning,
        NarrowMarginWarning,
        OutlierWarning,
        RowIndexWarning,
        VeldraWarning,
    )

__all__ = [
    "MAX_FEATURES",
    "MAX_SAMPLES",
    "BootstrapResult",
    "CheckpointError",
    "CheckpointWarning",
    "CostEstimate",
    "Criterion",
    "DataWarning",
    "DependentResidualsWarning",
    "DiscreteDataWarning",
    "DuplicateRowsWarning",
    "ExhaustiveOrdering",
    "IdentifiabilityWarning",
    "NarrowMarginWarning",
    "OrderResult",
    "OutlierWarning",
    "PreparedData",
    "PriorKnowledgeError",
    "ProgressLine",
    "Pruning",
    "ReferenceName",
    "RowIndexWarning",
    "VeldraWarning",
    "__version__",
    "cap_threads",
    "causal_order",
    "estimate_cost",
    "prepare_data",
]

__version__ = "0.1.0"

_MODULES = {
    "MAX_FEATURES": "._checks",
    "MAX_SAMPLES": "._checks",
    "BootstrapResult": "._bootstrap",
    "CheckpointError": "._search._checkpoint",
    "CheckpointWarning": "._search._checkpoint",
    "CostEstimate": "._search._cost",
    "Criterion": "._checks",
    "ExhaustiveOrdering": "._estimator",
    "DataWarning": "._warnings",
    "DependentResidualsWarning": "._warnings",
    "DiscreteDataWarning": "._warnings",
    "DuplicateRowsWarning": "._warnings",
    "IdentifiabilityWarning": "._warnings",
    "NarrowMarginWarning": "._warnings",
    "OutlierWarning": "._warnings",
    "RowIndexWarning": "._warnings",
    "VeldraWarning": "._warnings",
    "OrderResult": "._result",
    "PreparedData": "._data",
    "PriorKnowledgeError": "._knowledge",
    "ProgressLine": "._progress",
    "Pruning": "._checks",
    "ReferenceName": "._checks",
    "cap_threads": "._threads",
    "causal_order": "._api",
    "estimate_cost": "._search._cost",
    "prepare_data": "._data",
}


def __getattr__(name: str) -> Any:
    module = _MODULES.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(module, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
