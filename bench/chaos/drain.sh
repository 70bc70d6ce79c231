# The drain phase of bench/chaos/run.sh (sourced after common.sh): a deploy done the
# careful way, through the status page, under chaos_load at CONNECTIONS connections
# (sessions kept per connection, GET /app/session, GET /app/echo and POST /app/body in
# turn, each connection pausing DRAIN_PAUSE_MS (20) after every answer) through a fresh
# Apache (two children of 64 threads) whose /quon-status is open to 127.0.0.1 alone.
# Beside it UNSTICKY (4) connections send GET /app/echo alone (common.sh): they never
# hold a session, the traffic that a drained server must no longer get.
# From t=DRAIN_WARM seconds (3), for each server in turn:
#   1. drain it: the page is fetched and its form for the server posted with
#      action=drain, as a browser does. No new session and no request without one goes
#      to it; its sessions still do. The load's sessions never end, so their requests
#      go on reaching it as long as it is only drained: the phase holds the drain
#      DRAIN_HOLD seconds (3), as an operator lets the sessions that will end on their
#      own end, and samples its requests in flight (often 0 all the same: a request
#      takes about a millisecond, so a reading of 0 says little).
#   2. disable it: its sessions go to their buddy, which adopts them and issues each an
#      id of its own, so that they stay there once the server is back. Then wait until
#      its requests in flight over every child and the busy connections each child
#      publishes are 0 and its request count has not moved for 500 ms (at most 10 s):
#      nothing is on its way to it and nothing new comes. A session moves with its next
#      request, and one whose client is silent now would come back to the
#      restarted server, which has lost it: the phase waits DRAIN_MOVE seconds (1) more,
#      the pause of this load's clients many times over (a site waits for its sessions'
#      usual pause between requests).
#   3. stop it (SIGTERM), start it again on its address, wait until it is ready;
#   4. enable it, and go on to the next server DRAIN_GAP seconds (3) later.
# The load is long enough to go on about DRAIN_TAIL seconds (5) after the last gap (the
# phase fails when it ended less than 2 s after the last enable). Nothing announces a
# membership change: the cluster is the same three servers throughout.
# Report (bench/chaos/drain.awk): requests; the answers other than 2xx by status for
# each method (target 0 of each); sessions new, known, adopted and lost (a request that
# carried a session id and was given a new one: target 0); per server, the time it spent
# drained and disabled, its requests in flight while drained, the requests it served
# while drained that were not of its sessions and while disabled (target 0 each), the
# requests of its sessions that its buddy served, and the time from its enable to the
# first request it received and to the first success the load saw from it; from
# Apache's access log, the requests each child forwarded, and those it sent to a server
# while it was disabled (target 0: the operator's state holds in every child).
#   environment: CONNECTIONS (64), DRAIN_WARM (3), DRAIN_HOLD (3), DRAIN_MOVE (1),
#   DRAIN_GAP (3), DRAIN_TAIL (5), DRAIN_PAUSE_MS (20), UNSTICKY (4), TRACEFLAGS

status_url() { echo "http://127.0.0.1:$port/quon-status"; }

# Sets the operator's state of server i as the page's own form does: the page is
# fetched, the form of the server's row read (its action and hidden fields, the nonce
# among them) and posted with its fields in order and the button's action=NAME last.
# Sets posted_at and answered_at to the epoch ms just before the POST and once answered.
posted_at=0
answered_at=0
set_admin() {  # index action
    local i=$1 action=$2 page fields=() line code
    page=$(curl -s --max-time 5 "$(status_url)") || fail "the status page did not answer"
    # One line per form field of the server's form, "action URL" first.
    while IFS= read -r line; do
        fields+=("$line")
    done < <(printf '%s' "$page" | awk -v server="${addr[i]}" -f "$top/bench/chaos/form.awk")
    [ "${#fields[@]}" -ge 2 ] || fail "the status page has no form for ${addr[i]}"
    local args=()
    for line in "${fields[@]:1}"; do args+=(--data-urlencode "$line"); done
    posted_at=$(now_ms)
    code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 "${args[@]}" \
        --data-urlencode "action=$action" "http://127.0.0.1:$port${fields[0]#action }")
    answered_at=$(now_ms)
    [ "$code" = 303 ] || fail "$action of ${addr[i]} answered $code, not 303"
}

# "inflight busy requests" of server i: its requests in flight over every child, the
# busy connections to it that the children last published, summed, and its requests.
server_load() {  # index
    curl -s --max-time 5 "$(status_url)?format=json" | awk -v name="${addr[$1]}" '
        BEGIN { RS = "[{]\"name\":\"" }
        index($0, name "\"") == 1 {
            match($0, /"inFlight":[0-9]+/); inflight = substr($0, RSTART + 11, RLENGTH - 11)
            match($0, /"requests":[0-9]+/); requests = substr($0, RSTART + 11, RLENGTH - 11)
            busy = 0; rest = $0
            while (match(rest, /"busyConnections":[0-9]+/)) {
                busy += substr(rest, RSTART + 18, RLENGTH - 18); rest = substr(rest, RSTART + RLENGTH)
            }
            print inflight + 0, busy, requests + 0; found = 1; exit
        }
        END { if (!found) print "- - -" }'
}

