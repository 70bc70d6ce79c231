#include "mapping_order.h"

#include <algorithm>
#include <cstring>

#include "memory.h"
#include "pool.h"
#include "property.h"
#include "sync.h"

namespace {
constexpr int kRetryWithoutInterval = 10;  // seconds between failed fetches when mapcheck is 0
// A refresh that ran out of time gets twice that time the next time, up to this: a
// server that needs long for a large set is refreshed after a few tries, while one that
// never answers holds up its table's upkeep this long at most.
constexpr int kMostRefreshMs = 16000;
constexpr const char* kRefreshTooSlow =
    "%s did not send its mappings within %d ms; the next refresh gets %d ms";

bool hostQualified(const char* pattern) { return pattern[0] == '/' && pattern[1] == '/'; }

int indexOfKey(const propertyTable* table, const char* key) {
    for (int i = 0; i < table->count; ++i)
        if (strcmp(table->entries[i].key, key) == 0) return i;
    return -1;
}

// "/app/servlet/*" is kept as "/app/servlet*" and "/*" as "*". When the shorter form is
// already in the table, that entry takes this one's value and this one is marked for
// removal. The marks are indexes, not strings: a later set may free the value that an
// earlier one stored. Without memory for the marks the entry stays as the server sent it.
void normalise(quon_request* req, propertyTable* table, int index, char** removals, int count) {
    propertyEntry& entry = table->entries[index];
    const char* star = strchr(entry.key, '*');
    if (!star || star == entry.key || star[-1] != '/') return;
    size_t length = strlen(entry.key);
    auto* shorter = static_cast<char*>(req->permMalloc(req, int(length)));
    if (!shorter) return;
    size_t slash = size_t(star - entry.key) - 1;
    memcpy(shorter, entry.key, slash);
    memcpy(shorter + slash, star, length - slash);  // the rest, terminator included
    req->trace(req, "mapping converted from %s to %s=%s", entry.key, shorter, entry.value);
    if (indexOfKey(table, shorter) < 0) {
        req->permFree(req, entry.key);
        entry.key = shorter;
        return;
    }
    if (!*removals) {
        *removals = static_cast<char*>(req->permMalloc(req, count));
        if (*removals) memset(*removals, 0, size_t(count));
    }
    if (*removals && setProperty(req, table, shorter, entry.value) >= 0) (*removals)[index] = 1;
    req->permFree(req, shorter);
}

// Stable insertion sort: entries of equal rank keep the server's order.
void orderEntries(propertyTable* table) {
    for (int i = 1; i < table->count; ++i) {
        propertyEntry taken = table->entries[i];
        int j = i;
        for (; j > 0 && longerThan(&taken, &table->entries[j - 1]); --j)
            table->entries[j] = table->entries[j - 1];
        table->entries[j] = taken;
    }
}

// Puts the new table in place; the old one is returned for the caller to free after
// the lock is released.
propertyTable* install(quonProxy* proxy, quon_request* req, propertyTable* fresh) {
    SyncGuard hold(req, proxy->lock);
    propertyTable* old = proxy->mappings;
    req->trace(req, "old mappings count: %d", old ? old->count : 0);
    proxy->mappings = fresh;
    if (!old) {
        if (proxy->mapCheckInterval != 0)
            req->trace(req, "Mappings for %s will be refreshed every %d seconds.", proxy->name,
                       proxy->mapCheckInterval);
        else
            req->trace(req,
                       "Mappings for %s will not be refreshed. QuonProxyService mapcheck "
                       "attribute is 0.",
                       proxy->name);
    }
    return old;
}
// The "servlet-mappings" set. Under a record's deadline (the upkeep's), a refresh gets
// at least the time this server's last one that ran out was given, doubled.
propertyTable* fetchWithin(quon_request* req, quonProxy* proxy) {
    const int deadline = req->responseTimeout;
    int given = deadline;
    if (deadline > 0) {
        SyncGuard hold(req, proxy->lock);
        given = std::max(deadline, proxy->refreshTimeoutMs);
    }
    req->responseTimeout = given;
    propertyTable* fresh = proxy->fetchProps(req, proxy, "servlet-mappings", nullptr);
    req->responseTimeout = deadline;
    if (!fresh && deadline > 0 && req->errorCode == EQUON_RESPONSE_TIMEOUT) {
        SyncGuard hold(req, proxy->lock);
        proxy->refreshTimeoutMs = std::min(2 * given, std::max(kMostRefreshMs, deadline));
        req->logAt(req, QN_LOG_WARN, kRefreshTooSlow, proxy->name, given, proxy->refreshTimeoutMs);
    }
    return fresh;
}
}  // namespace

