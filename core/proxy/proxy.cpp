#include "proxy.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "address.h"
#include "flags.h"
#include "forward.h"
#include "mapping_order.h"
#include "memory.h"
#include "network.h"
#include "pool.h"
#include "property.h"
#include "sync.h"
#include "wire.h"

namespace {
constexpr int kDefaultMapCheck = 10;
constexpr int kDefaultRetryInterval = 600;
// Without a "weight" a server counts as one share: weighted choices then treat it like
// any other server instead of starving it.
constexpr int kDefaultWeight = 1;

struct Algorithm {
    const char* name;
    int code;
};
constexpr Algorithm kAlgorithms[] = {{"ROUNDROBIN", QN_ROUNDROBIN},
                                     {"ROUNDROBIN_WEIGHTED", QN_ROUNDROBIN_WEIGHTED},
                                     {"MIN", QN_MIN},
                                     {"MAX", QN_MAX},
                                     {"RANDOM_WEIGHTED", QN_RANDOM_WEIGHTED}};

const char* tempText(int temporary) { return temporary ? " temp " : " "; }

// Limited as the failure it follows, when it follows one that is (limited: a connect);
// a name that did not resolve says both lines each time, as its look-up line goes out.
int failInit(quon_request* req, quonProxy* proxy, bool limited = true) {
    logLimited(req, limited ? &proxy->logLimits.kinds[QN_LIMIT_UNJOINED] : nullptr, QN_LOG_ERROR,
               "could not initialize proxy for %s", proxy->name);
    return -1;
}

// Without an "algorithm" the server gets round robin, as for a name it does not know,
// but without the warning: nothing was misspelled.
int algorithmCode(quon_request* req, const char* value) {
    if (!value) {
        req->trace(req, "installed %s load balancing algorithm.", kAlgorithms[0].name);
        return QN_ROUNDROBIN;
    }
    for (const Algorithm& algorithm : kAlgorithms)
        if (strcmp(value, algorithm.name) == 0) {
            req->trace(req, "installed %s load balancing algorithm.", value);
            return algorithm.code;
        }
    req->logAt(req, QN_LOG_WARN,
               "unrecognized load balancing algorithm %s, defaulting to Round Robin", value);
    return QN_ROUNDROBIN;
}

// Load-balancing settings from the server's properties. Without "sticky" sessions are
// sticky, as for every value but "false": the server issues the sessions either way.
proxyServerInfo* readServerInfo(quon_request* req, quonProxy* proxy, const propertyTable* props) {
    auto* info = permNew<proxyServerInfo>(req);
    if (!info) return nullptr;
    info->active = 1;
    const char* weight = getPropertyValue(props, "weight");
    info->weight = weight ? atoi(weight) : kDefaultWeight;
    info->weightLeft = info->weight;
    info->algorithm = algorithmCode(req, getPropertyValue(props, "algorithm"));
    const char* sticky = getPropertyValue(props, "sticky");
    info->sticky = sticky && strcmp(sticky, "false") == 0 ? 0 : 1;
    req->traceE(req, QN_TRACE_EVENT, "%s sticky sessions: %s", proxy->name,
                sticky ? sticky : "<null>");
    const char* replicationId = getPropertyValue(props, "rep_id");
    info->replicationId = replicationId ? req->permStrdup(req, replicationId) : nullptr;
    req->traceE(req, QN_TRACE_EVENT, "%s replication Id: %s .", proxy->name,
                replicationId ? replicationId : "<null>");
    return info;
}

// Intervals and settings from "server-props"; the first mapping fetch is due at once.
int applyServerProps(quonProxy* proxy, quon_request* req, const propertyTable* props,
                     int defaultRetryInterval) {
    const char* mapCheck = getPropertyValue(props, "mapcheck");
    proxy->mapCheckInterval = mapCheck ? atoi(mapCheck) : kDefaultMapCheck;
    req->trace(req, "mapcheck interval in secs: %d", proxy->mapCheckInterval);
    proxy->nextMapCheckTime = 0;
    const char* retry = getPropertyValue(props, "proxyretryinterval");
    proxy->proxyRetryInterval = retry                  ? atoi(retry)
                                : defaultRetryInterval ? defaultRetryInterval
                                                       : kDefaultRetryInterval;
    req->trace(req, "proxy retry interval in secs: %d", proxy->proxyRetryInterval);
    proxy->nextProxyRetryTime = 0;
    req->traceE(req, QN_TRACE_EVENT, "%s socket timeouts (c%d/r%d/s%d) secs", proxy->name,
                req->connectTimeout / 1000, req->recvTimeout / 1000, req->sendTimeout / 1000);
    proxy->serverInfo = readServerInfo(req, proxy, props);
    return proxy->serverInfo ? 0 : -1;
}

// The pool from "host:port", the name resolved here (no lock is held). A text that names
// no server, or too long for the proxy's name, is refused: a name cut short would make a
// second proxy that no list can tell from the first. A name that does not resolve makes no
// server, as a server that refuses its initialisation.
int makePool(quonProxy* proxy, quon_request* req, const char* server) {
    ServerAddress parsed;
    if (parseServerAddress(server, parsed) != AddressText::ok) {
        req->logAt(req, QN_LOG_ERROR, "Invalid server %.260s. Please use <ip>:<port> notation",
                   server);
        return -1;
    }
    qnAddress addresses[QN_MAX_ADDRESSES];
    const int count = resolveServer(req, server, addresses);
    if (count == 0) return failInit(req, proxy, false);
    for (int i = 0; proxy->allowedNetworks && i < count; ++i)
        if (const char* unfit =
                unfitMemberAt(addresses[i], proxy->allowedNetworks, proxy->allowedNetworkCount)) {
            char host[QN_HOST_TEXT_SIZE];
            hostText(addresses[i], host);
            req->logAt(req, QN_LOG_ERROR, "%s refused as a member: its address %s is %s", server,
                       host, unfit);
            return failInit(req, proxy);
        }
    proxy->pool = initPool(req, proxy, addresses, count);
    if (!proxy->pool) {
        req->logAt(req, QN_LOG_ERROR, "initProxy failed to initialize socket pool");
        return failInit(req, proxy);
    }
    return 0;
}
}  // namespace

