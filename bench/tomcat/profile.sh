# The profile section of bench/tomcat/run.sh (sourced; not run by default): system calls
# and context switches per request on each side, counted with perf tracepoints (no
# slow-down of the counted processes) during a plain wrk run of GET /app/size?n=100 at
# 16 connections through each set-up: in the three JVMs together and in Apache's child.

# perf stat over the pids for the length of one wrk run; "name=N" per request.
events_per_request() {  # pids(comma-separated) url out
  local e events=raw_syscalls:sys_enter,context-switches counter requests
  for e in read write epoll_wait epoll_ctl futex sched_yield recvfrom sendto poll; do
    events+=",syscalls:sys_enter_$e"
  done
  perf stat -x, -e "$events" -p "$1" -o "$3.perf" 2>/dev/null &
  counter=$!
  sleep 0.3
  wrk -t2 -c16 -d3s "$2" >"$3.wrk" 2>&1 || true
  kill -INT "$counter" 2>/dev/null || true
  wait "$counter" 2>/dev/null || true
  requests=$(awk '/requests in/ {print $1}' "$3.wrk")
  [ -n "$requests" ] && [ "$requests" -gt 0 ] || fail "no requests under perf against $2"
  awk -F, -v n="$requests" '/raw_syscalls|context-switches|sys_enter_/ {
      name = $3; sub(/^.*sys_enter_?/, "", name); sub(/^raw_syscalls:$/, "", name)
      if ($3 == "raw_syscalls:sys_enter") name = "syscalls"
      printf "%s%s=%.2f", sep, name, (($1 ~ /^[0-9]+$/) ? $1 : 0) / n; sep = " "
    } END {print ""}' "$3.perf"
}
profile_table() {  # title rows-file
  echo
  echo "$1"
  echo
  awk 'NR == 1 {
      printf "| set-up |"; for (f = 2; f <= NF; f++) { split($f, kv, "="); printf " %s |", kv[1] }
      printf "\n|---|"; for (f = 2; f <= NF; f++) printf "---:|"; print ""
    }
    { printf "| %s |", $1; for (f = 2; f <= NF; f++) { split($f, kv, "="); printf " %s |", kv[2] }
      print "" }' "$2"
}

# strace -c -f on one JVM (SRV1) during a wrk run: its calls by name per request that
# Tomcat served (a third of wrk's, round robin). strace slows the JVM: the mix counts,
# not the speed.
strace_table() {  # setup out
  local tracer requests
  strace -qq -c -f -o "$2.strace" -p "${tomcat_pid[0]}" 2>/dev/null &
  tracer=$!
  sleep 1
  wrk -t2 -c16 -d3s "$(url_of "$1" 100)" >"$2.wrk" 2>&1 || true
  kill -INT "$tracer" 2>/dev/null || true
  wait "$tracer" 2>/dev/null || true
  requests=$(awk '/requests in/ {print $1}' "$2.wrk")
  awk -v s="$1" -v n="$((requests / 3))" '$1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" {
      calls[$NF] = $4 } END {
      printf "%s", s
      for (c in calls) if (calls[c] / n >= 0.05) printf " %s=%.2f", c, calls[c] / n
      print "" }' "$2.strace"
}

section_profile() {
  command -v perf >/dev/null || fail "perf is not installed"
  local setup jvms child
  jvms=$(IFS=,; echo "${tomcat_pid[*]}")
  : >"$work/profile-tomcat"
  : >"$work/profile-apache"
  for setup in quon jk proxy_ajp proxy_http; do
    check_answers "$setup"
    run_wrk 64 3 "$(url_of "$setup" 100)" "$work/warm.out" >/dev/null
    child=$(apache_children "$apache_pid" | awk '{print $1}')
    echo "$setup $(events_per_request "$jvms" "$(url_of "$setup" 100)" "$work/prof-t-$setup")" \
      >>"$work/profile-tomcat"
    echo "$setup $(events_per_request "$child" "$(url_of "$setup" 100)" "$work/prof-a-$setup")" \
      >>"$work/profile-apache"
  done
  profile_table "per request in the three Tomcats (GET /app/size?n=100, wrk 16 connections, perf tracepoints):" \
    "$work/profile-tomcat"
  profile_table "per request in Apache's child:" "$work/profile-apache"
  echo
  echo "strace -c -f -p on SRV1's JVM, calls per request it served (wrk 16 connections, 3 s):"
  for setup in quon jk proxy_http; do
    echo "  $(strace_table "$setup" "$work/strace-$setup")"
  done
}
