#!/bin/bash
# Soak under faults (not part of CI): 16 clients download and upload a mix
# of 1 KB to 20 MB bodies, 5 % of them infected, through Squid and
# vorex-icapd scanning with a private clamd, while the daemon is reloaded
# every 10 s, a worker is killed (SIGKILL) every 5 s, clamd is restarted
# every 60 s and the Cache folder (a small tmpfs) is filled once for 10 s.
# Prints the requests done, clean transfers intact (sha256), infected ones
# delivered whole, failures with their reasons (and whether they fell into
# a clamd or cache-full window), and the daemon's descriptors, summed RSS
# and files in Cache at the start and at the end.
#
# Environment: SOAK_SECONDS (default 600), SOAK_CLIENTS (default 16),
# BUILD_DIR (default build-bench in the checkout), SOAK_KEEP (a folder that
# receives the logs, the transfers and the fault windows at the end). Needs root (Squid's user
# switch, the tmpfs), squid, clamd, clamdscan and curl.
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/lib.sh"
BUILD=${BUILD_DIR:-$ROOT/build-bench}
SECONDS_TOTAL=${SOAK_SECONDS:-600}
CLIENTS=${SOAK_CLIENTS:-16}

for tool in squid clamd clamdscan curl sha256sum; do
    command -v "$tool" >/dev/null || { echo "soak: $tool is not installed" >&2; exit 1; }
done
[ "$(id -u)" = 0 ] || { echo "soak: needs root (Squid's user, the Cache tmpfs)" >&2; exit 1; }

cmake -S "$ROOT" -B "$BUILD" >/dev/null || exit 1
cmake --build "$BUILD" --target icap_load squid_origin vorex-icapd -j2 >/dev/null || exit 1
LOAD=$BUILD/bench/icap_load

