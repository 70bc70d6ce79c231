# The rows of bench/recovery/run.sh (sourced by it, after its helpers). Each row starts
# what it needs that is not running (SRV1..SRV3, the main Apache, HAProxy) and waits until
# both setups serve from all three servers, so that any row can run alone.

# Both setups answered by SRV1, SRV2 and SRV3 (at most 20 s), or the row cannot be measured.
settle() {  # row
  local i f ok=0
  for i in 0 1 2; do [ "${server_pid[i]}" -gt 0 ] || start_server "$i"; done
  [ "$apache_pid" -gt 0 ] || start_apache "http://127.0.0.1:$apache_port/app/echo"
  [ "$haproxy_pid" -gt 0 ] || start_haproxy
  start_pollers "settle-$1" 20
  for _ in $(seq 200); do
    ok=1
    for f in "$work/poll/settle-$1-"{m,h}.poll; do
      for i in 0 1 2; do [ -n "$(first_ok "$f" 0 "${hosts[i]}")" ] || ok=0; done
    done
    [ "$ok" = 1 ] && break
    sleep 0.1
  done
  stop_pollers
  [ "$ok" = 1 ] || fail "$1: the setups were not served by all three servers within 20 s"
}

# The longest time (s) a request that began in [from, to) took.
slowest() {  # file from-ms to-ms
  awk -v from="$2" -v to="$3" '$1 >= from && $1 < to && $4 > m { m = $4 }
    END { printf "%.2f\n", m }' "$1"
}
# The requests a "status:count,..." list counts.
count_of() {  # list
  awk -v l="$1" 'BEGIN { n = split(l, a, "[:,]")
    for (k = 2; k <= n; k += 2) t += a[k]
    print t + 0 }'
}

row_restart() {
  settle restart
  echo
  echo "restart in place: a server killed (SIGKILL), started again 3 s later on the same" \
    "ports; seconds from its start until a GET is served by it; requests begun since the" \
    "kill until then: failed, and the longest one's seconds"
  printf '%-10s %-6s %-6s %10s %8s %9s  %s\n' setup round server served-s failed slowest-s \
    statuses
  local r i s f kill_ms served worst=0 fails results=()
  for r in 0 1 2; do
    i=$r
    start_pollers "restart-$r" 45
    sleep 1
    kill_ms=$(now_ms)
    kill_servers "$i"
    sleep_until $((kill_ms + 3000))
    start_server "$i"
    wait_served "${server_start[i]}" 30 "${hosts[i]}" "$work/poll/restart-$r-"{m,h}.poll
    sleep 0.2
    stop_pollers
    for s in 0 1; do
      f=$work/poll/restart-$r-${polls[s]}.poll
      served=$(first_ok "$f" "${server_start[i]}" "${hosts[i]}")
      fails=$(statuses "$f" "$kill_ms" "${served:-$(now_ms)}")
      results+=("$(printf '%-10s %-6s %-6s %10s %8s %9s  %s' "${setups[s]}" $((r + 1)) \
        "${names[i]}" "$(secs "${server_start[i]}" "$served")" "$(count_of "$fails")" \
        "$(slowest "$f" "$kill_ms" "${served:-$(now_ms)}")" "$fails")")
      if [ "$s" = 0 ] && { [ -z "$served" ] || [ $((served - server_start[i])) -gt 2000 ]; }; then
        worst=1
      fi
    done
  done
  printf '%s\n' "${results[@]}" | sort -s -r -k1,1
  echo "target mod_quon22: every restart served again within 2 s: $(met $((1 - worst)))"
}

# Per setup, over the clients' record files ("end-ms status kind octet latency-us ..."):
# "requests bad failed over2s max-bad-per-client last-bad-began-s-after-pause max-latency-s".
pause_summary() {  # pause-ms files...
  local at=$1
  shift
  awk -v at="$at" '
    { n++; lat = $5 / 1000; begin = $1 - lat
      failed = $2 !~ /^2/; slow = $5 > 2000000
      if (lat > worst) worst = lat
      if (failed) f++
      if (slow) o++
      if (failed || slow) {
        bad++; per[FILENAME]++
        if (!seen || begin > last) last = begin
        seen = 1 } }
    END {
      for (c in per) if (per[c] > most) most = per[c]
      printf "%d %d %d %d %d %s %.2f\n", n, bad, f, o, most,
        seen ? sprintf("%.2f", (last - at) / 1000) : "-", worst / 1000 }' "$@"
}

