#include "pool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "address.h"
#include "clock.h"
#include "flags.h"
#include "log_limit.h"
#include "lookup.h"
#include "memory.h"
#include "network.h"
#include "socket.h"
#include "sync.h"
#include "wire.h"

namespace {
constexpr const char* kUnreadBytes = "%s closing socket [%d]: %d bytes sent after the end";
constexpr const char* kLateBytes = "%s closing pooled socket [%d]: bytes arrived while it was idle";
constexpr const char* kClosedWhileIdle = "%s pooled socket [%d] closed by the server while idle";
constexpr const char* kUnresolved = "could not resolve server %s: %s";
constexpr const char* kNoReason = "no address";
constexpr const char* kMoved = "%s resolves to new addresses, the first %s:%d";
constexpr const char* kUnfitMove = "%s resolves to %s, which is %s: its last addresses are kept";

// The receive buffer for the connection about to be handed out, taken before the pool
// is looked at; freed unless a connection takes it over.
class ReceiveBuffer {
public:
    explicit ReceiveBuffer(quon_request* req)
        : req_(req), data_(static_cast<char*>(req->permMalloc(req, QN_RECV_BUFFER_SIZE))) {}
    ~ReceiveBuffer() {
        if (data_) req_->permFree(req_, data_);
    }
    ReceiveBuffer(const ReceiveBuffer&) = delete;
    ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;
    bool held() const { return data_ != nullptr; }
    void handTo(quonConnection* conn) {
        conn->buffer = data_;
        conn->readAt = conn->filled = 0;
        data_ = nullptr;
    }

private:
    quon_request* req_;
    char* data_;
};

void dropBuffer(quon_request* req, quonConnection* conn) {
    if (conn->buffer) req->permFree(req, conn->buffer);
    conn->buffer = nullptr;
}

// The idle connection returned first (the one idle longest) on which nothing has arrived
// since, or null. Bytes a server sent after the end of its last exchange would be read as
// the next exchange's answer, by another client; a connection with such bytes, or one the
// server has closed, is closed here instead of handed out. Taking the oldest gives late
// bytes the most time to show before a connection is used again.
quonConnection* takeIdleConnection(quonProxy* proxy, quon_request* req) {
    for (;;) {
        quonConnection* conn;
        {
            SyncGuard hold(req, proxy->lock);
            socketPool* pool = proxy->pool;
            conn = pool->freeList;
            if (!conn) return nullptr;
            pool->freeList = conn->next;
            if (!pool->freeList) pool->lastFree = nullptr;
        }
        const int waiting = req->pending ? req->pending(req, conn->sock) : 0;
        if (waiting == 0) {
            conn->next = conn;
            req->trace(req, "%s pooled socket [%d] returned", proxy->name, conn->sock);
            return conn;
        }
        if (waiting > 0)
            req->logAt(req, QN_LOG_WARN, kLateBytes, proxy->name, conn->sock);
        else
            req->trace(req, kClosedWhileIdle, proxy->name, conn->sock);
        req->closeSocket(req, conn->sock);
        req->permFree(req, conn);
    }
}
}  // namespace

socketPool* initPool(quon_request* req, quonProxy* proxy, const qnAddress* addresses, int count) {
    auto* pool = permNew<socketPool>(req);
    if (!pool) return nullptr;
    pool->addressCount = std::clamp(count, 0, QN_MAX_ADDRESSES);
    std::copy_n(addresses, pool->addressCount, pool->addresses);
    req->trace(req, "%s initPool finished", proxy->name);
    return pool;
}

qnLookup* lookUpServer(quon_request* req, const char* server) {
    ServerAddress parsed;
    if (!req->resolve || parseServerAddress(server, parsed) != AddressText::ok) return nullptr;
    char host[QN_MAX_HOST_LENGTH + 1];
    memcpy(host, parsed.host.data(), parsed.host.size());
    host[parsed.host.size()] = '\0';
    return qnLookupStart(req->resolve, host, parsed.port);
}

