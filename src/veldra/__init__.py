"""veldra: exact causal ordering of linear non-Gaussian models.

The search itself lives in the native module ``veldra._exhaustive_kernel``.
The public names are imported on first use, so that ``import veldra`` (and
the start of the command line) does not load NumPy, SciPy and scikit-learn.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._api import OrderResult, causal_order
    from ._cost import CostEstimate, estimate_cost
    from ._diagnostics import IdentifiabilityWarning
    from ._estimator import BootstrapResult, ExhaustiveOrdering

__all__ = [
    "BootstrapResult",
    "CostEstimate",
    "ExhaustiveOrdering",
    "IdentifiabilityWarning",
    "OrderResult",
    "__version__",
    "causal_order",
    "estimate_cost",
]

__version__ = "0.1.0"

_MODULES = {
    "BootstrapResult": "._estimator",
    "CostEstimate": "._cost",
    "ExhaustiveOrdering": "._estimator",
    "IdentifiabilityWarning": "._diagnostics",
    "OrderResult": "._api",
    "causal_order": "._api",
    "estimate_cost": "._cost",
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
