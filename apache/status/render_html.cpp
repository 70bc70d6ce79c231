// The status page in HTML, for a person: without scripts, with element ids, classes and
// data attributes that a program can read; states in colour, a refresh choice, on each
// server's row the buttons that apply to it and a sparkline of its last minutes drawn as
// inline SVG. Also the short page that says why a request was refused, and the module's
// section in mod_status's page.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it
#include "quon_status.h"
#include "render_text.h"
#include "strutil.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <strings.h>

#include <apr_strings.h>
#include <http_protocol.h>

namespace {
constexpr const char* kHtmlHead =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
    "<title>Quon connector status</title>\n<style>"
    "body{font-family:sans-serif;margin:1em}"
    "table{border-collapse:collapse;margin-bottom:1em}"
    "th,td{border:1px solid #999;padding:2px 6px;text-align:left;vertical-align:top}"
    "ul{margin:0;padding-left:1em}form{margin:0;white-space:nowrap}"
    "[data-state=up]>td.state,li[data-state=up]{background:#b9e4b9}"
    "[data-state=down]>td.state,li[data-state=down]{background:#f4b4b4}"
    "[data-state=mixed]>td.state{background:#f7d79b}"
    "[data-state=unknown]>td.state{background:#dddddd}"
    "[data-admin=drained]>td.admin{background:#fbe58a}"
    "[data-admin=disabled]>td.admin{background:#c9c9c9}"
    "td.error-page,td.redirect,td.timeout,td.cut{color:#a00}td.zero{color:inherit}"
    // The servers' table fits a screen 1280 pixels wide: the checks' times may break, the
    // buttons wrap.
    "table.servers{font-size:85%}table.servers td.checks{overflow-wrap:anywhere;min-width:8em}"
    "table.servers th,table.servers td{padding:2px 3px}table.servers form{white-space:normal}"
    ".summary{font-weight:bold}"
    ".refresh .current{font-weight:bold}.notice{background:#fbe58a;padding:4px}"
    "svg.spark{display:block}svg.spark .requests{fill:#6b8fc7}svg.spark .failures{fill:#d9534f}"
    "</style></head>\n<body>\n<h1>Quon connector status</h1>\n";
constexpr int kRefreshChoices[] = {0, 5, 10, 30, 60};
constexpr int kSparkHeight = 24;
constexpr int kSparkBar = 4;

// A server row's cell: its header and what it writes, <td> included. The columns are
// this table, in order.
struct ServerColumn {
    const char* header;
    void (*write)(request_rec* r, const StatusModel& m, const VhostStatus& v,
                  const ServerStatus& s);
};

std::string meanTime(const StatusCounts& counts) {
    const uint64_t observed = counts.observed();
    if (observed == 0) return "-";
    char text[32];
    snprintf(text, sizeof text, "%.1f ms", double(counts.microseconds) / 1000.0 / double(observed));
    return text;
}

void cell(request_rec* r, const char* kind, const std::string& text) {
    ap_rprintf(r, "<td class=\"%s\">%s</td>", kind, text.c_str());
}

// The failed attempts, with the kinds that have any.
void failuresCell(request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
    ap_rprintf(r, "<td class=\"failures\">%s", number(s.counts.failed()).c_str());
    const char* between = " (";
    for (int kind = 0; kind < QN_FAIL_KINDS; ++kind) {
        if (s.counts.failures[kind] == 0) continue;
        ap_rprintf(r, "%s%s %s", between, failureKindName(kind),
                   number(s.counts.failures[kind]).c_str());
        between = ", ";
    }
    ap_rputs(s.counts.failed() ? ")</td>" : "</td>", r);
}

void sessionsCell(request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
    const StatusCounts& c = s.counts;
    if (c.sessionRequests == 0) {
        ap_rputs("<td class=\"sessions\"><span class=\"session-requests\">0</span></td>", r);
        return;
    }
    ap_rprintf(r,
               "<td class=\"sessions\"><span class=\"session-requests\">%s</span>: "
               "<span class=\"sticky-hits\">%s</span> here, <span class=\"sessions-moved\">%s"
               "</span> to a buddy, <span class=\"sessions-broken\">%s</span> broken</td>",
               number(c.sessionRequests).c_str(), number(c.stickyHits).c_str(),
               number(c.sessionsMoved).c_str(), number(c.sessionsBroken).c_str());
}

// Bars of attempts with the failed ones drawn over them, scaled to the most attempts of
// a step in the window.
void sparkCell(request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
    const StatusHistory& h = s.history;
    const uint64_t most = std::max<uint64_t>(1, *std::max_element(h.requests, h.requests + kHistoryBars));
    std::string requests, failures, bars;
    for (int i = 0; i < kHistoryBars; ++i) {
        requests += (i ? "," : "") + number(h.requests[i]);
        failures += (i ? "," : "") + number(h.failures[i]);
        const std::pair<const char*, uint64_t> values[] = {{"requests", h.requests[i]},
                                                           {"failures", h.failures[i]}};
        for (const auto& [kind, value] : values) {
            if (value == 0) continue;
            const long height = std::max<long>(1, long(value * kSparkHeight / most));
            bars += "<rect class=\"" + std::string(kind) + "\" x=\"" + number(i * kSparkBar) +
                    "\" y=\"" + number(kSparkHeight - std::min<long>(height, kSparkHeight)) +
                    "\" width=\"" + number(kSparkBar - 1) + "\" height=\"" +
                    number(std::min<long>(height, kSparkHeight)) + "\"/>";
        }
    }
    ap_rprintf(r,
               "<td class=\"last-minutes\"><svg class=\"spark\" width=\"%d\" height=\"%d\" "
               "role=\"img\" data-step=\"%d\" data-requests=\"%s\" data-failures=\"%s\"><title>"
               "attempts and failed attempts per %d s, the last %d minutes</title>%s</svg></td>",
               kHistoryBars * kSparkBar, kSparkHeight, int(QN_HISTORY_STEP_SECONDS),
               requests.c_str(), failures.c_str(), int(QN_HISTORY_STEP_SECONDS),
               int(kHistoryBars * QN_HISTORY_STEP_SECONDS / 60), bars.c_str());
}

void childrenCell(request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
    ap_rputs("<td class=\"children\"><ul>", r);
    for (const ChildSight& c : s.children) {
        ap_rprintf(r, "<li class=\"child\" data-pid=\"%d\" data-state=\"%s\">pid %d%s: %s", c.pid,
                   c.active ? "up" : "down", c.pid, c.self ? " (this page)" : "",
                   c.active ? "up" : "down");
        // A server the health checks watch is back in every child as soon as it answers a
        // check: the retry countdown of a child's pool would tell a wait that does not come.
        if (c.retryLeft > 0 && !s.health.checked)
            ap_rprintf(r, ", tried again in %d s", c.retryLeft);
        ap_rprintf(r, ", %d idle, %d busy, weight %d", c.idle, c.busy, c.weight);
        if (!c.self) ap_rprintf(r, ", published %ld s ago", c.age);
        ap_rputs("</li>", r);
    }
    ap_rputs("</ul></td>", r);
}

// A span of time as the page shows it: "1 m 20 s".
std::string span(long long ms) {
    char text[64];
    spanText(ms, text, sizeof text);
    return text;
}

// A moment in milliseconds since the epoch, as UTC for people.
std::string when(request_rec* r, long long ms) {
    return ap_ht_time(r->pool, apr_time_from_msec(ms), "%Y-%m-%dT%H:%M:%SZ", 1);
}

// What the health checks found: the verdict since when, the last check, the checks made
// and missed, the last error and the changes of the last hour.
void checksCell(request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
    const HealthStatus& h = s.health;
    if (!h.checked) return cell(r, "checks", "not checked");
    ap_rprintf(r,
               "<td class=\"checks\" data-verdict=\"%s\" data-checks=\"%s\" data-failed=\"%s\">"
               "<span class=\"verdict\">%s</span>",
               h.verdict, number(h.checks).c_str(), number(h.failures).c_str(), h.verdict);
    if (h.since) ap_rprintf(r, " since <span class=\"since\">%s</span>", when(r, h.since).c_str());
    if (h.since && strcmp(h.verdict, "down") == 0)
        ap_rprintf(r, ", <span class=\"down-for\">down for %s</span>",
                   span(apr_time_as_msec(r->request_time) - h.since).c_str());
    ap_rprintf(r, "; <span class=\"downtime\" data-seconds=\"%s\">%s</span> down in all",
               number(long(h.downMs / 1000)).c_str(), span(h.downMs).c_str());
    if (!h.stalled.empty())
        ap_rprintf(r, "; <span class=\"stalled\">stalled</span> since %s: %s",
                   when(r, h.stalledSince).c_str(), html(r, h.stalled).c_str());
    if (h.lastCheckAt)
        ap_rprintf(r, "; last check %s (%d ms)", when(r, h.lastCheckAt).c_str(), h.lastMillis);
    ap_rprintf(r, "; %s checks, %s failed", number(h.checks).c_str(), number(h.failures).c_str());
    if (!h.lastError.empty())
        ap_rprintf(r, "; last error <span class=\"last-error\">%s</span> at %s",
                   html(r, h.lastError).c_str(), when(r, h.lastErrorAt).c_str());
    if (!h.changes.empty()) ap_rputs("<ul class=\"changes\">", r);
    for (const auto& [at, verdict] : h.changes)
        ap_rprintf(r, "<li class=\"change\" data-verdict=\"%s\">%s %s</li>", verdict.c_str(),
                   when(r, at).c_str(), verdict.c_str());
    if (!h.changes.empty()) ap_rputs("</ul>", r);
    ap_rputs("</td>", r);
}

// The operator's actions that change the server's state: the two it is not in.
void changeCell(request_rec* r, const StatusModel& m, const VhostStatus& v,
                const ServerStatus& s) {
    if (!s.counted) return cell(r, "change", "no counters kept");
    if (!m.changes) return cell(r, "change", "-");
    ap_rprintf(r,
               "<td class=\"change\"><form method=\"post\" action=\"%s\"><input type=\"hidden\" "
               "name=\"nonce\" value=\"%s\"><input type=\"hidden\" name=\"vhost\" value=\"%s\">"
               "<input type=\"hidden\" name=\"server\" value=\"%s\">",
               html(r, r->uri).c_str(), html(r, m.nonce).c_str(), html(r, v.name).c_str(),
               html(r, s.name).c_str());
    if (m.refresh > 0)
        ap_rprintf(r, "<input type=\"hidden\" name=\"refresh\" value=\"%d\">", m.refresh);
    for (int admin : {QN_ADMIN_NORMAL, QN_ADMIN_DRAIN, QN_ADMIN_DISABLE}) {
        if (admin == s.admin) continue;
        const char* action = admin == QN_ADMIN_NORMAL  ? "enable"
                             : admin == QN_ADMIN_DRAIN ? "drain"
                                                       : "disable";
        ap_rprintf(r, "<button type=\"submit\" name=\"action\" value=\"%s\">%s</button> ", action,
                   action);
    }
    ap_rputs("</form></td>", r);
}

// clang-format off
constexpr ServerColumn kServerColumns[] = {
    {"server", [](request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
         cell(r, "name", html(r, s.name)); }},
    {"replication id", [](request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
         cell(r, "replication-id", html(r, s.replicationId)); }},
    {"state", [](request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
         cell(r, "state", s.state()); }},
    {"operator", [](request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
         cell(r, "admin", adminName(s.admin)); }},
    {"in flight", [](request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
         cell(r, "in-flight", number(s.inFlight)); }},
    {"requests", [](request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
         cell(r, "requests", number(s.counts.requests)); }},
    {"failures", failuresCell},
    {"fail-overs", [](request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
         cell(r, "failovers", number(s.counts.failovers)); }},
    {"sessions", sessionsCell},
    {"bytes to server", [](request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
         cell(r, "bytes-to-server", number(s.counts.bytesToServer)); }},
    {"bytes to client", [](request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
         cell(r, "bytes-to-client", number(s.counts.bytesToClient)); }},
    {"mean response", [](request_rec* r, const StatusModel&, const VhostStatus&, const ServerStatus& s) {
         cell(r, "mean", meanTime(s.counts)); }},
    {"last minutes", sparkCell},
    {"as each child sees it", childrenCell},
    {"health checks", checksCell},
    {"change", changeCell},
};
// clang-format on

void htmlServers(request_rec* r, const StatusModel& m, const VhostStatus& v, int n) {
    ap_rprintf(r, "<h3>Servers</h3>\n<table class=\"servers\" id=\"servers-%d\">\n<thead><tr>", n);
    for (const ServerColumn& column : kServerColumns) ap_rprintf(r, "<th>%s</th>", column.header);
    ap_rputs("</tr></thead>\n<tbody>\n", r);
    for (int k = 0; k < int(v.servers.size()); ++k) {
        const ServerStatus& s = v.servers[size_t(k)];
        ap_rprintf(r,
                   "<tr class=\"server\" id=\"server-%d-%d\" data-server=\"%s\" data-state=\"%s\""
                   " data-admin=\"%s\">",
                   n, k, html(r, s.name).c_str(), s.state(), adminName(s.admin));
        for (const ServerColumn& column : kServerColumns) column.write(r, m, v, s);
        ap_rputs("</tr>\n", r);
    }
    ap_rputs("</tbody></table>\n", r);
}

// How many servers are down, and since the first of them went: a server the checks watch
// by their verdict, another when no child sees it up.
void htmlSummary(request_rec* r, const VhostStatus& v, int n) {
    int down = 0;
    long long since = 0;
    for (const ServerStatus& s : v.servers) {
        const bool out = s.health.checked && strcmp(s.health.verdict, "unknown") != 0
                             ? strcmp(s.health.verdict, "down") == 0
                             : strcmp(s.state(), "down") == 0;
        if (!out) continue;
        ++down;
        if (s.health.checked && s.health.since && (!since || s.health.since < since))
            since = s.health.since;
    }
    ap_rprintf(r, "<p class=\"summary\" id=\"summary-%d\" data-down=\"%d\" data-servers=\"%d\">",
               n, down, int(v.servers.size()));
    if (down == 0)
        ap_rprintf(r, "All %d up", int(v.servers.size()));
    else
        ap_rprintf(r, "%d of %d down", down, int(v.servers.size()));
    if (down && since)
        ap_rprintf(r, " since %s",
                   ap_ht_time(r->pool, apr_time_from_msec(since), "%H:%M:%S", 0));
    ap_rputs("</p>\n", r);
}

void htmlCluster(request_rec* r, const VhostStatus& v, int n) {
    const char* table = !v.hasTable     ? "not made in this child"
                        : v.initialized ? "initialised"
                                        : "not initialised";
    ap_rprintf(r,
               "<table class=\"cluster\" id=\"cluster-%d\">\n<tr><th>table</th><td "
               "class=\"table\">%s</td></tr>\n<tr><th>clustered</th><td class=\"clustered\">%s"
               "</td></tr>\n<tr><th>sequence number</th><td class=\"sequence\">%d</td></tr>\n",
               n, table, v.clustered ? "yes" : "no", v.clusterSeq);
    const TablesStatus& t = v.tables;
    ap_rprintf(r,
               "<tr><th>every child</th><td class=\"tables\" data-children=\"%d\" "
               "data-initialized=\"%d\" data-clustered=\"%d\">%d published: %d initialised, %d "
               "clustered, sequence numbers %d to %d</td></tr>\n",
               t.children, t.initialized, t.clustered, t.children, t.initialized, t.clustered,
               t.lowestSeq, t.highestSeq);
    ap_rprintf(r,
               "<tr><th>bootstrap server</th><td class=\"bootstrap\">%s%s</td></tr>\n<tr><th>"
               "server store</th><td class=\"store\">%s</td></tr>\n</table>\n",
               v.bootstrap.empty() ? "none" : html(r, v.bootstrap).c_str(),
               v.bootstrapped ? " (has supplied servers)" : "",
               v.store.empty() ? "none" : html(r, v.store).c_str());
}

// A table not initialised: why, what it claims meanwhile, and the servers it waits for
// with their checks' verdicts.
void htmlCold(request_rec* r, const VhostStatus& v, int n) {
    if (!v.hasTable || v.initialized) return;
    ap_rprintf(r,
               "<h3>Not initialised</h3>\n<table class=\"cold\" id=\"cold-%d\">\n<tr><th>why"
               "</th><td class=\"cold-reason\">%s</td></tr>\n<tr><th>claimed meanwhile</th>"
               "<td class=\"claimed\">%s</td></tr>\n",
               n, v.coldReason.empty() ? "no server tried yet" : html(r, v.coldReason).c_str(),
               v.claimed.empty() ? "nothing: the application's URIs get the web server's own "
                                   "answer (404) until a server answers; QuonConfig claim "
                                   "/path/* names URIs to claim"
                                 : html(r, v.claimed).c_str());
    for (const std::string& name : v.coldServers) {
        HealthStatus h;
        for (const ServerStatus& server : v.servers)
            if (strcasecmp(server.name.c_str(), name.c_str()) == 0) h = server.health;
        ap_rprintf(r,
                   "<tr class=\"waited\" data-server=\"%s\" data-verdict=\"%s\"><th>%s</th>"
                   "<td>%s%s%s</td></tr>\n",
                   html(r, name).c_str(), h.checked ? h.verdict : "unchecked",
                   html(r, name).c_str(), h.checked ? h.verdict : "not checked yet",
                   h.lastError.empty() ? "" : ": ", html(r, h.lastError).c_str());
    }
    ap_rputs("</table>\n", r);
}

void htmlAnswers(request_rec* r, const VhostStatus& v, int n) {
    ap_rprintf(r,
               "<h3>Answers</h3>\n<table class=\"answers\" id=\"answers-%d\">\n<thead><tr>"
               "<th>mapping</th><th>served</th><th>error page</th><th>redirect</th>"
               "<th>time-out (504)</th><th>client gone</th><th>cut</th><th>broken sessions</th>"
               "</tr></thead>\n<tbody>\n",
               n);
    for (const AnswerStatus& a : v.answers) {
        ap_rprintf(r, "<tr class=\"answer\" data-mapping=\"%s\"><td class=\"mapping\">%s</td>",
                   a.others ? "" : html(r, a.pattern).c_str(),
                   a.others ? "(other mappings)" : html(r, a.pattern).c_str());
        // A count of 0 is not shown as a fault.
        for (int kind = 0; kind < QN_ANSWER_KINDS; ++kind)
            cell(r, a.answers[kind] ? answerKindName(kind)
                                    : apr_pstrcat(r->pool, answerKindName(kind), " zero", nullptr),
                 number(a.answers[kind]));
        cell(r, "broken-sessions", number(a.brokenSessions));
        ap_rputs("</tr>\n", r);
    }
    ap_rputs("</tbody></table>\n", r);
}

void htmlEntries(request_rec* r, const VhostStatus& v, int n) {
    ap_rprintf(r,
               "<h3>Mappings</h3>\n<table class=\"mappings\" id=\"mappings-%d\">\n<thead><tr>"
               "<th>pattern</th><th>value</th><th>algorithm</th><th>sticky</th><th>servers</th>"
               "</tr></thead>\n<tbody>\n",
               n);
    for (const EntryStatus& e : v.entries) {
        std::string servers;
        for (const std::string& s : e.servers) servers += (servers.empty() ? "" : ", ") + s;
        ap_rprintf(r,
                   "<tr class=\"mapping\"><td class=\"pattern\">%s</td><td class=\"value\">%s</td>"
                   "<td class=\"algorithm\">%s</td><td class=\"sticky\">%s</td><td "
                   "class=\"servers\">%s</td></tr>\n",
                   html(r, e.pattern).c_str(), html(r, e.value).c_str(), algorithmName(e.algorithm),
                   e.sticky ? "yes" : "no", html(r, servers).c_str());
    }
    ap_rputs("</tbody></table>\n", r);
}

void htmlRefresh(request_rec* r, const StatusModel& m) {
    ap_rputs("<p class=\"refresh\" id=\"refresh\">Reload: ", r);
    for (int seconds : kRefreshChoices) {
        const char* text = seconds ? apr_psprintf(r->pool, "every %d s", seconds) : "never";
        if (seconds == m.refresh)
            ap_rprintf(r, "<strong class=\"current\" data-seconds=\"%d\">%s</strong> ", seconds,
                       text);
        else
            ap_rprintf(r, "<a href=\"%s?refresh=%d\" data-seconds=\"%d\">%s</a> ",
                       html(r, r->uri).c_str(), seconds, seconds, text);
    }
    ap_rputs("</p>\n", r);
}

void htmlChildren(request_rec* r, const StatusModel& m) {
    ap_rputs("<h2>Children</h2>\n<table class=\"children\" id=\"children\">\n<thead><tr><th>pid"
             "</th><th>started</th><th>published</th></tr></thead>\n<tbody>\n",
             r);
    for (const ChildStatus& c : m.children)
        ap_rprintf(r,
                   "<tr class=\"child\" data-pid=\"%d\" data-started=\"%ld\"><td>%d%s</td><td>%s"
                   "</td><td>%s</td></tr>\n",
                   c.pid, c.startedAt, c.pid, c.self ? " (this page)" : "",
                   clock(r, c.startedAt).c_str(),
                   c.publishedAt ? clock(r, c.publishedAt).c_str() : "not yet");
    ap_rputs("</tbody></table>\n", r);
}
}  // namespace

