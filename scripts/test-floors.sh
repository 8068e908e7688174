#!/usr/bin/env bash
# The Python tests against the lowest versions the requirements allow: a
# fresh environment with every dependency and test extra pinned at its floor
# in pyproject.toml, and the wheel of scripts/wheel.sh for this Python. The
# benchmarks' tests and the wheel's own are left out (the first need lingam,
# the second the installed build).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
venv=build/floors-venv
tag=$("$PYTHON" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')

rm -rf "$venv"
"$PYTHON" -m venv "$venv"
"$venv/bin/python" -m pip install -q $("$PYTHON" scripts/requirements.py floors test)
"$venv/bin/python" -m pip install -q --no-index --no-deps \
  dist/veldra-*-"$tag"-"$tag"-manylinux_*.whl
"$venv/bin/python" -m pip check
echo "floors: $("$venv/bin/python" -m pip freeze | grep -E -i "^($(
  "$PYTHON" scripts/requirements.py floors test | cut -d= -f1 | paste -sd'|'
))==" | paste -sd' ')"
"$venv/bin/python" -m pytest -p no:cacheprovider --ignore=tests/test_wheel.py \
  --ignore=tests/test_bench_accuracy.py --ignore=tests/test_bench_speed.py
