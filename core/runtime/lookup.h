// Name lookups whose wait is bounded. The system's resolver may take seconds, or never
// answer at all; a lookup runs on a thread of its own (a detached one, which may outlive
// the wait and ends with the resolver's own time-out), so that whoever waits gives up at
// a time of its choosing, and many names are looked up at once rather than in turn.
#pragma once

#include <atomic>
#include <cstdint>

#include "request_types.h"

// How long a lookup of the upkeep, a join or a probe waits for the resolver.
inline constexpr int64_t QN_LOOKUP_WAIT_MS = 2000;
// Lookups under way at once in a process; one more fails at once (a resolver that never
// answers must not take a thread per name and per try).
inline constexpr int QN_MAX_LOOKUPS = 64;

struct qnLookup;

// Starts looking up host for port through resolve (called on the lookup's thread with a
// null record: it must not use one). An address is looked up at once, on this thread.
// Null only without memory.
qnLookup* qnLookupStart(qnResolveFn resolve, const char* host, int port);
// Waits until the lookup ends, untilMono passes or *cancelled (may be null) is set; the
// addresses found (at most capacity) and their number, or 0 with the reason in *reason.
// The lookup is released: it is not used again.
int qnLookupFinish(qnLookup* lookup, int64_t untilMono, const std::atomic<int>* cancelled,
                   qnAddress* addresses, int capacity, const char** reason);
