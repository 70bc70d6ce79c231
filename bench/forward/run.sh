#!/usr/bin/env bash
# Requests per second of proxy_handleRequest in-process against quon-backend, for a
# 100-byte and a 16 KiB response, and the system calls the connector's side makes per
# request (strace -c over a fixed number of requests).
#
#   bench/forward/run.sh [repetitions]            environment: BUILD
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD:-$top/build}
repetitions=${1:-5}

cmake --build "$build" --target quon-backend bench_forward >/dev/null
work=$(mktemp -d /tmp/quon-bench-forward-XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

printf 'rep_id=BNCH\nmapcheck=0\n' >"$work/server.props"
printf '/app/*=app\n' >"$work/mappings.props"
"$build/backend/quon-backend" --listen 127.0.0.1:0 --ready-file "$work/ready" \
  --server-props "$work/server.props" --mappings "$work/mappings.props" >"$work/backend.out" 2>&1 &
pid=$!
for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.05; done
server=$(sed -n 's/^quon=//p' "$work/ready")

echo "== requests per second (median of $repetitions)"
"$build/bench/forward/bench_forward" --server "$server" \
  --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
  --benchmark_counters_tabular=true 2>/dev/null | grep -E "^(Benchmark|BM_.*_median)|^-"

if command -v strace >/dev/null; then
  requests=2000
  echo "== system calls per request ($requests small + $requests 16 KiB requests, strace -c)"
  strace -f -c -o "$work/strace.txt" "$build/bench/forward/bench_forward" --server "$server" \
    --requests "$requests" >/dev/null
  # Columns: % time, seconds, usecs/call, calls, [errors], syscall.
  awk -v n=$((2 * requests)) '
    $NF ~ /^(sendto|recvfrom|poll|connect|socket|close|shutdown)$/ || $NF == "total" {
      printf "  %-10s %7.3f per request\n", $NF, $4 / n }
  ' "$work/strace.txt"
  echo "  (strace slows every call, so the back-end is ahead and few receives must wait in poll)"
fi
