// A table's life: deletion and the capacity of its lists. Membership changed on many
// threads is met by the dispatch concurrency test.
#include "cluster_fixture.h"

#include <filesystem>

using namespace cluster_test;

// Deletion closes every socket of the table's proxies; the ASan build finds anything it
// does not free, also of tables that did not initialise.
TEST(TableDelete, ClosesEverySocket) {
    Cluster cluster(Setups(3));
    cluster.announce(0, {cluster.name(0), cluster.name(1), cluster.name(2)}, 0);
    auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    RecordingRequest req;
    const auto before = descriptors();
    mappingsTable* table = mappingsTableNew(req.get(), nullptr, cluster.name(0).c_str(), 0);
    ASSERT_EQ(table->initTable(table, req.get()), 0) << req.dump();
    EXPECT_EQ(descriptors(), before + 3) << "one idle connection per server";
    const int closed = cluster.logLines(2, "] closed: ");
    mappingsTableDelete(table, req.get());
    EXPECT_EQ(descriptors(), before);
    EXPECT_TRUE(waitUntil([&] { return cluster.logLines(2, "] closed: ") > closed; }));
}

// A list holds 128 proxies. The master list takes no 129th server, by either road, and
// so no entry refers to a proxy that the table does not own.
TEST(TableCapacity, NoServerBeyondTheMasterList) {
    RecordingRequest req;
    HandTable table(req.get(), nullptr, nullptr);
    auto server = [](int i) { return "127.0.0.2:" + std::to_string(20000 + i); };
    const std::string full = " not added to the master list, the list already holds 128 servers";
    for (int i = 0; i <= QN_MAX_PROXIES; ++i) {
        quonProxy* proxy = quonProxyNew(req.get());
        ASSERT_EQ(proxy->initProxy(proxy, req.get(), server(i).c_str(), 0, 1), 0);
        proxy->mappings = parseProperties(req.get(), "/shared*=s\n");
        const int added = addProxy(table, proxy, req.get(), 1);
        EXPECT_EQ(added, i < QN_MAX_PROXIES ? 0 : -1) << i;
        if (added != 0) proxy->destroy(proxy, req.get());
    }
    EXPECT_EQ(req.count("log", "proxy " + server(QN_MAX_PROXIES) + full), 1);
    EXPECT_EQ(table->servers.count, QN_MAX_PROXIES);
    EXPECT_EQ(table->mappingProxies[0]->count, QN_MAX_PROXIES);
    // By name, a new server is not even created (ASan would find it lost).
    propertyTable* list = parseProperties(req.get(), ("s1=" + server(500) + "\n").c_str());
    EXPECT_EQ(addRemoteJvms(table, req.get(), list, 1), 0);
    EXPECT_EQ(req.count("log", "proxy " + server(500) + full), 1);
}
