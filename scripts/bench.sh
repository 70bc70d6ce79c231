#!/usr/bin/env bash
# Runs every benchmark of bench/ against the build in build/ (or $BUILD).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export BUILD=${BUILD:-$top/build}
echo "### property tables"
"$BUILD/bench/properties/bench_properties" --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E "^(Benchmark|BM_.*_median)"
echo "### request filtering and the choice of a server"
"$BUILD/bench/cluster/bench_cluster" --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E "^(Benchmark|BM_.*_median)"
echo "### forwarding in-process"
"$top/bench/forward/run.sh" 5
echo "### the reference back-end alone and with Apache in front"
"$top/bench/backend/run.sh" 5 5
echo "### latency while the table's upkeep talks to the back end"
"$top/bench/stall/run.sh" 10
