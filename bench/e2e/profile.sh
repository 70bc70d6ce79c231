#!/usr/bin/env bash
# Profiles Apache's child in one set-up of bench/e2e/run.sh while wrk runs: perf record
# with DWARF call graphs, then the functions with the most time inclusive of what they
# call (the hooks, the connector, Apache's phases, system calls) and the time by
# library. perf.data stays in the work directory for perf report.
#
#   bench/e2e/profile.sh [setup] [size] [connections] [seconds]
#   setup: static, proxy_http, quon-1 (default) or quon-3; environment: BUILD, E2E_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "${BUILD:-$top/build}" && pwd)
setup=${1:-quon-1}
size=${2:-100}
connections=${3:-16}
seconds=${4:-5}
sizes=("$size")
source "$here/measure.sh"
source "$here/servers.sh"
command -v perf >/dev/null || fail "perf is not installed"
cmake --build "$build" --target quon-backend quon_backend_load mod_quon22 >/dev/null

work=${E2E_DIR:-$(mktemp -d /tmp/quon-e2e-profile-XXXXXX)}
mkdir -p "$work" && chmod 755 "$work"
trap stop_all EXIT
url_of() {  # setup size
  if [ "$1" = static ]; then echo "$base/app/s$2"; else echo "$base/app/size?n=$2&m=1"; fi
}

start_backends
make_static_files
start_apache "$setup"
check_answers "$setup"
run_wrk "$connections" 1 "$(url_of "$setup" "$size")" "$work/warm.out" >/dev/null
child=$(apache_children "$apache_pid" | awk '{print $1}')
wrk -t2 -c"$connections" -d"$((seconds + 2))s" "$(url_of "$setup" "$size")" >"$work/wrk.out" &
load=$!
sleep 1
perf record -q -F 499 --call-graph dwarf,16384 -p "$child" -o "$work/perf.data" \
  -- sleep "$seconds" >/dev/null 2>&1 || fail "perf record failed"
wait "$load"
echo "$setup, $size bytes, $connections connections: $(awk '/^Requests\/sec/ {print $2}' "$work/wrk.out") requests/s"
echo "-- share of Apache child's samples by library"
perf report -i "$work/perf.data" --no-children --sort dso -g none 2>/dev/null |
  awk '/%/ && $1 + 0 >= 0.5'
echo "-- share of samples inclusive of callees (hooks, connector, Apache phases, system calls)"
perf report -i "$work/perf.data" --children --sort sym -g none 2>/dev/null |
  grep -E '\] (quon_|_?Z?[0-9]*(handleRequest|proxy_|sendCommand|qnRecv|qnSend|readFully|buildRequest|filterRequest|selectProxy|init_apache|writeClient|getHeader|addHeader|setStatus))|ap_(run_|directory_walk|rflush|add_common|add_cgi|queue_pop|read_request|process_request)|__x64_sys_' |
  awk '$1 + 0 >= 0.3' | head -40
