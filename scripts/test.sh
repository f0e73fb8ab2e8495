#!/usr/bin/env bash
# Sets everything up, then runs every test in three builds, each with warnings
# as errors:
#   release   the C++ units (ctest) and the Python surface (pytest against the
#             module pip installed into .venv), from one Release build;
#   debug     the C++ units with assertions on;
#   sanitize  scripts/sanitize.sh: the C++ units and the Python surface under
#             AddressSanitizer and UndefinedBehaviorSanitizer.
# The sanitizer lane, the longest, runs beside the other two, which yield the
# processor to it (nice); its log is shown when it ends. Every lane runs to its
# end; the command fails if any failed. PELTARO_JOBS caps each build's jobs
# (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."
export PELTARO_JOBS=${PELTARO_JOBS:-$(nproc)}
export CMAKE_BUILD_PARALLEL_LEVEL=$PELTARO_JOBS
bash scripts/setup.sh --env-only
mkdir -p build

started=$(date +%s)
(bash scripts/sanitize.sh; status=$?
 echo "== sanitize lane: $(($(date +%s) - started)) s"; exit "$status") >build/sanitize.log 2>&1 &
sanitize_pid=$!

release() {
  echo "== release: building the module and the C++ units, installing the module"
  .venv/bin/python -m pip install -q --no-build-isolation . -C build-dir=build/release \
    -C cmake.define.PELTARO_BUILD_TESTS=ON -C cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON
  echo "== release: C++ unit tests"
  ctest --test-dir build/release --output-on-failure -j "$PELTARO_JOBS"
  echo "== release: Python tests"
  .venv/bin/python -m pytest tests/python -q
}

debug() {
  echo "== debug: C++ unit tests"
  cmake -S . -B build/debug -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DPELTARO_BUILD_PYTHON=OFF -DPELTARO_BUILD_TESTS=ON >/dev/null
  cmake --build build/debug
  ctest --test-dir build/debug --output-on-failure -j "$PELTARO_JOBS"
}

failed=()
for lane in release debug; do
  lane_started=$(date +%s)
  set +e
  (set -e; renice -n 10 "$BASHPID" >/dev/null; "$lane")
  status=$?
  set -e
  echo "== $lane lane: $(($(date +%s) - lane_started)) s"
  [ "$status" -eq 0 ] || failed+=("$lane")
done

set +e
wait "$sanitize_pid"
status=$?
set -e
cat build/sanitize.log
[ "$status" -eq 0 ] || failed+=(sanitize)

if [ ${#failed[@]} -gt 0 ]; then
  echo "== FAILED: ${failed[*]}"
  exit 1
fi
echo "== all three lanes passed in $(($(date +%s) - started)) s"
