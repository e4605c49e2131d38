#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit and
# integration tests under CTest (plain, then with the sanitizers), then each
# fuzzer for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
# The src/ folders form layers: no folder may depend on one that depends on it.
scripts/check_layers.py
scripts/build.sh
(cd build && ctest --output-on-failure -j"$(nproc)" --timeout 600)
# The unit and integration tests once more, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (the daemon they start included). The Debian
# package test is left out: it compiles its own uninstrumented build and
# installs it, which the first run has done already.
BUILD_DIR=build-asan scripts/build.sh -DVRX_SANITIZE=ON
(cd build-asan &&
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=0} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
  ctest --output-on-failure -j"$(nproc)" --timeout 1200 -E '^debian_package$')
if command -v clang++ >/dev/null 2>&1; then
  scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
else
  echo "fuzz: clang++ not found, fuzzers skipped"
fi
