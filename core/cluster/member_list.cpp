// Membership by name: a list of server names turned into proxies (from the store or the
// bootstrap server), and the cluster's own member list applied when a server reports a
// new cluster sequence number.
#include <algorithm>
#include <cstring>

#include "pool.h"
#include "property.h"
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

enum class Joined { added, skipped, failed };

// A new proxy for name, initialised from its server and added to the table. Skipped
// when it cannot be made at all or the master list is full; failed when the server
// could not be initialised (the proxy is destroyed then). tableLock held.
Joined joinNewServer(mappingsTable* table, quon_request* req, const char* name) {
    if (table->servers.count >= QN_MAX_PROXIES) {
        logListFull(req, name, QN_MASTER_LIST, table->servers.count);
        return Joined::skipped;
    }
    quonProxy* proxy = quonProxyNew(req);
    if (!proxy) return Joined::skipped;
    if (proxy->initProxy(proxy, req, name, table->proxyRetryInterval, 0) != 0) {
        proxy->destroy(proxy, req);
        return Joined::failed;
    }
    if (addProxy(table, proxy, req, 0) != 0) {
        proxy->destroy(proxy, req);
        return Joined::skipped;
    }
    return Joined::added;
}

bool listNames(const propertyTable* list, const char* name) {
    for (int32_t i = 0; i < list->count; ++i)
        if (list->entries[i].value && strcmp(list->entries[i].value, name) == 0) return true;
    return false;
}

// A known server that this child took out of rotation because it could not reach it
// (its retry time is set) stays out even when the cluster still lists it: the list says
// who belongs, not who answers. Re-activating it unprobed, even once its retry time has
// come, sends every request that picks it into the same failure meanwhile: with a server
// whose connects time out, each of them waits the whole connect time-out. The upkeep's
// probe brings it back once it answers.
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

// Steps of a member list whose number is new: unknown servers join, known inactive ones
// come back (unless this child found them unreachable), active ones the list no longer names
// go. False when a listed server could not be initialised. tableLock held.
bool applyMemberList(mappingsTable* table, quon_request* req, const propertyTable* list) {
    const MasterSnapshot before(table->servers);
    bool failed = false;
    for (int32_t i = 0; i < list->count; ++i) {
        const char* name = list->entries[i].value;
        if (!name || !*name) continue;
        // The live master list, so that a name listed twice makes one proxy; slots keep
        // their places, so the snapshot tells whether a known server was active.
        int32_t slot = hasProxyNamed(table, name);
        if (slot < 0)
            failed |= joinNewServer(table, req, name) == Joined::failed;
        else if (slot < before.count && !before.active[slot] &&
                 !foundUnreachable(table->servers.proxies[slot]))
            addProxy(table, table->servers.proxies[slot], req, 0);
    }
    for (int32_t slot = 0; slot < before.count; ++slot)
        if (before.active[slot] && !listNames(list, before.proxies[slot]->name))
            removeProxy(table, before.proxies[slot], req, 0);
    persistServers(table, req);
    return !failed;
}
}  // namespace

int32_t addRemoteJvms(mappingsTable* table, quon_request* req, propertyTable* serverList,
                      int lock) {
    TableGuard guard(req, table, lock);
    int32_t count = 0;
    for (int32_t i = 0; serverList && i < serverList->count; ++i) {
        const char* name = serverList->entries[i].value;
        if (!name || !*name) continue;
        int32_t slot = hasProxyNamed(table, name);
        if (slot >= 0)
            addProxy(table, table->servers.proxies[slot], req, 0);
        else if (joinNewServer(table, req, name) == Joined::added)
            ++count;
    }
    persistServers(table, req);
    guard.unlock();
    freeProperties(req, serverList);
    return count;
}

void updateClusteredServers(mappingsTable* table, quon_request* req, quonProxy* proxy,
                            int32_t seq) {
    SyncGuard guard(req, table->tableLock);
    if (seq == 0 || seq == table->clusterSeq) {
        req->traceE(req, QN_TRACE_DETAIL, kSeen, proxy->name, seq, table->clusterSeq);
        return;
    }
    // The fetch runs with tableLock released, one at a time per table; a report that
    // finds it taken leaves the update to that thread (a later report of the number
    // tries again if it fails).
    if (table->memberListBusy) return;
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
        return;
    }
    // A props answer without a number of its own is the list of the number that the
    // server has just reported: applying it under -1 would make every later report
    // look new and fetch the list again.
    if (newSeq < 0) newSeq = seq;
    if (newSeq == 0 || newSeq == table->clusterSeq) {
        freeProperties(req, list);
        return;
    }
    table->clustered = 1;
    req->trace(req, kUsing, newSeq, proxy->name);
    if (applyMemberList(table, req, list)) {
        table->clusterSeq = newSeq;
        req->traceE(req, QN_TRACE_EVENT, kUpdated, proxy->name, newSeq);
    } else {
        req->traceE(req, QN_TRACE_EVENT, kUpdateError, proxy->name, table->clusterSeq);
    }
    freeProperties(req, list);
}
