#!/usr/bin/env bash
# Installs what is missing, then builds and runs the test suite three times: a normal build, an
# AddressSanitizer + UndefinedBehaviorSanitizer build and a ThreadSanitizer build. Each run
# includes the end-to-end cases of the real program (they need root for their private
# namespaces and are reported as skipped without it).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
jobs="$(nproc)"
run_suite() {
  local dir="$1" sanitize="$2"
  echo "=== ${dir} (sanitizer: ${sanitize:-none}) ==="
  cmake -S . -B "$dir" -DBUILD_TESTING=ON -DMODEMTEST_TESTS="test_*.cpp" \
    -DMODEMTEST_SANITIZE="$sanitize" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs")
}
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
run_suite build ""
run_suite build-asan address
run_suite build-tsan thread
