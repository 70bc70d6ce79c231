// The upkeep of a mappings table: everything that keeps its membership and mappings
// current by talking to back-end servers (the first initialisation, the member list a
// server reported, the bootstrap server while it has supplied nobody, probes of servers
// marked down, mapping refreshes). The web server runs it on a thread of its own, never
// in a request: every exchange runs with no table lock held and its outcome is applied
// under tableLock, so a request only ever waits for that short application. A piece
// that fails is tried again after waits that double from one second up to five, not on
// every pass; a request for a table not initialised yet asks for the next try at once.
#include "upkeep.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "health.h"
#include "log_limit.h"
#include "mapping_order.h"
#include "pool.h"
#include "property.h"
#include "proxy.h"
#include "sync.h"
#include "table.h"

namespace {
constexpr int32_t kFirstRetrySeconds = 1;
// The longest wait between two tries of a failed piece: a cluster that comes back after an
// outage is found within seconds, whatever the servers' retry interval.
constexpr int32_t kRetryCap = 5;
// Requests for a table not initialised yet bring its next try forward, at most this often.
constexpr int64_t kWantedInitEveryMs = 250;
constexpr const char* kRetryLater = "%s did not succeed, tried again in %d s";
constexpr const char* kReported = "%s reported seq %d, table has seq %d";
constexpr const char* kReady = "%s: mappings table ready after %lld s, %d servers";
constexpr const char* kNoBootstrapServer = "no bootstrap server is configured";
constexpr const char* kBootstrapGaveNone = "the bootstrap server %s supplied no server";
constexpr const char* kNoStore = "no server store is configured";
constexpr const char* kStoreUnread = "the server store %s does not exist yet or could not be read";
constexpr const char* kStoreEmpty = "the server store %s names no server";
constexpr const char* kStoredDown = "none of the %d servers the server store names joined";

std::atomic<qnUpkeepWakeFn> gWaker{nullptr};

bool due(const upkeepRetry& retry, int32_t now) { return now >= retry.nextAttempt; }

// A failure waits before the next try; the wait doubles up to kRetryCap.
void failedAgain(quon_request* req, upkeepRetry& retry, int32_t now, const char* what) {
    const int32_t wait = std::clamp(retry.wait, kFirstRetrySeconds, kRetryCap);
    retry.nextAttempt = now + wait;
    retry.wait = std::min(wait * 2, kRetryCap);
    retry.forwarded = 0;
    req->traceE(req, QN_TRACE_EVENT, kRetryLater, what, wait);
}

// How often the name of a server out of rotation is looked up again.
constexpr int32_t kResolveEverySeconds = 5;

// One server whose upkeep falls due in this pass: a probe (its master slot is inactive),
// a look-up of its name (inactive, and the health checks watch it), or a mapping refresh.
enum class Due { refresh, probe, resolve };
struct Upkeep {
    quonProxy* proxy;
    int32_t slot;
    Due what;
};

// A server the health checks watch comes back through them (checks.h): a probe would
// trust a ping that a silent server takes into its socket buffer. The upkeep only looks
// its name up again now and then, for the checks to reach it where it moved. Called
// under tableLock by the table's own upkeep thread.
bool resolveDue(quonProxy* proxy, int32_t now) {
    if (now < proxy->nextResolveTime) return false;
    proxy->nextResolveTime = now + kResolveEverySeconds;
    return true;
}

// The servers of the master list whose probe or refresh is due and that no other thread
// serves already (a request's last-ditch search may probe too), each claimed for this pass. When
// nothing is due, each proxy costs two relaxed loads. Slots that these calls add are not visited
// now. tableLock held.
int32_t claimDueUpkeep(mappingsTable* table, Upkeep* due) {
    const int32_t count = std::clamp(table->servers.count, 0, QN_MAX_PROXIES);
    if (count == 0) return 0;
    const int32_t now = nowSeconds();
    int32_t claimed = 0;
    for (int32_t slot = 0; slot < count; ++slot) {
        quonProxy* proxy = table->servers.proxies[slot];
        if (table->upkeepBusy[slot]) continue;
        Due what = Due::refresh;
        if (table->servers.active[slot] == 0)
            what = proxy->health.load(std::memory_order_relaxed) ? Due::resolve : Due::probe;
        const bool isDue = what == Due::refresh ? refreshDue(proxy, now)
                           : what == Due::probe ? probeDue(proxy, now)
                                                : resolveDue(proxy, now);
        if (!isDue) continue;
        table->upkeepBusy[slot] = 1;
        due[claimed++] = {proxy, slot, what};
    }
    return claimed;
}

// Brings back a server marked down that answers again, applies its refreshed mappings,
// and removes it when its refresh fails while it is marked down. Each exchange with the
// server runs with tableLock released (hold is unlocked around it) and its outcome is
// applied under the lock: requests of the table never wait for a back-end round trip or
// a connect time-out. The claim keeps every other thread off this server meanwhile.
// tableLock held on entry and on return.
void serveUpkeep(mappingsTable* table, quon_request* req, SyncGuard& hold, const Upkeep& item) {
    quonProxy* proxy = item.proxy;
    if (item.what == Due::resolve) {
        hold.unlock();
        refreshPoolAddresses(req, proxy);
        hold.relock();
        return;
    }
    if (item.what == Due::probe) {
        hold.unlock();
        const int alive = proxy->isAlive(proxy, req);
        hold.relock();
        if (!alive) return;
        addProxy(table, proxy, req, 0);
    }
    hold.unlock();
    const int refreshed = proxy->refreshMappings(proxy, req);
    hold.relock();
    if (refreshed == 0) {
        updateProxy(table, proxy, req, 0);
    } else if (refreshed < 0 && proxy->serverInfo && proxy->serverInfo->active.load() == 0) {
        removeProxy(table, proxy, req, 0);
    }
}

// Probes and refreshes that are due; tableLock held on entry and on return.
void keepMembership(mappingsTable* table, quon_request* req, SyncGuard& hold) {
    Upkeep due[QN_MAX_PROXIES];
    const int32_t claimed = claimDueUpkeep(table, due);
    for (int32_t i = 0; i < claimed; ++i) {
        serveUpkeep(table, req, hold, due[i]);
        table->upkeepBusy[due[i].slot] = 0;
    }
}

// Whether requests that found the table not ready may bring its next try forward now: once
// in each wait of the back-off, kWantedInitEveryMs after the last try at the soonest, and,
// with a bootstrap server, no more often in the whole web server than its checks (each try
// asks it, and the store's servers, again).
bool forwardNow(mappingsTable* table, int64_t nowMono) {
    if (!table->initWanted.load(std::memory_order_relaxed) || table->initRetry.forwarded ||
        nowMono - table->lastInitMono < kWantedInitEveryMs)
        return false;
    if (!table->bootstrapServer || !*table->bootstrapServer) return true;
    qnHealthSlot* slot = qnHealthFor(qnHealthBoardInUse(), table->bootstrapServer, nowMono);
    return !slot || qnHealthClaimInit(slot, nowMono);
}

// The servers a table not initialised yet tried: its bootstrap server, then those its
// store names (the store's text as the last try read it); at most QN_COLD_NAMES.
int32_t coldNames(mappingsTable* table, quon_request* req, char (*names)[QN_SERVER_NAME_SIZE],
                  bool* storeRead) {
    int32_t count = 0;
    if (table->bootstrapServer && *table->bootstrapServer)
        snprintf(names[count++], QN_SERVER_NAME_SIZE, "%s", table->bootstrapServer);
    propertyTable* stored = nullptr;
    {
        SyncGuard hold(req, table->tableLock);
        *storeRead = table->storeContents != nullptr;
        if (table->storeContents) stored = parseProperties(req, table->storeContents);
    }
    const char* list = getPropertyValue(stored, "proxyservers");
    for (const char* at = list; at && *at && count < QN_COLD_NAMES;) {
        const size_t length = strcspn(at, ";");
        if (length > 0 && length < size_t(QN_SERVER_NAME_SIZE))
            snprintf(names[count++], QN_SERVER_NAME_SIZE, "%.*s", int(length), at);
        at += length + (at[length] == ';');
    }
    freeProperties(req, stored);
    return count;
}

// Why the last try left the table not initialised, in the operator's words.
void coldReason(const mappingsTable* table, bool storeRead, int32_t stored, char* out) {
    char first[QN_COLD_REASON_SIZE / 2 - 1], second[QN_COLD_REASON_SIZE / 2 - 1];
    const bool bootstrap = table->bootstrapServer && *table->bootstrapServer;
    if (bootstrap)
        snprintf(first, sizeof first, kBootstrapGaveNone, table->bootstrapServer);
    else
        snprintf(first, sizeof first, "%s", kNoBootstrapServer);
    if (!table->serverStore || !*table->serverStore)
        snprintf(second, sizeof second, "%s", kNoStore);
    else if (!storeRead)
        snprintf(second, sizeof second, kStoreUnread, table->serverStore);
    else if (stored == 0)
        snprintf(second, sizeof second, kStoreEmpty, table->serverStore);
    else
        snprintf(second, sizeof second, kStoredDown, int(stored));
    snprintf(out, QN_COLD_REASON_SIZE, "%s; %s", first, second);
}

// After a failed try: the servers tried, where they are now, and why the table is not
// ready, for the health checks to watch and the status page to show. Names are looked up
// with no lock held, each lookup bounded.
void watchWhileCold(mappingsTable* table, quon_request* req) {
    static thread_local qnColdWatch found;
    bool storeRead = false;
    found.count = coldNames(table, req, found.names, &storeRead);
    const int32_t bootstrap = table->bootstrapServer && *table->bootstrapServer ? 1 : 0;
    coldReason(table, storeRead, found.count - bootstrap, found.reason);
    // Silent: the try itself said which names did not resolve.
    for (int32_t i = 0; i < found.count; ++i) {
        qnLookup* lookup = lookUpServer(req, found.names[i]);
        const char* reason = nullptr;
        found.addressCounts[i] =
            lookup ? qnLookupFinish(lookup, qnMonoMillis() + QN_LOOKUP_WAIT_MS, req->cancelled,
                                    found.addresses[i], QN_MAX_ADDRESSES, &reason)
                   : 0;
    }
    SyncGuard hold(req, table->tableLock);
    found.firstFailMono = table->cold.firstFailMono ? table->cold.firstFailMono : qnMonoMillis();
    table->cold = found;
}

// The line that says service came back, after a try failed; the watch ends.
void tellReady(mappingsTable* table, quon_request* req) {
    SyncGuard hold(req, table->tableLock);
    if (table->cold.firstFailMono != 0)
        req->logAt(req, QN_LOG_NOTICE, kReady, table->label ? table->label : "-",
                   (long long)((qnMonoMillis() - table->cold.firstFailMono) / 1000),
                   int(table->servers.count));
    table->cold.count = 0;
    table->cold.reason[0] = '\0';
    table->cold.firstFailMono = 0;
}

// The first initialisation: the bootstrap server, else the server store. Before the
// first try, the patterns the store remembers, so that the table's URIs are claimed (and
// answered with the error page) while no server answers. A try that requests brought
// forward and that failed leaves the back-off as it was.
void initialise(mappingsTable* table, quon_request* req, int32_t now) {
    const int64_t nowMono = qnMonoMillis();
    if (table->lastInitMono == 0) loadKnownPatterns(table, req);
    const bool scheduled =
        table->cameBack.exchange(0, std::memory_order_relaxed) != 0 || due(table->initRetry, now);
    const bool forward = !scheduled && forwardNow(table, nowMono);
    if (!scheduled && !forward) return;
    table->initWanted.store(0, std::memory_order_relaxed);
    table->lastInitMono = nowMono;
    if (initTable(table, req) == 0) {
        table->initRetry = {};
        tellReady(table, req);
        return;
    }
    watchWhileCold(table, req);
    if (forward)
        table->initRetry.forwarded = 1;
    else
        failedAgain(req, table->initRetry, now, "initialisation");
}

// The store learns the patterns of entries the table did not have when it last wrote it,
// and their order when entries moved (the text decides whether the file is written).
void rememberPatterns(mappingsTable* table, quon_request* req) {
    {
        SyncGuard hold(req, table->tableLock);
        const int32_t count = table->mappings->count;
        if (count == table->persistedPatterns && table->generation == table->persistedGeneration)
            return;
        table->persistedPatterns = count;
        table->persistedGeneration = table->generation;
    }
    persistServers(table, req);
}

// The member list of the number a response reported last, from the server that did.
void applyReportedSeq(mappingsTable* table, quon_request* req, int32_t now) {
    int32_t seq;
    quonProxy* reporter;
    {
        SyncGuard hold(req, table->tableLock);
        seq = table->reportedSeq;
        reporter = table->reporter;
        if (seq == 0 || seq == table->clusterSeq) {
            table->reportedSeq = 0;
            return;
        }
        if (!due(table->memberListRetry, now)) return;
    }
    const int32_t result = updateClusteredServers(table, req, reporter, seq);
    SyncGuard hold(req, table->tableLock);
    if (result < 0) {
        failedAgain(req, table->memberListRetry, now, "member list");
        return;
    }
    table->memberListRetry = {};
    if (table->reportedSeq == seq) table->reportedSeq = 0;
}

// An entry whose servers are all marked down (one server's or a cluster's). tableLock held.
bool entryDown(const mappingsTable* table) {
    for (int32_t index = 0; index < table->mappings->count; ++index)
        if (table->mappingInfos[index] && table->mappingInfos[index]->hasActive == 0) return true;
    return false;
}

// A table initialised from its store, whose bootstrap server has never supplied a server,
// asks it again while an entry has no server left, however few servers the store named.
void bootstrapAgain(mappingsTable* table, quon_request* req, int32_t now) {
    {
        SyncGuard hold(req, table->tableLock);
        if (table->bootstrapped || !table->bootstrapServer || !entryDown(table) ||
            !due(table->bootstrapRetry, now))
            return;
    }
    const bool found = retrieveServersFromBootstrapServer(table, req) > 0;
    SyncGuard hold(req, table->tableLock);
    if (found)
        table->bootstrapRetry = {};
    else
        failedAgain(req, table->bootstrapRetry, now, "bootstrap");
}
}  // namespace

