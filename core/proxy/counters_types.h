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
#include "log_limit.h"
#include "request_types.h"

// Server slots of the segment, and the most one virtual server may hold; a server past
// them keeps no counters (logged, rate-limited).
inline constexpr int QN_COUNTER_SLOTS = 512;
inline constexpr int QN_SLOTS_PER_SCOPE = 128;
// Most child views a segment holds, whatever the web server's process limit.
inline constexpr int QN_MAX_CHILD_VIEWS = 256;
// Longest virtual-server name and server name a slot keeps, with their NUL.
inline constexpr int QN_SCOPE_NAME_SIZE = 128;
inline constexpr int QN_SLOT_NAME_SIZE = QN_SERVER_NAME_SIZE;  // as quonProxy::name
// The operator's secret, shown in the status page's forms: hex digits and a NUL.
inline constexpr int QN_NONCE_SIZE = 33;
// A slot that no child has published for this long is free to be claimed again.
inline constexpr int64_t QN_SLOT_STALE_SECONDS = 600;

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

// States of a slot: claimed by whichever process first needs it, under the segment's
// claim lock; taken back (emptied) only once no child has published it for
// QN_SLOT_STALE_SECONDS.
inline constexpr int32_t QN_SLOT_FREE = 0;
inline constexpr int32_t QN_SLOT_CLAIMING = 1;
inline constexpr int32_t QN_SLOT_USED = 2;

// Requests that came with a session of one server (its replication id starts the
// session id): served by it (sticky hits), taken by one of its buddies, or neither (the
// session broke: "Sticky session breakage").
struct qnSessionCounters {
    std::atomic<uint64_t> requests;
    std::atomic<uint64_t> hits;
    std::atomic<uint64_t> moved;
    std::atomic<uint64_t> broken;
};

// A server's attempts and failed attempts over the last minutes, for the page's
// sparklines: every QN_HISTORY_STEP_SECONDS the first child to pass a step boundary
// copies the slot's totals into the sample of that step (a ring of QN_HISTORY_SAMPLES).
inline constexpr int QN_HISTORY_SAMPLES = 31;
inline constexpr int64_t QN_HISTORY_STEP_SECONDS = 10;
struct qnHistorySample {
    std::atomic<int64_t> step;  // seconds since the epoch / QN_HISTORY_STEP_SECONDS; 0: none
    std::atomic<uint64_t> requests;
    std::atomic<uint64_t> failures;
};
struct qnHistory {
    std::atomic<int64_t> lastStep;  // the newest step sampled
    qnHistorySample samples[QN_HISTORY_SAMPLES];
};

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
    // Sessions and upkeep of the slot (see below the records).
    qnSessionCounters sessions;
    std::atomic<int64_t> seenAt;  // seconds since the epoch a child last published it
    qnHistory history;
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

// Virtual servers with a record in the segment, mapping entries with answer counters,
// and the most mapping entries one virtual server may count apart; its entries past
// them share its record of other mappings. A mapping pattern is kept cut to fit.
inline constexpr int QN_SCOPE_SLOTS = 256;
inline constexpr int QN_MAPPING_SLOTS = 1024;
inline constexpr int QN_MAPPINGS_PER_SCOPE = 64;
inline constexpr int QN_PATTERN_SIZE = 128;

// How the connector ended a request that it claimed: a server answered it; the
// connector's error page (503); that page as a redirect to the errorurl; 504 past
// responsetimeout; the client went away (or its body could not be read); a server's
// answer that began and then broke off.
inline constexpr int QN_ANSWER_SERVED = 0;
inline constexpr int QN_ANSWER_ERROR_PAGE = 1;
inline constexpr int QN_ANSWER_REDIRECT = 2;
inline constexpr int QN_ANSWER_TIMEOUT = 3;
inline constexpr int QN_ANSWER_CLIENT_GONE = 4;
inline constexpr int QN_ANSWER_CUT = 5;
inline constexpr int QN_ANSWER_KINDS = 6;

// One configured virtual server, by the name its counters keep (qnServerCounters::scope).
struct alignas(64) qnScopeRecord {
    std::atomic<int32_t> state;   // QN_SLOT_*
    std::atomic<int64_t> seenAt;  // seconds since the epoch a process last named it
    char name[QN_SCOPE_NAME_SIZE];
};

// The requests of one mapping entry of one virtual server, summed over every child, by
// how they were answered; and its requests whose session found neither its holder nor a
// buddy (the holder may be a server the entry does not know).
struct alignas(64) qnMappingCounters {
    std::atomic<int32_t> state;  // QN_SLOT_*
    int32_t scope;               // its virtual server: an index of qnCounterSegment::scopes
    int32_t others;              // 1: the virtual server's record of other mappings
    std::atomic<int64_t> seenAt;
    char pattern[QN_PATTERN_SIZE];
    std::atomic<uint64_t> answers[QN_ANSWER_KINDS];
    std::atomic<uint64_t> brokenSessions;
};

// What one child sees of one virtual server's table, published with its server views.
struct qnScopeView {
    std::atomic<int32_t> known;  // 1 once the child has published the table
    std::atomic<int32_t> initialized;
    std::atomic<int32_t> clustered;
    std::atomic<int32_t> clusterSeq;
};

// The views of one child process, claimed by its pid.
struct qnChildViews {
    std::atomic<int32_t> pid;          // 0: free
    std::atomic<int64_t> publishedAt;  // seconds since the epoch
    std::atomic<int64_t> startedAt;    // when the child claimed them
    qnServerView servers[QN_COUNTER_SLOTS];
    qnScopeView scopes[QN_SCOPE_SLOTS];
};

// The status page's nonce in two cells, the current one named by current; the other
// keeps the one before, accepted for QN_NONCE_OVERLAP_SECONDS after rotatedAt.
inline constexpr int64_t QN_NONCE_OVERLAP_SECONDS = 60;
struct qnNonces {
    char cells[2][QN_NONCE_SIZE];
    std::atomic<int32_t> current;
    std::atomic<int64_t> rotatedAt;  // seconds since the epoch; 0: never rotated
};

// Cells of the "no counter slot" line's rate limit, shared by every child; a server's
// line takes the cell of its name's hash.
inline constexpr int QN_NO_SLOT_LOG_CELLS = 64;

// The whole segment: a header, the server slots, the virtual servers and their mapping
// entries, then childViews child views.
struct qnCounterSegment {
    uint64_t magic;
    uint64_t layout;  // the records' sizes: a build with other records lays out afresh
    int32_t childViews;
    int64_t createdAt;  // seconds since the epoch: every counter counts from then
    // Held while a slot, virtual server or mapping record is claimed or taken back: the
    // holder's steady-clock milliseconds, 0 when free.
    std::atomic<int64_t> claimLock;
    qnNonces nonces;
    qnLogLimit noSlotLog[QN_NO_SLOT_LOG_CELLS];
    qnServerCounters slots[QN_COUNTER_SLOTS];
    // The health checks' schedule and verdicts, shared by every child (health_types.h).
    qnHealthBoard health;
    qnScopeRecord scopes[QN_SCOPE_SLOTS];
    qnMappingCounters mappings[QN_MAPPING_SLOTS];
};

static_assert(std::atomic<uint64_t>::is_always_lock_free &&
                  std::atomic<int64_t>::is_always_lock_free &&
                  std::atomic<int32_t>::is_always_lock_free,
              "counters shared between processes must be lock-free atomics");
