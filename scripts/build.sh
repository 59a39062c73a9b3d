#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh [dev|ci|release|fuzz]   (default: dev)
# dev and ci build with AddressSanitizer, UndefinedBehaviorSanitizer and warnings as errors;
# fuzz builds the libFuzzer targets with clang.
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-dev}
case "$flavour" in
  dev|ci)  args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_WERROR=ON -DKORVANE_SANITIZE=ON) ;;
  release) args=(-DCMAKE_BUILD_TYPE=Release) ;;
  fuzz)    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "usage: $0 [dev|ci|release|fuzz]" >&2; exit 1 ;;
esac
cmake -S . -B "build/$flavour" -G Ninja "${args[@]}" >/dev/null
if [[ $flavour == fuzz ]]; then
  cmake --build "build/$flavour" --target korvane_fuzzers
else
  cmake --build "build/$flavour"
fi
