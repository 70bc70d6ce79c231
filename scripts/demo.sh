#!/usr/bin/env bash
# The demo: a local quon-backend cluster of three servers (127.0.0.2, .3 and .4, each
# the session buddy of the next) and a real Apache 2.4 with mod_quon22 on 127.0.0.1 in
# front of it, started from generated files. Then requests that show, each with its
# output: balancing, a request Apache serves itself, a sticky session, the session
# moving to its buddy, fail-over when a server is killed, the server coming back, a
# server drained from the status page, and the error page when every server is down.
# The status page's counters and states are shown along the way, and its address at the
# end: run from a terminal, the demo starts the servers again and keeps everything
# running until Enter is pressed, so that the page can be opened; without a terminal it
# stops at once. Everything it starts is stopped by process id when it ends.
# The files live in /tmp/quon-demo (or $QUON_DEMO_DIR), where Apache's children, which
# run as www-data when the demo runs as root, can read them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD:-$top/build}" && pwd)
demo=${QUON_DEMO_DIR:-/tmp/quon-demo}
module=$build/apache/mod_quon22.so
source "$top/bench/lib.sh"
for f in "$module" "$build/backend/quon-backend" "$build/bench/backend/quon_backend_load"; do
  [ -f "$f" ] || { echo "build first: ./dev build" >&2; exit 1; }
done

declare -A pid=()
stop_all() {
  for p in "${pid[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pid[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap stop_all EXIT

rm -rf "$demo" && mkdir -p "$demo/htdocs" "$demo/run" && chmod 755 "$demo"
names=(SRV1 SRV2 SRV3)
declare -A host=([SRV1]=127.0.0.2 [SRV2]=127.0.0.3 [SRV3]=127.0.0.4)
declare -A buddy=([SRV1]=SRV2 [SRV2]=SRV3 [SRV3]=SRV1)
declare -A addr=()
for n in "${names[@]}"; do addr[$n]=${host[$n]}:$(free_port "${host[$n]}"); done
printf '/app/*=app\n*.jsp=jsp\n' >"$demo/mappings.props"
for n in "${names[@]}"; do printf '%s=%s\n' "$n" "${addr[$n]}"; done >"$demo/cluster.props"

start_server() {  # name
  local n=$1
  printf 'rep_id=%s\nmapcheck=30\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\n' "$n" >"$demo/$n.props"
  printf 'cluster-seq=1\n' >"$demo/$n.control"
  start_quon_backend "$demo/$n.ready" "$demo/$n.out" --listen "${addr[$n]}" \
    --server-props "$demo/$n.props" --mappings "$demo/mappings.props" \
    --cluster "$demo/cluster.props" --control "$demo/$n.control" --buddies "${buddy[$n]}" \
    --log "$demo/$n.log"
  pid[$n]=$quon_pid
  wait_quon_ready "$demo/$n.ready" "$demo/$n.out"
}
for n in "${names[@]}"; do start_server "$n"; done

port=$(free_port 127.0.0.1)
echo "<h1>served by Apache itself</h1>" >"$demo/htdocs/index.html"
apache_owns "$demo/htdocs"
{
  apache_conf_head "$demo" "$port" "$demo/run" "$demo/error.log"
  cat <<CONF
LoadModule quon_module $module
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
LoadModule authz_host_module /usr/lib/apache2/modules/mod_authz_host.so
<Location /quon-status>
  SetHandler quon-status
  Require local
</Location>
CONF
} >"$demo/httpd.conf"
started=0
start_apache_conf "$demo/httpd.conf" "$demo/stderr.log" "http://127.0.0.1:$port/index.html" &&
  started=1
pid[apache]=$apache_pid
[ "$started" = 1 ] ||
  { echo "Apache did not start: $(tail -n 3 "$demo/stderr.log" "$demo/error.log")" >&2; exit 1; }
base="http://127.0.0.1:$port"
status_url="$base/quon-status"

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
# One line per server from the status page (its Prometheus format): as the child sees
# it, the operator's state, and the counters.
show_status() {
  local map=""
  for n in "${names[@]}"; do map+="$n=${addr[$n]} "; done
  curl -sS --noproxy '*' "$status_url?format=prometheus" | awk -v names="$map" '
    function server(line) { match(line, /server="[^"]*"/); return substr(line, RSTART + 8, RLENGTH - 9) }
    BEGIN { k = split(names, pairs, " "); for (i = 1; i <= k; i++) { split(pairs[i], p, "="); name[p[2]] = p[1] } }
    /^quon_requests_total\{/ { s = server($0); order[++n] = s; requests[s] = $NF }
    /^quon_failures_total\{/ { failures[server($0)] += $NF }
    /^quon_failovers_total\{/ { failovers[server($0)] = $NF }
    /^quon_in_flight_requests\{/ { flight[server($0)] = $NF }
    /^quon_server_children_up\{/ { up[server($0)] = $NF > 0 ? "up" : "down" }
    /^quon_admin_state\{/ && $NF == 1 { s = server($0); match($0, /state="[a-z]*"/); admin[s] = substr($0, RSTART + 7, RLENGTH - 8) }
    END { for (i = 1; i <= n; i++) { s = order[i]
      printf "  status: %-4s %-5s %-8s requests %3d  failures %d  fail-overs %d  in flight %d\n",
        name[s], up[s], admin[s], requests[s], failures[s], failovers[s], flight[s] } }'
}
# Sets the operator's state of a server through the status page's form, with its nonce.
admin_action() {  # action server
  local nonce
  nonce=$(curl -sS --noproxy '*' "$status_url?format=json" | sed -n 's/.*"nonce":"\([0-9a-f]*\)".*/\1/p')
  curl -sS --noproxy '*' -o /dev/null -w "  POST $status_url action=$1 server=$2 -> %{http_code}\n" \
    --data "nonce=$nonce&action=$1&server=${addr[$2]}" "$status_url"
}
module_lines() { grep -F 'qnApache[' "$demo/error.log" | sed 's/^.*\] qnApache/qnApache/' | grep -E "$1" | tail -n "${2:-5}" || true; }

echo "== the cluster: SRV1 ${addr[SRV1]}, SRV2 ${addr[SRV2]}, SRV3 ${addr[SRV3]}; Apache on $base"
echo "== servlet requests without a session, balanced round robin"
for _ in 1 2 3 4 5 6; do show /app/echo; done
show_status
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
show_status
echo "== SRV3 comes back and is used again"
start_server SRV3; sleep 1.2
for _ in 1 2 3 4; do show /app/echo; done
module_lines 'added/activated proxy' 1
echo "== SRV2 is drained from the status page: requests without a session go to the others"
admin_action drain SRV2
for _ in 1 2 3 4; do show /app/echo; done
show_status
echo "== SRV2 is enabled again"
admin_action enable SRV2
for _ in 1 2 3; do show /app/echo; done
show_status
echo "== every server is down: the error page"
for n in "${names[@]}"; do kill "${pid[$n]}"; wait "${pid[$n]}" 2>/dev/null || true; done
show /app/echo '<B>'
module_lines 'NO servers reachable' 1
echo "== files: $demo (error.log, SRV1.log ...)"
if [ -t 0 ]; then
  echo "== the servers are started again for the status page"
  for n in "${names[@]}"; do start_server "$n"; done
  sleep 1.2
  show /app/echo
  echo "== the status page: $status_url (HTML; ?format=json, ?format=prometheus)"
  read -r -p "Apache and the servers keep running - press Enter to stop them. "
else
  echo "== the status page was: $status_url (stopped now: run the demo from a terminal to keep it)"
fi
