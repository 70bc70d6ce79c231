# The sick rows of bench/stall/run.sh (sourced by it, after its helpers): what Apache
# serves itself, and the mapped requests beside it, while a back end is sick. Each row
# starts its servers and a fresh Apache, then two chaos_load drivers for 1 + `seconds`
# seconds: STATIC_CONNECTIONS on GET /index.html and MAPPED_CONNECTIONS on GET /app/echo,
# each connection pausing PAUSE_MS (10) after every answer, so that the load leaves the
# two shared cores room and a slow request shows a stall rather than a busy machine.
# Only requests that ended after the first second count (Apache's first requests make
# the table), however early they began: a request stuck from the start counts. Latency is
# the client's, of each request (no made-up samples); a request without an answer within
# 5 s counts as "noresp", with 5 s as its latency. Slow requests are counted twice: by
# the client, and by Apache's own time (%D) of those it finished (a request still stuck
# when Apache stops never reaches its log).
static_connections=${STATIC_CONNECTIONS:-16}
mapped_connections=${MAPPED_CONNECTIONS:-16}
sick_rounds=${ROUNDS:-3}
client_timeout_ms=5000
pause_ms=${PAUSE_MS:-10}

# The requests of a record file that ended at or after `from`: "count non2xx noresp p50
# p99 p99.9 max statuses slow" (ms; statuses "404:n,503:m" of the answers other than 2xx,
# "-" when none; slow: how many took over `slow` ms). Records are "epoch-ms status kind
# octet latency-us".
summarise_records() {  # file from-ms slow-ms
  awk -v from="$2" '$1 >= from {print $5, $2}' "$1" | sort -n | awk -v slow="$3" '
    { lat[NR] = $1; s = $2 + 0
      if ($1 > slow * 1000) slowCount++
      if (s == 0) noresp++
      else if (s < 200 || s > 299) { other++; by[s]++ } }
    function at(p,  i) { i = int(NR * p / 100); if (i < NR * p / 100) i++; if (i < 1) i = 1; return lat[i] / 1000 }
    END {
      if (NR == 0) { print "0 0 0 - - - - - 0"; exit }
      list = ""
      for (s in by) list = list (list == "" ? "" : ",") s ":" by[s]
      printf "%d %d %d %.2f %.2f %.2f %.2f %s %d\n", NR, other, noresp, at(50), at(99),
        at(99.9), lat[NR] / 1000, list == "" ? "-" : list, slowCount }'
}

# Requests of Apache's access log ("%D %{begin:msec}t %U") that ended at or after `from`,
# whose path matches `path` and that took over `us` microseconds.
slow_requests() {  # from-ms path-regex us
  awk -v from="$1" -v path="$2" -v us="$3" '$2 + $1 / 1000 >= from && $3 ~ path && $1 > us {n++}
    END {print n + 0}' "$work/access.log"
}

# One row of one round; appends "row round <static summary> <static slow by Apache>
# <mapped summary> <mapped slow by Apache>" to $work/sick.results, slow meaning over
# 100 ms for static requests and over 1 s for mapped ones.
sick_row() {  # row round
  local row=$1 round=$2 i
  control_text=""
  backend_pid=()
  case $row in
    healthy)
      members 0 1 2
      control_text=$'cluster-seq=1\n'
      for i in 0 1 2; do start_backend "$i" 0; done ;;
    boot-blackhole)
      blackhole 0 ;;
    silent-member)
      members 0 1
      control_text=$'cluster-seq=1\n'
      for i in 0 1; do start_backend "$i" 0; done
      start_backend 2 0 --fault never-answer --props-fault never-answer ;;
  esac
  : >"$work/error.log"
  start_apache "$base/index.html"
  : >"$work/access.log"
  local t0 from
  t0=$(now_ms)
  from=$((t0 + 1000))
  "$load" --target "127.0.0.1:$apache_port" --connections "$static_connections" \
    --seconds $((seconds + 1)) --mix static --timeout-ms "$client_timeout_ms" \
    --pause-ms "$pause_ms" \
    --record "$work/static.rec" >"$work/static.out" 2>&1 &
  local static_pid=$!
  "$load" --target "127.0.0.1:$apache_port" --connections "$mapped_connections" \
    --seconds $((seconds + 1)) --mix echo --timeout-ms "$client_timeout_ms" \
    --pause-ms "$pause_ms" \
    --record "$work/mapped.rec" >"$work/mapped.out" 2>&1 &
  local mapped_pid=$!
  if [ "$row" = silent-member ]; then
    # The healthy members announce the silent one as a real cluster does: a new member
    # list and a higher sequence number, loaded on SIGHUP.
    sleep_until $((t0 + 2000))
    members 0 1 2
    for i in 0 1; do
      printf 'cluster-seq=2\n' >"$work/s$i.control"
      kill -HUP "${backend_pid[$i]}"
    done
  fi
  wait "$static_pid" || { echo "static load failed: $(cat "$work/static.out")" >&2; return 1; }
  wait "$mapped_pid" || { echo "mapped load failed: $(cat "$work/mapped.out")" >&2; return 1; }
  echo "$row $round $(summarise_records "$work/static.rec" "$from" 100)" \
    "$(slow_requests "$from" '^/index\.html$' 100000)" \
    "$(summarise_records "$work/mapped.rec" "$from" 1000)" \
    "$(slow_requests "$from" '^/app/' 1000000)" >>"$work/sick.results"
  stop_pids
  if [ -n "${LOG_DIR:-}" ]; then cp "$work/error.log" "$LOG_DIR/$row-$round.log"; fi
  sleep 0.3
}

run_sick_rows() {
  command -v python3 >/dev/null || { echo "python3 is needed for boot-blackhole" >&2; return 1; }
  : >"$work/sick.results"
  local round row
  for round in $(seq "$sick_rounds"); do
    for row in "${sick_rows[@]}"; do sick_row "$row" "$round"; done
  done
  echo
  echo "sick rows: GET /index.html (Apache's own file) at $static_connections connections and" \
    "GET /app/echo (mapped) at $mapped_connections, each pausing ${pause_ms} ms after an" \
    "answer, ${seconds}s counted per row, $sick_rounds" \
    "rounds, connecttimeout ${connect_timeout}s, proxyretryinterval ${RETRY_INTERVAL:-1}s," \
    "$(nproc) cores"
  awk -f "$top/bench/stall/sick.awk" "$work/sick.results"
}
