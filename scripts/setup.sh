#!/usr/bin/env bash
# Installs what veldra needs on Debian 12 or 13 (system packages as root,
# Python packages with pip), then builds the package, the native tests and
# the wheel. Elsewhere it installs the Python packages only and builds veldra
# with Highway from source.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
HIGHWAY_ARCHIVE=build/highway-src/highway_1.3.0.orig.tar.gz

# The build requirements; the rest comes with veldra, as its extras.
python_packages() {
  "$PYTHON" -m pip install -q $("$PYTHON" scripts/requirements.py build)
}
install_veldra() {
  "$PYTHON" -m pip install -q --no-build-isolation ".[test,docs]"
}

. /etc/os-release
if [ "${ID:-}" != debian ]; then
  cat >&2 <<'NOTE'
setup: not Debian, so no system packages are installed. Unless CMake finds
Highway 1.2 or newer, Highway 1.3.0 is built from source: this needs a C++17
compiler (g++ or clang++) and either the network to download its release or
VELDRA_HIGHWAY_SOURCE naming a copy. CMake and Ninja come from PyPI. The
native tests need Debian's packages and are left out.
NOTE
  if ! command -v c++ >/dev/null && ! command -v g++ >/dev/null &&
    ! command -v clang++ >/dev/null; then
    echo "setup: no C++ compiler found; install g++ or clang++ first" >&2
    exit 1
  fi
  python_packages
  install_veldra
  bash scripts/wheel.sh
  exit 0
fi

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# URI of the Debian mirror this machine already uses.
debian_mirror() {
  local uri=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(grep -E '^deb\s' /etc/apt/sources.list | grep -v security |
      sed -E 's/\[[^]]*\]//' | awk '{print $2; exit}')
  fi
  [ -n "$uri" ] || { echo "setup: no Debian mirror configured" >&2; exit 1; }
  echo "$uri"
}

# Lists a suite of Debian's mirror in `file` (.sources) with `types`, pinned
# low: only what is asked for by name comes from it.
add_low_suite() {
  local file=/etc/apt/sources.list.d/$1.sources types=$2 suite=$3
  if [ ! -f "$file" ]; then
    as_root tee "$file" >/dev/null <<SOURCES
Types: $types
URIs: $(debian_mirror)
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  fi
  as_root tee "/etc/apt/preferences.d/$suite-low" >/dev/null <<PIN
Package: *
Pin: release n=$suite
Pin-Priority: 100
PIN
}

# Highway's thread pool needs libhwy-dev >= 1.2. Debian 12 ships 1.0, so
# there it comes from Debian 13 (trixie), pinned low so nothing else does.
hwy_release=()
if [ "${VERSION_CODENAME:-}" = bookworm ]; then
  add_low_suite trixie deb trixie
  hwy_release=(-t trixie)
fi

# The source of Highway 1.3.0, to build veldra against it offline: Debian's
# source package of that release (in unstable) has its release archive. Only
# sources are listed from unstable, pinned low like trixie above.
add_low_suite sid-src deb-src sid

export DEBIAN_FRONTEND=noninteractive
as_root apt-get update -q
as_root apt-get install -y -q --no-install-recommends g++ binutils libgtest-dev \
  libsimde-dev
as_root apt-get install -y -q --no-install-recommends "${hwy_release[@]}" libhwy-dev

if [ ! -f "$HIGHWAY_ARCHIVE" ]; then
  version=$(apt-cache showsrc highway | awk '/^Version: 1\.3\.0-/ {print $2}' |
    sort -V | tail -n 1)
  if [ -z "$version" ]; then
    echo "setup: Debian offers no source package of Highway 1.3.0 any more" >&2
    exit 1
  fi
  mkdir -p "$(dirname "$HIGHWAY_ARCHIVE")"
  (cd "$(dirname "$HIGHWAY_ARCHIVE")" &&
    apt-get source -q --download-only "highway=$version")
fi

python_packages

# The package itself, then the native tests and benchmarks.
install_veldra
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVELDRA_BUILD_TESTS=ON -DVELDRA_BUILD_BENCHMARKS=ON -DVELDRA_WERROR=ON \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
  -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)"
cmake --build build/native
# The same tests against Highway 1.3.0 built from source, and the wheel.
cmake -S . -B build/native-hwy13 -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVELDRA_BUILD_TESTS=ON -DVELDRA_WERROR=ON -DVELDRA_BUNDLED_HIGHWAY=ON \
  -DVELDRA_HIGHWAY_SOURCE="$PWD/$HIGHWAY_ARCHIVE" \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
  -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)"
cmake --build build/native-hwy13
bash scripts/wheel.sh

# The comparison benchmarks run lingam, which pins an older SciPy (and so
# NumPy) than the above; they get an environment of their own, with its own
# build of veldra.
"$PYTHON" -m venv build/bench-venv
build/bench-venv/bin/python -m pip install -q \
  $("$PYTHON" scripts/requirements.py build) setuptools wheel
build/bench-venv/bin/python -m pip install -q --no-build-isolation \
  -C build-dir=build/bench-wheel ".[bench]"
