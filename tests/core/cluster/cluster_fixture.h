// A cluster of quon-backend servers on 127.0.0.2, .3 and .4 for the mappings-table
// tests, and readers of a table's entries and lists.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backend_process.h"
#include "property.h"
#include "recording_request.h"
#include "sync.h"
#include "table.h"

namespace cluster_test {

using backend_test::BackendProcess;
using Names = std::vector<std::string>;

// Polls done every few milliseconds until it holds or backend_test::kWait has passed.
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
    std::string props = "rep_id=SRV0\n";
    std::string mappings = "/app/*=app\n";
};
using Setups = std::vector<ServerSetup>;

class Cluster {
public:
    // One server per setup on 127.0.0.2, .3, ...; none lists members yet.
    explicit Cluster(const Setups& setups) {
        for (size_t i = 0; i < setups.size(); ++i) {
            servers.push_back(std::make_unique<BackendProcess>("127.0.0." + std::to_string(2 + i)));
            BackendProcess& s = *servers.back();
            EXPECT_TRUE(s.start({"--server-props", s.writeFile("server.props", setups[i].props),
                                 "--mappings", s.writeFile("mappings.props", setups[i].mappings),
                                 "--cluster", s.writeFile("cluster.props", ""), "--control",
                                 s.writeFile("control.props", "")}));
            refusing.push_back(false);
        }
    }
    const std::string& name(size_t i) const { return servers[i]->quonAddress(); }
    BackendProcess& operator[](size_t i) { return *servers[i]; }
    // A file in server 0's directory, which goes with the server.
    std::string file(const std::string& name) const { return servers[0]->path(name); }

    // Server i lists members under cluster-seq seq (0: none) from now on; control adds
    // settings ("fault=refuse\n" closes its listeners).
    void announce(size_t i, const Names& members, int seq, const std::string& control = "") {
        std::string list;
        for (size_t k = 0; k < members.size(); ++k)
            list += "s" + std::to_string(k) + "=" + members[k] + "\n";
        servers[i]->writeFile("cluster.props", list);
        servers[i]->writeFile("control.props",
                              "cluster-seq=" + std::to_string(seq) + "\n" + control);
        // The listeners close or reopen after the reload: wait for that as well.
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

// A table deleted at the end of the scope.
struct TableHandle {
    TableHandle(quon_request* req, const char* store, const char* bootstrap)
        : req(req), table(mappingsTableNew(req, store, bootstrap, 0)) {}
    ~TableHandle() { mappingsTableDelete(table, req); }
    mappingsTable* operator->() const { return table; }
    operator mappingsTable*() const { return table; }
    quon_request* req;
    mappingsTable* table;
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

// The cluster sequence number the server reports in a props exchange (-1: none).
inline int32_t reportedSeq(quon_request* req, quonProxy* proxy) {
    int32_t seq = -1;
    freeProperties(req, proxy->fetchProps(req, proxy, "server-props", &seq));
    return seq;
}

inline int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

}  // namespace cluster_test
