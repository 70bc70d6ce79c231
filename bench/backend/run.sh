#!/usr/bin/env bash
# Measures the reference back-end alone and Apache (event MPM, mod_proxy_http) in front
# of it, on this machine, for the same application work: GET /app/size?n=SIZE.
#   wrk against the back-end's HTTP port          (back-end alone, HTTP)
#   quon_backend_load against its protocol port   (back-end alone, binary protocol)
#   wrk against Apache proxying to the HTTP port  (Apache in front)
# Each round runs the three one after the other; the ratios are taken within a round,
# and the medians over the rounds.
#
#   bench/backend/run.sh [rounds] [seconds]       environment: BUILD, CONNECTIONS, SIZE
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD:-$top/build}
rounds=${1:-5}
seconds=${2:-5}
connections=${CONNECTIONS:-64}
size=${SIZE:-100}

cmake --build "$build" --target quon-backend quon_backend_load >/dev/null
load=$build/bench/backend/quon_backend_load
source "$top/bench/lib.sh"

make_work_dir bench
trap 'stop_pids; rm -rf "$work"' EXIT

start_quon_backend "$work/ready" "$work/backend.out" --listen 127.0.0.1:0 --http 127.0.0.1:0
pids+=("$quon_pid")
wait_quon_ready "$work/ready" "$work/backend.out" || exit 1
quon=$(sed -n 's/^quon=//p' "$work/ready")
http=$(sed -n 's/^http=//p' "$work/ready")
apache_port=$(free_port 127.0.0.1)

modules=/usr/lib/apache2/modules
{
  apache_conf_head "$work" "$apache_port" "$work" "$work/error.log"
  cat <<CONF
LogLevel warn
LoadModule proxy_module $modules/mod_proxy.so
LoadModule proxy_http_module $modules/mod_proxy_http.so
StartServers 2
ServerLimit 4
ThreadsPerChild 64
MaxRequestWorkers 256
MinSpareThreads 64
MaxSpareThreads 256
MaxConnectionsPerChild 0
CONF
  apache_conf_keepalive 30
  cat <<CONF
DocumentRoot "$work"
ProxyPass /app/ http://$http/app/
ProxyPassReverse /app/ http://$http/app/
CONF
} >"$work/httpd.conf"
started=0
start_apache_conf "$work/httpd.conf" /dev/stderr "http://127.0.0.1:$apache_port/app/size?n=1" &&
  started=1
pids+=("$apache_pid")
[ "$started" = 1 ] || { echo "Apache did not start: $(tail -3 "$work/error.log")" >&2; exit 1; }
target="/app/size?n=$size"
curl -sf "http://127.0.0.1:$apache_port$target" | cmp -s - <(curl -sf "http://$http$target") ||
  { echo "Apache does not pass the back-end's answer through" >&2; exit 1; }

wrk_rate() { wrk -t2 -c"$connections" -d"${seconds}s" "$1" | awk '/Requests\/sec/ {print $2}'; }
load_rate() {
  "$load" --target "$quon" --connections "$connections" --seconds "$seconds" \
    --uri /app/size --query "n=$size" | awk '{print $NF}'
}
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

echo "work: GET $target, $connections connections, ${seconds}s per run, $(nproc) cores"
printf '%-6s %14s %14s %14s %12s %12s\n' round backend-http backend-quon apache http/apache quon/apache
: >"$work/rows"
for round in $(seq "$rounds"); do
  direct=$(wrk_rate "http://$http$target")
  quon_rate=$(load_rate)
  proxied=$(wrk_rate "http://127.0.0.1:$apache_port$target")
  row=$(awk -v d="$direct" -v q="$quon_rate" -v a="$proxied" \
    'BEGIN {printf "%14.0f %14.0f %14.0f %12.2f %12.2f", d, q, a, d/a, q/a}')
  printf '%-6s %s\n' "$round" "$row"
  echo "$row" >>"$work/rows"
done
printf '%-6s' median
for col in 1 2 3 4 5; do
  value=$(awk -v c="$col" '{print $c}' "$work/rows" | median)
  if [ "$col" -le 3 ]; then printf ' %14.0f' "$value"; else printf ' %12.2f' "$value"; fi
done
echo
