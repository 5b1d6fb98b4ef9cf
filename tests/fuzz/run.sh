#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time.
# Usage: tests/fuzz/run.sh [build-dir] [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=${1:-build/fuzz}
seconds=${2:-30}
cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVX7_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=$(sed -n 's/^vx7_fuzzer(\([a-z0-9_]*\).*/\1/p' tests/fuzz/CMakeLists.txt)
cmake --build "$dir" -j"$(nproc)" --target $targets
for t in $targets; do
  echo "fuzzing $t for ${seconds}s"
  mkdir -p "$dir/corpus/$t"
  "$dir/tests/fuzz/$t" -max_total_time="$seconds" -max_len=4096 -print_final_stats=0 "$dir/corpus/$t" 2>&1 | tail -n 3
done
