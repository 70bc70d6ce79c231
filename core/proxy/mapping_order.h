// A proxy's servlet mappings: fetched when due, normalised, and put in match order so
// that the first matching entry is the most specific one.
#pragma once

#include <cstdint>

#include "export.h"
#include "property_types.h"
#include "proxy_types.h"
#include "request_types.h"

// 1 not due (or the server waits for its retry time); 0 a new table was installed;
// -1 nothing could be fetched, or another thread has just taken this refresh.
int proxy_refreshMappings(quonProxy* proxy, quon_request* req);
// The unlocked test of proxy_refreshMappings: a fetch is due at now and the server is
// not waiting for its retry time.
inline bool refreshDue(const quonProxy* proxy, int32_t now) {
    if (now < proxy->nextMapCheckTime.load(std::memory_order_relaxed)) return false;
    int32_t retryAt = proxy->nextProxyRetryTime.load(std::memory_order_relaxed);
    return retryAt == 0 || now >= retryAt;
}
void sortMappings(quon_request* req, propertyTable* table);
// 1 when entry a goes before entry b in match order.
QN_EXPORT int longerThan(const propertyEntry* a, const propertyEntry* b);
int prefixlen(const char* pattern);
int extlen(const char* pattern);
// The caller holds the proxy's lock.
void setNextMapCheckTime(quon_request* req, quonProxy* proxy, int32_t now);
