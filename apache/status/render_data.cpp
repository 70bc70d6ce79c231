// The status page for programs: JSON (its schema is in docs/operations.md) and the
// Prometheus text exposition format. The metrics carry no label whose values come and go
// with Apache's children: what children see is summed, counted or bounded over them.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it
#include "quon_status.h"
#include "render_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include <http_protocol.h>

namespace {
// The version of the JSON document's fields; raised when one changes its meaning.
constexpr int kJsonVersion = 3;
constexpr const char* kAnswerKeys[QN_ANSWER_KINDS] = {"served",  "errorPage",  "redirect",
                                                     "timeout", "clientGone", "cut"};
constexpr const char* kOtherMappings = "(other mappings)";

std::string jsonList(const uint64_t* values, int count) {
    std::string out = "[";
    for (int i = 0; i < count; ++i) out += (i ? "," : "") + number(values[i]);
    return out + "]";
}

std::string jsonCounts(const StatusCounts& c) {
    std::string out = "\"requests\":" + number(c.requests) + ",\"failures\":{";
    for (int kind = 0; kind < QN_FAIL_KINDS; ++kind)
        out += std::string(kind ? "," : "") + "\"" + failureKindName(kind) +
               "\":" + number(c.failures[kind]);
    return out + "},\"failovers\":" + number(c.failovers) +
           ",\"bytesToServer\":" + number(c.bytesToServer) +
           ",\"bytesToClient\":" + number(c.bytesToClient) +
           ",\"sessions\":{\"requests\":" + number(c.sessionRequests) +
           ",\"hits\":" + number(c.stickyHits) + ",\"moved\":" + number(c.sessionsMoved) +
           ",\"broken\":" + number(c.sessionsBroken) +
           "},\"responseTime\":{\"buckets\":" + jsonList(c.buckets, QN_BUCKETS) +
           ",\"sumSeconds\":" + seconds(double(c.microseconds) / 1e6) +
           ",\"count\":" + number(c.observed()) + "}";
}

// Every time of the document is in seconds: a moment since the epoch, a span as it is;
// milliseconds as fractions, 0 for never.
std::string inSeconds(long long ms) {
    if (ms == 0) return "0";
    char text[32];
    snprintf(text, sizeof text, "%.3f", double(ms) / 1000.0);
    return text;
}

std::string jsonHealth(const HealthStatus& h) {
    if (!h.checked) return "null";
    std::string out = std::string("{\"verdict\":\"") + h.verdict + "\",\"since\":" +
                      inSeconds(h.since) + ",\"downSeconds\":" + inSeconds(h.downMs) +
                      ",\"lastCheck\":" + inSeconds(h.lastCheckAt) +
                      ",\"lastCheckSeconds\":" + inSeconds(h.lastMillis) +
                      ",\"lastError\":" + jsonOrNull(h.lastError) +
                      ",\"lastErrorAt\":" + inSeconds(h.lastErrorAt) +
                      ",\"checks\":" + number(h.checks) + ",\"failed\":" + number(h.failures) +
                      ",\"failsInRow\":" + number(h.failsInRow) +
                      ",\"stalled\":" + jsonOrNull(h.stalled) +
                      ",\"stalledSince\":" + inSeconds(h.stalledSince) + ",\"changes\":[";
    for (size_t k = 0; k < h.changes.size(); ++k)
        out += std::string(k ? "," : "") + "{\"at\":" + inSeconds(h.changes[k].first) +
               ",\"verdict\":\"" + h.changes[k].second + "\"}";
    return out + "]}";
}

void jsonServer(request_rec* r, const ServerStatus& s) {
    std::string out = "{\"name\":" + json(s.name) + ",\"replicationId\":" + json(s.replicationId) +
                      ",\"state\":\"" + s.state() + "\",\"childrenUp\":" + number(s.childrenUp()) +
                      ",\"admin\":\"" + adminName(s.admin) + "\",\"counted\":" +
                      boolean(s.counted) + ",\"inFlight\":" + number(s.inFlight) +
                      ",\"health\":" + jsonHealth(s.health) + "," +
                      jsonCounts(s.counts) + ",\"history\":{\"stepSeconds\":" +
                      number(int(QN_HISTORY_STEP_SECONDS)) +
                      ",\"requests\":" + jsonList(s.history.requests, kHistoryBars) +
                      ",\"failures\":" + jsonList(s.history.failures, kHistoryBars) +
                      "},\"children\":[";
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

std::string jsonAnswers(const VhostStatus& v) {
    std::string out = "[";
    for (size_t k = 0; k < v.answers.size(); ++k) {
        const AnswerStatus& a = v.answers[k];
        out += std::string(k ? "," : "") + "{\"mapping\":" + (a.others ? "null" : json(a.pattern)) +
               ",\"others\":" + boolean(a.others);
        for (int kind = 0; kind < QN_ANSWER_KINDS; ++kind)
            out += ",\"" + std::string(kAnswerKeys[kind]) + "\":" + number(a.answers[kind]);
        out += ",\"brokenSessions\":" + number(a.brokenSessions) + "}";
    }
    return out + "]";
}

// A table not initialised: why, what it claims, the servers it waits for and their verdicts.
std::string jsonCold(const VhostStatus& v) {
    if (!v.hasTable || v.initialized) return "null";
    std::string out = "{\"reason\":" + jsonOrNull(v.coldReason) +
                      ",\"claimed\":" + jsonOrNull(v.claimed) + ",\"waitingFor\":[";
    for (size_t k = 0; k < v.coldServers.size(); ++k) {
        const char* verdict = "unchecked";
        std::string lastError;
        for (const ServerStatus& s : v.servers)
            if (strcasecmp(s.name.c_str(), v.coldServers[k].c_str()) == 0 && s.health.checked) {
                verdict = s.health.verdict;
                lastError = s.health.lastError;
            }
        out += std::string(k ? "," : "") + "{\"name\":" + json(v.coldServers[k]) +
               ",\"verdict\":\"" + verdict + "\",\"lastError\":" + jsonOrNull(lastError) + "}";
    }
    return out + "]}";
}

void jsonVhost(request_rec* r, const VhostStatus& v) {
    const TablesStatus& t = v.tables;
    std::string out =
        "{\"name\":" + json(v.name) + ",\"table\":" + boolean(v.hasTable) +
        ",\"initialized\":" + boolean(v.initialized) + ",\"clustered\":" + boolean(v.clustered) +
        ",\"clusterSeq\":" + number(v.clusterSeq) + ",\"bootstrap\":" + jsonOrNull(v.bootstrap) +
        ",\"bootstrapped\":" + boolean(v.bootstrapped) + ",\"store\":" + jsonOrNull(v.store) +
        ",\"tables\":{\"children\":" + number(t.children) +
        ",\"initialized\":" + number(t.initialized) + ",\"clustered\":" + number(t.clustered) +
        ",\"lowestSeq\":" + number(t.lowestSeq) + ",\"highestSeq\":" + number(t.highestSeq) +
        "},\"notInitialised\":" + jsonCold(v) + ",\"answers\":" + jsonAnswers(v) +
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

std::string vhostLabel(const VhostStatus& v) { return "vhost=\"" + label(v.name) + "\""; }

std::string serverLabels(const VhostStatus& v, const ServerStatus& s) {
    return vhostLabel(v) + ",server=\"" + label(s.name) + "\"";
}

// A sample per server (only those with counters when countedOnly).
template <typename Value>
void serverFamily(request_rec* r, const StatusModel& m, const char* name, const char* type,
                  const char* help, bool countedOnly, Value value) {
    family(r, name, type, help);
    for (const VhostStatus& v : m.vhosts)
        for (const ServerStatus& s : v.servers)
            if (s.counted || !countedOnly)
                ap_rprintf(r, "%s{%s} %s\n", name, serverLabels(v, s).c_str(), value(s).c_str());
}

// A gauge per virtual server.
template <typename Value>
void vhostFamily(request_rec* r, const StatusModel& m, const char* name, const char* help,
                 Value value) {
    family(r, name, "gauge", help);
    for (const VhostStatus& v : m.vhosts)
        ap_rprintf(r, "%s{%s} %d\n", name, vhostLabel(v).c_str(), value(v.tables));
}

// What the children see of a server, reduced over them.
template <typename Value>
std::string overChildren(const ServerStatus& s, bool sum, Value value) {
    int result = 0;
    for (const ChildSight& c : s.children) result = sum ? result + value(c) : std::max(result, value(c));
    return number(result);
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

void serverCounters(request_rec* r, const StatusModel& m) {
    serverFamily(r, m, "quon_requests_total", "counter", "Attempts sent to the back-end server.",
                 true, [](const ServerStatus& s) { return number(s.counts.requests); });
    family(r, "quon_failures_total", "counter", "Failed attempts of the back-end server, by kind.");
    for (const VhostStatus& v : m.vhosts)
        for (const ServerStatus& s : v.servers)
            for (int kind = 0; kind < QN_FAIL_KINDS && s.counted; ++kind)
                ap_rprintf(r, "quon_failures_total{%s,kind=\"%s\"} %s\n",
                           serverLabels(v, s).c_str(), failureKindName(kind),
                           number(s.counts.failures[kind]).c_str());
    serverFamily(r, m, "quon_failovers_total", "counter",
                 "Failed attempts of the back-end server after which another server was tried.",
                 true, [](const ServerStatus& s) { return number(s.counts.failovers); });
    serverFamily(r, m, "quon_request_body_bytes_total", "counter",
                 "Request body bytes sent to the back-end server.", true,
                 [](const ServerStatus& s) { return number(s.counts.bytesToServer); });
    serverFamily(r, m, "quon_response_body_bytes_total", "counter",
                 "Response body bytes of the back-end server passed to the client.", true,
                 [](const ServerStatus& s) { return number(s.counts.bytesToClient); });
    serverFamily(r, m, "quon_session_requests_total", "counter",
                 "Requests that came with a session the back-end server holds.", true,
                 [](const ServerStatus& s) { return number(s.counts.sessionRequests); });
    serverFamily(r, m, "quon_session_sticky_hits_total", "counter",
                 "Requests of the server's sessions that it served.", true,
                 [](const ServerStatus& s) { return number(s.counts.stickyHits); });
    serverFamily(r, m, "quon_sessions_moved_total", "counter",
                 "Requests of the server's sessions that a buddy served.", true,
                 [](const ServerStatus& s) { return number(s.counts.sessionsMoved); });
    serverFamily(r, m, "quon_sessions_broken_total", "counter",
                 "Requests of the server's sessions that neither it nor a buddy could take.", true,
                 [](const ServerStatus& s) { return number(s.counts.sessionsBroken); });
}

void serverGauges(request_rec* r, const StatusModel& m) {
    serverFamily(r, m, "quon_in_flight_requests", "gauge",
                 "Attempts in flight to the back-end server, over every running child.", false,
                 [](const ServerStatus& s) { return number(s.inFlight); });
    family(r, "quon_admin_state", "gauge",
           "The operator's state of the back-end server: 1 for the state it is in.");
    for (const VhostStatus& v : m.vhosts)
        for (const ServerStatus& s : v.servers)
            for (int state : {QN_ADMIN_NORMAL, QN_ADMIN_DRAIN, QN_ADMIN_DISABLE})
                ap_rprintf(r, "quon_admin_state{%s,state=\"%s\"} %d\n", serverLabels(v, s).c_str(),
                           adminName(state), s.admin == state);
    serverFamily(r, m, "quon_server_children_up", "gauge",
                 "Running children that take the back-end server to be up.", false,
                 [](const ServerStatus& s) { return number(s.childrenUp()); });
    serverFamily(r, m, "quon_server_children_known", "gauge",
                 "Running children whose table has the back-end server.", false,
                 [](const ServerStatus& s) { return number(int(s.children.size())); });
    serverFamily(r, m, "quon_idle_connections", "gauge",
                 "Idle pooled connections to the back-end server, over every running child.",
                 false, [](const ServerStatus& s) {
                     return overChildren(s, true, [](const ChildSight& c) { return c.idle; });
                 });
    serverFamily(r, m, "quon_retry_wait_seconds", "gauge",
                 "The longest a running child waits before it tries the server again.", false,
                 [](const ServerStatus& s) {
                     return overChildren(s, false, [](const ChildSight& c) { return c.retryLeft; });
                 });
    serverFamily(r, m, "quon_server_weight", "gauge",
                 "The server's last load value or weight, the highest a running child knows.",
                 false, [](const ServerStatus& s) {
                     return overChildren(s, false, [](const ChildSight& c) { return c.weight; });
                 });
}

void answerCounters(request_rec* r, const StatusModel& m) {
    family(r, "quon_answers_total", "counter",
           "Requests of a mapping by how they were answered: served by a back-end server, the "
           "error page, a redirect to the errorurl, 504 of responsetimeout, the client gone, "
           "a cut answer.");
    for (const VhostStatus& v : m.vhosts)
        for (const AnswerStatus& a : v.answers)
            for (int kind = 0; kind < QN_ANSWER_KINDS; ++kind)
                ap_rprintf(r, "quon_answers_total{%s,mapping=\"%s\",outcome=\"%s\"} %s\n",
                           vhostLabel(v).c_str(), label(a.others ? kOtherMappings : a.pattern).c_str(),
                           answerKindName(kind), number(a.answers[kind]).c_str());
    family(r, "quon_mapping_sessions_broken_total", "counter",
           "Requests of a mapping whose session found neither its server nor a buddy.");
    for (const VhostStatus& v : m.vhosts)
        for (const AnswerStatus& a : v.answers)
            ap_rprintf(r, "quon_mapping_sessions_broken_total{%s,mapping=\"%s\"} %s\n",
                       vhostLabel(v).c_str(), label(a.others ? kOtherMappings : a.pattern).c_str(),
                       number(a.brokenSessions).c_str());
}

void tableGauges(request_rec* r, const StatusModel& m) {
    vhostFamily(r, m, "quon_table_children", "Running children that published the table.",
                [](const TablesStatus& t) { return t.children; });
    vhostFamily(r, m, "quon_table_initialized_children",
                "Running children whose table is set up.",
                [](const TablesStatus& t) { return t.initialized; });
    vhostFamily(r, m, "quon_table_clustered_children",
                "Running children whose table fronts a cluster.",
                [](const TablesStatus& t) { return t.clustered; });
    vhostFamily(r, m, "quon_cluster_sequence_min",
                "The lowest cluster sequence number a running child's table applied.",
                [](const TablesStatus& t) { return t.lowestSeq; });
    vhostFamily(r, m, "quon_cluster_sequence_max",
                "The highest cluster sequence number a running child's table applied.",
                [](const TablesStatus& t) { return t.highestSeq; });
}

void processGauges(request_rec* r, const StatusModel& m) {
    family(r, "quon_build_info", "gauge", "The module's version, as labels.");
    ap_rprintf(r, "quon_build_info{version=\"%d.%d\",build=\"%d\"} 1\n", QUON_MAJOR, QUON_MINOR,
               QUON_BUILD);
    family(r, "quon_counters_start_time_seconds", "gauge",
           "When the shared counters began, in seconds since the epoch.");
    ap_rprintf(r, "quon_counters_start_time_seconds %ld\n", m.countersSince);
    family(r, "quon_children", "gauge", "Running children with views in the shared counters.");
    ap_rprintf(r, "quon_children %d\n", int(m.children.size()));
    if (m.children.empty()) return;
    family(r, "quon_oldest_child_start_time_seconds", "gauge",
           "When the oldest running child started, in seconds since the epoch.");
    ap_rprintf(r, "quon_oldest_child_start_time_seconds %ld\n", m.children.front().startedAt);
    family(r, "quon_newest_child_start_time_seconds", "gauge",
           "When the newest running child started, in seconds since the epoch.");
    ap_rprintf(r, "quon_newest_child_start_time_seconds %ld\n", m.children.back().startedAt);
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
        {"quon_check_stalled", "gauge",
         "1 while the server's requests wait with no answer as others answer: no new request "
         "goes to it.",
         false, [](const HealthStatus& h) { return std::string(h.stalled.empty() ? "0" : "1"); }},
        {"quon_checks_total", "counter", "Health checks of the server, by any child.", false,
         [](const HealthStatus& h) { return number(h.checks); }},
        {"quon_check_failures_total", "counter", "Health checks the server did not answer.",
         false, [](const HealthStatus& h) { return number(h.failures); }},
        {"quon_check_duration_seconds", "gauge", "How long the last health check took.", false,
         [](const HealthStatus& h) { return seconds(h.lastMillis / 1000.0); }},
        {"quon_check_down_seconds_total", "counter",
         "Time the health checks found the server down, the down period under way included.",
         false, [](const HealthStatus& h) { return seconds(double(h.downMs) / 1000.0); }},
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

void renderJson(request_rec* r, const StatusModel& m) {
    ap_set_content_type(r, "application/json");
    std::string head = "{\"version\":" + number(kJsonVersion) + ",\"build\":" + json(buildText()) +
                       ",\"pid\":" + number(m.pid) + ",\"time\":" + number(m.now) +
                       ",\"countersSince\":" + number(m.countersSince) +
                       ",\"changes\":" + boolean(m.changes) + ",\"nonce\":" + jsonOrNull(m.nonce) +
                       ",\"children\":[";
    for (size_t k = 0; k < m.children.size(); ++k) {
        const ChildStatus& c = m.children[k];
        head += std::string(k ? "," : "") + "{\"pid\":" + number(c.pid) +
                ",\"self\":" + boolean(c.self) + ",\"startedAt\":" + number(c.startedAt) +
                ",\"publishedAt\":" + number(c.publishedAt) + "}";
    }
    head += "],\"bucketBounds\":[";
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
    serverCounters(r, m);
    histogram(r, m);
    serverGauges(r, m);
    healthFamilies(r, m);
    answerCounters(r, m);
    tableGauges(r, m);
    processGauges(r, m);
}
