// What the status page shows: for every configured virtual server, this child's table as
// it stands (read under its lock, briefly, through the core's description), the other
// children's published views and the counters of the shared segment. Gathered first,
// then written out with no lock held.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it
#include "quon_status.h"

#include <algorithm>
#include <cstring>
#include <strings.h>
#include <ctime>
#include <unistd.h>

#include "counters.h"
#include "describe.h"
#include "health.h"
#include "stall.h"

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr const char* kFailureKinds[QN_FAIL_KINDS] = {"connect", "send", "receive", "protocol",
                                                      "busy"};
constexpr const char* kAnswerKinds[QN_ANSWER_KINDS] = {"served",  "error-page",  "redirect",
                                                       "timeout", "client-gone", "cut"};

StatusCounts countsOf(const qnServerCounters& slot) {
    StatusCounts counts;
    counts.requests = slot.requests.load(kRelaxed);
    counts.failovers = slot.failovers.load(kRelaxed);
    counts.bytesToServer = slot.bytesToServer.load(kRelaxed);
    counts.bytesToClient = slot.bytesToClient.load(kRelaxed);
    for (int k = 0; k < QN_FAIL_KINDS; ++k) counts.failures[k] = slot.failures[k].load(kRelaxed);
    for (int b = 0; b < QN_BUCKETS; ++b) counts.buckets[b] = slot.buckets[b].load(kRelaxed);
    counts.microseconds = slot.microseconds.load(kRelaxed);
    counts.sessionRequests = slot.sessions.requests.load(kRelaxed);
    counts.stickyHits = slot.sessions.hits.load(kRelaxed);
    counts.sessionsMoved = slot.sessions.moved.load(kRelaxed);
    counts.sessionsBroken = slot.sessions.broken.load(kRelaxed);
    return counts;
}

StatusHistory historyOf(const qnServerCounters& slot, const StatusCounts& now, long at) {
    StatusHistory history;
    qnHistoryBars(slot.history, now.requests, now.failed(), at, kHistoryBars, history.requests,
                  history.failures);
    return history;
}

// Names as the slots keep them: host names in any case are one server.
ServerStatus& serverNamed(VhostStatus& vhost, const char* name) {
    for (ServerStatus& server : vhost.servers)
        if (strcasecmp(server.name.c_str(), name) == 0) return server;
    vhost.servers.emplace_back();
    vhost.servers.back().name = name;
    return vhost.servers.back();
}

// The views of the other running children of one slot; in flight counts whether or not
// the child has published the server yet.
void addOtherChildren(ServerStatus& server, qnCounterSegment* segment, int32_t slot, long now) {
    const int32_t self = int32_t(getpid());
    for (int32_t i = 0; i < segment->childViews; ++i) {
        const qnChildViews* views = qnChildViewsAt(segment, i);
        const int32_t pid = views->pid.load(std::memory_order_acquire);
        if (pid == 0 || pid == self || !processAlive(pid)) continue;
        const qnServerView& view = views->servers[slot];
        const int busy = view.inFlight.load(kRelaxed);
        server.inFlight += busy;
        if (!view.known.load(std::memory_order_acquire)) continue;
        ChildSight sight;
        sight.pid = pid;
        sight.active = view.active.load(kRelaxed) != 0;
        sight.idle = view.idle.load(kRelaxed);
        sight.busy = busy;
        sight.retryLeft = view.retryLeft.load(kRelaxed);
        sight.weight = view.weight.load(kRelaxed);
        sight.age = now - long(views->publishedAt.load(kRelaxed));
        server.children.push_back(sight);
    }
}

void addOwnServers(VhostStatus& vhost, const qnTableDescription* picture) {
    for (int32_t i = 0; picture && i < picture->serverCount; ++i) {
        const qnDescribedServer& described = picture->servers[i];
        ServerStatus& server = serverNamed(vhost, described.name);
        server.replicationId = described.replicationId;
        ChildSight sight;
        sight.pid = int(getpid());
        sight.self = true;
        sight.active = described.active != 0;
        sight.idle = described.idle;
        sight.busy = described.busy;
        sight.retryLeft = described.retryLeft;
        sight.weight = described.weight;
        server.children.push_back(sight);
        server.inFlight += described.busy;
    }
}

// Servers of this child's table first, in its order, then those only other children know.
void addServers(VhostStatus& vhost, const qnTableDescription* picture, const char* scope,
                long now) {
    addOwnServers(vhost, picture);
    qnCounterSegment* segment = counterSegment();
    if (!segment || !scope) return;
    for (int32_t slot = 0; slot < QN_COUNTER_SLOTS; ++slot) {
        const qnServerCounters& counters = segment->slots[slot];
        if (counters.state.load(std::memory_order_acquire) != QN_SLOT_USED ||
            strcmp(counters.scope, scope) != 0)
            continue;
        ServerStatus& server = serverNamed(vhost, counters.name);
        server.counted = true;
        server.admin = counters.admin.load(kRelaxed);
        server.counts = countsOf(counters);
        server.history = historyOf(counters, server.counts, now);
        addOtherChildren(server, segment, slot, now);
    }
}