TMP=$(mktemp -d /tmp/vrx_soak.XXXXXX) || exit 1
chmod 755 "$TMP"
PIDS=()
CLAMD_PID=
cleanup() {
    local i
    if [ -n "${SOAK_KEEP:-}" ]; then
        mkdir -p "$SOAK_KEEP" &&
            cp "$TMP"/vorex/icapd.log "$TMP"/squid/cache.log "$TMP"/clamd/clamd.log "$TMP"/windows "$TMP"/results* \
                "$SOAK_KEEP"/ 2>/dev/null
    fi
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop_server "${PIDS[i]}"; done
    stop_server "$CLAMD_PID"
    # The fault loop restarts clamd in a subshell: its pid is in the pid file.
    stop_server "$(cat "$TMP/clamd/clamd.pid" 2>/dev/null)"
    umount -l "$TMP/vorex/cache" 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Bodies: 1 KB to 20 MB, clean, and infected ones with EICAR at their end.
EICAR='X5O!P%@AP[4\PZX54(P^)7CC)7}$'"EICAR-STANDARD-ANTIVIRUS-TEST-FILE!\$H+H*"
mkdir -p "$TMP/www"
pages=("/upload=$TMP/www/stored")
echo stored >"$TMP/www/stored"
SIZES=(1000 10000 100000 1000000 5000000 20000000)
for size in "${SIZES[@]}"; do
    head -c "$size" /dev/urandom >"$TMP/www/clean$size"
    { head -c $((size - ${#EICAR})) /dev/urandom; printf '%s' "$EICAR"; } >"$TMP/www/infected$size"
    pages+=("/clean$size=$TMP/www/clean$size" "/infected$size=$TMP/www/infected$size")
done
(cd "$TMP/www" && sha256sum clean* infected* >"$TMP/sums")

"$BUILD/bench/squid_origin" "${pages[@]}" >"$TMP/origin.port" &
PIDS+=($!)
for _ in $(seq 100); do [ -s "$TMP/origin.port" ] && break; sleep 0.1; done
ORIGIN_PORT=$(cat "$TMP/origin.port")
[ -n "$ORIGIN_PORT" ] || { echo "soak: the origin did not start" >&2; exit 1; }

# clamd, restarted by the fault loop.
mkdir -p "$TMP/clamd/db"
echo "Soak.EICAR:0:*:$(printf '%s' "$EICAR" | od -An -tx1 | tr -d ' \n')" >"$TMP/clamd/db/soak.ndb"
cat >"$TMP/clamd/clamd.conf" <<EOF
LocalSocket $TMP/clamd/clamd.sock
FixStaleSocket yes
PidFile $TMP/clamd/clamd.pid
DatabaseDirectory $TMP/clamd/db
TemporaryDirectory $TMP/clamd
Foreground yes
LogFile $TMP/clamd/clamd.log
MaxThreads 8
Bytecode no
StreamMaxLength 25M
MaxFileSize 25M
MaxScanSize 100M
EOF
start_clamd() {
    clamd --foreground -c "$TMP/clamd/clamd.conf" >/dev/null 2>&1 &
    CLAMD_PID=$!
    for _ in $(seq 200); do
        clamdscan --config-file="$TMP/clamd/clamd.conf" --ping 1 >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}
start_clamd || { echo "soak: clamd did not start" >&2; exit 1; }

# vorex-icapd; its Cache folder is a tmpfs, so that filling it touches no
# other disk, with room for a body and a copy of it for every client: the
# folder is full only while the fault loop fills it.
mkdir -p "$TMP/vorex/cache"
mount -t tmpfs -o size=$((CLIENTS * 2 * 20 + 64))m tmpfs "$TMP/vorex/cache" || { echo "soak: cannot mount the Cache tmpfs" >&2; exit 1; }
VOREX_PORT=$("$LOAD" --free-port) || exit 1
vorex_config "$TMP/vorex" "$VOREX_PORT" "LogLevel = 1
ClamdAddress = local:$TMP/clamd/clamd.sock
Infected = report
MaxWorkers = 24
Timeout = 30"
launch_vorex "$BUILD/vorex-icapd" "$TMP/vorex"
VOREX_PID=$!
PIDS+=("$VOREX_PID")
started vorex-icapd "$VOREX_PID" "$VOREX_PORT" "$TMP/vorex/stderr" "$TMP/vorex/icapd.log" || exit 1

mkdir -p "$TMP/squid"
SQUID_PORT=$("$LOAD" --free-port) || exit 1
cat >"$TMP/squid/squid.conf" <<EOF
http_port 127.0.0.1:$SQUID_PORT
http_access allow localhost
http_access deny all
cache deny all
pid_filename $TMP/squid/squid.pid
access_log none
cache_log $TMP/squid/cache.log
cache_store_log none
coredump_dir $TMP/squid
pinger_enable off
shutdown_lifetime 1 seconds
cache_effective_user proxy
request_body_max_size 0
icap_enable on
icap_preview_enable on
icap_preview_size 1024
icap_persistent_connections on
# Every failure is counted here, none hidden by a suspended service.
icap_service_failure_limit -1
# Squid 5.7 takes a full request buffer (512 KB by default, reached when
# the ICAP side reads an upload more slowly than the client sends it) for
# the client's end of file and drops the upload unanswered; room for a
# whole body keeps that peer fault out of the figures.
client_request_buffer_max_size 64 MB
icap_service svc_resp respmod_precache icap://127.0.0.1:$VOREX_PORT/respmod bypass=0
icap_service svc_req reqmod_precache icap://127.0.0.1:$VOREX_PORT/reqmod bypass=0
adaptation_access svc_resp allow all
adaptation_access svc_req allow all
EOF
chown -R proxy "$TMP/squid"
squid -N -f "$TMP/squid/squid.conf" >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 300); do grep -q "Accepting HTTP Socket connections" "$TMP/squid/cache.log" 2>/dev/null && break; sleep 0.1; done
grep -q "Accepting HTTP Socket connections" "$TMP/squid/cache.log" 2>/dev/null ||
    { echo "soak: squid did not start" >&2; tail -n 5 "$TMP/squid/cache.log" >&2; exit 1; }

# The daemon's processes: the parent and its children.
daemon_pids() { echo "$VOREX_PID $(pgrep -P "$VOREX_PID" | tr '\n' ' ')"; }
descriptors() { ls /proc/"$VOREX_PID"/fd 2>/dev/null | wc -l; }
rss_kib() {
    local total=0 pid
    for pid in $(daemon_pids); do
        total=$((total + $(awk '/^VmRSS:/ { print $2 }' /proc/"$pid"/status 2>/dev/null || echo 0)))
    done
    echo "$total"
}
processes() { daemon_pids | wc -w; }
cache_files() { find "$TMP/vorex/cache" -type f | wc -l; }
START_FDS=$(descriptors) START_RSS=$(rss_kib) START_PROCS=$(processes) START_CACHE=$(cache_files)

# One client: random transfers until the deadline; one line per transfer:
# start end kind name result code [curl status].
DEADLINE=$(($(date +%s) + SECONDS_TOTAL))
client() {
    local out=$TMP/client$1 size kind name got rc code start
    while [ "$(date +%s)" -lt "$DEADLINE" ]; do
        size=${SIZES[RANDOM % ${#SIZES[@]}]}
        if [ $((RANDOM % 100)) -lt 5 ]; then kind=infected; else kind=clean; fi
        name=$kind$size
        start=$(date +%s)
        : >"$out"   # a transfer that writes nothing is not judged by the one before
        if [ $((RANDOM % 2)) = 0 ]; then
            code=$(curl -s -o "$out" -m 120 -w '%{http_code}' -x "http://127.0.0.1:$SQUID_PORT" \
                "http://127.0.0.1:$ORIGIN_PORT/$name")
            rc=$?
            got=$(sha256sum <"$out" | cut -d' ' -f1)
            if grep -q "^$got  $name\$" "$TMP/sums"; then
                echo "$start $(date +%s) download $name whole $code"
            else
                echo "$start $(date +%s) download $name not-whole $code curl=$rc"
            fi
        else
            code=$(curl -s -o "$out" -m 120 -w '%{http_code}' -x "http://127.0.0.1:$SQUID_PORT" \
                -H 'Content-Type: application/octet-stream' --data-binary "@$TMP/www/$name" \
                "http://127.0.0.1:$ORIGIN_PORT/upload")
            rc=$?
            if [ "$code" = 200 ] && [ "$(cat "$out")" = stored ]; then
                echo "$start $(date +%s) upload $name whole $code"
            else
                echo "$start $(date +%s) upload $name not-whole $code curl=$rc"
            fi
        fi
    done >"$TMP/results$1"
}

# Faults, with the windows in which failures are expected.
faults() {
    local t=0 filled=0 now
    while [ "$(date +%s)" -lt "$DEADLINE" ]; do
        sleep 1
        t=$((t + 1))
        now=$(date +%s)
        if [ $((t % 10)) = 0 ]; then kill -HUP "$VOREX_PID"; fi
        if [ $((t % 5)) = 0 ]; then
            victim=$(pgrep -P "$VOREX_PID" | shuf -n 1)
            [ -z "$victim" ] || { kill -KILL "$victim"; echo "worker $now $now" >>"$TMP/windows"; }
        fi
        if [ $((t % 60)) = 30 ]; then
            stop_server "$CLAMD_PID"
            sleep 2
            start_clamd
            # Down from the stop until it answers again.
            echo "clamd $now $(date +%s)" >>"$TMP/windows"
            t=$((t + $(date +%s) - now))
        fi
        if [ "$filled" = 0 ] && [ "$t" -ge $((SECONDS_TOTAL / 3)) ]; then
            filled=1
            echo "cache $now $((now + 12))" >>"$TMP/windows"
            dd if=/dev/zero of="$TMP/vorex/cache/filler" bs=1M 2>/dev/null
            sleep 10
            rm -f "$TMP/vorex/cache/filler"
            t=$((t + 10))
        fi
    done
}

: >"$TMP/windows"
faults &
FAULTS=$!
CLIENT_PIDS=()
for i in $(seq "$CLIENTS"); do
    client "$i" &
    CLIENT_PIDS+=($!)
done
wait "$FAULTS" "${CLIENT_PIDS[@]}"
sleep 2
END_FDS=$(descriptors) END_RSS=$(rss_kib) END_PROCS=$(processes) END_CACHE=$(cache_files)

# A failure of a transfer that overlapped a fault window (a second of
# margin each side) is expected; one that did not is not.
# A killed worker's window is named only when no clamd or cache window
# matches: kills come every 5 s and overlap most transfers.
in_window() {
    awk -v from="$1" -v to="$2" '$2 - 1 <= to && from <= $3 + 1 { if ($1 != "worker") { print $1; found = 1; exit } worker = 1 }
        END { if (!found && worker) print "worker" }' "$TMP/windows"
}
cat "$TMP"/results* >"$TMP/all"
total=$(wc -l <"$TMP/all")
clean=$(grep -c ' clean' "$TMP/all")
clean_whole=$(grep -c ' clean[0-9]* whole' "$TMP/all")
infected=$(grep -c ' infected' "$TMP/all")
infected_whole=$(grep -c ' infected[0-9]* whole' "$TMP/all")
echo "soak: ${SECONDS_TOTAL}s, $CLIENTS clients, $total transfers"
echo "clean transfers intact: $clean_whole of $clean"
echo "infected transfers delivered whole: $infected_whole of $infected (expected 0)"
echo "clean failures (time kind body code, fault window):"
unexpected=0
while read -r from to kind name result code rest; do
    window=$(in_window "$from" "$to")
    [ -n "$window" ] || unexpected=$((unexpected + 1))
    echo "  $kind $name http=$code $rest window=${window:-none}"
done < <(grep ' clean[0-9]* not-whole' "$TMP/all")
echo "clean failures outside a fault window: $unexpected"
echo "daemon descriptors: $START_FDS -> $END_FDS"
echo "summed RSS KiB: $START_RSS ($START_PROCS processes) -> $END_RSS ($END_PROCS processes)"
echo "files in Cache: $START_CACHE -> $END_CACHE"
echo "daemon log: $(grep -c 'cannot write a body to the Cache folder' "$TMP/vorex/icapd.log") cache-full lines," \
     "$(grep -c 'ERROR' "$TMP/vorex/icapd.log") ERROR lines"
[ "$infected_whole" = 0 ] && [ "$unexpected" = 0 ]
