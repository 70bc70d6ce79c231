// Membership of single servers: a server added or re-activated with all its patterns,
// deactivated when it goes down, and its refreshed mappings applied to the entries.
// Servers and entries are never deleted; they are deactivated and come back.
#include <cstring>

#include "counters.h"
#include "health.h"
#include "property.h"
#include "sync.h"
#include "table.h"
#include "table_lists.h"

namespace {
constexpr const char* kOtherValue = "Proxy %s already has mapping %s=%s, ignoring %s=%s mapping!";
constexpr const char* kAlgorithmConflict =
    "Conflicting load balancing algorithm entries %d vs. %d for %s";
constexpr const char* kStickyConflict = "Conflicting sticky session values for %s";
constexpr const char* kDuplicate = "Proxy %s already exists for mapping %s, not adding a duplicate";
constexpr const char* kAdded = "%s added/activated proxy, seq %d";
constexpr const char* kNotInMaster = "Whoa Nelly, removed proxy that's not in the master list %s";
constexpr const char* kRemoved = "%s removed proxy, seq %d";

void setServerActive(quonProxy* proxy, int32_t active) {
    if (proxy->serverInfo) proxy->serverInfo->active.store(active, std::memory_order_relaxed);
}

// A pattern the table has with the same value: while no request has been served yet,
// the last server added decides the entry's settings; the server's slot becomes active.
void joinEntry(mappingsTable* table, quonProxy* proxy, quon_request* req, int32_t index) {
    mappingInfo* info = table->mappingInfos[index];
    proxyList* list = table->mappingProxies[index];
    const char* pattern = table->mappings->entries[index].key;
    if (!info || !list) return;
    if (table->lastActivity == QN_ACTIVITY_NONE && proxy->serverInfo) {
        const proxyServerInfo* settings = proxy->serverInfo;
        if (info->algorithm != 0 && info->algorithm != settings->algorithm)
            req->logAt(req, QN_LOG_WARN, kAlgorithmConflict, info->algorithm, settings->algorithm,
                       proxy->name);
        info->algorithm = settings->algorithm;
        if (info->sticky != settings->sticky)
            req->logAt(req, QN_LOG_WARN, kStickyConflict, proxy->name);
        info->sticky = settings->sticky;
    }
    info->weightsDirty = 1;
    int32_t slot = listSlotNamed(list, proxy->name);
    if (slot >= 0) {
        setServerActive(list->proxies[slot], 1);
        list->active[slot] = 1;
        req->trace(req, kDuplicate, proxy->name, pattern);
    } else {
        appendToList(req, list, proxy, 1, pattern);
    }
    refreshHasActive(info, list);
}

// The proxy goes into the master list, which owns it from then on, or is re-activated
// there and may connect again at once.
void enterMasterList(mappingsTable* table, quonProxy* proxy, quon_request* req) {
    int32_t slot = hasProxyNamed(table, proxy->name);
    proxy->upSinceMono.store(qnMonoMillis(), std::memory_order_relaxed);
    if (table->firstJoinMono == 0) table->firstJoinMono = qnMonoMillis();
    if (slot < 0) {
        appendToList(req, &table->servers, proxy, 1, QN_MASTER_LIST);
        if (table->servers.count > 1) table->clustered = 1;
    } else {
        table->servers.active[slot] = 1;
        proxy->nextProxyRetryTime.store(0, std::memory_order_relaxed);
    }
    qnShowActive(proxy, 1);
}

// Slot flags of the entries the proxy no longer announces drop to 0. The proxy's lock
// is held: its mappings are read.
void leaveUnannouncedEntries(mappingsTable* table, const quonProxy* proxy) {
    const propertyTable* mappings = table->mappings;
    for (int32_t index = 0; index < mappings->count; ++index) {
        if (getPropertyValue(proxy->mappings, mappings->entries[index].key)) continue;
        proxyList* list = table->mappingProxies[index];
        mappingInfo* info = table->mappingInfos[index];
        int32_t slot = listSlotOf(list, proxy);
        if (slot < 0 || !info) continue;
        list->active[slot] = 0;
        info->weightsDirty = 1;
        refreshHasActive(info, list);
    }
}
}  // namespace

int32_t hasProxyNamed(const mappingsTable* table, const char* name) {
    return listSlotNamed(&table->servers, name);
}

