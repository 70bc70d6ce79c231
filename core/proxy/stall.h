// A stalled application: its server still takes connections and answers pings and props
// (the health checks find it up), while every request it is given waits for an answer
// that does not come (its threads are stuck on a database, a lock, a full pool). The
// requests themselves tell it: each attempt counts among its server's waiting requests,
// on the health board that every process shares, until the first byte of its answer.
// The checker of each process reviews the servers of its tables: one whose requests wait
// with no answer while another server of its tables answers is stalled and gets no new
// request; it is back as soon as it answers a request or an application check.
#pragma once

#include <cstdint>

#include "health_types.h"
#include "proxy_types.h"
#include "request_types.h"

// A server is stalled when at least QN_STALL_WAITING of its requests wait and none has
// had an answer for QN_STALL_AFTER_MS. Three, not one or two: a long request (a report, a
// long poll) on a quiet server is no stall, nor is one beside a request that a starved
// machine is slow to answer.
inline constexpr int32_t QN_STALL_WAITING = 3;
inline constexpr int64_t QN_STALL_AFTER_MS = 2000;
// A stalled server whose waiting requests have all given up (they do once it is out) is
// tried again after this long, unless an application check brought it back sooner: long
// enough that a stall of a while costs each client one slow request, not one a retry.
inline constexpr int64_t QN_STALL_RETRY_MS = 30000;

// The request path, relaxed atomics only: an add when an attempt begins, a subtract and an
// add at the first byte of its answer, and a subtract at its end when no byte came.
void qnStallBegin(quon_request* req, const quonProxy* proxy);
void qnStallAnswered(quon_request* req);
void qnStallEnd(quon_request* req);

// The checker's review, with the time given (milliseconds of the monotonic clock).
// busySinceMono follows waiting: the first review that sees requests waiting sets it;
// answers counted since the last review date answeredMono now.
void qnStallNoteBusy(qnHealthSlot* slot, int64_t nowMono);
// How long the server's waiting requests have gone without an answer when they are
// QN_STALL_WAITING or more and that is QN_STALL_AFTER_MS or longer; 0 otherwise.
int64_t qnStuckForMs(const qnHealthSlot* slot, int64_t nowMono);
// Whether the server answers as far as its checks and requests tell: its verdict is not
// down, it is not stalled, and its requests are not stuck.
bool qnAnswering(const qnHealthSlot* slot, int64_t nowMono);
bool qnStalled(const qnHealthSlot* slot);

// What a review changed; exactly one reviewer sees each change.
inline constexpr int QN_STALL_SAME = 0;
inline constexpr int QN_STALL_BEGAN = 1;
inline constexpr int QN_STALL_ENDED = 2;
// Stalled when its requests are stuck and othersAnswer (another server of its tables
// answers: a table whose every server is slow keeps using them). No longer when it
// answered a request or an application check since, when no other server answers, when
// its checks found it down (they decide from then on), or QN_STALL_RETRY_MS after it
// began once no request waits on it any more. *stalledForMs tells how long a stall that
// ended lasted.
int qnStallReview(qnHealthSlot* slot, bool othersAnswer, int64_t nowMono, int64_t nowWall,
                  int64_t* stalledForMs);
// Why the server of slot counts as stalled, for people: "n requests waiting, the oldest
// for s seconds" (the longest any of them has gone without an answer).
void qnStallReason(const qnHealthSlot* slot, int64_t nowMono, char* out, size_t size);