void renderHtml(request_rec* r, const StatusModel& m) {
    ap_set_content_type(r, "text/html; charset=utf-8");
    ap_rputs(kHtmlHead, r);
    ap_rprintf(r,
               "<p>Page of child <span id=\"pid\">%d</span> at <span id=\"time\" "
               "data-epoch=\"%ld\">%s</span>, <span id=\"build\">%s</span>. Counters since "
               "<span id=\"since\" data-epoch=\"%ld\">%s</span>, summed over every child; the "
               "state of each server is given as each running child sees it, marked with its "
               "pid.</p>\n",
               m.pid, m.now, clock(r, m.now).c_str(), buildText().c_str(), m.countersSince,
               m.countersSince ? clock(r, m.countersSince).c_str() : "-");
    htmlRefresh(r, m);
    if (!m.changes)
        ap_rputs("<p class=\"notice\" id=\"changes-off\">Servers cannot be drained, disabled or "
                 "enabled from this page here: an .htaccess file applies to it, or QuonConfig "
                 "statuschanges is off.</p>\n",
                 r);
    htmlChildren(r, m);
    for (int n = 0; n < int(m.vhosts.size()); ++n) {
        const VhostStatus& v = m.vhosts[size_t(n)];
        ap_rprintf(r,
                   "<section class=\"vhost\" id=\"vhost-%d\" data-vhost=\"%s\">\n<h2>Virtual "
                   "server <span class=\"vhost-name\">%s</span></h2>\n",
                   n, html(r, v.name).c_str(), html(r, v.name).c_str());
        htmlSummary(r, v, n);
        htmlCluster(r, v, n);
        htmlCold(r, v, n);
        htmlAnswers(r, v, n);
        htmlEntries(r, v, n);
        htmlServers(r, m, v, n);
        ap_rputs("</section>\n", r);
    }
    ap_rputs("</body></html>\n", r);
}