row_pause() {
  settle pause
  local i=1 s c t0 stop_ms cont_ms p port
  t0=$(now_ms)
  for s in 0 1; do
    port=$apache_port
    [ "$s" = 1 ] && port=$haproxy_port
    for c in 1 2 3 4 5 6 7 8; do
      "$load" --target "127.0.0.1:$port" --connections 1 --mix echo --timeout-ms 10000 \
        --pause-ms "$pause_ms" --seconds 25 --record "$work/poll/pause-${polls[s]}-$c.rec" \
        >"$work/poll/pause-${polls[s]}-$c.out" 2>&1 &
      load_pids+=($!)
    done
  done
  sleep_until $((t0 + 2000))
  stop_ms=$(now_ms)
  kill -STOP "${server_pid[i]}"
  sleep_until $((stop_ms + 20000))
  kill -CONT "${server_pid[i]}"
  cont_ms=$(now_ms)
  for p in "${load_pids[@]}"; do
    wait "$p" || fail "pause: a load driver failed: $(cat "$work"/poll/pause-*.out)"
  done
  load_pids=()
  echo
  echo "pause: ${names[i]} stopped (SIGSTOP) for $(secs "$stop_ms" "$cont_ms") s under 8" \
    "clients per setup (10 s time-out, ${pause_ms} ms after each answer), 2 s before to 3 s" \
    "after; bad: failed or over 2 s"
  printf '%-10s %8s %5s %6s %6s %10s %16s %9s\n' setup requests bad failed over2s \
    per-client last-bad-began-s max-s
  local out ok=0
  for s in 0 1; do
    read -r -a out <<<"$(pause_summary "$stop_ms" "$work/poll/pause-${polls[s]}-"*.rec)"
    printf '%-10s %8s %5s %6s %6s %10s %16s %9s\n' "${setups[s]}" "${out[@]}"
    if [ "$s" = 0 ] && [ "${out[1]}" -le 8 ] && [ "${out[4]}" -le 1 ] &&
      { [ "${out[5]}" = - ] || awk -v x="${out[5]}" 'BEGIN {exit !(x <= 3)}'; }; then
      ok=1
    fi
  done
  echo "target mod_quon22: at most 8 bad, one per client, the last begun within 3 s of the" \
    "pause: $(met "$ok")"
}

