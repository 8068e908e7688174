"""Prints what pyproject.toml asks for, one requirement or version a line.

build           the build requirements, with CMake and Ninja
floors EXTRA..  the dependencies and those extras' pinned at their floors
pythons         an interpreter of each Python version the classifiers
                claim: python3.X on the PATH or in pyenv (stderr names
                the versions none was found for)
"""

import os
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# scikit-build-core adds these when it builds in isolation; without
# isolation they must be installed beside it.
BUILD_TOOLS = ["cmake>=3.18", "ninja"]


def requirements(project, extras):
    """The dependencies and the extras', self-references expanded."""
    name = project["name"]
    found = list(project["dependencies"])
    todo, seen = list(extras), set()
    while todo:
        extra = todo.pop()
        if extra in seen:
            continue
        seen.add(extra)
        if extra not in project["optional-dependencies"]:
            sys.exit(f"requirements.py: pyproject.toml has no extra {extra!r}")
        for req in project["optional-dependencies"][extra]:
            own = re.fullmatch(rf"{name}\[(.+)\]", req)
            if own:
                todo += [e.strip() for e in own[1].split(",")]
            else:
                found.append(req)
    return found


def floor(req):
    match = re.fullmatch(r"([A-Za-z0-9_.-]+)\s*>=\s*([0-9][0-9.]*)", req)
    if not match:
        sys.exit(f"requirements.py: {req!r} has no floor (name>=version)")
    return f"{match[1]}=={match[2]}"


def runs(python):
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    return subprocess.run([python, "-c", ""], check=False, **quiet).returncode == 0


def interpreter(version):
    """python<version> from the PATH or pyenv; a pyenv shim of a version not
    selected is found but does not run."""
    pyenv = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    found = sorted(
        pyenv.glob(f"versions/{version}.*/bin/python{version}"),
        key=lambda path: [int(n) for n in re.findall(r"\d+", path.parts[-3])],
        reverse=True,
    )
    for candidate in [shutil.which(f"python{version}"), *found]:
        if candidate and runs(candidate):
            return str(candidate)
    print(f"requirements.py: no Python {version} found", file=sys.stderr)
    return None


def main(what, *extras):
    pyproject = tomllib.loads((ROOT / "pyproject.toml").read_text())
    project = pyproject["project"]
    if what == "build":
        lines = pyproject["build-system"]["requires"] + BUILD_TOOLS
    elif what == "floors":
        lines = sorted({floor(req) for req in requirements(project, extras)})
    elif what == "pythons":
        claimed = "Programming Language :: Python :: "
        versions = [
            c.removeprefix(claimed)
            for c in project["classifiers"]
            if re.fullmatch(re.escape(claimed) + r"3\.\d+", c)
        ]
        lines = [path for path in map(interpreter, versions) if path]
        if os.environ.get("CI") and len(lines) < len(versions):
            sys.exit("requirements.py: CI builds a wheel for every Python claimed")
    else:
        sys.exit(__doc__)
    print("\n".join(lines))


if __name__ == "__main__":
    main(*sys.argv[1:] or ["help"])
