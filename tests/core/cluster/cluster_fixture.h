// A cluster of quon-backend servers on 127.0.0.2, .3 and .4 for the mappings-table
// tests, and readers of a table's entries and lists.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <filesystem>
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

// Occurrences of text in server i's log.
inline int logCount(const BackendProcess& server, const std::string& text) {
    const std::string log = server.logText();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
}

// Polls done every few milliseconds until it holds or backend_test::kWait has passed.
template <typename Done>
bool waitFor(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + backend_test::kWait;
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

// What one server announces: its "server-props" and "servlet-mappings" texts.
struct ServerSetup {
    std::string props = "rep_id=SRV0\n";
    std::string mappings = "/app/*=app\n";
};

class Cluster {
public:
    // Starts one server per setup on 127.0.0.2, .3, ...; each lists no members yet.
    explicit Cluster(const std::vector<ServerSetup>& setups, const std::string& control = "") {
        for (size_t i = 0; i < setups.size(); ++i) {
            auto server = std::make_unique<BackendProcess>("127.0.0." + std::to_string(2 + i));
            std::vector<std::string> options = {
                "--server-props", server->writeFile("server.props", setups[i].props),
                "--mappings", server->writeFile("mappings.props", setups[i].mappings),
                "--cluster", server->writeFile("cluster.props", ""),
                "--control", server->writeFile("control.props", control)};
            EXPECT_TRUE(server->start(options)) << backend_test::readFile(server->path("stderr"));
            servers.push_back(std::move(server));
            refusing.push_back(control.find("fault=refuse") != std::string::npos);
        }
    }
    const std::string& name(size_t i) const { return servers[i]->quonAddress(); }
    BackendProcess& operator[](size_t i) { return *servers[i]; }

    // Server i lists the given members under cluster-seq seq (0: none), from now on.
    void announce(size_t i, const std::vector<std::string>& members, int seq,
                  const std::string& control = "") {
        std::string list;
        for (size_t k = 0; k < members.size(); ++k)
            list += "s" + std::to_string(k + 1) + "=" + members[k] + "\n";
        servers[i]->writeFile("cluster.props", list);
        servers[i]->writeFile("control.props",
                              (seq ? "cluster-seq=" + std::to_string(seq) + "\n" : "") + control);
        // The listeners close and reopen after the reload: wait for that as well.
        const bool refuse = control.find("fault=refuse") != std::string::npos;
        const std::string line =
            (refuse ? "refusing connections on " : "accepting connections on ") + name(i);
        const int seen = logCount(*servers[i], line);
        EXPECT_TRUE(servers[i]->reload());
        if (refuse != refusing[i])
            EXPECT_TRUE(waitFor([&] { return logCount(*servers[i], line) > seen; })) << line;
        refusing[i] = refuse;
    }
    void setMappings(size_t i, const std::string& mappings) {
        servers[i]->writeFile("mappings.props", mappings);
        EXPECT_TRUE(servers[i]->reload());
    }

    std::vector<std::unique_ptr<BackendProcess>> servers;
    std::vector<bool> refusing;
};

// A table deleted at the end of the scope.
struct TableHandle {
    TableHandle(quon_request* req, const char* store, const char* bootstrap, int retry = 0)
        : req(req), table(mappingsTableNew(req, store, bootstrap, retry)) {}
    ~TableHandle() { mappingsTableDelete(table, req); }
    mappingsTable* operator->() const { return table; }
    operator mappingsTable*() const { return table; }
    quon_request* req;
    mappingsTable* table;
};

// "pattern=value" of every entry, in index order.
inline std::vector<std::string> entries(const mappingsTable* table) {
    std::vector<std::string> all;
    for (int i = 0; i < table->mappings->count; ++i)
        all.push_back(std::string(table->mappings->entries[i].key) + "=" +
                      table->mappings->entries[i].value);
    return all;
}

// "name:flag" of every slot of a list.
inline std::vector<std::string> slots(const proxyList* list) {
    std::vector<std::string> all;
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
    propertyTable* props = proxy->fetchProps(req, proxy, "server-props", &seq);
    freeProperties(req, props);
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

// A directory of the test's own, removed with it, for store files.
class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/quon-store-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made ? made : "";
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace cluster_test
