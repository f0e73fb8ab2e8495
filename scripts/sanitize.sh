#!/usr/bin/env bash
# Builds the C++ units and the extension module with AddressSanitizer and
# UndefinedBehaviorSanitizer (Debug, warnings as errors) and runs both suites
# under them: ctest, and pytest against that module, installed apart in
# build/asan/site, with the sanitizer runtimes preloaded into .venv's Python.
# PELTARO_JOBS caps the build's jobs (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."
export CMAKE_BUILD_PARALLEL_LEVEL=${PELTARO_JOBS:-$(nproc)}
bash scripts/setup.sh --env-only
VPY=$PWD/.venv/bin/python
SITE=$PWD/build/asan/site

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DPELTARO_BUILD_PYTHON=ON -DPython_EXECUTABLE="$VPY" -DPELTARO_BUILD_TESTS=ON \
  -DPELTARO_SANITIZE=ON >/dev/null
# The module first: the Python suite, the longer of the two, runs while the
# C++ units build at a lower priority.
cmake --build build/asan --target peltaro
cmake --install build/asan --prefix "$SITE" >/dev/null

# The interpreter was built without the runtimes, so they must be loaded
# before it; the module names the ones it was linked against. Objects go
# through malloc, so that AddressSanitizer sees each one freed by a wrong
# reference count, and the debug hooks check the interpreter lock is held on
# every object allocation. CPython keeps objects alive to exit by design,
# hence no leak check there.
runtimes=$(ldd "$SITE"/peltaro*.so | awk '/lib(asan|ubsan)\.so/ { printf "%s ", $3 }')
sanitized_python() {
  LD_PRELOAD="$runtimes" PYTHONPATH="$SITE" PYTHONMALLOC=malloc_debug \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "$VPY" "$@"
}
sanitized_python -c 'import peltaro, sys; sys.exit(not peltaro.__file__.startswith(sys.argv[1]))' "$SITE"

echo "== sanitized Python tests (running while the C++ units build)"
sanitized_python -m pytest tests/python -q -p no:cacheprovider >build/asan/pytest.log 2>&1 &
pytest_pid=$!

status=0
echo "== sanitized C++ unit tests"
nice -n 10 cmake --build build/asan &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j "$CMAKE_BUILD_PARALLEL_LEVEL" || status=$?

wait "$pytest_pid" || status=$?
echo "== sanitized Python tests"
cat build/asan/pytest.log
exit "$status"
