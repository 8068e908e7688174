import ast
import math
import re
import subprocess
import sys
from pathlib import Path
from statistics import NormalDist

import numpy as np
import pytest
from reference_sink_dp import sink_dp as reference_sink_dp

from veldra import _exhaustive_kernel as kernel
from veldra import _sweep

sink_dp = kernel._sink_dp
STUB = Path(__file__).resolve().parents[1] / "src" / "veldra" / "_exhaustive_kernel.pyi"
INF = math.inf


def sem_problem(seed, n, d, normal_reference=True):
    """Linear SEM over a random DAG with uniform/exponential/Laplace noise."""
    rng = np.random.default_rng(seed)
    noises = (
        lambda: rng.uniform(-1.0, 1.0, n),
        lambda: rng.exponential(1.0, n) - 1.0,
        lambda: rng.laplace(0.0, 1.0, n),
    )
    X = np.zeros((n, d))
    order = rng.permutation(d)
    for pos, j in enumerate(order):
        X[:, j] = noises[rng.integers(3)]()
        for k in order[:pos]:
            if rng.random() < 0.6:
                X[:, j] += rng.choice([-1.0, 1.0]) * rng.uniform(0.5, 1.5) * X[:, k]
    if normal_reference:
        reference = np.array([NormalDist().inv_cdf((i + 0.5) / n) for i in range(n)])
    else:
        reference = np.sort(rng.standard_normal(n))
    return X, X.T @ X, reference


X2, G2, R2 = sem_problem(5, 6, 2)


@pytest.mark.parametrize(
    ("X", "gram", "reference", "sinks", "value"),
    [
        (np.empty((5, 0)), np.empty((0, 0)), np.zeros(5), [-1], 0.0),
        (np.empty((0, 0)), np.empty((0, 0)), np.empty(0), [-1], 0.0),
        ([[3.0]], [[9.0]], [0.25], [-1, 0], 0.5625),  # (3/3 - 0.25)^2
        ([[1.0], [-1.0]], [[2.0]], [-1.0, 1.5], [-1, 0], 0.125),  # sorted first
        ([[1.0]], [[0.0]], [0.0], [-1, -1], -INF),  # zero pivot
        ([[1.0]], [[-1.0]], [0.0], [-1, -1], -INF),  # negative pivot
        ([[1.0]], [[math.nan]], [0.0], [-1, -1], -INF),  # NaN never wins
        (np.empty((0, 1)), np.eye(1), np.empty(0), [-1, -1], -INF),  # n = 0
        (np.empty((0, 3)), np.eye(3), np.empty(0), [-1] * 8, -INF),
        # 1 | {0}: L = [[2], [1, 1]], beta = 0.5, residual 0, score 1; it
        # beats 0 | {1} (about 0.17) and adds best_score[1] = 0.
        ([[2.0, 1.0]], [[4.0, 2.0], [2.0, 2.0]], [1.0], [-1, 0, 1, 1], 1.0),
    ],
)
def test_small_cases_by_hand(X, gram, reference, sinks, value):
    d = len(sinks).bit_length() - 1
    result = sink_dp(X, gram, reference, d, 1)
    assert isinstance(result, tuple)
    assert len(result) == 2
    assert result[0].dtype == np.int32
    assert result[0].tolist() == sinks
    assert isinstance(result[1], float)
    assert result[1] == value
    ref_best, ref_sinks, _ = reference_sink_dp(X, gram, reference, d)
    assert ref_sinks.tolist() == sinks
    assert ref_best[-1] == value


@pytest.mark.parametrize(
    ("seed", "n", "d"),
    [
        (0, 1, 3),
        (1, 1, 5),
        (10, 1, 6),
        (2, 7, 4),
        (3, 8, 6),
        (4, 9, 5),
        (5, 9, 1),
        (6, 40, 2),
        (7, 300, 3),
        (8, 257, 6),
        (9, 333, 5),
    ],
)
def test_matches_reference(seed, n, d):
    X, gram, reference = sem_problem(seed, max(n, 50), d, seed % 2 == 0)
    if n == 1:  # a gram from more rows keeps every regression well posed
        X, reference = X[:1], reference[:1]
    if seed % 3 == 0:  # only one entry of each symmetric pair may be read
        gram = gram + np.triu(np.full((d, d), 1e-3 * np.abs(gram).max()), 1)
    ref_best, ref_sinks, margin = reference_sink_dp(X, gram, reference, d)
    sinks, value = sink_dp(X, gram, reference, d, 1)
    assert sinks.dtype == np.int32
    assert sinks.shape == (1 << d,)
    for threads in (0, 2, 5):  # one writer per mask: thread count is invisible
        other_sinks, other_value = sink_dp(X, gram, reference, d, threads)
        np.testing.assert_array_equal(other_sinks, sinks)
        assert other_value == value
    if n == 1:
        # One residual leaves no summation order to differ in: bit-exact.
        np.testing.assert_array_equal(sinks, ref_sinks)
        assert value == float(ref_best[-1])
    else:
        clear = margin > 1e-5
        assert clear.mean() > 0.9
        np.testing.assert_array_equal(sinks[clear], ref_sinks[clear])
        assert value == pytest.approx(float(ref_best[-1]), rel=1e-5)
    assert sinks[0] == -1
    assert all(S >> s & 1 for S, s in enumerate(sinks) if s >= 0)
    S, order = (1 << d) - 1, []
    while S:  # following the sinks down from the full set names each variable once
        order.append(int(sinks[S]))
        S &= ~(1 << order[-1])
    assert sorted(order) == list(range(d))


