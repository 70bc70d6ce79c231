// The table's lists and entries: slot lookup, the growth of the lists and of the
// entries' index arrays up to their limits, append, entry creation, the insertion step
// that keeps entries in match order, and the trace dump of every entry.
#include "table_lists.h"

#include <cstring>
#include <utility>

#include "counters.h"
#include "log_limit.h"
#include "mapping_order.h"
#include "memory.h"
#include "property.h"
#include "table.h"

namespace {
constexpr const char* kListFull = "proxy %s not added to %s, the list already holds %d servers";
// The line of setProperty for the mappings table: index arrays that cannot take one more
// entry leave the table as full as mappings that cannot.
constexpr const char* kMappingsFull = "propertyTable full when trying to add %s = %s";

int32_t algorithmOf(const quonProxy* proxy) {
    return proxy->serverInfo ? proxy->serverInfo->algorithm : QN_ROUNDROBIN;
}
int32_t stickyOf(const quonProxy* proxy) {
    return proxy->serverInfo ? proxy->serverInfo->sticky : 0;
}

// Both index arrays move to one new block of capacity slots each; the slots past the old
// ones are null.
bool moveEntrySlots(mappingsTable* table, quon_request* req, int32_t capacity) {
    const size_t half = size_t(capacity) * sizeof(void*);
    auto* block = static_cast<char*>(req->permMalloc(req, int(2 * half)));
    if (!block) return false;
    memset(block, 0, 2 * half);
    auto* proxies = reinterpret_cast<proxyList**>(block);
    auto* infos = reinterpret_cast<mappingInfo**>(block + half);
    if (table->mappingProxies) {
        const size_t used = size_t(table->mappingCapacity) * sizeof(void*);
        memcpy(proxies, table->mappingProxies, used);
        memcpy(infos, table->mappingInfos, used);
        req->permFree(req, table->mappingProxies);
    }
    table->mappingProxies = proxies;
    table->mappingInfos = infos;
    table->mappingCapacity = capacity;
    return true;
}
}  // namespace

int32_t listSlotOf(const proxyList* list, const quonProxy* proxy) {
    for (int32_t slot = 0; list && slot < list->count; ++slot)
        if (list->proxies[slot] == proxy) return slot;
    return -1;
}

int32_t listSlotNamed(const proxyList* list, const char* name) {
    for (int32_t slot = 0; list && name && slot < list->count; ++slot)
        if (strcmp(list->proxies[slot]->name, name) == 0) return slot;
    return -1;
}

void logListFull(quon_request* req, const char* name, const char* where, int32_t count) {
    req->logAt(req, QN_LOG_WARN, kListFull, name, where, count);
}

void logListFull(quon_request* req, qnLogLimit* limit, const char* name, const char* where,
                 int32_t count) {
    logLimited(req, limit, QN_LOG_WARN, kListFull, name, where, count);
}

bool makeListRoom(quon_request* req, proxyList* list) {
    if (list->count < list->capacity) return true;
    const int32_t grown = grownCapacity(list->capacity, QN_LIST_FIRST_CAPACITY, QN_MAX_PROXIES);
    if (grown == 0 || list->count != list->capacity) return false;
    const size_t pointers = size_t(grown) * sizeof(quonProxy*);
    const size_t bytes = pointers + size_t(grown) * sizeof(int32_t);
    auto* block = static_cast<char*>(req->permMalloc(req, int(bytes)));
    if (!block) return false;
    memset(block, 0, bytes);
    auto* proxies = reinterpret_cast<quonProxy**>(block);
    auto* active = reinterpret_cast<int32_t*>(block + pointers);
    if (list->count > 0) {
        memcpy(proxies, list->proxies, size_t(list->count) * sizeof(quonProxy*));
        memcpy(active, list->active, size_t(list->count) * sizeof(int32_t));
    }
    if (list->proxies) req->permFree(req, list->proxies);
    list->proxies = proxies;
    list->active = active;
    list->capacity = grown;
    return true;
}

void releaseListSlots(quon_request* req, proxyList* list) {
    if (list->proxies) req->permFree(req, list->proxies);
    *list = {nullptr, nullptr, 0, 0};
}

