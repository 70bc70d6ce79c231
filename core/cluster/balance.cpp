#include "balance.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "clock.h"
#include "counters.h"
#include "log_limit.h"
#include "slow_start.h"

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

// The slots an algorithm may choose: active in the entry's list, not tried yet by this
// request and, unless withDrained, neither drained nor disabled by the operator. A tried
// slot counts as inactive for this choice only. The weighted-random table is built with
// withDrained: the operator's state changes without the table's lock and is read at
// each draw instead.
// Slots in slow start that this request passes over (slow_start.h) are held, when
// held is given.
struct Candidates {
    const proxyList* list;
    quonProxy* const* tried;
    bool withDrained = false;
    const bool* held = nullptr;
    bool has(int32_t slot) const {
        return list->active[slot] && !wasTried(tried, list->proxies[slot]) &&
               (withDrained || qnAdminState(list->proxies[slot]) == QN_ADMIN_NORMAL) &&
               !(held && held[slot]);
    }
};

// The slot after position, wrapping; a position outside the list counts as the one
// before slot 0 (a new entry's -1). count > 0.
int32_t slotAfter(int32_t position, int32_t count) {
    if (position < -1 || position >= count) position = -1;
    return (position + 1) % count;
}

// Moves position on to the next candidate slot, looking at no more than count slots;
// returns that slot, or -1 when there is none (position then stands where it stopped).
int32_t advance(const Candidates& can, mappingInfo* info) {
    for (int32_t step = 0; step < can.list->count; ++step) {
        info->position = slotAfter(info->position, can.list->count);
        if (can.has(info->position)) return info->position;
    }
    return -1;
}

quonProxy* roundRobin(quon_request* req, const Candidates& can, mappingInfo* info) {
    int32_t slot = advance(can, info);
    if (slot >= 0) return can.list->proxies[slot];
    req->traceE(req, QN_TRACE_EVENT, kNoActiveRR);
    return nullptr;
}

