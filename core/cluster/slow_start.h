// Slow start: a server that comes back after being out of rotation, or joins a table
// that was serving already, gets a share of new requests that grows from a twentieth of
// its due to all of it over the table's slow-start seconds, so that a cold application
// (a JVM that compiles as it goes, empty caches) is not handed its whole share at once.
// Off (0 seconds) by default; sessions still go to the server that holds them.
#pragma once

#include <cstdint>

#include "proxy_types.h"
#include "table_types.h"

// The least share a server in slow start gets.
inline constexpr double QN_SLOW_START_LEAST = 0.05;
// Servers that join within this long of the table's first are starting with it, not late.
inline constexpr int64_t QN_SLOW_START_JOIN_GRACE_MS = 5000;

// The share (QN_SLOW_START_LEAST to 1) of new requests the proxy is due at nowMono
// (milliseconds of the monotonic clock); 1 when it is not in slow start. tableLock held.
double qnSlowStartShare(const mappingsTable* table, const quonProxy* proxy, int64_t nowMono);
// Marks in held (one flag per list slot) the candidate slots that this request passes
// over: each slot in slow start is kept with the probability of its share. Returns false
// (nothing held) when the table has no slow start, no slot is in one, or no candidate is
// out of one. candidate(slot) says which slots the algorithm may choose. tableLock held.
template <class Admits>
bool qnHoldBackWarming(const mappingsTable* table, const proxyList* list, int64_t nowMono,
                       bool* held, Admits candidate);

// Implementation of the template; the random draw is the process's rand().
double qnSlowStartDraw();
template <class Admits>
bool qnHoldBackWarming(const mappingsTable* table, const proxyList* list, int64_t nowMono,
                       bool* held, Admits candidate) {
    if (table->slowStartSeconds <= 0) return false;
    double shares[QN_MAX_PROXIES];
    bool warm = false;
    const int32_t count = list->count < QN_MAX_PROXIES ? list->count : QN_MAX_PROXIES;
    for (int32_t slot = 0; slot < count; ++slot) {
        shares[slot] = candidate(slot) ? qnSlowStartShare(table, list->proxies[slot], nowMono) : 0;
        warm = warm || shares[slot] >= 1.0;
    }
    // Servers that all warm up at once (a table that starts) share the requests evenly.
    if (!warm) return false;
    bool any = false;
    for (int32_t slot = 0; slot < count; ++slot) {
        held[slot] = shares[slot] > 0 && shares[slot] < 1.0 && qnSlowStartDraw() >= shares[slot];
        any = any || held[slot];
    }
    return any;
}