int lookedUp(quon_request* req, qnLookup* lookup, const char* server, int64_t untilMono,
             qnAddress (&addresses)[QN_MAX_ADDRESSES], qnLogLimit* limit) {
    if (!lookup) return 0;
    const char* reason = nullptr;
    const int count =
        qnLookupFinish(lookup, untilMono, req->cancelled, addresses, QN_MAX_ADDRESSES, &reason);
    if (count > 0) return count;
    logLimited(req, limit, QN_LOG_ERROR, kUnresolved, server, reason ? reason : kNoReason);
    return 0;
}

int resolveServer(quon_request* req, const char* server, qnAddress (&addresses)[QN_MAX_ADDRESSES]) {
    return lookedUp(req, lookUpServer(req, server), server, qnMonoMillis() + QN_LOOKUP_WAIT_MS,
                    addresses, nullptr);
}

// A name that gives no address now keeps the addresses it gave last: a resolver that
// fails for a moment must not take away a server that is still where it was.
void refreshPoolAddresses(quon_request* req, quonProxy* proxy) {
    socketPool* pool = proxy->pool;
    qnAddress addresses[QN_MAX_ADDRESSES];
    const int count = pool ? resolveServer(req, proxy->name, addresses) : 0;
    if (count == 0) return;
    // A name that moved to where no server can be, or outside the networks its member
    // list was allowed, keeps its addresses: the checks and probes never go there.
    for (int i = 0; i < count; ++i)
        if (const char* unfit =
                unfitMemberAt(addresses[i], proxy->allowedNetworks, proxy->allowedNetworkCount)) {
            char host[QN_HOST_TEXT_SIZE];
            hostText(addresses[i], host);
            logLimited(req, &proxy->logLimits.kinds[QN_LIMIT_CONNECT], QN_LOG_ERROR, kUnfitMove,
                       proxy->name, host, unfit);
            return;
        }
    bool moved;
    {
        SyncGuard hold(req, proxy->lock);
        moved = count != pool->addressCount ||
                !std::equal(addresses, addresses + count, pool->addresses, sameAddress);
        std::copy_n(addresses, count, pool->addresses);
        pool->addressCount = count;
    }
    if (!moved) return;
    char host[QN_HOST_TEXT_SIZE];
    hostText(addresses[0], host);
    req->logAt(req, QN_LOG_NOTICE, kMoved, proxy->name, host, portOf(addresses[0]));
}

// Hands out the idle connection returned first, or opens and pings a new one,
// with a receive buffer for this checkout (ENOBUFS without one). Nothing is handed out
// once the process stops at once (a graceful stop lets the requests in flight finish),
// and a call that has already failed once does not connect again before the server's
// retry time.
quonConnection* getQuonConnectionFromPool(quonProxy* proxy, quon_request* req) {
    socketPool* pool = proxy->pool;
    if (gShutdown.load(std::memory_order_relaxed) == QN_SHUTDOWN_NOW || !pool) return nullptr;
    ReceiveBuffer buffer(req);
    if (!buffer.held()) {
        req->errorCode = ENOBUFS;  // the client gets the page of its class
        return nullptr;
    }
    if (quonConnection* conn = takeIdleConnection(proxy, req)) {
        buffer.handTo(conn);
        return conn;
    }
    qnAddress addresses[QN_MAX_ADDRESSES];
    int32_t count;
    {
        SyncGuard hold(req, proxy->lock);
        int32_t retryAt = proxy->nextProxyRetryTime.load(std::memory_order_relaxed);
        int32_t now = nowSeconds();
        if (req->errorCode != 0 && now < retryAt) {
            req->traceE(req, QN_TRACE_EVENT, "%s connect deferred %d secs, error %d", proxy->name,
                        retryAt - now, req->errorCode);
            return nullptr;
        }
        count = pool->addressCount;
        std::copy_n(pool->addresses, count, addresses);
    }
    int sock = req->connect(req, addresses, count, proxy);
    if (sock >= 0) {
        if (sendPingMsg(req, proxy, sock) == 4) {
            auto* conn = permNew<quonConnection>(req);
            if (!conn) {
                req->errorCode = ENOBUFS;  // the client gets the page of its class
                req->closeSocket(req, sock);
                return nullptr;
            }
            conn->next = nullptr;
            conn->sock = sock;
            buffer.handTo(conn);
            return conn;
        }
        req->closeSocket(req, sock);
    }
    if (isQuonServerUnreachable(req, 1)) {
        SyncGuard hold(req, proxy->lock);
        setNextProxyRetryTime(req, proxy, nowSeconds());
        if (proxy->serverInfo) proxy->serverInfo->active.store(0, std::memory_order_relaxed);
    }
    req->trace(req, "%s connect failed: %d %s, no sock added to pool", proxy->name, req->errorCode,
               describeError(req->errorCode));
    return nullptr;
}

