// Dispatch and fail-over: one attempt after another, each with a server chosen under
// tableLock and forwarded without it, until a server serves the request, the web client
// is gone, or every server of the entry has failed in this call (the one server of an
// entry that has no other is tried twice).
#include "dispatch.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

#include "error_page.h"
#include "filter.h"
#include "forward.h"
#include "health.h"
#include "lock_wait.h"
#include "log_limit.h"
#include "balance.h"
#include "counters.h"
#include "socket.h"
#include "stall.h"
#include "sync.h"
#include "table.h"
#include "table_lists.h"
#include "upkeep.h"

namespace {
constexpr const char* kNotForQuon = "request not for Quon.";
constexpr const char* kNoServers =
    "NO servers reachable in cluster, start your bootstrap server %s or one of the servers in "
    "your store file %s";
constexpr const char* kAttemptFailed = "%s handleRequest failed, error %d %s";
constexpr const char* kBodyAlreadyRead =
    "%s failed after the request body was read: not sent to another server";
constexpr const char* kNotRepeatable =
    "%s failed after the request reached it: its method is not safe to repeat, not sent to "
    "another server";
constexpr const char* kMatchedAgain = "mappings moved since the request was filtered: entry %d now";
constexpr const char* kNotFailed = "%s not in failed target list";
constexpr const char* kAlreadyFailed = "%s already in failed target list";
constexpr const char* kRetryNow =
    "%s reset proxy retry time to now since all servers for this mapping are marked "
    "unreachable";
constexpr const char* kNoneReachable = "couldn't find reachable server for %s map";

const char* orNull(const char* text) { return text ? text : "<null>"; }

// Failures that say a server could not be reached, as a probe's connect ends.
bool unreachable(int error) {
    return error == ECONNREFUSED || error == ETIMEDOUT || error == EHOSTUNREACH ||
           error == ENETUNREACH;
}

bool validIndex(const mappingsTable* table, int32_t mappingIndex) {
    return mappingIndex >= 0 && mappingIndex <= table->lastMappingIndex &&
           mappingIndex < table->mappingCapacity && table->mappingProxies[mappingIndex] &&
           table->mappingInfos[mappingIndex];
}

// The session id and deferErrors belong to this call only; every way out clears them.
class CallState {
public:
    explicit CallState(quon_request* req) : req_(req) { req_->sessionId = getSessionId(req_); }
    ~CallState() {
        if (req_->sessionId) req_->free(req_, req_->sessionId);
        req_->sessionId = nullptr;
        req_->deferErrors = 0;
    }
    CallState(const CallState&) = delete;
    CallState& operator=(const CallState&) = delete;

private:
    quon_request* req_;
};

// How many last-ditch searches one choice makes: a second one when the entries moved
// during the first and the request's entry has no active server either.
constexpr int kMostSearches = 2;

// The server for the next attempt, one that has not failed in this call, or null. An
// entry index taken from a filtering before entries moved is found again first (-1 in
// mappingIndex when the request no longer matches). A clustered entry whose servers are
// all marked down gets the last-ditch search first; it releases tableLock, and a server
// that joined meanwhile may have moved the entries, so the request is matched again then.
quonProxy* chooseProxy(mappingsTable* table, quon_request* req, int32_t& mappingIndex,
                       int32_t applyIgnoreSuffixes, quonProxy** failedList) {
    TimedSyncGuard guard(req, table->tableLock);
    bool moved = req->mappingGeneration != 0 && req->mappingGeneration != table->generation;
    for (int search = 0;; ++search) {
        if (moved) {
            mappingIndex = matchRequest(table, req, applyIgnoreSuffixes);
            req->trace(req, kMatchedAgain, int(mappingIndex));
            if (mappingIndex < 0) return nullptr;
        }
        req->deferErrors = table->clustered;
        const bool valid = validIndex(table, mappingIndex);
        req->mappingPattern = valid ? table->mappings->entries[mappingIndex].key : nullptr;
        req->mappingCounters = valid ? table->mappingInfos[mappingIndex]->counters : nullptr;
        noteSessionHolder(table, req, mappingIndex);
        const bool allDown =
            table->clustered == 1 && valid && table->mappingInfos[mappingIndex]->hasActive == 0;
        if (!allDown) break;
        if (search == kMostSearches) return nullptr;
        const uint32_t generation = table->generation;
        const int32_t found =
            lastDitchFindReachableServer(table, req, mappingIndex, failedList, guard);
        moved = table->generation != generation;
        if (!moved && found != 0) return nullptr;
        if (!moved) break;
    }
    return selectProxy(table, req, mappingIndex, failedList);
}

// Nobody can take the request: the client gets the page for an unreachable server. The
// line names the last probe's failure, or that no server of the entry was up.
void answerNoServer(mappingsTable* table, quon_request* req) {
    req->deferErrors = 0;
    if (!unreachable(req->errorCode)) req->errorCode = EQUON_NO_SERVER;
    proxyerror(req, nullptr, &table->logLimits);
    logLimited(req, &table->logLimits.kinds[QN_LIMIT_NO_SERVERS], QN_LOG_ERROR, kNoServers,
               orNull(table->bootstrapServer), orNull(table->serverStore));
}

// The failed attempt's deferred error goes to the client now; no attempt follows.
bool answerNow(quon_request* req, quonProxy* proxy, int error) {
    req->deferErrors = 0;
    req->errorCode = error;
    proxyerror(req, proxy);
    return false;
}

// After a failed attempt: true when another attempt follows.
bool failOver(mappingsTable* table, quon_request* req, quonProxy* proxy, quonProxy** failedList) {
    int error = req->errorCode;
    req->traceE(req, QN_TRACE_DETAIL, kAttemptFailed, proxy->name, error, describeError(error));
    // The pool marks the server down when it could not reach it during the attempt.
    if (proxy->serverInfo && proxy->serverInfo->active.load() == 0)
        removeProxy(table, proxy, req, 1);
    if (error == EQUON_CLIENT_DOWN) return false;
    // Once part of this server's answer reached the client, another server would answer
    // the request a second time.
    if (req->responseStarted) return false;
    // A server that did not finish in time may still be working on the request, and the
    // worker has waited its bound: the deferred error is answered now, no server follows.
    if (error == EQUON_RESPONSE_TIMEOUT) return answerNow(req, proxy, error);
    // The body read from the client is gone: another server would get the request
    // without it. The attempt's deferred error (a cluster defers) is answered now.
    if (req->bodyRead && req->deferErrors) {
        logLimited(req, &proxy->logLimits.kinds[QN_LIMIT_BODY_READ], QN_LOG_WARN, kBodyAlreadyRead,
                   proxy->name);
        return answerNow(req, proxy, error);
    }
    // A request that reached the server may have had its effect there: only a method that
    // is safe to repeat goes to another server. A server that answered busy took nothing.
    if (error == EQUON_BUSY) req->messageSent = 0;
    if (req->messageSent && req->deferErrors && !repeatableMethod(req)) {
        logLimited(req, &proxy->logLimits.kinds[QN_LIMIT_UNSAFE], QN_LOG_WARN, kNotRepeatable,
                   proxy->name);
        return answerNow(req, proxy, error);
    }
    // clustered changes under tableLock when a member list is applied.
    bool again;
    {
        SyncGuard guard(req, table->tableLock);
        again = tryAnotherProxy(req, table, failedList, proxy, 1) == 1;
    }
    return again;
}
}  // namespace

