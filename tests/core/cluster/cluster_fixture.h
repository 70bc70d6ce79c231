// The cluster tests' fixtures: quon-backend servers on 127.0.0.2, .3, ..., tables, and
// readers of a table's entries and lists.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backend_process.h"
#include "memory.h"
#include "property.h"
#include "proxy.h"
#include "recording_request.h"
#include "sync.h"
#include "table.h"
#include "table_slots.h"
#include "table_types.h"

namespace cluster_test {

using backend_test::BackendProcess;
using Names = std::vector<std::string>;

// Polls done until it holds or backend_test::kWait has passed.
template <typename Done>
bool waitFor(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + backend_test::kWait;
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

inline int logCount(const BackendProcess& server, const std::string& text) {
    const std::string log = server.logText();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
}

// What one server announces: its "server-props" and "servlet-mappings" texts.
struct ServerSetup {
    std::string props = "rep_id=SRV0\n", mappings = "/app/*=app\n";
};
using Setups = std::vector<ServerSetup>;

class Cluster {
public:
    // One server per setup; none lists members yet.
    explicit Cluster(const Setups& setups) : refusing(setups.size()) {
        for (size_t i = 0; i < setups.size(); ++i) {
            BackendProcess& s = *servers.emplace_back(
                std::make_unique<BackendProcess>("127.0.0." + std::to_string(2 + i)));
            EXPECT_TRUE(s.start({"--server-props", s.writeFile("server.props", setups[i].props),
                                 "--mappings", s.writeFile("mappings.props", setups[i].mappings),
                                 "--cluster", s.writeFile("cluster.props", ""), "--control",
                                 s.writeFile("control.props", "")}));
        }
    }
    const std::string& name(size_t i) const { return servers[i]->quonAddress(); }
    BackendProcess& operator[](size_t i) { return *servers[i]; }
    std::string file(const std::string& name) const { return servers[0]->path(name); }

    // Server i lists members under cluster-seq seq from now on; control adds settings
    // ("fault=refuse\n" closes its listeners, which the wait covers too).
    void announce(size_t i, const Names& members, int seq, const std::string& control = "") {
        std::string list;
        for (size_t k = 0; k < members.size(); ++k)
            list += "s" + std::to_string(k) + "=" + members[k] + "\n";
        servers[i]->writeFile("cluster.props", list);
        servers[i]->writeFile("control.props",
                              "cluster-seq=" + std::to_string(seq) + "\n" + control);
        const bool refuse = control.find("fault=refuse") != std::string::npos;
        const std::string line =
            (refuse ? "refusing" : "accepting") + std::string(" connections on ") + name(i);
        const int seen = logCount(*servers[i], line);
        EXPECT_TRUE(servers[i]->reload());
        EXPECT_TRUE(refuse == refusing[i] ||
                    waitFor([&] { return logCount(*servers[i], line) > seen; }));
        refusing[i] = refuse;
    }
    void setMappings(size_t i, const std::string& mappings) {
        servers[i]->writeFile("mappings.props", mappings);
        EXPECT_TRUE(servers[i]->reload());
    }
    // text with every "{i}" replaced by the name of server i.
    std::string named(std::string text) const {
        for (size_t i = 0; i < servers.size(); ++i) {
            const std::string mark = "{" + std::to_string(i) + "}";
            for (size_t at; (at = text.find(mark)) != std::string::npos;)
                text.replace(at, mark.size(), name(i));
        }
        return text;
    }

    std::vector<std::unique_ptr<BackendProcess>> servers;
    std::vector<bool> refusing;
};

// "pattern=value" of every entry, in index order.
inline Names entries(const mappingsTable* table) {
    Names all;
    for (int i = 0; i < table->mappings->count; ++i)
        all.push_back(std::string(table->mappings->entries[i].key) + "=" +
                      table->mappings->entries[i].value);
    return all;
}

// "name:flag" of every slot of a list.
inline Names slots(const proxyList* list) {
    Names all;
    for (int s = 0; list && s < list->count; ++s)
        all.push_back(std::string(list->proxies[s]->name) + ":" + std::to_string(list->active[s]));
    return all;
}

inline quonProxy* serverNamed(const mappingsTable* table, const std::string& name) {
    int slot = hasProxyNamed(table, name.c_str());
    return slot < 0 ? nullptr : table->servers.proxies[slot];
}

}  // namespace cluster_test

struct ServerSpec {
    const char* name;
    int32_t weight = 1;
    int32_t active = 1;           // the server's own flag, and its slots' flags
    const char* repId = nullptr;  // replication id
    int32_t retryAt = 0;          // nextProxyRetryTime
};

// A table deleted with its scope, which a test may fill by hand: proxies with their
// settings and no connection, as membership would leave them.
class HandTable {
public:
    explicit HandTable(quon_request* req, const char* store = nullptr,
                       const char* bootstrap = nullptr, int32_t retryInterval = 0)
        : req_(req), t_(mappingsTableNew(req, store, bootstrap, retryInterval)) {}
    ~HandTable() { mappingsTableDelete(t_, req_); }
    mappingsTable* get() const { return t_; }
    mappingsTable* operator->() const { return t_; }
    operator mappingsTable*() const { return t_; }

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

    // A new last entry served by these proxies (new servers when given specs); its index.
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
    int addEntry(const char* pattern, int32_t algorithm, int32_t sticky,
                 const std::vector<ServerSpec>& specs) {
        std::vector<quonProxy*> proxies;
        for (const ServerSpec& spec : specs) proxies.push_back(addServer(spec));
        return addEntry(pattern, algorithm, sticky, proxies);
    }

private:
    quon_request* req_;
    mappingsTable* t_;
};
