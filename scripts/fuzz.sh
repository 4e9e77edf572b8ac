#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a bounded time from a copy of its
# seed corpus in fuzz/corpus/, both at once. A crash, a sanitizer report, a broken check or a hang
# fails. Prints each target's runs, speed and coverage.
#   FUZZ_SECONDS   time per target (default 60)
#   FUZZ_BUILD_DIR build directory (default build-test-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test
seconds="${FUZZ_SECONDS:-60}"
build_dir="${FUZZ_BUILD_DIR:-build-test-fuzz}"
targets=(connection_stream_fuzzer token_request_fuzzer)

echo "=== fuzz build"
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTOKEN_SANITIZER=fuzzer -DTOKEN_BUILD_TESTS=OFF -DTOKEN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
crashes="$build_dir/fuzz-crashes"
mkdir -p "$crashes"

run_target() {  # target
  local target="$1"
  cp -r "fuzz/corpus/$target" "$work/$target"
  # -close_fd_mask=3: the server's trace and error lines are dropped; libFuzzer's own output and
  # sanitizer reports still come through.
  "$build_dir/fuzz/$target" "$work/$target" -max_total_time="$seconds" -max_len=20000 \
    -timeout=10 -dict=fuzz/token_request.dict -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="$crashes/$target-" >"$work/$target.log" 2>&1
}

echo "=== fuzz: ${targets[*]}, ${seconds} s each"
pids=()
for target in "${targets[@]}"; do
  run_target "$target" &
  pids+=($!)
done
failed=0
for i in "${!targets[@]}"; do
  target="${targets[$i]}"
  if ! wait "${pids[$i]}"; then
    failed=1
    echo "fuzz $target FAILED; input saved under $crashes/"
    tail -n 60 "$work/$target.log"
    continue
  fi
  runs=$(grep -oP 'number_of_executed_units: *\K[0-9]+' "$work/$target.log" || true)
  figures=$(grep -oP '^#[0-9]+\s+DONE\s+\K.*' "$work/$target.log" || true)
  echo "fuzz $target: ${runs:-?} runs, 0 crashes; $figures"
done
exit "$failed"
