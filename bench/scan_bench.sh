#!/bin/bash
# Benchmarks RESPMOD bodies scanned clean by the stand-in scanner: no
# scanning, path mode (the scanner reads the body file) and stream mode (the
# body goes through the scanner's socket), for 1 MB and 100 MB bodies, one
# connection. Prints requests/s, MB/s, median latency and the scan's share
# (median latency minus the median without scanning).
#
# Environment: BUILD_DIR (default build-bench in the checkout),
# BENCH_DURATION seconds per case (default 5), BENCH_SIZES (bytes, default
# "1048576 104857600").
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/lib.sh"
BUILD=${BUILD_DIR:-$ROOT/build-bench}
DURATION=${BENCH_DURATION:-5}
SIZES=${BENCH_SIZES:-"1048576 104857600"}

cmake -S "$ROOT" -B "$BUILD" >/dev/null || exit 1
cmake --build "$BUILD" --target icap_load vorex-icapd vorexd_standin -j2 >/dev/null || exit 1
LOAD=$BUILD/bench/icap_load

TMP=$(mktemp -d /tmp/vrx_scan_bench.XXXXXX) || exit 1
ICAPD_PID=
SCANNER_PID=

cleanup() {
    stop_server "$ICAPD_PID"
    stop_server "$SCANNER_PID"
    rm -rf "$TMP"
}
trap cleanup EXIT

# start MODE: none, path or stream.
start() {
    local mode=$1 dir=$TMP/$1
    mkdir -p "$dir"
    local port
    port=$("$LOAD" --free-port) || return 1
    local scan=""
    if [ "$mode" != none ]; then
        "$BUILD/tools/vorexd_standin" --local "$dir/scanner.sock" --pid-file "$dir/scanner.pid" \
            >/dev/null 2>&1 &
        SCANNER_PID=$!
        for _ in $(seq 100); do [ -e "$dir/scanner.pid" ] && break; sleep 0.05; done
        scan="VorexAddress = local:$dir/scanner.sock
LocalScan = $([ "$mode" = path ] && echo yes || echo no)"
    fi
    vorex_config "$dir" "$port" "LogLevel = 0
$scan"
    launch_vorex "$BUILD/vorex-icapd" "$dir"
    ICAPD_PID=$!
    wait_ready "$ICAPD_PID" "$port" && { PORT=$port; return 0; }
    echo "vorex-icapd did not start ($mode)" >&2
    return 1
}

printf '%-7s %-10s %10s %10s %14s %14s\n' mode body "req/s" "MB/s" "p50 ms" "scan ms"
for size in $SIZES; do
    base=
    for mode in none path stream; do
        start "$mode" || exit 1
        out=$(timeout 600 "$LOAD" --port "$PORT" --service /respmod --kind echo --body "$size" \
            --conns 1 --duration "$DURATION" --label "$mode" 2>&1)
        line=$(echo "$out" | sed -n 's/^RESULT //p')
        stop_server "$ICAPD_PID"; ICAPD_PID=
        stop_server "$SCANNER_PID"; SCANNER_PID=
        rps=$(field rps "$line"); mbs=$(field mbps "$line"); lat=$(field p50_us "$line")
        errors=$(field errors "$line")
        [ "$mode" = none ] && base=$lat
        scan=$(awk -v l="$lat" -v b="$base" 'BEGIN { if (l == "" || b == "") print "-"; else printf "%.2f", (l - b) / 1000 }')
        printf '%-7s %-10s %10s %10s %14s %14s%s\n' "$mode" "$size" "${rps:--}" "${mbs:--}" \
            "$(awk -v u="$lat" 'BEGIN { if (u == "") print "-"; else printf "%.2f", u / 1000 }')" \
            "$scan" "$([ "${errors:-0}" != 0 ] && echo "  errors=$errors")"
    done
done
