#!/usr/bin/env bash
# Sets up, then builds and runs every test: the Release build, then the address+undefined and
# the thread sanitizer builds, then each fuzz target for a minute (scripts/fuzz.sh). Fails when any
# test fails, any sanitizer reports or a fuzz target crashes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test
jobs=$(nproc)

run_suite() {  # name, sanitizer
  local dir="build-test-$1"
  echo "=== $1 build"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="${3:-RelWithDebInfo}" -DTOKEN_SANITIZER="$2" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_suite release "" Release
run_suite asan address
run_suite tsan thread
bash scripts/fuzz.sh
echo "all test suites passed"