void runUpkeep(mappingsTable* table, quon_request* req) {
    const int32_t now = nowSeconds();
    if (!table->initialized.load(std::memory_order_acquire)) {
        initialise(table, req, now);
        return;
    }
    applyReportedSeq(table, req, now);
    bootstrapAgain(table, req, now);
    {
        SyncGuard hold(req, table->tableLock);
        keepMembership(table, req, hold);
    }
    rememberPatterns(table, req);
}

void reportClusterSeq(mappingsTable* table, quon_request* req, quonProxy* proxy, int32_t seq) {
    {
        SyncGuard hold(req, table->tableLock);
        req->traceE(req, QN_TRACE_DETAIL, kReported, proxy->name, seq, table->clusterSeq);
        if (seq == 0 || seq == table->clusterSeq || seq == table->reportedSeq) return;
        table->memberListRetry = {};  // a number not seen before is tried at once
        table->reportedSeq = seq;
        table->reporter = proxy;
    }
    qnWakeUpkeep(table);
}

int32_t mappingsTableReady(mappingsTable* table) {
    return table->initialized.load(std::memory_order_acquire);
}

void qnSetUpkeepWaker(qnUpkeepWakeFn wake) { gWaker.store(wake); }

void qnWakeUpkeep(mappingsTable* table) {
    if (qnUpkeepWakeFn wake = gWaker.load()) wake(table);
}

void serverCameBack(mappingsTable* table) {
    table->cameBack.store(1, std::memory_order_relaxed);
    qnWakeUpkeep(table);
}

void wantInitialisation(mappingsTable* table) {
    if (table->initialized.load(std::memory_order_acquire)) return;
    table->initWanted.store(1, std::memory_order_relaxed);
    qnWakeUpkeep(table);
}
