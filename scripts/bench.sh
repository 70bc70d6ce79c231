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
echo "### what one request attempt adds to the counters shared by every child"
"$BUILD/bench/counters/bench_counters" --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E "^(Benchmark|BM_.*_median)"
echo "### forwarding in-process"
"$top/bench/forward/run.sh" 5
echo "### the reference back-end alone and with Apache in front"
"$top/bench/backend/run.sh" 5 5
echo "### end to end: wrk against Apache serving a file, with mod_proxy_http and with the module"
"$top/bench/e2e/run.sh" "${E2E_ROUNDS:-3}" "${E2E_SECONDS:-6}"
echo "### chaos: servers killed and restarted under load through Apache"
"$top/bench/chaos/run.sh"
echo "### long run: one Apache child, 2 million requests with sessions and POST bodies"
"$top/bench/chaos/longrun.sh"
echo "### Apache child memory for a 1 GiB response and upload"
"$top/bench/memory/run.sh"
echo "### Apache child memory per virtual host with its own QuonConfig"
"$top/bench/memory/vhosts.sh"
echo "### latency while the table's upkeep talks to the back end"
"$top/bench/stall/run.sh" 10
echo "### recovery from failing servers: mod_quon22 and HAProxy side by side"
"$top/bench/recovery/run.sh"
echo "### Tomcat: mod_quon22, mod_jk, mod_proxy_ajp and mod_proxy_http on the same three Tomcats"
"$top/bench/tomcat/run.sh"
