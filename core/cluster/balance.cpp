#include "balance.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace {
constexpr const char* kStickyHost = "Found sticky session host %s";
constexpr const char* kStickyBreakage =
    "Sticky session breakage, a host for serving session %s not available.  Failing over to "
    "another server, but above session is broken.";
constexpr const char* kNoActiveRR = "selectProxy: RR no active proxies found";
constexpr const char* kUnknownAlgorithm = "Unrecognized load balancing algorithm";
constexpr const char* kNoChoice = "<null> selectProxy";
constexpr const char* kChosen = "%s selectProxy%s%s";
constexpr const char* kNotReachable = " not reachable";
constexpr const char* kNotActive = " not active";

int32_t weightOf(const quonProxy* proxy) {
    return proxy->serverInfo ? proxy->serverInfo->weight.load(std::memory_order_relaxed) : 0;
}

// The slot after position, wrapping; a position outside the list counts as the one
// before slot 0 (a new entry's -1). count > 0.
int32_t slotAfter(int32_t position, int32_t count) {
    if (position < -1 || position >= count) position = -1;
    return (position + 1) % count;
}

// Moves position on to the next active slot, looking at no more than count slots;
// returns that slot, or -1 when none is active (position then stands where it stopped).
int32_t advance(const proxyList* list, mappingInfo* info) {
    for (int32_t step = 0; step < list->count; ++step) {
        info->position = slotAfter(info->position, list->count);
        if (list->active[info->position]) return info->position;
    }
    return -1;
}

quonProxy* roundRobin(quon_request* req, const proxyList* list, mappingInfo* info) {
    int32_t slot = advance(list, info);
    if (slot >= 0) return list->proxies[slot];
    req->traceE(req, QN_TRACE_EVENT, kNoActiveRR);
    return nullptr;
}

// Each server takes weight requests in a row before the next active one's turn. A
// weight of 0 or less counts as 1: a countdown that cannot reach 0 would keep the same
// server forever.
quonProxy* weightedRoundRobin(const proxyList* list, mappingInfo* info) {
    int32_t slot = info->position;
    bool found = false;
    for (int32_t step = 0; step < list->count && !found; ++step) {
        slot = slotAfter(slot, list->count);
        found = list->active[slot] != 0;
    }
    if (!found) return nullptr;
    quonProxy* proxy = list->proxies[slot];
    proxyServerInfo* server = proxy->serverInfo;
    if (!server) return proxy;
    if (server->weightLeft > 1) {
        --server->weightLeft;
        return proxy;
    }
    int32_t weight = server->weight.load(std::memory_order_relaxed);
    server->weightLeft = weight > 0 ? weight : 1;
    advance(list, info);
    return proxy;
}

// Lowest (MIN) or highest positive (MAX) load value among the active slots; the first
// slot wins a tie. MAX ranks by the negated value (in 64 bits, so INT_MIN negates) and
// starts from 0, so a server needs a load value above 0 to win.
template <bool kLowest>
quonProxy* byLoad(const proxyList* list, mappingInfo* info) {
    int32_t best = -1;
    int64_t bestRank = kLowest ? INT64_MAX : 0;
    for (int32_t slot = 0; slot < list->count; ++slot) {
        if (!list->active[slot]) continue;
        int64_t rank = kLowest ? int64_t(weightOf(list->proxies[slot]))
                               : -int64_t(weightOf(list->proxies[slot]));
        if (rank < bestRank) {
            best = slot;
            bestRank = rank;
        }
    }
    if (best < 0) return nullptr;
    info->position = best;
    return list->proxies[best];
}

// Slots of the weighted-random table for one active proxy. Weights below 0 count as 0.
// When no active weight is above 0 (total 0), every active proxy gets one slot: an
// entry whose servers all report 0 keeps being served, evenly. A total above
// QN_MAX_WEIGHT_SLOTS is scaled down in proportion (a weight is a load value the server
// sends, so it must not size an allocation), each positive weight keeping one slot.
int64_t shareOf(int32_t weight, int64_t total) {
    if (total == 0) return 1;
    if (weight <= 0) return 0;
    if (total <= QN_MAX_WEIGHT_SLOTS) return weight;
    return std::max<int64_t>(1, int64_t(weight) * QN_MAX_WEIGHT_SLOTS / total);
}

