// The mappings table's life: creation with its slots and locks, first-use
// initialisation from the bootstrap server or the server store, the ignore-suffix flag,
// and deletion with everything the table owns.
#include "table.h"

#include <cstdlib>
#include <ctime>

#include "dispatch.h"
#include "filter.h"
#include "lock_wait.h"
#include "log_limit.h"
#include "memory.h"
#include "property.h"
#include "sync.h"
#include "table_lists.h"

namespace {
constexpr const char* kInitFailed =
    "Couldn't initialize from remote server, Quon server(s) probably down.";

// A permanent copy of a configured name; a null name stays null. False without memory.
bool copyName(quon_request* req, const char* name, char** copy) {
    *copy = name ? req->permStrdup(req, name) : nullptr;
    return !name || *copy;
}

void releaseString(quon_request* req, char*& text) {
    if (text) req->permFree(req, text);
    text = nullptr;
}

// The proxies go through their own release and destroy, so that each closes its idle
// connections and frees its pool, settings and mappings.
void destroyProxies(mappingsTable* table, quon_request* req) {
    proxyList& servers = table->servers;
    for (int32_t slot = 0; slot < servers.count; ++slot) {
        quonProxy* proxy = servers.proxies[slot];
        if (!proxy) continue;
        while (proxy->release(proxy, req) > 0) {
        }
        proxy->destroy(proxy, req);
        servers.proxies[slot] = nullptr;
    }
    releaseListSlots(req, &servers);
}

void freeEntries(mappingsTable* table, quon_request* req) {
    for (int32_t index = 0; index < table->mappingCapacity; ++index) {
        if (proxyList* list = table->mappingProxies[index]) {
            releaseListSlots(req, list);
            req->permFree(req, list);
        }
        if (mappingInfo* info = table->mappingInfos[index]) {
            if (info->weightTable) req->permFree(req, info->weightTable);
            req->permFree(req, info);
        }
    }
    if (table->mappingProxies) req->permFree(req, table->mappingProxies);
    table->mappingProxies = nullptr;
    table->mappingInfos = nullptr;
    table->mappingCapacity = 0;
}
}  // namespace

mappingsTable* mappingsTableNew(quon_request* req, const char* serverStore,
                                const char* bootstrapServer, int32_t proxyRetryInterval) {
    auto* table = permNew<mappingsTable>(req);
    if (!table) return nullptr;
    table->initTable = initTable;
    table->filterRequest = filterRequest;
    table->handleRequest = handleRequest;
    table->handleRequestWithIndex = handleRequestWithIndex;
    table->ignoreSuffixMap = ignoreSuffixMap;
    table->mappings = permNew<propertyTable>(req);
    // The first index slots come with the table: index 0 is valid even while it is empty.
    if (!table->mappings || !makeEntryRoom(table, req) ||
        !copyName(req, bootstrapServer, &table->bootstrapServer) ||
        !copyName(req, serverStore, &table->serverStore)) {
        if (table->mappings) req->permFree(req, table->mappings);
        if (table->mappingProxies) req->permFree(req, table->mappingProxies);
        releaseString(req, table->bootstrapServer);
        permDelete(req, table);
        return nullptr;
    }
    table->proxyRetryInterval = proxyRetryInterval;
    table->joinChecks = 1;
    table->generation = 1;
    // RANDOM_WEIGHTED draws from the process's generator; every new table reseeds it.
    srand(static_cast<unsigned>(time(nullptr)));
    initLock(req, table->tableLock);
    initLock(req, table->initLock);
    return table;
}

int32_t initTable(mappingsTable* table, quon_request* req) {
    SyncGuard guard(req, table->initLock);
    if (table->initialized) return 0;
    // The store is the fallback: it is read only when the bootstrap server added nobody.
    int32_t added = retrieveServersFromBootstrapServer(table, req);
    if (added <= 0) added = loadServersFromStore(table, req);
    if (added > 0) {
        table->initialized = 1;
        return 0;
    }
    logLimited(req, &table->logLimits.kinds[QN_LIMIT_INIT], QN_LOG_ERROR, "%s", kInitFailed);
    return -1;
}

int32_t ignoreSuffixMap(mappingsTable* table, quon_request* req, int32_t flag) {
    SyncGuard guard(req, table->tableLock);
    int32_t previous = table->ignoreSuffixes;
    table->ignoreSuffixes = flag;
    return previous;
}

void mappingsTableDelete(mappingsTable* table, quon_request* req) {
    if (!table) return;
    reportTableLockWaits(req);
    freeProperties(req, table->mappings);
    table->mappings = nullptr;
    releaseString(req, table->bootstrapServer);
    releaseString(req, table->serverStore);
    releaseString(req, table->storeContents);
    releaseString(req, table->label);
    freeProperties(req, table->knownPatterns);
    table->knownPatterns = nullptr;
    freeProperties(req, table->claimPatterns);
    table->claimPatterns = nullptr;
    if (table->knownCounters) req->permFree(req, table->knownCounters);
    table->knownCounters = nullptr;
    destroyProxies(table, req);
    freeEntries(table, req);
    freeLock(req, table->tableLock);
    freeLock(req, table->initLock);
    permDelete(req, table);
}

mappingsTableSlots* tableSlots(mappingsTable* table) { return table; }

void nameTable(mappingsTable* table, quon_request* req, const char* label) {
    releaseString(req, table->label);
    table->label = label ? req->permStrdup(req, label) : nullptr;
}
