#!/bin/bash
# Benchmarks vorex-icapd against c-icap's echo service in the same run, both
# on free loopback ports, and prints one table row per case and connection
# count with the ratio vorex / c-icap.
#
# With BENCH_PEER=monitoring the peer is vorex-icapd itself with the access
# log and the metrics endpoint off, and the measured daemon has both on
# (/metrics scraped every second): the ratio is the cost of monitoring.
#
# Environment: BUILD_DIR (default build-bench in the checkout),
# BENCH_DURATION seconds per case (default 3), BENCH_CONNS (default
# "1 4 16 64"), BENCH_CASES (default: every case below), BENCH_PEER
# (c-icap, the default, or monitoring), BENCH_ROUNDS (default 1): with
# more, each cell is measured that many times, the two servers taking turns
# to go first, and the row shows each server's median round, which keeps a
# passing disturbance of the machine out of the ratio.
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/lib.sh"
BUILD=${BUILD_DIR:-$ROOT/build-bench}
DURATION=${BENCH_DURATION:-3}
CONNS=${BENCH_CONNS:-"1 4 16 64"}
CASES=${BENCH_CASES:-"options options_new preview0 preview0_new preview1k echo1k echo1m echo100m"}
PEER=${BENCH_PEER:-c-icap}
ROUNDS=${BENCH_ROUNDS:-1}
CICAP_MODULES=$(dirname "$(ls /usr/lib/*/c_icap/srv_echo.so 2>/dev/null | head -n 1)" 2>/dev/null)

cmake -S "$ROOT" -B "$BUILD" >/dev/null || exit 1
cmake --build "$BUILD" --target icap_load -j2 >/dev/null || exit 1
LOAD=$BUILD/bench/icap_load
VOREX_BIN=$BUILD/vorex-icapd
if ! cmake --build "$BUILD" --target vorex-icapd -j2 >/dev/null 2>&1; then
    echo "warning: vorex-icapd does not build; only c-icap is measured" >&2
    VOREX_BIN=
fi

TMP=$(mktemp -d /tmp/vrx_bench.XXXXXX) || exit 1
VOREX_PID=
CICAP_PID=
SCRAPER_PID=

cleanup() {
    [ -z "$SCRAPER_PID" ] || kill "$SCRAPER_PID" 2>/dev/null
    stop_server "$VOREX_PID"
    stop_server "$CICAP_PID"
    VOREX_PID=
    CICAP_PID=
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Arguments of the load generator per case, and whether the case carries
# bodies (its worker RSS is shown).
case_args() {
    case $1 in
    options) echo "--kind options" ;;
    options_new) echo "--kind options --new-conn" ;;
    preview0) echo "--kind preview --preview 0 --body 0" ;;
    preview0_new) echo "--kind preview --preview 0 --body 0 --new-conn" ;;
    preview1k) echo "--kind preview --preview 1024 --body 65536" ;;
    echo1k) echo "--kind echo --body 1024" ;;
    echo1m) echo "--kind echo --body 1048576" ;;
    echo100m) echo "--kind echo --body 104857600 --timeout 120 --grace 120" ;;
    esac
}

has_body() {
    case $1 in options|options_new) return 1 ;; esac
    return 0
}

# Runs one measurement; prints the RESULT fields or nothing.
measure() {
    local port=$1 pid=$2 service=$3 kase=$4 conns=$5
    [ -n "$pid" ] || return 0
    local out
    # The generator ends by itself; the outer limit only guards a wedge.
    out=$(timeout 300 "$LOAD" --port "$port" --service "$service" --conns "$conns" \
        --duration "$DURATION" --watch-pid "$pid" --label "$kase" $(case_args "$kase") 2>&1)
    echo "$out" >>"$TMP/details.log"
    echo "$out" | sed -n 's/^RESULT //p'
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'
}

# Share of 204 replies in percent.
share_204() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (a + b == 0) print "-"; else printf "%.0f", 100 * b / (a + b) }'
}

ms() {
    awk -v u="$1" 'BEGIN { if (u == "") print "-"; else printf "%.2f", u / 1000 }'
}

