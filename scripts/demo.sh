#!/usr/bin/env bash
# Builds the command-line program and runs its demo on the built-in simulated reader.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vx7
exec build/tools/vx7 demo "$@"
