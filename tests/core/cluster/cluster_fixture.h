// Cluster test fixtures: quon-backend servers on 127.0.0.2, .3, ..., tables and their readers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "backend_cluster.h"
#include "memory.h"
#include "property.h"
#include "proxy.h"
#include "recording_request.h"
#include "sync.h"
#include "table.h"
#include "table_lists.h"
#include "table_slots.h"
#include "table_types.h"

namespace cluster_test {

using Names = std::vector<std::string>;

using backend_test::waitUntil;

// What one server announces: its "server-props" (besides its rep_id; empty: the
// cluster's default) and "servlet-mappings" texts.
struct ServerSetup {
    std::string props = "", mappings = "/app/*=app\n";
};
using Setups = std::vector<ServerSetup>;

// One server per setup, listing no members yet.
class Cluster : public backend_test::BackendCluster {
public:
    explicit Cluster(const Setups& setups) : BackendCluster(mappingsOf(setups)) {
        EXPECT_TRUE(start() && announce({}, 0));
        for (int i = 0; i < size(); ++i)
            if (!setups[size_t(i)].props.empty()) {
                (*this)[i].writeFile("server.props",
                                     "rep_id=" + repId(i) + "\n" + setups[size_t(i)].props);
                EXPECT_TRUE((*this)[i].reload());
            }
    }
    const std::string& name(int i) const { return address(i); }
    Names names() const {
        Names all;
        for (int i = 0; i < size(); ++i) all.push_back(name(i));
        return all;
    }
    std::string file(const std::string& name) { return (*this)[0].path(name); }
    // Server i lists members under cluster-seq seq from now on; control adds settings
    // ("fault=refuse\n" closes its listeners, which the wait covers too).
    void announce(int i, const Names& members, int seq, const std::string& control = "") {
        (*this)[i].writeFile("cluster.props", memberList(members));
        (*this)[i].writeFile("control.props",
                             "cluster-seq=" + std::to_string(seq) + "\n" + control);
        const bool refuse = control.find("fault=refuse") != std::string::npos;
        const auto line = (refuse ? "refusing" : "accepting") + (" connections on " + name(i));
        const int seen = logLines(i, line);
        EXPECT_TRUE((*this)[i].reload());
        EXPECT_TRUE(refuse == refusing_[size_t(i)] ||
                    waitUntil([&] { return logLines(i, line) > seen; }));
        refusing_[size_t(i)] = refuse;
    }
    using BackendCluster::announce;
    // A member list's text: "s0=" the first member, "s1=" the second, and on.
    static std::string memberList(const Names& members) {
        std::string list;
        for (size_t k = 0; k < members.size(); ++k)
            list += "s" + std::to_string(k) + "=" + members[k] + "\n";
        return list;
    }
    void setMappings(int i, const std::string& mappings) {
        (*this)[i].writeFile("mappings.props", mappings);
        EXPECT_TRUE((*this)[i].reload());
    }
    // text with every "{i}" replaced by the name of server i.
    std::string named(std::string text) const {
        for (int i = 0; i < size(); ++i) {
            const std::string mark = "{" + std::to_string(i) + "}";
            for (size_t at; (at = text.find(mark)) != std::string::npos;)
                text.replace(at, mark.size(), name(i));
        }
        return text;
    }

private:
    static Names mappingsOf(const Setups& setups) {
        Names all;
        for (const ServerSetup& s : setups) all.push_back(s.mappings);
        return all;
    }
    std::vector<bool> refusing_ = std::vector<bool>(16);
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

// The line a sticky request writes: "held" finds host holding the session, "broken" gives
// the session up, naming only the holder's id (its first four characters, "..." after them
// when the id goes on); any other text is the line itself.
inline std::string stickyLine(const std::string& line, const std::string& host,
                              const std::string& session) {
    if (line == "held") return "Found sticky session host " + host;
    if (line != "broken") return line;
    const std::string shown = session.size() > 4 ? session.substr(0, 4) + "..." : session;
    return "Sticky session breakage, a host for serving session " + shown +
           " not available.  Failing over to another server, but above session is broken.";
}

inline quonProxy* serverNamed(const mappingsTable* table, const std::string& name) {
    const int slot = hasProxyNamed(table, name.c_str());
    return slot < 0 ? nullptr : table->servers.proxies[slot];
}

}  // namespace cluster_test

// A server made by hand: active is its own flag and its slots'; retryAt its nextProxyRetryTime.
struct ServerSpec {
    const char* name;
    int32_t weight = 1, active = 1;
    const char* repId = nullptr;
    int32_t retryAt = 0;
};

// A table deleted with its scope, which a test may fill by hand with unconnected proxies.
class HandTable {
public:
    explicit HandTable(quon_request* req, const char* store = nullptr,
                       const char* bootstrap = nullptr, int32_t retryInterval = 0)
        : req_(req), t_(mappingsTableNew(req, store, bootstrap, retryInterval)) {}
    ~HandTable() { mappingsTableDelete(t_, req_); }
    mappingsTable* get() const { return t_; }
    mappingsTable* operator->() const { return t_; }
    operator mappingsTable*() const { return t_; }

