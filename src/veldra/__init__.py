"""veldra: exact causal ordering of linear non-Gaussian models.

The search itself lives in the native module ``veldra._exhaustive_kernel``.
"""

from __future__ import annotations

from ._api import OrderResult, causal_order
from ._cost import CostEstimate, estimate_cost
from ._estimator import BootstrapResult, ExhaustiveOrdering

__all__ = [
    "BootstrapResult",
    "CostEstimate",
    "ExhaustiveOrdering",
    "OrderResult",
    "__version__",
    "causal_order",
    "estimate_cost",
]

__version__ = "0.1.0"
