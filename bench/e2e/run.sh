#!/usr/bin/env bash
# End to end: wrk against Apache 2.4 (event MPM, one child of 128 threads, more than the
# connections, so that the event MPM never closes keep-alive connections for want of a
# free worker) in four set-ups, for the same bytes:
#   static     Apache serves a file of the answer's bytes (the ceiling)
#   proxy_http mod_proxy_http, pooled keep-alive connections, to quon-backend's HTTP port
#   quon-1     mod_quon22 to one quon-backend (the same process as proxy_http's)
#   quon-3     mod_quon22 to a cluster of three (127.0.0.2, .3, .4), round robin
# Bodies of 100 bytes and 16 KiB (GET /app/size?n=N&m=1), 16 and 64 connections.
#
# By default one Apache serves all set-ups side by side (static in the main server, each
# other set-up in a virtual host of its own, every module loaded), and each round runs
# every row in each set-up in turn, the order rotated from round to round: rows compared
# with each other are seconds apart, so the drift of a shared machine weighs on them
# alike. The -base set-ups of an A/B get a second Apache beside the first, idle while
# the first is measured. With SEPARATE=1 each round starts one Apache per set-up, with
# only that set-up's modules, and runs its four rows.
#
# The table shows the medians over the rounds, per row: requests/s, p50 and p99, CPU µs
# per request of Apache's child and of the back-ends, back-end connections accepted
# during the run, and system calls per request in Apache's child (strace, a short run
# of its own per set-up, 100 bytes, 16 connections).
#
# With BASE_MODULE=path/to/another/mod_quon22.so, the set-ups quon-1-base and quon-3-base
# load that build instead, in the same rounds (an A/B of two builds); SETUPS="quon-3"
# keeps only the set-ups named (and their -base twins); MODULE=path loads another build
# than this one's in the others.
#
#   bench/e2e/run.sh [rounds] [seconds]      environment: BUILD, E2E_DIR (keep files there),
#                                            BASE_MODULE, MODULE, SETUPS, SEPARATE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "${BUILD:-$top/build}" && pwd)
rounds=${1:-3}
seconds=${2:-6}
sizes=(100 16384)
conns=(16 64)
read -r -a setups <<<"${SETUPS:-static proxy_http quon-1 quon-3}"
if [ -n "${BASE_MODULE:-}" ]; then
  for setup in "${setups[@]}"; do
    case $setup in quon-*) setups+=("$setup-base") ;; esac
  done
fi
source "$here/measure.sh"
source "$here/servers.sh"

for tool in wrk strace curl pgrep; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (./dev setup)"
done
cmake --build "$build" --target quon-backend quon_backend_load mod_quon22 bench_roundtrip >/dev/null
[ -f "$build/apache/mod_quon22.so" ] || fail "no $build/apache/mod_quon22.so"

work=${E2E_DIR:-$(mktemp -d /tmp/quon-e2e-XXXXXX)}
mkdir -p "$work" && chmod 755 "$work"
trap stop_all EXIT

start_backends
make_static_files
echo "e2e: $rounds rounds of ${seconds}s per row, $(nproc) cores, files in $work"
echo "back-ends: single $single_quon (HTTP $single_http), cluster ${cluster[*]}"

url_of() {  # setup size
  if [ "$1" = static ]; then echo "$base/app/s$2"; else echo "${base_of[$1]:-$base}/app/size?n=$2&m=1"; fi
}
backend_pids_of() {
  case $1 in
    quon-3*) echo "${cluster_pids[*]}" ;;
    *) echo "$single_pid" ;;
  esac
}

