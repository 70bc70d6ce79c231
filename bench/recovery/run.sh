#!/usr/bin/env bash
# Recovery from the messy ways servers fail, side by side in one run: Apache (event MPM,
# 2 children of 25 threads) with mod_quon22 at its defaults (bootstrap from SRV1 and a
# server store, nothing else: no proxyretryinterval, no time-outs) in front of three
# quon-backend servers (SRV1..SRV3 on 127.0.0.2, .3, .4: one cluster, sequence number 1),
# and HAProxy (roundrobin, `option httpchk GET /app/echo`, `check inter 2s fall 3 rise 2`,
# `timeout server 30s`, connect 5 s and client 30 s) in front of the same servers' HTTP
# ports. Requests are plain GET /app/echo without a session. Rows:
#   restart   a server killed (SIGKILL) and started again 3 s later on the same ports,
#             each server once: time from its start until a GET is served by it (polled
#             every 50 ms, a new connection each; X-Quon-Server names who answered),
#             and of the requests begun from the kill to then, those that failed and
#             the longest one's time
#   pause     SRV2 stopped (SIGSTOP: connections wait in its backlog, nothing is
#             answered) for 20 s under 8 clients per setup (chaos_load, one connection
#             each, PAUSE_MS (10) after each answer, 10 s time-out), from 2 s before to 3 s
#             after: requests that failed or took over 2 s, the most of them one client
#             had, and when the last of them began, counted from the pause
#   stall     SRV2 answers no request for 20 s (quon-backend's never-answer fault, set
#             server-wide on SIGHUP: requests on both ports wait, props and pings are
#             answered, so checks of the proxy service pass), under the same clients as
#             pause: the same counts
#   all-down  every server killed, started again 8 s later: time from their start until
#             the first success, and what was answered meanwhile
#   cold      Apache and HAProxy started afresh while every server is down (the module's
#             store written by the Apache before): what GET /app/echo gets, and the time
#             from the servers' start, 3 s later, until the first success
#   vhost     mod_quon22 alone: a fresh Apache with a second virtual host (its own port)
#             bootstrapped from SRV4 (127.0.0.5), whose member list also names SRV5
#             (127.0.0.6); SRV5 healthy in the control round, stopped (SIGSTOP) in the
#             silent one. Both hosts polled from Apache's start for 8 s: time until the
#             first success, and what the main host got after its first one
# The targets of the connector are printed after each table. Everything runs bounded in
# time and is stopped by its process id; the work folder is removed unless KEEP=1.
#
#   bench/recovery/run.sh [rows...]      environment: BUILD, PAUSE_MS, KEEP, LOG_DIR (keeps
#   the Apache error logs there)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${BUILD:-$top/build}" && pwd)
rows=("$@")
[ ${#rows[@]} -gt 0 ] || rows=(restart pause stall all-down cold vhost)
for row in "${rows[@]}"; do
  case $row in
    restart | pause | stall | all-down | cold | vhost) ;;
    *) echo "unknown row $row (restart pause stall all-down cold vhost)" >&2; exit 2 ;;
  esac
done
module=$build/apache/mod_quon22.so
load=$build/bench/chaos/chaos_load
source "$top/bench/lib.sh"
for f in "$module" "$build/backend/quon-backend" "$build/bench/backend/quon_backend_load" \
  "$load"; do
  [ -f "$f" ] || { echo "build first: ./dev build ($f is missing)" >&2; exit 1; }
done
command -v haproxy >/dev/null || { echo "haproxy is missing: ./dev setup installs it" >&2; exit 1; }
pause_ms=${PAUSE_MS:-10}

fail() { echo "recovery: $*" >&2; exit 1; }

make_work_dir recovery
mkdir -p "$work/htdocs" "$work/run" "$work/store" "$work/poll"
echo "<h1>served by Apache itself</h1>" >"$work/htdocs/index.html"
apache_owns "$work/htdocs" "$work/run" "$work/store"

# SRV1..SRV3 serve both front ends; SRV4 and SRV5 are the second virtual host's cluster.
names=(SRV1 SRV2 SRV3 SRV4 SRV5)
hosts=(127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5 127.0.0.6)
quon=() http=()
server_pid=(0 0 0 0 0)
server_start=(0 0 0 0 0)
apache_pid=0
haproxy_pid=0
poller_pids=()
load_pids=()

