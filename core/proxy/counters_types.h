// Records of the counters that every process of the web server shares: one slot per
// back-end server of a virtual server (its totals, response-time histogram and the
// operator's state), and per child process a small view of what that child sees of each
// server. They live in memory that the web server shares between its children and are
// updated with relaxed atomics only, never under a lock: a reader may see one count of
// an attempt before another, never a torn value.
#pragma once

#include <atomic>
#include <cstdint>

#include "health_types.h"
#include "request_types.h"

// Server slots of the segment; a server past them keeps no counters (logged once).
inline constexpr int QN_COUNTER_SLOTS = 512;
// Most child views a segment holds, whatever the web server's process limit.
inline constexpr int QN_MAX_CHILD_VIEWS = 256;
// Longest virtual-server name and server name a slot keeps, with their NUL.
inline constexpr int QN_SCOPE_NAME_SIZE = 128;
inline constexpr int QN_SLOT_NAME_SIZE = QN_SERVER_NAME_SIZE;  // as quonProxy::name
// The operator's secret, shown in the status page's forms: hex digits and a NUL.
inline constexpr int QN_NONCE_SIZE = 33;

// The operator's state of a server. Drained: no new sessions and no requests without
// one; the sessions it holds still go to it. Disabled: no request at all.
inline constexpr int32_t QN_ADMIN_NORMAL = 0;
inline constexpr int32_t QN_ADMIN_DRAIN = 1;
inline constexpr int32_t QN_ADMIN_DISABLE = 2;

// Kinds of failed attempts: no connection; the request message or body could not be
// sent; the answer could not be received; the answer broke the protocol; the server
// answered busy.
inline constexpr int QN_FAIL_CONNECT = 0;
inline constexpr int QN_FAIL_SEND = 1;
inline constexpr int QN_FAIL_RECEIVE = 2;
inline constexpr int QN_FAIL_PROTOCOL = 3;
inline constexpr int QN_FAIL_BUSY = 4;
inline constexpr int QN_FAIL_KINDS = 5;

// Upper bounds of the response-time buckets in microseconds, 5 ms to 30 s; one bucket
// more takes the rest.
inline constexpr int64_t QN_BUCKET_BOUNDS_US[] = {5000,    10000,   25000,    50000,
                                                  100000,  250000,  500000,   1000000,
                                                  2500000, 5000000, 10000000, 30000000};
inline constexpr int QN_BUCKETS = int(sizeof QN_BUCKET_BOUNDS_US / sizeof(int64_t)) + 1;

// States of a slot: claimed once, by whichever process first needs it, and never freed.
inline constexpr int32_t QN_SLOT_FREE = 0;
inline constexpr int32_t QN_SLOT_CLAIMING = 1;
inline constexpr int32_t QN_SLOT_USED = 2;

// One server of one virtual server, summed over every child. Each slot has cache lines
// of its own, so that the children's adds to one server do not slow another's.
struct alignas(64) qnServerCounters {
    std::atomic<int32_t> state;  // QN_SLOT_*; the names are fixed once it is QN_SLOT_USED
    std::atomic<int32_t> admin;  // QN_ADMIN_*
    char scope[QN_SCOPE_NAME_SIZE];
    char name[QN_SLOT_NAME_SIZE];
    std::atomic<uint64_t> requests;  // attempts sent to the server
    std::atomic<uint64_t> failures[QN_FAIL_KINDS];
    std::atomic<uint64_t> failovers;      // failed attempts after which another server was tried
    std::atomic<uint64_t> bytesToServer;  // request body bytes sent
    std::atomic<uint64_t> bytesToClient;  // response body bytes passed to the client
    std::atomic<uint64_t> buckets[QN_BUCKETS];  // attempts per response-time bucket
    std::atomic<uint64_t> microseconds;         // the sum of their response times
};

// What one child sees of one server slot; inFlight is kept live, the rest is published
// by the child's upkeep about once a second.
struct qnServerView {
    std::atomic<int32_t> inFlight;  // this child's attempts to the server now
    std::atomic<int32_t> known;     // 1 while the server is in this child's table
    std::atomic<int32_t> active;
    std::atomic<int32_t> idle;       // idle pooled connections
    std::atomic<int32_t> retryLeft;  // seconds before it is tried again; 0: none
    std::atomic<int32_t> weight;     // the last load value or weight
};

// The views of one child process, claimed by its pid.
struct qnChildViews {
    std::atomic<int32_t> pid;          // 0: free
    std::atomic<int64_t> publishedAt;  // seconds since the epoch
    qnServerView servers[QN_COUNTER_SLOTS];
};

// The whole segment: a header, the server slots, then childViews child views.
struct qnCounterSegment {
    uint64_t magic;
    uint64_t layout;  // the records' sizes: a build with other records lays out afresh
    int32_t childViews;
    std::atomic<int32_t> fullLogged;  // 1 once a process found every slot in use
    char nonce[QN_NONCE_SIZE];
    qnServerCounters slots[QN_COUNTER_SLOTS];
    // The health checks' schedule and verdicts, shared by every child (health_types.h).
    qnHealthBoard health;
};

static_assert(std::atomic<uint64_t>::is_always_lock_free &&
                  std::atomic<int64_t>::is_always_lock_free &&
                  std::atomic<int32_t>::is_always_lock_free,
              "counters shared between processes must be lock-free atomics");
