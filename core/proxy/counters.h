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

// counter_slots.cpp: the segment, its slots and records, the nonce.

// Bytes of memory for a segment with childViews child views (at most
// QN_MAX_CHILD_VIEWS), from any address: the segment starts at its first cache line.
size_t qnCounterSegmentSize(int32_t childViews);
// Lays a segment out in memory of qnCounterSegmentSize(childViews) bytes: every slot and
// view free, the nonce as given (cut to fit), made at now (seconds since the epoch).
qnCounterSegment* qnCounterSegmentInit(void* memory, int32_t childViews, const char* nonce,
                                       int64_t now = 0);
// The segment already laid out in that memory, or null when it holds none (or one that
// a build with other records laid out).
qnCounterSegment* qnCounterSegmentAt(void* memory);
qnChildViews* qnChildViewsAt(qnCounterSegment* segment, int32_t index);

// Why a slot or record could not be had.
inline constexpr int QN_REFUSED_FULL = 1;   // every one is in use and none is stale
inline constexpr int QN_REFUSED_QUOTA = 2;  // the virtual server holds its share already
// The slot of server name in virtual server scope, claimed when no slot has them yet,
// and marked seen at now; null when none can be had (the reason in *refused when given).
// Host names are folded to lower case. A virtual server holds at most
// QN_SLOTS_PER_SCOPE slots; a slot that no child has published for
// QN_SLOT_STALE_SECONDS is emptied and claimed again, its own virtual server's first.
// Any number of processes and threads may ask at once: one slot per pair is ever
// claimed. Names longer than a slot keeps are cut.
qnServerCounters* qnCountersAt(qnCounterSegment* segment, const char* scope, const char* name,
                               int64_t now, int* refused = nullptr);
// The same at the present time.
qnServerCounters* qnCountersFor(qnCounterSegment* segment, const char* scope, const char* name);
// The used slot of scope and name, or null; claims nothing.
qnServerCounters* qnFindCounters(qnCounterSegment* segment, const char* scope, const char* name);
int32_t qnSlotIndex(const qnCounterSegment* segment, const qnServerCounters* slot);
// The record of virtual server name (folded and cut as a slot keeps it), claimed when
// there is none, marked seen at now; its index, -1 when every record is in use. Taking
// back a stale record frees its mapping records too.
int32_t qnScopeRecordAt(qnCounterSegment* segment, const char* name, int64_t now);
// The answer counters of mapping pattern of the virtual server whose record is scope,
// claimed when there are none, marked seen at now: the virtual server's record of other
// mappings once it holds QN_MAPPINGS_PER_SCOPE, null when not even that can be had.
qnMappingCounters* qnMappingCountersAt(qnCounterSegment* segment, int32_t scope,
                                       const char* pattern, int64_t now);
// A server's name as a slot keeps it, folded to lower case and cut to size.
void qnFoldName(char* out, size_t size, const char* name);

// The views of process pid: its own when it has claimed them, else a free one or one
// whose process is gone (alive says, for a pid), emptied; null when none is left.
qnChildViews* qnClaimChildViews(qnCounterSegment* segment, int32_t pid, bool (*alive)(int32_t));
// Frees the views when pid holds them (a forked process that does not hold them leaves
// them alone).
void qnReleaseChildViews(qnChildViews* views, int32_t pid);

// The nonce the page shows now; a new one, the current becoming the previous, at now;
// and whether given is the current nonce or, within QN_NONCE_OVERLAP_SECONDS of the
// rotation, the previous one. Compares every byte, whatever the first difference.
const char* qnCurrentNonce(const qnCounterSegment* segment);
void qnRotateNonce(qnCounterSegment* segment, const char* nonce, int64_t now);
bool qnNonceAccepted(const qnCounterSegment* segment, const char* given, int64_t now);

// counters.cpp: what requests add.

// The web server's seam: where the counters and this process's view of server name in
// the table of scope are, each left null where none is kept; and the answer counters of
// a mapping entry's pattern in the table of scope.
typedef void (*qnCountersForFn)(int32_t scope, const char* name, qnServerCounters** counters,
                                qnServerView** view);
typedef qnMappingCounters* (*qnMappingCountersForFn)(int32_t scope, const char* pattern);
void qnSetCountersSource(qnCountersForFn source);
void qnSetMappingCountersSource(qnMappingCountersForFn source);
// Points the proxy at its slots, once, through the seam; without one the proxy keeps none.
// Called as the proxy joins the table of scope, under its tableLock.
void qnAttachCounters(quonProxy* proxy, int32_t scope);
// The child's view of the server takes the table's flag as the table changes it, so that
// a page that any child draws shows the flag this child acts on, not the one of its last
// periodic publication. Called under the table's tableLock, the flag's only writer.
void qnShowActive(quonProxy* proxy, int32_t active);
// The answer counters of a new mapping entry of the table of scope; null without a seam.
qnMappingCounters* qnMappingCountersFor(int32_t scope, const char* pattern);

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
// The request's end, once the dispatch gave up or a server served it (last: the server
// of the last attempt, null when none was made): how it was answered, on the counters of
// the entry it matched (req->mappingCounters), and its session on its holder's.
void qnRequestAnswered(quon_request* req, quonProxy* last, int result);
// How a request the dispatch ended with result was answered (QN_ANSWER_*).
int qnAnswerKind(const quon_request* req, int result);
// The kind of a failed attempt (QN_FAIL_*) from its error code and the stage it reached
// (QN_STAGE_*); -1 when the failure is not the server's (the client went away).
int qnFailureKind(int errorCode, int stage);
// The bucket of a response time.
int qnBucketOf(int64_t microseconds);
// The failed attempts of a slot, over every kind.
uint64_t qnFailuresOf(const qnServerCounters* slot);
// Copies the slot's totals into the sample of the step of now, once per step over every
// process; returns whether this call took it.
bool qnSampleHistory(qnServerCounters* slot, int64_t now);
// The last bars steps up to now's (the oldest first): what the totals gained between two
// samples. The newest sample's bar runs to the totals now (requests, failures), as the
// current step's sample may not be taken yet; a step without both samples is 0.
void qnHistoryBars(const qnHistory& history, uint64_t requests, uint64_t failures, int64_t now,
                   int bars, uint64_t* barRequests, uint64_t* barFailures);
