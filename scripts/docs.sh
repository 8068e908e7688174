#!/usr/bin/env bash
# Builds the documentation site into build/docs (Sphinx, warnings as errors,
# from a fresh environment so that every page is read again), then runs the
# Python examples of README.md and docs/*.md (tests/test_readme.py).
# Needs the `docs` extra in $PYTHON (scripts/setup.sh installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

began=$(date +%s)
"$PYTHON" -m sphinx -E -W --keep-going -q -b html docs build/docs
built=$(date +%s)
"$PYTHON" -m pytest -q -p no:cacheprovider tests/test_readme.py
echo "docs: site built in $((built - began)) s (build/docs/index.html)," \
  "examples run in $(($(date +%s) - built)) s"
