# Report of the drain phase over the drivers' records ("epoch-ms status kind octet
# latency-us session holder", see chaos_load.cpp), the events file `ev` (a line per
# server: "index drained disabled idle stopped started enabled inflight-min inflight-max
# enable-answered", epoch ms, drain and disable taken when the status page had answered
# their POST, enable as its POST was sent) and the file
# `received` ("index first-request-after-enable requests-received-before-enable", from
# the server's log); `access` is Apache's access log ("epoch-ms child-pid server status",
# the time the request came in and the server it was forwarded to). `names` lists the servers' replication ids; server i is on
# 127.0.0.(i+2) and its sessions' buddy is server (i+1) mod 3. A request is placed in a
# window by the time it was sent (its end less its latency). Exits 1 without data.
BEGIN {
    ns = split(names, id, " ")
    while ((getline line < ev) > 0) {
        split(line, f, " ")
        i = f[1] + 1; seen[i] = 1
        drained[i] = f[2]; disabled[i] = f[3]; idle[i] = f[4]; stopped[i] = f[5]
        started[i] = f[6]; enabled[i] = f[7]; flightLo[i] = f[8]; flightHi[i] = f[9]
        enableAnswered[i] = f[10]
        if (enabled[i] > lastEnable) lastEnable = enabled[i]
    }
    while ((getline line < received) > 0) {
        split(line, f, " ")
        firstReceived[f[1] + 1] = f[2]; receivedEarly[f[1] + 1] = f[3]
    }
    method["S"] = "GET session"; method["E"] = "GET echo"; method["P"] = "POST body"
    state["n"] = "new"; state["k"] = "known"; state["a"] = "adopted"; state["l"] = "lost"
}
{
    ms = $1 + 0; status = $2 + 0; k = toupper($3); octet = $4 + 0
    sent = ms - int($5 / 1000); holder = $7
    ok = status >= 200 && status < 300
    n[k]++; total++
    if (!ok) { failed[k, status]++; statuses[status] = 1 }
    if (ok && $3 ~ /[a-z]/) wrong[k]++
    if ($6 != "-") sessions[$6]++
    if ($6 == "l") { lostBy[octet]++; lostOf[holder]++ }
    for (i = 1; i <= ns; i++) {
        if (!seen[i]) continue
        mine = holder == id[i]
        byIt = octet == i + 1
        if (sent >= drained[i] && sent < disabled[i] && byIt) {
            if (mine) ownWhileDrained[i]++; else otherWhileDrained[i]++
        }
        if (sent >= disabled[i] && sent < enabled[i]) {
            if (byIt) servedWhileDisabled[i]++
            else if (mine && octet == i % ns + 2) buddyServed[i]++
            else if (mine && ok) elsewhere[i]++
        }
        if (ok && byIt && ms >= enabled[i] && (!firstOk[i] || ms < firstOk[i])) firstOk[i] = ms
    }
    if (holder != "-") { withSession[octet, sent > lastEnable]++; octets[octet] = 1 }
}
# Apache's access log: what each child forwarded, and to a disabled server.
function children(  line, f, i, host, out, pid) {
    while ((getline line < access) > 0) {
        split(line, f, " ")
        if (f[3] == "-") continue
        forwarded[f[2]]++
        split(f[3], host, "[.:]"); i = host[4] - 1
        if (seen[i] && f[1] >= disabled[i] && f[1] < enabled[i]) toDisabled[f[2]]++
    }
    out = ""
    for (pid in forwarded) {
        out = out sprintf(" pid %s %d (to a disabled server %d);", pid, forwarded[pid], toDisabled[pid])
        childMisrouted += toDisabled[pid]
    }
    return out == "" ? " none" : out
}
END {
    if (!total) { print "no responses recorded"; exit 1 }
    printf "requests: %d (GET session %d, GET echo %d, POST body %d)\n", total, n["S"], n["E"], n["P"]
    bad = 0
    for (k in method) {
        line = ""
        for (s in statuses)
            if (failed[k, s]) { line = line sprintf(" %s: %d;", s == 0 ? "no-response" : s, failed[k, s]); bad += failed[k, s] }
        printf "non-2xx %s:%s\n", method[k], line == "" ? " none" : line
    }
    printf "2xx with a wrong answer: GET session %d, GET echo %d, POST body %d\n", wrong["S"], wrong["E"], wrong["P"]
    line = ""
    for (s in state) line = line sprintf(" %s %d", state[s], sessions[s])
    printf "session answers:%s\n", line
    line = ""
    for (o in lostBy) line = line sprintf(" served by .%d: %d;", o, lostBy[o])
    for (h in lostOf) line = line sprintf(" ids of %s: %d;", h, lostOf[h])
    if (line != "") printf "lost sessions:%s\n", line
    misrouted = 0
    for (i = 1; i <= ns; i++) {
        if (!seen[i]) continue
        printf "%s: drained %d ms (requests in flight %d to %d; served %d of its sessions, %d others)," \
            " disabled %d ms (idle %d ms after the disable, 500 ms without a new request; stopped, up again %d ms later)\n",
            id[i], disabled[i] - drained[i], flightLo[i], flightHi[i], ownWhileDrained[i],
            otherWhileDrained[i], enabled[i] - disabled[i], idle[i] - disabled[i], started[i] - stopped[i]
        printf "  while disabled: served by it %d, received by it after its restart %d;" \
            " requests with its sessions' ids served by its buddy %d, elsewhere %d\n", servedWhileDisabled[i],
            receivedEarly[i], buddyServed[i], elsewhere[i]
        printf "  after the enable was posted (answered in %d ms): first request received %s," \
            " first success seen %s\n", enableAnswered[i] - enabled[i],
            firstReceived[i] ? sprintf("%d ms", firstReceived[i] - enabled[i]) : "never",
            firstOk[i] ? sprintf("%d ms", firstOk[i] - enabled[i]) : "never"
        misrouted += otherWhileDrained[i] + servedWhileDisabled[i] + receivedEarly[i] + elsewhere[i]
    }
    line = ""
    for (o in octets) line = line sprintf(" .%d: %d;", o, withSession[o, 1])
    printf "requests with a session after the last enable, by server:%s\n", line
    printf "requests forwarded by each child:%s\n", children()
    misrouted += childMisrouted
    printf "target 0 non-2xx of every method: %s (%d)\n", bad ? "MISSED" : "met", bad
    printf "target 0 lost sessions: %s (%d)\n", sessions["l"] ? "MISSED" : "met", sessions["l"]
    printf "target 0 requests to a drained server without its session, to a disabled one," \
        " or of a disabled server's sessions elsewhere than its buddy: %s (%d)\n",
        misrouted ? "MISSED" : "met", misrouted
}
