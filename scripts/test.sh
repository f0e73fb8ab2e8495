#!/usr/bin/env bash
# Sets everything up, then runs every test: the C++ units (ctest) and the
# Python surface (pytest against the installed module).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "== C++ unit tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPELTARO_BUILD_PYTHON=OFF -DPELTARO_BUILD_TESTS=ON >/dev/null
cmake --build build/tests
ctest --test-dir build/tests --output-on-failure -j "$(nproc)"

echo "== Python tests"
.venv/bin/python -m pytest tests/python -q
