// A table's life: deletion and the capacity of its lists. Membership changed on many
// threads is met by the dispatch concurrency test.
#include "cluster_fixture.h"
#include "loopback_peer.h"

using namespace cluster_test;

namespace {
// A new proxy for name that serves mappings, added to the table; destroyed if it is not.
int join(mappingsTable* table, quon_request* req, const std::string& name, const char* mappings) {
    quonProxy* proxy = quonProxyNew(req);
    EXPECT_EQ(proxy->initProxy(proxy, req, name.c_str(), 0, 1), 0) << name;
    proxy->mappings = parseProperties(req, mappings);
    const int added = addProxy(table, proxy, req, 1);
    if (added != 0) proxy->destroy(proxy, req);
    return added;
}
}  // namespace

// Deletion closes every socket of the table's proxies; the ASan build finds anything it
// does not free, also of tables that did not initialise.
TEST(TableDelete, ClosesEverySocket) {
    Cluster cluster(Setups(3));
    cluster.announce(0, cluster.names(), 0);
    RecordingRequest req;
    const auto before = openDescriptors();
    mappingsTable* table = mappingsTableNew(req.get(), nullptr, cluster.name(0).c_str(), 0);
    ASSERT_EQ(table->initTable(table, req.get()), 0) << req.dump();
    EXPECT_EQ(openDescriptors(), before + 3) << "one idle connection per server";
    const int closed = cluster.logLines(2, "] closed: ");
    mappingsTableDelete(table, req.get());
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_TRUE(waitUntil([&] { return cluster.logLines(2, "] closed: ") > closed; }));
}

// A list holds 128 proxies. The master list takes no 129th server, by either road, and
// so no entry refers to a proxy that the table does not own.
TEST(TableCapacity, NoServerBeyondTheMasterList) {
    RecordingRequest req;
    HandTable table(req.get(), nullptr, nullptr);
    auto server = [](int i) { return "127.0.0.2:" + std::to_string(20000 + i); };
    const std::string full = " not added to the master list, the list already holds 128 servers";
    for (int i = 0; i <= QN_MAX_PROXIES; ++i)
        EXPECT_EQ(join(table, req.get(), server(i), "/shared*=s\n"), i < QN_MAX_PROXIES ? 0 : -1)
            << i;
    EXPECT_EQ(req.count("log", "proxy " + server(QN_MAX_PROXIES) + full), 1);
    // Every slot kept its server through each step of the lists' growth.
    Names expected;
    for (int i = 0; i < QN_MAX_PROXIES; ++i) expected.push_back(server(i) + ":1");
    EXPECT_EQ(slots(&table->servers), expected);
    EXPECT_EQ(slots(table->mappingProxies[0]), expected);
    // By name, a new server is not even created (ASan would find it lost).
    propertyTable* list = parseProperties(req.get(), ("s1=" + server(500) + "\n").c_str());
    EXPECT_EQ(addRemoteJvms(table, req.get(), list), 0);
    EXPECT_EQ(req.count("log", "proxy " + server(500) + full), 1);
}

// The index arrays grow as entries come, and each entry keeps its own list and settings
// through every move, also while insertion steps swap it back past the others. A master
// list that cannot grow takes no server, as a full one: no entry is made for it.
TEST(TableGrowth, EntriesKeepTheirListsAndAListThatCannotGrowIsFull) {
    RecordingRequest req;
    HandTable table(req.get());
    // After the first server's two entries, each longer prefix goes before all others.
    constexpr int n = 2 * QN_MAPPINGS_FIRST_CAPACITY + 1;
    ASSERT_EQ(join(table, req.get(), "127.0.0.2:1", "/x*=x\n*.jsp=j\n"), 0);
    std::string mappings;
    Names expected, owners;
    for (int i = 1; i <= n - 2; ++i) mappings += "/a" + std::string(size_t(i), 'a') + "*=a\n";
    ASSERT_EQ(join(table, req.get(), "127.0.0.3:1", mappings.c_str()), 0);
    for (int i = n - 2; i >= 1; --i) {
        expected.push_back("/a" + std::string(size_t(i), 'a') + "*=a");
        owners.push_back("127.0.0.3:1");
    }
    expected.insert(expected.end(), {"/x*=x", "*.jsp=j"});
    owners.insert(owners.end(), {"127.0.0.2:1", "127.0.0.2:1"});
    EXPECT_EQ(entries(table), expected);
    EXPECT_EQ(table->mappingCapacity, 4 * QN_MAPPINGS_FIRST_CAPACITY);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(slots(table->mappingProxies[i]), Names{owners[size_t(i)] + ":1"}) << i;
        EXPECT_EQ(table->mappingInfos[i]->hasActive, 1) << i;
    }
    for (int i = 4; i < QN_LIST_FIRST_CAPACITY + 2; ++i)
        ASSERT_EQ(join(table, req.get(), "127.0.0.2:" + std::to_string(i), "/x*=x\n"), 0);
    ASSERT_EQ(table->servers.count, QN_LIST_FIRST_CAPACITY);
    refusedBlockSize = QN_LIST_FIRST_CAPACITY * 2 * int(sizeof(quonProxy*) + sizeof(int32_t));
    req->permMalloc = refusingMalloc;
    EXPECT_EQ(join(table, req.get(), "127.0.0.9:1", "/new*=n\n/x*=x\n"), -1);
    req->permMalloc = qnMalloc;
    EXPECT_EQ(req.count("log",
                        "proxy 127.0.0.9:1 not added to the master list, the list "
                        "already holds 4 servers"),
              1);
    EXPECT_EQ(entries(table), expected);
    EXPECT_EQ(slots(table->mappingProxies[n - 2]).size(), size_t(QN_LIST_FIRST_CAPACITY - 1));
}