@pytest.mark.parametrize("n", [7, 8, 9, 200])
@pytest.mark.parametrize(("a", "b", "c"), [(0, 1, 2), (1, 2, 0), (0, 2, 1)])
def test_exact_ties_go_to_lower_index(n, a, b, c):
    # Column b is column a under an involutive row permutation and column c is
    # invariant under it, so a and b are interchangeable: every pair of
    # mirrored candidates sees the same numbers and the same residual multiset.
    rng = np.random.default_rng(n)
    perm = np.arange(n)
    perm[: n - n % 2] ^= 1
    X = np.empty((n, 3))
    X[:, a] = rng.integers(-20, 21, n)
    X[:, b] = X[perm, a]
    v = rng.integers(-20, 21, n).astype(float)
    X[:, c] = v + v[perm]
    reference = np.sort(rng.standard_normal(n))
    sinks, value = sink_dp(X, X.T @ X, reference, 3, 1)
    assert sinks[(1 << a) | (1 << b)] == a
    assert sinks[7] != b
    assert value > -INF


@pytest.mark.parametrize("zero", [0, 2, 3])
def test_zero_column_poisons_its_masks(zero):
    X, _, reference = sem_problem(11, 50, 4)
    X[:, zero] = 0.0
    sinks, value = sink_dp(X, X.T @ X, reference, 4, 0)
    assert (sinks[1:] == -1).tolist() == [S >> zero & 1 == 1 for S in range(1, 16)]
    assert all(S >> s & 1 for S, s in enumerate(sinks) if s >= 0)
    assert value == -INF


@pytest.mark.parametrize(
    "args",
    [
        ("abc", G2, R2, 2, 1),
        (X2, object(), R2, 2, 1),
        (X2, G2, [1.0, "x"], 2, 1),
        (X2, G2, R2, 2.0, 1),
        (X2, G2, R2, np.float64(2.0), 1),
        (X2, G2, R2, "2", 1),
        (X2, G2, R2, 2, 1.0),
        (X2, G2, R2, 2, -1),
        (X2, G2, R2, 2, 2**64),
        (X2, G2, R2, 2**31, 1),
        (X2, G2, R2, -(2**31) - 1, 1),
        (X2, G2, R2, 2),
    ],
)
def test_unconvertible_arguments(args):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        sink_dp(*args)


@pytest.mark.parametrize("n_vars", [0, 2, 31])
def test_scalar_X(n_vars):
    with pytest.raises(IndexError, match=r"invalid axis: 0 \(ndim = 0\)"):
        sink_dp(1.0, G2, R2, n_vars, 1)


@pytest.mark.parametrize(
    ("x_shape", "gram_shape", "n_ref", "d", "pattern"),
    [
        ((5, 31), (31, 31), 5, 31, r"n_vars.*0\.\.30.*31"),
        ((5, 0), (0, 0), 5, -1, r"n_vars.*0\.\.30.*-1"),
        ((2**31, 0), (0, 0), 0, 0, r"2147483648 rows.*2147483647"),
        ((5, 2), (3, 3), 5, 3, r"X.*\(n, 3\).*\(5, 2\)"),
        ((5,), (1, 1), 5, 1, r"X.*\(n, 1\).*\(5,\)"),
        ((5, 1, 1), (1, 1), 5, 1, r"X.*\(n, 1\).*\(5, 1, 1\)"),
        # Checked before any 2**30-entry table is made.
        ((5, 2), (3, 3), 5, 30, r"X.*\(n, 30\).*\(5, 2\)"),
        ((5, 3), (3,), 5, 3, r"gram.*\(3, 3\).*\(3,\)"),
        ((5, 3), (2, 2), 5, 3, r"gram.*\(3, 3\).*\(2, 2\)"),
        ((5, 3), (3, 3), 4, 3, r"reference.*\(5,\).*\(4,\)"),
        ((5, 3), (3, 3), 6, 3, r"reference.*\(5,\).*\(6,\)"),
    ],
)
def test_inconsistent_shapes(x_shape, gram_shape, n_ref, d, pattern):
    # np.empty of 2**31 rows by 0 columns costs no memory.
    args = np.empty(x_shape), np.ones(gram_shape), np.zeros(n_ref)
    with pytest.raises(ValueError, match=pattern):
        sink_dp(*args, d, 1)


