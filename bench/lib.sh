# Shared by the benchmark scripts (sourced, with ROOT set): start and stop of
# servers on loopback, the daemon's generated configuration, RESULT fields and
# the median of several rounds.

# Running and not a zombie.
alive() {
    [ -n "$1" ] && [ -r "/proc/$1/status" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}

port_open() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# Waits up to 10 s for the server to accept connections.
wait_ready() {
    local pid=$1 port=$2
    for _ in $(seq 100); do
        alive "$pid" || return 1
        port_open "$port" && return 0
        sleep 0.1
    done
    return 1
}

# started NAME PID PORT LOG...: waits until PID listens on PORT; otherwise
# shows the end of its logs, stops it and fails.
started() {
    local name=$1 pid=$2 port=$3
    shift 3
    wait_ready "$pid" "$port" && return 0
    echo "warning: $name did not start:" >&2
    tail -n 5 "$@" >&2 2>/dev/null
    stop_server "$pid"
    return 1
}

# Stops a server and the workers it started: SIGTERM, a few seconds, SIGKILL.
stop_server() {
    local pid=$1
    [ -n "$pid" ] || return 0
    local children
    children=$(pgrep -P "$pid" 2>/dev/null)
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 50); do
        alive "$pid" || break
        sleep 0.1
    done
    kill -KILL "$pid" $children 2>/dev/null
    wait "$pid" 2>/dev/null
}

# vorex_config DIR PORT [LINES]: writes DIR/vorex-icapd.ini for a daemon on
# 127.0.0.1:PORT whose files all live in DIR, with LINES added at the end.
vorex_config() {
    local dir=$1 port=$2 lines=${3:-}
    mkdir -p "$dir/cache" "$dir/uwl"
    cat >"$dir/vorex-icapd.ini" <<EOF
LogFile = $dir/icapd.log
User = $(id -un)
Cache = $dir/cache/
UwlDirectory = $dir/uwl/
PidFile = $dir/icapd.pid
Templates = $ROOT/conf/templates
BindAddress = 127.0.0.1
BindPort = $port
EOF
    [ -z "$lines" ] || printf '%s\n' "$lines" >>"$dir/vorex-icapd.ini"
}

# Starts BIN in the foreground mode on DIR's configuration, in the
# background; its pid is in $! afterwards.
launch_vorex() {
    local bin=$1 dir=$2
    "$bin" -m -f "$dir/vorex-icapd.ini" >"$dir/stdout" 2>"$dir/stderr" </dev/null &
}

# field NAME LINE: the value of NAME=... in a RESULT line.
field() {
    local name=$1 line=$2
    echo "$line" | tr ' ' '\n' | sed -n "s/^$name=//p"
}

# median_result FIELD LINE...: the line whose FIELD is the median (the lower
# middle one of an even count); nothing when no line has it.
median_result() {
    local name=$1 line
    shift
    for line in "$@"; do
        [ -n "$(field "$name" "$line")" ] && echo "$(field "$name" "$line") $line"
    done | sort -g | awk '{ lines[NR] = $0 } END { if (NR) { sub(/^[^ ]* /, "", lines[int((NR + 1) / 2)]); print lines[int((NR + 1) / 2)] } }'
}

# The two servers of a comparison, each on a free loopback port in its own
# folder under $TMP; they use LOAD (the load generator), VOREX_BIN and
# CICAP_MODULES of the calling script. start_vorex takes optional extra
# configuration lines. They set VOREX_PID/VOREX_PORT and CICAP_PID/CICAP_PORT.
start_vorex() {
    [ -n "$VOREX_BIN" ] || return 1
    local dir=$TMP/vorex
    VOREX_PORT=$("$LOAD" --free-port) || return 1
    vorex_config "$dir" "$VOREX_PORT" "${1:-}"
    launch_vorex "$VOREX_BIN" "$dir"
    VOREX_PID=$!
    started vorex-icapd "$VOREX_PID" "$VOREX_PORT" "$dir/stderr" "$dir/icapd.log" || { VOREX_PID=; return 1; }
}

# start_cicap [SERVICE LINES]: c-icap with the echo service, or with the
# modules and services the lines give.
start_cicap() {
    [ -n "$CICAP_MODULES" ] && command -v c-icap >/dev/null || return 1
    local dir=$TMP/c-icap services=${1:-Service echo srv_echo.so}
    mkdir -p "$dir"
    CICAP_PORT=$("$LOAD" --free-port) || return 1
    # Enough threads for 64 connections from the start; keep-alive without
    # a request limit.
    cat >"$dir/c-icap.conf" <<EOF
Port 127.0.0.1:$CICAP_PORT
PidFile $dir/c-icap.pid
CommandsSocket $dir/c-icap.ctl
TmpDir $dir
ServerLog $dir/server.log
AccessLog $dir/access.log
Timeout 300
MaxKeepAliveRequests -1
KeepAliveTimeout 600
StartServers 2
MaxServers 4
ThreadsPerChild 50
MinSpareThreads 10
MaxSpareThreads 80
MaxRequestsPerChild 0
MaxMemObject 131072
DebugLevel 0
Pipelining on
ModulesDir $CICAP_MODULES
ServicesDir $CICAP_MODULES
LoadMagicFile /etc/c-icap/c-icap.magic
InterProcessSharedMemScheme mmap
$services
EOF
    c-icap -N -D -f "$dir/c-icap.conf" >"$dir/stdout" 2>&1 </dev/null &
    CICAP_PID=$!
    started c-icap "$CICAP_PID" "$CICAP_PORT" "$dir/stdout" "$dir/server.log" || { CICAP_PID=; return 1; }
}

