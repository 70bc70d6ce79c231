// A mappings table whose entries and servers a test places by hand, as membership would
// leave them: proxies with their settings and no connection, each entry's list and
// load-balancing state. The table is the real one and frees everything it holds.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "memory.h"
#include "property.h"
#include "proxy.h"
#include "table_slots.h"
#include "table_types.h"

// A back-end server as selection and sessions see it.
struct ServerSpec {
    const char* name;
    int32_t weight = 1;
    int32_t active = 1;               // the server's own flag (0: marked down)
    const char* repId = nullptr;      // replication id; null: none
    int32_t retryAt = 0;              // nextProxyRetryTime: non-zero while the pool waits
};

class HandTable {
public:
    explicit HandTable(quon_request* req)
        : req_(req), table_(mappingsTableNew(req, nullptr, nullptr, 0)) {}
    ~HandTable() { mappingsTableDelete(table_, req_); }
    HandTable(const HandTable&) = delete;
    HandTable& operator=(const HandTable&) = delete;

    mappingsTable* get() const { return table_; }
    mappingsTable* operator->() const { return table_; }

    // A proxy in the master list (which owns it), active there as the server is.
    quonProxy* addServer(const ServerSpec& spec) {
        quonProxy* proxy = quonProxyNew(req_);
        strncpy(proxy->name, spec.name, sizeof proxy->name - 1);
        proxy->serverInfo = permNew<proxyServerInfo>(req_);
        proxy->serverInfo->weight = spec.weight;
        proxy->serverInfo->weightLeft = spec.weight;
        proxy->serverInfo->active = spec.active;
        if (spec.repId) proxy->serverInfo->replicationId = req_->permStrdup(req_, spec.repId);
        proxy->nextProxyRetryTime = spec.retryAt;
        proxyList& servers = table_->servers;
        servers.proxies[servers.count] = proxy;
        servers.active[servers.count++] = spec.active;
        return proxy;
    }

    // A new entry at the end of the table, served by the given proxies; a slot's flag is
    // its server's own flag. Returns the entry's index.
    int addEntry(const char* pattern, int32_t algorithm = QN_ROUNDROBIN, int32_t sticky = 0,
                 const std::vector<quonProxy*>& proxies = {}, int32_t position = -1) {
        int index = setProperty(req_, table_->mappings, pattern, "v");
        auto* list = permNew<proxyList>(req_);
        auto* info = permNew<mappingInfo>(req_);
        for (quonProxy* proxy : proxies) {
            list->proxies[list->count] = proxy;
            list->active[list->count++] = proxy->serverInfo->active;
            info->hasActive |= proxy->serverInfo->active;
        }
        info->algorithm = algorithm;
        info->sticky = sticky;
        info->position = position;
        info->weightsDirty = 1;
        table_->mappingProxies[index] = list;
        table_->mappingInfos[index] = info;
        table_->lastMappingIndex = index;
        return index;
    }

    // Patterns only, in this order, with nobody behind them.
    void addPatterns(const std::vector<std::string>& patterns) {
        for (const std::string& pattern : patterns) addEntry(pattern.c_str());
    }

private:
    quon_request* req_;
    mappingsTable* table_;
};
