#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit and
# integration tests under CTest, then each fuzzer for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
scripts/build.sh
(cd build && ctest --output-on-failure -j"$(nproc)" --timeout 600)
if command -v clang++ >/dev/null 2>&1; then
  scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
else
  echo "fuzz: clang++ not found, fuzzers skipped"
fi