quonProxy* quonProxyNew(quon_request* req) {
    auto* proxy = permNew<quonProxy>(req);
    if (!proxy) return nullptr;
    proxy->handleRequest = proxy_handleRequest;
    proxy->destroy = proxy_destroyInetProxy;
    proxy->destroyPooledSockets = proxy_destroyPooledSockets;
    proxy->fetchProps = fetchProps;
    proxy->initProxy = initProxy;
    proxy->refreshMappings = proxy_refreshMappings;
    proxy->isAlive = proxy_isAlive;
    proxy->sendPing = proxy_sendPing;
    proxy->addRef = proxyAddRef;
    proxy->release = proxyRelease;
    proxy->requestEnded = requestEnded;
    initLock(req, proxy->lock);
    proxyAddRef(proxy, req);
    return proxy;
}

// After a failure the parts already made stay in the record; destroy releases them.
int initProxy(quonProxy* proxy, quon_request* req, const char* server, int defaultRetryInterval,
              int temporary) {
    if (proxy->pool) {
        req->trace(req, "initialized%sproxy for %s", tempText(temporary), proxy->name);
        return 0;
    }
    snprintf(proxy->name, sizeof proxy->name, "%s", server);
    if (makePool(proxy, req, server) != 0) return -1;
    if (temporary) {
        req->trace(req, "initialized%sproxy for %s", tempText(temporary), proxy->name);
        return 0;
    }
    if (qnMetrics && !proxy->metrics) {
        proxy->metrics = permNew<proxyMetrics>(req);
        if (proxy->metrics) initLock(req, proxy->metrics->lock);
    }
    propertyTable* props = proxy->fetchProps(req, proxy, "server-props", nullptr);
    if (!props) {
        req->trace(req, "initProxy failed to fetch server properties");
        return failInit(req, proxy);
    }
    if (applyServerProps(proxy, req, props, defaultRetryInterval) != 0) {
        freeProperties(req, props);
        return failInit(req, proxy);
    }
    if (proxy->refreshMappings(proxy, req) < 0) {
        req->trace(req, "initProxy failed to initialize mappings");
        freeProperties(req, props);
        return failInit(req, proxy);
    }
    freeProperties(req, props);
    req->trace(req, "initialized%sproxy for %s", tempText(0), proxy->name);
    return 0;
}

