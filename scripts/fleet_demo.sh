#!/usr/bin/env bash
# Shows a fleet of three real servers losing one and getting it back: what token-client prints
# with each policy while server 2 is killed, and what a long-lived Python ShardedClient gets call
# by call while server 2 freezes (SIGSTOP: connections are made, nothing is answered) and thaws.
#
# Each server listens on port 6666 of a network namespace of its own, reached at 10.9.N.2 over a
# veth pair. The script runs itself in a network namespace of its own, so it touches no network
# outside; its files go to a temporary directory that it removes. It needs root, iproute2 and a
# build (default build/ of this checkout, as scripts/serve.sh makes; BUILD_DIR to name another),
# and runs from any directory, wherever the checkout is.
#   bash scripts/fleet_demo.sh
# A server that exits, or does not listen within 9 s, ends the demo with status 1 and the
# server's standard error. Whatever the demo started is ended when it ends, however it ends.
set -euo pipefail
root=$(realpath "$(dirname "$0")/..")
build=$(realpath "${BUILD_DIR:-$root/build}")
readonly start_limit_us=9000000  # a server's time to listen, counted from its start

if [[ ${1:-} != inside ]]; then
  # Without --fork: the demo keeps its process, so a signal sent to it reaches its trap.
  BUILD_DIR=$build exec unshare --net -- \
    bash -c 'ip link set lo up && exec bash "$0" inside' "$root/scripts/fleet_demo.sh"
fi

declare -A holder server
work=$(mktemp -d -t token_fleet_demo.XXXXXX)

# Every server, namespace holder and client the demo started runs as a job of this shell; a
# signal may come between starting one and noting its process id, so the job table is asked.
end_everything() {
  local pids
  mapfile -t pids < <(jobs -p)
  if ((${#pids[@]})); then
    kill -CONT "${pids[@]}" 2>/dev/null || true  # a frozen server, if the demo ends meanwhile
    kill -KILL "${pids[@]}" 2>/dev/null || true
    wait "${pids[@]}" 2>/dev/null || true
  fi
  rm -rf "$work"
}

trap end_everything EXIT
# A signal ends the demo; one more (timeout signals the demo and then its whole process group)
# must not cut the cleanup short.
trap 'trap "" INT TERM HUP; exit 1' INT TERM HUP

servers="--server 10.9.1.2:6666 --server 10.9.2.2:6666 --server 10.9.3.2:6666"
keys="alpha 2 1 100 bravo 2 1 100 charlie 2 1 100 delta 2 1 100 echo 2 1 100 foxtrot 2 1 100"

start_server() {  # N: in the namespace held by holder[N]; waits until it listens
  nsenter --net=/proc/"${holder[$1]}"/ns/net "$build/server/token-server" \
    >"$work/server$1.out" 2>"$work/server$1.err" &
  server[$1]=$!
  local deadline=$((${EPOCHREALTIME/./} + start_limit_us))
  until grep -q "listen on port 6666" "$work/server$1.out"; do
    if ! kill -0 "${server[$1]}" 2>/dev/null || ((${EPOCHREALTIME/./} > deadline)); then
      echo "fleet_demo: server $1 did not start; its standard error:" >&2
      cat "$work/server$1.err" >&2
      exit 1
    fi
    sleep 0.05
  done
}

make_namespace() {  # N: a namespace, its end of a veth pair at 10.9.N.2, ours at 10.9.N.1
  unshare --net sleep infinity &
  holder[$1]=$!
  # unshare runs sleep only once its namespace is made: until then the veth would land here.
  until [[ $(cat /proc/"${holder[$1]}"/comm 2>/dev/null) == sleep ]]; do
    kill -0 "${holder[$1]}" || exit 1
    sleep 0.01
  done
  ip link add veth"$1" type veth peer name peer"$1" netns "${holder[$1]}"
  ip addr add 10.9."$1".1/24 dev veth"$1"
  ip link set veth"$1" up
  nsenter --net=/proc/"${holder[$1]}"/ns/net sh -c \
    "ip link set lo up && ip addr add 10.9.$1.2/24 dev peer$1 && ip link set peer$1 up"
}

run() {
  echo "\$ token-client \$SERVERS $*"
  # shellcheck disable=SC2086
  "$build/client/token-client" $servers "$@" && echo "(exit 0)" || echo "(exit $?)"
}

for n in 1 2 3; do
  make_namespace "$n"
  start_server "$n"
done
echo "SERVERS=\"$servers\""
echo "## all three up"
run --show-server acquire $keys
echo "## server 2 killed"
exec 3>&2 2>/dev/null  # bash would report the kill on standard error
kill -KILL "${server[2]}"
wait "${server[2]}" || true
exec 2>&3 3>&-
unset 'server[2]'
for policy in failover fail_closed fail_open; do run --show-server --policy $policy acquire $keys; done
echo "## server 2 started again"
start_server 2
run --show-server acquire $keys

echo "## one Python client, call by call, while server 2 freezes and thaws"
# In the background, so that a signal ends the demo at once rather than after the client's run.
PYTHONPATH=$root/python PYTHONDONTWRITEBYTECODE=1 python3 - "${server[2]}" <<'EOF' &
import os
import signal
import sys
import time

from token_client import ShardedClient

frozen = int(sys.argv[1])
client = ShardedClient(["10.9.1.2:6666", "10.9.2.2:6666", "10.9.3.2:6666"], reply_timeout=0.5)
entries = [(key, 1, 1, 100) for key in ("alpha", "bravo", "charlie", "delta", "echo", "foxtrot")]
start = time.monotonic()
for call in range(1, 15):
    if call in (3, 9):
        os.kill(frozen, signal.SIGSTOP if call == 3 else signal.SIGCONT)
        print("   -- server 2 %s" % ("frozen" if call == 3 else "thawed"))
    began = time.monotonic()
    grants = client.acquire_batch(entries)
    took = (time.monotonic() - began) * 1000
    health = client.server_health(1)
    # KEY=TOKENS@SERVER, * for a fallback.
    answers = " ".join("%s=%d@%d%s" % (entry[0], grant, grant.server + 1,
                                       "*" if grant.fallback else "")
                       for entry, grant in zip(entries, grants))
    print("call %2d at %3.1f s, %6.1f ms: %s | server 2 %s, failed calls %d, probes %d"
          % (call, began - start, took, answers, "up" if health.up else "down",
             health.failed_calls, health.probes))
    time.sleep(0.25)
client.close()
EOF
wait $!
