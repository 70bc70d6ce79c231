#!/usr/bin/env bash
# The chaos benchmark: chaos_load at 64 connections (sessions kept per connection, GET
# /app/session, GET /app/echo and POST /app/body in turn) through Apache (event MPM, two
# children of 64 threads) with the module in front of three quon-backend servers.
#   phase 1 (PHASE1, 60 s): every PERIOD (10) s one server is killed with SIGKILL, in turn,
#                   and started again on the same address DOWN seconds later;
#   phase 2:        all three are killed together and started again DOWN2 seconds later;
#                   the load goes on for 10 s after they are back; ROUNDS (2) times.
# Before phase 1 a warm-up (WARMUP=1) runs the same load, unrecorded, through one
# shortened cycle of the same failures: each server killed once for DOWN seconds, then
# all three for DOWN2 seconds. A child's memory grows the first time its threads and
# connections take the failure paths, and then stays: a worker's stack is resident to
# the depth of the deepest call it made (a failed forward writes error-log lines, whose
# formatting takes 12 to 24 kB of stack more than a success), malloc's per-thread arenas
# keep their high-water mark (the 16 KiB connection records are freed when a server dies
# and made again by whichever threads reconnect), and each of Apache's connection pools
# keeps what its largest request freed (up to MaxMemFree, 2048 KiB by default; every 503
# closes its connection, so an outage makes new connections and pools). The start sample
# is taken after that, so the growth printed is what the repeated failures of the
# measured run add on top of one of each. WARMUP=0 takes the start sample 3 s into the
# load without any failure first, as before. The full outages of phase 2 still leave
# the end sample 1.5 to 4 MB above the start, by a different amount in every run and
# every round (a child's figure falls after one outage and rises after the next): each
# 503 closes its connection (Apache drops the connection after a 503), the clients
# reconnect at once, and how much connection-pool and malloc-arena memory a child holds
# at the sample depends on that storm; malloc's bytes in use stay level through it.
# So the growth is printed whole and split into phase 1 and phase 2.
# Every response of the measured run is recorded; the report gives the requests, the
# responses other than 2xx by status, kind and phase, the time from each restart (the
# server's ready file) to the first success served by it (phase 2: by any server), the
# children's RSS at the start sample, after each restart and at the end, the resident
# memory of each child by kind of mapping (bench/chaos/smaps.awk) at the start and the
# end, and the "exit signal" lines of the error log.
#
# That is the "kills" phase. The "rolling" phase (bench/chaos/rolling.sh) follows it with
# a fresh Apache and fresh servers: each server restarted in turn, proxyretryinterval at
# its default, membership changes announced with a new sequence number. The "drain"
# phase (bench/chaos/drain.sh) then restarts each server in turn the careful way, again
# with a fresh Apache and servers: drained, disabled, stopped and started, enabled,
# through the status page. PHASES picks and orders the phases ("kills rolling drain" by
# default; "rolling" alone takes about 30 s, "drain" about 40 s). The "failures" phase
# (bench/chaos/failures.sh; not among the defaults, about 70 s, or 15 minutes with
# FAIL_LONG=1) kills a server every 8 s and samples the children's memory by kind.
#
#   bench/chaos/run.sh   environment: BUILD, PHASES, CONNECTIONS (64), RETRY (1; "none": no
#                        proxyretryinterval line, the connector's defaults), DOWN (5), DOWN2 (3),
#                        PERIOD (10), PHASE1 (60), ROUNDS (2; 0 skips phase 2), WARMUP (1),
#                        MIX (session,echo,post: chaos_load's --mix; without "session" no
#                        request carries a session, so each restart's first success is
#                        not held back by sticky sessions),
#                        TRACEFLAGS (0; 1 writes the module's connection and cluster events),
#                        and those of rolling.sh, drain.sh and failures.sh
# The issue's long restart run, at the connector's defaults, a kill every 8 s, each server
# back 3 s later, for five minutes (RSS sampled after every restart; the growth after the
# first minute is printed apart):
#   PHASES=kills RETRY=none CONNECTIONS=36 PERIOD=8 DOWN=3 PHASE1=300 ROUNDS=0 WARMUP=0 \
#       MIX=echo,post bench/chaos/run.sh
set -euo pipefail
source "$(dirname "$0")/common.sh"
connections=${CONNECTIONS:-64}
retry=${RETRY:-1}
down=${DOWN:-5}
period=${PERIOD:-10}
phase1=${PHASE1:-60}
down2=${DOWN2:-3}
trace=${TRACEFLAGS:-0}
tail2=10
rounds=${ROUNDS:-2}
warmup=${WARMUP:-1}
mix=${MIX:-session,echo,post}

