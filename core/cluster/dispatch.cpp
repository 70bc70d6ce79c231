// Dispatch and fail-over: one attempt after another, each with a server chosen under
// tableLock and forwarded without it, until a server serves the request, the web client
// is gone, or the servers of the entry start failing for the second time in this call.
#include "dispatch.h"

#include <cerrno>
#include <ctime>

#include "error_page.h"
#include "filter.h"
#include "forward.h"
#include "lock_wait.h"
#include "balance.h"
#include "socket.h"
#include "sync.h"
#include "table.h"
#include "table_lists.h"

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
constexpr const char* kFoundByBootstrap = "found reachable server using bootstrap server";
constexpr const char* kRetryNow =
    "%s reset proxy retry time to now since all servers for this mapping are marked "
    "unreachable";
constexpr const char* kNoneReachable = "couldn't find reachable server for %s map";

const char* orNull(const char* text) { return text ? text : "<null>"; }

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

bool hasFailed(quonProxy* const* failedList, const quonProxy* proxy) {
    for (int slot = 0; slot < QN_FAILED_TARGETS - 1 && failedList[slot]; ++slot)
        if (failedList[slot] == proxy) return true;
    return false;
}

// A server that failed in this call can be chosen again: it holds the session, or a
// member-list refresh has re-activated it since. Before the call gives up on it, the
// balancing algorithm is asked (without the session) once per server of the entry for
// one that has not failed. tableLock held.
quonProxy* avoidFailed(mappingsTable* table, quon_request* req, int32_t mappingIndex,
                       quonProxy** failedList, quonProxy* proxy) {
    if (!proxy || !hasFailed(failedList, proxy) || !validIndex(table, mappingIndex)) return proxy;
    char* session = req->sessionId;
    req->sessionId = nullptr;
    quonProxy* other = nullptr;
    for (int32_t n = table->mappingProxies[mappingIndex]->count; n > 0; --n) {
        other = selectProxy(table, req, mappingIndex);
        if (!other || !hasFailed(failedList, other)) break;
    }
    req->sessionId = session;
    return other && !hasFailed(failedList, other) ? other : proxy;
}

// The server for the next attempt, or null. An entry index taken from a filtering before
// entries moved is found again first (-1 in mappingIndex when the request no longer
// matches). A clustered entry whose servers are all marked down gets the last-ditch
// search first.
quonProxy* chooseProxy(mappingsTable* table, quon_request* req, int32_t& mappingIndex,
                       int32_t applyIgnoreSuffixes, quonProxy** failedList) {
    TimedSyncGuard guard(req, table->tableLock);
    if (req->mappingGeneration != 0 && req->mappingGeneration != table->generation) {
        mappingIndex = matchRequest(table, req, applyIgnoreSuffixes);
        req->trace(req, kMatchedAgain, int(mappingIndex));
        if (mappingIndex < 0) return nullptr;
    }
    req->deferErrors = table->clustered;
    bool allDown = table->clustered == 1 && validIndex(table, mappingIndex) &&
                   table->mappingInfos[mappingIndex]->hasActive == 0;
    if (allDown && lastDitchFindReachableServer(table, req, mappingIndex, failedList, guard) != 0)
        return nullptr;
    return avoidFailed(table, req, mappingIndex, failedList, selectProxy(table, req, mappingIndex));
}

// Nobody can take the request: the client gets the page for an unreachable server.
void answerNoServer(mappingsTable* table, quon_request* req) {
    req->deferErrors = 0;
    req->errorCode = ETIMEDOUT;
    proxyerror(req, nullptr);
    req->log(req, kNoServers, orNull(table->bootstrapServer), orNull(table->serverStore));
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
        req->log(req, kBodyAlreadyRead, proxy->name);
        return answerNow(req, proxy, error);
    }
    // A request that reached the server may have had its effect there: only a method that
    // is safe to repeat goes to another server. A server that answered busy took nothing.
    if (error == EQUON_BUSY) req->messageSent = 0;
    if (req->messageSent && req->deferErrors && !repeatableMethod(req)) {
        req->log(req, kNotRepeatable, proxy->name);
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
    for (;;) {
        quonProxy* proxy = chooseProxy(table, req, mappingIndex, applyIgnoreSuffixes, failedList);
        if (!proxy && mappingIndex < 0) {
            req->trace(req, "%s", kNotForQuon);
            return -2;
        }
        if (!proxy) {
            // This way out books no response time, not even for an earlier attempt.
            answerNoServer(table, req);
            return result;
        }
        last = proxy;
        int32_t clusterSeq = -1;
        result = proxy->handleRequest(req, proxy, argument, &clusterSeq);
        if (result == 0) {
            if (clusterSeq >= 0) updateClusteredServers(table, req, proxy, clusterSeq);
            break;
        }
        if (!failOver(table, req, proxy, failedList)) break;
    }
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

// The bootstrap exchange and each probe run with tableLock released, so that a connect
// time-out holds up this request only; what they found is applied under the lock. A
// server that another thread is probing (its claim is set) is passed over: that thread
// brings it back if it answers.
int32_t lastDitchFindReachableServer(mappingsTable* table, quon_request* req, int32_t mappingIndex,
                                     quonProxy** failedList, SyncGuard& hold) {
    auto now = static_cast<int32_t>(time(nullptr));
    if (!validIndex(table, mappingIndex)) return -1;
    if (table->bootstrapped == 0 && !table->memberListBusy) {
        table->memberListBusy = 1;
        hold.unlock();
        const int32_t added = retrieveServersFromBootstrapServer(table, req, 1);
        hold.relock();
        table->memberListBusy = 0;
        if (added > 0 && table->mappingInfos[mappingIndex]->hasActive == 1) {
            req->traceE(req, QN_TRACE_EVENT, "%s", kFoundByBootstrap);
            return 0;
        }
    }
    // Slots keep their places and proxies live as long as the table: the list stays
    // valid. Its arrays may move when a server joins while the lock is released, so each
    // turn reads them afresh under the lock.
    const proxyList* list = table->mappingProxies[mappingIndex];
    for (int32_t slot = 0; slot < list->count; ++slot) {
        quonProxy* proxy = list->proxies[slot];
        if (!proxy || tryAnotherProxy(req, table, failedList, proxy, 0) != 1) continue;
        const int32_t master = listSlotOf(&table->servers, proxy);
        if (master >= 0 && table->upkeepBusy[master]) continue;
        if (master >= 0) table->upkeepBusy[master] = 1;
        // The pool may connect again at once instead of waiting out the retry interval.
        proxy->nextProxyRetryTime.store(now, std::memory_order_relaxed);
        req->log(req, kRetryNow, proxy->name);
        hold.unlock();
        const int alive = proxy->isAlive(proxy, req);
        hold.relock();
        if (master >= 0) table->upkeepBusy[master] = 0;
        if (alive) {
            addProxy(table, proxy, req, 0);
            return 0;
        }
    }
    req->traceE(req, QN_TRACE_EVENT, kNoneReachable, table->mappings->entries[mappingIndex].key);
    return -1;
}
