#!/usr/bin/env bash
# mod_quon22 against mod_jk, mod_proxy_ajp and mod_proxy_http on the same three Tomcat
# 10.1 instances (127.0.0.2, .3, .4; each with the Quon, AJP and HTTP connectors on one
# executor of 50 threads, serving the bench's application as /app), behind one Apache
# (event MPM, one child of 128 threads) with a virtual host per set-up:
#   static      Apache serves a file of the answer's bytes (the floor of Apache's CPU)
#   quon        mod_quon22, bootstrapped from SRV1 only: the cluster and /app/* learned
#   jk          mod_jk, an lb worker over three ajp13 workers, JkMount /app/*
#   proxy_ajp   mod_proxy_ajp, a balancer over the three AJP connectors
#   proxy_http  mod_proxy_http, a balancer over the three HTTP connectors
# and for the recovery rows the same with the production settings of their docs
# (jk-prod, proxy_ajp-prod, proxy_http-prod; see tomcats.sh). Sections:
#   speed       GET /app/size?n=100 and n=16384, wrk at 16 and 64 connections, rounds
#               interleaved (each row measured in every set-up in turn, the order rotated
#               from round to round); medians of requests/s, p50, p99, Apache's child CPU
#               per request (and above the static row), the Tomcats' CPU per request (from
#               /proc/PID/stat of the JVMs)
#   recovery    restart (a Tomcat killed and started again: time from its start until it
#               serves through each set-up), kill (kill -9 under load: failed requests),
#               pause (SIGSTOP for 15 s under load: requests failed or over 2 s), stuck
#               (every thread of one Tomcat asleep in a servlet for 15 s), sticky (does a
#               session stay on its Tomcat)
#   operations  lines of Apache configuration per set-up, counted from this run's files
#   profile     (not run by default) system calls and context switches per request in the
#               JVMs and in Apache's child, per set-up
# The load average is printed at the start and the end: the numbers mean something only
# on a quiet machine.
#
# Three rounds by default, so that the whole bench stays within 10 minutes on 2 cores;
# ROUNDS=5 runs the full set (about 3 minutes more).
#
#   bench/tomcat/run.sh [sections...]     environment: BUILD, ROUNDS (3), ROW_SECONDS (4),
#                                         KEEP=1 (keep the files), TOMCAT_THREADS (50)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "${BUILD:-$top/build}" && pwd)
sections=("$@")
[ ${#sections[@]} -gt 0 ] || sections=(speed recovery operations)
rounds=${ROUNDS:-3}
seconds=${ROW_SECONDS:-4}
source "$top/bench/lib.sh"
source "$top/bench/e2e/measure.sh"
source "$here/tomcats.sh"
fail() {
  echo "bench/tomcat: $*" >&2
  exit 1
}
load=$build/bench/chaos/chaos_load
for f in "$build/apache/mod_quon22.so" "$jar" "$build/bench/backend/quon_backend_load" "$load"; do
  [ -f "$f" ] || fail "build first: ./dev build ($f is missing)"
done
[ -f "$home/bin/bootstrap.jar" ] || fail "Tomcat 10 is missing: ./dev setup"
[ -f /usr/lib/apache2/modules/mod_jk.so ] || fail "mod_jk is missing: ./dev setup (libapache2-mod-jk)"
for tool in wrk curl pgrep java javac; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (./dev setup)"
done

make_work_dir tomcat
helper_pids=()
cleanup() {
  local p
  for p in "${helper_pids[@]}"; do stop_pid "$p" 5; done
  stop_pid "$apache_pid" 15
  for p in "${tomcat_pid[@]}"; do stop_pid "$p" 15; done
  if [ "${KEEP:-0}" = 1 ]; then echo "files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

loadavg() { cut -d' ' -f1-3 /proc/loadavg; }
echo "tomcat bench: $(nproc) cores, load average at start $(loadavg), Tomcat $(
  dpkg-query -W -f '${Version}' tomcat10 2>/dev/null),
  $(java -version 2>&1 | head -n 1), $(/usr/sbin/apache2 -v | sed -n 's/^Server version: //p')"
started=$(now_ms)
start_tomcats
speed_setups=(static quon jk proxy_ajp proxy_http)
recovery_setups=(quon jk jk-prod proxy_ajp proxy_ajp-prod proxy_http proxy_http-prod)
start_apache static quon jk jk-prod proxy_ajp proxy_ajp-prod proxy_http proxy_http-prod
echo "Tomcats and Apache up after $(( ($(now_ms) - started) / 1000 )) s; files in $work"

url_of() {  # setup size
  if [ "$1" = static ]; then echo "$base/app/s$2"; else echo "${base_of[$1]}/app/size?n=$2"; fi
}

# Every set-up must send the static file's bytes, and reach all three Tomcats.
check_answers() {  # setup
  local setup=$1 size got
  for _ in $(seq 100); do curl -sf -o /dev/null "$(url_of "$setup" 100)" && break; sleep 0.1; done
  for size in 100 16384; do
    curl -sf "$(url_of "$setup" "$size")" | cmp -s - "$work/htdocs/app/s$size" ||
      fail "$setup: the answer to $(url_of "$setup" "$size") is not the expected $size bytes"
  done
  [ "$setup" = static ] && return 0
  got=$(for _ in 1 2 3 4 5 6 7 8 9; do
    curl -sf -D - -o /dev/null "$(url_of "$setup" 100)" | sed -n 's/^X-Quon-Server: \([^\r]*\).*/\1/Ip'
  done | sort -u | wc -l)
  [ "$got" = 3 ] || fail "$setup: only $got of the three Tomcats answer"
}

# --- speed ------------------------------------------------------------------------------

measure_row() {  # setup size connections round
  local setup=$1 kids a0 a1 t0 t1 result
  kids=$(apache_children "$apache_pid")
  a0=$(cpu_us $kids); t0=$(cpu_us "${tomcat_pid[@]}")
  result=$(run_wrk "$3" "$seconds" "$(url_of "$setup" "$2")" "$work/wrk.out")
  a1=$(cpu_us $kids); t1=$(cpu_us "${tomcat_pid[@]}")
  eval "$result"
  [ "$setup" = static ] && t1=$t0
  awk -v s="$setup" -v z="$2" -v c="$3" -v r="$4" -v n="$requests" -v rps="$rps" \
    -v p50="$p50" -v p99="$p99" -v a="$((a1 - a0))" -v t="$((t1 - t0))" \
    'BEGIN {printf "%s %s %s %s %.0f %s %s %.1f %.1f\n", s, z, c, r, rps, p50, p99, a / n, t / n}' \
    >>"$work/rows"
}

section_speed() {
  local setup round size c order
  : >"$work/rows"
  # Warm-up: the JVMs compile the paths of each connector before anything is measured.
  for setup in "${speed_setups[@]}"; do
    check_answers "$setup"
    run_wrk 64 3 "$(url_of "$setup" 100)" "$work/warm.out" >/dev/null
    run_wrk 16 1 "$(url_of "$setup" 16384)" "$work/warm.out" >/dev/null
  done
  echo
  echo "speed: $rounds rounds of ${seconds} s per row (ROUNDS=5 for the full set), load average $(loadavg)"
  for round in $(seq "$rounds"); do
    order=("${speed_setups[@]:$(((round - 1) % ${#speed_setups[@]}))}" "${speed_setups[@]}")
    order=("${order[@]:0:${#speed_setups[@]}}")
    for size in 100 16384; do
      for c in 16 64; do
        for setup in "${order[@]}"; do measure_row "$setup" "$size" "$c" "$round"; done
      done
    done
    echo "round $round done (order: ${order[*]}), load average $(loadavg)"
  done
  echo
  "$here/report.sh" "$work/rows"
}

source "$here/recovery.sh"
source "$here/operations.sh"
source "$here/profile.sh"

for section in "${sections[@]}"; do
  case $section in
    speed | recovery | operations | profile) "section_$section" ;;
    *) fail "unknown section $section (speed recovery operations profile)" ;;
  esac
done
echo
echo "load average at the end $(loadavg); $(( ($(now_ms) - started) / 1000 )) s in all"
