#!/usr/bin/env bash
# Sets up, builds the Release server and runs it in the foreground on port 6666.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTOKEN_BUILD_TESTS=OFF -DTOKEN_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target token_server
exec ./build/server/token-server