    // A new last entry served by new servers (the master list owns them); its index.
    int addEntry(const char* pattern, int32_t algorithm = QN_ROUNDROBIN, int32_t sticky = 0,
                 const std::vector<ServerSpec>& servers = {}) {
        int index = makeEntryRoom(t_, req_) ? setProperty(req_, t_->mappings, pattern, "v") : -1;
        auto* list = permNew<proxyList>(req_);
        for (const ServerSpec& s : servers) {
            quonProxy* proxy = quonProxyNew(req_);
            strncpy(proxy->name, s.name, sizeof proxy->name - 1);
            proxy->serverInfo = permNew<proxyServerInfo>(req_);
            proxy->serverInfo->weight = proxy->serverInfo->weightLeft = s.weight;
            proxy->serverInfo->active = s.active;
            if (s.repId) proxy->serverInfo->replicationId = req_->permStrdup(req_, s.repId);
            proxy->nextProxyRetryTime = s.retryAt;
            appendToList(req_, &t_->servers, proxy, s.active, QN_MASTER_LIST);
            appendToList(req_, list, proxy, s.active, pattern);
        }
        t_->mappingProxies[index] = list;
        t_->mappingInfos[index] = permNew<mappingInfo>(req_);
        *t_->mappingInfos[index] = {algorithm, sticky, -1, nullptr, 1, 0, 1};
        t_->lastMappingIndex = index;
        return index;
    }

private:
    quon_request* req_;
    mappingsTable* t_;
};

namespace cluster_test {
// A table bootstrapped from server 0 (members under seq), or else initialised from a
// store that names every server in order.
struct ClusterTable {
    ClusterTable(Cluster& cluster, const Names& members, int seq, int32_t retryInterval = 0)
        : table(req.get(), cluster.file("servers.store").c_str(), cluster.name(0).c_str(),
                retryInterval) {
        cluster.announce(0, members, seq);
        EXPECT_EQ(table->initTable(table, req.get()), 0) << req.dump();
        reporter = serverNamed(table, cluster.name(0));
    }
    explicit ClusterTable(Cluster& cluster)
        : table(req.get(), cluster.file("store").c_str(), nullptr) {
        std::string text = "proxyservers=";
        for (int i = 0; i < cluster.size(); ++i) text += cluster.name(i) + ";";
        std::ofstream(cluster.file("store")) << text;
        EXPECT_EQ(table->initTable(table, req.get()), 0) << req.dump();
    }
    // Server 0 reports the number it has now, as at the end of a request.
    void report() {
        int32_t seq = -1;
        freeProperties(req.get(), reporter->fetchProps(req.get(), reporter, "server-props", &seq));
        updateClusteredServers(table, req.get(), reporter, seq);
    }
    int traced(const std::string& text) const { return req.count("traceE", text); }
    int32_t slotOf(Cluster& cluster, int i) const {
        return hasProxyNamed(table, cluster.name(i).c_str());
    }
    // Reads a field that tableLock guards while other threads run.
    template <typename Read>
    auto locked(Read read) {
        SyncGuard hold(req.get(), table->tableLock);
        return read();
    }
    RecordingRequest req;
    HandTable table;
    quonProxy* reporter = nullptr;
};
}  // namespace cluster_test
