#!/bin/sh
# Builds the libFuzzer targets of the smart card library with clang and runs
# each for a bounded time: tests/fuzz/run.sh [SECONDS] (default 60, shared
# between the targets). Exit status is non-zero when a fuzzer finds a fault;
# the reproducer is left in the build directory's fuzz-artifacts/.
set -eu
seconds=${1:-60}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VX7_FUZZ_BUILD:-$root/build-fuzz}
targets="atr_fuzz t1_fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DVX7_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target $targets -j2 >/dev/null

per=$((seconds / 2))
[ "$per" -ge 1 ] || per=1
mkdir -p "$build/fuzz-artifacts"
for target in $targets; do
  corpus="$build/fuzz-corpus/$target"
  mkdir -p "$corpus"
  echo "== $target for ${per}s"
  "$build/platform/smclib/$target" -max_total_time="$per" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/$target-" "$corpus" "$root/platform/smclib/fuzz/seeds/$target"
done