// A connection whose server sent more than the exchange took is out of step: the next
// exchange would read those bytes as its answer. It is closed instead of kept.
void returnQuonConnectionToPool(quon_request* req, quonProxy* proxy, quonConnection* conn) {
    int sock = conn->sock;  // once on the list, another thread may take it at once
    if (int unread = conn->filled - conn->readAt; unread > 0) {
        req->logAt(req, QN_LOG_WARN, kUnreadBytes, proxy->name, sock, unread);
        int error = req->errorCode;
        req->errorCode = EQUON_OUT_OF_SYNC;
        destroyQuonConnection(req, proxy, conn);
        req->errorCode = error;  // the exchange itself ended well
        return;
    }
    dropBuffer(req, conn);
    {
        SyncGuard hold(req, proxy->lock);
        proxy->nextProxyRetryTime.store(0, std::memory_order_relaxed);
        appendIdleConnection(proxy->pool, conn);
    }
    req->trace(req, "%s returned socket [%d] to pool", proxy->name, sock);
}

// Books the request's error against the server, then closes the connection. A system
// error other than a time-out or a lack of memory means the server's other connections
// are taken to be broken too.
void destroyQuonConnection(quon_request* req, quonProxy* proxy, quonConnection* conn) {
    int32_t now = nowSeconds();
    {
        SyncGuard hold(req, proxy->lock);
        req->trace(req, "%s destroying/closing socket [%d] error %d", proxy->name, conn->sock,
                   req->errorCode);
        if (isQuonServerUnreachable(req, 0)) {
            setNextProxyRetryTime(req, proxy, now);
            if (proxy->serverInfo) proxy->serverInfo->active.store(0, std::memory_order_relaxed);
            req->traceE(req, QN_TRACE_DETAIL, "%s server unreachable, set proxy retry timer",
                        proxy->name);
        } else {
            proxy->nextProxyRetryTime.store(0, std::memory_order_relaxed);
        }
        int error = req->errorCode;
        if (error > 0 && error != ETIMEDOUT && error != ENOBUFS)
            proxy->destroyPooledSockets(req, proxy);
        if (proxy->mapCheckInterval != 0)
            proxy->nextMapCheckTime.store(now - 1, std::memory_order_relaxed);
    }
    req->closeSocket(req, conn->sock);
    dropBuffer(req, conn);
    req->permFree(req, conn);
}

void appendIdleConnection(socketPool* pool, quonConnection* conn) {
    conn->next = nullptr;
    if (pool->freeList)
        pool->lastFree->next = conn;
    else
        pool->freeList = conn;
    pool->lastFree = conn;
}

void proxy_destroyPooledSockets(quon_request* req, quonProxy* proxy) {
    socketPool* pool = proxy->pool;
    if (!pool || !pool->freeList) return;
    req->traceE(req, QN_TRACE_DETAIL, "%s freeing pooled sockets", proxy->name);
    while (quonConnection* conn = pool->freeList) {
        pool->freeList = conn->next;
        req->closeSocket(req, conn->sock);
        req->permFree(req, conn);
    }
    pool->lastFree = nullptr;
}

void setNextProxyRetryTime(quon_request*, quonProxy* proxy, time_t now) {
    int32_t interval = proxy->proxyRetryInterval;
    proxy->nextProxyRetryTime.store(interval ? static_cast<int32_t>(now) + interval : 0,
                                    std::memory_order_relaxed);
}

// A connect that times out or breaks at once means the server cannot be reached; a
// slow answer in the middle of an exchange does not.
int isQuonServerUnreachable(quon_request* req, int connecting) {
    switch (req->errorCode) {
        case ECONNREFUSED:
        case EHOSTDOWN:
        case EHOSTUNREACH:
            return 1;
        case ETIMEDOUT:
        case EPIPE:
            return connecting ? 1 : 0;
        default:
            return 0;
    }
}
