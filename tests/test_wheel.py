"""The manylinux wheel of scripts/wheel.sh, installed as a user would."""

import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

import veldra
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


def built(pattern):
    """The newest file of scripts/wheel.sh in dist/ matching ``pattern``."""
    found = sorted((ROOT / "dist").glob(pattern))
    if not found:
        reason = f"no {pattern} in dist/: run scripts/wheel.sh"
        if os.environ.get("CI"):  # setup.sh builds it: its absence is a fault
            pytest.fail(reason)
        pytest.skip(reason)
    return found[-1]


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    """A fresh environment with the wheel for this Python installed."""
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    wheel = built(f"veldra-*-{tag}-{tag}-manylinux_*.whl")
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
        wheel,
    )
    # This interpreter's own packages may disagree among themselves (a
    # system tool's pins, say): only veldra's requirements are its affair.
    check = subprocess.run(
        [python, "-m", "pip", "check"], capture_output=True, text=True, check=False
    )
    assert not [
        line for line in check.stdout.splitlines() if line.startswith("veldra ")
    ]
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


def test_wheel_searches_and_its_command_runs(venv, tmp_path):
    run(venv / "bin" / "python", ROOT / "tests" / "wheel_search.py", cwd=tmp_path)
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


@pytest.mark.parametrize(
    ("archive", "member"),
    [
        (".tar.gz", "{top}/LICENSE"),
        (".tar.gz", "{top}/CHANGELOG.md"),
        (".tar.gz", "{top}/CITATION.cff"),
        ("-*-manylinux_*.whl", "{top}.dist-info/licenses/LICENSE"),
    ],
)
def test_archives_carry(archive, member):
    top = f"veldra-{veldra.__version__}"
    path = built(top + archive)
    if path.suffix == ".whl":
        with zipfile.ZipFile(path) as opened:
            names = opened.namelist()
    else:
        with tarfile.open(path) as opened:
            names = opened.getnames()
    assert member.format(top=top) in names


@pytest.mark.parametrize(
    ("name", "version"),
    [
        ("CITATION.cff", r"^version: (.+)$"),  # CFF wants it written out
        ("CHANGELOG.md", r"^## (\d\S*)"),  # the newest version described
    ],
)
def test_the_version_is_the_package_s(name, version):
    text = (ROOT / name).read_text()
    assert re.search(version, text, re.MULTILINE)[1] == veldra.__version__
