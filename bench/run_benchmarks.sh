#!/usr/bin/env bash
# Measures the token server beside the baseline server on this machine, in one run.
#
# Builds Release in build-bench, takes the port lock that the end-to-end tests take (none in a
# network namespace of its own, where the ports are its alone), starts the token server
# (standard output to /dev/null) and the baseline server, and runs, round by round with the two
# interleaved so that noise from the machine hits both alike: the matrix of
# persistent connections; the same 1-entry load at 1 and 50 connections with the server's system
# calls counted (perf stat, in runs of their own since counting slows every call a little); and
# a new connection per request over 8 and 50 slots. Then a fresh token server filled with a million
# keys: its resident memory per key, and 10-entry requests over all of them at 8 and 50
# connections beside the baseline (with COMPARE_SERVER, the other binary after it, alike). Then,
# round by round, a fresh token server
# with its standard output on /dev/null and one with it in a file, each under the 1-entry load at
# 1 and 50 connections (and a burst of connects on /dev/null); with COMPARE_SERVER, the other
# binary takes the same turns, for before-and-after figures. Last, 50 idle connections. Prints
# the tables with the ratios and the targets, and writes bench/results/benchmarks.csv and
# bench/results/benchmarks.png. Refuses to run when anything else answers on its ports or its own
# server does not start. Stops everything it started, also on Ctrl-C. Needs root: perf reads the
# syscall tracepoints.
#
# Each round also runs the 50-connection load twice, side by side: without scrapes, and with
# /metrics fetched every 100 ms (as Prometheus would, only more often).
#
# Environment: ROUNDS (default 3), RUN_SECONDS (measured seconds per run, default 1.5),
# COMPARE_SERVER (another token-server binary to measure beside this one, say the last release).
set -euo pipefail
# Read before the cd, so that a relative path names the binary the caller meant.
compare_server=${COMPARE_SERVER:-}
[[ -z "$compare_server" || "$compare_server" == /* ]] || compare_server=$PWD/$compare_server
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-3}
run_seconds=${RUN_SECONDS:-1.5}
warmup_seconds=0.3
idle_seconds=10
server_port=6666
baseline_port=6667
metrics_port=9666  # the server's /metrics, which the scrape rows fetch
connection_counts=(1 8 50)
entry_counts=(1 10)
key_counts=(1000 100000)
# The largest registry measured: memory per key, and many-entry requests that miss the cache.
many_keys=1000000
many_key_entries=10
many_key_connection_counts=(8 50)
syscall_connection_counts=(1 50)
connect_slot_counts=(8 50)
burst_connects=1000
build=build-bench
results=bench/results

server_pid=""
baseline_pid=""
trace_file=""
trace_megabytes=0
count_syscalls=1

if [[ -n "$compare_server" && ! -x "$compare_server" ]]; then
  echo "COMPARE_SERVER=$compare_server is not an executable file" >&2
  exit 2
fi

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

port_answers() {  # port
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# Ends the run with a message on a line of its own, after any progress dots.
refuse() {  # message lines...
  echo >&2
  printf '%s\n' "$@" >&2
  exit 1
}

# Measuring whatever else holds a port would give figures of the wrong program.
refuse_taken_port() {  # port
  port_answers "$1" || return 0
  refuse "port $1 is taken: another program listens on it; stop it, then run the benchmarks"
}

# Whether `pid` holds the socket listening on IPv4 port `port` (/proc/net/tcp gives its inode).
owns_listener() {  # port, pid
  local inode fd
  inode=$(awk -v port="$(printf ':%04X' "$1")" \
    '$4 == "0A" && substr($2, length($2) - 4) == port { print $10; exit }' /proc/net/tcp)
  [[ -n "$inode" ]] || return 1
  for fd in /proc/"$2"/fd/*; do
    [[ "$(readlink "$fd" 2>/dev/null)" == "socket:[$inode]" ]] && return 0
  done
  return 1
}

# Waits until the process this script started listens on `port`, or refuses to go on.
wait_for_own_listener() {  # name, port, pid, its standard error
  for _ in $(seq 50); do
    if ! kill -0 "$3" 2>/dev/null; then
      local status=0
      wait "$3" || status=$?
      refuse "$1 (pid $3) exited with status $status before listening on port $2:" \
        "$(tail -n 5 "$4")"
    fi
    if port_answers "$2"; then
      owns_listener "$2" "$3" && return 0
      refuse "port $2 answers, but not from the $1 this script started (pid $3)"
    fi
    sleep 0.1
  done
  refuse "$1 (pid $3) does not listen on port $2 after 5 s"
}

# The binary a target names: this build's server, or the one to compare it with.
server_binary() {  # target (server|compare)
  if [[ "$1" == compare ]]; then echo "$compare_server"; else echo "$build/server/token-server"; fi
}

# The lock is not handed to the servers (9>&-), so it ends with this script.
start_server() {  # target (server|compare), where its standard output goes
  local errors="$results/$1.stderr"
  "$(server_binary "$1")" >"$2" 2>>"$errors" 9>&- &
  server_pid=$!
  wait_for_own_listener "$(server_binary "$1")" "$server_port" "$server_pid" "$errors"
}

stop_server() {
  stop_process "$server_pid"
  server_pid=""
}

start_baseline() {
  "$build/bench/baseline_server" --port "$baseline_port" >/dev/null 2>"$results/baseline.stderr" \
    9>&- &
  baseline_pid=$!
  wait_for_own_listener baseline_server "$baseline_port" "$baseline_pid" "$results/baseline.stderr"
}

# Every key gets its bucket first, so that the runs measure draws, not inserts.
prefill() {  # keys
  "$build/bench/load_generator" --keys "$1" --prefill --seconds 0.1 --warmup 0 9>&- >/dev/null
}

# Debian's perf, and the tracefs its syscall tracepoints live in. Without them the run goes on
# and the system call rows read n/a.
prepare_perf() {
  if ! command -v perf >/dev/null; then
    echo "installing linux-perf"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq linux-perf \
      >/dev/null || true
  fi
  if ! perf stat -e raw_syscalls:sys_enter true >/dev/null 2>&1 &&
    ! mountpoint -q /sys/kernel/tracing; then
    mount -t tracefs nodev /sys/kernel/tracing 2>/dev/null || true
  fi
  if ! perf stat -e raw_syscalls:sys_enter true >/dev/null 2>&1; then
    echo "perf cannot count system calls here (needs root, linux-perf and tracefs at" \
      "/sys/kernel/tracing): the system call rows are skipped" >&2
    count_syscalls=0
  fi
}

# One run; appends its summary line, tagged, to runs.txt. A run with errors is kept and counted.
measure() {  # round, series, target (server|compare|baseline), trace (devnull|file|none), ...
  local round=$1 series=$2 target=$3 trace=$4
  shift 4
  local port=$server_port pid=$server_pid extra=()
  if [[ "$target" == baseline ]]; then
    port=$baseline_port pid=$baseline_pid extra=(--fixed-reply OK)
  fi
  local summary
  summary=$("$build/bench/load_generator" --port "$port" --server-pid "$pid" \
    --seconds "$run_seconds" --warmup "$warmup_seconds" "${extra[@]}" "$@" 9>&- | tail -n 1) ||
    true
  echo "round=$round series=$series target=$target trace=$trace $summary" >>"$results/runs.txt"
  printf '.'
}

# The baseline ignores the keys; its request is as long as the server's.
run_matrix() {  # round
  for connections in "${connection_counts[@]}"; do
    for entries in "${entry_counts[@]}"; do
      for keys in "${key_counts[@]}"; do
        measure "$1" matrix server devnull --connections "$connections" --entries "$entries" \
          --keys "$keys"
      done
      measure "$1" matrix baseline none --connections "$connections" --entries "$entries" \
        --keys "${key_counts[0]}"
    done
  done
}

resident_kb() {  # pid
  awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"
}

# A fresh server of one target filled with many_keys keys: the resident memory they take, then
# rounds of many-entry requests over all of them, each beside the baseline.
run_many_keys() {  # target (server|compare)
  local before round
  start_server "$1" /dev/null
  before=$(resident_kb "$server_pid")
  prefill "$many_keys"
  echo "round=1 series=memory target=$1 trace=devnull keys=$many_keys" \
    "bytes_per_key=$((($(resident_kb "$server_pid") - before) * 1024 / many_keys))" \
    >>"$results/runs.txt"
  for round in $(seq "$rounds"); do
    for connections in "${many_key_connection_counts[@]}"; do
      measure "$round" "many_keys_$1" "$1" devnull --connections "$connections" \
        --entries "$many_key_entries" --keys "$many_keys"
      measure "$round" "many_keys_$1" baseline none --connections "$connections" \
        --entries "$many_key_entries" --keys "$many_keys"
    done
  done
  stop_server
}

run_scrapes() {  # round
  measure "$1" no_scrapes server devnull --connections 50 --keys "${key_counts[0]}"
  measure "$1" scrapes server devnull --connections 50 --keys "${key_counts[0]}" \
    --scrape-interval-ms 100
}

run_syscall_counts() {  # round
  ((count_syscalls)) || return 0
  for connections in "${syscall_connection_counts[@]}"; do
    measure "$1" syscalls server devnull --connections "$connections" --keys "${key_counts[0]}" \
      --count-syscalls
    measure "$1" syscalls baseline none --connections "$connections" --keys "${key_counts[0]}" \
      --count-syscalls
  done
}

# The client closes first, so the TIME_WAIT stays on its side, as with a real client, and the
# server does the whole orderly close; loopback reuses those ports after a second
# (net.ipv4.tcp_tw_reuse), so a run cannot run out of them.
run_new_connections() {  # round
  for slots in "${connect_slot_counts[@]}"; do
    measure "$1" connect server devnull --mode connect --connections "$slots" \
      --keys "${key_counts[0]}"
    measure "$1" connect baseline none --mode connect --connections "$slots" \
      --keys "${key_counts[0]}"
  done
}

# A burst of clients connecting at once, each holding its connection: when the accept loop falls
# behind, the listen queue overflows (the kernel counts each in ListenOverflows) and each client
# that overflowed waits a second for its SYN to be sent again.
measure_burst() {  # round, target
  local summary
  summary=$(python3 - "$server_port" "$burst_connects" <<'PYTHON'
import socket, sys, time
def overflows():
    rows = [line.split() for line in open("/proc/net/netstat") if line.startswith("TcpExt:")]
    return int(rows[1][rows[0].index("ListenOverflows")])
port, count = int(sys.argv[1]), int(sys.argv[2])
before, start = overflows(), time.monotonic()
held = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(count)]
print(f"connections={count} window_s={time.monotonic() - start:.3f} "
      f"listen_overflows={overflows() - before}")
PYTHON
  ) || true
  echo "round=$1 series=burst target=$2 trace=devnull $summary" >>"$results/runs.txt"
  printf '.'
}

# A fresh server of one target with its standard output on /dev/null or in a file, under the
# 1-entry load at 1 and 50 connections; their system calls in the first round (a count, the same
# in every round); on /dev/null also a burst of connects.
run_stdout_session() {  # round, target (server|compare), trace (devnull|file)
  local round=$1 target=$2 trace=$3 output=/dev/null
  if [[ "$trace" == file ]]; then
    output=$trace_file
    : >"$trace_file"
  fi
  start_server "$target" "$output"
  prefill "${key_counts[0]}"
  for connections in "${syscall_connection_counts[@]}"; do
    measure "$round" stdout "$target" "$trace" --connections "$connections" \
      --keys "${key_counts[0]}"
    if ((round == 1 && count_syscalls)); then
      measure "$round" stdout_syscalls "$target" "$trace" --connections "$connections" \
        --keys "${key_counts[0]}" --count-syscalls
    fi
  done
  [[ "$trace" == file ]] || measure_burst "$round" "$target"
  stop_server
  if [[ "$trace" == file ]]; then
    trace_megabytes=$((trace_megabytes + $(du -m "$trace_file" | cut -f1)))
    : >"$trace_file"
  fi
}

# The targets take turns on the one port; the order flips each round so that neither always
# follows the other.
run_stdout_round() {  # round
  local targets=(server)
  [[ -z "$compare_server" ]] || targets+=(compare)
  ((${#targets[@]} == 1 || $1 % 2)) || targets=(compare server)
  for target in "${targets[@]}"; do
    run_stdout_session "$1" "$target" devnull
    run_stdout_session "$1" "$target" file
  done
}

started=$SECONDS
bash scripts/setup.sh
mkdir -p "$results"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOKEN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target token_server load_generator baseline_server >/dev/null
prepare_perf
echo "built in $((SECONDS - started)) s; load average: $(cut -d' ' -f1-3 /proc/loadavg)"

# The lock file of the tests, as the build names it, keeps the tests and other runs off the
# ports; in a network namespace of its own the ports are this run's alone, and no lock is taken.
if [[ $(readlink /proc/self/ns/net) == $(readlink /proc/1/ns/net) ]]; then
  port_lock=$(sed -n 's/^TOKEN_PORT_LOCK:INTERNAL=//p' "$build/CMakeCache.txt")
  exec 9>"${port_lock:?is not in $build/CMakeCache.txt}"
  flock -w 120 9 || refuse "port $server_port stays locked by another run"
fi
refuse_taken_port "$server_port"
refuse_taken_port "$baseline_port"
refuse_taken_port "$metrics_port"
rm -f "$results/runs.txt" "$results"/*.stderr
# A burst holds a thousand connections open, on both sides.
ulimit -Sn 4096 2>/dev/null || true

start_server server /dev/null
start_baseline
prefill "${key_counts[-1]}"
printf '%s rounds of the matrix, scrapes, system call counts and new connections ' "$rounds"
for round in $(seq "$rounds"); do
  run_matrix "$round"
  run_scrapes "$round"
  run_syscall_counts "$round"
  run_new_connections "$round"
done
echo
stop_server

printf '%s rounds of %s entries over %s keys, after filling them%s ' "$rounds" \
  "$many_key_entries" "$many_keys" "${compare_server:+, beside $compare_server}"
run_many_keys server
[[ -z "$compare_server" ]] || run_many_keys compare
echo

trace_file=$(mktemp /tmp/token_server_trace.XXXXXX)
printf '%s rounds of stdout on /dev/null and to a file%s ' "$rounds" \
  "${compare_server:+, beside $compare_server}"
for round in $(seq "$rounds"); do
  run_stdout_round "$round"
done
echo " ($trace_megabytes MB of trace)"
# Last, so that whatever else wakes up on a quiet machine cannot disturb the other runs.
start_server server "$trace_file"
echo "idle: 50 connections for $idle_seconds s"
idle_options=()
((count_syscalls)) && idle_options=(--count-syscalls)
"$build/bench/load_generator" --mode idle --connections 50 --seconds "$idle_seconds" \
  --warmup 0.5 --server-pid "$server_pid" "${idle_options[@]}" 9>&- | tail -n 1 |
  sed 's/^/round=1 series=idle target=server trace=file /' >>"$results/runs.txt"
cleanup

echo "load average after the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 bench/summarize_results.py "$results/runs.txt" "$results"
echo "took $((SECONDS - started)) s"
