#!/usr/bin/env bash
# Measures the token server beside the baseline server on this machine, in one run.
#
# Builds Release in build-bench, takes the port lock that the end-to-end tests take, starts the
# token server (standard output to /dev/null) and the baseline server, and runs the matrix with
# the two interleaved round by round, so that noise from the machine hits both alike. Then it
# runs the token server again with its trace going to a file, and measures 50 idle connections.
# Prints one table with the ratios and the targets, and writes bench/results/benchmarks.csv and
# bench/results/benchmarks.png. Stops everything it started, also on Ctrl-C.
#
# Environment: ROUNDS (default 3), RUN_SECONDS (measured seconds per run, default 1.5).
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-3}
run_seconds=${RUN_SECONDS:-1.5}
warmup_seconds=0.3
idle_seconds=10
server_port=6666
baseline_port=6667
connection_counts=(1 8 50)
entry_counts=(1 10)
key_counts=(1000 100000)
build=build-bench
results=bench/results
port_lock=/tmp/token_server_port_${server_port}.lock

server_pid=""
baseline_pid=""
trace_file=""

stop_process() {  # pid
  [[ -n "$1" ]] || return 0
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

cleanup() {
  stop_process "$server_pid"
  stop_process "$baseline_pid"
  server_pid=""
  baseline_pid=""
  [[ -z "$trace_file" ]] || rm -f "$trace_file"
}
trap cleanup EXIT
trap 'echo; echo "interrupted"; exit 130' INT TERM

wait_for_port() {  # port, pid
  for _ in $(seq 50); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    kill -0 "$2" 2>/dev/null || break
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  exit 1
}

# The lock is not handed to the servers (9>&-), so it ends with this script.
start_server() {  # where its standard output goes
  "$build/server/token-server" >"$1" 2>>"$results/server.stderr" 9>&- &
  server_pid=$!
  wait_for_port "$server_port" "$server_pid"
}

start_baseline() {
  "$build/bench/baseline_server" --port "$baseline_port" >/dev/null 9>&- &
  baseline_pid=$!
  wait_for_port "$baseline_port" "$baseline_pid"
}

# One run; appends its summary line, tagged, to runs.txt. A run with errors is kept and counted.
measure() {  # round, target (server|baseline), trace (devnull|file|none), load_generator options...
  local round=$1 target=$2 trace=$3
  shift 3
  local port=$server_port pid=$server_pid extra=()
  if [[ "$target" == baseline ]]; then
    port=$baseline_port pid=$baseline_pid extra=(--fixed-reply OK)
  fi
  local summary
  summary=$("$build/bench/load_generator" --port "$port" --server-pid "$pid" \
    --seconds "$run_seconds" --warmup "$warmup_seconds" "${extra[@]}" "$@" 9>&- | tail -n 1) ||
    true
  echo "round=$round target=$target trace=$trace $summary" >>"$results/runs.txt"
  printf '.'
}

run_matrix() {
  for round in $(seq "$rounds"); do
    for connections in "${connection_counts[@]}"; do
      for entries in "${entry_counts[@]}"; do
        for keys in "${key_counts[@]}"; do
          measure "$round" server devnull --connections "$connections" --entries "$entries" \
            --keys "$keys"
        done
        # The baseline ignores the keys; its request is as long as the server's.
        measure "$round" baseline none --connections "$connections" --entries "$entries" \
          --keys "${key_counts[0]}"
      done
    done
  done
}

started=$SECONDS
bash scripts/setup.sh
mkdir -p "$results"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOKEN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target token_server load_generator baseline_server >/dev/null
echo "built in $((SECONDS - started)) s; load average: $(cut -d' ' -f1-3 /proc/loadavg)"

exec 9>"$port_lock"
flock -w 120 9 || { echo "port $server_port stays locked by another run" >&2; exit 1; }
rm -f "$results/runs.txt" "$results/server.stderr"

start_server /dev/null
start_baseline
# Every key gets its bucket first, so that the runs measure draws, not inserts.
"$build/bench/load_generator" --keys "${key_counts[-1]}" --prefill --seconds 0.1 --warmup 0 \
  9>&- >/dev/null
printf 'matrix, %s rounds ' "$rounds"
run_matrix
echo
stop_process "$server_pid"
server_pid=""

trace_file=$(mktemp /tmp/token_server_trace.XXXXXX)
start_server "$trace_file"
printf 'trace to a file '
"$build/bench/load_generator" --keys "${key_counts[0]}" --prefill --seconds 0.1 --warmup 0 \
  9>&- >/dev/null
for round in $(seq "$rounds"); do
  measure "$round" server file --connections 50 --entries 1 --keys "${key_counts[0]}"
done
echo " ($(du -m "$trace_file" | cut -f1) MB of trace)"
# Last, so that whatever else wakes up on a quiet machine cannot disturb the other runs.
echo "idle: 50 connections for $idle_seconds s"
"$build/bench/load_generator" --mode idle --connections 50 --seconds "$idle_seconds" \
  --warmup 0.5 --server-pid "$server_pid" 9>&- | tail -n 1 |
  sed 's/^/round=1 target=server trace=file /' >>"$results/runs.txt"
cleanup

echo "load average after the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 bench/summarize_results.py "$results/runs.txt" "$results"
echo "took $((SECONDS - started)) s"
