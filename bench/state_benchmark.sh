#!/usr/bin/env bash
# What keeping the state (STATE_DIRECTORY) costs the real server:
#  - 50 connections drawing from 100,000 keys, on a server with STATE_DIRECTORY set and on one
#    without, alternated round by round: requests per second, the server's CPU per request and
#    the p99 latency, with the ratio set / unset of the medians;
#  - the stop of a server holding 1,000,000 keys, requests having come since its last write: from
#    SIGTERM to its exit, its own write of every key included, and the size of the file it leaves.
#
#   bash bench/state_benchmark.sh [BUILD_DIR]    (a Release build; default build-bench)
#
# Runs the server on port 6666 under the end-to-end tests' port lock, as run_benchmarks.sh does;
# ROUNDS (3) and RUN_SECONDS (2) change the runs. The state directory is made under TMPDIR.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-bench}
rounds=${ROUNDS:-3}
run_seconds=${RUN_SECONDS:-2}
keys=100000
many_keys=1000000
cmake --build "$build" -j2 --target token_server load_generator >/dev/null
lock=$(sed -n 's/^TOKEN_PORT_LOCK:INTERNAL=//p' "$build/CMakeCache.txt")
exec 9>"$lock"
flock 9

state_dir=$(mktemp -d "${TMPDIR:-/tmp}/token_state_bench.XXXXXX")
server_pid=""
cleanup() {
  if [[ -n $server_pid ]]; then kill "$server_pid" 2>/dev/null || true; fi
  rm -rf "$state_dir"
}
trap cleanup EXIT

start_server() {  # set|unset
  if [[ $1 == set ]]; then
    STATE_DIRECTORY=$state_dir "$build/server/token-server" >/dev/null 2>>"$state_dir.stderr" 9>&- &
  else
    "$build/server/token-server" >/dev/null 2>>"$state_dir.stderr" 9>&- &
  fi
  server_pid=$!
  for _ in $(seq 100); do
    if "$build/bench/load_generator" --seconds 0.01 --warmup 0 --keys 1 >/dev/null 2>&1; then
      return
    fi
    sleep 0.05
  done
  echo "the server did not listen" >&2
  exit 1
}

stop_server() {
  kill -TERM "$server_pid"
  wait "$server_pid" || true
  server_pid=""
}

# key=value of the load generator's summary line.
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p"; }

declare -A rps cpu p99
for round in $(seq "$rounds"); do
  order=(unset set)
  ((round % 2 == 0)) && order=(set unset)
  for mode in "${order[@]}"; do
    rm -f "$state_dir"/*
    start_server "$mode"
    "$build/bench/load_generator" --keys "$keys" --prefill --connections 50 --seconds 0.1 \
      --warmup 0 9>&- >/dev/null
    line=$("$build/bench/load_generator" --connections 50 --keys "$keys" \
      --seconds "$run_seconds" --server-pid "$server_pid" 9>&- | tail -1)
    stop_server
    rps[$mode]+="$(field rps <<<"$line") "
    cpu[$mode]+="$(field server_cpu_us_per_req <<<"$line") "
    p99[$mode]+="$(field p99_us <<<"$line") "
  done
done

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo "50 connections, 1 entry, $keys keys, $rounds rounds of ${run_seconds} s (medians):"
printf '  %-22s %12s %12s %12s\n' "" "unset" "set" "set/unset"
for metric in rps cpu p99; do
  declare -n values=$metric
  a=$(median <<<"${values[unset]}")
  b=$(median <<<"${values[set]}")
  label=$metric
  [[ $metric == rps ]] && label="requests/s"
  [[ $metric == cpu ]] && label="server CPU us/request"
  [[ $metric == p99 ]] && label="p99 latency us"
  printf '  %-22s %12s %12s %12.3f\n' "$label" "$a" "$b" "$(awk -v a="$a" -v b="$b" 'BEGIN { print b / a }')"
done

rm -f "$state_dir"/*
start_server set
"$build/bench/load_generator" --keys "$many_keys" --prefill --connections 50 --entries 10 \
  --seconds 0.1 --warmup 0 9>&- >/dev/null
sleep 2  # a write of every key has happened
# Requests since that write: the stop writes every key again.
"$build/bench/load_generator" --keys "$many_keys" --seconds 0.1 --warmup 0 9>&- >/dev/null
started=$(date +%s%N)
stop_server
stopped=$(date +%s%N)
echo "stop with $many_keys keys: $(((stopped - started) / 1000000)) ms from SIGTERM to exit;" \
  "state file $(stat -c %s "$state_dir/token-server.state") bytes"
if [[ -s $state_dir.stderr ]]; then
  echo "the servers wrote on standard error:"
  cat "$state_dir.stderr"
fi
rm -f "$state_dir.stderr"
