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
cmake --build build/native
ctest --test-dir build/native --output-on-failure
"$PYTHON" -m pytest
