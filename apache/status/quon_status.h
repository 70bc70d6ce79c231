// The module's operations room, apache/status/: the counters every child shares
// (counters.cpp), what the status page shows (model.cpp), its formats (render_html.cpp,
// render_data.cpp, with the text pieces of render_text.cpp),
// and the quon-status handler with its operator actions and the section in mod_status's
// page (handler.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <httpd.h>

#include "counters_types.h"
#include "request_types.h"

struct mappingsTable;
struct QuonServerConfig;

// counters.cpp. The segment is made by the first post-config of the Apache process
// and kept for its life (its process pool), so counters and the operator's states last
// across restarts; each child claims a view of it at its start.
int quon_status_post_config(apr_pool_t* pconf, apr_pool_t* plog, apr_pool_t* ptemp,
                            server_rec* main);
void quon_status_child_init(apr_pool_t* pchild, server_rec* main);
// The segment, this child's views (null where it has none), and the name of a virtual
// server's counters scope (QuonServerConfig::counterScope), null for an unknown one.
qnCounterSegment* counterSegment();
qnChildViews* ownViews();
const char* scopeName(int32_t scope);
// The scope's record in the segment (qnCounterSegment::scopes), -1 for none.
int32_t scopeRecord(int32_t scope);
// Whether the child process pid is still running.
bool processAlive(int32_t pid);
// Writes this child's view of the table's servers to its views; the upkeep thread does
// after each pass.
void publishChildView(mappingsTable* table, quon_request* req);

// model.cpp: what the page shows, gathered without holding any lock while it is
// written out.
struct StatusCounts {
    uint64_t requests = 0, failovers = 0, bytesToServer = 0, bytesToClient = 0;
    uint64_t failures[QN_FAIL_KINDS] = {};
    uint64_t buckets[QN_BUCKETS] = {};  // per bucket, not cumulative
    uint64_t microseconds = 0;
    uint64_t sessionRequests = 0, stickyHits = 0, sessionsMoved = 0, sessionsBroken = 0;
    uint64_t observed() const;  // the attempts in the histogram
    uint64_t failed() const;    // over every kind
};
// Attempts and failed attempts per QN_HISTORY_STEP_SECONDS, oldest first; the last step is
// the one under way.
inline constexpr int kHistoryBars = QN_HISTORY_SAMPLES - 1;
struct StatusHistory {
    uint64_t requests[kHistoryBars] = {};
    uint64_t failures[kHistoryBars] = {};
};
// One child's sight of a server.
struct ChildSight {
    int pid = 0;
    bool self = false;  // the child that serves the page: read from its table now
    bool active = false;
    int idle = 0, busy = 0, retryLeft = 0, weight = 0;
    long age = 0;  // seconds since that child published it
};
// What the health checks, which every child shares, found of a server. Times in
// milliseconds since the epoch, 0 for never.
struct HealthStatus {
    bool checked = false;  // the checks keep a slot for it
    const char* verdict = "unknown";  // "up", "down" or "unknown" (not decided yet)
    long long since = 0;              // the last change of verdict
    long long downMs = 0;             // every down period, the one under way included
    long long lastCheckAt = 0;
    int lastMillis = 0;  // how long the last check took
    std::string lastError;  // the reason of the last failed check; empty when none failed
    long long lastErrorAt = 0;
    uint64_t checks = 0, failures = 0;
    int failsInRow = 0;
    // Why the server counts as stalled ("n requests waiting, the oldest for s seconds"),
    // and since when; empty and 0 when it does not.
    std::string stalled;
    long long stalledSince = 0;
    // The changes of verdict of the last hour, oldest first: when, and "up" or "down".
    std::vector<std::pair<long long, std::string>> changes;
};
struct ServerStatus {
    std::string name, replicationId;
    HealthStatus health;
    bool counted = false;  // it has a slot of counters
    int admin = QN_ADMIN_NORMAL;
    int inFlight = 0;  // over every running child
    StatusCounts counts;
    StatusHistory history;
    std::vector<ChildSight> children;
    // "up" when every child that knows it sees it active, "down" when none does, "mixed"
    // in between, "unknown" when no child has published it.
    const char* state() const;
    int childrenUp() const;
};
struct EntryStatus {
    std::string pattern, value;
    int algorithm = 0, sticky = 0;
    std::vector<std::string> servers;
};
// How the requests of one mapping entry were answered (QN_ANSWER_*), over every child;
// others: the virtual server's entries past those counted apart.
struct AnswerStatus {
    std::string pattern;
    bool others = false;
    uint64_t answers[QN_ANSWER_KINDS] = {};
    uint64_t brokenSessions = 0;
};
// The virtual server's table as the running children published it.
struct TablesStatus {
    int children = 0, initialized = 0, clustered = 0;
    int lowestSeq = 0, highestSeq = 0;
};
struct VhostStatus {
    std::string name;
    bool hasTable = false, initialized = false, clustered = false, bootstrapped = false;
    int clusterSeq = 0;
    std::string bootstrap, store;  // empty when not configured
    std::vector<EntryStatus> entries;
    std::vector<ServerStatus> servers;
    std::vector<AnswerStatus> answers;
    TablesStatus tables;
    // While this child's table is not initialised: why (empty before its first try
    // failed), the servers it waits for (each one also among servers, with its checks),
    // and the URL patterns it claims meanwhile, blank-separated (empty: none).
    std::string coldReason;
    std::vector<std::string> coldServers;
    std::string claimed;
};
// A running child with views in the segment.
struct ChildStatus {
    int pid = 0;
    bool self = false;
    long startedAt = 0, publishedAt = 0;  // seconds since the epoch
};
struct StatusModel {
    int pid = 0;
    long now = 0;
    long countersSince = 0;  // seconds since the epoch; 0 without shared counters
    std::string nonce;       // empty where the page may change nothing
    bool changes = false;    // the page may drain, disable and enable here
    int refresh = 0;         // seconds between reloads the page asks for; 0: none
    std::vector<ChildStatus> children;
    std::vector<VhostStatus> vhosts;
};
// Every configured virtual server; withEntries false leaves the mapping entries out.
StatusModel collectStatus(server_rec* main, bool withEntries);
const char* adminName(int admin);
const char* algorithmName(int algorithm);
const char* failureKindName(int kind);
const char* answerKindName(int kind);

// render_html.cpp and render_data.cpp: the page in each format, written to r.
void renderHtml(request_rec* r, const StatusModel& model);
// A short page that says why a request to the handler was refused, with its status.
int renderMessage(request_rec* r, int status, const char* title, const char* why);
void renderJson(request_rec* r, const StatusModel& model);
void renderPrometheus(request_rec* r, const StatusModel& model);
// The short section of mod_status's page, and its ?auto lines.
void renderStatusSection(request_rec* r, const StatusModel& model, bool brief);

// handler.cpp
int quon_status_handler(request_rec* r);
void registerStatusHooks();

// adapter.cpp: QUON_SERVER, QUON_ATTEMPTS and QUON_MAPPING in the request's environment,
// from what the dispatch left in req.
void setQuonEnvironment(request_rec* r, const quon_request* req);
