# Tables of the sick rows (bench/stall/sick.sh) from its results, one line per row and
# round: row round, then for GET /index.html "requests non2xx noresp p50 p99 p99.9 max
# statuses over100ms-client over100ms-apache", then for GET /app/echo the same with
# 1 s for 100 ms. Prints every round, the medians over the rounds and whether each sick
# row met the targets: static p99 within 2x the healthy row's of the same round (median
# of the ratios), no static request over 100 ms (by the client or by Apache's %D) and
# every static request answered with a 2xx.
function median(list,  n, v, i, j, t) {
    n = split(list, v, " ")
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    if (n == 0) return "-"
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
{
    n++; line[n] = $0
    if (!($1 in seen)) { seen[$1] = 1; rows[++nrows] = $1 }
    if ($1 == "healthy") healthyP99[$2] = $7
}
END {
    print "static: GET /index.html, served by Apache itself (over100ms: by the client/by Apache)"
    printf "%-15s %5s %8s %6s %6s %8s %8s %8s %8s %9s %11s\n", "row", "round", "requests",
        "non2xx", "noresp", "p50-ms", "p99-ms", "p99.9-ms", "max-ms", "over100ms", "p99/healthy"
    for (i = 1; i <= n; i++) {
        split(line[i], f, " ")
        ratio = "-"
        if ((f[2] in healthyP99) && healthyP99[f[2]] + 0 > 0 && f[7] != "-")
            ratio = sprintf("%.2f", f[7] / healthyP99[f[2]])
        printf "%-15s %5s %8s %6s %6s %8s %8s %8s %8s %9s %11s\n", f[1], f[2], f[3], f[4], f[5],
            f[6], f[7], f[8], f[9], f[11] "/" f[12], ratio
        if (ratio != "-") ratios[f[1]] = ratios[f[1]] " " ratio
        if (f[7] != "-") { p99s[f[1]] = p99s[f[1]] " " f[7]; maxes[f[1]] = maxes[f[1]] " " f[9] }
        slowClient[f[1]] += f[11]; slowApache[f[1]] += f[12]; bad[f[1]] += f[4] + f[5]
    }
    print ""
    print "mapped: GET /app/echo, forwarded by the module (over1s: by the client/by Apache)"
    printf "%-15s %5s %8s %8s %6s %8s %8s %8s %9s  %s\n", "row", "round", "requests", "2xx",
        "noresp", "p50-ms", "p99-ms", "max-ms", "over1s", "other statuses"
    for (i = 1; i <= n; i++) {
        split(line[i], f, " ")
        printf "%-15s %5s %8s %8d %6s %8s %8s %8s %9s  %s\n", f[1], f[2], f[13],
            f[13] - f[14] - f[15], f[15], f[16], f[17], f[19], f[21] "/" f[22], f[20]
    }
    print ""
    print "static, medians over the rounds (p99, its ratio to healthy, max; counts summed):"
    printf "%-15s %8s %11s %8s %9s %13s\n", "row", "p99-ms", "p99/healthy", "max-ms", "over100ms",
        "non2xx+noresp"
    for (r = 1; r <= nrows; r++) {
        k = rows[r]
        printf "%-15s %8s %11s %8s %9s %13d\n", k, median(p99s[k]), median(ratios[k]),
            median(maxes[k]), slowClient[k] "/" slowApache[k], bad[k]
    }
    for (r = 1; r <= nrows; r++) {
        k = rows[r]
        if (k == "healthy") continue
        m = median(ratios[k])
        slow = slowClient[k] + slowApache[k]
        printf "target %s: static p99 within 2x healthy (%s): %s; no static request over" \
            " 100 ms (%d/%d): %s; every static request a 2xx (%d not): %s\n", k,
            m == "-" ? "no healthy row" : sprintf("%.2fx", m), m != "-" && m <= 2 ? "met" : "MISSED",
            slowClient[k], slowApache[k], slow ? "MISSED" : "met", bad[k], bad[k] ? "MISSED" : "met"
    }
}
