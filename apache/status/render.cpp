// The status page's three formats: HTML for a person (plain, without scripts, with
// element ids and classes that a program can read), JSON (its schema is in README.md)
// and the Prometheus text exposition format; and the short section in mod_status's page.
// Every name that comes from the configuration or a back end is escaped for its format.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it
#include "quon_status.h"

#include <cstring>
#include <string>

#include <apr_strings.h>
#include <http_protocol.h>
#include <util_time.h>

namespace {
constexpr const char* kHtmlHead =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
    "<title>Quon connector status</title>\n<style>table{border-collapse:collapse;margin-bottom:"
    "1em}th,td{border:1px solid #999;padding:2px 6px;text-align:left;vertical-align:top}"
    "ul{margin:0;padding-left:1em}</style></head>\n<body>\n<h1>Quon connector status</h1>\n";
constexpr const char* kServerHeader =
    "<thead><tr><th>server</th><th>replication id</th><th>state</th><th>operator</th>"
    "<th>in flight</th><th>requests</th><th>failures</th><th>fail-overs</th>"
    "<th>bytes to server</th><th>bytes to client</th><th>mean response</th>"
    "<th>as each child sees it</th><th>health checks</th><th>change</th></tr></thead>\n";
constexpr const char* kActions[] = {"drain", "disable", "enable"};

std::string html(request_rec* r, const std::string& text) {
    return ap_escape_html2(r->pool, text.c_str(), 0);
}

// Numbers as text without std::to_string, whose library templates would be exported from
// the module.
std::string number(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    return text;
}
std::string number(long value) {
    char text[24];
    snprintf(text, sizeof text, "%ld", value);
    return text;
}
std::string number(int value) { return number(long(value)); }

// A JSON string, quotes included: control characters, quote and backslash escaped.
std::string json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string jsonOrNull(const std::string& text) { return text.empty() ? "null" : json(text); }
const char* boolean(bool value) { return value ? "true" : "false"; }

// A Prometheus label value: backslash, quote and line feed escaped.
std::string label(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::string seconds(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.6f", value);
    return text;
}

std::string boundSeconds(int bucket) {
    if (bucket >= QN_BUCKETS - 1) return "+Inf";
    char text[32];
    snprintf(text, sizeof text, "%g", double(QN_BUCKET_BOUNDS_US[bucket]) / 1e6);
    return text;
}

uint64_t failuresOf(const StatusCounts& counts) {
    uint64_t total = 0;
    for (uint64_t count : counts.failures) total += count;
    return total;
}

std::string meanTime(const StatusCounts& counts) {
    const uint64_t observed = counts.observed();
    if (observed == 0) return "-";
    char text[32];
    snprintf(text, sizeof text, "%.1f ms", double(counts.microseconds) / 1000.0 / double(observed));
    return text;
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
    ap_rprintf(r,
               "<tr><th>bootstrap server</th><td class=\"bootstrap\">%s%s</td></tr>\n<tr><th>"
               "server store</th><td class=\"store\">%s</td></tr>\n</table>\n",
               v.bootstrap.empty() ? "none" : html(r, v.bootstrap).c_str(),
               v.bootstrapped ? " (has supplied servers)" : "",
               v.store.empty() ? "none" : html(r, v.store).c_str());
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

void htmlChildren(request_rec* r, const ServerStatus& s) {
    ap_rputs("<td class=\"children\"><ul>", r);
    for (const ChildSight& c : s.children) {
        ap_rprintf(r, "<li class=\"child\" data-pid=\"%d\" data-state=\"%s\">pid %d%s: %s", c.pid,
                   c.active ? "up" : "down", c.pid, c.self ? " (this page)" : "",
                   c.active ? "up" : "down");
        if (c.retryLeft > 0) ap_rprintf(r, ", tried again in %d s", c.retryLeft);
        ap_rprintf(r, ", %d idle, %d busy, weight %d", c.idle, c.busy, c.weight);
        if (!c.self) ap_rprintf(r, ", published %ld s ago", c.age);
        ap_rputs("</li>", r);
    }
    ap_rputs("</ul></td>", r);
}

// A moment in milliseconds since the epoch, as UTC for people.
std::string when(request_rec* r, long long ms) {
    return ap_ht_time(r->pool, apr_time_from_msec(ms), "%Y-%m-%dT%H:%M:%SZ", 1);
}

void htmlHealth(request_rec* r, const ServerStatus& s) {
    const HealthStatus& h = s.health;
    if (!h.checked) {
        ap_rputs("<td class=\"checks\" data-verdict=\"none\">not checked</td>", r);
        return;
    }
    ap_rprintf(r, "<td class=\"checks\" data-verdict=\"%s\" data-checks=\"%s\" data-failed=\"%s\">"
                  "<span class=\"verdict\">%s</span>",
               h.verdict, number(h.checks).c_str(), number(h.failures).c_str(), h.verdict);
    if (h.since) ap_rprintf(r, " since <span class=\"since\">%s</span>", when(r, h.since).c_str());
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

void htmlActions(request_rec* r, const StatusModel& m, const VhostStatus& v,
                 const ServerStatus& s) {
    ap_rprintf(r,
               "<td class=\"change\"><form method=\"post\" action=\"%s\"><input type=\"hidden\" "
               "name=\"nonce\" value=\"%s\"><input type=\"hidden\" name=\"vhost\" value=\"%s\">"
               "<input type=\"hidden\" name=\"server\" value=\"%s\">",
               html(r, r->uri).c_str(), html(r, m.nonce).c_str(), html(r, v.name).c_str(),
               html(r, s.name).c_str());
    for (const char* action : kActions)
        ap_rprintf(r, "<button type=\"submit\" name=\"action\" value=\"%s\">%s</button> ", action,
                   action);
    ap_rputs("</form></td>", r);
}

void htmlServers(request_rec* r, const StatusModel& m, const VhostStatus& v, int n) {
    ap_rprintf(r, "<h3>Servers</h3>\n<table class=\"servers\" id=\"servers-%d\">\n%s<tbody>\n", n,
               kServerHeader);
    for (int k = 0; k < int(v.servers.size()); ++k) {
        const ServerStatus& s = v.servers[size_t(k)];
        const StatusCounts& c = s.counts;
        ap_rprintf(r,
                   "<tr class=\"server\" id=\"server-%d-%d\" data-server=\"%s\" data-state=\"%s\""
                   " data-admin=\"%s\"><td class=\"name\">%s</td><td class=\"replication-id\">%s"
                   "</td><td class=\"state\">%s</td><td class=\"admin\">%s</td>",
                   n, k, html(r, s.name).c_str(), s.state(), adminName(s.admin),
                   html(r, s.name).c_str(), html(r, s.replicationId).c_str(), s.state(),
                   adminName(s.admin));
        ap_rprintf(r,
                   "<td class=\"in-flight\">%d</td><td class=\"requests\">%s</td><td "
                   "class=\"failures\">%s (",
                   s.inFlight, number(c.requests).c_str(), number(failuresOf(c)).c_str());
        for (int kind = 0; kind < QN_FAIL_KINDS; ++kind)
            ap_rprintf(r, "%s%s %s", kind ? ", " : "", failureKindName(kind),
                       number(c.failures[kind]).c_str());
        ap_rprintf(r,
                   ")</td><td class=\"failovers\">%s</td><td class=\"bytes-to-server\">%s</td>"
                   "<td class=\"bytes-to-client\">%s</td><td class=\"mean\">%s</td>",
                   number(c.failovers).c_str(), number(c.bytesToServer).c_str(),
                   number(c.bytesToClient).c_str(), meanTime(c).c_str());
        htmlChildren(r, s);
        htmlHealth(r, s);
        if (s.counted)
            htmlActions(r, m, v, s);
        else
            ap_rputs("<td class=\"change\">no counters kept</td>", r);
        ap_rputs("</tr>\n", r);
    }
    ap_rputs("</tbody></table>\n", r);
}

std::string jsonHealth(const HealthStatus& h) {
    if (!h.checked) return "null";
    std::string out = std::string("{\"verdict\":\"") + h.verdict + "\",\"since\":" +
                      number(long(h.since)) + ",\"lastCheck\":" + number(long(h.lastCheckAt)) +
                      ",\"lastCheckMillis\":" + number(h.lastMillis) +
                      ",\"lastError\":" + jsonOrNull(h.lastError) +
                      ",\"lastErrorAt\":" + number(long(h.lastErrorAt)) +
                      ",\"checks\":" + number(h.checks) + ",\"failed\":" + number(h.failures) +
                      ",\"failsInRow\":" + number(h.failsInRow) + ",\"changes\":[";
    for (size_t k = 0; k < h.changes.size(); ++k)
        out += std::string(k ? "," : "") + "{\"at\":" + number(long(h.changes[k].first)) +
               ",\"verdict\":\"" + h.changes[k].second + "\"}";
    return out + "]}";
}

void jsonServer(request_rec* r, const ServerStatus& s) {
    const StatusCounts& c = s.counts;
    std::string out = "{\"name\":" + json(s.name) + ",\"replicationId\":" + json(s.replicationId) +
                      ",\"state\":\"" + s.state() + "\",\"admin\":\"" + adminName(s.admin) +
                      "\",\"counted\":" + boolean(s.counted) +
                      ",\"inFlight\":" + number(s.inFlight) +
                      ",\"health\":" + jsonHealth(s.health) +
                      ",\"requests\":" + number(c.requests) + ",\"failures\":{";
    for (int kind = 0; kind < QN_FAIL_KINDS; ++kind)
        out += std::string(kind ? "," : "") + "\"" + failureKindName(kind) +
               "\":" + number(c.failures[kind]);
    out += "},\"failovers\":" + number(c.failovers) +
           ",\"bytesToServer\":" + number(c.bytesToServer) +
           ",\"bytesToClient\":" + number(c.bytesToClient) + ",\"responseTime\":{\"buckets\":[";
    for (int b = 0; b < QN_BUCKETS; ++b) out += (b ? "," : "") + number(c.buckets[b]);
    out += "],\"sumSeconds\":" + seconds(double(c.microseconds) / 1e6) +
           ",\"count\":" + number(c.observed()) + "},\"children\":[";
    for (size_t k = 0; k < s.children.size(); ++k) {
        const ChildSight& h = s.children[k];
        out += std::string(k ? "," : "") + "{\"pid\":" + number(h.pid) +
               ",\"self\":" + boolean(h.self) + ",\"active\":" + boolean(h.active) +
               ",\"idleConnections\":" + number(h.idle) + ",\"busyConnections\":" + number(h.busy) +
               ",\"retryLeft\":" + number(h.retryLeft) + ",\"weight\":" + number(h.weight) +
               ",\"age\":" + number(h.age) + "}";
    }
    ap_rputs((out + "]}").c_str(), r);
}

void jsonVhost(request_rec* r, const VhostStatus& v) {
    std::string out =
        "{\"name\":" + json(v.name) + ",\"table\":" + boolean(v.hasTable) +
        ",\"initialized\":" + boolean(v.initialized) + ",\"clustered\":" + boolean(v.clustered) +
        ",\"clusterSeq\":" + number(v.clusterSeq) + ",\"bootstrap\":" + jsonOrNull(v.bootstrap) +
        ",\"bootstrapped\":" + boolean(v.bootstrapped) + ",\"store\":" + jsonOrNull(v.store) +
        ",\"mappings\":[";
    for (size_t k = 0; k < v.entries.size(); ++k) {
        const EntryStatus& e = v.entries[k];
        out += std::string(k ? "," : "") + "{\"pattern\":" + json(e.pattern) +
               ",\"value\":" + json(e.value) + ",\"algorithm\":\"" + algorithmName(e.algorithm) +
               "\",\"sticky\":" + boolean(e.sticky != 0) + ",\"servers\":[";
        for (size_t i = 0; i < e.servers.size(); ++i) out += (i ? "," : "") + json(e.servers[i]);
        out += "]}";
    }
    ap_rputs((out + "],\"servers\":[").c_str(), r);
    for (size_t k = 0; k < v.servers.size(); ++k) {
        if (k) ap_rputs(",", r);
        jsonServer(r, v.servers[k]);
    }
    ap_rputs("]}", r);
}

// One metric family: its HELP and TYPE lines, then a sample per line of values.
void family(request_rec* r, const char* name, const char* type, const char* help) {
    ap_rprintf(r, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

std::string serverLabels(const VhostStatus& v, const ServerStatus& s) {
    return "vhost=\"" + label(v.name) + "\",server=\"" + label(s.name) + "\"";
}

// A counter of every counted server.
template <typename Value>
void counterFamily(request_rec* r, const StatusModel& m, const char* name, const char* help,
                   Value value) {
    family(r, name, "counter", help);
    for (const VhostStatus& v : m.vhosts)
        for (const ServerStatus& s : v.servers)
            if (s.counted)
                ap_rprintf(r, "%s{%s} %s\n", name, serverLabels(v, s).c_str(),
                           number(value(s.counts)).c_str());
}

// A gauge per server as each child sees it.
template <typename Value>
void childFamily(request_rec* r, const StatusModel& m, const char* name, const char* help,
                 Value value) {
    family(r, name, "gauge", help);
    for (const VhostStatus& v : m.vhosts)
        for (const ServerStatus& s : v.servers)
            for (const ChildSight& c : s.children)
                ap_rprintf(r, "%s{%s,pid=\"%d\"} %d\n", name, serverLabels(v, s).c_str(), c.pid,
                           value(c));
}

void histogram(request_rec* r, const StatusModel& m) {
    constexpr const char* name = "quon_response_seconds";
    family(r, name, "histogram", "Response time of the attempts sent to the back-end server.");
    for (const VhostStatus& v : m.vhosts)
        for (const ServerStatus& s : v.servers) {
            if (!s.counted) continue;
            const std::string labels = serverLabels(v, s);
            uint64_t cumulative = 0;
            for (int b = 0; b < QN_BUCKETS; ++b) {
                cumulative += s.counts.buckets[b];
                ap_rprintf(r, "%s_bucket{%s,le=\"%s\"} %s\n", name, labels.c_str(),
                           boundSeconds(b).c_str(), number(cumulative).c_str());
            }
            ap_rprintf(r, "%s_sum{%s} %s\n%s_count{%s} %s\n", name, labels.c_str(),
                       seconds(double(s.counts.microseconds) / 1e6).c_str(), name, labels.c_str(),
                       number(cumulative).c_str());
        }
}

void serverGauges(request_rec* r, const StatusModel& m) {
    family(r, "quon_in_flight_requests", "gauge",
           "Attempts in flight to the back-end server, over every running child.");
    for (const VhostStatus& v : m.vhosts)
        for (const ServerStatus& s : v.servers)
            ap_rprintf(r, "quon_in_flight_requests{%s} %d\n", serverLabels(v, s).c_str(),
                       s.inFlight);
    family(r, "quon_admin_state", "gauge",
           "The operator's state of the back-end server: 1 for the state it is in.");
    for (const VhostStatus& v : m.vhosts)
        for (const ServerStatus& s : v.servers)
            for (int state : {QN_ADMIN_NORMAL, QN_ADMIN_DRAIN, QN_ADMIN_DISABLE})
                ap_rprintf(r, "quon_admin_state{%s,state=\"%s\"} %d\n", serverLabels(v, s).c_str(),
                           adminName(state), s.admin == state);
}

void clusterGauges(request_rec* r, const StatusModel& m) {
    family(r, "quon_clustered", "gauge", "1 once the virtual server's table fronts a cluster.");
    for (const VhostStatus& v : m.vhosts)
        ap_rprintf(r, "quon_clustered{vhost=\"%s\"} %d\n", label(v.name).c_str(), v.clustered);
    family(r, "quon_cluster_sequence", "gauge",
           "The cluster sequence number this child's table applied last.");
    for (const VhostStatus& v : m.vhosts)
        ap_rprintf(r, "quon_cluster_sequence{vhost=\"%s\"} %d\n", label(v.name).c_str(),
                   v.clusterSeq);
}
}  // namespace

// The health checks of each server, as every child shares them. A family whose value
// needs a verdict or a change leaves out the servers that have none yet.
void healthFamilies(request_rec* r, const StatusModel& m) {
    struct Family {
        const char* name;
        const char* type;
        const char* help;
        bool decided;  // only servers with a verdict
        std::string (*value)(const HealthStatus&);
    };
    static const Family kFamilies[] = {
        {"quon_check_up", "gauge",
         "1 when the server answers its health checks, 0 when it missed them.", true,
         [](const HealthStatus& h) { return std::string(strcmp(h.verdict, "up") ? "0" : "1"); }},
        {"quon_checks_total", "counter", "Health checks of the server, by any child.", false,
         [](const HealthStatus& h) { return number(h.checks); }},
        {"quon_check_failures_total", "counter", "Health checks the server did not answer.",
         false, [](const HealthStatus& h) { return number(h.failures); }},
        {"quon_check_duration_seconds", "gauge", "How long the last health check took.", false,
         [](const HealthStatus& h) { return seconds(h.lastMillis / 1000.0); }},
        {"quon_check_last_change_timestamp_seconds", "gauge",
         "When the health checks' verdict of the server last changed.", true,
         [](const HealthStatus& h) { return seconds(double(h.since) / 1000.0); }},
    };
    for (const Family& f : kFamilies) {
        family(r, f.name, f.type, f.help);
        for (const VhostStatus& v : m.vhosts)
            for (const ServerStatus& s : v.servers) {
                const HealthStatus& h = s.health;
                if (!h.checked || (f.decided && (!h.since || !strcmp(h.verdict, "unknown"))))
                    continue;
                ap_rprintf(r, "%s{%s} %s\n", f.name, serverLabels(v, s).c_str(),
                           f.value(h).c_str());
            }
    }
}

void renderHtml(request_rec* r, const StatusModel& m) {
    ap_set_content_type(r, "text/html; charset=utf-8");
    ap_rputs(kHtmlHead, r);
    ap_rprintf(r,
               "<p>Page of child <span id=\"pid\">%d</span> at <span id=\"time\" "
               "data-epoch=\"%ld\">%s</span>. Counters are summed over every child; the state of "
               "each server is given as each running child sees it, marked with its pid.</p>\n",
               m.pid, m.now,
               ap_ht_time(r->pool, apr_time_from_sec(m.now), "%Y-%m-%d %H:%M:%S %Z", 0));
    for (int n = 0; n < int(m.vhosts.size()); ++n) {
        const VhostStatus& v = m.vhosts[size_t(n)];
        ap_rprintf(r,
                   "<section class=\"vhost\" id=\"vhost-%d\" data-vhost=\"%s\">\n<h2>Virtual "
                   "server <span class=\"vhost-name\">%s</span></h2>\n",
                   n, html(r, v.name).c_str(), html(r, v.name).c_str());
        htmlCluster(r, v, n);
        htmlEntries(r, v, n);
        htmlServers(r, m, v, n);
        ap_rputs("</section>\n", r);
    }
    ap_rputs("</body></html>\n", r);
}

void renderJson(request_rec* r, const StatusModel& m) {
    ap_set_content_type(r, "application/json");
    std::string head = "{\"pid\":" + number(m.pid) + ",\"time\":" + number(m.now) +
                       ",\"nonce\":" + json(m.nonce) + ",\"bucketBounds\":[";
    for (int b = 0; b < QN_BUCKETS - 1; ++b) head += (b ? "," : "") + boundSeconds(b);
    ap_rputs((head + "],\"virtualServers\":[").c_str(), r);
    for (size_t n = 0; n < m.vhosts.size(); ++n) {
        if (n) ap_rputs(",", r);
        jsonVhost(r, m.vhosts[n]);
    }
    ap_rputs("]}\n", r);
}

void renderPrometheus(request_rec* r, const StatusModel& m) {
    ap_set_content_type(r, "text/plain; version=0.0.4; charset=utf-8");
    counterFamily(r, m, "quon_requests_total", "Attempts sent to the back-end server.",
                  [](const StatusCounts& c) { return c.requests; });
    family(r, "quon_failures_total", "counter", "Failed attempts of the back-end server, by kind.");
    for (const VhostStatus& v : m.vhosts)
        for (const ServerStatus& s : v.servers)
            for (int kind = 0; kind < QN_FAIL_KINDS && s.counted; ++kind)
                ap_rprintf(r, "quon_failures_total{%s,kind=\"%s\"} %s\n",
                           serverLabels(v, s).c_str(), failureKindName(kind),
                           number(s.counts.failures[kind]).c_str());
    counterFamily(r, m, "quon_failovers_total",
                  "Failed attempts of the back-end server after which another server was tried.",
                  [](const StatusCounts& c) { return c.failovers; });
    counterFamily(r, m, "quon_request_body_bytes_total",
                  "Request body bytes sent to the back-end server.",
                  [](const StatusCounts& c) { return c.bytesToServer; });
    counterFamily(r, m, "quon_response_body_bytes_total",
                  "Response body bytes of the back-end server passed to the client.",
                  [](const StatusCounts& c) { return c.bytesToClient; });
    histogram(r, m);
    serverGauges(r, m);
    healthFamilies(r, m);
    childFamily(r, m, "quon_server_up", "1 when the child (pid) takes the server to be up.",
                [](const ChildSight& c) { return int(c.active); });
    childFamily(r, m, "quon_idle_connections", "Idle pooled connections of the child (pid).",
                [](const ChildSight& c) { return c.idle; });
    childFamily(r, m, "quon_busy_connections", "Connections the child (pid) has in use.",
                [](const ChildSight& c) { return c.busy; });
    childFamily(r, m, "quon_retry_wait_seconds",
                "Seconds before the child (pid) tries the server again; 0 when not waiting.",
                [](const ChildSight& c) { return c.retryLeft; });
    childFamily(r, m, "quon_server_weight",
                "The server's last load value or weight, as the child (pid) knows it.",
                [](const ChildSight& c) { return c.weight; });
    clusterGauges(r, m);
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
                           index, v.name.c_str(), index, s.name.c_str(), index, s.state(), index,
                           adminName(s.admin), index, s.inFlight, index, number(c.requests).c_str(),
                           index, number(failuresOf(c)).c_str(), index,
                           number(c.failovers).c_str());
            else
                ap_rprintf(r,
                           "<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%d</td><td>%s</td>"
                           "<td>%s</td><td>%s</td></tr>\n",
                           html(r, v.name).c_str(), html(r, s.name).c_str(), s.state(),
                           adminName(s.admin), s.inFlight, number(c.requests).c_str(),
                           number(failuresOf(c)).c_str(), number(c.failovers).c_str());
            ++index;
        }
    if (!brief) ap_rputs("</table>\n", r);
}