MEMORY_SCRIPT = """
import resource
import numpy as np
from veldra._exhaustive_kernel import _sink_dp
n = 50_000_000
X, reference, gram = np.zeros((n, 1)), np.zeros(n), np.ones((1, 1))
vm = next(int(line.split()[1]) for line in open("/proc/self/status")
          if line.startswith("VmSize:")) * 1024
hard = resource.getrlimit(resource.RLIMIT_AS)[1]
resource.setrlimit(resource.RLIMIT_AS, (vm + 150 * 2**20, hard))
try:
    print("returned", _sink_dp(X, gram, reference, 1, 1))
except MemoryError:
    print("memory-error")
print(_sink_dp(X[:4], gram, reference[:4], 1, 1)[0].tolist())
"""


def test_residual_allocation_failure_raises_memory_error():
    proc = subprocess.run(
        [sys.executable, "-c", MEMORY_SCRIPT],
        check=False,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:2] == ["memory-error", "[-1, 0]"]


@pytest.mark.parametrize("module", [kernel, _sweep])
def test_exports_only_module_init(module):
    command = ["nm", "-D", "--defined-only", module.__file__]
    out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert names == {"PyInit_" + module.__name__.rsplit(".", 1)[-1]}


ARRAY = (
    r"typing\.Annotated\[numpy\.typing\.ArrayLike, "
    r"(?:numpy\.float64|numpy\.typing\.NDArray\[numpy\.float64\])\]"
)
INTEGER = r"typing\.SupportsInt(?: \| typing\.SupportsIndex)?"


def test_generated_signature_and_module_surface():
    types = [ARRAY] * 3 + [INTEGER] * 2
    params = ", ".join(f"arg{i}: {t}" for i, t in enumerate(types))
    first = sink_dp.__doc__.splitlines()[0]
    assert re.fullmatch(rf"_sink_dp\({params}\) -> tuple", first), first
    assert [name for name in dir(kernel) if not name.startswith("__")] == ["_sink_dp"]
    with pytest.raises(TypeError, match="incompatible function arguments"):
        sink_dp(X=X2, gram=G2, reference=R2, n_vars=2, n_threads=1)


def test_stub_declares_positional_only_signature():
    tree = ast.parse(STUB.read_text())
    (fn,) = [
        node
        for node in ast.walk(tree)
        if isinstance(node, ast.FunctionDef) and node.name == "_sink_dp"
    ]
    a = fn.args
    assert len(a.posonlyargs) == 5
    assert [a.args, a.kwonlyargs, a.vararg, a.kwarg] == [[], [], None, None]
    assert ast.unparse(fn.returns).startswith("tuple")


@pytest.mark.parametrize(
    "convert",
    [
        lambda X, g, r: (np.asfortranarray(X), np.asfortranarray(g), r),
        lambda X, g, r: (X, g, np.repeat(r, 2)[::2]),
        lambda X, g, r: (X.tolist(), g.tolist(), r.tolist()),
        lambda X, g, r: (X.astype(np.int64), g.astype(np.int64), r.astype(np.float32)),
        lambda X, g, r: (X.astype(np.float32), g, r),
    ],
    ids=["fortran", "strided", "lists", "int64", "float32"],
)
def test_inputs_unmodified_and_other_types_and_layouts_converted(convert):
    rng = np.random.default_rng(3)
    X = rng.integers(-9, 10, (40, 4)).astype(float)  # exact in every dtype used
    reference = np.sort(rng.standard_normal(40)).astype(np.float32).astype(float)
    gram = X.T @ X
    copies = [a.copy() for a in (X, gram, reference)]
    sinks, value = sink_dp(X, gram, reference, 4, 2)
    for a, c in zip((X, gram, reference), copies, strict=True):
        np.testing.assert_array_equal(a, c)
    other_sinks, other_value = sink_dp(
        *convert(X, gram, reference), np.int64(4), np.uint8(1)
    )
    np.testing.assert_array_equal(other_sinks, sinks)
    assert other_value == value
