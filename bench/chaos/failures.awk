# Report of the failures phase (bench/chaos/failures.sh) over its samples: lines
# "KILLS SECONDS PID RSS HEAP ARENAS ANON STACKS" (kB; all but RSS private dirty), one per
# child, and with FAIL_MALLOC=1 "malloc KILLS PID:BYTES ..." (malloc's bytes in use).
# Sums over the children: a table of the samples, the last sample of each minute with its
# growth over the minute before, and the growth from the first sample after the first
# minute to the last, in all and per kill.
function kb(x) { return sprintf("%d", x) }
$1 == "malloc" {
    for (i = 3; i <= NF; i++) { split($i, f, ":"); inuse[$2] += f[2] / 1024 }
    hasMalloc = 1
    next
}
{
    k = $1
    if (!(k in t)) { order[++n] = k; t[k] = $2 }
    rss[k] += $4; heap[k] += $5; arenas[k] += $6; anon[k] += $7; stacks[k] += $8
    children[k]++
}
function row(label, k, base) {
    printf "%-10s %5d %6d %3d %8d %8d %8d %8d %8d", label, k, t[k], children[k], rss[k],
        heap[k], arenas[k], anon[k], stacks[k]
    if (hasMalloc) printf " %8d", inuse[k]
    if (base != "") printf "   RSS %+d kB (%+.2f%%), heap+arenas+anon %+d kB", rss[k] - rss[base],
        100 * (rss[k] - rss[base]) / rss[base],
        heap[k] + arenas[k] + anon[k] - heap[base] - arenas[base] - anon[base]
    if (base != "" && hasMalloc) printf ", in use %+d kB", inuse[k] - inuse[base]
    printf "\n"
}
END {
    if (n < 2) { print "fewer than two samples"; exit 1 }
    head = sprintf("%-10s %5s %6s %3s %8s %8s %8s %8s %8s%s", "", "kills", "t/s", "ch",
        "RSS", "heap", "arenas", "anon", "stacks", hasMalloc ? "   in use" : "")
    print "children's memory, summed (kB; heap, arenas, anon and stacks: private dirty):"
    print head
    for (i = 1; i <= n; i++) row("sample", order[i], "")
    print "the last sample of each minute, and its growth over the minute before:"
    print head
    prev = ""
    for (i = 1; i <= n; i++) {
        k = order[i]
        if (i < n && int(t[order[i + 1]] / 60) == int(t[k] / 60)) continue
        row("minute " int(t[k] / 60), k, prev)
        prev = k
    }
    for (i = 1; i <= n && t[order[i]] < 60; i++) {}
    if (i >= n) { print "no sample after the first minute to measure growth from"; exit 0 }
    a = order[i]; b = order[n]
    printf "growth after the first minute (%d s, %d kills, to %d s, %d kills): RSS %d -> %d kB (%+.2f%%), %+.2f kB per kill;" \
        " heap %+d, arenas %+d, anon %+d, stacks %+d kB",
        t[a], a, t[b], b, rss[a], rss[b], 100 * (rss[b] - rss[a]) / rss[a],
        (rss[b] - rss[a]) / (b - a), heap[b] - heap[a], arenas[b] - arenas[a],
        anon[b] - anon[a], stacks[b] - stacks[a]
    if (hasMalloc) printf "; malloc in use %+d kB", inuse[b] - inuse[a]
    printf "\n"
}
