// One back-end server: creation, initialisation from its "server-props", reference
// counting, reachability probes, response-time metrics and destruction. Callers outside
// this file go through the proxy's operation slots.
#pragma once

#include "export.h"
#include "proxy_types.h"
#include "request_types.h"

// A new proxy with every slot set, its lock made and one reference; null without memory.
QN_EXPORT quonProxy* quonProxyNew(quon_request* req);
int initProxy(quonProxy* proxy, quon_request* req, const char* server, int defaultRetryInterval,
              int temporary);
int proxy_isAlive(quonProxy* proxy, quon_request* req);
// The unlocked test of proxy_isAlive: the server waits for a retry time that has come.
inline bool probeDue(const quonProxy* proxy, int32_t now) {
    int32_t retryAt = proxy->nextProxyRetryTime.load(std::memory_order_relaxed);
    return retryAt != 0 && now >= retryAt;
}
int proxy_sendPing(quonProxy* proxy, quon_request* req);
int proxyAddRef(quonProxy* proxy, quon_request* req);
int proxyRelease(quonProxy* proxy, quon_request* req);
void requestEnded(quonProxy* proxy, quon_request* req);
void proxy_destroyInetProxy(quonProxy* proxy, quon_request* req);
