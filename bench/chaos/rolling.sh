# The rolling-restart phase of bench/chaos/run.sh (sourced after common.sh): the three
# servers restarted one after the other, as an operator upgrades a cluster, under
# chaos_load at CONNECTIONS connections (sessions kept per connection, GET
# /app/session, GET /app/echo and POST /app/body in turn, each connection pausing
# ROLL_PAUSE_MS (20) after every answer, about 3000 requests/s, which leaves the two
# shared cores some room) through a fresh Apache (two
# children of 64 threads) whose QuonConfig sets no proxyretryinterval: its default holds.
# Beside it UNSTICKY (4) connections send GET /app/echo without a session (common.sh):
# a server that comes back holds no session (its sessions moved to its buddy for good),
# so these requests are the ones that find it again.
# From t=ROLL_WARM seconds (3), each server in turn is stopped (SIGTERM: it closes its
# connections and exits), started again on its address ROLL_DOWN seconds (1) later, as
# a restart takes a moment, and the next one stopped ROLL_GAP seconds (5) after that start. The cluster announces each change as a real one
# does: when a member leaves, every other member's list loses it and the sequence number
# goes up; when it joins again, every list names it and the number goes up again (each
# running server loads its files on SIGHUP; the restarted one reads them at its start).
# The load runs on for ROLL_TAIL seconds (8) after the last start.
# Report: for each restart, the time from the server's start ("listening on" in its log,
# whose lines carry the epoch time in ms) to the first request it received
# (PROXY_SERVICE_40), which must be within ROLL_GAP seconds, and to the first success the
# load saw from it; the failed GETs (target 0) and POSTs by status; crashed children.
#   environment: CONNECTIONS (64), ROLL_WARM (3), ROLL_DOWN (1), ROLL_GAP (5), ROLL_TAIL (8),
#   ROLL_PAUSE_MS (20), UNSTICKY (4), TRACEFLAGS

# Every server's member list names the servers given and the sequence number is seq.
write_members() {  # seq index...
    local seq=$1 i
    shift
    for i in "$@"; do printf '%s=%s\n' "${names[i]}" "${addr[i]}"; done >"$work/cluster.props"
    for i in 0 1 2; do printf 'cluster-seq=%d\n' "$seq" >"$work/${names[i]}.control"; done
}

# SIGHUP to every running server but the one given (-1: none left out).
reload_others() {  # index
    local i
    for i in 0 1 2; do
        if [ "$i" != "$1" ] && [ "${server_pid[i]}" -gt 0 ]; then kill -HUP "${server_pid[i]}"; fi
    done
}

rolling_phase() {
    local warm=${ROLL_WARM:-3} down=${ROLL_DOWN:-1} gap=${ROLL_GAP:-5} tail=${ROLL_TAIL:-8}
    local i j seq=1
    server_logs=1
    write_cluster_files
    for i in 0 1 2; do start_server "$i"; done
    for i in 0 1 2; do wait_ready "$i"; done
    start_apache 2 64 "QuonConfig traceflags $trace"
    grep -q proxyretryinterval "$work/httpd.conf" && fail "the rolling phase sets no proxyretryinterval"

    local t0 total=$((warm + 3 * (down + 1) + 2 * gap + tail))
    t0=$(now_ms)
    "$load" --target "127.0.0.1:$port" --connections "$connections" --seconds "$total" \
        --pause-ms "${ROLL_PAUSE_MS:-20}" --record "$work/rolling.records" \
        >"$work/rolling.out" 2>&1 &
    driver_pid=$!
    start_unsticky_load "$total" "${ROLL_PAUSE_MS:-20}" "$work/unsticky.records" \
        "$work/unsticky.out"
    local children_start
    children_start=$(apache_children)
    : >"$work/rolling.events"
    local next=$((t0 + warm * 1000)) stopped
    for i in 0 1 2; do
        sleep_until "$next"
        stopped=$(now_ms)
        stop_pid "${server_pid[i]}" 5
        server_pid[i]=0
        seq=$((seq + 1))
        write_members "$seq" $(for j in 0 1 2; do [ "$j" = "$i" ] || echo "$j"; done)
        reload_others "$i"
        sleep "$down"
        seq=$((seq + 1))
        write_members "$seq" 0 1 2
        start_server "$i"
        wait_ready "$i"
        reload_others "$i"
        echo "$i $stopped $(log_time "$i" "$stopped" "listening on ")" >>"$work/rolling.events"
        next=$(($(awk -v i="$i" '$1 == i {print $3}' "$work/rolling.events") + gap * 1000))
    done
    local children_end
    wait_phase_load rolling

    echo
    echo "rolling restart: $connections connections (GET session, GET echo, POST body), no" \
        "proxyretryinterval (the default), each server stopped and started again ${down}s" \
        "later, the next ${gap}s after that start, leave and join announced with a new" \
        "sequence number"
    print_phase_drivers rolling
    local late=0 start first ok line
    while read -r i stopped start; do
        first=$(log_time "$i" "$start" "] PROXY_SERVICE_40 ")
        ok=$(awk -v from="$start" -v octet="${hosts[i]##*.}" \
            '$1 >= from && $2 >= 200 && $2 < 300 && $4 == octet && (!m || $1 < m) {m = $1}
            END {if (m) print m}' \
            "$work/rolling.records" "$work/unsticky.records")
        line="${names[i]}: stopped at +$(((stopped - t0) / 1000)).$(((stopped - t0) % 1000 / 100))s,"
        line+=" up $((start - stopped)) ms later; first request received"
        if [ -n "$first" ]; then line+=" $((first - start)) ms after its start"; else line+=" never"; fi
        if [ -n "$ok" ]; then line+=", first success seen $((ok - start)) ms after"; fi
        if [ -z "$first" ] || [ $((first - start)) -gt $((gap * 1000)) ]; then late=$((late + 1)); fi
        echo "$line"
    done <"$work/rolling.events"
    awk -f "$top/bench/chaos/rolling.awk" "$work/rolling.records" "$work/unsticky.records"
    echo "target first request within ${gap}s of each start: $([ "$late" = 0 ] && echo met ||
        echo "MISSED ($late of 3)")"
    print_phase_children
    echo "module lines: $(grep -c 'qnApache' "$work/error.log" || true);" \
        "\"NO servers reachable\": $(grep -c 'NO servers reachable' "$work/error.log" || true)"
    end_phase rolling
}
