#!/usr/bin/env bash
# Runs every test: the native tests (CTest) and the Python tests (pytest).
# Rebuilds first, so edited sources are what gets tested.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

"$PYTHON" -m pip install -q --no-build-isolation --no-deps .
if [ -x build/bench-venv/bin/python ]; then
  build/bench-venv/bin/python -m pip install -q --no-build-isolation --no-deps \
    -C build-dir=build/bench-wheel .
fi
# The native tests against the system's Highway and against 1.3.0 built from
# source (setup.sh builds neither where it installs no system packages).
. /etc/os-release
for build in build/native build/native-hwy13; do
  if [ "${ID:-}" = debian ] || [ -d "$build" ]; then
    cmake --build "$build"
    ctest --test-dir "$build" --output-on-failure
  fi
done
bash scripts/wheel.sh >/dev/null
"$PYTHON" -m pytest
