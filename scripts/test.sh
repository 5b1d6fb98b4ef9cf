#!/usr/bin/env bash
# Builds everything and runs every test. Usage: scripts/test.sh [build-dir] [cmake options...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 300