# Polls server i until nothing is in flight to it, no child holds a busy connection to
# it and its request count has not moved for 500 ms (at most limit seconds); prints the
# epoch ms of that reading, or nothing.
wait_idle() {  # index limit
    local now deadline=$(($(now_ms) + $2 * 1000)) inflight busy requests last=- since=0
    while now=$(now_ms) && [ "$now" -lt "$deadline" ]; do
        read -r inflight busy requests < <(server_load "$1")
        if [ "$requests" != "$last" ]; then last=$requests since=$now; fi
        if [ "$inflight $busy" = "0 0" ] && [ $((now - since)) -ge 500 ]; then
            echo "$now"
            return 0
        fi
        sleep 0.1
    done
}

# Samples server i's requests in flight until the epoch ms given; prints "min max".
sample_inflight() {  # index until-ms
    local lo=-1 hi=0 f _
    while [ "$(now_ms)" -lt "$2" ]; do
        read -r f _ < <(server_load "$1")
        if [ "$f" != - ]; then
            if [ "$lo" -lt 0 ] || [ "$f" -lt "$lo" ]; then lo=$f; fi
            if [ "$f" -gt "$hi" ]; then hi=$f; fi
        fi
        sleep 0.2
    done
    echo "$lo $hi"
}

drain_phase() {
    local warm=${DRAIN_WARM:-3} hold=${DRAIN_HOLD:-3} move=${DRAIN_MOVE:-1} gap=${DRAIN_GAP:-3}
    local tail=${DRAIN_TAIL:-5}
    local i t0 drained disabled idle stopped started enabled flight
    server_logs=1
    write_cluster_files
    for i in 0 1 2; do start_server "$i"; done
    for i in 0 1 2; do wait_ready "$i"; done
    start_apache 2 64 "QuonConfig traceflags $trace" \
        "LoadModule authz_host_module /usr/lib/apache2/modules/mod_authz_host.so" \
        "<Location /quon-status>" "  SetHandler quon-status" "  Require ip 127.0.0.1" "</Location>" \
        "LogFormat \"%{msec}t %P %{QUON_SERVER}e %>s\" quon" "CustomLog $work/access.log quon"

    # The load ends by itself: warm-up, the drain, up to two seconds of waiting for idle,
    # stopping and starting on top of the move, and the gap per server, then the tail;
    # the events' own times decide what the report measures.
    local seconds=$((warm + 3 * (hold + move + 2 + gap) + tail))
    t0=$(now_ms)
    "$load" --target "127.0.0.1:$port" --connections "$connections" --seconds "$seconds" \
        --pause-ms "${DRAIN_PAUSE_MS:-20}" --record "$work/drain.records" >"$work/drain.out" 2>&1 &
    driver_pid=$!
    start_unsticky_load "$seconds" "${DRAIN_PAUSE_MS:-20}" "$work/unsticky.records" \
        "$work/unsticky.out"
    local children_start
    children_start=$(apache_children)
    : >"$work/drain.events"
    sleep_until $((t0 + warm * 1000))
    for i in 0 1 2; do
        set_admin "$i" drain
        drained=$answered_at
        flight=$(sample_inflight "$i" $((drained + hold * 1000)))
        set_admin "$i" disable
        disabled=$answered_at
        idle=$(wait_idle "$i" 10)
        [ -n "$idle" ] || fail "${addr[i]} still had requests in flight or coming 10 s after its disable"
        sleep "$move"
        stopped=$(now_ms)
        stop_pid "${server_pid[i]}" 5
        server_pid[i]=0
        start_server "$i"
        wait_ready "$i"
        started=$(log_time "$i" "$stopped" "listening on ")
        # The POST's start: the change is made before the page answers it.
        set_admin "$i" enable
        enabled=$posted_at
        echo "$i $drained $disabled $idle $stopped $started $enabled $flight $answered_at" \
            >>"$work/drain.events"
        sleep_until $((enabled + gap * 1000))
    done
    [ $((enabled + 2000)) -lt $((t0 + seconds * 1000)) ] ||
        fail "the load ended before the last server had been back 2 s: raise DRAIN_TAIL"
    local children_end
    wait_phase_load drain

    echo
    echo "drain: $connections connections (GET session, GET echo, POST body), each server in turn" \
        "drained ${hold}s, disabled until idle and ${move}s more, stopped (SIGTERM), started" \
        "again and enabled, through the status page; the next ${gap}s later"
    print_phase_drivers drain
    local first
    while read -r i drained disabled idle stopped started enabled _; do
        first=$(log_time "$i" "$enabled" "] PROXY_SERVICE_40 ")
        echo "$i ${first:-0} $(awk -v from="$started" -v to="$enabled" \
            '$1 >= from && $1 < to && index($0, "] PROXY_SERVICE_40 ") {n++} END {print n + 0}' \
            "$work/${names[i]}.log")"
    done <"$work/drain.events" >"$work/drain.received"
    awk -v ev="$work/drain.events" -v received="$work/drain.received" \
        -v access="$work/access.log" -v names="${names[*]}" -f "$top/bench/chaos/drain.awk" \
        "$work/drain.records" "$work/unsticky.records" ||
        fail "the drain phase could not be measured (see above)"
    print_phase_children
    echo "module lines: $(grep -c 'qnApache' "$work/error.log" || true);" \
        "status page changes: $(grep -c 'quon-status: server' "$work/error.log" || true)"
    end_phase drain
}