// Each server takes weight requests in a row before the next active one's turn. A
// weight of 0 or less counts as 1: a countdown that cannot reach 0 would keep the same
// server forever. A tried server is passed over with its countdown as it stands; when
// the chosen one's turn ends, position moves to it, as if the tried ones were inactive.
quonProxy* weightedRoundRobin(const Candidates& can, mappingInfo* info) {
    const proxyList* list = can.list;
    int32_t slot = info->position;
    bool found = false;
    for (int32_t step = 0; step < list->count && !found; ++step) {
        slot = slotAfter(slot, list->count);
        found = can.has(slot);
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
    info->position = slot;
    return proxy;
}

// Lowest (MIN) or highest positive (MAX) load value among the candidate slots; the first
// slot wins a tie. MAX ranks by the negated value (in 64 bits, so INT_MIN negates) and
// starts from 0, so a server needs a load value above 0 to win.
template <bool kLowest>
quonProxy* byLoad(const Candidates& can, mappingInfo* info) {
    int32_t best = -1;
    int64_t bestRank = kLowest ? INT64_MAX : 0;
    for (int32_t slot = 0; slot < can.list->count; ++slot) {
        if (!can.has(slot)) continue;
        int64_t rank = kLowest ? int64_t(weightOf(can.list->proxies[slot]))
                               : -int64_t(weightOf(can.list->proxies[slot]));
        if (rank < bestRank) {
            best = slot;
            bestRank = rank;
        }
    }
    if (best < 0) return nullptr;
    info->position = best;
    return can.list->proxies[best];
}

// Slots of the weighted-random table for one candidate proxy. Weights below 0 count as
// 0. When no candidate weight is above 0 (total 0), every candidate gets one slot: an
// entry whose servers all report 0 keeps being served, evenly. A total above
// QN_MAX_WEIGHT_SLOTS is scaled down in proportion (a weight is a load value the server
// sends, so it must not size an allocation nor outgrow the random draw), each positive
// weight keeping one slot.
int64_t shareOf(int32_t weight, int64_t total) {
    if (total == 0) return 1;
    if (weight <= 0) return 0;
    if (total <= QN_MAX_WEIGHT_SLOTS) return weight;
    return std::max<int64_t>(1, int64_t(weight) * QN_MAX_WEIGHT_SLOTS / total);
}

// Each candidate slot's share (0 for the others), read once: servers report new load
// values without the table's lock. Returns the sum of the shares.
int64_t sharesOf(const Candidates& can, int64_t (&shares)[QN_MAX_PROXIES]) {
    int32_t weights[QN_MAX_PROXIES];
    bool candidate[QN_MAX_PROXIES];
    const int32_t count = std::min<int32_t>(can.list->count, QN_MAX_PROXIES);
    int64_t total = 0, sum = 0;
    for (int32_t slot = 0; slot < count; ++slot) {
        candidate[slot] = can.has(slot);
        weights[slot] = candidate[slot] ? weightOf(can.list->proxies[slot]) : 0;
        if (weights[slot] > 0) total += weights[slot];
    }
    for (int32_t slot = 0; slot < count; ++slot) {
        shares[slot] = candidate[slot] ? shareOf(weights[slot], total) : 0;
        sum += shares[slot];
    }
    return sum;
}

// Rebuilds the table of list slots over the active slots; false when there is nothing
// to draw from.
bool rebuildWeightTable(quon_request* req, const proxyList* list, mappingInfo* info) {
    int64_t shares[QN_MAX_PROXIES];
    const int64_t slots = sharesOf(Candidates{list, nullptr, true}, shares);
    req->permFree(req, info->weightTable);
    info->weightTable = nullptr;
    info->totalWeight = 0;
    if (slots == 0) return false;
    auto* table = static_cast<int32_t*>(req->permMalloc(req, int(slots * sizeof(int32_t))));
    if (!table) return false;
    int32_t filled = 0;
    for (int32_t slot = 0; slot < list->count && slot < QN_MAX_PROXIES; ++slot)
        for (int64_t k = shares[slot]; k > 0; --k) table[filled++] = slot;
    info->weightTable = table;
    info->totalWeight = filled;
    info->weightsDirty = 0;
    return true;
}

// A retry draws among the untried slots by their shares, without the entry's table: the
// table stands for every active slot and stays as it is for the requests to come. So does
// a draw that hit a server the operator drained or disabled.
quonProxy* drawUntried(const Candidates& can) {
    int64_t shares[QN_MAX_PROXIES];
    const int64_t total = sharesOf(can, shares);
    if (total == 0) return nullptr;
    int64_t pick = rand() % total;
    for (int32_t slot = 0; slot < can.list->count && slot < QN_MAX_PROXIES; ++slot) {
        pick -= shares[slot];
        if (pick < 0) return can.list->proxies[slot];
    }
    return nullptr;
}

quonProxy* randomWeighted(quon_request* req, const Candidates& can, mappingInfo* info) {
    if (can.tried && can.tried[0]) return drawUntried(can);
    const proxyList* list = can.list;
    if (info->weightsDirty || !info->weightTable || info->totalWeight <= 0) {
        if (!rebuildWeightTable(req, list, info)) return nullptr;
    }
    int32_t slot = info->weightTable[rand() % info->totalWeight];
    if (slot < list->count && !can.has(slot)) return drawUntried(can);
    return slot < list->count ? list->proxies[slot] : nullptr;
}

quonProxy* byAlgorithm(quon_request* req, const Candidates& can, mappingInfo* info) {
    // clang-format off
    switch (info->algorithm) {
    case QN_ROUNDROBIN: return roundRobin(req, can, info);
    case QN_ROUNDROBIN_WEIGHTED: return weightedRoundRobin(can, info);
    case QN_MIN: return byLoad<true>(can, info);
    case QN_MAX: return byLoad<false>(can, info);
    case QN_RANDOM_WEIGHTED: return randomWeighted(req, can, info);
    default: req->logAt(req, QN_LOG_ERROR, kUnknownAlgorithm); return nullptr;
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

bool wasTried(quonProxy* const* tried, const quonProxy* proxy) {
    for (int slot = 0; tried && slot < QN_MAX_PROXIES && tried[slot]; ++slot)
        if (tried[slot] == proxy) return true;
    return false;
}

quonProxy* selectProxy(mappingsTable* table, quon_request* req, int32_t mappingIndex,
                       quonProxy* const* tried) {
    table->lastActivity = QN_ACTIVITY_REQUEST;
    bool known = mappingIndex >= 0 && mappingIndex < table->mappingCapacity;
    proxyList* list = known ? table->mappingProxies[mappingIndex] : nullptr;
    mappingInfo* info = known ? table->mappingInfos[mappingIndex] : nullptr;
    if (!list || !info) return reportChoice(req, nullptr);
    // An entry of one server always gets it, unless the operator drained or disabled it.
    if (list->count == 1 && qnAdminState(list->proxies[0]) == QN_ADMIN_NORMAL)
        return reportChoice(req, list->proxies[0]);
    if (info->sticky == 1 && req->sessionId) {
        if (quonProxy* holder = resolveServerId(table, req, mappingIndex, tried)) {
            req->traceE(req, QN_TRACE_EVENT, kStickyHost, holder->name);
            return reportChoice(req, holder);
        }
        char shown[QN_SHOWN_SESSION_SIZE];
        showSessionId(req->sessionId, shown);
        logLimited(req, &table->logLimits.kinds[QN_LIMIT_STICKY], QN_LOG_WARN, kStickyBreakage,
                   shown);
    }
    Candidates can{list, tried};
    bool held[QN_MAX_PROXIES];
    // Without slow start the request path reads no clock for it.
    if (table->slowStartSeconds > 0 &&
        qnHoldBackWarming(table, list, qnMonoMillis(), held,
                          [&can](int32_t slot) { return can.has(slot); }))
        can.held = held;
    return reportChoice(req, byAlgorithm(req, can, info));
}
