#!/bin/bash
# Benchmarks bodies scanned by one private clamd: vorex-icapd (ClamdAddress
# on clamd's local socket) against c-icap's virus_scan service with
# clamd_mod, and against clamd alone (clamd_direct: INSTREAM from memory in
# one session per connection). RESPMOD with full bodies, every body
# different (clamd caches clean results by content), echoed back. Also
# vorex-icapd with ClamdStream = yes, and clamd alone by FILDES, to compare
# descriptor passing and streaming on the local socket.
#
# Environment: BUILD_DIR (default build-bench in the checkout),
# BENCH_DURATION seconds per case (default 5), BENCH_SIZES (bytes, default
# "4096 1048576 20971520"), BENCH_CONNS (default "1 4 16"), BENCH_ROUNDS
# (default 1): with more, vorex-icapd, c-icap and clamd alone are measured
# that many times per cell, taking turns to go first, and each one's median
# round is shown (the streaming variant is measured once).
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/lib.sh"
BUILD=${BUILD_DIR:-$ROOT/build-bench}
DURATION=${BENCH_DURATION:-5}
SIZES=${BENCH_SIZES:-"4096 1048576 20971520"}
CONNS=${BENCH_CONNS:-"1 4 16"}
ROUNDS=${BENCH_ROUNDS:-1}
CICAP_MODULES=$(dirname "$(ls /usr/lib/*/c_icap/virus_scan.so 2>/dev/null | head -n 1)" 2>/dev/null)

command -v clamd >/dev/null || { echo "clamd is not installed (clamav-daemon)" >&2; exit 1; }
cmake -S "$ROOT" -B "$BUILD" >/dev/null || exit 1
cmake --build "$BUILD" --target icap_load clamd_direct vorex-icapd -j2 >/dev/null || exit 1
LOAD=$BUILD/bench/icap_load
DIRECT=$BUILD/bench/clamd_direct

