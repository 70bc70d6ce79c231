# Shared by run.sh and longrun.sh (sourced): three quon-backend servers on 127.0.0.2, .3
# and .4 that form one cluster (each the session buddy of the next, sequence number 1),
# and Apache (event MPM) with the build's module in front of them, from generated files
# in a fresh directory. Everything started here is stopped by its process id on exit.
#   environment: BUILD (default build/), QUON_KEEP_CHAOS_DIR=1 keeps the directory,
#   MAPCHECK (30): the servers' mapping refresh period in seconds (0: never)
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${BUILD:-$top/build}" && pwd)
module=$build/apache/mod_quon22.so
backend=$build/backend/quon-backend
load=$build/bench/chaos/chaos_load
source "$top/bench/lib.sh"

fail() { echo "chaos: $*" >&2; exit 1; }

work=$(mktemp -d /tmp/quon-chaos-XXXXXX)
chmod 755 "$work"
mkdir -p "$work/htdocs" "$work/run"
echo "<h1>served by Apache itself</h1>" >"$work/htdocs/index.html"

names=(SRV1 SRV2 SRV3)
hosts=(127.0.0.2 127.0.0.3 127.0.0.4)
addr=()
server_pid=(0 0 0)
apache_pid=0
driver_pid=0
unsticky_pid=0

