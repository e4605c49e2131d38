#!/bin/bash
# Worker-pool cases of vorex-icapd against c-icap's echo service, both
# measured in the same run on free loopback ports:
#
#  idle   N idle connections (BENCH_IDLE, default "1000 10000") that send
#         nothing, while one client sends an OPTIONS every second on its own
#         kept connection: peak process count of each server, peak memory
#         (PSS summed over its processes, from /proc/*/smaps_rollup), the
#         active client's latency, and how many idle connections the server
#         still held at the end.
#  held   N idle keep-alive connections (BENCH_HELD, default 10000), each
#         with one OPTIONS answered, held open while 16 clients echo 1 KB
#         RESPMODs on kept connections for BENCH_HELD_SECONDS (default 10):
#         the active clients' p99 against the same run with no idle
#         connections, the peak process count, the idle connections left
#         unanswered, and vorex-icapd's connection keeper RSS per idle
#         connection.
#  reload 16 kept connections and 16 new-connection clients sending RESPMOD
#         preview 0 requests; the daemon is reloaded (SIGHUP; c-icap: its
#         "reconfigure" command) every BENCH_RELOAD_EVERY seconds: failed
#         requests (must be 0), requests retried on a new connection after
#         the server closed a kept one between requests (as proxies do),
#         and p99 latency against the same run without reloads.
#
# Environment: BUILD_DIR (default build-bench), BENCH_CASES ("idle held
# reload"), BENCH_HELD, BENCH_HELD_SECONDS, BENCH_IDLE, BENCH_IDLE_SECONDS (default 20), BENCH_RELOAD_SECONDS
# (default 10), BENCH_RELOAD_EVERY (default 2).
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/lib.sh"
BUILD=${BUILD_DIR:-$ROOT/build-bench}
CASES=${BENCH_CASES:-"idle held reload"}
HELD=${BENCH_HELD:-10000}
HELD_SECONDS=${BENCH_HELD_SECONDS:-10}
IDLE=${BENCH_IDLE:-"1000 10000"}
IDLE_SECONDS=${BENCH_IDLE_SECONDS:-20}
RELOAD_SECONDS=${BENCH_RELOAD_SECONDS:-10}
RELOAD_EVERY=${BENCH_RELOAD_EVERY:-2}
CICAP_MODULES=$(dirname "$(ls /usr/lib/*/c_icap/srv_echo.so 2>/dev/null | head -n 1)" 2>/dev/null)

cmake -S "$ROOT" -B "$BUILD" >/dev/null || exit 1
cmake --build "$BUILD" --target icap_load vorex-icapd -j2 >/dev/null || exit 1
LOAD=$BUILD/bench/icap_load
VOREX_BIN=$BUILD/vorex-icapd
# Each idle connection is a descriptor of the load generator.
ulimit -n "$(ulimit -Hn)" 2>/dev/null

