# The failures phase of bench/chaos/run.sh (sourced after common.sh): what an Apache
# child's memory does with each server failure. Load (chaos_load, CONNECTIONS (36)
# connections, FAIL_MIX (echo,post)) runs through a fresh Apache (event MPM,
# FAIL_CHILDREN (2) children of FAIL_THREADS (64) threads, MaxConnectionsPerChild 0, so
# the children live through the run) whose QuonConfig sets no proxyretryinterval: the
# connector's defaults hold. From t=5 s, every FAIL_PERIOD (8) s one server in turn is
# killed with SIGKILL and started again on its address FAIL_DOWN (1) s later, for
# FAIL_MINUTES (1) minutes; FAIL_LONG=1 makes that 15 minutes. FAIL_CONTROL=1 is the
# control run: the same load and samples, no server killed.
# Every FAIL_SAMPLE (2) kills, just before a kill (the server killed the time before has
# been back FAIL_PERIOD - FAIL_DOWN seconds), each child is sampled: its RSS and, from
# /proc/PID/smaps (bench/chaos/smaps.awk), the private dirty memory of [heap], of
# malloc's thread arenas, of the other anonymous mappings (APR's allocators, big malloc
# blocks) and of the threads' stacks. The summed samples make a table; then the growth
# per minute, and from the sample after the first minute to the last in all and per kill.
# FAIL_MALLOC=1 also reads malloc's bytes in use of each child at each sample with gdb
# (malloc_stats() through a short attach that stops the child for about a second; the
# numbers go to its stderr, Apache's error log): a growth of RSS with level bytes in
# use is free memory malloc keeps, a growth of both is memory held.
# What grows, and why it stops: nothing the connector holds. malloc's bytes in use stay
# level through a 15-minute run (about 1 MB for two children, +-15 % from one sample to
# the next: the requests in flight), and one process under memcheck loses nothing. The
# RSS that comes with the failures is (1) the workers' stacks, each resident to the
# depth of the deepest call it made: the failure paths (a refused connect, a retry on
# another server, a 503 page) go a page deeper than a success, and once every worker has
# met them (about 3 minutes here) the stacks stay level; (2) APR's allocator nodes
# (this APR maps each node on its own: the "anon" column): a 503 closes its client
# connection (Apache drops the connection after a 503; a POST whose body was read is
# not sent elsewhere), the client connects again, and the event MPM makes a
# transaction pool and bucket allocator for each connection beyond those it has kept,
# so this grows in steps to the most connections a child has had at once; (3) malloc's
# thread arenas, a few kB a minute at their high-water mark, as in the control run.
#   environment: CONNECTIONS (36), FAIL_CHILDREN (2), FAIL_THREADS (64), FAIL_PERIOD (8),
#   FAIL_DOWN (1), FAIL_MINUTES (1), FAIL_LONG (0), FAIL_SAMPLE (2), FAIL_MIX (echo,post),
#   FAIL_MALLOC (0), FAIL_CONTROL (0), TRACEFLAGS

# One line per child: "pid rss heap arenas anon stacks" in kB (private dirty but rss).
sample_children() {
    local p
    for p in $(apache_children); do
        printf '%s %s %s\n' "$p" "$(rss_kb "$p")" \
            "$(awk -v dirty=1 -f "$top/bench/chaos/smaps.awk" "/proc/$p/smaps" 2>/dev/null)"
    done
}

# Each child's malloc bytes in use, summed over its arenas, as "pid:bytes ...": gdb makes
# the child print malloc_stats() on its stderr (the error log), read back from there.
malloc_in_use() {
    local p mark out=""
    for p in $(apache_children); do
        mark=$(wc -l <"$work/error.log")
        timeout 20 gdb -p "$p" -batch -nx -ex 'call (void) malloc_stats()' >/dev/null 2>&1 || true
        out+="$p:$(tail -n +$((mark + 1)) "$work/error.log" |
            awk '/^in use bytes/ {v = $5} END {print v + 0}') "
    done
    echo "$out"
}

failures_phase() {
    local minutes=${FAIL_MINUTES:-1} period=${FAIL_PERIOD:-8} down=${FAIL_DOWN:-1}
    local every=${FAIL_SAMPLE:-2} kills k i t0 at samples=$work/failures.samples
    [ "${FAIL_LONG:-0}" = 1 ] && minutes=15
    kills=$((minutes * 60 / period))
    write_cluster_files
    for i in 0 1 2; do start_server "$i"; done
    for i in 0 1 2; do wait_ready "$i"; done
    start_apache "${FAIL_CHILDREN:-2}" "${FAIL_THREADS:-64}" "QuonConfig traceflags ${TRACEFLAGS:-0}"

    : >"$samples"
    t0=$(now_ms)
    "$load" --target "127.0.0.1:$port" --connections "${CONNECTIONS:-36}" \
        --seconds $((5 + kills * period + 2)) --mix "${FAIL_MIX:-echo,post}" \
        --record "$work/records" >"$work/failures.out" 2>&1 &
    driver_pid=$!
    children_start=$(apache_children)
    for k in $(seq 0 "$kills"); do
        at=$((t0 + 5000 + k * period * 1000))
        sleep_until "$at"
        if [ $((k % every)) = 0 ] || [ "$k" = "$kills" ]; then
            sample_children | awk -v k="$k" -v t=$((($(now_ms) - t0) / 1000)) \
                '{print k, t, $0}' >>"$samples"
            [ "${FAIL_MALLOC:-0}" = 1 ] && echo "malloc $k $(malloc_in_use)" >>"$samples"
        fi
        [ "$k" = "$kills" ] && break
        [ "${FAIL_CONTROL:-0}" = 1 ] && continue
        i=$((k % 3))
        kill_server "$i"
        sleep_until $((at + down * 1000))
        start_server "$i"
        wait_ready "$i"
    done
    wait "$driver_pid" || fail "the failures load failed: $(cat "$work/failures.out")"
    driver_pid=0
    children_end=$(apache_children)

    [ "${FAIL_CONTROL:-0}" = 1 ] && echo "control run: no server is killed"
    echo "failures: ${CONNECTIONS:-36} connections, ${FAIL_CHILDREN:-2} children of" \
        "${FAIL_THREADS:-64} threads, a server killed every ${period}s and back ${down}s later," \
        "$kills kills in $minutes min; load average $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "driver: $(cat "$work/failures.out")"
    awk '{n++} $2 < 200 || $2 >= 300 {bad[$3 " " $2]++; b++}
        END {printf "responses recorded %d, not 2xx %d", n, b
             for (x in bad) {split(x, f, " "); printf "; %s %s: %d", f[1] == "P" ? "POST" : "GET", f[2], bad[x]}
             printf "\n"}' "$work/records"
    awk -v period="$period" -f "$top/bench/chaos/failures.awk" "$samples"
    print_phase_children
    end_phase failures
}
