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
BUILD=${BUILD_DIR:-$ROOT/build-bench}
DURATION=${BENCH_DURATION:-5}
SIZES=${BENCH_SIZES:-"1048576 104857600"}

cmake -S "$ROOT" -B "$BUILD" >/dev/null || exit 1
cmake --build "$BUILD" --target icap_load vorex-icapd vorexd_standin -j2 >/dev/null || exit 1
LOAD=$BUILD/bench/icap_load

TMP=$(mktemp -d /tmp/vrx_scan_bench.XXXXXX) || exit 1
ICAPD_PID=
SCANNER_PID=

stop() {
    local pid=$1
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

cleanup() {
    stop "$ICAPD_PID"
    stop "$SCANNER_PID"
    rm -rf "$TMP"
}
trap cleanup EXIT

# start MODE: none, path or stream.
start() {
    local mode=$1 dir=$TMP/$1
    mkdir -p "$dir/cache" "$dir/uwl"
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
    cat >"$dir/vorex-icapd.ini" <<INI
LogFile = $dir/icapd.log
LogLevel = 0
User = $(id -un)
Cache = $dir/cache/
UwlDirectory = $dir/uwl/
PidFile = $dir/icapd.pid
Templates = $ROOT/conf/templates
BindAddress = 127.0.0.1
BindPort = $port
$scan
INI
    "$BUILD/vorex-icapd" -m -f "$dir/vorex-icapd.ini" >"$dir/stdout" 2>"$dir/stderr" </dev/null &
    ICAPD_PID=$!
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && { PORT=$port; return 0; }
        sleep 0.1
    done
    echo "vorex-icapd did not start ($mode)" >&2
    return 1
}

field() {
    echo "$2" | tr ' ' '\n' | sed -n "s/^$1=//p"
}

printf '%-7s %-10s %10s %10s %14s %14s\n' mode body "req/s" "MB/s" "p50 ms" "scan ms"
for size in $SIZES; do
    base=
    for mode in none path stream; do
        start "$mode" || exit 1
        out=$(timeout 600 "$LOAD" --port "$PORT" --service /respmod --kind echo --body "$size" \
            --conns 1 --duration "$DURATION" --label "$mode" 2>&1)
        line=$(echo "$out" | sed -n 's/^RESULT //p')
        stop "$ICAPD_PID"; ICAPD_PID=
        stop "$SCANNER_PID"; SCANNER_PID=
        rps=$(field rps "$line"); mbs=$(field mbps "$line"); lat=$(field p50_us "$line")
        errors=$(field errors "$line")
        [ "$mode" = none ] && base=$lat
        scan=$(awk -v l="$lat" -v b="$base" 'BEGIN { if (l == "" || b == "") print "-"; else printf "%.2f", (l - b) / 1000 }')
        printf '%-7s %-10s %10s %10s %14s %14s%s\n' "$mode" "$size" "${rps:--}" "${mbs:--}" \
            "$(awk -v u="$lat" 'BEGIN { if (u == "") print "-"; else printf "%.2f", u / 1000 }')" \
            "$scan" "$([ "${errors:-0}" != 0 ] && echo "  errors=$errors")"
    done
done
