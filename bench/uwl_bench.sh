#!/bin/bash
# Measures the URL category filter with a list file of KEYS URL keys
# (default one million): load time, resident memory, lookups per second.
#
# Environment: BUILD_DIR (default build-bench in the checkout).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" --target uwl_bench -j2 >/dev/null
exec "$BUILD/tools/uwl_bench" "${1:-1000000}"
