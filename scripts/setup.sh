#!/usr/bin/env bash
# Installs what building and testing the server needs, on Debian 12 as root. Skips apt-get
# entirely when everything is already there.
set -euo pipefail

packages=(g++ clang cmake make rapidjson-dev libgtest-dev libgmock-dev libbenchmark-dev
          libclang-rt-14-dev python3 gnuplot-nox procps)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
