#!/usr/bin/env bash
# The speed table of bench/tomcat/run.sh: medians over the rounds of each row, Apache's CPU
# above the static row of the same body and connections, the CPU of Apache and the
# Tomcats together, and the ratios to the mod_jk row.
#
#   bench/tomcat/report.sh rows
# rows: setup size connections round rps p50-us p99-us apache-us/req tomcat-us/req
set -euo pipefail
awk '
  function median(list,   v, n, i, j, t) {
    n = split(list, v, " ")
    for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) {
      t = v[j]; v[j] = v[j - 1]; v[j - 1] = t
    }
    return (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
  }
  {
    key = $1 SUBSEP $2 SUBSEP $3
    if (!(key in seen)) { seen[key] = 1; order[++count] = key }
    for (f = 5; f <= 9; f++) values[key, f] = values[key, f] " " $f
    rounds[key]++
  }
  END {
    for (i = 1; i <= count; i++) for (f = 5; f <= 9; f++) m[order[i], f] = median(values[order[i], f])
    print "| set-up | body | conns | req/s | p50 µs | p99 µs | Apache µs/req | Apache − static" \
          " | Tomcat µs/req | Apache + Tomcat µs | req/s ÷ jk | p99 ÷ jk |"
    print "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    # Sorted by body and connections, then the set-ups in their order of appearance.
    n = 0
    for (i = 1; i <= count; i++) { split(order[i], k, SUBSEP); if (!(k[1] in rank)) rank[k[1]] = ++n }
    for (i = 1; i <= count; i++) {
      split(order[i], k, SUBSEP)
      sorted[i] = sprintf("%08d %08d %04d", k[2], k[3], rank[k[1]]) SUBSEP order[i]
    }
    for (i = 2; i <= count; i++) for (j = i; j > 1 && sorted[j - 1] > sorted[j]; j--) {
      t = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = t
    }
    for (i = 1; i <= count; i++) {
      split(sorted[i], parts, SUBSEP); key = parts[2] SUBSEP parts[3] SUBSEP parts[4]
      split(key, k, SUBSEP)
      s = "static" SUBSEP k[2] SUBSEP k[3]; j = "jk" SUBSEP k[2] SUBSEP k[3]
      printf "| %s | %s | %s | %.0f | %.0f | %.0f | %.1f | %s | %s | %s | %s | %s |\n",
        k[1], k[2], k[3], m[key, 5], m[key, 6], m[key, 7], m[key, 8],
        ((s, 8) in m && k[1] != "static") ? sprintf("%+.1f", m[key, 8] - m[s, 8]) : "-",
        k[1] == "static" ? "-" : sprintf("%.1f", m[key, 9]),
        k[1] == "static" ? "-" : sprintf("%.1f", m[key, 8] + m[key, 9]),
        ((j, 5) in m) ? sprintf("%.2f", m[key, 5] / m[j, 5]) : "-",
        ((j, 7) in m) ? sprintf("%.2f", m[key, 7] / m[j, 7]) : "-"
    }
    printf "\nMedians of %d rounds; CPU per request from /proc/PID/stat (utime + stime): Apache'"'"'s" \
           " child, and the three JVMs together.\n", rounds[order[1]]
  }' "$1"