cleanup() {
    stop_pid "$driver_pid" 2
    stop_pid "$unsticky_pid" 2
    stop_pid "$apache_pid" 15
    for p in "${server_pid[@]}"; do stop_pid "$p" 5; done
    if [ "${QUON_KEEP_CHAOS_DIR:-0}" = 1 ]; then echo "files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

write_cluster_files() {
    printf '/app/*=app\n*.jsp=jsp\n' >"$work/mappings.props"
    local i
    for i in 0 1 2; do
        addr[i]=${hosts[i]}:$(free_port "${hosts[i]}") || fail "no free port on ${hosts[i]}"
    done
    for i in 0 1 2; do printf '%s=%s\n' "${names[i]}" "${addr[i]}"; done >"$work/cluster.props"
    for i in 0 1 2; do
        # No proxyretryinterval here: Apache's QuonConfig value applies to every server.
        printf 'rep_id=%s\nmapcheck=%s\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\n' \
            "${names[i]}" "${MAPCHECK:-30}" >"$work/${names[i]}.props"
        printf 'cluster-seq=1\n' >"$work/${names[i]}.control"
    done
}

# With server_logs=1, each server appends to $work/NAME.log a line per message, each
# line starting with the epoch time in ms.
server_logs=0

# Starts server i on its fixed address; waits for its ready file (bounded).
start_server() {
    local i=$1 n=${names[$1]} log=()
    [ "$server_logs" = 1 ] && log=(--log "$work/$n.log" --log-times 1)
    start_quon_backend "$work/$n.ready" "$work/$n.out" --listen "${addr[i]}" \
        --server-props "$work/$n.props" --mappings "$work/mappings.props" \
        --cluster "$work/cluster.props" --control "$work/$n.control" \
        --buddies "${names[(i + 1) % 3]}" "${log[@]}"
    server_pid[i]=$quon_pid
}
# The epoch ms of the first line of a server's log (server_logs=1) at or after `from` that holds `text`;
# empty when there is none.
log_time() {  # index from-ms text
    awk -v from="$2" -v text="$3" '$1 >= from && index($0, text) {print $1; exit}' \
        "$work/${names[$1]}.log"
}

wait_ready() {
    wait_quon_ready "$work/${names[$1]}.ready" "$work/${names[$1]}.out" ||
        fail "${names[$1]} (${addr[$1]}) did not come up"
}
kill_server() {
    local i=$1
    kill -9 "${server_pid[i]}" 2>/dev/null || fail "${names[i]} was not running"
    wait "${server_pid[i]}" 2>/dev/null || true
    server_pid[i]=0
}

# Stops Apache and the servers a phase started, and keeps its error log as NAME-error.log,
# so that the next phase starts afresh.
end_phase() {  # name
    local i
    stop_pid "$apache_pid" 15
    apache_pid=0
    for i in 0 1 2; do
        stop_pid "${server_pid[i]}" 5
        server_pid[i]=0
    done
    if [ -f "$work/error.log" ]; then mv "$work/error.log" "$work/$1-error.log"; fi
}

# start_apache children threads directives...: Apache bootstrapped from SRV1.
start_apache() {
    local children=$1 threads=$2; shift 2
    port=$(free_port 127.0.0.1) || fail "no free port on 127.0.0.1"
    apache_owns "$work/htdocs" "$work/run"
    {
        apache_conf_head "$work" "$port" "$work/run" "$work/error.log"
        cat <<CONF
LogLevel notice
LoadModule quon_module $module
StartServers $children
ServerLimit $children
ThreadLimit $threads
ThreadsPerChild $threads
MaxRequestWorkers $((children * threads))
MinSpareThreads 1
MaxSpareThreads $((children * threads))
MaxConnectionsPerChild 0
Timeout 30
CONF
        apache_conf_keepalive 60
        cat <<CONF
DocumentRoot $work/htdocs
<Directory />
  Require all granted
</Directory>
QuonConfig bootstrap ${addr[0]}
$(printf '%s\n' "$@")
CONF
    } >"$work/httpd.conf"
    start_apache_conf "$work/httpd.conf" "$work/stderr.log" "http://127.0.0.1:$port/app/echo" ||
        fail "Apache did not answer /app/echo: $(tail -5 "$work/stderr.log" "$work/error.log")"
}

# Beside a phase's load, UNSTICKY (4) connections that send GET /app/echo alone, paced
# as given: they never hold a session, so each of their requests is spread by the
# balancer. The main load's only such requests are each connection's first (its
# sessions never end), and a server that has come back gets no session of its own until
# some session moves to it: these requests show when the balancer takes it again. Sets
# unsticky_pid.
start_unsticky_load() {  # seconds pause-ms records out
    "$load" --target "127.0.0.1:$port" --connections "${UNSTICKY:-4}" --mix echo \
        --seconds "$1" --pause-ms "$2" --record "$3" >"$4" 2>&1 &
    unsticky_pid=$!
}
wait_unsticky_load() {  # out
    wait "$unsticky_pid" || fail "the unsticky load failed: $(cat "$1")"
    unsticky_pid=0
}

# Apache's children, by their parent.
apache_children() { ps -o pid= --ppid "$apache_pid" | tr -d ' ' | sort -n | tr '\n' ' '; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo -1; }
children_rss() { local p; for p in $(apache_children); do printf '%s:%skB ' "$p" "$(rss_kb "$p")"; done; }
# Each child's resident memory by kind of mapping, one line per child.
children_kinds() {
    local p
    for p in $(apache_children); do
        printf '  %s: %s\n' "$p" "$(awk -f "$top/bench/chaos/smaps.awk" "/proc/$p/smaps" 2>/dev/null)"
    done
}
crash_lines() { grep -c 'exit signal' "$work/error.log" || true; }

# The end of a rolling or drain phase's load: its driver (which writes $work/NAME.out)
# and the unsticky connections finish; sets children_end.
wait_phase_load() {  # name
    wait "$driver_pid" || fail "the $1 load failed: $(cat "$work/$1.out")"
    driver_pid=0
    wait_unsticky_load "$work/unsticky.out"
    children_end=$(apache_children)
}
print_phase_drivers() {  # name
    echo "driver: $(cat "$work/$1.out")"
    echo "unsticky driver (GET echo without a session): $(cat "$work/unsticky.out")"
}
# A phase's last targets: no child crashed, and the same children as at its start.
print_phase_children() {
    local crashes
    crashes=$(crash_lines)
    echo "target 0 crashed children (\"exit signal\" lines): $([ "$crashes" = 0 ] && echo met ||
        echo "MISSED ($crashes)")"
    [ "$children_start" = "$children_end" ] ||
        echo "children changed: [$children_start] -> [$children_end]"
}
