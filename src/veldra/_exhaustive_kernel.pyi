import typing

import numpy
import numpy.typing

def _sink_dp(
    X: numpy.typing.ArrayLike,
    gram: numpy.typing.ArrayLike,
    reference: numpy.typing.ArrayLike,
    n_vars: typing.SupportsInt | typing.SupportsIndex,
    n_threads: typing.SupportsInt | typing.SupportsIndex,
    /,
) -> tuple[numpy.typing.NDArray[numpy.int32], float]: ...
