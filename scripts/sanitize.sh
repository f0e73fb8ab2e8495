#!/usr/bin/env bash
# Builds the C++ units with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DPELTARO_BUILD_PYTHON=OFF -DPELTARO_BUILD_TESTS=ON -DPELTARO_SANITIZE=ON >/dev/null
cmake --build build/asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$(nproc)"