int renderMessage(request_rec* r, int status, const char* title, const char* why) {
    r->status = status;
    ap_set_content_type(r, "text/html; charset=utf-8");
    ap_rprintf(r,
               "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>%d %s"
               "</title></head>\n<body>\n<h1>%s</h1>\n<p id=\"why\">%s</p>\n<p><a href=\"%s\">"
               "The status page</a></p>\n</body></html>\n",
               status, html(r, title).c_str(), html(r, title).c_str(), html(r, why).c_str(),
               html(r, r->uri).c_str());
    return OK;
}

void renderStatusSection(request_rec* r, const StatusModel& m, bool brief) {
    int index = 0;
    if (!brief)
        ap_rputs(
            "<hr />\n<h2>Quon back-end servers</h2>\n<table border=\"1\"><tr><th>virtual "
            "server</th><th>server</th><th>state</th><th>operator</th><th>in flight</th>"
            "<th>requests</th><th>failures</th><th>fail-overs</th></tr>\n",
            r);
    for (const VhostStatus& v : m.vhosts)
        for (const ServerStatus& s : v.servers) {
            const StatusCounts& c = s.counts;
            if (brief)
                ap_rprintf(r,
                           "QuonServer[%d]VirtualServer: %s\nQuonServer[%d]Name: %s\n"
                           "QuonServer[%d]State: %s\nQuonServer[%d]Admin: %s\n"
                           "QuonServer[%d]InFlight: %d\nQuonServer[%d]Requests: %s\n"
                           "QuonServer[%d]Failures: %s\nQuonServer[%d]Failovers: %s\n",
                           index, validUtf8(v.name).c_str(), index, validUtf8(s.name).c_str(),
                           index, s.state(), index, adminName(s.admin), index, s.inFlight, index,
                           number(c.requests).c_str(), index, number(c.failed()).c_str(), index,
                           number(c.failovers).c_str());
            else
                ap_rprintf(r,
                           "<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%d</td><td>%s</td>"
                           "<td>%s</td><td>%s</td></tr>\n",
                           html(r, v.name).c_str(), html(r, s.name).c_str(), s.state(),
                           adminName(s.admin), s.inFlight, number(c.requests).c_str(),
                           number(c.failed()).c_str(), number(c.failovers).c_str());
            ++index;
        }
    if (!brief) ap_rputs("</table>\n", r);
}
