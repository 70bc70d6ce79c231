# The form of the status page (its HTML on the input) whose hidden field "server" is
# `server`: prints "action URL" (the form's action), then each of its hidden fields as
# NAME=VALUE in the page's order, HTML entities undone, as a browser would post them.
# Prints nothing when the page has no such form.
function unescape(s) {
    gsub(/&quot;/, "\"", s); gsub(/&#39;/, "'", s); gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s)
    gsub(/&amp;/, "\\&", s)
    return s
}
# The value of attribute name in tag, or "".
function attribute(tag, name) {
    if (!match(tag, " " name "=\"[^\"]*\"")) return ""
    return unescape(substr(tag, RSTART + length(name) + 3, RLENGTH - length(name) - 4))
}
BEGIN { RS = "<form" }
NR > 1 {
    form = substr($0, 1, index($0, "</form>"))
    n = 0; rest = form; mine = 0
    while (match(rest, /<input [^>]*>/)) {
        tag = substr(rest, RSTART, RLENGTH); rest = substr(rest, RSTART + RLENGTH)
        if (attribute(tag, "type") != "hidden") continue
        field[++n] = attribute(tag, "name") "=" attribute(tag, "value")
        if (field[n] == "server=" server) mine = 1
    }
    if (!mine) next
    match(form, /^[^>]*>/)
    print "action " attribute(substr(form, 1, RLENGTH), "action")
    for (k = 1; k <= n; k++) print field[k]
    exit
}
