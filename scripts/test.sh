#!/usr/bin/env bash
# Installs what is missing, builds with the sanitizers, runs every test, then runs each fuzz
# target briefly. This is what CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh ci
ctest --test-dir build/ci --output-on-failure --timeout 600 -j "$(nproc)"
bash scripts/build.sh fuzz
ctest --test-dir build/fuzz -L fuzz --output-on-failure --timeout 600 -j "$(nproc)"
