// Membership by name: a list of server names turned into proxies (from the store or the
// bootstrap server), and the cluster's own member list applied when a server reports a
// new cluster sequence number.
#include <algorithm>
#include <cstring>

#include "address.h"
#include "network.h"
#include "pool.h"
#include "property.h"
#include "sync.h"
#include "proxy.h"
#include "table.h"
#include "table_lists.h"

namespace {
constexpr const char* kMembersSet = "clustered-servers";
constexpr const char* kSeen = "%s updateClusteredServers: seq %d, seen seq %d";
constexpr const char* kStale = "%s cluster info is stale %d, refreshing ...";
constexpr const char* kNotUpdated = "%s clustered-servers not updated";
constexpr const char* kUsing = "Using sequence number %d from %s";
constexpr const char* kUpdated = "%s clusters updated using seq %d";
constexpr const char* kUpdateError = "%s error updating clusters so seq is %d";
constexpr const char* kProbeListed = "%s listed again: probed before it takes requests";

constexpr const char* kRefusedMember = "%s refused as a member: its address %s is %s";
constexpr const char* kOutside = "outside the networks of membernetworks";

enum class Joined { added, skipped, failed };

// Why name may not be a member, with the address that decides; null when it may. Each
// address the name has must be one a server can be at and, with member networks, in one
// of them. The configured bootstrap server stays as configured. A name that names no
// server or does not resolve is left to initProxy, which says so. tableLock not held:
// a name may be looked up over the network.
const char* unfitMember(mappingsTable* table, quon_request* req, const char* name,
                        char (&host)[QN_HOST_TEXT_SIZE]) {
    if (table->bootstrapServer && strcmp(table->bootstrapServer, name) == 0) return nullptr;
    ServerAddress parsed;
    if (parseServerAddress(name, parsed) != AddressText::ok || !req->resolve) return nullptr;
    char text[QN_MAX_HOST_LENGTH + 1];
    memcpy(text, parsed.host.data(), parsed.host.size());
    text[parsed.host.size()] = '\0';
    qnAddress addresses[QN_MAX_ADDRESSES];
    const char* reason = nullptr;
    const int count = req->resolve(req, text, parsed.port, addresses, QN_MAX_ADDRESSES, &reason);
    for (int i = 0; i < std::min(count, QN_MAX_ADDRESSES); ++i) {
        const char* unfit = unfitMemberAddress(addresses[i]);
        bool inside = table->memberNetworkCount == 0;
        for (int32_t n = 0; n < table->memberNetworkCount && !inside; ++n)
            inside = inNetwork(addresses[i], table->memberNetworks[n]);
        if (!unfit && !inside) unfit = kOutside;
        if (!unfit) continue;
        hostText(addresses[i], host);
        return unfit;
    }
    return nullptr;
}

// A new proxy for name, initialised from its server (connect, ping, its properties and
// mappings) with no lock held, then added to the table under tableLock. Skipped when it
// is refused as a member (unfitMember), cannot be made at all, the master list is full,
// or another thread added the name meanwhile; failed when the server could not be
// initialised (the proxy is destroyed then). tableLock not held.
Joined joinNewServer(mappingsTable* table, quon_request* req, const char* name) {
    char host[QN_HOST_TEXT_SIZE];
    if (const char* unfit = unfitMember(table, req, name, host)) {
        req->logAt(req, QN_LOG_ERROR, kRefusedMember, name, host, unfit);
        return Joined::skipped;
    }
    {
        SyncGuard hold(req, table->tableLock);
        if (table->servers.count >= QN_MAX_PROXIES) {
            logListFull(req, name, QN_MASTER_LIST, table->servers.count);
            return Joined::skipped;
        }
    }
    quonProxy* proxy = quonProxyNew(req);
    if (!proxy) return Joined::skipped;
    if (proxy->initProxy(proxy, req, name, table->proxyRetryInterval, 0) != 0) {
        proxy->destroy(proxy, req);
        return Joined::failed;
    }
    SyncGuard hold(req, table->tableLock);
    if (hasProxyNamed(table, name) < 0 && addProxy(table, proxy, req, 0) == 0) return Joined::added;
    hold.unlock();
    proxy->destroy(proxy, req);
    return Joined::skipped;
}

bool listNames(const propertyTable* list, const char* name) {
    for (int32_t i = 0; i < list->count; ++i)
        if (list->entries[i].value && strcmp(list->entries[i].value, name) == 0) return true;
    return false;
}

// A known server that this child took out of rotation because it could not reach it
// (its retry time is set) is not re-activated unprobed when the cluster still lists it:
// the list says who belongs, not who answers, and with a server whose connects time out
// every request that picked it would wait the whole connect time-out. Its probe is due at
// once instead: the upkeep makes it right after the list, and brings the server back as
// soon as it answers, so a restarted server is used again within seconds.
bool foundUnreachable(const quonProxy* proxy) {
    return proxy->nextProxyRetryTime.load(std::memory_order_relaxed) != 0;
}

// The master list's slots as they were before a member list is applied. The slots are
// copied: the list's own arrays move when a joining server makes it grow.
struct MasterSnapshot {
    int32_t count;
    quonProxy* proxies[QN_MAX_PROXIES];
    int32_t active[QN_MAX_PROXIES];

