// The counters that every child shares: one segment of APR anonymous shared memory, made
// in the parent by post-config and inherited by every child over fork. It needs no extra
// module (slotmem_shm is not loaded on a default Debian Apache) and no file. It is made
// once per Apache process, in the process pool: the second post-config at start and
// every restart find it again, so the counters and the operator's drain and disable
// states outlive a graceful restart, and children of the old and new generations share
// it while both run. A restart into a build whose records differ makes a new one. The
// page's nonce is new at every restart.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it
#include "quon_status.h"
#include "clock.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <vector>

#include <ap_listen.h>
#include <ap_mpm.h>
#include <apr_shm.h>
#include <apr_strings.h>
#include <http_log.h>

#include "counters.h"
#include "describe.h"
#include "health.h"

APLOG_USE_MODULE(quon);

namespace {
constexpr const char* kSegmentKey = "quon22-counter-segment";
constexpr int kNonceBytes = 16;
constexpr const char* kNoSegment =
    "quon-status: no shared memory for the counters (%d bytes): the status page shows this "
    "child's tables only";
constexpr const char* kNoViews =
    "quon-status: no view left for child %d (%d in use): the status page does not show what it "
    "sees";
constexpr const char* kNoSlot =
    "quon-status: no counter slot for server %s of %s: %s; its counters are not kept and it "
    "cannot be drained or disabled";
constexpr const char* kSlotsFull = "all %d are in use";
constexpr const char* kQuotaFull = "the virtual server holds its %d already";
constexpr const char* kLeftOut = "%s (%d similar lines left out)";
constexpr const char* kNoScopeRecord =
    "quon-status: no record left for virtual server %s (%d in use): its answers are not counted";

qnCounterSegment* gSegment = nullptr;
qnChildViews* gViews = nullptr;
// The scopes' names and their records in the segment (-1: none), index =
// QuonServerConfig::counterScope; from the configuration pool.
const char** gScopes = nullptr;
int32_t* gScopeRecords = nullptr;
int32_t gScopeCount = 0;

int64_t nowSeconds() { return int64_t(time(nullptr)); }

bool labelTaken(const char* label) {
    for (int32_t i = 0; i < gScopeCount; ++i)
        if (strcmp(gScopes[i], label) == 0) return true;
    return false;
}

// The port a virtual server is reached on: its ServerName's or <VirtualHost>'s, else the
// first Listen port.
unsigned portOf(server_rec* s) {
    if (s->port) return s->port;
    if (s->addrs && s->addrs->host_port) return s->addrs->host_port;
    return ap_listeners && ap_listeners->bind_addr ? ap_listeners->bind_addr->port : 0;
}

// A virtual server is named as its ServerName and port, in lower case; a second record
// with the same name gets its position in the server chain after "#", so that every
// child names it alike and a restart that keeps the name keeps its counters. The name is
// cut to what the counters keep, "#N" included, once, here: the page, its forms, the
// metrics and the slots all use this one text.
const char* scopeLabel(apr_pool_t* pool, server_rec* s, int position) {
    const char* host = s->server_hostname ? s->server_hostname : "-";
    const unsigned port = portOf(s);
    const char* whole = port ? apr_psprintf(pool, "%s:%u", host, port) : host;
    char label[QN_SCOPE_NAME_SIZE];
    qnFoldName(label, sizeof label, whole);
    if (!labelTaken(label)) return apr_pstrdup(pool, label);
    char suffix[16];
    apr_snprintf(suffix, sizeof suffix, "#%d", position);
    qnFoldName(label, sizeof label - strlen(suffix), whole);
    return apr_pstrcat(pool, label, suffix, nullptr);
}

// Every configuration record with settings gets a scope; virtual hosts that share the
// main server's record share its scope.
void nameScopes(apr_pool_t* pconf, server_rec* main) {
    int count = 0;
    for (server_rec* s = main; s; s = s->next) ++count;
    gScopes = static_cast<const char**>(apr_pcalloc(pconf, sizeof(char*) * size_t(count)));
    gScopeRecords = static_cast<int32_t*>(apr_pcalloc(pconf, sizeof(int32_t) * size_t(count)));
    gScopeCount = 0;
    std::vector<QuonServerConfig*> named;
    int position = 0;
    for (server_rec* s = main; s; s = s->next, ++position) {
        QuonServerConfig* conf = quonConfigOf(s);
        if (!conf->configured || std::find(named.begin(), named.end(), conf) != named.end())
            continue;
        named.push_back(conf);
        conf->counterScope = gScopeCount;
        gScopes[gScopeCount] = scopeLabel(pconf, s, position);
        gScopeRecords[gScopeCount] = -1;
        ++gScopeCount;
    }
}

// Each scope's record in the segment, claimed (or found again) by the parent.
void claimScopeRecords(server_rec* main) {
    for (int32_t i = 0; i < gScopeCount && gSegment; ++i) {
        gScopeRecords[i] = qnScopeRecordAt(gSegment, gScopes[i], nowSeconds());
        if (gScopeRecords[i] < 0)
            ap_log_error(APLOG_MARK, APLOG_WARNING, 0, main, kNoScopeRecord, gScopes[i],
                         QN_SCOPE_SLOTS);
    }
}

const char* newNonce(apr_pool_t* pool) {
    unsigned char bytes[kNonceBytes] = {};
    if (apr_generate_random_bytes(bytes, sizeof bytes) != APR_SUCCESS) return nullptr;
    char* text = static_cast<char*>(apr_palloc(pool, 2 * kNonceBytes + 1));
    for (int i = 0; i < kNonceBytes; ++i) apr_snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return text;
}

// Made once per Apache process; each later post-config (the second at start, every
// restart) finds it again and gives the page a new nonce, the old one still accepted for
// a minute.
qnCounterSegment* makeSegment(server_rec* main, apr_pool_t* ptemp) {
    apr_pool_t* process = main->process->pool;
    void* kept = nullptr;
    apr_pool_userdata_get(&kept, kSegmentKey, process);
    if (qnCounterSegment* segment = qnCounterSegmentAt(kept)) {
        if (const char* nonce = newNonce(ptemp)) qnRotateNonce(segment, nonce, nowSeconds());
        return segment;
    }
    int limit = 0;
    ap_mpm_query(AP_MPMQ_HARD_LIMIT_DAEMONS, &limit);
    const int32_t views = std::clamp(limit, 1, QN_MAX_CHILD_VIEWS);
    const size_t size = qnCounterSegmentSize(views);
    const char* nonce = newNonce(process);
    apr_shm_t* shm = nullptr;
    apr_status_t status = nonce ? apr_shm_create(&shm, size, nullptr, process) : APR_ENOMEM;
    if (status != APR_SUCCESS) {
        ap_log_error(APLOG_MARK, APLOG_ERR, status, main, kNoSegment, int(size));
        return nullptr;
    }
    void* base = apr_shm_baseaddr_get(shm);
    qnCounterSegment* segment = qnCounterSegmentInit(base, views, nonce, nowSeconds());
    apr_pool_userdata_set(base, kSegmentKey, apr_pool_cleanup_null, process);
    return segment;
}

// A server's cell of the shared rate limit: a hash of its name as the slots fold it.
qnLogLimit* noSlotCell(const char* label, const char* name) {
    uint32_t hash = 2166136261u;
    for (const char* text : {label, ":", name})
        for (const char* c = text; *c; ++c)
            hash = (hash ^ uint32_t(tolower(static_cast<unsigned char>(*c)))) * 16777619u;
    return &gSegment->noSlotLog[hash % QN_NO_SLOT_LOG_CELLS];
}

// At most one line per server every 10 s over every child, not one per child.
void logNoSlot(const char* label, const char* name, int refused) {
    const int leftOut = qnLogLimitTurn(noSlotCell(label, name), qnMonoMillis());
    if (leftOut < 0) return;
    char why[64], line[1024];
    if (refused == QN_REFUSED_QUOTA)
        apr_snprintf(why, sizeof why, kQuotaFull, QN_SLOTS_PER_SCOPE);
    else
        apr_snprintf(why, sizeof why, kSlotsFull, QN_COUNTER_SLOTS);
    apr_snprintf(line, sizeof line, kNoSlot, name, label, why);
    if (leftOut == 0)
        ap_log_error(APLOG_MARK, APLOG_NOTICE, 0, nullptr, "%s", line);
    else
        ap_log_error(APLOG_MARK, APLOG_NOTICE, 0, nullptr, kLeftOut, line, leftOut);
}

void countersFor(int32_t scope, const char* name, qnServerCounters** counters,
                 qnServerView** view) {
    const char* label = scopeName(scope);
    if (!gSegment || !label) return;
    int refused = 0;
    qnServerCounters* slot = qnCountersAt(gSegment, label, name, nowSeconds(), &refused);
    if (!slot) {
        logNoSlot(label, name, refused);
        return;
    }
    *counters = slot;
    if (gViews) *view = &gViews->servers[qnSlotIndex(gSegment, slot)];
}

qnMappingCounters* mappingCountersFor(int32_t scope, const char* pattern) {
    if (!gSegment || scope < 0 || scope >= gScopeCount || gScopeRecords[scope] < 0) return nullptr;
    return qnMappingCountersAt(gSegment, gScopeRecords[scope], pattern, nowSeconds());
}

apr_status_t releaseViews(void*) {
    qnSetCountersSource(nullptr);
    qnSetMappingCountersSource(nullptr);
    qnReleaseChildViews(gViews, int32_t(getpid()));
    gViews = nullptr;
    return APR_SUCCESS;
}

// What this child sees of the table's servers and of the table itself; the slots and
// records it has are marked seen, and the servers' histories sampled when a step is due.
void publishServers(const qnTableDescription* picture, int64_t now) {
    constexpr auto relaxed = std::memory_order_relaxed;
    for (int32_t i = 0; i < picture->serverCount; ++i) {
        const qnDescribedServer& server = picture->servers[i];
        const int32_t slot = qnSlotIndex(gSegment, server.counters);
        if (slot < 0) continue;
        server.counters->seenAt.store(now, relaxed);
        qnSampleHistory(server.counters, now);
        qnServerView& view = gViews->servers[slot];
        // active is not written here: the table writes it as it changes (qnShowActive),
        // and this picture may be older than that.
        view.idle.store(server.idle, relaxed);
        view.retryLeft.store(server.retryLeft, relaxed);
        view.weight.store(server.weight, relaxed);
        view.known.store(1, std::memory_order_release);
    }
}

void publishScope(const qnTableDescription* picture, int32_t record, int64_t now) {
    if (record < 0 || record >= QN_SCOPE_SLOTS) return;
    constexpr auto relaxed = std::memory_order_relaxed;
    gSegment->scopes[record].seenAt.store(now, relaxed);
    qnScopeView& view = gViews->scopes[record];
    view.initialized.store(picture->initialized, relaxed);
    view.clustered.store(picture->clustered, relaxed);
    view.clusterSeq.store(picture->clusterSeq, relaxed);
    view.known.store(1, std::memory_order_release);
}
}  // namespace