int32_t addProxy(mappingsTable* table, quonProxy* proxy, quon_request* req, int lock) {
    TableGuard tableGuard(req, table, lock);
    // A master list that is full or cannot grow takes no new server: the entries then
    // never refer to a proxy that the table does not own, and the caller keeps its
    // reference. The room is made before any entry refers to the proxy.
    if (hasProxyNamed(table, proxy->name) < 0 && !makeListRoom(req, &table->servers)) {
        logListFull(req, proxy->name, QN_MASTER_LIST, table->servers.count);
        return -1;
    }
    qnAttachCounters(proxy, table->counterScope);
    int32_t seq;
    {
        SyncGuard proxyGuard(req, proxy->lock);
        // With at most one entry in the table, new entries keep the server's own order.
        const bool keepOrder = table->lastMappingIndex == 0;
        const propertyTable* mappings = proxy->mappings;
        for (int32_t i = 0; mappings && i < mappings->count; ++i) {
            const propertyEntry& entry = mappings->entries[i];
            int32_t index = entryIndex(table, entry.key);
            if (index < 0) {
                if (newEntry(table, req, entry.key, entry.value, proxy, -1, 1) >= 0 && !keepOrder)
                    mergeNewMapping(table);
            } else if (strcmp(table->mappings->entries[index].value, entry.value) != 0) {
                req->logAt(req, QN_LOG_WARN, kOtherValue, proxy->name, entry.key,
                           table->mappings->entries[index].value, entry.key, entry.value);
            } else {
                joinEntry(table, proxy, req, index);
            }
        }
        enterMasterList(table, proxy, req);
        dumpMappings(table, req, "addProxy - after");
        seq = table->clusterSeq;
    }
    tableGuard.unlock();
    req->traceE(req, QN_TRACE_EVENT, kAdded, proxy->name, seq);
    return 0;
}

void removeProxy(mappingsTable* table, quonProxy* proxy, quon_request* req, int lock) {
    TableGuard tableGuard(req, table, lock);
    SyncGuard proxyGuard(req, proxy->lock);
    table->lastActivity = QN_ACTIVITY_MEMBERSHIP;
    for (int32_t index = 0; index <= table->lastMappingIndex; ++index) {
        proxyList* list = table->mappingProxies[index];
        mappingInfo* info = table->mappingInfos[index];
        if (!list || !info) continue;
        int32_t slot = listSlotOf(list, proxy);
        if (slot >= 0) {
            setServerActive(proxy, 0);
            list->active[slot] = 0;
        }
        refreshHasActive(info, list);
        info->weightsDirty = 1;
    }
    int32_t master = hasProxyNamed(table, proxy->name);
    if (master >= 0) {
        if (table->servers.active[master])
            proxy->downSinceMono.store(qnMonoMillis(), std::memory_order_relaxed);
        table->servers.active[master] = 0;
        qnShowActive(proxy, 0);
        proxy->destroyPooledSockets(req, proxy);
    } else {
        req->logAt(req, QN_LOG_ERROR, kNotInMaster, proxy->name);
    }
    // Any non-zero sequence number reported next makes the table fetch the member list.
    table->clusterSeq = 0;
    req->traceE(req, QN_TRACE_EVENT, kRemoved, proxy->name, 0);
    dumpMappings(table, req, "removeProxy - after");
}

void updateProxy(mappingsTable* table, quonProxy* proxy, quon_request* req, int lock) {
    TableGuard tableGuard(req, table, lock);
    table->lastActivity = QN_ACTIVITY_MEMBERSHIP;
    SyncGuard proxyGuard(req, proxy->lock);
    const int32_t active = proxy->serverInfo ? proxy->serverInfo->active.load() : 1;
    const propertyTable* mappings = proxy->mappings;
    for (int32_t i = 0; mappings && i < mappings->count; ++i) {
        const propertyEntry& entry = mappings->entries[i];
        int32_t index = entryIndex(table, entry.key);
        if (index < 0) {
            // A pattern learned by a refresh stays at the end of the table.
            newEntry(table, req, entry.key, entry.value, proxy, 0, active);
            continue;
        }
        setProperty(req, table->mappings, entry.key, entry.value);
        proxyList* list = table->mappingProxies[index];
        mappingInfo* info = table->mappingInfos[index];
        if (!list || !info) continue;
        info->weightsDirty = 1;
        int32_t slot = listSlotNamed(list, proxy->name);
        if (slot >= 0) {
            setServerActive(list->proxies[slot], active);
            list->active[slot] = active;
        } else {
            appendToList(req, list, proxy, 1, entry.key);
        }
        refreshHasActive(info, list);
    }
    leaveUnannouncedEntries(table, proxy);
    dumpMappings(table, req, "updateProxy - after");
}
