// The table's lists and entries: slot lookup and append within the lists' capacity,
// entry creation, the insertion step that keeps entries in match order, and the trace
// dump of every entry.
#include "table_lists.h"

#include <cstring>
#include <utility>

#include "mapping_order.h"
#include "memory.h"
#include "property.h"
#include "table.h"

namespace {
constexpr const char* kListFull = "proxy %s not added to %s, the list already holds %d servers";

int32_t algorithmOf(const quonProxy* proxy) {
    return proxy->serverInfo ? proxy->serverInfo->algorithm : QN_ROUNDROBIN;
}
int32_t stickyOf(const quonProxy* proxy) {
    return proxy->serverInfo ? proxy->serverInfo->sticky : 0;
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
    req->log(req, kListFull, name, where, count);
}

// Lists never grow past their arrays: a server beyond the capacity is left out of this
// list, and the log says so.
int32_t appendToList(quon_request* req, proxyList* list, quonProxy* proxy, int32_t active,
                     const char* where) {
    if (list->count >= QN_MAX_PROXIES) {
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

int32_t newEntry(mappingsTable* table, quon_request* req, const char* pattern, const char* value,
                 quonProxy* proxy, int32_t position, int32_t hasActive) {
    auto* info = permNew<mappingInfo>(req);
    auto* list = permNew<proxyList>(req);
    int32_t index = info && list ? setProperty(req, table->mappings, pattern, value) : -1;
    if (index < 0) {
        if (info) req->permFree(req, info);
        if (list) req->permFree(req, list);
        return -1;
    }
    info->algorithm = algorithmOf(proxy);
    info->sticky = stickyOf(proxy);
    info->position = position;
    info->hasActive = hasActive;
    info->weightsDirty = 1;
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