row_stall() {
  settle stall
  local i=1 s c t0 stall_ms end_ms p port
  t0=$(now_ms)
  for s in 0 1; do
    port=$apache_port
    [ "$s" = 1 ] && port=$haproxy_port
    for c in 1 2 3 4 5 6 7 8; do
      "$load" --target "127.0.0.1:$port" --connections 1 --mix echo --timeout-ms 10000 \
        --pause-ms "$pause_ms" --seconds 25 --record "$work/poll/stall-${polls[s]}-$c.rec" \
        >"$work/poll/stall-${polls[s]}-$c.out" 2>&1 &
      load_pids+=($!)
    done
  done
  sleep_until $((t0 + 2000))
  # Requests on both ports go unanswered; props exchanges and pings are answered.
  printf 'cluster-seq=1\nfault=never-answer\n' >"$work/${names[i]}.control"
  stall_ms=$(now_ms)
  kill -HUP "${server_pid[i]}"
  sleep_until $((stall_ms + 20000))
  printf 'cluster-seq=1\n' >"$work/${names[i]}.control"
  kill -HUP "${server_pid[i]}"
  end_ms=$(now_ms)
  for p in "${load_pids[@]}"; do
    wait "$p" || fail "stall: a load driver failed: $(cat "$work"/poll/stall-*.out)"
  done
  load_pids=()
  # The exchanges it never answered hold connections of both setups: a restart ends them.
  kill_servers "$i"
  start_server "$i"
  echo
  echo "stall: ${names[i]} answers no request (never-answer, props and pings still answered)" \
    "for $(secs "$stall_ms" "$end_ms") s under 8 clients per setup (10 s time-out," \
    "${pause_ms} ms after each answer), 2 s before to 3 s after; bad: failed or over 2 s"
  printf '%-10s %8s %5s %6s %6s %10s %16s %9s\n' setup requests bad failed over2s \
    per-client last-bad-began-s max-s
  local out ok=0
  for s in 0 1; do
    read -r -a out <<<"$(pause_summary "$stall_ms" "$work/poll/stall-${polls[s]}-"*.rec)"
    printf '%-10s %8s %5s %6s %6s %10s %16s %9s\n' "${setups[s]}" "${out[@]}"
    if [ "$s" = 0 ] && [ "${out[1]}" -le 8 ] && [ "${out[4]}" -le 1 ] &&
      { [ "${out[5]}" = - ] || awk -v x="${out[5]}" 'BEGIN {exit !(x <= 3)}'; }; then
      ok=1
    fi
  done
  echo "target mod_quon22: at most 8 bad, one per client, the last begun within 3 s of the" \
    "stall: $(met "$ok")"
}

row_all_down() {
  settle all-down
  local i s f kill_ms start_ms served ok=1
  start_pollers all-down 45
  sleep 1
  kill_servers 0 1 2
  kill_ms=$(now_ms)
  sleep_until $((kill_ms + 8000))
  start_ms=$(now_ms)
  for i in 0 1 2; do start_server "$i"; done
  wait_served "$start_ms" 30 "" "$work/poll/all-down-"{m,h}.poll
  sleep 0.2
  stop_pollers
  echo
  echo "all down: every server killed (SIGKILL), all started again 8 s later; seconds from" \
    "their start until the first success, answers meanwhile"
  printf '%-10s %10s  %-24s %s\n' setup served-s "answers while down" \
    "failures after the start"
  for s in 0 1; do
    f=$work/poll/all-down-${polls[s]}.poll
    served=$(first_ok "$f" "$start_ms")
    printf '%-10s %10s  %-24s %s\n' "${setups[s]}" "$(secs "$start_ms" "$served")" \
      "$(statuses "$f" "$kill_ms" "$start_ms" all)" \
      "$(statuses "$f" "$start_ms" "${served:-$(now_ms)}")"
    if [ "$s" = 0 ]; then
      [ -n "$served" ] && [ $((served - start_ms)) -le 1000 ] || ok=0
      [[ "$(statuses "$f" "$kill_ms" "$start_ms" all)" =~ ^503:[0-9]+$ ]] || ok=0
    fi
  done
  echo "target mod_quon22 (keep it): 503 meanwhile, served within 1 s: $(met "$ok")"
}

row_cold() {
  settle cold
  local i s f start_ms served ok=1
  stop_apache main
  stop_haproxy
  grep -q '^pattern=' "$work/store/servers" 2>/dev/null ||
    fail "cold: the server store $work/store/servers holds no URL pattern after Apache ran"
  kill_servers 0 1 2
  start_apache "http://127.0.0.1:$apache_port/index.html"
  start_haproxy
  start_pollers cold 45
  sleep 3
  start_ms=$(now_ms)
  for i in 0 1 2; do start_server "$i"; done
  wait_served "$start_ms" 30 "" "$work/poll/cold-"{m,h}.poll
  sleep 0.2
  stop_pollers
  echo
  echo "cold start: Apache and HAProxy started fresh while every server is down, the" \
    "servers 3 s later; answers before their start, seconds from it to the first success"
  printf '%-10s %10s  %-24s %s\n' setup served-s "answers while down" \
    "failures after the start"
  for s in 0 1; do
    f=$work/poll/cold-${polls[s]}.poll
    served=$(first_ok "$f" "$start_ms")
    printf '%-10s %10s  %-24s %s\n' "${setups[s]}" "$(secs "$start_ms" "$served")" \
      "$(statuses "$f" 0 "$start_ms" all)" "$(statuses "$f" "$start_ms" "${served:-$(now_ms)}")"
    if [ "$s" = 0 ]; then
      [ -n "$served" ] && [ $((served - start_ms)) -le 1000 ] || ok=0
      [[ "$(statuses "$f" 0 "$start_ms" all)" =~ ^503:[0-9]+$ ]] || ok=0
    fi
  done
  echo "target mod_quon22: 503 before, served within 1 s: $(met "$ok")"
  stop_apache cold
}