TMP=$(mktemp -d /tmp/vrx_clamd_bench.XXXXXX) || exit 1
CLAMD_PID=
VOREX_PID=
CICAP_PID=
cleanup() {
    stop_server "$VOREX_PID"
    stop_server "$CICAP_PID"
    stop_server "$CLAMD_PID"
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

SOCKET=$TMP/clamd/clamd.sock
start_clamd() {
    local dir=$TMP/clamd
    mkdir -p "$dir/db"
    local eicar='X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*'
    echo "44d88612fea8a8f36de82e1278abb02f:68:Test.EICAR.HDB" >"$dir/db/test.hdb"
    echo "Test.EICAR.NDB:0:*:$(printf '%s' "$eicar" | od -An -tx1 | tr -d ' \n')" >"$dir/db/test.ndb"
    cat >"$dir/clamd.conf" <<EOF
LocalSocket $SOCKET
FixStaleSocket yes
PidFile $dir/clamd.pid
DatabaseDirectory $dir/db
TemporaryDirectory $dir
LogFile $dir/clamd.log
Foreground yes
MaxThreads 20
MaxQueue 200
Bytecode no
StreamMaxLength 100M
MaxFileSize 100M
MaxScanSize 400M
AlertExceedsMax yes
EOF
    clamd --foreground -c "$dir/clamd.conf" >"$dir/stdout" 2>&1 &
    CLAMD_PID=$!
    for _ in $(seq 200); do
        [ -S "$SOCKET" ] && return 0
        alive "$CLAMD_PID" || break
        sleep 0.05
    done
    echo "clamd did not start" >&2
    tail -n 5 "$dir/clamd.log" >&2
    return 1
}

# start_vorex NAME [LINES]
start_vorex() {
    local dir=$TMP/$1
    VOREX_PORT=$("$LOAD" --free-port) || return 1
    vorex_config "$dir" "$VOREX_PORT" "LogLevel = 0
ClamdAddress = local:$SOCKET
${2:-}"
    launch_vorex "$BUILD/vorex-icapd" "$dir"
    VOREX_PID=$!
    started vorex-icapd "$VOREX_PID" "$VOREX_PORT" "$dir/stderr" "$dir/icapd.log" || { VOREX_PID=; return 1; }
}

# Both servers must really scan: random bytes with EICAR inside come back
# as a block page, not echoed.
check_scans() {
    local port=$1 service=$2 name=$3 file=$TMP/sample.bin
    head -c 100000 /dev/urandom >"$file"
    printf '%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*' >>"$file"
    head -c 100000 /dev/urandom >>"$file"
    local out
    out=$(timeout 60 c-icap-client -i 127.0.0.1 -p "$port" -s "${service#/}" -f "$file" -o "$TMP/out.bin" -no204 2>&1)
    if cmp -s "$file" "$TMP/out.bin"; then
        echo "warning: $name echoed a body with EICAR inside: it does not scan" >&2
    fi
}

# measure PORT SERVICE SIZE CONNS: the RESULT fields of one run.
measure() {
    local out
    out=$(timeout 600 "$LOAD" --port "$1" --service "$2" --kind echo --body "$3" --conns "$4" \
        --duration "$DURATION" --vary --timeout 120 --grace 120 2>&1)
    echo "$out" >>"$TMP/details.log"
    echo "$out" | sed -n 's/^RESULT //p'
}

direct() {
    "$DIRECT" --socket "$SOCKET" --body "$1" --conns "$2" --duration "$DURATION" --mode "$3" \
        --dir "$TMP" | sed -n 's/^RESULT //p'
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'
}

start_clamd || exit 1
start_vorex vorex || exit 1
check_scans "$VOREX_PORT" /respmod vorex-icapd
# Every body scanned whatever its type and size, answered only when scanned
# (no percentage sent early), as vorex-icapd does.
start_cicap "Module common clamd_mod.so
clamd_mod.ClamdSocket $SOCKET
Service virus_scan virus_scan.so
virus_scan.ScanFileTypes TEXT DATA EXECUTABLE ARCHIVE GIF JPEG MSOFFICE
virus_scan.SendPercentData 0
virus_scan.MaxObjectSize 100M
virus_scan.DefaultEngine clamd" || { echo "c-icap with virus_scan is not available" >&2; exit 1; }
check_scans "$CICAP_PORT" /virus_scan c-icap

printf '%-9s %5s %9s %9s %6s %9s %9s %6s %9s %9s %6s %9s %9s\n' body conns "vorex/s" "c-icap/s" ratio \
    "vorex MB" "c-icap MB" ratio "clamd MB" "fildes MB" "/clamd" "vx-strm MB" "fildes/strm"
for size in $SIZES; do
    for conns in $CONNS; do
        v_rounds=()
        c_rounds=()
        d_rounds=()
        f_rounds=()
        for round in $(seq "$ROUNDS"); do
            if [ $((round % 2)) = 1 ]; then
                v_rounds+=("$(measure "$VOREX_PORT" /respmod "$size" "$conns")")
                c_rounds+=("$(measure "$CICAP_PORT" /virus_scan "$size" "$conns")")
                d_rounds+=("$(direct "$size" "$conns" instream)")
                f_rounds+=("$(direct "$size" "$conns" fildes)")
            else
                f_rounds+=("$(direct "$size" "$conns" fildes)")
                d_rounds+=("$(direct "$size" "$conns" instream)")
                c_rounds+=("$(measure "$CICAP_PORT" /virus_scan "$size" "$conns")")
                v_rounds+=("$(measure "$VOREX_PORT" /respmod "$size" "$conns")")
            fi
        done
        v=$(median_result mbps "${v_rounds[@]}")
        c=$(median_result mbps "${c_rounds[@]}")
        d=$(median_result mbps "${d_rounds[@]}")
        f=$(median_result mbps "${f_rounds[@]}")
        # vorex-icapd streaming over the same socket (bodies in memory are
        # streamed anyway).
        stop_server "$VOREX_PID"
        start_vorex vorex_stream "ClamdStream = yes" || exit 1
        s=$(measure "$VOREX_PORT" /respmod "$size" "$conns")
        stop_server "$VOREX_PID"
        start_vorex vorex || exit 1
        for r in "$v" "$c" "$s"; do
            e=$(field errors "$r")
            [ "${e:-0}" = 0 ] || echo "warning: errors=$e in $size/$conns" >&2
        done
        best=$(awk -v a="$(field mbps "$d")" -v b="$(field mbps "$f")" 'BEGIN { print (a > b ? a : b) }')
        printf '%-9s %5s %9s %9s %6s %9s %9s %6s %9s %9s %6s %9s %9s\n' "$size" "$conns" \
            "$(field rps "$v")" "$(field rps "$c")" "$(ratio "$(field rps "$v")" "$(field rps "$c")")" \
            "$(field mbps "$v")" "$(field mbps "$c")" "$(ratio "$(field mbps "$v")" "$(field mbps "$c")")" \
            "$best" "$(field mbps "$f")" "$(ratio "$(field mbps "$v")" "$best")" \
            "$(field mbps "$s")" "$(ratio "$(field mbps "$v")" "$(field mbps "$s")")"
    done
done
