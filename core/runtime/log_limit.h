// Failure lines that repeat while a server, or the whole cluster, is down: one line of a
// kind per interval for each server (or table), and the next line written tells how many
// were left out, so an outage writes a bounded number of lines however many requests come.
#pragma once

#include <atomic>

#include "request_types.h"

// The shortest time between two lines of one kind of one server or table.
inline constexpr long long QN_LOG_LIMIT_INTERVAL_MS = 10000;

// The kinds of lines limited: a proxy and a table each keep one cell per kind.
inline constexpr int QN_LIMIT_CONNECT = 0;     // a connect failed
inline constexpr int QN_LIMIT_EXCHANGE = 1;    // a send or receive of an exchange failed
inline constexpr int QN_LIMIT_TIMEOUT = 2;     // a response outlasted responsetimeout
inline constexpr int QN_LIMIT_DEFERRED = 3;    // an attempt failed, another server follows
inline constexpr int QN_LIMIT_PAGE = 4;        // an error page went to the client
inline constexpr int QN_LIMIT_RETRY_NOW = 5;   // a retry time reset: every server was down
inline constexpr int QN_LIMIT_NO_SERVERS = 6;  // no server of the cluster was reachable
inline constexpr int QN_LIMIT_INIT = 7;        // a table could not be set up
inline constexpr int QN_LIMIT_STORE = 8;       // its server store could not be opened
inline constexpr int QN_LIMIT_BODY_READ = 9;   // not sent elsewhere: its body was read
inline constexpr int QN_LIMIT_UNSAFE = 10;     // not sent elsewhere: not safe to repeat
inline constexpr int QN_LIMIT_STICKY = 11;     // a session's servers were all unavailable
inline constexpr int QN_LIMIT_JOIN = 12;       // a listed server did not join now
inline constexpr int QN_LIMIT_FULL = 13;       // a list had no room for a server
inline constexpr int QN_LIMIT_LOOKUP = 14;     // a listed server's name did not resolve
inline constexpr int QN_LIMIT_UNJOINED = 15;   // so it could not be set up
inline constexpr int QN_LIMIT_KINDS = 16;

// One kind of line: when the next may go out (milliseconds of the steady clock) and how
// many were left out since the last. No lock: threads race for a turn with one exchange.
struct qnLogLimit {
    std::atomic<long long> nextAt;
    std::atomic<int> leftOut;
};

struct qnLogLimits {
    qnLogLimit kinds[QN_LIMIT_KINDS];
};

// Copies every cell of from to to: a record made anew for each try (a temporary server
// record) carries on the turns of the one before it. Not atomic as a whole: for one thread.
inline void qnLogLimitsCopy(qnLogLimits& to, const qnLogLimits& from) {
    for (int kind = 0; kind < QN_LIMIT_KINDS; ++kind) {
        to.kinds[kind].nextAt.store(from.kinds[kind].nextAt.load(std::memory_order_relaxed),
                                    std::memory_order_relaxed);
        to.kinds[kind].leftOut.store(from.kinds[kind].leftOut.load(std::memory_order_relaxed),
                                     std::memory_order_relaxed);
    }
}

// Whether a line of this kind may go out at nowMs: -1 when it is left out (and counted),
// else the number left out since the last line, which that line tells.
int qnLogLimitTurn(qnLogLimit* limit, long long nowMs);

// Writes the line at level through the record's logAt unless limit (null: none) leaves
// it out; after lines were left out, " (N similar lines left out)" follows the text.
void logLimited(quon_request* req, qnLogLimit* limit, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