int quon_status_post_config(apr_pool_t* pconf, apr_pool_t*, apr_pool_t* ptemp, server_rec* main) {
    nameScopes(pconf, main);
    gSegment = gScopeCount > 0 ? makeSegment(main, ptemp) : nullptr;
    claimScopeRecords(main);
    // Without the segment every child checks the servers on its own.
    qnSetHealthBoard(gSegment ? &gSegment->health : nullptr);
    return OK;
}

// Runs before the upkeep thread starts, so that the first servers to join find the
// views.
void quon_status_child_init(apr_pool_t* pchild, server_rec* main) {
    if (!gSegment) return;
    gViews = qnClaimChildViews(gSegment, int32_t(getpid()), processAlive);
    if (!gViews)
        ap_log_error(APLOG_MARK, APLOG_NOTICE, 0, main, kNoViews, int(getpid()),
                     int(gSegment->childViews));
    qnSetCountersSource(countersFor);
    qnSetMappingCountersSource(mappingCountersFor);
    apr_pool_cleanup_register(pchild, nullptr, releaseViews, apr_pool_cleanup_null);
}

qnCounterSegment* counterSegment() { return gSegment; }
qnChildViews* ownViews() { return gViews; }

const char* scopeName(int32_t scope) {
    return scope >= 0 && scope < gScopeCount ? gScopes[scope] : nullptr;
}

int32_t scopeRecord(int32_t scope) {
    return scope >= 0 && scope < gScopeCount ? gScopeRecords[scope] : -1;
}

bool processAlive(int32_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

void publishChildView(mappingsTable* table, quon_request* req) {
    if (!gViews || !gSegment) return;
    qnTableDescription* picture = describeTable(table, req, 0);
    if (!picture) return;
    const int64_t now = nowSeconds();
    publishServers(picture, now);
    publishScope(picture, scopeRecord(quonConfigOf(req->server)->counterScope), now);
    touchEntryCounters(table, req, now);
    gViews->publishedAt.store(now, std::memory_order_relaxed);
    req->free(req, picture);
}
