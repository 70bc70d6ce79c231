// A proxy's pool of idle connections to its server, and the server's reachability as
// the pool sees it (retry time, active flag, early mapping refresh).
#pragma once

#include <ctime>

#include "log_limit.h"
#include "lookup.h"
#include "proxy_types.h"
#include "request_types.h"

// A pool to the server's addresses (at most QN_MAX_ADDRESSES of them), null without memory.
socketPool* initPool(quon_request* req, quonProxy* proxy, const qnAddress* addresses, int count);
// The addresses of a server text "host:port" through the record's resolve slot; 0 for a
// text that names no server, and 0 with a log line naming the server and the resolver's
// reason for a name that does not resolve, or not within QN_LOOKUP_WAIT_MS (lookup.h), or
// before the record is cancelled. A name may be looked up over the network: never called
// under a lock.
int resolveServer(quon_request* req, const char* server, qnAddress (&addresses)[QN_MAX_ADDRESSES]);
// The same in two steps, so that many names are looked up at once: the lookup begun (null
// for a text that names no server), then its addresses once it ends or untilMono passes,
// its failure line limited by limit (null: none).
qnLookup* lookUpServer(quon_request* req, const char* server);
int lookedUp(quon_request* req, qnLookup* lookup, const char* server, int64_t untilMono,
             qnAddress (&addresses)[QN_MAX_ADDRESSES], qnLogLimit* limit);
// Resolves the proxy's name again, so that a server that moved to another address is
// reached there; its lock not held.
void refreshPoolAddresses(quon_request* req, quonProxy* proxy);
quonConnection* getQuonConnectionFromPool(quonProxy* proxy, quon_request* req);
void returnQuonConnectionToPool(quon_request* req, quonProxy* proxy, quonConnection* conn);
void destroyQuonConnection(quon_request* req, quonProxy* proxy, quonConnection* conn);
// Puts conn at the end of the idle queue, behind those returned before it. The caller
// holds the proxy's lock.
void appendIdleConnection(socketPool* pool, quonConnection* conn);
// The caller holds the proxy's lock.
void proxy_destroyPooledSockets(quon_request* req, quonProxy* proxy);
// The caller holds the proxy's lock.
void setNextProxyRetryTime(quon_request* req, quonProxy* proxy, time_t now);
int isQuonServerUnreachable(quon_request* req, int connecting);

// Seconds since the epoch as the proxies keep them (int32).
inline int32_t nowSeconds() { return static_cast<int32_t>(time(nullptr)); }

// A connection checked out for one exchange. Whoever serves the exchange says how it
// ended: giveBack() after a clean finish returns it to the pool; on every other path
// the destructor destroys it, so a half-read stream is never reused.
class CheckedOut {
public:
    CheckedOut(quon_request* req, quonProxy* proxy, quonConnection* conn)
        : req_(req), proxy_(proxy), conn_(conn) {}
    ~CheckedOut() {
        if (conn_) destroyQuonConnection(req_, proxy_, conn_);
    }
    CheckedOut(const CheckedOut&) = delete;
    CheckedOut& operator=(const CheckedOut&) = delete;

    void giveBack() {
        returnQuonConnectionToPool(req_, proxy_, conn_);
        conn_ = nullptr;
    }
    int sock() const { return conn_->sock; }
    quonConnection* get() const { return conn_; }

private:
    quon_request* req_;
    quonProxy* proxy_;
    quonConnection* conn_;
};
