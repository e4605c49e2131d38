# Shared by the benchmark scripts (sourced, with ROOT set): start and stop of
# servers on loopback, the daemon's generated configuration, RESULT fields.

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
