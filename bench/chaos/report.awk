# Report of the chaos benchmark over the driver's records ("epoch-ms status kind octet")
# and the events file `ev` ("kill I MS", "up I MS", "killall - MS", "alldown - MS", "upall - MS";
# "killall" is taken before the first of the three kills, "alldown" after the last, each "up"
# just before the server is started again); `retry`
# is the retry interval in seconds (0: none set). Without phase 2 events (ROUNDS=0) every
# record is phase 1. Exits 1 when a phase has no data to measure.
BEGIN {
    nev = 0
    while ((getline line < ev) > 0) {
        split(line, f, " ")
        nev++; kind[nev] = f[1]; who[nev] = f[2]; at[nev] = f[3] + 0
        if (f[1] == "killall" && !killall) killall = f[3] + 0
        if (f[1] == "alldown") { nall++; downAt[nall] = f[3] + 0 }
        if (f[1] == "upall") upAt[nall] = f[3] + 0
        firstOk[nev] = 0
    }
    if (!killall) killall = 9e15  # no phase 2
    if (killall < 9e15 && (!nall || !upAt[nall])) { print "no phase 2 events"; bad = 1; exit 1 }
    names["S"] = "GET session"; names["E"] = "GET echo"; names["P"] = "POST body"
}
{
    ms = $1 + 0; status = $2 + 0; k = $3; octet = $4 + 0
    phase = ms < killall ? 1 : 2
    count[phase]++
    ok = status >= 200 && status < 300
    if (ok && k ~ /[a-z]/) { wrong[phase, toupper(k)]++; wrongAt[phase] = wrongAt[phase] " " ms }
    if (!ok) {
        failed[phase, status, k]++
        statuses[status] = 1
        if (phase == 1 && k != "P") failedGet++
        if (phase == 1 && (!firstFail || ms < firstFail)) firstFail = ms
    }
    if (!ok) next
    for (j = 1; j <= nev; j++) {
        if (kind[j] == "up" && octet == who[j] + 2 && ms >= at[j] && (!firstOk[j] || ms < firstOk[j]))
            firstOk[j] = ms
        if (kind[j] == "upall" && ms >= at[j] && (!firstOk[j] || ms < firstOk[j]))
            firstOk[j] = ms
    }
    for (j = 1; j <= nall; j++)
        if (ms >= downAt[j] && ms < upAt[j]) okWhileAllDown++
}
END {
    if (bad) exit 1
    if (!count[1] || (killall < 9e15 && !count[2])) { print "a phase has no responses"; exit 1 }
    printf "requests: phase 1 %d, phase 2 %d, total %d\n", count[1], count[2], count[1] + count[2]
    for (phase = 1; phase <= 2; phase++) {
        line = ""
        for (s in statuses) for (k in names)
            if (failed[phase, s, k]) line = line sprintf(" %s %s: %d;", s == 0 ? "no-response" : s, names[k], failed[phase, s, k])
        printf "non-2xx phase %d:%s\n", phase, line == "" ? " none" : line
        line = ""
        for (k in names)
            if (wrong[phase, k]) line = line sprintf(" %s: %d;", names[k], wrong[phase, k])
        printf "2xx with a wrong answer, phase %d:%s\n", phase, line == "" ? " none" : line
    }
    missing = 0
    for (j = 1; j <= nev; j++) {
        if (kind[j] != "up" && kind[j] != "upall") continue
        label = kind[j] == "up" ? sprintf("SRV%d restart", who[j] + 1) : "all three restart"
        if (!firstOk[j]) { printf "%s: no success after it\n", label; missing = 1; continue }
        printf "%s: first success %d ms after the restart\n", label, firstOk[j] - at[j]
        if (kind[j] == "upall" && firstOk[j] - at[j] > allBack) allBack = firstOk[j] - at[j]
        if (kind[j] == "up") {
            restarts++
            if (firstOk[j] - at[j] > oneBack) oneBack = firstOk[j] - at[j]
            if (firstOk[j] - at[j] > 2000) lateRestarts++
        }
    }
    printf "restarts of one server: %d, slowest back after %d ms; target every one <= 2000 ms: %s (%d over)\n",
        restarts, oneBack, lateRestarts ? "MISSED" : "met", lateRestarts
    printf "successes recorded while all three were down (answers in flight at the kill): %d\n", okWhileAllDown
    printf "target 0 failed GET while one server is down: %s (%d)\n", failedGet ? "MISSED" : "met", failedGet
    if (killall < 9e15)
        printf "target first success after all restart <= %d ms: %s\n", (retry + 1) * 1000,
            (!missing && allBack <= (retry + 1) * 1000) ? "met" : "MISSED"
    if (missing) exit 1
}