# The requests begun after the first 2xx answer ended (at `first`): "requests non2xx over1s
# max-s".
after_first() {  # file first-ms
  awk -v from="$2" '$1 >= from { n++; if ($2 !~ /^2/) b++; if ($4 > 1) o++
      if ($4 > m) m = $4 } END { printf "%d %d %d %.2f\n", n, b, o, m }' "$1"
}

row_vhost() {
  local i round f first main_first="" ok=1 line
  for i in 0 1 2 3 4; do [ "${server_pid[i]}" -gt 0 ] || start_server "$i"; done
  stop_apache main
  echo
  echo "vhost (mod_quon22 only): a second virtual host bootstrapped from SRV4, whose member" \
    "list also names SRV5; seconds from Apache's start to each host's first success"
  printf '%-8s %-7s %9s %-22s %8s %6s %6s %6s\n' round host first-s "answers before" \
    after non2xx over1s max-s
  for round in control silent; do
    [ "$round" = silent ] && kill -STOP "${server_pid[4]}"
    start_apache "" "Listen 127.0.0.1:$vhost_port" "<VirtualHost 127.0.0.1:$vhost_port>" \
      "  QuonConfig bootstrap ${quon[3]}" "</VirtualHost>"
    rm -f "$work/poll/stop"
    poll "http://127.0.0.1:$apache_port/app/echo" "$work/poll/vhost-$round-main.poll" 8 &
    poller_pids+=($!)
    poll "http://127.0.0.1:$vhost_port/app/echo" "$work/poll/vhost-$round-second.poll" 8 &
    poller_pids+=($!)
    for i in "${poller_pids[@]}"; do wait "$i" 2>/dev/null || true; done
    poller_pids=()
    kill -0 "$apache_pid" 2>/dev/null ||
      fail "vhost: Apache ended: $(tail -n 3 "$work/apache.out" "$work/error.log")"
    stop_apache "vhost-$round"
    [ "$round" = silent ] && kill -CONT "${server_pid[4]}"
    for f in main second; do
      local file=$work/poll/vhost-$round-$f.poll host=""
      [ "$f" = second ] && host=${hosts[3]}
      first=$(first_ok "$file" "$apache_launch" "$host")
      read -r -a line <<<"$(after_first "$file" "${first:-99999999999999}")"
      printf '%-8s %-7s %9s %-22s %8s %6s %6s %6s\n' "$round" "$f" \
        "$(secs "$apache_launch" "$first")" "$(statuses "$file" 0 "${first:-99999999999999}")" \
        "${line[@]}"
      if [ "$round" = silent ]; then
        if [ "$f" = second ]; then
          [ -n "$first" ] && [ $((first - apache_launch)) -le 2000 ] || ok=0
        else
          [ -n "$first" ] && [ -n "$main_first" ] &&
            [ $((first - apache_launch)) -le $((main_first + 500)) ] &&
            [ "${line[1]}" = 0 ] && [ "${line[2]}" = 0 ] || ok=0
        fi
      elif [ "$f" = main ] && [ -n "$first" ]; then
        main_first=$((first - apache_launch))
      fi
    done
  done
  echo "target mod_quon22: with SRV5 silent the second host served within 2 s, the main" \
    "host no later than in the control round (+0.5 s) and every later answer a 2xx within" \
    "1 s: $(met "$ok")"
}
