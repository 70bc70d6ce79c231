#include "describe.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "mapping_order.h"
#include "pool.h"
#include "property.h"
#include "sync.h"
#include "table_types.h"

namespace {
// Where each part of the description lies in its block, in the order laid out.
struct Layout {
    size_t servers = 0, entries = 0, slots = 0, text = 0, total = 0;
};

size_t alignUp(size_t offset, size_t alignment) {
    return (offset + alignment - 1) / alignment * alignment;
}

size_t textSize(const char* text) { return text ? strlen(text) + 1 : 0; }

Layout layOut(const mappingsTable* table, int32_t serverCount, int32_t entryCount) {
    Layout at;
    at.servers = alignUp(sizeof(qnTableDescription), alignof(qnDescribedServer));
    at.entries = alignUp(at.servers + size_t(serverCount) * sizeof(qnDescribedServer),
                         alignof(qnDescribedEntry));
    at.slots =
        alignUp(at.entries + size_t(entryCount) * sizeof(qnDescribedEntry), alignof(int32_t));
    size_t slots = 0, text = textSize(table->bootstrapServer) + textSize(table->serverStore);
    for (int32_t index = 0; index < entryCount; ++index) {
        const proxyList* list = table->mappingProxies[index];
        slots += list ? 2 * size_t(list->count) : 0;
        text += textSize(table->mappings->entries[index].key) +
                textSize(table->mappings->entries[index].value);
    }
    for (int32_t i = 0; table->knownPatterns && i < table->knownPatterns->count; ++i)
        text += textSize(table->knownPatterns->entries[i].key);
    at.text = at.slots + slots * sizeof(int32_t);
    at.total = at.text + text;
    return at;
}

// Copies text to the block's text area; null stays null.
const char* keep(char*& area, const char* text) {
    if (!text) return nullptr;
    const size_t size = strlen(text) + 1;
    memcpy(area, text, size);
    const char* kept = area;
    area += size;
    return kept;
}

int32_t idleConnections(quonProxy* proxy, quon_request* req) {
    SyncGuard hold(req, proxy->lock);
    int32_t idle = 0;
    for (const quonConnection* conn = proxy->pool ? proxy->pool->freeList : nullptr; conn;
         conn = conn->next)
        ++idle;
    return idle;
}

void describeServer(quonProxy* proxy, quon_request* req, int32_t active, int32_t now,
                    qnDescribedServer* out) {
    snprintf(out->name, sizeof out->name, "%s", proxy->name);
    const proxyServerInfo* info = proxy->serverInfo;
    snprintf(out->replicationId, sizeof out->replicationId, "%s",
             info && info->replicationId ? info->replicationId : "");
    out->active = active;
    out->idle = idleConnections(proxy, req);
    out->busy = proxy->view ? proxy->view->inFlight.load(std::memory_order_relaxed) : 0;
    const int32_t retryAt = proxy->nextProxyRetryTime.load(std::memory_order_relaxed);
    out->retryLeft = retryAt > now ? retryAt - now : 0;
    out->weight = info ? info->weight.load(std::memory_order_relaxed) : 0;
    out->algorithm = info ? info->algorithm : 0;
    out->counters = proxy->counters;
}

// What a table not initialised yet waits for, and the patterns it claims meanwhile.
void describeCold(const mappingsTable* table, qnTableDescription* out, char*& text) {
    if (out->initialized) return;
    const qnColdWatch& cold = table->cold;
    snprintf(out->coldReason, sizeof out->coldReason, "%s", cold.reason);
    out->coldCount = std::clamp(cold.count, 0, QN_COLD_NAMES);
    for (int32_t i = 0; i < out->coldCount; ++i)
        snprintf(out->coldNames[i], sizeof out->coldNames[i], "%s", cold.names[i]);
    const propertyTable* known = table->knownPatterns;
    if (!known || known->count == 0) return;
    out->claimed = text;
    for (int32_t i = 0; i < known->count; ++i) {
        const size_t length = strlen(known->entries[i].key);
        memcpy(text, known->entries[i].key, length);
        text += length;
        *text++ = i + 1 < known->count ? ' ' : '\0';
    }
}

// The master-list index of every proxy, sorted by address, for the entries' lookups.
using Indexed = std::pair<const quonProxy*, int32_t>;
int32_t masterIndex(const Indexed* sorted, int32_t count, const quonProxy* proxy) {
    const Indexed* end = sorted + count;
    const Indexed* at = std::lower_bound(sorted, end, Indexed{proxy, INT32_MIN});
    return at != end && at->first == proxy ? at->second : -1;
}

void describeEntries(const mappingsTable* table, qnTableDescription* out, int32_t* slots,
                     char*& text) {
    Indexed sorted[QN_MAX_PROXIES];
    for (int32_t i = 0; i < out->serverCount; ++i) sorted[i] = {table->servers.proxies[i], i};
    std::sort(sorted, sorted + out->serverCount);
    for (int32_t index = 0; index < out->entryCount; ++index) {
        qnDescribedEntry& entry = out->entries[index];
        const propertyEntry& mapping = table->mappings->entries[index];
        const proxyList* list = table->mappingProxies[index];
        const mappingInfo* info = table->mappingInfos[index];
        entry.pattern = keep(text, mapping.key);
        entry.value = keep(text, mapping.value);
        entry.algorithm = info ? info->algorithm : 0;
        entry.sticky = info ? info->sticky : 0;
        entry.hasActive = info ? info->hasActive : 0;
        entry.count = list ? list->count : 0;
        entry.servers = slots;
        entry.active = slots + entry.count;
        for (int32_t slot = 0; slot < entry.count; ++slot) {
            slots[slot] = masterIndex(sorted, out->serverCount, list->proxies[slot]);
            slots[entry.count + slot] = list->active[slot];
        }
        slots += 2 * entry.count;
    }
}
}  // namespace

