#!/usr/bin/env bash
# scripts/fleet_demo.sh run from a checkout under /tmp, from another directory: it shows the
# whole demo; a server that dies ends it with status 1 within 10 s and that server's standard
# error, and so does one that never listens, after its 9 s. Every time, also when a signal ends
# it, nothing it started outlives it.
#   fleet_demo_test.sh BUILD_DIR   (as root: the demo makes network namespaces)
set -euo pipefail
source_root=$(realpath "$(dirname "$0")/../..")
build=$(realpath "$1")
checkout=$(mktemp -d /tmp/token_checkout.XXXXXX)
trap 'rm -rf "$checkout"' EXIT
readonly demo_limit_seconds=60
readonly failure_limit_seconds=10

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The files the demo uses, laid out as in a checkout.
mkdir -p "$checkout"/scripts "$checkout"/python "$checkout"/build/server "$checkout"/build/client
cp "$source_root"/scripts/fleet_demo.sh "$checkout"/scripts/
cp -r "$source_root"/python/token_client "$checkout"/python/
cp "$build"/client/token-client "$checkout"/build/client/
install_server() {  # a binary or a script as the checkout's server
  cp "$1" "$checkout"/build/server/token-server
  chmod +x "$checkout"/build/server/token-server
}

# Runs the demo with a mark in its environment, which every process it starts inherits; prints
# its output and sets status and seconds.
run_demo() {  # time limit in seconds
  local started
  started=$(date +%s%N)
  status=0
  (cd / && TOKEN_DEMO_TEST_MARK=$checkout timeout "$1" bash "$checkout"/scripts/fleet_demo.sh \
    >"$checkout"/demo.out 2>&1) || status=$?
  seconds=$((($(date +%s%N) - started) / 1000000000))  # whole seconds, rounded down
  local left process
  left=$(grep -l -z "^TOKEN_DEMO_TEST_MARK=$checkout\$" /proc/[0-9]*/environ 2>/dev/null || true)
  for process in $left; do
    echo "left running: $(tr '\0' ' ' <"${process%/environ}"/cmdline 2>/dev/null)" >&2
  done
  [[ -z $left ]] || fail "processes left running"
}

install_server "$build"/server/token-server
run_demo "$demo_limit_seconds"
((status == 0)) || { cat "$checkout"/demo.out; fail "the demo exited $status"; }
for line in "## all three up" "## server 2 killed" "## server 2 started again" "call 14 at"; do
  grep -q "^$line" "$checkout"/demo.out || { cat "$checkout"/demo.out; fail "no '$line'"; }
done
echo "the demo from $checkout: exit 0 after ${seconds} s, nothing left running"

# Ended by a signal midway (timeout sends SIGTERM): it ends at once, and its trap ends what it
# started.
run_demo 3
((status == 124 && seconds < 5)) ||
  { cat "$checkout"/demo.out; fail "SIGTERM at 3 s: the demo ended $status after $seconds s"; }
echo "the demo sent SIGTERM after 3 s: ended at once, nothing left running"

printf '#!/bin/sh\necho "token-server: cannot start (test)" >&2\nexit 1\n' >"$checkout"/dies
printf '#!/bin/sh\necho "token-server: never listens (test)" >&2\nexec sleep 60\n' \
  >"$checkout"/hangs
# The limit counts from the server's start; the hang's run also makes a namespace first.
declare -A limit=([dies]=$failure_limit_seconds [hangs]=$((failure_limit_seconds + 5)))
for server in dies hangs; do
  install_server "$checkout/$server"
  run_demo $((failure_limit_seconds + 20))
  if ((status != 1 || seconds >= limit[$server])) ||
    ! grep -q "^token-server: .* (test)$" "$checkout"/demo.out; then
    cat "$checkout"/demo.out
    fail "a server that $server: exit $status after $seconds s"
  fi
  echo "a server that $server: exit 1 after ${seconds} s with its standard error"
done
echo "fleet demo test passed"