// The due time is tested without the lock and again under it, and the next due time is
// set before the lock is released: one thread per period fetches, the others go on
// with the table in force. The exchange itself runs without the proxy's lock.
int proxy_refreshMappings(quonProxy* proxy, quon_request* req) {
    int32_t now = nowSeconds();
    if (!refreshDue(proxy, now)) return 1;
    {
        SyncGuard hold(req, proxy->lock);
        if (now < proxy->nextMapCheckTime.load(std::memory_order_relaxed)) return -1;
        setNextMapCheckTime(req, proxy, now);
    }
    req->trace(req, "refreshing mappings for %s", proxy->name);
    propertyTable* fresh = fetchWithin(req, proxy);
    if (fresh && fresh->count > 0) {
        sortMappings(req, fresh);
        req->trace(req, "installing new mappings for %s count: %d", proxy->name, fresh->count);
        if (propertyTable* old = install(proxy, req, fresh)) {
            req->trace(req, "Deleting old mappings...");
            freeProperties(req, old);
        }
        return 0;
    }
    // A server too slow for the deadline is not asked again before the interval, as said
    // below: the exchange's connection was destroyed, which makes mappings due at once,
    // and asking again at once would meet the same slow answer on every pass. A server
    // that could not be reached is due at once, for when it answers again.
    if (proxy->mapCheckInterval == 0 || req->errorCode == EQUON_RESPONSE_TIMEOUT) {
        SyncGuard hold(req, proxy->lock);
        const int32_t wait =
            proxy->mapCheckInterval ? proxy->mapCheckInterval : kRetryWithoutInterval;
        proxy->nextMapCheckTime.store(nowSeconds() + wait, std::memory_order_relaxed);
    }
    if (fresh) freeProperties(req, fresh);
    req->traceE(req, QN_TRACE_EVENT, "could not get mappings, checking again in %d seconds",
                proxy->mapCheckInterval ? proxy->mapCheckInterval : kRetryWithoutInterval);
    return -1;
}

void sortMappings(quon_request* req, propertyTable* table) {
    char* removals = nullptr;
    int count = table->count;
    for (int i = 0; i < count; ++i) normalise(req, table, i, &removals, count);
    if (removals) {
        int removed = 0;
        for (int i = 0; i < count; ++i) {
            if (!removals[i]) continue;
            int at = i - removed++;
            req->trace(req, "removed mapping %s=%s", table->entries[at].key,
                       table->entries[at].value);
            removePropertyByIndex(req, table, at);  // frees the strings
        }
        req->permFree(req, removals);
    }
    orderEntries(table);
}

// Host-qualified patterns first; then the longer literal prefix; then the longer
// extension.
int longerThan(const propertyEntry* a, const propertyEntry* b) {
    bool hostA = hostQualified(a->key), hostB = hostQualified(b->key);
    if (hostA != hostB) return hostA ? 1 : 0;
    int prefixA = prefixlen(a->key), prefixB = prefixlen(b->key);
    if (prefixA != prefixB) return prefixA > prefixB ? 1 : 0;
    return extlen(a->key) > extlen(b->key) ? 1 : 0;
}

int prefixlen(const char* pattern) {
    const char* path = pattern;
    if (hostQualified(pattern)) {
        const char* slash = strchr(pattern + 2, '/');
        path = slash ? slash : pattern + strlen(pattern);
    }
    const char* star = strchr(path, '*');
    return int(star ? star - path : long(strlen(path)));
}

int extlen(const char* pattern) {
    const char* star = strchr(pattern, '*');
    return star ? int(strlen(star + 1)) : 0;
}

void setNextMapCheckTime(quon_request*, quonProxy* proxy, int32_t now) {
    int32_t interval = proxy->mapCheckInterval;
    proxy->nextMapCheckTime.store(interval ? now + interval : QN_TIME_NEVER,
                                  std::memory_order_relaxed);
}