// A server that finds the list at its limit, or a list that cannot grow, is left out of
// this list, and the log says so.
int32_t appendToList(quon_request* req, proxyList* list, quonProxy* proxy, int32_t active,
                     const char* where) {
    if (!makeListRoom(req, list)) {
        logListFull(req, proxy->name, where, list->count);
        return -1;
    }
    int32_t slot = list->count;
    list->proxies[slot] = proxy;
    list->active[slot] = active;
    list->count = slot + 1;
    return slot;
}

void refreshHasActive(mappingInfo* info, const proxyList* list) {
    int32_t any = 0;
    for (int32_t slot = 0; list && slot < list->count && !any; ++slot) any = list->active[slot];
    info->hasActive = any ? 1 : 0;
}

int32_t entryIndex(const mappingsTable* table, const char* pattern) {
    const propertyTable* mappings = table->mappings;
    for (int32_t index = 0; mappings && index < mappings->count; ++index)
        if (strcmp(mappings->entries[index].key, pattern) == 0) return index;
    return -1;
}

bool makeEntryRoom(mappingsTable* table, quon_request* req) {
    const int32_t needed = (table->mappings ? table->mappings->count : 0) + 1;
    if (needed <= table->mappingCapacity) return true;
    const int32_t grown =
        grownCapacity(table->mappingCapacity, QN_MAPPINGS_FIRST_CAPACITY, QN_MAX_MAPPINGS);
    return grown >= needed && moveEntrySlots(table, req, grown);
}

int32_t newEntry(mappingsTable* table, quon_request* req, const char* pattern, const char* value,
                 quonProxy* proxy, int32_t position, int32_t hasActive) {
    if (!makeEntryRoom(table, req)) {
        req->logAt(req, QN_LOG_WARN, kMappingsFull, pattern, value);
        return -1;
    }
    auto* info = permNew<mappingInfo>(req);
    auto* list = permNew<proxyList>(req);
    int32_t index = info && list && makeListRoom(req, list)
                        ? setProperty(req, table->mappings, pattern, value)
                        : -1;
    if (index < 0) {
        if (info) req->permFree(req, info);
        if (list) {
            releaseListSlots(req, list);
            req->permFree(req, list);
        }
        return -1;
    }
    info->algorithm = algorithmOf(proxy);
    info->sticky = stickyOf(proxy);
    info->position = position;
    info->hasActive = hasActive;
    info->weightsDirty = 1;
    info->counters = qnMappingCountersFor(table->counterScope, pattern);
    list->proxies[0] = proxy;
    list->active[0] = 1;
    list->count = 1;
    table->mappingProxies[index] = list;
    table->mappingInfos[index] = info;
    table->lastMappingIndex = index;
    return index;
}

// One insertion step: the last entry, with its list and info, moves back past every
// entry it goes before in match order.
void mergeNewMapping(mappingsTable* table) {
    propertyEntry* entries = table->mappings->entries;
    for (int32_t index = table->mappings->count - 1;
         index > 0 && longerThan(&entries[index], &entries[index - 1]); --index) {
        std::swap(entries[index], entries[index - 1]);
        std::swap(table->mappingProxies[index], table->mappingProxies[index - 1]);
        std::swap(table->mappingInfos[index], table->mappingInfos[index - 1]);
        table->generation += table->generation == UINT32_MAX ? 2 : 1;  // never 0
    }
}

void dumpMappings(mappingsTable* table, quon_request* req, const char* label) {
    req->trace(req, "%s", label);
    const propertyTable* mappings = table->mappings;
    for (int32_t index = 0; mappings && index < mappings->count; ++index) {
        const propertyEntry& entry = mappings->entries[index];
        req->trace(req, "   %s=%s", entry.key ? entry.key : "Null",
                   entry.value ? entry.value : "Null");
        const proxyList* list = table->mappingProxies[index];
        for (int32_t slot = 0; list && slot < list->count; ++slot) {
            const quonProxy* proxy = list->proxies[slot];
            req->trace(req, "      %s active: %i", proxy->name,
                       proxy->serverInfo ? proxy->serverInfo->active.load() : 0);
        }
    }
}
