#!/usr/bin/env bash
# Peak memory of one Apache child (event MPM, the module with apialloc on) while it relays
# a 1 GiB response and a 1 GiB upload between curl and quon-backend. For each transfer
# the child's peak RSS is reset (clear_refs 5), the transfer runs, and VmHWM is read:
# the figure is the peak above the child's resident size when idle.
#
#   bench/memory/run.sh [bytes]        environment: BUILD, MODULE (default: the build's)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD:-$top/build}
bytes=${1:-1073741824}

cmake --build "$build" --target quon-backend mod_quon22 quon_backend_load >/dev/null
backend=$build/backend/quon-backend
module=${MODULE:-$build/apache/mod_quon22.so}
load=$build/bench/backend/quon_backend_load

work=$(mktemp -d /tmp/quon-memory-XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The back-end names itself as the one member of its cluster and serves /app/.
quon=127.0.0.1:$("$load" --free-port 127.0.0.1)
printf 'rep_id=MEMB\nmapcheck=0\n' >"$work/server.props"
printf '/app/*=app\n' >"$work/mappings.props"
printf 'MEMB=%s\n' "$quon" >"$work/cluster.props"
"$backend" --listen "$quon" --ready-file "$work/ready" --server-props "$work/server.props" \
  --mappings "$work/mappings.props" --cluster "$work/cluster.props" >"$work/backend.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.05; done
port=$("$load" --free-port 127.0.0.1)

user_lines=""
if [ "$(id -u)" = 0 ]; then user_lines=$'User www-data\nGroup www-data'; fi
modules=/usr/lib/apache2/modules
cat >"$work/httpd.conf" <<CONF
ServerRoot "$work"
ServerName localhost
Listen 127.0.0.1:$port
PidFile "$work/httpd.pid"
DefaultRuntimeDir "$work"
ErrorLog "$work/error.log"
LogLevel warn
$user_lines
LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule quon_module $module
StartServers 1
ServerLimit 1
ThreadsPerChild 4
ThreadLimit 4
MaxRequestWorkers 4
MinSpareThreads 1
MaxSpareThreads 4
MaxConnectionsPerChild 0
KeepAlive On
MaxKeepAliveRequests 0
EnableMMAP Off
EnableSendfile Off
LimitRequestBody 0
Timeout 600
DocumentRoot "$work"
QuonConfig bootstrap $quon
QuonConfig apialloc true
QuonConfig recvtimeout 600
CONF
chmod 644 "$work/httpd.conf"
/usr/sbin/apache2 -f "$work/httpd.conf" -DFOREGROUND &
pids+=($!)
for _ in $(seq 100); do
  curl -sf "http://127.0.0.1:$port/app/size?n=1" >/dev/null 2>&1 && break
  sleep 0.1
done
curl -sf "http://127.0.0.1:$port/app/size?n=1" >/dev/null ||
  { echo "the module does not forward /app/: $(tail -3 "$work/error.log")" >&2; exit 1; }
child=$(pgrep -P "$(cat "$work/httpd.pid")" | head -1)
[ -n "$child" ] || { echo "no Apache child" >&2; exit 1; }
kib() { awk -v k="$1" '$1 == k":" {print $2}' "/proc/$child/status"; }
truncate -s "$bytes" "$work/upload.bin"
chmod 644 "$work/upload.bin"

# measure <label> <curl arguments...>: peak RSS above idle while curl runs.
measure() {
  local label=$1; shift
  local idle peak
  idle=$(kib VmRSS)
  echo 5 >"/proc/$child/clear_refs"
  local out
  out=$(curl -sS -o "$work/answer" -w '%{http_code} %{size_download} %{time_total}' "$@")
  peak=$(kib VmHWM)
  printf '%-34s %10s %10s %10s   %s\n' "$label" "$idle" "$peak" "$((peak - idle))" "$out"
}

echo "child $child, $bytes bytes per transfer, module $module"
printf '%-34s %10s %10s %10s   %s\n' transfer "idle KiB" "peak KiB" "above KiB" \
  "status bytes seconds"
for pieces in 1 16384; do
  measure "response in $pieces PUT_CLIENT" "http://127.0.0.1:$port/app/size?n=$bytes&m=$pieces"
done
measure "upload, GET_DATA want 40960" -X POST -H 'Content-Type: application/octet-stream' \
  -T "$work/upload.bin" "http://127.0.0.1:$port/app/body?want=40960"
sed -n '1,3p' "$work/answer"
