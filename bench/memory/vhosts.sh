#!/usr/bin/env bash
# Memory of one Apache child (event MPM) per virtual host that has its own QuonConfig:
# N name-based hosts on 127.0.0.1 (default 50), each with "QuonConfig bootstrap" to a
# cluster of three quon-backend servers (127.0.0.2, .3, .4) that serve four mappings.
# Host 0 takes a few requests first, so that what every host shares (the worker threads'
# malloc arenas, the module's first use) is in place, then one request goes to each of the
# N hosts and the child's RSS and Private_Dirty (smaps_rollup) are read. The same is done
# by an Apache with host 0 alone; KiB per host = (with N hosts - with host 0 alone) / N.
#
# Each module of MODULES (default: the build's) gets its own Apache in turn, against the
# same back-ends, so two builds can be compared side by side:
#   MODULES="/tmp/base/apache/mod_quon22.so build/apache/mod_quon22.so" bench/memory/vhosts.sh
#
#   bench/memory/vhosts.sh [hosts]        environment: BUILD, MODULES
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${BUILD:-$top/build}" && pwd)
hosts=${1:-50}

cmake --build "$build" --target quon-backend mod_quon22 quon_backend_load >/dev/null
read -r -a modules <<<"${MODULES:-$build/apache/mod_quon22.so}"
source "$top/bench/lib.sh"

make_work_dir vhosts
trap 'stop_pids; rm -rf "$work"' EXIT

# Three servers that name each other as their cluster; the list is written once all
# three listen, and each reads it again on SIGHUP.
printf '/app/*=app\n/shop/*=shop\n/admin/*=admin\n*.jsp=jsp\n' >"$work/mappings.props"
: >"$work/cluster.props"
cluster=()
for i in 2 3 4; do
  printf 'rep_id=SRV%s\nmapcheck=30\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\n' "$i" \
    >"$work/srv$i.props"
  start_quon_backend "$work/srv$i.ready" "$work/srv$i.out" --listen "127.0.0.$i:0" \
    --server-props "$work/srv$i.props" --mappings "$work/mappings.props" \
    --cluster "$work/cluster.props"
  pids+=("$quon_pid")
  wait_quon_ready "$work/srv$i.ready" "$work/srv$i.out" || exit 1
  cluster+=("$(sed -n 's/^quon=//p' "$work/srv$i.ready")")
done
for i in 0 1 2; do printf 'SRV%d=%s\n' $((i + 2)) "${cluster[$i]}"; done >"$work/cluster.props"
kill -HUP "${pids[@]}"
sleep 0.3
mkdir -p "$work/htdocs" "$work/run"
echo ok >"$work/htdocs/ok"
chmod -R a+rX "$work/htdocs"
apache_owns "$work/run"

write_conf() {  # module port hosts
  apache_conf_head "$work" "$2" "$work/run" "$work/error.log"
  cat <<CONF
LogLevel warn
LoadModule quon_module $1
StartServers 1
ServerLimit 1
ThreadsPerChild 4
ThreadLimit 4
MaxRequestWorkers 4
MinSpareThreads 1
MaxSpareThreads 4
MaxConnectionsPerChild 0
DocumentRoot "$work/htdocs"
<Directory />
  AllowOverride None
  Require all granted
</Directory>
CONF
  apache_conf_keepalive 5
  local i
  for i in $(seq 0 "$3"); do
    cat <<CONF
<VirtualHost 127.0.0.1:$2>
  ServerName h$i.test
  DocumentRoot "$work/htdocs"
  QuonConfig bootstrap ${cluster[$((i % 3))]}
</VirtualHost>
CONF
  done
}

# "RSS Private_Dirty" of a process, in KiB.
memory_of() {  # pid
  awk '$1 == "Rss:" {r = $2} $1 == "Private_Dirty:" {d = $2} END {print r, d}' \
    "/proc/$1/smaps_rollup"
}

# The process's established TCP connections to 127.0.0.2, .3 and .4: its socket inodes
# that /proc/net/tcp lists with such a remote address (hex, byte-reversed) and state 01.
backend_connections() {  # pid
  local inodes
  inodes=$(find "/proc/$1/fd" -lname 'socket:*' -printf '%l\n' | tr -dc '0-9\n')
  awk 'NR == FNR { mine[$1] = 1; next }
       $4 == "01" && $3 ~ /^0[234]00007F:/ && ($10 in mine) { n++ }
       END { print n + 0 }' <(echo "$inodes") /proc/net/tcp
}

# One request to host i; fails unless a server of the cluster answered it.
ask() {  # port i
  curl -sf --noproxy '*' -o /dev/null -H "Host: h$2.test" -w '%{http_code}' \
    "http://127.0.0.1:$1/app/echo" | grep -qx 200
}

# The child's "RSS Private_Dirty backend-connections" with host 0 and `count` more hosts,
# once host 0 has taken a few requests and each other host one.
sample() {  # module count
  local module=$1 count=$2 port child i memory conns
  port=$(free_port 127.0.0.1)
  write_conf "$module" "$port" "$count" >"$work/httpd.conf"
  : >"$work/error.log"
  start_apache_conf "$work/httpd.conf" "$work/apache.out" "http://127.0.0.1:$port/ok" ||
    { echo "Apache did not start: $(tail -3 "$work/apache.out" "$work/error.log")" >&2; exit 1; }
  pids+=("$apache_pid")
  child=$(pgrep -P "$(cat "$work/run/httpd.pid")" | head -1)
  [ -n "$child" ] || { echo "no Apache child" >&2; exit 1; }
  for i in 1 2 3 4 5 6 7 8; do ask "$port" 0 || { echo "host 0 failed" >&2; exit 1; }; done
  for i in $(seq 1 "$count"); do ask "$port" "$i" || { echo "host $i failed" >&2; exit 1; }; done
  memory=$(memory_of "$child")
  conns=$(backend_connections "$child")
  [ "$(pgrep -P "$(cat "$work/run/httpd.pid")" | head -1)" = "$child" ] ||
    { echo "the child changed during the run" >&2; exit 1; }
  kill "$apache_pid"
  wait "$apache_pid" 2>/dev/null || true
  unset 'pids[-1]'
  echo "$memory $conns"
}

# Each child sets up every configured host's table as it starts (its upkeep thread), so a
# host's cost is the difference between a child with the hosts and one without them.
measure() {  # module
  local module=$1 before after
  read -r -a before <<<"$(sample "$module" 0)"
  read -r -a after <<<"$(sample "$module" "$hosts")"
  awk -v m="$module" -v n="$hosts" -v r0="${before[0]}" -v r1="${after[0]}" \
    -v d0="${before[1]}" -v d1="${after[1]}" -v c="${after[2]}" 'BEGIN {
      printf "%8d %8d %8.1f   %8d %8d %8.1f   %6d   %s\n", r0, r1, (r1 - r0) / n, d0, d1,
        (d1 - d0) / n, c, m }'
}

echo "$hosts virtual hosts with QuonConfig, three servers ${cluster[*]}, one request each"
printf '%8s %8s %8s   %8s %8s %8s   %6s   %s\n' "RSS KiB" after "per host" "PrivDirt" after \
  "per host" conns module
for module in "${modules[@]}"; do measure "$module"; done
