// A real mappings table whose servers and entries a test places by hand, as membership
// would leave them: proxies with their settings and no connection. The table frees all.
#pragma once

#include <cstring>
#include <vector>

#include "memory.h"
#include "property.h"
#include "proxy.h"
#include "table_slots.h"
#include "table_types.h"

struct ServerSpec {
    const char* name;
    int32_t weight = 1;
    int32_t active = 1;           // the server's own flag, and its slots' flags
    const char* repId = nullptr;  // replication id
    int32_t retryAt = 0;          // nextProxyRetryTime
};

class HandTable {
public:
    explicit HandTable(quon_request* req)
        : req_(req), t_(mappingsTableNew(req, nullptr, nullptr, 0)) {}
    ~HandTable() { mappingsTableDelete(t_, req_); }
    mappingsTable* get() const { return t_; }
    mappingsTable* operator->() const { return t_; }

    // A proxy in the master list, which owns it.
    quonProxy* addServer(const ServerSpec& s) {
        quonProxy* proxy = quonProxyNew(req_);
        strncpy(proxy->name, s.name, sizeof proxy->name - 1);
        proxy->serverInfo = permNew<proxyServerInfo>(req_);
        proxy->serverInfo->weight = proxy->serverInfo->weightLeft = s.weight;
        proxy->serverInfo->active = s.active;
        if (s.repId) proxy->serverInfo->replicationId = req_->permStrdup(req_, s.repId);
        proxy->nextProxyRetryTime = s.retryAt;
        t_->servers.proxies[t_->servers.count] = proxy;
        t_->servers.active[t_->servers.count++] = s.active;
        return proxy;
    }

    // A new last entry served by these proxies; returns its index.
    int addEntry(const char* pattern, int32_t algorithm = QN_ROUNDROBIN, int32_t sticky = 0,
                 const std::vector<quonProxy*>& proxies = {}) {
        int index = setProperty(req_, t_->mappings, pattern, "v");
        auto* list = permNew<proxyList>(req_);
        auto* info = permNew<mappingInfo>(req_);
        for (quonProxy* proxy : proxies) {
            list->proxies[list->count] = proxy;
            list->active[list->count++] = proxy->serverInfo->active;
        }
        *info = {algorithm, sticky, -1, nullptr, 1, 0, 1};
        t_->mappingProxies[index] = list;
        t_->mappingInfos[index] = info;
        t_->lastMappingIndex = index;
        return index;
    }

private:
    quon_request* req_;
    mappingsTable* t_;
};