// Probes a server taken out of rotation, once its retry time has come. Its idle
// connections are closed first, so that the ping goes over a new connection: a ping on
// an idle connection whose server was killed still lands in the kernel's buffer, and
// would bring back a server that is not there. Only the connect proves that it is. Its
// name is resolved again before (no lock is held here): a server that came back at
// another address under the same name is found there without a restart.
int proxy_isAlive(quonProxy* proxy, quon_request* req) {
    int32_t now = nowSeconds();
    if (!probeDue(proxy, now)) return 0;
    {
        SyncGuard hold(req, proxy->lock);
        if (now < proxy->nextProxyRetryTime.load(std::memory_order_relaxed)) return 0;
        proxy->destroyPooledSockets(req, proxy);
    }
    refreshPoolAddresses(req, proxy);
    return proxy->sendPing(proxy, req);
}

// Pings over an idle connection (trying the next one while they turn out stale) or a
// new one; 1 when a ping went out.
int proxy_sendPing(quonProxy* proxy, quon_request* req) {
    for (;;) {
        quonConnection* conn = getQuonConnectionFromPool(proxy, req);
        if (!conn) return 0;
        if (sendPingMsg(req, proxy, conn->sock) == 4) {
            returnQuonConnectionToPool(req, proxy, conn);
            return 1;
        }
        bool pooled = conn->next != nullptr;
        destroyQuonConnection(req, proxy, conn);
        if (!pooled) return 0;
    }
}

int proxyAddRef(quonProxy* proxy, quon_request* req) {
    SyncGuard hold(req, proxy->lock);
    return ++proxy->refCount;
}

int proxyRelease(quonProxy* proxy, quon_request* req) {
    SyncGuard hold(req, proxy->lock);
    if (proxy->refCount > 0) --proxy->refCount;
    return proxy->refCount;
}

void requestEnded(quonProxy* proxy, quon_request* req) {
    proxyMetrics* metrics = proxy->metrics;
    if (!qnMetrics || !metrics) return;
    SyncGuard hold(req, metrics->lock);
    if (metrics->requestCount == INT32_MAX) return;
    metrics->totalResponseMillis += int32_t(nowMillis() - req->startTime);
    metrics->requestCount += 1;
}

namespace {
void closeIdleConnections(quonProxy* proxy, quon_request* req) {
    socketPool* pool = proxy->pool;
    if (!pool) return;
    while (quonConnection* conn = pool->freeList) {
        pool->freeList = conn->next;
        req->trace(req, "%s closing socket %d", proxy->name, conn->sock);
        destroyQuonConnection(req, proxy, conn);
    }
    permDelete(req, pool);
    proxy->pool = nullptr;
}

void reportMetrics(quonProxy* proxy, quon_request* req) {
    proxyMetrics* metrics = proxy->metrics;
    int32_t count = metrics->requestCount;
    int average = count ? int(metrics->totalResponseMillis / count) : 0;
    req->logAt(req, QN_LOG_NOTICE, "proxy metrics for %s", proxy->name);
    req->logAt(req, QN_LOG_NOTICE, "\tAverage response time: %i ms", average);
    req->logAt(req, QN_LOG_NOTICE, "\tTotal Requests handled: %i", count);
    freeLock(req, metrics->lock);
    permDelete(req, metrics);
    proxy->metrics = nullptr;
}
}  // namespace

// Drops one reference; the last one tears the proxy down with its sockets.
void proxy_destroyInetProxy(quonProxy* proxy, quon_request* req) {
    if (proxy->release(proxy, req) > 0) return;
    closeIdleConnections(proxy, req);
    if (proxy->mappings) freeProperties(req, proxy->mappings);
    if (proxyServerInfo* info = proxy->serverInfo) {
        if (info->replicationId) req->permFree(req, info->replicationId);
        permDelete(req, info);
    }
    if (proxy->metrics) reportMetrics(proxy, req);
    freeLock(req, proxy->lock);
    req->trace(req, "%s destroyed.", proxy->name);
    permDelete(req, proxy);
}