# TERM (CONT first, for a stopped one), then KILL when it outlives the grace time.
cleanup() {
  local p
  touch "$work/poll/stop"
  for p in "${load_pids[@]}" "${poller_pids[@]}"; do stop_pid "$p" 12; done
  stop_pid "$apache_pid" 15
  stop_pid "$haproxy_pid" 5
  for p in "${server_pid[@]}"; do stop_pid "$p" 5; done
  if [ "${KEEP:-0}" = 1 ]; then echo "files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Two distinct free ports on each server's host: the protocol's and HTTP's.
for i in 0 1 2 3 4; do
  quon[i]=${hosts[i]}:$(free_port "${hosts[i]}") || fail "no free port on ${hosts[i]}"
  for _ in 1 2 3 4 5; do
    http[i]=${hosts[i]}:$(free_port "${hosts[i]}") || fail "no free port on ${hosts[i]}"
    [ "${http[i]}" != "${quon[i]}" ] && break
  done
done
printf '/app/*=app\n' >"$work/mappings.props"
for i in 0 1 2; do printf '%s=%s\n' "${names[i]}" "${quon[i]}"; done >"$work/cluster.props"
for i in 3 4; do printf '%s=%s\n' "${names[i]}" "${quon[i]}"; done >"$work/cluster2.props"
for i in 0 1 2 3 4; do
  printf 'rep_id=%s\nmapcheck=30\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\n' \
    "${names[i]}" >"$work/${names[i]}.props"
  printf 'cluster-seq=1\n' >"$work/${names[i]}.control"
done

# Starts server i on its fixed ports and waits for it; server_start[i] is the epoch ms
# just before it was started.
start_server() {  # index
  local i=$1 n=${names[$1]} members=cluster.props buddy=${names[($1 + 1) % 3]}
  if [ "$i" -ge 3 ]; then members=cluster2.props; buddy=${names[7 - i]}; fi
  server_start[i]=$(now_ms)
  start_quon_backend "$work/$n.ready" "$work/$n.out" --listen "${quon[i]}" --http "${http[i]}" \
    --server-props "$work/$n.props" --mappings "$work/mappings.props" \
    --cluster "$work/$members" --control "$work/$n.control" --buddies "$buddy"
  server_pid[i]=$quon_pid
  wait_quon_ready "$work/$n.ready" "$work/$n.out" || fail "$n (${quon[i]}) did not come up"
}
# SIGKILL to every server named at once, then a wait for each.
kill_servers() {  # index...
  local i
  for i in "$@"; do
    kill -9 "${server_pid[i]}" 2>/dev/null || fail "${names[i]} was not running"
  done
  for i in "$@"; do
    wait "${server_pid[i]}" 2>/dev/null || true
    server_pid[i]=0
  done
}

# Apache with the module in front of SRV1..SRV3, plus the lines given; apache_launch is
# the epoch ms of its start. With a url, waits until it answers with a success.
apache_port=$(free_port 127.0.0.1)
vhost_port=$(free_port 127.0.0.1)
start_apache() {  # [url] extra lines...
  local url=$1 ok=0
  shift
  {
    apache_conf_head "$work" "$apache_port" "$work/run" "$work/error.log"
    cat <<CONF
LogLevel notice
LoadModule quon_module $module
StartServers 2
ServerLimit 2
ThreadLimit 25
ThreadsPerChild 25
MaxRequestWorkers 50
MinSpareThreads 1
MaxSpareThreads 50
MaxConnectionsPerChild 0
CONF
    apache_conf_keepalive 5
    cat <<CONF
DocumentRoot $work/htdocs
<Directory />
  Require all granted
</Directory>
QuonConfig bootstrap ${quon[0]}
QuonConfig serverstore $work/store/servers
CONF
    printf '%s\n' "$@"
  } >"$work/httpd.conf"
  apache_launch=$(now_ms)
  if [ -z "$url" ]; then
    chmod 644 "$work/httpd.conf"
    /usr/sbin/apache2 -f "$work/httpd.conf" -DFOREGROUND >>"$work/apache.out" 2>&1 &
    apache_pid=$!
    return 0
  fi
  start_apache_conf "$work/httpd.conf" "$work/apache.out" "$url" && ok=1
  [ "$ok" = 1 ] ||
    fail "Apache did not answer $url: $(tail -n 3 "$work/apache.out" "$work/error.log")"
}
# Stops Apache and keeps its error log as NAME.log (in LOG_DIR too, when set).
stop_apache() {  # name
  stop_pid "$apache_pid" 15
  apache_pid=0
  if [ -f "$work/error.log" ]; then
    if [ -n "${LOG_DIR:-}" ]; then cp "$work/error.log" "$LOG_DIR/recovery-$1.log"; fi
    mv "$work/error.log" "$work/$1.log"
  fi
}

# HAProxy in the foreground in front of SRV1..SRV3's HTTP ports; waits (at most 10 s)
# until it answers anything on its port.
haproxy_port=$(free_port 127.0.0.1)
start_haproxy() {
  {
    printf 'global\n  maxconn 1000\n'
    printf 'defaults\n  mode http\n  timeout connect 5s\n  timeout client 30s\n'
    printf '  timeout server 30s\n'
    printf 'frontend recovery\n  bind 127.0.0.1:%s\n  default_backend quon\n' "$haproxy_port"
    printf 'backend quon\n  balance roundrobin\n  option httpchk GET /app/echo\n'
    local i
    for i in 0 1 2; do
      printf '  server %s %s check inter 2s fall 3 rise 2\n' "${names[i]}" "${http[i]}"
    done
  } >"$work/haproxy.cfg"
  haproxy -db -f "$work/haproxy.cfg" >>"$work/haproxy.out" 2>&1 &
  haproxy_pid=$!
  for _ in $(seq 100); do
    [ "$(curl -s --noproxy '*' -o /dev/null -m 5 -w '%{http_code}' \
      "http://127.0.0.1:$haproxy_port/app/echo")" != 000 ] && return 0
    kill -0 "$haproxy_pid" 2>/dev/null || break
    sleep 0.1
  done
  fail "HAProxy did not answer: $(tail -n 3 "$work/haproxy.out")"
}
stop_haproxy() { stop_pid "$haproxy_pid" 5; haproxy_pid=0; }

# One GET every 50 ms (a new connection each, 10 s time-out) until the stop file is there
# or `seconds` have passed; a line per request in out: "begin-ms status server seconds"
# (status 000: no answer; server: X-Quon-Server's address, - when none).
poll() {  # url out seconds
  local url=$1 out=$2 end=$(($(now_ms) + $3 * 1000)) t line code server took
  : >"$out"
  while [ ! -e "$work/poll/stop" ] && [ "$(now_ms)" -lt "$end" ]; do
    t=$(now_ms)
    line=$(curl -s --noproxy '*' -m 10 -o /dev/null \
      -w '%{http_code}|%header{x-quon-server}|%{time_total}' "$url" 2>/dev/null) || true
    IFS='|' read -r code server took <<<"$line"
    echo "$t ${code:-000} ${server:--} ${took:-0}" >>"$out"
    sleep_until $((t + 50))
  done
}
# Starts a poller of each running setup for at most `seconds`: mod_quon22's writes
# NAME-m.poll, HAProxy's NAME-h.poll; stop_pollers ends them.
start_pollers() {  # name seconds
  rm -f "$work/poll/stop"
  poll "http://127.0.0.1:$apache_port/app/echo" "$work/poll/$1-m.poll" "$2" &
  poller_pids+=($!)
  if [ "$haproxy_pid" -gt 0 ]; then
    poll "http://127.0.0.1:$haproxy_port/app/echo" "$work/poll/$1-h.poll" "$2" &
    poller_pids+=($!)
  fi
}
stop_pollers() {
  local p
  touch "$work/poll/stop"
  for p in "${poller_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  poller_pids=()
}

# The epoch ms at which the first 2xx answer that ended at or after `from` ended, from
# `host` when given (its address's last part, as in 127.0.0.3); empty when none.
first_ok() {  # file from-ms [host]
  [ -f "$1" ] || return 0
  awk -v from="$2" -v host="${3:-}" '{ end = $1 + $4 * 1000 }
    $2 ~ /^2/ && end >= from && (host == "" || index($3, host ":") == 1) {
      printf "%.0f\n", end; exit }' "$1"
}
# "status:count,..." of the requests that began in [from, to), 2xx left out unless
# `all` is given; "-" when none.
statuses() {  # file from-ms to-ms [all]
  awk -v from="$2" -v to="$3" -v all="${4:-}" '$1 >= from && $1 < to && (all != "" || $2 !~ /^2/) {
      n[$2]++ }
    END { s = ""; for (k in n) s = s (s == "" ? "" : ",") k ":" n[k]
      print s == "" ? "-" : s }' "$1"
}
# Seconds from `from` to `to` (ms), or "never" when `to` is empty.
secs() {  # from-ms to-ms
  if [ -z "$2" ]; then echo never; else awk -v d=$(($2 - $1)) 'BEGIN {printf "%.2f", d / 1000}'; fi
}
# Waits until each file has a 2xx answer at or after `from` (from `host` when given), at
# most `seconds`.
wait_served() {  # from-ms seconds host files...
  local from=$1 end=$(($(now_ms) + $2 * 1000)) host=$3 f all
  shift 3
  while [ "$(now_ms)" -lt "$end" ]; do
    all=1
    for f in "$@"; do [ -n "$(first_ok "$f" "$from" "$host")" ] || all=0; done
    [ "$all" = 1 ] && return 0
    sleep 0.1
  done
}
met() { if [ "$1" = 1 ]; then echo met; else echo MISSED; fi; }
setups=(mod_quon22 haproxy)
polls=(m h)

source "$top/bench/recovery/rows.sh"

for i in 0 1 2; do start_server "$i"; done
echo "mod_quon22 (Apache event MPM, 2 children, module defaults) and HAProxy $(haproxy -v |
  awk 'NR == 1 {print $3}') (check inter 2s fall 3 rise 2) in front of the same three" \
  "quon-backend servers, GET /app/echo without a session, $(nproc) cores"
for row in "${rows[@]}"; do
  "row_${row//-/_}"
  # A front end that ended during the row leaves its numbers meaningless.
  if [ "$apache_pid" -gt 0 ] && ! kill -0 "$apache_pid" 2>/dev/null; then
    fail "$row: Apache ended during the row: $(tail -n 3 "$work/apache.out" "$work/error.log")"
  fi
  if [ "$haproxy_pid" -gt 0 ] && ! kill -0 "$haproxy_pid" 2>/dev/null; then
    fail "$row: HAProxy ended during the row: $(tail -n 3 "$work/haproxy.out")"
  fi
done
echo
crashes=$(cat "$work"/*.log 2>/dev/null | grep -c 'exit signal' || true)
echo "Apache children crashed (\"exit signal\" lines in the error logs): $crashes"
