#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS
# (default 60), seeded from tests/fuzz/corpus/<target>.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build_dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVRX_BUILD_TESTS=OFF -DVRX_BUILD_FUZZERS=ON -DVRX_FUZZ_BUILD=ON >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
shopt -s nullglob
for fuzzer in "$build_dir"/tests/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  corpus=$(mktemp -d)
  seeds=tests/fuzz/corpus/$name
  echo "fuzz: $name for ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$corpus" $( [ -d "$seeds" ] && echo "$seeds" ) 2>&1 | tail -n 15
  rm -rf "$corpus"
done
