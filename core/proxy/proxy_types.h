// Records of one back-end server: the proxy with its settings, metrics and operation
// slots, and the socket pool of its idle connections.
//
// Fields that one thread writes under one lock while another reads them under a
// different lock, or tests them before taking any lock, are atomics (relaxed order):
// a reader sees either the old or the new value, which is all the callers rely on.
#pragma once

#include <atomic>
#include <cstdint>

#include "log_limit.h"
#include "request_types.h"
#include "sync_types.h"

struct propertyTable;
struct qnHealthSlot;
struct qnServerCounters;
struct qnServerView;

extern "C" {

// Load-balancing algorithm codes, shared with the mapping entries.
inline constexpr int QN_ROUNDROBIN = 1;
inline constexpr int QN_ROUNDROBIN_WEIGHTED = 2;
inline constexpr int QN_MIN = 3;
inline constexpr int QN_MAX = 4;
inline constexpr int QN_RANDOM_WEIGHTED = 5;

// "Never" for nextMapCheckTime.
inline constexpr int32_t QN_TIME_NEVER = 2147483647;

// Bytes received from a server wait in the connection's buffer until a read takes them,
// so that a small answer costs one or two receives instead of one per field. A larger
// buffer saves a receive for answers of 16 to 32 KiB, but measured end to end it was no
// faster: freeing a 32 KiB block after every exchange makes the C library trim its heap
// and fault the pages back in under load, and keeping spare buffers for later checkouts
// won back no more than the run-to-run drift.
inline constexpr int QN_RECV_BUFFER_SIZE = 16384;

struct qnNetwork;

// One open connection. While idle, next is the next idle connection; while checked
// out, next points at the record itself when it came from the idle list and is null
// when the connection was opened for this checkout. buffer[readAt, filled) holds the
// bytes received and not read yet; an idle connection holds none, and no buffer: its
// QN_RECV_BUFFER_SIZE bytes come with each checkout and go back on return, so that the
// idle connections of every proxy of every virtual host cost no receive buffer.
struct quonConnection {
    quonConnection* next;
    int32_t sock;
    int32_t readAt;
    int32_t filled;
    char* buffer;  // QN_RECV_BUFFER_SIZE bytes while checked out; null while idle
};

// The server's addresses, from the last resolution of its name that gave any, in the
// resolver's order (guarded by the proxy's lock: a probe replaces them while requests
// connect), and the idle connections, a queue in the order they were returned.
struct socketPool {
    qnAddress addresses[QN_MAX_ADDRESSES];
    int32_t addressCount;
    quonConnection* freeList;  // the idle connection returned first; null when none is idle
    quonConnection* lastFree;  // the idle connection returned last
};

struct proxyServerInfo {
    std::atomic<int32_t> weight;  // replaced by every load value the server reports
    int32_t weightLeft;
    int32_t algorithm;
    int32_t sticky;
    char* replicationId;
    std::atomic<int32_t> active;
};

// The sum is 64-bit: 32 bits of summed milliseconds last about 25 days. The count stops
// at the largest int32, and with it the sum, so that the average stays right.
struct proxyMetrics {
    syncLock lock;
    int64_t totalResponseMillis;
    int32_t requestCount;
};

typedef int (*qnProxyHandleRequestFn)(quon_request* req, quonProxy* proxy, const char* arg,
                                      int32_t* clusterSeq);
typedef void (*qnProxyDestroyFn)(quonProxy* proxy, quon_request* req);
typedef void (*qnProxyDestroyPooledSocketsFn)(quon_request* req, quonProxy* proxy);
typedef propertyTable* (*qnProxyFetchPropsFn)(quon_request* req, quonProxy* proxy, const char* name,
                                              int32_t* clusterSeq);
typedef int (*qnProxyInitFn)(quonProxy* proxy, quon_request* req, const char* server,
                             int defaultRetryInterval, int temporary);
typedef int (*qnProxyOpFn)(quonProxy* proxy, quon_request* req);
typedef void (*qnProxyVoidOpFn)(quonProxy* proxy, quon_request* req);

struct quonProxy {
    syncLock lock;  // guards the times, mappings, refCount and the idle list
    socketPool* pool;
    char name[QN_SERVER_NAME_SIZE];  // "host:port" as listed
    int32_t mapCheckInterval;
    std::atomic<int32_t> nextMapCheckTime;
    // The least time a mapping refresh is given under a record's deadline, once one ran
    // out (a large set from a slow server); 0 until then. Under the proxy's lock.
    int32_t refreshTimeoutMs;
    propertyTable* mappings;
    int32_t proxyRetryInterval;
    std::atomic<int32_t> nextProxyRetryTime;
    int32_t refCount;
    proxyServerInfo* serverInfo;
    proxyMetrics* metrics;
    // The server's failure lines that repeat while it is down, one cell per kind.
    qnLogLimits logLimits;

    qnProxyHandleRequestFn handleRequest;
    qnProxyDestroyFn destroy;
    qnProxyDestroyPooledSocketsFn destroyPooledSockets;
    qnProxyFetchPropsFn fetchProps;
    qnProxyInitFn initProxy;
    qnProxyOpFn refreshMappings;
    qnProxyOpFn isAlive;
    qnProxyOpFn sendPing;
    qnProxyOpFn addRef;
    qnProxyOpFn release;
    qnProxyVoidOpFn requestEnded;

    // The server's counters shared by every process and this process's view of it
    // (counters.h), set once as the proxy joins its table; null where none are kept.
    qnServerCounters* counters;
    qnServerView* view;

    // What the health checks (health_types.h) know of the server: its shared slot, set by
    // the process's checker while the server is in a table of it, null where none checks.
    // Times in milliseconds of the monotonic clock: when this process last took the
    // server out of rotation and last put it in, so that only a verdict newer than its own
    // move counts. outEpoch goes up whenever the checks take it out: an exchange still
    // waiting for its first byte from it then gives up. delisted is 1 while the cluster's
    // member list no longer names it: the checks then neither check nor bring it back.
    std::atomic<qnHealthSlot*> health;
    std::atomic<int64_t> downSinceMono;
    std::atomic<int64_t> upSinceMono;
    std::atomic<uint32_t> outEpoch;
    std::atomic<int32_t> delisted;
    // When the upkeep next looks up the name of the server while it is out of rotation
    // (seconds, as nowSeconds): a server that came back at another address under the same
    // name is then checked there. The table's upkeep thread alone reads and writes it.
    int32_t nextResolveTime;
    // Where a server that a member list named may be (the table's membernetworks, which
    // outlive it; none: anywhere a server can be), at every lookup of its name.
    const qnNetwork* allowedNetworks;
    int32_t allowedNetworkCount;
};

}  // extern "C"
