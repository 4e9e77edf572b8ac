#!/usr/bin/env bash
# Installs what the server needs, builds the Release server and the command-line client
# (build/server/token-server, build/client/token-client), then runs the server in the foreground
# on port 6666.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh server
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTOKEN_BUILD_TESTS=OFF -DTOKEN_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target token_server token_client_cli
exec ./build/server/token-server
