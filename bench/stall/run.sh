#!/usr/bin/env bash
# Latency tail of requests while the connector's upkeep talks to the back end, through
# Apache (event MPM, one child, 128 threads) with mod_quon22 in front of three
# quon-backend servers. The first rows run wrk at CONNECTIONS connections on GET
# /app/size?n=100:
#   mapcheck0   every server answers, mappings never fetched again ("mapcheck=0")
#   mapcheck1   every server answers, mappings fetched every second ("mapcheck=1")
#   refuse      the third server refuses connections ("fault=refuse"), probed every second
#   blackhole   the third server is replaced by a listener whose accept queue is full, so
#               each probe waits out connecttimeout (CONNECT_TIMEOUT seconds)
# Per row: requests, non-2xx answers, socket errors, p50, p99, p99.9 and max latency in ms. A probe or fetch
# that runs while the table's lock is held shows as a max near its duration. wrk corrects
# its percentiles for coordinated omission: one request that waits 3 s adds a made-up
# sample for every usual interval it stood still (hundreds), so a few slow requests make
# the p99.9. The last column counts the requests that really took over 1 s, as Apache timed
# them (its access log, %D), in the measured run only.
# The sick rows (bench/stall/sick.sh) ask whether what Apache serves itself stays fast
# while a back end is sick: GET /index.html, a file, at STATIC_CONNECTIONS (16) and GET
# /app/echo at MAPPED_CONNECTIONS (16), both with chaos_load (one request at a time per
# connection, each one's latency recorded, a pause of PAUSE_MS (10) after each answer),
# ROUNDS (3) rounds of the rows in turn:
#   healthy         three healthy servers, one cluster (sequence number 1): the baseline
#   boot-blackhole  Apache started fresh whose bootstrap server's address accepts nothing
#                   (a full accept queue); no server is reachable
#   silent-member   two healthy servers; 2 s into the run they announce a third member
#                   (member list and sequence number 2, as a cluster does) that accepts
#                   connections and never answers anything (quon-backend with
#                   fault=never-answer and props-fault=never-answer)
# Targets: static p99 within 2x the healthy row's of the same round, and no static request
# over 100 ms, by the client or as Apache timed it (%D); mapped requests are reported apart.
#
#   bench/stall/run.sh [seconds] [rows...]    environment: BUILD, CONNECTIONS, CONNECT_TIMEOUT,
#   RETRY_INTERVAL (proxyretryinterval, 1), TRACE_FLAGS (traceflags, 0), LOG_DIR (keeps
#   each row's Apache error log there as <row>.log, <row>-<round>.log for the sick rows),
#   STATIC_CONNECTIONS, MAPPED_CONNECTIONS, PAUSE_MS, ROUNDS
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${BUILD:-$top/build}" && pwd)
seconds=${1:-10}
shift || true
rows=("$@")
[ ${#rows[@]} -gt 0 ] || rows=(mapcheck0 mapcheck1 refuse blackhole healthy boot-blackhole silent-member)
wrk_rows=()
sick_rows=()
for row in "${rows[@]}"; do
  case $row in
    mapcheck0 | mapcheck1 | refuse | blackhole) wrk_rows+=("$row") ;;
    healthy | boot-blackhole | silent-member) sick_rows+=("$row") ;;
    *) echo "unknown row $row" >&2; exit 2 ;;
  esac
done
connections=${CONNECTIONS:-64}
connect_timeout=${CONNECT_TIMEOUT:-3}
module=$build/apache/mod_quon22.so
source "$top/bench/lib.sh"
load=$build/bench/chaos/chaos_load
for f in "$module" "$build/backend/quon-backend" "$build/bench/backend/quon_backend_load" "$load"; do
  [ -f "$f" ] || { echo "build first: ./dev build" >&2; exit 1; }
done

make_work_dir stall
trap 'stop_pids; rm -rf "$work"' EXIT

hosts=(127.0.0.2 127.0.0.3 127.0.0.4)
addrs=()
for h in "${hosts[@]}"; do addrs+=("$h:$(free_port "$h")"); done
apache_port=$(free_port 127.0.0.1)
printf '/app/*=app\n' >"$work/mappings.props"
printf '<h1>served by Apache itself</h1>\n' >"$work/index.html"
# The member list of the servers with these indexes.
members() {  # index...
  local i
  for i in "$@"; do printf 's%d=%s\n' "$i" "${addrs[$i]}"; done >"$work/cluster.props"
}
members 0 1 2
# What start_backend writes into each control file.
control_text=""

