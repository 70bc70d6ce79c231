# Measuring helpers of bench/e2e/run.sh (sourced): CPU time of processes from /proc,
# back-end connections accepted, one wrk run and one traced run of system calls.
# Every helper writes "key=value" lines that run.sh collects; a helper that cannot
# measure ends the bench through fail().

fail() {
  echo "bench/e2e: $*" >&2
  exit 1
}

clock_ticks=$(getconf CLK_TCK)

# utime + stime in microseconds, summed over the given processes (all their threads).
cpu_us() {
  local pid total=0 ticks
  for pid in "$@"; do
    ticks=$(awk '{sub(/^.*\) /, ""); print $12 + $13}' "/proc/$pid/stat" 2>/dev/null) ||
      fail "process $pid is gone"
    total=$((total + ticks))
  done
  echo $((total * 1000000 / clock_ticks))
}

# Busy CPU time of the whole machine in microseconds: every process, every core.
machine_busy_us() {
  awk -v hz="$clock_ticks" '/^cpu / {printf "%.0f\n", ($2 + $3 + $4 + $7 + $8 + $9) * 1000000 / hz}' \
    /proc/stat
}

# Apache's children: the processes whose parent is the given Apache parent.
apache_children() {
  local kids
  kids=$(pgrep -P "$1" | tr '\n' ' ')
  [ -n "$kids" ] || fail "Apache ($1) has no child process"
  echo "$kids"
}

# Counts successful accept4 calls of the back-ends while it runs, with a perf tracepoint
# (no slow-down of the traced process). Without perf, connections are not counted.
accepts_start() {  # file pid...
  local file=$1; shift
  accept_counter=""
  command -v perf >/dev/null || return 0
  local pids
  pids=$(IFS=,; echo "$*")
  perf stat -x, -e syscalls:sys_exit_accept4 --filter 'ret >= 0' -p "$pids" -o "$file" \
    2>/dev/null &
  accept_counter=$!
  sleep 0.2
}

# Sets accepted to the count, or "-" when none was taken. Not to be run in a subshell:
# perf is a child of this shell and writes its count when it ends.
accepts_stop() {  # file
  local file=$1
  accepted="-"
  [ -n "$accept_counter" ] || return 0
  kill -INT "$accept_counter" 2>/dev/null || true
  wait "$accept_counter" 2>/dev/null || true
  accept_counter=""
  # perf prints "<not counted>" when no process made the call at all.
  accepted=$(awk -F, '/sys_exit_accept4/ {n += ($1 ~ /^[0-9]+$/) ? $1 : 0; seen = 1}
           END {print seen ? n : "-"}' "$file")
}

# Converts a wrk latency such as 812.00us, 1.20ms or 1.01s to microseconds.
to_us() {
  awk -v v="$1" 'BEGIN {
    n = v + 0
    if (v ~ /us$/) f = 1; else if (v ~ /ms$/) f = 1000; else if (v ~ /s$/) f = 1000000; else f = -1
    if (f < 0) exit 1
    printf "%.0f\n", n * f }'
}

# One wrk run; prints requests, rps, p50 and p99 (µs). Errors and non-2xx answers fail.
run_wrk() {  # connections seconds url out
  local connections=$1 seconds=$2 url=$3 out=$4
  wrk -t2 -c"$connections" -d"${seconds}s" --latency "$url" >"$out" 2>&1 ||
    fail "wrk failed against $url: $(tail -n 3 "$out")"
  grep -q 'Non-2xx' "$out" && fail "non-2xx answers from $url: $(grep Non-2xx "$out")"
  if grep -q 'Socket errors' "$out"; then
    fail "socket errors against $url: $(grep 'Socket errors' "$out")"
  fi
  local requests rps p50 p99
  requests=$(awk '/requests in/ {print $1}' "$out")
  rps=$(awk '/^Requests\/sec/ {print $2}' "$out")
  p50=$(awk '$1 == "50%" {print $2}' "$out")
  p99=$(awk '$1 == "99%" {print $2}' "$out")
  [ -n "$requests" ] && [ "$requests" -gt 0 ] && [ -n "$p99" ] ||
    fail "no requests measured against $url"
  echo "requests=$requests rps=$rps p50=$(to_us "$p50") p99=$(to_us "$p99")"
}

# System calls per request in Apache's child during a short wrk run under strace.
# Prints "total=N backend=N" and the calls by name (name=N, name.b=N on the back-end
# sockets), each per request. A back-end socket is one whose peer is in backends
# (host:port list, as strace -yy shows them).
syscalls_per_request() {  # child url seconds out backends...
  local child=$1 url=$2 seconds=$3 out=$4; shift 4
  local peers
  peers=$(printf '%s\n' "$@" | sed 's/\./\\./g' | paste -sd'|')
  strace -f -qq -yy -o "$out.strace" -p "$child" &
  local tracer=$!
  sleep 0.5
  wrk -t2 -c16 -d"${seconds}s" "$url" >"$out.wrk" 2>&1 || true
  kill -INT "$tracer" 2>/dev/null || true
  wait "$tracer" 2>/dev/null || true
  local requests
  requests=$(awk '/requests in/ {print $1}' "$out.wrk")
  [ -n "$requests" ] && [ "$requests" -gt 0 ] || fail "no requests under strace against $url"
  [ -s "$out.strace" ] || fail "strace recorded nothing in Apache's child $child"
  # Count each call once, on the line where it starts ("<... resumed>" lines are skipped).
  PEERS="->(${peers})\\]" awk -v n="$requests" '
    match($0, /^[0-9]+ +[a-z0-9_]+\(/) {
      name = substr($0, RSTART, RLENGTH - 1); sub(/^[0-9]+ +/, "", name)
      calls[name]++; total++
      if ($0 ~ ENVIRON["PEERS"]) { back[name]++; backend++ }
    }
    END {
      printf "total=%.2f backend=%.2f", total / n, backend / n
      for (c in calls) printf " %s=%.2f", c, calls[c] / n
      for (c in back) printf " %s.b=%.2f", c, back[c] / n
      print ""
    }' "$out.strace"
}

# strace slows Apache so much that the back-end's answer is always there before it is
# read: receives that find nothing and the poll that follows show only at full speed.
# This counts calls with perf tracepoints during a plain wrk run; prints
# "name=N" per request for all calls (sys) and the ones that differ between set-ups.
syscalls_at_speed() {  # child url seconds out
  local child=$1 url=$2 seconds=$3 out=$4
  command -v perf >/dev/null || { echo "sys=-"; return 0; }
  local events=raw_syscalls:sys_enter name
  for name in recvfrom sendto poll read writev newfstatat futex; do
    events="$events,syscalls:sys_enter_$name"
  done
  perf stat -x, -e "$events" -p "$child" -o "$out.perf" 2>/dev/null &
  local counter=$!
  sleep 0.2
  wrk -t2 -c16 -d"${seconds}s" "$url" >"$out.wrk" 2>&1 || true
  kill -INT "$counter" 2>/dev/null || true
  wait "$counter" 2>/dev/null || true
  local requests
  requests=$(awk '/requests in/ {print $1}' "$out.wrk")
  [ -n "$requests" ] && [ "$requests" -gt 0 ] || fail "no requests under perf against $url"
  awk -F, -v n="$requests" '/sys_enter/ {
      name = $3; sub(/^.*sys_enter_?/, "", name); if (name == "") name = "sys"
      printf "%s%s=%.2f", sep, name, (($1 ~ /^[0-9]+$/) ? $1 : 0) / n; sep = " "
    } END {print ""}' "$out.perf"
}