int32_t handleRequestWithIndex(mappingsTable* table, quon_request* req, const char* argument,
                               int32_t mappingIndex) {
    quonProxy* failedList[QN_FAILED_TARGETS] = {};
    // A table no server has answered yet serves nothing: the request was claimed for a
    // pattern the server store remembers, and gets the page of an unreachable cluster.
    if (!table->initialized.load(std::memory_order_acquire)) {
        wantInitialisation(table);
        req->mappingCounters = coldCountersOf(table, req);
        answerNoServer(table, req);
        qnRequestAnswered(req, nullptr, -1);
        return -1;
    }
    // The web server's index comes from a filtering that honoured the setting.
    const int32_t applyIgnoreSuffixes = mappingIndex < 0 ? 0 : 1;
    if (mappingIndex < 0) {
        // The ignore-suffix setting is not honoured when dispatch filters by itself.
        mappingIndex = filterRequest(table, req, 0);
        if (mappingIndex == -1) {
            req->trace(req, "%s", kNotForQuon);
            return -2;
        }
    }
    CallState call(req);
    int32_t result = -1;
    quonProxy* last = nullptr;
    int lastError = 0;
    for (;;) {
        quonProxy* proxy = chooseProxy(table, req, mappingIndex, applyIgnoreSuffixes, failedList);
        if (!proxy && mappingIndex < 0) {
            req->trace(req, "%s", kNotForQuon);
            return -2;
        }
        // Every server of the entry has failed in this call: the last failure is answered.
        if (!proxy && last) {
            answerNow(req, last, lastError);
            break;
        }
        if (!proxy) {
            // This way out books no response time.
            answerNoServer(table, req);
            qnRequestAnswered(req, nullptr, result);
            return result;
        }
        const int64_t started = qnAttemptBegin(req, proxy, last);
        qnStallBegin(req, proxy);
        last = proxy;
        int32_t clusterSeq = -1;
        result = proxy->handleRequest(req, proxy, argument, &clusterSeq);
        qnStallEnd(req);
        qnAttemptEnd(req, proxy, result, started);
        if (result == 0) {
            if (clusterSeq >= 0) reportClusterSeq(table, req, proxy, clusterSeq);
            break;
        }
        lastError = req->errorCode;
        if (!failOver(table, req, proxy, failedList)) break;
    }
    qnRequestAnswered(req, last, result);
    last->requestEnded(last, req);
    return result;
}

