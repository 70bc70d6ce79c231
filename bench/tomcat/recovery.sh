# The recovery rows of bench/tomcat/run.sh (sourced): each set-up of recovery_setups in
# its own virtual host of the one Apache, all measured in the same run of each failure,
# so that every set-up sees the same Tomcat fail at the same moment. Requests are plain
# GET /app/echo (no session), from a poller per set-up (curl every 100 ms, a new
# connection each) or from bench/chaos's load driver (4 keep-alive connections per
# set-up, 20 ms after each answer, 10 s time-out). The settings of the -prod set-ups are
# in tomcats.sh (jk_workers, setup_lines); the others run at their defaults.

poller_pids=()
# One GET every 100 ms until the stop file is there or `seconds` have passed; a line per
# request: "begin-ms status server seconds" (status 000: no answer).
poll() {  # url out seconds
  local url=$1 out=$2 end=$(($(now_ms) + $3 * 1000)) t line code server took
  : >"$out"
  while [ ! -e "$work/poll.stop" ] && [ "$(now_ms)" -lt "$end" ]; do
    t=$(now_ms)
    line=$(curl -s --noproxy '*' -m 10 -o /dev/null \
      -w '%{http_code}|%header{x-quon-server}|%{time_total}' "$url" 2>/dev/null) || true
    IFS='|' read -r code server took <<<"$line"
    echo "$t ${code:-000} ${server:--} ${took:-0}" >>"$out"
    sleep_until $((t + 100))
  done
}
start_pollers() {  # name seconds
  local setup
  rm -f "$work/poll.stop"
  for setup in "${recovery_setups[@]}"; do
    poll "${base_of[$setup]}/app/echo" "$work/$1-$setup.poll" "$2" &
    poller_pids+=($!)
  done
}
stop_pollers() {
  local p
  touch "$work/poll.stop"
  for p in "${poller_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  poller_pids=()
}
# The epoch ms at which the first 2xx answer from host (127.0.0.x) begun at or after
# `from` ended; empty when none.
first_ok() {  # file from-ms host
  awk -v from="$2" -v host="$3" '$1 >= from && $2 ~ /^2/ && index($3, host ":") == 1 {
      printf "%.0f\n", $1 + $4 * 1000; exit }' "$1"
}
# "failed slowest-s" of the requests begun in [from, to).
failed_between() {  # file from-ms to-ms
  awk -v from="$2" -v to="$3" '$1 >= from && $1 < to { if ($2 !~ /^2/) f++; if ($4 > m) m = $4 }
    END { printf "%d %.2f\n", f, m }' "$1"
}
secs() {  # from-ms to-ms
  if [ -z "$2" ]; then echo never; else awk -v d=$(($2 - $1)) 'BEGIN {printf "%.2f", d / 1000}'; fi
}
# Until every set-up's poll file has a 2xx from host begun after `from`, at most `seconds`.
wait_served() {  # name from-ms seconds host
  local end=$(($(now_ms) + $3 * 1000)) setup all
  while [ "$(now_ms)" -lt "$end" ]; do
    all=1
    for setup in "${recovery_setups[@]}"; do
      [ -n "$(first_ok "$work/$1-$setup.poll" "$2" "$4")" ] || { all=0; break; }
    done
    [ "$all" = 1 ] && return 0
    sleep 0.2
  done
}

row_restart() {
  local i=1 kill_ms served setup f out
  start_pollers restart 60
  sleep 1
  kill_ms=$(now_ms)
  kill_tomcat "$i"
  sleep_until $((kill_ms + 3000))
  start_tomcat "$i"
  wait_tomcat "$i"
  wait_served restart "${tomcat_start[i]}" 30 "${hosts[i]}"
  sleep 0.3
  stop_pollers
  echo
  echo "restart in place: ${names[i]} killed (kill -9), started again 3 s later; seconds from its" \
    "start until a GET through the set-up is served by it (Tomcat's own start-up, from its JVM's start to its" \
    "log's \"Server startup in\": $(secs "${tomcat_start[i]}" "${tomcat_ready[i]}") s), requests begun from the kill until then that failed, the slowest"
  echo
  echo "| set-up | served again after s | failed | slowest s |"
  echo "|---|---:|---:|---:|"
  for setup in "${recovery_setups[@]}"; do
    f=$work/restart-$setup.poll
    served=$(first_ok "$f" "${tomcat_start[i]}" "${hosts[i]}")
    read -r -a out <<<"$(failed_between "$f" "$kill_ms" "${served:-$(now_ms)}")"
    echo "| $setup | $(secs "${tomcat_start[i]}" "$served" | sed 's/never/not within 30 s/') | ${out[0]} | ${out[1]} |"
  done
}

# Load on every set-up for `seconds`, 4 connections each; load_pids.
load_pids=()
start_load() {  # name seconds
  local setup
  for setup in "${recovery_setups[@]}"; do
    "$load" --target "${base_of[$setup]#http://}" --connections 4 --mix echo --timeout-ms 10000 \
      --pause-ms 20 --seconds "$2" --record "$work/$1-$setup.rec" >"$work/$1-$setup.out" 2>&1 &
    load_pids+=($!)
  done
}
wait_load() {
  local p
  for p in "${load_pids[@]}"; do wait "$p" || fail "a load driver failed: $(cat "$work"/*.out | tail -n 5)"; done
  load_pids=()
}
# The table of a loaded row: per set-up, from its record ("end-ms status kind octet
# latency-us ..."), requests, failed (by status, 0: no answer), over 2 s, and the slowest.
load_table() {  # name
  local setup
  echo
  echo "| set-up | requests | failed | over 2 s | slowest s | failed by status |"
  echo "|---|---:|---:|---:|---:|---|"
  for setup in "${recovery_setups[@]}"; do
    awk -v s="$setup" '{ n++; if ($2 !~ /^2/) { f++; by[$2]++ }
        if ($5 > 2000000) o++; if ($5 > m) m = $5 }
      END { for (k in by) list = list (list == "" ? "" : ", ") k ": " by[k]
        printf "| %s | %d | %d | %d | %.2f | %s |\n", s, n, f, o, m / 1000000,
          list == "" ? "-" : list }' "$work/$1-$setup.rec"
  done
}