start_backend() {  # index mapcheck [options...]
  local i=$1
  printf 'rep_id=SRV%d\nmapcheck=%d\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\n' \
    $((i + 1)) "$2" >"$work/s$i.props"
  shift 2
  # The wrk rows give no cluster sequence number: the member list, which still names a
  # server that is down, would bring it back into rotation after each removal and blur
  # the rows.
  printf '%s' "$control_text" >"$work/s$i.control"
  : >"$work/s$i.out"
  start_quon_backend "$work/s$i.ready" "$work/s$i.out" --listen "${addrs[$i]}" \
    --server-props "$work/s$i.props" --mappings "$work/mappings.props" \
    --cluster "$work/cluster.props" --control "$work/s$i.control" "$@"
  pids+=("$quon_pid")
  backend_pid[$i]=$quon_pid
  wait_quon_ready "$work/s$i.ready" "$work/s$i.out"
}

start_apache() {  # [url that must answer with a success]
  {
    apache_conf_head "$work" "$apache_port" "$work" "$work/error.log"
    cat <<CONF
LoadModule quon_module $module
StartServers 1
ServerLimit 1
ThreadLimit 128
ThreadsPerChild 128
MaxRequestWorkers 128
MinSpareThreads 1
MaxSpareThreads 128
MaxConnectionsPerChild 0
CONF
    apache_conf_keepalive 30
    cat <<CONF
DocumentRoot $work
<Directory />
  Require all granted
</Directory>
LogFormat "%D %{begin:msec}t %U" duration
CustomLog $work/access.log duration
QuonConfig bootstrap ${addrs[0]}
QuonConfig proxyretryinterval ${RETRY_INTERVAL:-1}
QuonConfig connecttimeout $connect_timeout
QuonConfig traceflags ${TRACE_FLAGS:-0}
CONF
  } >"$work/httpd.conf"
  : >"$work/apache.out"
  local ok=0
  start_apache_conf "$work/httpd.conf" "$work/apache.out" "${1:-$base/app/size?n=1}" && ok=1
  pids+=("$apache_pid")
  [ "$ok" = 1 ] && return 0
  echo "Apache does not answer ${1:-$base/app/size?n=1}: $(tail -n 3 "$work/error.log")" >&2
  return 1
}

# A listener on a server's address that never accepts, with its queue filled: the kernel
# drops further SYNs, so connects there run into their time-out.
blackhole() {  # index
  python3 - "${hosts[$1]}" "${addrs[$1]##*:}" <<'PY' &
import socket, sys, time
host, port = sys.argv[1], int(sys.argv[2])
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind((host, port))
listener.listen(0)
fillers = []
for _ in range(4):
    s = socket.socket()
    s.setblocking(False)
    s.connect_ex((host, port))
    fillers.append(s)
time.sleep(3600)
PY
  pids+=($!)
  sleep 0.5
}

base="http://127.0.0.1:$apache_port"
target="$base/app/size?n=100"
declare -A backend_pid=()
run_wrk() {  # seconds
  wrk -t2 -c"$connections" -d"$1s" --timeout 30s -s "$top/bench/stall/latency.lua" "$target"
}

[ ${#wrk_rows[@]} -gt 0 ] &&
  echo "GET /app/size?n=100, $connections connections, ${seconds}s per row, connecttimeout" \
    "${connect_timeout}s, proxyretryinterval ${RETRY_INTERVAL:-1}s, $(nproc) cores" &&
  printf '%-10s %9s %7s %7s %9s %9s %9s %9s %7s\n' row requests non2xx sockerr p50-ms p99-ms \
    p99.9-ms max-ms over1s
for row in "${wrk_rows[@]}"; do
  mapcheck=0
  [ "$row" = mapcheck1 ] && mapcheck=1
  for i in 0 1 2; do start_backend "$i" "$mapcheck"; done
  start_apache
  case $row in
    refuse)
      printf 'fault=refuse\n' >"$work/s2.control"
      kill -HUP "${backend_pid[2]}"
      run_wrk 3 >/dev/null ;;
    blackhole)
      kill -9 "${backend_pid[2]}"
      wait "${backend_pid[2]}" 2>/dev/null || true
      blackhole 2
      run_wrk $((connect_timeout * 2 + 2)) >/dev/null ;;
    *) run_wrk 2 >/dev/null ;;
  esac
  : >"$work/access.log"
  out=$(run_wrk "$seconds")
  val() { printf '%s\n' "$out" | awk -v k="$1" '$1 == k {print $2}'; }
  printf '%-10s %9s %7s %7s %9s %9s %9s %9s %7s\n' "$row" "$(val requests)" "$(val non2xx)" \
    "$(val sockerr)" "$(val p50)" "$(val p99)" "$(val p99.9)" "$(val max)" \
    "$(awk '$1 > 1000000' "$work/access.log" | wc -l)"
  stop_pids
  [ -n "${LOG_DIR:-}" ] && cp "$work/error.log" "$LOG_DIR/$row.log"
  sleep 0.3
done
if [ ${#sick_rows[@]} -gt 0 ]; then
  source "$top/bench/stall/sick.sh"
  run_sick_rows
fi