    explicit MasterSnapshot(const proxyList& servers)
        : count(std::clamp(servers.count, 0, QN_MAX_PROXIES)) {
        if (count == 0) return;
        memcpy(proxies, servers.proxies, sizeof(quonProxy*) * size_t(count));
        memcpy(active, servers.active, sizeof(int32_t) * size_t(count));
    }
};

// Steps of a member list whose number is new: known inactive servers come back (or are
// probed first, see foundUnreachable), active ones the list no longer names go, under
// tableLock; then unknown servers join, each outside the lock. False when a listed
// server could not be initialised. tableLock not held.
bool applyMemberList(mappingsTable* table, quon_request* req, const propertyTable* list) {
    bool joins = false;
    {
        SyncGuard hold(req, table->tableLock);
        const MasterSnapshot before(table->servers);
        const int32_t now = nowSeconds();
        for (int32_t i = 0; i < list->count; ++i) {
            const char* name = list->entries[i].value;
            if (!name || !*name) continue;
            const int32_t slot = hasProxyNamed(table, name);
            joins = joins || slot < 0;
            if (slot < 0 || slot >= before.count || before.active[slot]) continue;
            quonProxy* known = table->servers.proxies[slot];
            if (!foundUnreachable(known)) {
                addProxy(table, known, req, 0);
            } else {
                known->nextProxyRetryTime.store(now, std::memory_order_relaxed);
                req->traceE(req, QN_TRACE_EVENT, kProbeListed, known->name);
            }
        }
        for (int32_t slot = 0; slot < before.count; ++slot)
            if (before.active[slot] && !listNames(list, before.proxies[slot]->name))
                removeProxy(table, before.proxies[slot], req, 0);
    }
    // Names listed twice make one proxy: each join looks at the live master list.
    bool failed = false;
    for (int32_t i = 0; joins && i < list->count; ++i) {
        const char* name = list->entries[i].value;
        if (!name || !*name) continue;
        bool known;
        {
            SyncGuard hold(req, table->tableLock);
            known = hasProxyNamed(table, name) >= 0;
        }
        if (!known) failed |= joinNewServer(table, req, name) == Joined::failed;
    }
    persistServers(table, req);
    return !failed;
}
}  // namespace

void setMemberNetworks(mappingsTable* table, const qnNetwork* networks, int32_t count) {
    table->memberNetworks = networks;
    table->memberNetworkCount = networks ? count : 0;
}

int32_t addRemoteJvms(mappingsTable* table, quon_request* req, propertyTable* serverList) {
    int32_t count = 0;
    for (int32_t i = 0; serverList && i < serverList->count; ++i) {
        const char* name = serverList->entries[i].value;
        if (!name || !*name) continue;
        {
            SyncGuard hold(req, table->tableLock);
            const int32_t slot = hasProxyNamed(table, name);
            if (slot >= 0) {
                addProxy(table, table->servers.proxies[slot], req, 0);
                continue;
            }
        }
        if (joinNewServer(table, req, name) == Joined::added) ++count;
    }
    persistServers(table, req);
    freeProperties(req, serverList);
    return count;
}

int32_t updateClusteredServers(mappingsTable* table, quon_request* req, quonProxy* proxy,
                               int32_t seq) {
    SyncGuard guard(req, table->tableLock);
    if (seq == 0 || seq == table->clusterSeq) {
        req->traceE(req, QN_TRACE_DETAIL, kSeen, proxy->name, seq, table->clusterSeq);
        return 0;
    }
    // The fetch runs with tableLock released, one at a time per table.
    if (table->memberListBusy) return 0;
    table->memberListBusy = 1;
    req->traceE(req, QN_TRACE_EVENT, kStale, proxy->name, seq);
    guard.unlock();
    int32_t newSeq = -1;
    propertyTable* list = proxy->fetchProps(req, proxy, kMembersSet, &newSeq);
    guard.relock();
    table->memberListBusy = 0;
    if (!list || list->count == 0) {
        req->traceE(req, QN_TRACE_EVENT, kNotUpdated, proxy->name);
        freeProperties(req, list);
        return -1;
    }
    // A props answer without a number of its own is the list of the number that the
    // server has just reported: applying it under -1 would make every later report
    // look new and fetch the list again.
    if (newSeq < 0) newSeq = seq;
    if (newSeq == 0 || newSeq == table->clusterSeq) {
        freeProperties(req, list);
        return 0;
    }
    table->clustered = 1;
    req->trace(req, kUsing, newSeq, proxy->name);
    guard.unlock();
    const bool applied = applyMemberList(table, req, list);
    guard.relock();
    if (applied) {
        table->clusterSeq = newSeq;
        req->traceE(req, QN_TRACE_EVENT, kUpdated, proxy->name, newSeq);
    } else {
        req->traceE(req, QN_TRACE_EVENT, kUpdateError, proxy->name, table->clusterSeq);
    }
    guard.unlock();
    freeProperties(req, list);
    return applied ? 1 : -1;
}
