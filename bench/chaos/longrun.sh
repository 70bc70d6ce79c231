#!/usr/bin/env bash
# The long run: REQUESTS (2 million) requests through ONE Apache child (event MPM,
# ServerLimit 1) with the module in front of the three-server cluster; chaos_load keeps
# a session cookie per connection and sends GET /app/session, GET /app/echo and POST
# /app/body (POST_BYTES bytes, checked) in turn. The child's RSS is sampled every
# SAMPLE responses; growth is measured from the sample at WARMUP responses to the last.
#
#   bench/chaos/longrun.sh   environment: BUILD, REQUESTS (2000000), SAMPLE (100000),
#                            WARMUP (200000), CONNECTIONS (32), POST_BYTES (4096),
#                            MIX (session,echo,post; "static" alone is the control run
#                            without forwarding: Apache serves a file, the module only filters)
set -euo pipefail
source "$(dirname "$0")/common.sh"
requests=${REQUESTS:-2000000}
sample=${SAMPLE:-100000}
warmup=${WARMUP:-200000}
connections=${CONNECTIONS:-32}
post_bytes=${POST_BYTES:-4096}
mix=${MIX:-session,echo,post}

cmake --build "$build" --target quon-backend mod_quon22 chaos_load quon_backend_load >/dev/null
write_cluster_files
for i in 0 1 2; do start_server "$i"; done
for i in 0 1 2; do wait_ready "$i"; done
start_apache 1 64 "QuonConfig proxyretryinterval 1"
child=$(apache_children)
child=${child%% *}
[ -n "$child" ] || fail "Apache has no child"
echo "long run: $requests requests ($mix), $connections connections, one child (pid $child)," \
    "RSS at start $(rss_kb "$child") kB"

"$load" --target "127.0.0.1:$port" --connections "$connections" --requests "$requests" \
    --mix "$mix" --post-bytes "$post_bytes" --rss-pid "$child" \
    --sample-every "$sample" >"$work/driver.out" 2>&1 &
driver_pid=$!
wait "$driver_pid" || fail "the load driver failed: $(cat "$work/driver.out")"
driver_pid=0

grep '^rss ' "$work/driver.out" | awk '{printf "  after %8d requests: %7d kB\n", $2, $3}'
grep -v '^rss ' "$work/driver.out"
[ "$(grep -c '^rss ' "$work/driver.out")" -ge 2 ] || fail "fewer than two RSS samples"
grep -q '^rss .* -1$' "$work/driver.out" && fail "the child was gone when a sample was taken"
awk -v w="$warmup" '/^rss / {
        if ($2 == w) base = $3
        if (!first) first = $3
        last = $3
    }
    END {
        if (!base) { print "no sample at the warm-up mark"; exit 1 }
        printf "RSS growth after warm-up (%d requests): %d kB -> %d kB (%+.2f%%); from the first sample %+.2f%%\n",
            w, base, last, 100 * (last - base) / base, 100 * (last - first) / first
    }' "$work/driver.out" || fail "RSS growth cannot be measured"
now_child=$(apache_children)
[ "${now_child%% *}" = "$child" ] || echo "the child changed: $child -> $now_child"
echo "child crashes (\"exit signal\" lines in the error log): $(crash_lines)"