qnTableDescription* describeTable(mappingsTable* table, quon_request* req, int32_t withEntries) {
    SyncGuard hold(req, table->tableLock);
    const int32_t serverCount = std::clamp(table->servers.count, 0, QN_MAX_PROXIES);
    const int32_t entryCount =
        withEntries ? std::clamp(table->mappings->count, 0, table->mappingCapacity) : 0;
    const Layout at = layOut(table, serverCount, entryCount);
    if (at.total > size_t(INT_MAX)) return nullptr;
    auto* block = static_cast<char*>(req->malloc(req, int(at.total)));
    if (!block) return nullptr;
    memset(block, 0, at.total);
    auto* out = reinterpret_cast<qnTableDescription*>(block);
    char* text = block + at.text;
    out->initialized = table->initialized.load(std::memory_order_acquire);
    out->clustered = table->clustered;
    out->clusterSeq = table->clusterSeq;
    out->bootstrapped = table->bootstrapped;
    out->bootstrapServer = keep(text, table->bootstrapServer);
    out->serverStore = keep(text, table->serverStore);
    out->serverCount = serverCount;
    out->servers = reinterpret_cast<qnDescribedServer*>(block + at.servers);
    const int32_t now = nowSeconds();
    for (int32_t i = 0; i < serverCount; ++i)
        describeServer(table->servers.proxies[i], req, table->servers.active[i], now,
                       &out->servers[i]);
    out->entryCount = entryCount;
    out->entries = reinterpret_cast<qnDescribedEntry*>(block + at.entries);
    describeEntries(table, out, reinterpret_cast<int32_t*>(block + at.slots), text);
    describeCold(table, out, text);
    return out;
}

void touchEntryCounters(mappingsTable* table, quon_request* req, int64_t now) {
    SyncGuard hold(req, table->tableLock);
    const int32_t count = table->mappings ? table->mappings->count : 0;
    for (int32_t index = 0; index < count && index < table->mappingCapacity; ++index)
        if (const mappingInfo* info = table->mappingInfos[index]; info && info->counters)
            info->counters->seenAt.store(now, std::memory_order_relaxed);
}

void setCounterScope(mappingsTable* table, int32_t scope) { table->counterScope = scope; }

void setServerWatch(mappingsTable* table, const char* healthCheckUri, int32_t slowStartSeconds) {
    table->healthCheckUri = healthCheckUri;
    table->slowStartSeconds = slowStartSeconds;
}

void setClaimPatterns(mappingsTable* table, quon_request* req, const char* const* patterns,
                      int32_t count) {
    freeProperties(req, table->claimPatterns);
    table->claimPatterns = count > 0 ? parseProperties(req, nullptr) : nullptr;
    for (int32_t i = 0; table->claimPatterns && i < count; ++i)
        setProperty(req, table->claimPatterns, patterns[i], "");
    // Kept and matched as the servers' own mappings are: "/app/*" as "/app*", longest first.
    if (table->claimPatterns) sortMappings(req, table->claimPatterns);
}
