# Report of the rolling-restart phase over the drivers' records ("epoch-ms status kind
# octet latency-us session holder"): requests by kind, the answers other than 2xx by
# status for GETs (session, echo) and POSTs apart, 2xx answers that did not say what was
# asked, and the targets of no failed GET and no lost session (an id sent back and a new
# one issued).
{
    kind = toupper($3); status = $2 + 0
    get = kind != "P"
    n[get]++
    if (status < 200 || status > 299) {
        failed[get]++
        by[get, status]++
        statuses[status] = 1
    } else if ($3 ~ /[a-z]/) {
        wrong[get]++
    }
    if ($6 == "l") lost++
}
function statusList(get,  s, out) {
    out = ""
    for (s in statuses)
        if (by[get, s]) out = out sprintf(" %s: %d;", s == 0 ? "no-response" : s, by[get, s])
    return out == "" ? " none" : out
}
END {
    printf "requests: %d GET (session, echo), %d POST\n", n[1], n[0]
    printf "failed GETs by status:%s\n", statusList(1)
    printf "failed POSTs by status:%s\n", statusList(0)
    printf "2xx with a wrong answer: GET %d, POST %d\n", wrong[1], wrong[0]
    printf "target 0 failed GET: %s (%d)\n", failed[1] ? "MISSED" : "met", failed[1]
    printf "target 0 lost sessions: %s (%d)\n", lost ? "MISSED" : "met", lost
}
