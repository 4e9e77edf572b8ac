#!/usr/bin/env bash
# Builds the container image token-server:VERSION (packaging/Containerfile) with podman from the
# Release build: installs what is missing, builds token-server, token-client and discard-stdout in
# build/, gathers them with exactly the shared libraries they load into the build context
# build/image/ (with state/, the empty state directory), and builds the image from it.
#   image.sh                  all of that; prints the image's name and size
#   image.sh --context-only   the build context only, for another builder, for instance
#       docker build -f packaging/Containerfile -t token-server:VERSION build/image
# TOKEN_BUILD_DIR takes the binaries from another Release build, already configured (the test
# command passes its own); TOKEN_IMAGE names the image (default token-server:VERSION, the version
# that token-client --version prints).
set -euo pipefail
cd "$(dirname "$0")/.."

context_only=false
case "${1:-}" in
  "") ;;
  --context-only) context_only=true ;;
  *)
    echo "usage: image.sh [--context-only]" >&2
    exit 2
    ;;
esac

if $context_only; then
  bash scripts/setup.sh server
else
  bash scripts/setup.sh image
fi

build_dir=${TOKEN_BUILD_DIR:-build}
if [[ -z ${TOKEN_BUILD_DIR:-} ]]; then
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DTOKEN_BUILD_TESTS=OFF \
    -DTOKEN_BUILD_BENCH=OFF >/dev/null
fi
# A sanitizer's runtime or a debug build has no place in the image.
if ! grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$build_dir/CMakeCache.txt" ||
   ! grep -qx 'TOKEN_SANITIZER:STRING=' "$build_dir/CMakeCache.txt"; then
  echo "image.sh: $build_dir is not a Release build without sanitizer" >&2
  exit 1
fi
cmake --build "$build_dir" -j"$(nproc)" --target token_server token_client_cli discard_stdout

binaries=("$build_dir/server/token-server" "$build_dir/client/token-client"
          "$build_dir/packaging/discard-stdout")
context=$build_dir/image
rootfs=$context/rootfs
rm -rf "$context"
mkdir -p "$rootfs/usr/local/bin" "$context/state"
cp "${binaries[@]}" "$rootfs/usr/local/bin/"

# Every library the loader finds for the binaries, the loader itself included, copied (not
# linked) to the path it was found at. ldd lines: "name => /path (address)" or "/path (address)".
libraries=$(for binary in "${binaries[@]}"; do ldd "$binary"; done)
if grep 'not found' <<<"$libraries" >&2; then
  echo "image.sh: a library is missing" >&2
  exit 1
fi
awk '$2 == "=>" { print $3 } $1 ~ /^\// { print $1 }' <<<"$libraries" | sort -u |
  while read -r library; do
    mkdir -p "$rootfs$(dirname "$library")"
    cp -L "$library" "$rootfs$library"
  done

version=$("$build_dir/client/token-client" --version | awk '{ print $2 }')
image=${TOKEN_IMAGE:-token-server:$version}
if $context_only; then
  echo "build context in $context; for example:"
  echo "  docker build -f packaging/Containerfile -t $image $context"
  exit 0
fi
# The docker format, since the OCI format has no HEALTHCHECK.
podman build --quiet --format docker -f packaging/Containerfile -t "$image" "$context" >/dev/null
size=$(podman image inspect --format '{{.Size}}' "$image")
echo "$image: $size bytes ($((size / 1000)) kB)"
