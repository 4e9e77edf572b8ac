#!/usr/bin/env bash
# User instructions the server spends per token request, counted by callgrind: repeatable on a
# busy machine, where timings are not.
#   [PIPELINE=N] [DETAIL=1] bench/callgrind_per_request.sh SERVER_BINARY [ENTRIES] [TRACE_FILE]
# Runs SERVER_BINARY under callgrind twice, sending 500 and then 2,500 requests of ENTRIES entries
# (default 1) on one connection, each after the previous reply, and prints the difference divided
# by 2,000, so that start-up and stop cancel out. PIPELINE=N (default 1; it divides 500) sends N
# requests at once instead, then reads their N replies: requests held behind one another. DETAIL=1
# makes every request ask for "detail" (remaining tokens and the wait in each reply entry). Standard
# output goes to /dev/null, where the server writes no trace, or to TRACE_FILE (overwritten), to
# count writing it too. Every request names the same keys with their stored rate and burst, so all
# but the first draw from a known bucket. The server listens on port 6666: run this where nothing
# else holds it. Needs valgrind and python3.
set -euo pipefail
server=$1
entries=${2:-1}
trace_file=${3:-/dev/null}
pipeline=${PIPELINE:-1}
detail=${DETAIL:-0}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Sends $1 requests and closes; waits up to 60 s for the server, slow to start under callgrind.
send_requests() {
  python3 - "$1" "$entries" "$pipeline" "$detail" <<'PY'
import socket, sys, time
count, entries, pipeline = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
detail = '"detail":true,' if sys.argv[4] == "1" else ""
body = ",".join('{"accesskey":"key%d","need_tokens":1,"gen_rate":1000000,"burst_size":1000000}'
                % i for i in range(entries))
request = ('{%s"array":[%s]}\r\n' % (detail, body)).encode()
deadline = time.monotonic() + 60
while True:
    try:
        connection = socket.create_connection(("127.0.0.1", 6666))
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("the server did not listen on port 6666 within 60 s")
        time.sleep(0.2)
for _ in range(count // pipeline):
    connection.sendall(request * pipeline)
    reply = b""
    while reply.count(b"\r\n") < pipeline:
        chunk = connection.recv(65536)
        if not chunk:
            sys.exit("the server closed the connection")
        reply += chunk
connection.close()
PY
}

# Instructions of one run of the server that answers $1 requests.
instructions_for() {
  local out="$work/callgrind.$1"
  valgrind --tool=callgrind --callgrind-out-file="$out" "$server" >"$trace_file" 2>"$work/stderr" &
  local pid=$!
  send_requests "$1"
  kill -TERM "$pid"
  wait "$pid" || true
  awk '/^(summary|totals):/ {print $2; exit}' "$out"
}

few=$(instructions_for 500)
many=$(instructions_for 2500)
echo "entries=$entries pipeline=$pipeline trace=$trace_file instructions_500=$few" \
  "instructions_2500=$many" \
  "instructions_per_request=$(((many - few) / 2000))"
