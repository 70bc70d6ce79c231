#!/usr/bin/env bash
# The Markdown table of bench/e2e/run.sh: medians over the rounds of each row, with the
# ratios to the static row and to the proxy_http row of the same body and connections,
# then the system calls per request of each set-up.
#
#   bench/e2e/report.sh rows syscalls speed [roundtrip]
# rows: setup size connections round rps p50 p99 apache-us backend-us accepted [machine-us]
# syscalls: setup total=N backend=N name=N ... name.b=N ...
# speed: setup sys=N recvfrom=N ... (per request, perf tracepoints)
set -euo pipefail
rows=$1
syscalls=$2
speed=$3
roundtrip=${4:-}

# Shared by the tables' awk programs: a row's key (set-up, body, connections), the keys
# in the order of their first row (order[1..count]), and the median of a space-separated
# list.
common='
  function rowKey(   key) {
    key = $1 SUBSEP $2 SUBSEP $3
    if (!(key in seen)) { seen[key] = 1; order[++count] = key }
    return key
  }
  function median(list,   v, n, i, j, t) {
    n = split(list, v, " ")
    for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) {
      t = v[j]; v[j] = v[j - 1]; v[j - 1] = t
    }
    return (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }'

awk "$common"'
  {
    key = rowKey()
    for (f = 5; f <= 10; f++) values[key, f] = values[key, f] " " $f
    rounds[key]++
  }
  END {
    for (i = 1; i <= count; i++) {
      key = order[i]
      for (f = 5; f <= 10; f++) {
        m[key, f] = (values[key, f] ~ /-/) ? "-" : median(values[key, f])
      }
    }
    print "| set-up | body | conns | req/s | p50 µs | p99 µs | Apache µs/req | back-end µs/req" \
          " | back-end conns | req/s ÷ static | Apache µs − static | req/s ÷ proxy_http" \
          " | Apache µs ÷ proxy_http | p99 ÷ proxy_http |"
    print "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    for (i = 1; i <= count; i++) {
      key = order[i]; split(key, k, SUBSEP)
      s = "static" SUBSEP k[2] SUBSEP k[3]; p = "proxy_http" SUBSEP k[2] SUBSEP k[3]
      printf "| %s | %s | %s | %.0f | %.0f | %.0f | %.1f | %.1f | %s |", k[1], k[2], k[3],
        m[key, 5], m[key, 6], m[key, 7], m[key, 8], m[key, 9], m[key, 10]
      printf " %s | %s |", ((s, 5) in m) ? sprintf("%.2f", m[key, 5] / m[s, 5]) : "-",
        ((s, 8) in m) ? sprintf("%+.1f", m[key, 8] - m[s, 8]) : "-"
      if ((p, 5) in m)
        printf " %.2f | %.2f | %.2f |\n", m[key, 5] / m[p, 5], m[key, 8] / m[p, 8],
          m[key, 7] / m[p, 7]
      else
        printf " - | - | - |\n"
    }
    printf "\nMedians of %d rounds; back-end conns: connections the back-ends accepted during" \
           " the row (\"-\": perf was not available to count them).\n", rounds[order[1]]
  }' "$rows"

# What this machine allows. The static row's CPU of every process per request (wrk and
# Apache, from /proc/stat) plus a set-up's back-end CPU per request is what a connector
# that cost Apache nothing above static would still need: the cores divided by it are the
# most requests/s any connector could reach here, with the machine's cores shared by the
# client, Apache and the back-ends. Rows from before the machine column are skipped.
if awk 'NF < 11 {bad = 1} END {exit bad}' "$rows"; then
  echo
  echo "Requests/s ceiling on $(nproc) shared cores: no Apache CPU above the static row's,"
  echo "the static row's machine CPU per request plus this set-up's back-end CPU:"
  echo
  echo "| set-up | body | conns | machine µs/req | ceiling req/s | ceiling ÷ proxy_http | req/s ÷ ceiling |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
  awk -v cores="$(nproc)" "$common"'
    { key = rowKey()
      rps[key] = rps[key] " " $5; back[key] = back[key] " " $9; machine[key] = machine[key] " " $11 }
    END {
      for (i = 1; i <= count; i++) {
        split(order[i], k, SUBSEP)
        s = "static" SUBSEP k[2] SUBSEP k[3]; p = "proxy_http" SUBSEP k[2] SUBSEP k[3]
        if (k[1] == "static" || !(s in machine)) continue
        ceiling = cores * 1000000 / (median(machine[s]) + median(back[order[i]]))
        printf "| %s | %s | %s | %.1f | %.0f | %s | %.2f |\n", k[1], k[2], k[3],
          median(machine[order[i]]), ceiling,
          (p in rps) ? sprintf("%.2f", ceiling / median(rps[p])) : "-",
          median(rps[order[i]]) / ceiling
      }
    }' "$rows"
fi

# Apache's CPU above static for each module row, against the floor of one bare loopback
# round trip (the client side's CPU, bench/roundtrip) measured between the rounds.
if [ -n "$roundtrip" ] && [ -s "$roundtrip" ]; then
  floor=$(sort -g "$roundtrip" | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}')
  echo
  echo "One bare loopback round trip (send 400 B, receive 200 B, one thread): $floor µs of CPU"
  echo "(median of the rounds). Apache µs above static, and its ratio to that floor:"
  echo
  echo "| set-up | body | conns | Apache µs − static | ÷ round trip |"
  echo "|---|---:|---:|---:|---:|"
  awk -v floor="$floor" "$common"'
    { key = rowKey()
      cpu[key] = cpu[key] " " $8 }
    END {
      for (i = 1; i <= count; i++) {
        split(order[i], k, SUBSEP)
        if (k[1] == "static") continue
        s = "static" SUBSEP k[2] SUBSEP k[3]
        if (!(s in cpu)) continue
        above = median(cpu[order[i]]) - median(cpu[s])
        printf "| %s | %s | %s | %.1f | %.2f |\n", k[1], k[2], k[3], above, above / floor
      }
    }' "$rows"
fi

echo
echo "System calls per request in Apache's child (strace -f, 100 bytes, 16 connections;"
echo "\"on back-end socket\": calls on a socket whose peer is the back-end):"
echo
echo "| set-up | total | on back-end socket | by call (back-end socket) |"
echo "|---|---:|---:|---|"
awk '{
    total = ""; backend = ""; calls = ""
    for (f = 2; f <= NF; f++) {
      split($f, kv, "=")
      if (kv[1] == "total") total = kv[2]
      else if (kv[1] == "backend") backend = kv[2]
      else if (kv[1] !~ /\.b$/ && kv[2] >= 0.05) calls = calls " " kv[1] "=" kv[2]
    }
    for (f = 2; f <= NF; f++) {
      split($f, kv, "=")
      if (kv[1] ~ /\.b$/) calls = calls " (" substr(kv[1], 1, length(kv[1]) - 2) "=" kv[2] ")"
    }
    printf "| %s | %s | %s |%s |\n", $1, total, backend, calls
  }' "$syscalls"

echo
echo "The same at full speed (perf tracepoints on Apache's child, no strace), per request:"
echo
awk 'NR == 1 {
    printf "| set-up |"; for (f = 2; f <= NF; f++) { split($f, kv, "="); printf " %s |", kv[1] }
    printf "\n|---|"; for (f = 2; f <= NF; f++) printf "---:|"; print ""
  }
  {
    printf "| %s |", $1; for (f = 2; f <= NF; f++) { split($f, kv, "="); printf " %s |", kv[2] }
    print ""
  }' "$speed"
