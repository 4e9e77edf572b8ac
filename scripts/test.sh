#!/usr/bin/env bash
# Sets up, then builds and runs every test: first a clang build of the server and the client
# library, which checks their lock contracts, then the Release build with its tests and the
# container image made from it (tests/container/image_test.py), the address+undefined and the
# thread sanitizer builds with their tests, then each fuzz target for a minute (scripts/fuzz.sh).
# Fails when a lock contract is broken, any test fails, any sanitizer reports or a fuzz target
# crashes.
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

# clang rejects code that touches a guarded field without its lock (base/thread_annotations.h).
check_lock_contracts() {
  local dir="build-test-lock-contracts"
  echo "=== lock contracts (clang -Wthread-safety)"
  CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DTOKEN_THREAD_SAFETY=ON \
    -DTOKEN_BUILD_TESTS=OFF -DTOKEN_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" -j"$jobs" --target token_core token_server token_client
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

check_lock_contracts
run_suite release "" Release
echo "=== container image"
python3 tests/container/image_test.py build-test-release
run_suite asan address
run_suite tsan thread
bash scripts/fuzz.sh
echo "all test suites passed"
