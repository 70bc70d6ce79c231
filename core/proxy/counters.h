// The counters every process shares (counters_types.h): the segment's layout and its
// slots, the seam through which a proxy that joins a table finds its slot, and what one
// request attempt adds to them. An attempt costs a few relaxed atomic adds on slots
// the proxy found once, when it joined.
#pragma once

#include <cstddef>
#include <cstdint>

#include "counters_types.h"
#include "proxy_types.h"
#include "request_types.h"

// Bytes of memory for a segment with childViews child views (at most
// QN_MAX_CHILD_VIEWS), from any address: the segment starts at its first cache line.
size_t qnCounterSegmentSize(int32_t childViews);
// Lays a segment out in memory of qnCounterSegmentSize(childViews) bytes: every slot and
// view free, the nonce as given (cut to fit).
qnCounterSegment* qnCounterSegmentInit(void* memory, int32_t childViews, const char* nonce);
// The segment already laid out in that memory, or null when it holds none (or one that
// a build with other records laid out).
qnCounterSegment* qnCounterSegmentAt(void* memory);
qnChildViews* qnChildViewsAt(qnCounterSegment* segment, int32_t index);
// The slot of server name in virtual server scope, claimed when no slot has them yet; null
// when every slot is in use. Any number of processes and threads may ask at once: one
// slot per pair is ever claimed. Names longer than a slot keeps are cut.
qnServerCounters* qnCountersFor(qnCounterSegment* segment, const char* scope, const char* name);
// The used slot of scope and name, or null; claims nothing.
qnServerCounters* qnFindCounters(qnCounterSegment* segment, const char* scope, const char* name);
int32_t qnSlotIndex(const qnCounterSegment* segment, const qnServerCounters* slot);
// The views of process pid: its own when it has claimed them, else a free one or one
// whose process is gone (alive says, for a pid), emptied; null when none is left.
qnChildViews* qnClaimChildViews(qnCounterSegment* segment, int32_t pid, bool (*alive)(int32_t));
// Frees the views when pid holds them (a forked process that does not hold them leaves
// them alone).
void qnReleaseChildViews(qnChildViews* views, int32_t pid);

// The web server's seam: where the counters and this process's view of server name in
// the table of scope are, each left null where none is kept.
typedef void (*qnCountersForFn)(int32_t scope, const char* name, qnServerCounters** counters,
                                qnServerView** view);
void qnSetCountersSource(qnCountersForFn source);
// Points the proxy at its slots, once, through the seam; without one the proxy keeps none.
// Called as the proxy joins the table of scope, under its tableLock.
void qnAttachCounters(quonProxy* proxy, int32_t scope);

// The operator's state of the server, QN_ADMIN_NORMAL where no counters are kept.
inline int32_t qnAdminState(const quonProxy* proxy) {
    return proxy->counters ? proxy->counters->admin.load(std::memory_order_relaxed)
                           : QN_ADMIN_NORMAL;
}

// One attempt of the dispatch: begun before the proxy's request operation and ended
// after it with its result. previous is the proxy of the attempt before (null for the
// first): a server other than it means that attempt was failed over. Begin resets the
// record's per-attempt fields and returns the start time that End wants.
int64_t qnAttemptBegin(quon_request* req, quonProxy* proxy, quonProxy* previous);
void qnAttemptEnd(quon_request* req, quonProxy* proxy, int result, int64_t started);
// The kind of a failed attempt (QN_FAIL_*) from its error code and the stage it reached
// (QN_STAGE_*); -1 when the failure is not the server's (the client went away).
int qnFailureKind(int errorCode, int stage);
// The bucket of a response time.
int qnBucketOf(int64_t microseconds);
