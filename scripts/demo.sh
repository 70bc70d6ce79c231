#!/usr/bin/env bash
# The demo: a real Apache 2.4 with mod_quon22 on 127.0.0.1, started from a generated
# configuration in .demo/, a few requests, and what the module wrote to the error log.
# Everything it starts is stopped by process id when it ends.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
demo=$top/.demo
module=$build/apache/mod_quon22.so
[ -f "$module" ] || { echo "build first: ./dev build" >&2; exit 1; }

# A free port on 127.0.0.1: nothing answers a connect to it.
free_port() {
  local p
  for p in $(seq "$1" $(($1 + 200))); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return; fi
  done
  return 1
}

pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_all EXIT

rm -rf "$demo" && mkdir -p "$demo/htdocs" "$demo/run"
port=$(free_port 18080)
user_lines=""
if [ "$(id -u)" = 0 ]; then
  user_lines=$'User www-data\nGroup www-data'
  chown -R www-data:www-data "$demo/htdocs"
fi
cat > "$demo/httpd.conf" <<CONF
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
QuonConfig Verbose true
QuonConfig connecttimeout 5
CONF
echo "<h1>served by Apache itself</h1>" > "$demo/htdocs/index.html"

/usr/sbin/apache2 -f "$demo/httpd.conf" -DFOREGROUND > "$demo/stderr.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

echo "== Apache with mod_quon22 on http://127.0.0.1:$port/"
echo "== response headers of GET /index.html"
curl -sS --noproxy "*" -D - -o /dev/null "http://127.0.0.1:$port/index.html"
sleep 0.3
echo "== what the module wrote to $demo/error.log"
grep -F 'qnApache[' "$demo/error.log" | sed 's/^.*\] qnApache/qnApache/' | head -n 20

if [ -t 0 ]; then
  read -r -p "Apache keeps running at http://127.0.0.1:$port/ - press Enter to stop. "
fi