# One row: wrk with CPU and accepted connections measured around it.
measure_row() {  # setup size connections round
  local setup=$1 size=$2 c=$3 round=$4 kids backends a0 a1 b0 b1 m0 m1 result
  kids=$(apache_children "${pid_of[$setup]:-$apache_pid}")
  backends=$(backend_pids_of "$setup")
  accepts_start "$work/accepts" $backends
  a0=$(cpu_us $kids); b0=$(cpu_us $backends); m0=$(machine_busy_us)
  result=$(run_wrk "$c" "$seconds" "$(url_of "$setup" "$size")" "$work/wrk.out")
  a1=$(cpu_us $kids); b1=$(cpu_us $backends); m1=$(machine_busy_us)
  accepts_stop "$work/accepts"
  eval "$result"
  [ "$setup" = static ] && { b1=0; b0=0; accepted=0; }
  awk -v s="$setup" -v z="$size" -v c="$c" -v r="$round" -v n="$requests" -v rps="$rps" \
    -v p50="$p50" -v p99="$p99" -v a="$((a1 - a0))" -v b="$((b1 - b0))" -v k="$accepted" -v m="$((m1 - m0))" \
    'BEGIN {printf "%s %s %s %s %.0f %s %s %.1f %.1f %s %.1f\n", s, z, c, r, rps, p50, p99, a / n, b / n, k, m / n}' \
    >>"$work/rows"
}

: >"$work/rows"
: >"$work/syscalls"
: >"$work/speed"
: >"$work/roundtrip"
# Warm up at 96 connections (fewer than the child's threads), so pools are full and a row
# counts churn only: round robin over three servers sometimes sends more than a third of
# the requests in flight to one of them, which a warm-up at 64 leaves short.
warm_up() {  # setup
  check_answers "$1"
  run_wrk 96 2 "$(url_of "$1" 100)" "$work/warm.out" >/dev/null
}
count_syscalls() {  # setup
  local child line
  child=$(apache_children "${pid_of[$1]:-$apache_pid}" | awk '{print $1}')
  line=$(syscalls_per_request "$child" "$(url_of "$1" 100)" 2 "$work/trace-$1" \
    $(backend_addresses_of "$1"))
  echo "$1 $line" >>"$work/syscalls"
  line=$(syscalls_at_speed "$child" "$(url_of "$1" 100)" 2 "$work/speed-$1")
  echo "$1 $line" >>"$work/speed"
}
# The floor: one bare loopback round trip's CPU, between the rounds.
measure_roundtrip() {
  "$build/bench/roundtrip/bench_roundtrip" 100000 3 | sed -n 's/.*cpu_us=\([0-9.]*\).*/\1/p' \
    >>"$work/roundtrip"
}

if [ -n "${SEPARATE:-}" ]; then
  # One Apache per set-up and round, with only that set-up's modules.
  for round in $(seq "$rounds"); do
    for setup in "${setups[@]}"; do
      start_apache "$setup"
      warm_up "$setup"
      for size in "${sizes[@]}"; do
        for c in "${conns[@]}"; do measure_row "$setup" "$size" "$c" "$round"; done
      done
      [ "$round" = 1 ] && count_syscalls "$setup"
      stop_apache
      echo "round $round: $setup done"
    done
    measure_roundtrip
  done
else
  # One Apache for all: each row is measured in every set-up in turn, the order rotated
  # from round to round.
  mine=() theirs=()
  for setup in "${setups[@]}"; do
    case $setup in *-base) theirs+=("$setup") ;; *) mine+=("$setup") ;; esac
  done
  start_apache_side main "${MODULE:-$build/apache/mod_quon22.so}" "${mine[@]}"
  [ ${#theirs[@]} = 0 ] || start_apache_side base "$BASE_MODULE" "${theirs[@]}"
  for setup in "${setups[@]}"; do warm_up "$setup"; done
  for setup in "${setups[@]}"; do count_syscalls "$setup"; done
  for round in $(seq "$rounds"); do
    order=("${setups[@]:$(((round - 1) % ${#setups[@]}))}" "${setups[@]}")
    order=("${order[@]:0:${#setups[@]}}")
    for size in "${sizes[@]}"; do
      for c in "${conns[@]}"; do
        for setup in "${order[@]}"; do measure_row "$setup" "$size" "$c" "$round"; done
      done
    done
    measure_roundtrip
    echo "round $round done (order: ${order[*]})"
  done
  stop_apaches_side
fi
"$here/report.sh" "$work/rows" "$work/syscalls" "$work/speed" "$work/roundtrip"
