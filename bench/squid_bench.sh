#!/bin/bash
# Large downloads through one Debian Squid (preview 1024, bypass=0) whose
# RESPMOD service is chosen per request, all in the same run:
#   vorex   vorex-icapd scanning with the stand-in scanner
#   echo    c-icap's echo service (streams, scans nothing)
#   av      c-icap's virus_scan service with a private clamd, trickling a
#           share of the body before its verdict (SendPercentData)
# Prints the median time to download clean files of each size with the ratio
# vorex / echo, the bytes vorex-icapd released before its verdicts, and the
# bytes of an infected file (EICAR at its end) that reached the client.
#
# Environment: BUILD_DIR (default build-bench in the checkout), BENCH_RUNS
# downloads per case (default 5), BENCH_SIZES in MB (default "10 100"),
# BENCH_PERCENT (c-icap's SendPercentData, default 5; it trickles from the
# first byte, StartSendPercentDataAfter 0), BENCH_MAX_SECONDS per download
# (default 30: a stalled download counts as failed), BENCH_VOREX_SETTINGS
# (lines added to vorex-icapd's configuration, e.g. "TricklePause = 20").
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/lib.sh"
BUILD=${BUILD_DIR:-$ROOT/build-bench}
RUNS=${BENCH_RUNS:-5}
SIZES=${BENCH_SIZES:-"10 100"}
PERCENT=${BENCH_PERCENT:-5}
MAX_SECONDS=${BENCH_MAX_SECONDS:-30}
VOREX_SETTINGS=${BENCH_VOREX_SETTINGS:-}
CICAP_MODULES=$(dirname "$(ls /usr/lib/*/c_icap/virus_scan.so 2>/dev/null | head -n 1)" 2>/dev/null)

for tool in squid c-icap clamd clamdscan curl; do
    command -v "$tool" >/dev/null || { echo "squid_bench: $tool is not installed" >&2; exit 1; }
done
[ -n "$CICAP_MODULES" ] || { echo "squid_bench: c-icap's virus_scan module is not installed" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "squid_bench: Squid needs root to switch to the proxy user" >&2; exit 1; }

cmake -S "$ROOT" -B "$BUILD" >/dev/null || exit 1
cmake --build "$BUILD" --target icap_load squid_origin vorex-icapd vorexd_standin -j2 >/dev/null || exit 1
LOAD=$BUILD/bench/icap_load

TMP=$(mktemp -d /tmp/vrx_squid_bench.XXXXXX) || exit 1
chmod 755 "$TMP"   # Squid, as the proxy user, reaches its folder inside
PIDS=()

