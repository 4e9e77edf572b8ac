#!/usr/bin/env bash
# Installs with apt-get what is missing, on Debian 12 as root; skips apt-get entirely when
# everything is already there.
#   setup.sh client   what building the client library and token-client alone needs
#                     (cmake -DTOKEN_BUILD_SERVER=OFF)
#   setup.sh server   that, and what building and running the server needs
#   setup.sh image    that, and what building and running the container image needs
#   setup.sh test     all of that, and what the tests, the sanitizer builds, fuzzing and the
#                     benchmarks need (the default)
set -euo pipefail

client_packages=(g++ cmake make)
# The server's alone: JSON, readiness reports to systemd, the client index's keyed hash, the
# metrics endpoint, and the state file's checksum. The CMake build looks for none of them with
# -DTOKEN_BUILD_SERVER=OFF.
server_only_packages=(rapidjson-dev libsystemd-dev libsodium-dev libmicrohttpd-dev zlib1g-dev)
server_packages=("${client_packages[@]}" "${server_only_packages[@]}")
image_packages=(podman buildah)
# clang and its runtime build the fuzz targets; python3 runs the Python client's tests and the
# benchmark summary, gnuplot its chart; python3-venv, -setuptools and -wheel install the Python
# client offline (pip install ./python); systemd brings systemd-analyze, which checks the unit.
# The image test runs the image with runc (crun fails on some hosts) and reads the Kubernetes
# manifests with python3-yaml. iproute2 and socat join the servers of the fleet test, each in a
# network namespace of its own; nftables makes a peer vanish in the dead-peer test.
test_packages=(clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev python3
               python3-venv python3-setuptools python3-wheel gnuplot-nox procps systemd runc python3-yaml iproute2 socat nftables)
# Prometheus and promtool, for the metrics test; installed without the exporters it recommends.
# mypy checks the Python client's type hints.
test_packages_without_recommends=(prometheus mypy)

case "${1:-test}" in
  client)
    packages=("${client_packages[@]}")
    bare_packages=()
    ;;
  server)
    packages=("${server_packages[@]}")
    bare_packages=()
    ;;
  image)
    packages=("${server_packages[@]}" "${image_packages[@]}")
    bare_packages=()
    ;;
  test)
    packages=("${server_packages[@]}" "${image_packages[@]}" "${test_packages[@]}")
    bare_packages=("${test_packages_without_recommends[@]}")
    ;;
  *)
    echo "usage: setup.sh [client|server|image|test]" >&2
    exit 2
    ;;
esac

missing_of() {  # packages...: prints those not installed
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      echo "$package"
  done
}

mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t bare_missing < <(missing_of "${bare_packages[@]}")
if ((${#missing[@]} + ${#bare_missing[@]})); then
  echo "installing: ${missing[*]} ${bare_missing[*]}"
  apt-get update -qq
  if ((${#missing[@]})); then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  if ((${#bare_missing[@]})); then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${bare_missing[@]}" >/dev/null
  fi
fi