cmake --build "$build" --target quon-backend mod_quon22 chaos_load quon_backend_load >/dev/null
source "$top/bench/chaos/rolling.sh"
source "$top/bench/chaos/drain.sh"
source "$top/bench/chaos/failures.sh"

# Phases 1 and 2, with their warm-up, and their report.
kills_phase() {
    write_cluster_files
    for i in 0 1 2; do start_server "$i"; done
    for i in 0 1 2; do wait_ready "$i"; done
    # The retry interval is the table's default from QuonConfig: the servers' props name none.
    local retryLine="QuonConfig proxyretryinterval $retry"
    [ "$retry" = none ] && retryLine="" && retry=0
    start_apache 2 64 "$retryLine" "QuonConfig traceflags $trace"

    # Warm-up: one server down at a time, each once, then all three; nothing is recorded.
    if [ "$warmup" = 1 ]; then
        w0=$(now_ms)
        "$load" --target "127.0.0.1:$port" --connections "$connections" \
            --seconds $((2 + 3 * (down + 1) + down2 + 4)) >"$work/warmup.out" 2>&1 &
        driver_pid=$!
        sleep_until $((w0 + 2000))
        for i in 0 1 2; do
            kill_server "$i"
            sleep "$down"
            start_server "$i"
            wait_ready "$i"
            sleep 1
        done
        for i in 0 1 2; do kill_server "$i"; done
        sleep "$down2"
        for i in 0 1 2; do start_server "$i"; done
        for i in 0 1 2; do wait_ready "$i"; done
        wait "$driver_pid" || fail "the warm-up load failed: $(cat "$work/warmup.out")"
        driver_pid=0
        echo "warm-up: $(cat "$work/warmup.out") in $((($(now_ms) - w0) / 1000)) s"
    fi

    events=$work/events
    : >"$events"
    total=$((phase1 + 2 + rounds * (down2 + tail2) + 1))
    t0=$(now_ms)
    "$load" --target "127.0.0.1:$port" --connections "$connections" --seconds "$total" \
        --mix "$mix" --record "$work/records" >"$work/driver.out" 2>&1 &
    driver_pid=$!

    sleep_until $((t0 + 3000))
    rss_start=$(children_rss)
    kinds_start=$(children_kinds)
    rss_timeline=""
    children_start=$(apache_children)

    # Phase 1: a kill every PERIOD s from t=5 s, each server down for DOWN seconds.
    rss_minute=""
    for k in $(seq 0 $((phase1 / period - 1))); do
        i=$((k % 3))
        sleep_until $((t0 + 5000 + k * period * 1000))
        kill_server "$i"
        echo "kill $i $(now_ms)" >>"$events"
        sleep_until $((t0 + 5000 + k * period * 1000 + down * 1000))
        echo "up $i $(now_ms)" >>"$events"
        start_server "$i"
        wait_ready "$i"
        rss_now=$(children_rss)
        rss_timeline+="  t=$(((k + 1) * period))s $rss_now"$'\n'
        [ "$k" = 0 ] && rss_warm=$rss_now
        if [ -z "$rss_minute" ] && [ $(((k + 1) * period)) -ge 60 ]; then
            rss_minute=$rss_now
            kinds_minute=$(children_kinds)
        fi
        rss_phase1=$rss_now
    done

    # Phase 2: all three at once, in ROUNDS rounds (a second round shows whether memory taken
    # by the first outage is kept for the next one or grows again).
    for r in $(seq 0 $((rounds - 1))); do
        at=$((t0 + (phase1 + 2 + r * (down2 + tail2)) * 1000))
        sleep_until "$at"
        echo "killall - $(now_ms)" >>"$events"
        for i in 0 1 2; do kill_server "$i"; done
        echo "alldown - $(now_ms)" >>"$events"
        sleep_until $((at + down2 * 1000))
        echo "upall - $(now_ms)" >>"$events"
        for i in 0 1 2; do start_server "$i"; done
        for i in 0 1 2; do wait_ready "$i"; done
        sleep_until $((at + (down2 + tail2) * 1000 - 500))
        rss_timeline+="  all-three round $((r + 1)) +${tail2}s: $(children_rss)"$'\n'
    done

    rss_end=$(children_rss)
    kinds_end=$(children_kinds)
    children_end=$(apache_children)
    wait "$driver_pid" || fail "the load driver failed: $(cat "$work/driver.out")"
    driver_pid=0
    [ -s "$work/records" ] || fail "the load driver recorded no response: $(cat "$work/driver.out")"

    echo "chaos: $connections connections, retry interval ${retry}s (QuonConfig proxyretryinterval; 0: none)," \
        "one server down ${down}s of every ${period}s for ${phase1}s, then all three down ${down2}s ($rounds times)"
    echo "driver: $(cat "$work/driver.out")"
    awk -v ev="$events" -v retry="$retry" -f "$top/bench/chaos/report.awk" "$work/records" ||
        fail "a phase could not be measured (see above)"
    echo "Apache children at the start sample: $rss_start"
    echo "Apache children at the end:          $rss_end"
    printf 'resident memory by kind, start sample:\n%s\n' "$kinds_start"
    [ -n "$rss_minute" ] && printf 'resident memory by kind, after the first minute:\n%s\n' "$kinds_minute"
    printf 'resident memory by kind, end:\n%s\n' "$kinds_end"
    printf 'RSS after each restart:\n%s' "$rss_timeline"
    [ "$children_start" = "$children_end" ] || echo "children changed: [$children_start] -> [$children_end]"
    # Sum of the children's RSS in two samples ("pid:NkB ..."), and the change.
    growth() {
        awk -v a="$1" -v b="$2" 'BEGIN {
            n = split(a, x, " "); m = split(b, y, " "); s = 0; e = 0
            for (i = 1; i <= n; i++) { split(x[i], p, ":"); s += p[2] }
            for (i = 1; i <= m; i++) { split(y[i], p, ":"); e += p[2] }
            printf "%d kB -> %d kB (%+.1f%%)", s, e, s ? 100 * (e - s) / s : 0 }'
    }
    echo "RSS growth over the run (from the start sample): $(growth "$rss_start" "$rss_end")"
    echo "  of which phase 1 (start sample to t=${phase1}s): $(growth "$rss_start" "$rss_phase1")," \
        "phase 2 (${rounds} outages of all three): $(growth "$rss_phase1" "$rss_end")"
    echo "RSS growth in phase 1 after the first restart (t=${period}s to t=${phase1}s):" \
        "$(growth "$rss_warm" "$rss_phase1")"
    [ -n "$rss_minute" ] && echo "RSS growth in phase 1 after the first minute (to t=${phase1}s):" \
        "$(growth "$rss_minute" "$rss_phase1")"
    crashes=$(crash_lines)
    echo "child crashes (\"exit signal\" lines in the error log): $crashes"
    grep 'exit signal' "$work/error.log" | head -5 || true
    echo "module lines: $(grep -c 'qnApache' "$work/error.log" || true);" \
        "\"NO servers reachable\": $(grep -c 'NO servers reachable' "$work/error.log" || true)"
    end_phase kills
}

for phase in ${PHASES:-kills rolling drain}; do
    case $phase in
        kills) kills_phase ;;
        rolling) rolling_phase ;;
        drain) drain_phase ;;
        failures) failures_phase ;;
        *) fail "unknown phase $phase (kills, rolling, drain, failures)" ;;
    esac
done
