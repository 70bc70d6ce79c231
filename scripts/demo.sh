#!/usr/bin/env bash
# The demo: a local quon-backend cluster of three servers (127.0.0.2, .3 and .4, each
# the session buddy of the next) and a real Apache 2.4 with mod_quon22 on 127.0.0.1 in
# front of it, started from generated files. Then requests that show, each with its
# output: balancing, a request Apache serves itself, a sticky session, the session
# moving to its buddy, fail-over when a server is killed, the server coming back and
# the error page when every server is down. Everything it starts is stopped by process
# id when it ends (at once when not run from a terminal).
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

declare -A pid=()
stop_all() {
  for p in "${pid[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pid[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap stop_all EXIT

wait_for_port() { for _ in $(seq 100); do (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null && return 0; sleep 0.05; done; return 1; }
# A port on host that nothing answers on, from a range of its own per host.
free_port() {
  local p
  for p in $(seq "$2" $(($2 + 200))); do
    (exec 3<>"/dev/tcp/$1/$p") 2>/dev/null || { echo "$p"; return 0; }
  done
  return 1
}

rm -rf "$demo" && mkdir -p "$demo/htdocs" "$demo/run" && chmod 755 "$demo"
names=(SRV1 SRV2 SRV3)
declare -A host=([SRV1]=127.0.0.2 [SRV2]=127.0.0.3 [SRV3]=127.0.0.4)
declare -A buddy=([SRV1]=SRV2 [SRV2]=SRV3 [SRV3]=SRV1)
declare -A addr=()
for n in "${names[@]}"; do addr[$n]=${host[$n]}:$(free_port "${host[$n]}" 19009); done
printf '/app/*=app\n*.jsp=jsp\n' >"$demo/mappings.props"
for n in "${names[@]}"; do printf '%s=%s\n' "$n" "${addr[$n]}"; done >"$demo/cluster.props"

start_server() {  # name
  local n=$1
  printf 'rep_id=%s\nmapcheck=30\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\n' "$n" >"$demo/$n.props"
  printf 'cluster-seq=1\n' >"$demo/$n.control"
  "$backend" --listen "${addr[$n]}" --server-props "$demo/$n.props" \
    --mappings "$demo/mappings.props" --cluster "$demo/cluster.props" \
    --control "$demo/$n.control" --buddies "${buddy[$n]}" --log "$demo/$n.log" \
    >>"$demo/$n.out" 2>&1 &
  pid[$n]=$!
  wait_for_port "${host[$n]}" "${addr[$n]##*:}"
}
for n in "${names[@]}"; do start_server "$n"; done

port=$(free_port 127.0.0.1 18080)
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
StartServers 1
ServerLimit 1
ServerTokens Full
DocumentRoot $demo/htdocs
<Directory />
  Require all granted
</Directory>
QuonConfig bootstrap ${addr[SRV1]}
QuonConfig traceflags 1
QuonConfig proxyretryinterval 1
QuonConfig connecttimeout 5
CONF
echo "<h1>served by Apache itself</h1>" >"$demo/htdocs/index.html"
/usr/sbin/apache2 -f "$demo/httpd.conf" -DFOREGROUND >"$demo/stderr.log" 2>&1 &
pid[apache]=$!
wait_for_port 127.0.0.1 "$port"
base="http://127.0.0.1:$port"

name_of() { for n in "${names[@]}"; do [ "${addr[$n]}" = "$1" ] && echo "$n" && return; done; echo "-"; }
# One request: status, the server that answered and the answer's lines named in $2;
# the answer stays in $demo/last.
show() {  # path [lines regex] [curl options...]
  local path=$1 keys=${2:-^$}; shift 2 || shift $#
  local out
  out=$(curl -sS --noproxy '*' -D "$demo/head" "$@" "$base$path" 2>&1) || true
  printf '%s\n' "$out" >"$demo/last"
  local status server
  status=$(sed -n '1s/^HTTP\/[0-9.]* \([0-9]*\).*/\1/p' "$demo/head")
  server=$(sed -n 's/^X-Quon-Server: \([^\r]*\).*/\1/p' "$demo/head")
  printf '  GET %-26s -> %s  served by %-4s %s\n' "$path" "${status:-none}" \
    "$( [ -n "$server" ] && name_of "$server" || echo Apache)" \
    "$(printf '%s\n' "$out" | grep -E "$keys" | tr '\n' ' ')"
}
module_lines() { grep -F 'qnApache[' "$demo/error.log" | sed 's/^.*\] qnApache/qnApache/' | grep -E "$1" | tail -n "${2:-5}" || true; }

echo "== the cluster: SRV1 ${addr[SRV1]}, SRV2 ${addr[SRV2]}, SRV3 ${addr[SRV3]}; Apache on $base"
echo "== servlet requests without a session, balanced round robin"
for _ in 1 2 3 4 5 6; do show /app/echo; done
echo "== a request that matches no mapping: Apache serves it"
show /index.html
echo "== a sticky session stays on its server"
show /app/session '^(session|state|hits):'
session=$(sed -n 's/^session: //p' "$demo/last")
holder=${session:0:4}
echo "  session $session is held by $holder"
for _ in 1 2 3; do show /app/session '^(state|hits):' -H "Cookie: JSESSIONID=$session"; done
echo "== $holder is stopped: the session moves to its buddy ${buddy[$holder]}"
kill "${pid[$holder]}"; wait "${pid[$holder]}" 2>/dev/null || true
for _ in 1 2; do show /app/session '^(state|hits):' -H "Cookie: JSESSIONID=$session"; done
module_lines 'removed proxy' 1
echo "== $holder is started again"
start_server "$holder"; sleep 1.2
echo "== SRV3 is killed (kill -9) while Apache keeps idle connections to it: no client error"
for _ in 1 2 3 4 5 6; do curl -sS --noproxy '*' -o /dev/null "$base/app/echo"; done
kill -9 "${pid[SRV3]}"; wait "${pid[SRV3]}" 2>/dev/null || true
for _ in 1 2 3 4 5 6; do show /app/echo; done
module_lines 'handleRequest failed|removed proxy' 2
echo "== SRV3 comes back and is used again"
start_server SRV3; sleep 1.2
for _ in 1 2 3 4; do show /app/echo; done
module_lines 'added/activated proxy' 1
echo "== every server is down: the error page"
for n in "${names[@]}"; do kill "${pid[$n]}"; wait "${pid[$n]}" 2>/dev/null || true; done
show /app/echo '<B>'
module_lines 'NO servers reachable' 1
echo "== files: $demo (error.log, SRV1.log ...)"

if [ -t 0 ]; then
  read -r -p "Apache keeps running - press Enter to stop. "
fi