int32_t handleRequest(mappingsTable* table, quon_request* req, const char* argument) {
    return handleRequestWithIndex(table, req, argument, -1);
}

int32_t tryAnotherProxy(quon_request* req, mappingsTable* table, quonProxy** failedList,
                        quonProxy* proxy, int32_t add) {
    // A table that never knew more than one server never fails over.
    if (table->clustered == 0) return 0;
    int slot = 0;
    while (slot < QN_FAILED_TARGETS - 1 && failedList[slot]) {
        if (failedList[slot] == proxy) {
            req->traceE(req, QN_TRACE_DETAIL, kAlreadyFailed, proxy->name);
            return 0;
        }
        ++slot;
    }
    if (add && slot < QN_FAILED_TARGETS - 1) {
        failedList[slot] = proxy;
        failedList[slot + 1] = nullptr;
    }
    req->traceE(req, QN_TRACE_DETAIL, kNotFailed, proxy->name);
    return 1;
}

namespace {
constexpr auto kProbeWaitStep = std::chrono::milliseconds(10);

// Whether another thread probes one of the entry's servers that this request has not
// tried. tableLock held.
bool othersProbe(mappingsTable* table, quon_request* req, const proxyList* list,
                 quonProxy** failedList) {
    for (int32_t slot = 0; slot < list->count; ++slot) {
        quonProxy* proxy = list->proxies[slot];
        if (!proxy || tryAnotherProxy(req, table, failedList, proxy, 0) != 1) continue;
        const int32_t master = listSlotOf(&table->servers, proxy);
        if (master >= 0 && table->upkeepBusy[master]) return true;
    }
    return false;
}

// The request waits for probes that other threads make of its servers (bounded by its
// connect time-out, the longest a probe takes) rather than failing while one of them may
// be about to answer. True once the entry has an active server. The entry is known by its
// info and list, which move with it, not by its index, which a join may give another
// entry while the lock is released. tableLock held on entry and on return; released
// while it waits.
bool awaitOtherProbes(mappingsTable* table, quon_request* req, const mappingInfo* info,
                      const proxyList* list, quonProxy** failedList, SyncGuard& hold) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(req->connectTimeout);
    for (;;) {
        if (info->hasActive) return true;
        if (!othersProbe(table, req, list, failedList) ||
            std::chrono::steady_clock::now() >= deadline)
            return false;
        hold.unlock();
        std::this_thread::sleep_for(kProbeWaitStep);
        hold.relock();
    }
}
}  // namespace

// Each probe runs with tableLock released, so that a connect time-out holds up this
// request only; what it found is applied under the lock. A server that another thread
// is probing (its claim is set) is not probed twice: once this request's own probes have
// failed, it waits for that outcome.
int32_t lastDitchFindReachableServer(mappingsTable* table, quon_request* req, int32_t mappingIndex,
                                     quonProxy** failedList, SyncGuard& hold) {
    auto now = static_cast<int32_t>(time(nullptr));
    if (!validIndex(table, mappingIndex)) return -1;
    // Slots keep their places and proxies live as long as the table: the list stays
    // valid, and moves with its entry. Its arrays may move when a server joins while the
    // lock is released, so each turn reads them afresh under the lock.
    const proxyList* list = table->mappingProxies[mappingIndex];
    const mappingInfo* info = table->mappingInfos[mappingIndex];
    const char* pattern = table->mappings->entries[mappingIndex].key;
    bool probedElsewhere = false;
    for (int32_t slot = 0; slot < list->count; ++slot) {
        quonProxy* proxy = list->proxies[slot];
        if (!proxy || tryAnotherProxy(req, table, failedList, proxy, 0) != 1) continue;
        // A probe is a ping, which a server that takes connections and never answers
        // takes too: one the checks found silent stays out until it answers a check.
        if (qnHealthSilent(proxy->health.load(std::memory_order_relaxed), proxy->name) ||
            proxy->delisted.load(std::memory_order_relaxed))
            continue;
        const int32_t master = listSlotOf(&table->servers, proxy);
        if (master >= 0 && table->upkeepBusy[master]) {
            probedElsewhere = true;
            continue;
        }
        if (master >= 0) table->upkeepBusy[master] = 1;
        // The pool may connect again at once instead of waiting out the retry interval.
        proxy->nextProxyRetryTime.store(now, std::memory_order_relaxed);
        logLimited(req, &proxy->logLimits.kinds[QN_LIMIT_RETRY_NOW], QN_LOG_INFO, kRetryNow,
                   proxy->name);
        hold.unlock();
        const int alive = proxy->isAlive(proxy, req);
        hold.relock();
        if (master >= 0) table->upkeepBusy[master] = 0;
        if (alive) {
            addProxy(table, proxy, req, 0);
            return 0;
        }
    }
    if (probedElsewhere && awaitOtherProbes(table, req, info, list, failedList, hold)) return 0;
    req->traceE(req, QN_TRACE_EVENT, kNoneReachable, pattern);
    return -1;
}