// Rebuilds the table of list slots; false when there is nothing to draw from. The
// weights are read once: servers report new load values without the table's lock.
bool rebuildWeightTable(quon_request* req, const proxyList* list, mappingInfo* info) {
    int32_t weights[QN_MAX_PROXIES];
    int64_t total = 0, slots = 0;
    for (int32_t slot = 0; slot < list->count; ++slot) {
        weights[slot] = list->active[slot] ? weightOf(list->proxies[slot]) : 0;
        if (list->active[slot] && weights[slot] > 0) total += weights[slot];
    }
    for (int32_t slot = 0; slot < list->count; ++slot)
        if (list->active[slot]) slots += shareOf(weights[slot], total);
    req->permFree(req, info->weightTable);
    info->weightTable = nullptr;
    info->totalWeight = 0;
    if (slots == 0) return false;
    auto* table = static_cast<int32_t*>(req->permMalloc(req, int(slots * sizeof(int32_t))));
    if (!table) return false;
    int32_t filled = 0;
    for (int32_t slot = 0; slot < list->count; ++slot) {
        if (!list->active[slot]) continue;
        for (int64_t k = shareOf(weights[slot], total); k > 0; --k) table[filled++] = slot;
    }
    info->weightTable = table;
    info->totalWeight = filled;
    info->weightsDirty = 0;
    return true;
}

quonProxy* randomWeighted(quon_request* req, const proxyList* list, mappingInfo* info) {
    if (info->weightsDirty || !info->weightTable || info->totalWeight <= 0) {
        if (!rebuildWeightTable(req, list, info)) return nullptr;
    }
    int32_t slot = info->weightTable[rand() % info->totalWeight];
    return slot < list->count ? list->proxies[slot] : nullptr;
}

quonProxy* byAlgorithm(quon_request* req, const proxyList* list, mappingInfo* info) {
    // clang-format off
    switch (info->algorithm) {
    case QN_ROUNDROBIN: return roundRobin(req, list, info);
    case QN_ROUNDROBIN_WEIGHTED: return weightedRoundRobin(list, info);
    case QN_MIN: return byLoad<true>(list, info);
    case QN_MAX: return byLoad<false>(list, info);
    case QN_RANDOM_WEIGHTED: return randomWeighted(req, list, info);
    default: req->log(req, kUnknownAlgorithm); return nullptr;
    }
    // clang-format on
}

quonProxy* reportChoice(quon_request* req, quonProxy* proxy) {
    if (!proxy) {
        req->traceE(req, QN_TRACE_EVENT, kNoChoice);
        return nullptr;
    }
    bool waiting = proxy->nextProxyRetryTime.load(std::memory_order_relaxed) != 0;
    bool down = proxy->serverInfo && proxy->serverInfo->active.load() == 0;
    req->traceE(req, QN_TRACE_DETAIL, kChosen, proxy->name, waiting ? kNotReachable : "",
                down ? kNotActive : "");
    return proxy;
}
}  // namespace

quonProxy* selectProxy(mappingsTable* table, quon_request* req, int32_t mappingIndex) {
    table->lastActivity = QN_ACTIVITY_REQUEST;
    bool known = mappingIndex >= 0 && mappingIndex < table->mappingCapacity;
    proxyList* list = known ? table->mappingProxies[mappingIndex] : nullptr;
    mappingInfo* info = known ? table->mappingInfos[mappingIndex] : nullptr;
    if (!list || !info) return reportChoice(req, nullptr);
    if (list->count == 1) return reportChoice(req, list->proxies[0]);
    if (info->sticky == 1 && req->sessionId) {
        if (quonProxy* holder = resolveServerId(table, req, mappingIndex)) {
            req->traceE(req, QN_TRACE_EVENT, kStickyHost, holder->name);
            return reportChoice(req, holder);
        }
        req->log(req, kStickyBreakage, req->sessionId);
    }
    return reportChoice(req, byAlgorithm(req, list, info));
}
