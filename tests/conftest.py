import sys
from pathlib import Path

import pytest

# The reference model sits beside the tests; make it importable under any
# import mode.
sys.path.insert(0, str(Path(__file__).resolve().parent))

ROOT = Path(__file__).resolve().parents[1]
# The benchmark scripts the tests load import the problems they share.
sys.path.append(str(ROOT / "benchmarks"))
BENCH_PYTHON = ROOT / "build" / "bench-venv" / "bin" / "python"


@pytest.fixture
def bench_python() -> Path:
    """The interpreter of the benchmark environment that setup.sh builds."""
    if not BENCH_PYTHON.exists():
        pytest.skip(f"no benchmark environment at {BENCH_PYTHON}: run scripts/setup.sh")
    return BENCH_PYTHON