const char* verdictName(int32_t verdict) {
    return verdict == QN_HEALTH_UP ? "up" : verdict == QN_HEALTH_DOWN ? "down" : "unknown";
}

// The board's record of the server: its verdict, last check and changes of the last hour.
void addHealth(ServerStatus& server) {
    const qnHealthSlot* slot = qnHealthFind(qnHealthBoardInUse(), server.name.c_str());
    if (!slot) return;
    HealthStatus& h = server.health;
    h.checked = true;
    h.verdict = verdictName(slot->verdict.load(kRelaxed));
    h.since = slot->changedAt.load(kRelaxed);
    h.downMs = slot->downMs.load(kRelaxed);
    if (strcmp(h.verdict, "down") == 0 && h.since)
        h.downMs += std::max<long long>(0, qnWallMillis() - h.since);
    h.lastCheckAt = slot->lastCheckAt.load(kRelaxed);
    h.lastMillis = slot->lastMillis.load(kRelaxed);
    h.lastErrorAt = slot->lastErrorAt.load(kRelaxed);
    if (h.lastErrorAt) h.lastError = qnCheckReason(slot->lastError.load(kRelaxed));
    h.checks = slot->checks.load(kRelaxed);
    h.failures = slot->failures.load(kRelaxed);
    h.failsInRow = slot->failsInRow.load(kRelaxed);
    if (qnStalled(slot)) {
        char reason[96];
        qnStallReason(slot, qnMonoMillis(), reason, sizeof reason);
        h.stalled = reason;
        h.stalledSince = slot->stalledAt.load(kRelaxed);
    }
    const uint32_t next = slot->historyNext.load(kRelaxed);
    const uint32_t kept = std::min<uint32_t>(next, QN_HEALTH_HISTORY);
    const long long hourAgo = qnWallMillis() - 3600 * 1000LL;
    for (uint32_t k = next - kept; k != next; ++k) {
        const qnHealthChange& change = slot->history[k % QN_HEALTH_HISTORY];
        const long long at = change.at.load(kRelaxed);
        if (at >= hourAgo) h.changes.emplace_back(at, verdictName(change.verdict.load(kRelaxed)));
    }
}

// The answer counters of the virtual server's entries, its other mappings last.
void addAnswers(VhostStatus& vhost, int32_t record) {
    qnCounterSegment* segment = counterSegment();
    if (!segment || record < 0) return;
    AnswerStatus others;
    for (const qnMappingCounters& counters : segment->mappings) {
        if (counters.state.load(std::memory_order_acquire) != QN_SLOT_USED ||
            counters.scope != record)
            continue;
        AnswerStatus answer;
        answer.pattern = counters.pattern;
        answer.others = counters.others != 0;
        for (int k = 0; k < QN_ANSWER_KINDS; ++k)
            answer.answers[k] = counters.answers[k].load(kRelaxed);
        answer.brokenSessions = counters.brokenSessions.load(kRelaxed);
        if (answer.others)
            others = answer;
        else
            vhost.answers.push_back(answer);
    }
    if (others.others) vhost.answers.push_back(others);
}

// What the running children published of the virtual server's table.
void addTables(VhostStatus& vhost, int32_t record) {
    qnCounterSegment* segment = counterSegment();
    if (!segment || record < 0) return;
    TablesStatus& tables = vhost.tables;
    for (int32_t i = 0; i < segment->childViews; ++i) {
        const qnChildViews* views = qnChildViewsAt(segment, i);
        const int32_t pid = views->pid.load(std::memory_order_acquire);
        const qnScopeView& view = views->scopes[record];
        if (pid == 0 || !view.known.load(std::memory_order_acquire) || !processAlive(pid)) continue;
        const int seq = view.clusterSeq.load(kRelaxed);
        tables.lowestSeq = tables.children == 0 ? seq : std::min(tables.lowestSeq, seq);
        tables.highestSeq = tables.children == 0 ? seq : std::max(tables.highestSeq, seq);
        ++tables.children;
        tables.initialized += view.initialized.load(kRelaxed) != 0;
        tables.clustered += view.clustered.load(kRelaxed) != 0;
    }
}

void addEntries(VhostStatus& vhost, const qnTableDescription* picture) {
    for (int32_t i = 0; i < picture->entryCount; ++i) {
        const qnDescribedEntry& described = picture->entries[i];
        EntryStatus entry;
        entry.pattern = described.pattern ? described.pattern : "";
        entry.value = described.value ? described.value : "";
        entry.algorithm = described.algorithm;
        entry.sticky = described.sticky;
        for (int32_t k = 0; k < described.count; ++k) {
            const int32_t at = described.servers[k];
            if (at >= 0 && at < picture->serverCount)
                entry.servers.push_back(picture->servers[at].name);
        }
        vhost.entries.push_back(entry);
    }
}

