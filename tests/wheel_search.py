"""A search on an installed veldra, run by the wheel's tests under each
Python: it must run on the engine of the environment it was installed in."""

import sys
from pathlib import Path

import numpy as np

import veldra

rng = np.random.default_rng(0)
X = rng.uniform(-1, 1, (2000, 4))
X[:, 0] += 0.8 * X[:, 2]
X[:, 3] += -0.7 * X[:, 0]
X[:, 1] += 0.5 * X[:, 3] + 0.4 * X[:, 2]
order = veldra.causal_order(X, n_threads=2).order.tolist()
engine = Path(veldra._sweep.__file__)
if order != [2, 0, 3, 1] or not engine.is_relative_to(sys.prefix):
    sys.exit(
        f"order {order} from the engine {engine}, not [2, 0, 3, 1] from {sys.prefix}"
    )
print(f"order {order} from {engine}")