row_kill() {
  local i=2
  start_load kill 12
  sleep 3
  kill_tomcat "$i"
  wait_load
  echo
  echo "kill -9 under load: ${names[i]} killed 3 s into 12 s of load (4 connections per" \
    "set-up, GET /app/echo, 20 ms between requests), not restarted during the row"
  load_table kill
  start_tomcat "$i" wait
}

row_pause() {
  local i=1
  start_load pause 22
  sleep 2
  kill -STOP "${tomcat_pid[i]}"
  sleep 15
  kill -CONT "${tomcat_pid[i]}"
  wait_load
  echo
  echo "pause: ${names[i]} stopped (SIGSTOP) for 15 s, 2 s into 22 s of load (4 connections" \
    "per set-up, 10 s time-out)"
  load_table pause
}

row_stuck() {
  local i=2 k sleepers=()
  # Every thread of the Tomcat's executor (and some queued) asleep for 15 s, through its
  # HTTP connector directly: its other connectors have no thread left either.
  for k in $(seq $((tomcat_threads + 10))); do
    curl -s --noproxy '*' -m 30 -o /dev/null "http://${hosts[i]}:${hport[i]}/app/sleep?ms=15000" &
    sleepers+=($!)
  done
  sleep 1
  start_load stuck 16
  wait_load
  for k in "${sleepers[@]}"; do wait "$k" 2>/dev/null || true; done
  echo
  echo "stuck: every request thread of ${names[i]} asleep in a servlet for 15 s (and 10 requests" \
    "queued), 16 s of load from 1 s after"
  load_table stuck
}

# A session made through each set-up and 6 requests with its cookie: the Tomcats that
# answered them and whether the session was still known.
row_sticky() {
  local setup id servers known
  echo
  echo "sticky sessions: a session begun through each set-up, then 6 requests with its cookie"
  echo
  echo "| set-up | session id | Tomcats that answered | answers that knew the session |"
  echo "|---|---|---:|---:|"
  for setup in "${recovery_setups[@]}"; do
    id=$(curl -s "${base_of[$setup]}/app/session" | sed -n 's/^session: //p')
    servers=$(for _ in 1 2 3 4 5 6; do
      curl -s -D - -H "Cookie: JSESSIONID=$id" "${base_of[$setup]}/app/session" |
        sed -n 's/^X-Quon-Server: \([^\r]*\).*/\1/Ip; s/^state: /state=/p'
    done)
    known=$(grep -c 'state=known' <<<"$servers" || true)
    echo "| $setup | $id | $(grep -v state= <<<"$servers" | sort -u | wc -l) | $known of 6 |"
  done
}

# A redeploy of the application on one Tomcat under load: its war touched, so that
# Tomcat's auto-deployer undeploys and deploys it again.
row_redeploy() {
  local i=0 b=$work/${names[0]}
  start_load redeploy 14
  sleep 2
  touch "$b/webapps/app.war"
  wait_load
  echo
  echo "redeploy: /app redeployed on ${names[i]} (its war touched; Tomcat's auto-deployer) 2 s" \
    "into 14 s of load"
  load_table redeploy
}

# A rolling restart: each Tomcat in turn stopped (SIGTERM: Tomcat's graceful shutdown),
# started again, and 2 s given before the next, under load.
row_rolling() {
  local i
  start_load rolling 45
  sleep 2
  for i in 0 1 2; do
    stop_pid "${tomcat_pid[i]}" 15
    tomcat_pid[i]=0
    start_tomcat "$i" wait
    sleep 2
  done
  wait_load
  echo
  echo "rolling restart: SRV1, SRV2 and SRV3 each stopped (SIGTERM) and started again in turn," \
    "2 s apart, under 45 s of load"
  load_table rolling
}

# Each row begins with a fresh Apache (the same configuration and ports) and every set-up
# served by all three Tomcats: what a connector remembers of the row before (a Tomcat
# still marked in error) would otherwise decide the next one.
fresh_apache() {
  local setup
  stop_pid "$apache_pid" 15
  start_apache_conf "$work/httpd.conf" "$work/apache.out" "$base/app/s100" ||
    fail "Apache did not start again: $(tail -n 3 "$work/apache.out" "$work/error.log")"
  for setup in "${recovery_setups[@]}"; do check_answers "$setup"; done
}

section_recovery() {
  local setup
  echo
  echo "recovery, load average $(loadavg); -prod: mod_jk workers with ping_mode=A," \
    "ping_timeout=2000, socket_connect_timeout=2000, connection_pool_timeout=60;" \
    "BalancerMember ping=2 retry=5 connectiontimeout=2; quon at its defaults"
  local row
  for row in ${RECOVERY_ROWS:-sticky restart kill pause stuck redeploy rolling}; do
    fresh_apache
    "row_$row"
    for setup in 0 1 2; do
      [ "${tomcat_pid[setup]}" -gt 0 ] || start_tomcat "$setup" wait
    done
    kill -0 "$apache_pid" 2>/dev/null || fail "$row: Apache ended: $(tail -n 3 "$work/error.log")"
  done
}
