// The counters that every child shares: one segment of APR anonymous shared memory, made
// in the parent by post-config and inherited by every child over fork. It needs no extra
// module (slotmem_shm is not loaded on a default Debian Apache) and no file. It is made
// once per Apache process, in the process pool: the second post-config at start and
// every restart find it again, so the counters and the operator's drain and disable
// states outlive a graceful restart, and children of the old and new generations share
// it while both run. A restart into a build whose records differ makes a new one.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it
#include "quon_status.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>
#include <vector>

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
constexpr const char* kSlotsFull =
    "quon-status: no counter slot left for server %s of %s: all %d are in use, its counters are "
    "not kept and it cannot be drained or disabled";

qnCounterSegment* gSegment = nullptr;
qnChildViews* gViews = nullptr;
// The scopes' names, index = QuonServerConfig::counterScope; from the configuration pool.
const char** gScopes = nullptr;
int32_t gScopeCount = 0;
std::atomic<bool> gFullLogged{false};

// A virtual server is named as its ServerName and port; a second record with the same
// name gets its position in the server chain after "#", so that every child names it
// alike and a restart that keeps the name keeps its counters.
const char* scopeLabel(apr_pool_t* pool, server_rec* s, int position) {
    const char* host = s->server_hostname ? s->server_hostname : "-";
    const char* label = s->port ? apr_psprintf(pool, "%s:%u", host, unsigned(s->port)) : host;
    for (int32_t i = 0; i < gScopeCount; ++i)
        if (strcmp(gScopes[i], label) == 0) return apr_psprintf(pool, "%s#%d", label, position);
    return label;
}

// Every configuration record with settings gets a scope; virtual hosts that share the
// main server's record share its scope.
void nameScopes(apr_pool_t* pconf, server_rec* main) {
    int count = 0;
    for (server_rec* s = main; s; s = s->next) ++count;
    gScopes = static_cast<const char**>(apr_pcalloc(pconf, sizeof(char*) * size_t(count)));
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
        ++gScopeCount;
    }
}

const char* newNonce(apr_pool_t* pool) {
    unsigned char bytes[kNonceBytes] = {};
    if (apr_generate_random_bytes(bytes, sizeof bytes) != APR_SUCCESS) return nullptr;
    char* text = static_cast<char*>(apr_palloc(pool, 2 * kNonceBytes + 1));
    for (int i = 0; i < kNonceBytes; ++i) apr_snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return text;
}

qnCounterSegment* makeSegment(server_rec* main) {
    apr_pool_t* process = main->process->pool;
    void* kept = nullptr;
    apr_pool_userdata_get(&kept, kSegmentKey, process);
    if (qnCounterSegment* segment = qnCounterSegmentAt(kept)) return segment;
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
    qnCounterSegment* segment = qnCounterSegmentInit(base, views, nonce);
    apr_pool_userdata_set(base, kSegmentKey, apr_pool_cleanup_null, process);
    return segment;
}

void countersFor(int32_t scope, const char* name, qnServerCounters** counters,
                 qnServerView** view) {
    const char* label = scopeName(scope);
    if (!gSegment || !label) return;
    qnServerCounters* slot = qnCountersFor(gSegment, label, name);
    if (!slot) {
        if (!gFullLogged.exchange(true))
            ap_log_error(APLOG_MARK, APLOG_NOTICE, 0, nullptr, kSlotsFull, name, label,
                         QN_COUNTER_SLOTS);
        return;
    }
    *counters = slot;
    if (gViews) *view = &gViews->servers[qnSlotIndex(gSegment, slot)];
}

apr_status_t releaseViews(void*) {
    qnSetCountersSource(nullptr);
    qnReleaseChildViews(gViews, int32_t(getpid()));
    gViews = nullptr;
    return APR_SUCCESS;
}
}  // namespace

int quon_status_post_config(apr_pool_t* pconf, apr_pool_t*, apr_pool_t*, server_rec* main) {
    nameScopes(pconf, main);
    gSegment = gScopeCount > 0 ? makeSegment(main) : nullptr;
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
    apr_pool_cleanup_register(pchild, nullptr, releaseViews, apr_pool_cleanup_null);
}

qnCounterSegment* counterSegment() { return gSegment; }
qnChildViews* ownViews() { return gViews; }

const char* scopeName(int32_t scope) {
    return scope >= 0 && scope < gScopeCount ? gScopes[scope] : nullptr;
}

bool processAlive(int32_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

void publishChildView(mappingsTable* table, quon_request* req) {
    if (!gViews || !gSegment) return;
    qnTableDescription* picture = describeTable(table, req, 0);
    if (!picture) return;
    constexpr auto relaxed = std::memory_order_relaxed;
    for (int32_t i = 0; i < picture->serverCount; ++i) {
        const qnDescribedServer& server = picture->servers[i];
        const int32_t slot = qnSlotIndex(gSegment, server.counters);
        if (slot < 0) continue;
        qnServerView& view = gViews->servers[slot];
        view.active.store(server.active, relaxed);
        view.idle.store(server.idle, relaxed);
        view.retryLeft.store(server.retryLeft, relaxed);
        view.weight.store(server.weight, relaxed);
        view.known.store(1, std::memory_order_release);
    }
    gViews->publishedAt.store(int64_t(time(nullptr)), relaxed);
    req->free(req, picture);
}