cleanup() {
    local i
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do stop_server "${PIDS[i]}"; done
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Test files: clean ones of every size, and an infected one.
EICAR='X5O!P%@AP[4\PZX54(P^)7CC)7}$'"EICAR-STANDARD-ANTIVIRUS-TEST-FILE!\$H+H*"
mkdir -p "$TMP/www"
pages=()
for mb in $SIZES; do
    head -c $((mb * 1000000)) /dev/urandom >"$TMP/www/clean$mb"
    pages+=("/clean$mb=$TMP/www/clean$mb")
done
INFECTED_MB=10
{ head -c $((INFECTED_MB * 1000000 - ${#EICAR})) /dev/urandom; printf '%s' "$EICAR"; } >"$TMP/www/infected"
pages+=("/infected=$TMP/www/infected")

"$BUILD/bench/squid_origin" "${pages[@]}" >"$TMP/origin.port" &
PIDS+=($!)
for _ in $(seq 100); do [ -s "$TMP/origin.port" ] && break; sleep 0.1; done
ORIGIN_PORT=$(cat "$TMP/origin.port")
[ -n "$ORIGIN_PORT" ] || { echo "squid_bench: the origin did not start" >&2; exit 1; }

# vorex-icapd with the stand-in scanner.
mkdir -p "$TMP/vorex"
"$BUILD/tools/vorexd_standin" --local "$TMP/vorex/standin.sock" --pid-file "$TMP/vorex/standin.pid" >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do [ -s "$TMP/vorex/standin.pid" ] && break; sleep 0.05; done
VOREX_PORT=$("$LOAD" --free-port) || exit 1
vorex_config "$TMP/vorex" "$VOREX_PORT" "LogLevel = 1
VorexAddress = local:$TMP/vorex/standin.sock
Infected = report
$VOREX_SETTINGS"
launch_vorex "$BUILD/vorex-icapd" "$TMP/vorex"
PIDS+=($!)
started vorex-icapd "${PIDS[-1]}" "$VOREX_PORT" "$TMP/vorex/stderr" "$TMP/vorex/icapd.log" || exit 1

# A private clamd that knows EICAR anywhere in a file.
mkdir -p "$TMP/clamd/db"
echo "Bench.EICAR:0:*:$(printf '%s' "$EICAR" | od -An -tx1 | tr -d ' \n')" >"$TMP/clamd/db/bench.ndb"
cat >"$TMP/clamd/clamd.conf" <<EOF
LocalSocket $TMP/clamd/clamd.sock
FixStaleSocket yes
PidFile $TMP/clamd/clamd.pid
DatabaseDirectory $TMP/clamd/db
TemporaryDirectory $TMP/clamd
Foreground yes
LogFile $TMP/clamd/clamd.log
MaxThreads 4
Bytecode no
StreamMaxLength 200M
MaxFileSize 200M
MaxScanSize 400M
EOF
clamd --foreground -c "$TMP/clamd/clamd.conf" >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do
    clamdscan --config-file="$TMP/clamd/clamd.conf" --ping 1 >/dev/null 2>&1 && break
    sleep 0.1
done
clamdscan --config-file="$TMP/clamd/clamd.conf" --ping 1 >/dev/null 2>&1 ||
    { echo "squid_bench: clamd did not start" >&2; tail -n 5 "$TMP/clamd/clamd.log" >&2; exit 1; }

# c-icap with echo and virus_scan (through clamd).
mkdir -p "$TMP/c-icap"
CICAP_PORT=$("$LOAD" --free-port) || exit 1
cat >"$TMP/c-icap/c-icap.conf" <<EOF
Port 127.0.0.1:$CICAP_PORT
PidFile $TMP/c-icap/c-icap.pid
CommandsSocket $TMP/c-icap/c-icap.ctl
TmpDir $TMP/c-icap
ServerLog $TMP/c-icap/server.log
AccessLog $TMP/c-icap/access.log
Timeout 300
MaxKeepAliveRequests -1
StartServers 1
MaxServers 2
ThreadsPerChild 10
MaxRequestsPerChild 0
DebugLevel 0
ModulesDir $CICAP_MODULES
ServicesDir $CICAP_MODULES
LoadMagicFile /etc/c-icap/c-icap.magic
InterProcessSharedMemScheme mmap
Service echo srv_echo.so
Module common clamd_mod.so
clamd_mod.ClamdSocket $TMP/clamd/clamd.sock
Service antivirus_module virus_scan.so
virus_scan.ScanFileTypes TEXT DATA EXECUTABLE ARCHIVE GIF JPEG MSOFFICE
virus_scan.SendPercentData $PERCENT
virus_scan.StartSendPercentDataAfter 0
virus_scan.MaxObjectSize 200M
virus_scan.DefaultEngine clamd
EOF
c-icap -N -D -f "$TMP/c-icap/c-icap.conf" >"$TMP/c-icap/stdout" 2>&1 </dev/null &
PIDS+=($!)
started c-icap "${PIDS[-1]}" "$CICAP_PORT" "$TMP/c-icap/stdout" "$TMP/c-icap/server.log" || exit 1

# Squid: the request header X-Bench-Service picks the RESPMOD service.
mkdir -p "$TMP/squid"
SQUID_PORT=$("$LOAD" --free-port) || exit 1
cat >"$TMP/squid/squid.conf" <<EOF
http_port 127.0.0.1:$SQUID_PORT
http_access allow localhost
http_access deny all
cache deny all
pid_filename $TMP/squid/squid.pid
access_log stdio:$TMP/squid/access.log squid
cache_log $TMP/squid/cache.log
cache_store_log none
coredump_dir $TMP/squid
pinger_enable off
shutdown_lifetime 1 seconds
cache_effective_user proxy
icap_enable on
icap_preview_enable on
icap_preview_size 1024
icap_persistent_connections on
adaptation_send_client_ip on
icap_service svc_vorex respmod_precache icap://127.0.0.1:$VOREX_PORT/respmod bypass=0
icap_service svc_echo respmod_precache icap://127.0.0.1:$CICAP_PORT/echo bypass=0
icap_service svc_av respmod_precache icap://127.0.0.1:$CICAP_PORT/antivirus_module bypass=0
acl to_vorex req_header X-Bench-Service ^vorex\$
acl to_echo req_header X-Bench-Service ^echo\$
acl to_av req_header X-Bench-Service ^av\$
adaptation_access svc_vorex allow to_vorex
adaptation_access svc_echo allow to_echo
adaptation_access svc_av allow to_av
EOF
chown -R proxy "$TMP/squid"
squid -N -f "$TMP/squid/squid.conf" >/dev/null 2>&1 &
PIDS+=($!)
for _ in $(seq 300); do grep -q "Accepting HTTP Socket connections" "$TMP/squid/cache.log" 2>/dev/null && break; sleep 0.1; done
grep -q "Accepting HTTP Socket connections" "$TMP/squid/cache.log" 2>/dev/null ||
    { echo "squid_bench: squid did not start" >&2; tail -n 5 "$TMP/squid/cache.log" >&2; exit 1; }

# fetch SERVICE PATH: "curl-exit bytes seconds".
fetch() {
    local out
    out=$(curl -s -o /dev/null -m "$MAX_SECONDS" -x "http://127.0.0.1:$SQUID_PORT" -H "X-Bench-Service: $1" \
        -w '%{size_download} %{time_total}' "http://127.0.0.1:$ORIGIN_PORT$2")
    echo "$? $out"
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)]; else print "-" }'; }

printf '%-8s %10s %10s %10s %14s %s\n' size "vorex s" "echo s" "av s" "vorex/echo" "failed (vorex echo av)"
for mb in $SIZES; do
    declare -A times=() failed=()
    for _ in $(seq "$RUNS"); do
        for svc in vorex echo av; do
            read -r rc bytes seconds <<<"$(fetch "$svc" "/clean$mb")"
            if [ "$rc" = 0 ] && [ "$bytes" = $((mb * 1000000)) ]; then
                times[$svc]+="$seconds "
            else
                failed[$svc]=$((${failed[$svc]:-0} + 1))
            fi
        done
    done
    v=$(echo ${times[vorex]:-} | tr ' ' '\n' | median)
    e=$(echo ${times[echo]:-} | tr ' ' '\n' | median)
    a=$(echo ${times[av]:-} | tr ' ' '\n' | median)
    r=$(awk -v v="$v" -v e="$e" 'BEGIN { if (v == "-" || e == "-" || e == 0) print "-"; else printf "%.2f", v / e }')
    printf '%-8s %10s %10s %10s %14s %s\n' "${mb}MB" "$v" "$e" "$a" "$r" \
        "${failed[vorex]:-0} ${failed[echo]:-0} ${failed[av]:-0}"
    unset times failed
done

released=$(sed -n 's/.* \([0-9]*\) released before the verdict.*/\1/p' "$TMP/vorex/icapd.log" | sort -n | tr '\n' ' ')
echo "vorex-icapd bytes released before each clean verdict: ${released:-none}"

echo "infected ${INFECTED_MB}MB file (EICAR at its end): bytes that reached the client, curl exit"
for svc in vorex av echo; do
    read -r rc bytes seconds <<<"$(fetch "$svc" /infected)"
    printf '  %-6s %10s bytes  exit %s\n' "$svc" "$bytes" "$rc"
done
cut=$(sed -n 's/.*cut off (.*) after \([0-9]*\) body bytes released.*/\1/p' "$TMP/vorex/icapd.log" | tr '\n' ' ')
echo "vorex-icapd bytes released before the infected verdict: ${cut:-none}"
