"""The manylinux wheel of scripts/wheel.sh, installed as a user would."""

import os
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from veldra import _exhaustive_kernel

ROOT = Path(__file__).resolve().parents[1]
# What any Linux has: glibc (with its loader), libstdc++ and libgcc.
SYSTEM_LIBRARIES = {
    "libc.so.6",
    "libm.so.6",
    "ld-linux-x86-64.so.2",
    "libstdc++.so.6",
    "libgcc_s.so.1",
}

SEARCH = """
import numpy as np
import veldra
rng = np.random.default_rng(0)
e = rng.uniform(-1, 1, (2000, 4))
X = e.copy()
X[:, 0] += 0.8 * X[:, 2]
X[:, 3] += -0.7 * X[:, 0]
X[:, 1] += 0.5 * X[:, 3] + 0.4 * X[:, 2]
result = veldra.causal_order(X, n_threads=2)
print(veldra._sweep.__file__)  # the engine the search ran on
print(result.order.tolist())
"""


def run(*command, **kwargs):
    proc = subprocess.run(
        [str(c) for c in command],
        check=False,
        capture_output=True,
        text=True,
        timeout=300,
        **kwargs,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    """A fresh environment with the wheel for this Python installed."""
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    wheels = sorted((ROOT / "dist").glob(f"veldra-*-{tag}-{tag}-manylinux_*.whl"))
    if not wheels:
        reason = f"no {tag} manylinux wheel in dist/: run scripts/wheel.sh"
        if os.environ.get("CI"):  # setup.sh builds it: its absence is a fault
            pytest.fail(reason)
        pytest.skip(reason)
    path = tmp_path_factory.mktemp("wheel") / "venv"
    # NumPy, SciPy and scikit-learn come from this interpreter's packages.
    run(sys.executable, "-m", "venv", "--system-site-packages", path)
    python = path / "bin" / "python"
    # The installed veldra is of the same version: --force-reinstall.
    run(
        python,
        "-m",
        "pip",
        "install",
        "-q",
        "--no-index",
        "--no-deps",
        "--force-reinstall",
        wheels[-1],
    )
    run(python, "-m", "pip", "check")
    return path


@pytest.fixture(scope="module")
def module(venv):
    site = sysconfig.get_path("platlib", vars={"base": venv, "platbase": venv})
    (path,) = Path(site, "veldra").glob("_exhaustive_kernel*.so")
    return path


@pytest.mark.parametrize("name", ["_exhaustive_kernel", "_sweep"])
def test_wheel_module_needs_only_the_system_libraries(venv, name):
    site = sysconfig.get_path("platlib", vars={"base": venv, "platbase": venv})
    (path,) = Path(site, "veldra").glob(f"{name}*.so")
    dynamic = run("readelf", "-d", path)
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic))
    assert "libc.so.6" in needed
    assert needed <= SYSTEM_LIBRARIES
    assert "RPATH" not in dynamic
    assert "RUNPATH" not in dynamic


def test_wheel_searches_and_its_command_runs(venv, module, tmp_path):
    out = run(venv / "bin" / "python", "-c", SEARCH, cwd=tmp_path)
    (engine,) = module.parent.glob("_sweep*.so")
    assert out.split("\n")[:2] == [str(engine), "[2, 0, 3, 1]"]
    data = tmp_path / "data.csv"
    data.write_text(
        "a,b\n" + "".join(f"{i % 7},{(i % 7) ** 2 + i % 3}\n" for i in range(50))
    )
    assert '"order": [' in run(venv / "bin" / "veldra", "order", data, "--json")


def test_wheel_gives_the_installed_build_s_bits(module):
    # The wheel's Highway (1.3.0, built from source) need not be the
    # installed build's (the system's on Debian): the results are the same.
    out = run(
        sys.executable,
        ROOT / "benchmarks" / "bench_sink_dp.py",
        f"--module=installed={_exhaustive_kernel.__file__}",
        f"--module=wheel={module}",
        "--check=200",
        "--d=8",
        "--n=300",
        "--threads",
        "1",
        "2",
        "--repeats=1",
    )
    assert "200 random searches: every build gave the same bits" in out
