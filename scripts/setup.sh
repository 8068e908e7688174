#!/usr/bin/env bash
# Installs what veldra needs on Debian 12 or 13 (system packages as root,
# Python packages with pip), then builds the package and the native tests.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

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

# Highway's thread pool needs libhwy-dev >= 1.2. Debian 12 ships 1.0, so
# there it comes from Debian 13 (trixie), pinned low so nothing else does.
hwy_release=()
. /etc/os-release
if [ "${VERSION_CODENAME:-}" = bookworm ]; then
  if [ ! -f /etc/apt/sources.list.d/trixie.sources ]; then
    as_root tee /etc/apt/sources.list.d/trixie.sources >/dev/null <<SOURCES
Types: deb
URIs: $(debian_mirror)
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  fi
  as_root tee /etc/apt/preferences.d/trixie-low >/dev/null <<'PIN'
Package: *
Pin: release n=trixie
Pin-Priority: 100
PIN
  hwy_release=(-t trixie)
fi

export DEBIAN_FRONTEND=noninteractive
as_root apt-get update -q
as_root apt-get install -y -q --no-install-recommends g++ binutils libgtest-dev \
  libsimde-dev
as_root apt-get install -y -q --no-install-recommends "${hwy_release[@]}" libhwy-dev

"$PYTHON" -m pip install -q "pybind11>=3.0" "scikit-build-core>=0.10" \
  "cmake>=3.18" ninja "numpy>=1.25" "scipy>=1.10" "scikit-learn>=1.6" \
  "pytest>=8" "pandas>=2" "networkx>=3"

# The package itself, then the native tests and benchmarks.
"$PYTHON" -m pip install -q --no-build-isolation .
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVELDRA_BUILD_TESTS=ON -DVELDRA_BUILD_BENCHMARKS=ON -DVELDRA_WERROR=ON \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
  -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)"
cmake --build build/native

# The comparison benchmarks run lingam, which pins an older SciPy (and so
# NumPy) than the above; they get an environment of their own, with its own
# build of veldra.
"$PYTHON" -m venv build/bench-venv
build/bench-venv/bin/python -m pip install -q "pybind11>=3.0" \
  "scikit-build-core>=0.10" "cmake>=3.18" ninja setuptools wheel
build/bench-venv/bin/python -m pip install -q --no-build-isolation \
  -C build-dir=build/bench-wheel ".[bench]"
