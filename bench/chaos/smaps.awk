# Resident memory of one process by kind of mapping, from /proc/PID/smaps:
#   stacks  thread stacks (an 8 MiB read-write anonymous mapping after a 4 KiB guard),
#           with how many stacks are resident to each depth ("12x64" = 64 stacks of 12 kB)
#   arenas  malloc's per-thread arenas (a read-write anonymous start of a 64 MiB
#           reservation whose rest is an inaccessible mapping)
#   anon    every other anonymous mapping: the APR allocators' blocks, big malloc blocks
#   heap    [heap], the main malloc arena;  files  mapped files (code, data)
# One line: "stacks N arenas N anon N heap N files N kB; stack depths: SIZExCOUNT ...".
# With -v dirty=1, the private dirty memory (what the process alone wrote) instead, as
# bare numbers: "heap arenas anon stacks" in kB.
/^[0-9a-f]+-[0-9a-f]+ / { n++; perm[n] = $2; name[n] = $6; size[n] = 0; rss[n] = 0; next }
/^Size:/ { size[n] = $2 }
/^Rss:/ { if (!dirty) rss[n] = $2 }
/^Private_Dirty:/ { if (dirty) rss[n] = $2 }
END {
    for (i = 1; i <= n; i++) {
        kind = "anon"
        if (name[i] == "[heap]") kind = "heap"
        else if (name[i] != "") kind = "files"
        else if (perm[i] == "rw-p" && size[i] == 8192 && i > 1 && name[i - 1] == "" &&
                 perm[i - 1] == "---p" && size[i - 1] == 4) kind = "stacks"
        else if (perm[i] == "rw-p" && (size[i] == 65536 || (i < n && name[i + 1] == "" &&
                 perm[i + 1] == "---p" && size[i] + size[i + 1] == 65536))) kind = "arenas"
        total[kind] += rss[i]
        if (kind == "stacks") depth[rss[i]]++
    }
    if (dirty) {
        printf "%d %d %d %d\n", total["heap"], total["arenas"], total["anon"], total["stacks"]
        exit
    }
    line = ""
    for (d = 0; d <= 8192; d += 4) if (depth[d]) line = line sprintf(" %dx%d", d, depth[d])
    printf "stacks %d arenas %d anon %d heap %d files %d kB; stack depths (kB x count):%s\n",
        total["stacks"], total["arenas"], total["anon"], total["heap"], total["files"], line
}
