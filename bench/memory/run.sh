#!/usr/bin/env bash
# Peak memory of one Apache child (event MPM, the module with apialloc on) while it relays
# a 1 GiB response and 1 GiB uploads (with a length, chunked, and over HTTP/2 without a
# length) between curl and quon-backend. For each transfer
# the child's peak RSS is reset (clear_refs 5), the transfer runs, and VmHWM is read:
# the figure is the peak above the child's resident size when idle.
#
#   bench/memory/run.sh [bytes]        environment: BUILD, MODULE (default: the build's)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD:-$top/build}
bytes=${1:-1073741824}

cmake --build "$build" --target quon-backend mod_quon22 quon_backend_load >/dev/null
module=${MODULE:-$build/apache/mod_quon22.so}
source "$top/bench/lib.sh"

make_work_dir memory
trap 'stop_pids; rm -rf "$work"' EXIT

# The back-end names itself as the one member of its cluster and serves /app/.
quon=127.0.0.1:$(free_port 127.0.0.1)
printf 'rep_id=MEMB\nmapcheck=0\n' >"$work/server.props"
printf '/app/*=app\n' >"$work/mappings.props"
printf 'MEMB=%s\n' "$quon" >"$work/cluster.props"
start_quon_backend "$work/ready" "$work/backend.out" --listen "$quon" \
  --server-props "$work/server.props" --mappings "$work/mappings.props" \
  --cluster "$work/cluster.props"
pids+=("$quon_pid")
wait_quon_ready "$work/ready" "$work/backend.out" || exit 1
port=$(free_port 127.0.0.1)

{
  apache_conf_head "$work" "$port" "$work" "$work/error.log"
  cat <<CONF
LogLevel warn
LoadModule quon_module $module
LoadModule http2_module /usr/lib/apache2/modules/mod_http2.so
Protocols h2c http/1.1
StartServers 1
ServerLimit 1
ThreadsPerChild 4
ThreadLimit 4
MaxRequestWorkers 4
MinSpareThreads 1
MaxSpareThreads 4
MaxConnectionsPerChild 0
LimitRequestBody 0
Timeout 600
DocumentRoot "$work"
QuonConfig bootstrap $quon
QuonConfig apialloc true
QuonConfig recvtimeout 600
CONF
  # 5 s: Apache's default keep-alive time-out, which this bench has always had.
  apache_conf_keepalive 5
} >"$work/httpd.conf"
started=0
start_apache_conf "$work/httpd.conf" /dev/stderr "http://127.0.0.1:$port/app/size?n=1" &&
  started=1
pids+=("$apache_pid")
[ "$started" = 1 ] ||
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
measure "chunked upload (HTTP/1.1)" -X POST -H 'Transfer-Encoding: chunked' \
  -T "$work/upload.bin" "http://127.0.0.1:$port/app/body?want=40960"
sed -n '1,3p' "$work/answer"
measure "upload without length (HTTP/2)" --http2-prior-knowledge -X POST -T - \
  "http://127.0.0.1:$port/app/body?want=40960" <"$work/upload.bin"
sed -n '1,3p' "$work/answer"
