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

# The wheels, each in a fresh environment of its Python; the Python tests
# once on this Python's wheel (Highway 1.3.0 linked in), but for the
# benchmarks' (run by their own environment), again on it with every
# requirement at its floor, then on the installed build.
bash scripts/wheel.sh >/dev/null
bash scripts/test-wheels.sh
tag=$("$PYTHON" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
venv=build/wheel-test-venv
[ -x "$venv/bin/python" ] || "$PYTHON" -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install -q --no-index --no-deps --force-reinstall \
  dist/veldra-*-"$tag"-"$tag"-manylinux_*.whl
"$venv/bin/python" -m pytest --ignore=tests/test_wheel.py \
  --ignore=tests/test_bench_accuracy.py --ignore=tests/test_bench_speed.py
bash scripts/test-floors.sh
"$PYTHON" -m pytest
PYTHON="$PYTHON" bash scripts/docs.sh
