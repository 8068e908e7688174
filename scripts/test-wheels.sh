#!/usr/bin/env bash
# Each wheel of scripts/wheel.sh in a fresh environment of its Python, its
# dependencies from the index: it imports, searches on its own engine, and
# its command gives the wheel's version.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

pythons=${WHEEL_PYTHONS:-$("$PYTHON" scripts/requirements.py pythons)}
for python in $pythons; do
  tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  wheel=$(ls dist/veldra-*-"$tag"-"$tag"-manylinux_*.whl)
  version=$(basename "$wheel" | cut -d- -f2)
  venv=build/wheel-smoke-$tag
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q "$wheel"
  "$venv/bin/python" -m pip check
  "$venv/bin/python" tests/wheel_search.py
  out=$("$venv/bin/veldra" --version)
  if [ "$out" != "veldra $version" ]; then
    echo "test-wheels: $wheel: veldra --version says '$out'" >&2
    exit 1
  fi
  echo "$tag: $out, $("$venv/bin/python" -c 'import numpy; print("NumPy", numpy.__version__)')"
done
