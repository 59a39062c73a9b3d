#!/usr/bin/env bash
# The one list of Debian packages this project needs to build, test, fuzz and benchmark.
# Quick when everything is already installed: apt is only touched for what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  clang libclang-rt-14-dev            # libFuzzer targets
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libfmt-dev libspdlog-dev
  libssl-dev openssl                  # hashes, CMS signatures; the CLI makes the development signing identity
  iproute2 procps
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