# The peer of monitoring: the same daemon with both off, in a folder of its
# own, on the same service path.
start_monitoring_pair() {
    TMP=$TMP/plain start_vorex || return 1
    CICAP_PID=$VOREX_PID
    CICAP_PORT=$VOREX_PORT
    METRICS_PORT=$("$LOAD" --free-port) || return 1
    start_vorex "AccessLog = $TMP/vorex/access.log
MetricsAddress = inet:$METRICS_PORT@127.0.0.1" || return 1
    (while sleep 1; do curl -s -o /dev/null "http://127.0.0.1:$METRICS_PORT/metrics"; done) &
    SCRAPER_PID=$!
}

if [ "$PEER" = monitoring ]; then
    start_monitoring_pair
    PEER_LABEL=plain
    PEER_SERVICE=/respmod
else
    start_vorex
    start_cicap
    PEER_LABEL=c-icap
    PEER_SERVICE=/echo
fi
if [ -z "$VOREX_PID" ] && [ -z "$CICAP_PID" ]; then
    echo "no server could be started" >&2
    exit 1
fi

echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, ${DURATION} s per case, median of $ROUNDS round(s);" \
    "ratio of req/s (of MB/s for echo cases); MB = 10^6 body bytes received; latency p50/p90/p99 in ms; 204% = share of 204 replies;" \
    "RSS = peak VmHWM of a worker in kB"
printf '%-12s %5s | %9s %9s %6s | %8s %8s | %-20s %-20s | %9s | %8s | %13s\n' \
    case conns "vorex/s" "$PEER_LABEL/s" ratio "vorex MB" "$PEER_LABEL MB" "vorex latency" "$PEER_LABEL latency" \
    "errors v/c" "204% v/c" "RSS v/c"
for kase in $CASES; do
    for conns in $CONNS; do
        # Echoed bodies compare by throughput, everything else by rate.
        ratio_of=rps
        case $kase in echo*) ratio_of=mbps ;; esac
        v_rounds=()
        c_rounds=()
        for round in $(seq "$ROUNDS"); do
            if [ $((round % 2)) = 1 ]; then
                v_rounds+=("$(measure "${VOREX_PORT:-0}" "$VOREX_PID" /respmod "$kase" "$conns")")
                c_rounds+=("$(measure "${CICAP_PORT:-0}" "$CICAP_PID" "$PEER_SERVICE" "$kase" "$conns")")
            else
                c_rounds+=("$(measure "${CICAP_PORT:-0}" "$CICAP_PID" "$PEER_SERVICE" "$kase" "$conns")")
                v_rounds+=("$(measure "${VOREX_PORT:-0}" "$VOREX_PID" /respmod "$kase" "$conns")")
            fi
        done
        v=$(median_result "$ratio_of" "${v_rounds[@]}")
        c=$(median_result "$ratio_of" "${c_rounds[@]}")
        rss="-"
        replies_204="-"
        case $kase in preview*)
            replies_204="$(share_204 "$(field n200 "$v")" "$(field n204 "$v")")/$(share_204 "$(field n200 "$c")" "$(field n204 "$c")")" ;;
        esac
        if has_body "$kase"; then
            rss="$(field rss_kb "$v")/$(field rss_kb "$c")"
        fi
        printf '%-12s %5s | %9s %9s %6s | %8s %8s | %-20s %-20s | %9s | %8s | %13s\n' \
            "$kase" "$conns" "$(field rps "$v")" "$(field rps "$c")" \
            "$(ratio "$(field $ratio_of "$v")" "$(field $ratio_of "$c")")" \
            "$(field mbps "$v")" "$(field mbps "$c")" \
            "$(ms "$(field p50_us "$v")")/$(ms "$(field p90_us "$v")")/$(ms "$(field p99_us "$v")")" \
            "$(ms "$(field p50_us "$c")")/$(ms "$(field p90_us "$c")")/$(ms "$(field p99_us "$c")")" \
            "$(field errors "$v")/$(field errors "$c")" \
            "$replies_204" "$rss"
        # A server that died is reported once and left out of later rows.
        if [ -n "$VOREX_PID" ] && ! alive "$VOREX_PID"; then
            echo "warning: vorex-icapd ended during $kase/$conns" >&2
            VOREX_PID=
        fi
        if [ -n "$CICAP_PID" ] && ! alive "$CICAP_PID"; then
            echo "warning: $PEER_LABEL ended during $kase/$conns" >&2
            CICAP_PID=
        fi
    done
done
if [ -n "${BENCH_DETAILS:-}" ]; then
    cp "$TMP/details.log" "$BENCH_DETAILS"
fi