// What a table not initialised yet waits for: its servers join the list, for their checks.
void addCold(VhostStatus& vhost, const qnTableDescription* picture) {
    vhost.coldReason = picture->coldReason;
    vhost.claimed = picture->claimed ? picture->claimed : "";
    for (int32_t i = 0; i < picture->coldCount; ++i) {
        vhost.coldServers.push_back(picture->coldNames[i]);
        serverNamed(vhost, picture->coldNames[i]);
    }
}

VhostStatus describeVhost(server_rec* s, QuonServerConfig* conf, bool withEntries, long now) {
    VhostStatus vhost;
    const char* scope = scopeName(conf->counterScope);
    vhost.name = scope ? scope : (s->server_hostname ? s->server_hostname : "-");
    vhost.bootstrap = conf->bootstrap ? conf->bootstrap : "";
    vhost.store = conf->serverStore ? conf->serverStore : "";
    quon_request req;
    init_apache_request(&req, nullptr, s);
    mappingsTable* table = conf->table.load(std::memory_order_acquire);
    qnTableDescription* picture = table ? describeTable(table, &req, withEntries ? 1 : 0) : nullptr;
    if (picture) {
        vhost.hasTable = true;
        vhost.initialized = picture->initialized != 0;
        vhost.clustered = picture->clustered != 0;
        vhost.bootstrapped = picture->bootstrapped != 0;
        vhost.clusterSeq = picture->clusterSeq;
        addEntries(vhost, picture);
    }
    addServers(vhost, picture, scope, now);
    if (picture && !vhost.initialized) addCold(vhost, picture);
    for (ServerStatus& server : vhost.servers) addHealth(server);
    addAnswers(vhost, scopeRecord(conf->counterScope));
    addTables(vhost, scopeRecord(conf->counterScope));
    if (picture) req.free(&req, picture);
    return vhost;
}

// The running children with views, oldest first.
void addChildren(StatusModel& model, qnCounterSegment* segment) {
    for (int32_t i = 0; i < segment->childViews; ++i) {
        const qnChildViews* views = qnChildViewsAt(segment, i);
        const int32_t pid = views->pid.load(std::memory_order_acquire);
        if (pid == 0 || !processAlive(pid)) continue;
        ChildStatus child;
        child.pid = pid;
        child.self = pid == model.pid;
        child.startedAt = long(views->startedAt.load(kRelaxed));
        child.publishedAt = long(views->publishedAt.load(kRelaxed));
        model.children.push_back(child);
    }
    std::sort(model.children.begin(), model.children.end(),
              [](const ChildStatus& a, const ChildStatus& b) { return a.startedAt < b.startedAt; });
}
}  // namespace

uint64_t StatusCounts::observed() const {
    uint64_t total = 0;
    for (uint64_t count : buckets) total += count;
    return total;
}

uint64_t StatusCounts::failed() const {
    uint64_t total = 0;
    for (uint64_t count : failures) total += count;
    return total;
}

int ServerStatus::childrenUp() const {
    return int(std::count_if(children.begin(), children.end(),
                             [](const ChildSight& c) { return c.active; }));
}

const char* ServerStatus::state() const {
    const int up = childrenUp();
    if (children.empty()) return "unknown";
    if (up == 0) return "down";
    return size_t(up) == children.size() ? "up" : "mixed";
}

StatusModel collectStatus(server_rec* main, bool withEntries) {
    StatusModel model;
    model.pid = int(getpid());
    model.now = long(time(nullptr));
    if (qnCounterSegment* segment = counterSegment()) {
        model.nonce = qnCurrentNonce(segment);
        model.countersSince = long(segment->createdAt);
        addChildren(model, segment);
    }
    std::vector<QuonServerConfig*> seen;
    for (server_rec* s = main; s; s = s->next) {
        QuonServerConfig* conf = quonConfigOf(s);
        if (!conf->configured || std::find(seen.begin(), seen.end(), conf) != seen.end()) continue;
        seen.push_back(conf);
        model.vhosts.push_back(describeVhost(s, conf, withEntries, model.now));
    }
    return model;
}

const char* adminName(int admin) {
    switch (admin) {
        case QN_ADMIN_DRAIN:
            return "drained";
        case QN_ADMIN_DISABLE:
            return "disabled";
        default:
            return "normal";
    }
}

const char* algorithmName(int algorithm) {
    switch (algorithm) {
        case QN_ROUNDROBIN:
            return "ROUNDROBIN";
        case QN_ROUNDROBIN_WEIGHTED:
            return "ROUNDROBIN_WEIGHTED";
        case QN_MIN:
            return "MIN";
        case QN_MAX:
            return "MAX";
        case QN_RANDOM_WEIGHTED:
            return "RANDOM_WEIGHTED";
        default:
            return "none";
    }
}

const char* failureKindName(int kind) {
    return kind >= 0 && kind < QN_FAIL_KINDS ? kFailureKinds[kind] : "none";
}

const char* answerKindName(int kind) {
    return kind >= 0 && kind < QN_ANSWER_KINDS ? kAnswerKinds[kind] : "none";
}
