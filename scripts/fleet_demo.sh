#!/usr/bin/env bash
# Shows a fleet of three real servers losing one and getting it back: what token-client prints
# with each policy while server 2 is killed, and what a long-lived Python ShardedClient gets call
# by call while server 2 freezes (SIGSTOP: connections are made, nothing is answered) and thaws.
#
# Each server listens on port 6666 of a network namespace of its own, reached at 10.9.N.2 over a
# veth pair. The script runs itself in a network namespace and a /tmp of its own, so it touches
# nothing outside; it needs root, iproute2 and a build (default build/, as scripts/serve.sh
# makes; BUILD_DIR to name another).
#   bash scripts/fleet_demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${BUILD_DIR:-build}")

if [[ ${1:-} != inside ]]; then
  exec unshare --net --mount --fork -- bash -c \
    'mount -t tmpfs tmpfs /tmp && ip link set lo up && exec bash "$0" inside' "$0"
fi

declare -A holder server
servers="--server 10.9.1.2:6666 --server 10.9.2.2:6666 --server 10.9.3.2:6666"
keys="alpha 2 1 100 bravo 2 1 100 charlie 2 1 100 delta 2 1 100 echo 2 1 100 foxtrot 2 1 100"

start_server() {  # N: in the namespace held by holder[N]; waits until it listens
  nsenter --net=/proc/"${holder[$1]}"/ns/net "$build/server/token-server" \
    >/tmp/server"$1".out 2>&1 &
  server[$1]=$!
  until grep -q "listen on port 6666" /tmp/server"$1".out; do sleep 0.05; done
}

make_namespace() {  # N: a namespace, its end of a veth pair at 10.9.N.2, ours at 10.9.N.1
  unshare --net sleep infinity &
  holder[$1]=$!
  until [[ $(readlink /proc/"${holder[$1]}"/ns/net) != $(readlink /proc/self/ns/net) ]]; do
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
for policy in failover fail_closed fail_open; do run --show-server --policy $policy acquire $keys; done
echo "## server 2 started again"
start_server 2
run --show-server acquire $keys

echo "## one Python client, call by call, while server 2 freezes and thaws"
PYTHONPATH=python python3 - "${server[2]}" <<'EOF'
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

for n in 1 2 3; do
  kill "${server[$n]}" "${holder[$n]}" 2>/dev/null || true
done
wait 2>/dev/null || true
