#!/usr/bin/env bash
# Installs a build into a temporary prefix, checks the installed files, builds and runs a small
# project that finds the client library with find_package, and verifies the systemd unit and
# scores its sandbox.
# Usage: check_install.sh BUILD_DIR CONSUMER_SOURCE_DIR [SANITIZER]
set -euo pipefail
build_dir=$1
consumer_dir=$2
sanitizer=${3:-}

work=$(mktemp -d /tmp/token_install_check.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log"

for file in bin/token-server bin/token-client include/token_client/TokenClient.h \
            include/token_client/TokenClientPool.h include/token_client/ShardedClient.h \
            include/token_client/version.h lib/systemd/system/token-server.service; do
  [[ -e $prefix/$file ]] || { echo "not installed: $file"; exit 1; }
done
find "$prefix" -path '*/cmake/token_client/token_clientConfig.cmake' | grep -q . ||
  { echo "no package config installed"; exit 1; }

unit=$prefix/lib/systemd/system/token-server.service
grep -qx "ExecStart=$prefix/bin/token-server" "$unit" ||
  { echo "unit does not start the installed binary:"; grep ExecStart "$unit"; exit 1; }

# A sanitizer build's library needs the sanitizer's runtime in whatever links it.
link_flags=
case $sanitizer in
  address) link_flags=-fsanitize=address,undefined ;;
  thread) link_flags=-fsanitize=thread ;;
esac
cmake -S "$consumer_dir" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_EXE_LINKER_FLAGS="$link_flags" >"$work/consumer.log" ||
  { cat "$work/consumer.log"; exit 1; }
cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; exit 1; }
"$work/consumer/consumer"

if command -v systemd-analyze >/dev/null; then
  # verify reports some faults (a bad value it ignores) only as warnings, so any output fails.
  if ! systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 || [[ -s $work/verify.log ]]; then
    cat "$work/verify.log"
    exit 1
  fi
  echo "systemd unit verified"
  # The sandbox must keep the unit's exposure at most 2.5; --threshold counts in tenths.
  if ! systemd-analyze security --offline=true --threshold=25 "$unit" >"$work/security.log" 2>&1
  then
    cat "$work/security.log"
    echo "systemd unit exposure above 2.5"
    exit 1
  fi
  grep 'Overall exposure' "$work/security.log"
else
  echo "systemd-analyze not found: unit not verified, exposure not scored"
fi
echo "install check passed"
