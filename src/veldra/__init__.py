"""veldra: exact causal ordering of linear non-Gaussian models.

The search itself lives in the native module ``veldra._exhaustive_kernel``.
"""

from __future__ import annotations

__all__ = ["__version__"]

__version__ = "0.1.0"
