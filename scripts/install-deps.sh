#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with. Idempotent and quiet when
# everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost-log-dev libboost-thread-dev libboost-filesystem-dev libboost-dev
  libzmq3-dev cppzmq-dev
  libflatbuffers-dev flatbuffers-compiler
  rapidjson-dev libmsgsl-dev nlohmann-json3-dev
  pybind11-dev python3-dev python3-numpy python3-pytest
  samtools
  clang libclang-rt-dev clang-format
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