TMP=$(mktemp -d /tmp/vrx_pool_bench.XXXXXX) || exit 1
VOREX_PID=
CICAP_PID=
cleanup() {
    stop_server "$VOREX_PID"
    stop_server "$CICAP_PID"
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# "processes PSS-kB" of a server now: the server and its descendants.
sample() {
    local pids
    pids=$(ps -e -o pid=,ppid= | awk -v root="$1" '
        { parent[$1] = $2 }
        END {
            for (p in parent) {
                q = p
                while (q != root && q in parent && q > 1) q = parent[q]
                if (q == root) print p
            }
        }')
    (cd /proc && awk '/^Pss:/ { n++; s += $2 } END { print n + 0, s + 0 }' \
        $(for p in $pids; do echo "$p/smaps_rollup"; done) 2>/dev/null)
}

# The RSS in kB of vorex-icapd's connection keeper (a child of PID).
keeper_rss() {
    local p
    for p in $(ps -o pid= --ppid "$1"); do
        if [ "$(cat /proc/"$p"/comm 2>/dev/null)" = vorex-keeper ]; then
            awk '/^VmRSS:/ { print $2 }' /proc/"$p"/status
            return
        fi
    done
}

# run_sampled PID ARGS...: runs the load generator and samples the server
# every half second; prints the RESULT fields and "procs=... pss_kb=...
# keeper_kb=..." with the peaks (keeper_kb: vorex-icapd's connection keeper
# RSS, 0 for other servers).
run_sampled() {
    local pid=$1
    shift
    "$LOAD" "$@" >"$TMP/out" 2>&1 &
    local load=$! peak_procs=0 peak_pss=0 peak_keeper=0 now
    while kill -0 "$load" 2>/dev/null; do
        now=$(sample "$pid")
        now=${now:-0 0}
        [ "${now% *}" -gt "$peak_procs" ] && peak_procs=${now% *}
        [ "${now#* }" -gt "$peak_pss" ] && peak_pss=${now#* }
        now=$(keeper_rss "$pid")
        [ "${now:-0}" -gt "$peak_keeper" ] && peak_keeper=$now
        sleep 0.5
    done
    wait "$load"
    cat "$TMP/out" >>"$TMP/details.log"
    echo "$(sed -n 's/^RESULT //p' "$TMP/out") procs=$peak_procs pss_kb=$peak_pss keeper_kb=$peak_keeper"
}

ms() { awk -v u="$1" 'BEGIN { if (u == "") print "-"; else printf "%.2f", u / 1000 }'; }
mb() { awk -v k="$1" 'BEGIN { if (k == "") print "-"; else printf "%.1f", k / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'; }

idle_case() {
    echo "idle connections: $IDLE_SECONDS s each, one OPTIONS a second on another kept connection;" \
        "vorex-icapd with its defaults (MaxWorkers 256, SpareWorkers 4)"
    printf '%6s | %11s | %17s %6s | %15s | %13s | %11s\n' idle "procs v/c" "PSS MB v/c" ratio \
        "p99 ms v/c" "errors v/c" "held v/c"
    for n in $IDLE; do
        local v="" c=""
        if start_vorex; then
            v=$(run_sampled "$VOREX_PID" --port "$VOREX_PORT" --service /respmod --kind options --conns 1 \
                --rate 1 --idle "$n" --duration "$IDLE_SECONDS" --timeout 30 --label "vorex idle $n")
            stop_server "$VOREX_PID"
            VOREX_PID=
        fi
        if start_cicap; then
            c=$(run_sampled "$CICAP_PID" --port "$CICAP_PORT" --service /echo --kind options --conns 1 \
                --rate 1 --idle "$n" --duration "$IDLE_SECONDS" --timeout 30 --label "c-icap idle $n")
            stop_server "$CICAP_PID"
            CICAP_PID=
        fi
        printf '%6s | %11s | %17s %6s | %15s | %13s | %11s\n' "$n" \
            "$(field procs "$v")/$(field procs "$c")" \
            "$(mb "$(field pss_kb "$v")")/$(mb "$(field pss_kb "$c")")" \
            "$(ratio "$(field pss_kb "$v")" "$(field pss_kb "$c")")" \
            "$(ms "$(field p99_us "$v")")/$(ms "$(field p99_us "$c")")" \
            "$(field errors "$v")/$(field errors "$c")" \
            "$(field idle_open "$v")/$(field idle_open "$c")"
    done
}

held_case() {
    echo "held keep-alive connections: $HELD_SECONDS s each, 16 clients echoing 1 KB on kept connections;" \
        "vorex-icapd with its defaults (MaxWorkers 256, SpareWorkers 4)"
    printf '%-7s %6s | %7s | %11s %7s | %10s | %10s | %s\n' server held procs "p99 ms" "x none" errors \
        unanswered "keeper kB (per held)"
    local server
    for server in vorex c-icap; do
        local base="" base_keeper="" n
        for n in 0 $HELD; do
            local r="" keeper="" port service pid
            if [ "$server" = vorex ]; then
                start_vorex || continue
                port=$VOREX_PORT service=/respmod pid=$VOREX_PID
            else
                start_cicap || continue
                port=$CICAP_PORT service=/echo pid=$CICAP_PID
            fi
            r=$(run_sampled "$pid" --port "$port" --service "$service" --kind echo --body 1024 --conns 16 \
                --idle "$n" --idle-served --duration "$HELD_SECONDS" --timeout 30 --label "$server held $n")
            if [ "$server" = vorex ]; then
                [ "$n" = 0 ] && base_keeper=$(field keeper_kb "$r")
                keeper="$(field keeper_kb "$r") ($(awk -v a="$(field keeper_kb "$r")" -v b="$base_keeper" -v n="$n" \
                    'BEGIN { if (n > 0 && b != "") printf "%.2f", (a - b) / n; else print "-" }'))"
            fi
            stop_server "$pid"
            VOREX_PID= CICAP_PID=
            [ "$n" = 0 ] && base=$(field p99_us "$r")
            printf '%-7s %6s | %7s | %11s %7s | %10s | %10s | %s\n' "$server" "$n" "$(field procs "$r")" \
                "$(ms "$(field p99_us "$r")")" "$(ratio "$(field p99_us "$r")" "$base")" \
                "$(field errors "$r")" "$(field idle_unanswered "$r")" "${keeper:--}"
        done
    done
}

# reload_run PORT SERVICE PID RELOAD-COMMAND MODE: RESULT fields of a run,
# reloading with the command every RELOAD_EVERY seconds (none when empty).
reload_run() {
    local port=$1 service=$2 mode=$3 command=$4
    local args="--kind preview --preview 0 --body 0 --conns 16 --duration $RELOAD_SECONDS"
    [ "$mode" = new ] && args="$args --new-conn"
    "$LOAD" --port "$port" --service "$service" $args --label "$mode ${command:-steady}" >"$TMP/out" 2>&1 &
    local load=$!
    if [ -n "$command" ]; then
        local t=0
        while [ "$t" -lt "$RELOAD_SECONDS" ]; do
            sleep "$RELOAD_EVERY"
            t=$((t + RELOAD_EVERY))
            kill -0 "$load" 2>/dev/null && eval "$command"
        done
    fi
    wait "$load"
    cat "$TMP/out" >>"$TMP/details.log"
    sed -n 's/^RESULT //p' "$TMP/out"
}

reload_case() {
    echo "reload under load: 16 clients, RESPMOD preview 0, $RELOAD_SECONDS s, a reload every $RELOAD_EVERY s"
    printf '%-9s %-7s | %9s %9s | %15s | %15s | %11s\n' server mode "req/s" "steady/s" \
        "p99 ms rel/std" "errors rel/std" "retried"
    start_vorex
    start_cicap
    local ctl=$TMP/c-icap/c-icap.ctl
    for mode in kept new; do
        for server in vorex c-icap; do
            local port service command pid
            if [ "$server" = vorex ]; then
                port=${VOREX_PORT:-} service=/respmod pid=$VOREX_PID command="kill -HUP $VOREX_PID"
            else
                port=${CICAP_PORT:-} service=/echo pid=$CICAP_PID command="echo -n reconfigure >$ctl"
            fi
            [ -n "$pid" ] || continue
            local steady reloading
            steady=$(reload_run "$port" "$service" "$mode" "")
            reloading=$(reload_run "$port" "$service" "$mode" "$command")
            printf '%-9s %-7s | %9s %9s | %15s | %15s | %11s\n' "$server" "$mode" \
                "$(field rps "$reloading")" "$(field rps "$steady")" \
                "$(ms "$(field p99_us "$reloading")")/$(ms "$(field p99_us "$steady")")" \
                "$(field errors "$reloading")/$(field errors "$steady")" \
                "$(field retried "$reloading")"
        done
    done
    stop_server "$VOREX_PID"
    stop_server "$CICAP_PID"
    VOREX_PID=
    CICAP_PID=
}

echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores"
for kase in $CASES; do
    "${kase}_case"
done
if [ -n "${BENCH_DETAILS:-}" ]; then
    cp "$TMP/details.log" "$BENCH_DETAILS"
fi
