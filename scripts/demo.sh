#!/usr/bin/env bash
# The demo: a local quon-backend cluster of two servers (127.0.0.2 and 127.0.0.3) and a
# real Apache 2.4 with mod_quon22 on 127.0.0.1 configured for it, started from generated
# files; a few requests, and what each of them wrote to its log. Everything it
# starts is stopped by process id when it ends (at once when not run from a terminal).
# The files live in /tmp/quon-demo (or $QUON_DEMO_DIR), where Apache's children, which
# run as www-data when the demo runs as root, can read them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD:-$top/build}" && pwd)
demo=${QUON_DEMO_DIR:-/tmp/quon-demo}
module=$build/apache/mod_quon22.so
backend=$build/backend/quon-backend
for f in "$module" "$backend"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "build first: ./dev build" >&2; exit 1; }
done

pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_all EXIT

ready_value() { sed -n "s/^$2=//p" "$1"; }
wait_for_file() { for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.05; done; return 1; }

rm -rf "$demo" && mkdir -p "$demo/htdocs" "$demo/run" && chmod 755 "$demo"
printf '/app/*=app\n*.jsp=jsp\n' >"$demo/mappings.props"
printf 'SRV1=127.0.0.2:0\nSRV2=127.0.0.3:0\n' >"$demo/cluster.props"

# The cluster: each server knows the other as its buddy for sessions.
start_server() {  # name host buddy
  printf 'rep_id=%s\nmapcheck=30\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\n' "$1" \
    >"$demo/$1.props"
  "$backend" --listen "$2:0" --http "$2:0" --server-props "$demo/$1.props" \
    --mappings "$demo/mappings.props" --cluster "$demo/cluster.props" --buddies "$3" \
    --log "$demo/$1.log" --ready-file "$demo/$1.ready" >"$demo/$1.out" 2>&1 &
  pids+=($!)
  wait_for_file "$demo/$1.ready"
}
start_server SRV1 127.0.0.2 SRV2
start_server SRV2 127.0.0.3 SRV1
srv1=$(ready_value "$demo/SRV1.ready" quon)
srv2=$(ready_value "$demo/SRV2.ready" quon)
printf 'SRV1=%s\nSRV2=%s\n' "$srv1" "$srv2" >"$demo/cluster.props"
for pid in "${pids[@]}"; do kill -HUP "$pid"; done

# A free port on 127.0.0.1 for Apache: nothing answers a connect to it.
port=""
for p in $(seq 18080 18280); do
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then port=$p; break; fi
done
user_lines=""
if [ "$(id -u)" = 0 ]; then
  user_lines=$'User www-data\nGroup www-data'
  chown -R www-data:www-data "$demo/htdocs"
fi
cat >"$demo/httpd.conf" <<CONF
ServerRoot "$demo"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile $demo/httpd.pid
ErrorLog $demo/error.log
DefaultRuntimeDir $demo/run
LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
LoadModule quon_module $module
$user_lines
ServerTokens Full
DocumentRoot $demo/htdocs
<Directory />
  Require all granted
</Directory>
QuonConfig bootstrap $srv1
QuonConfig Verbose true
QuonConfig connecttimeout 5
CONF
echo "<h1>served by Apache itself</h1>" >"$demo/htdocs/index.html"
/usr/sbin/apache2 -f "$demo/httpd.conf" -DFOREGROUND >"$demo/stderr.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

curl_show() { echo "\$ curl $*"; curl -sS --noproxy '*' "$@"; echo; }
echo "== the cluster: SRV1 at $srv1, SRV2 at $srv2 (protocol ports)"
curl_show -i "http://$(ready_value "$demo/SRV1.ready" http)/app/session"
curl_show "http://$(ready_value "$demo/SRV2.ready" http)/app/echo?get=Host"
echo "== Apache with mod_quon22 on http://127.0.0.1:$port/ (bootstrap server $srv1)"
curl_show -sS -D - -o /dev/null "http://127.0.0.1:$port/index.html"
sleep 0.3
echo "== what the module wrote to $demo/error.log"
grep -F 'qnApache[' "$demo/error.log" | sed 's/^.*\] qnApache/qnApache/' | head -n 20
echo "== what SRV1 received ($demo/SRV1.log)"
tail -n 5 "$demo/SRV1.log"

if [ -t 0 ]; then
  read -r -p "Everything keeps running - press Enter to stop. "
fi
