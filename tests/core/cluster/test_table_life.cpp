// A table's life as a whole: deletion of what exists, the capacity of its lists, and
// membership changes on several threads at once.
#include "cluster_fixture.h"

#include <atomic>
#include <thread>

#include "loopback_peer.h"
#include "proxy_helpers.h"

using namespace cluster_test;

namespace {
struct DeleteCase {
    const char* name;
    bool initialise;  // from a cluster of three; else the bootstrap server refuses
};
void PrintTo(const DeleteCase& c, std::ostream* out) { *out << c.name; }
class TableDelete : public ::testing::TestWithParam<DeleteCase> {};
}  // namespace

// Everything the table made is freed (the ASan build finds any leak) and every socket
// of its proxies is closed.
TEST_P(TableDelete, FreesWhatExistsAndClosesEverySocket) {
    Cluster cluster(std::vector<ServerSetup>(3));
    cluster.announce(0, {cluster.name(0), cluster.name(1), cluster.name(2)}, 0,
                     GetParam().initialise ? "" : "fault=refuse\n");
    ScratchDir dir;
    RecordingRequest req;
    const int before = openDescriptors();
    mappingsTable* table = mappingsTableNew(req.get(), dir.file("missing").c_str(),
                                            cluster.name(0).c_str(), 0);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(tableSlots(table)->ignoreSuffixMap(table, req.get(), 1), 0);
    EXPECT_EQ(tableSlots(table)->ignoreSuffixMap(table, req.get(), 0), 1);
    EXPECT_EQ(tableSlots(table)->initTable(table, req.get()), GetParam().initialise ? 0 : -1);
    if (GetParam().initialise)
        EXPECT_EQ(openDescriptors(), before + 3) << "one idle connection per server";
    const int closedBefore = logCount(cluster[1], "] closed: ");
    mappingsTableDelete(table, req.get());
    EXPECT_EQ(openDescriptors(), before);
    if (GetParam().initialise) {
        EXPECT_TRUE(waitFor([&] { return logCount(cluster[1], "] closed: ") > closedBefore; }));
        EXPECT_EQ(req.count("trace", cluster.name(2) + " destroyed."), 1);
    }
    mappingsTableDelete(nullptr, req.get());
}

INSTANTIATE_TEST_SUITE_P(Tables, TableDelete,
                         ::testing::Values(DeleteCase{"NeverInitialised", false},
                                           DeleteCase{"WithPooledConnections", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A list holds 128 proxies. The master list takes no 129th server, by either road, and
// so no entry refers to a proxy that the table does not own.
TEST(TableCapacity, NoServerBeyondTheMasterList) {
    RecordingRequest req;
    TableHandle table(req.get(), nullptr, nullptr);
    auto server = [](int i) { return "127.0.0.2:" + std::to_string(20000 + i); };
    auto full = [&](const std::string& name) {
        return "proxy " + name + " not added to the master list, the list already holds 128 servers";
    };
    for (int i = 0; i <= QN_MAX_PROXIES; ++i) {
        quonProxy* proxy = quonProxyNew(req.get());
        ASSERT_EQ(proxy->initProxy(proxy, req.get(), server(i).c_str(), 0, 1), 0);
        proxy->mappings = parseProperties(req.get(), "/shared*=s\n");
        const int added = addProxy(table, proxy, req.get(), 1);
        EXPECT_EQ(added, i < QN_MAX_PROXIES ? 0 : -1) << i;
        if (added != 0) proxy->destroy(proxy, req.get());
    }
    EXPECT_EQ(req.count("log", full(server(QN_MAX_PROXIES))), 1);
    EXPECT_EQ(table->servers.count, QN_MAX_PROXIES);
    EXPECT_EQ(table->mappingProxies[0]->count, QN_MAX_PROXIES);

    // By name: a known server listed twice is re-activated and not counted; a new one is
    // not even created.
    removeProxy(table, table->servers.proxies[5], req.get(), 1);
    const std::string known = server(5), fresh = server(500);
    propertyTable* list = parseProperties(
        req.get(), ("s1=" + known + "\ns2=" + fresh + "\ns3=" + known + "\n").c_str());
    EXPECT_EQ(addRemoteJvms(table, req.get(), list, 1), 0);
    EXPECT_EQ(req.count("log", full(fresh)), 1);
    EXPECT_EQ(table->servers.active[5], 1);
    EXPECT_EQ(table->mappingProxies[0]->active[5], 1);
    EXPECT_EQ(table->servers.count, QN_MAX_PROXIES);
}

// Several threads change and read the membership at once. The ThreadSanitizer build
// checks the lock order (initLock, tableLock, a proxy's lock) and finds no race; a lock
// taken twice would show as a broken-mutex line or a hang.
TEST(TableConcurrency, MembershipChangesWhileListsAreRead) {
    Cluster cluster(std::vector<ServerSetup>(3, {"rep_id=SRV0\n", "/app/*=app\n*.jsp=jsp\n"}));
    cluster.announce(0, {cluster.name(0), cluster.name(1), cluster.name(2)}, 1);
    RecordingRequest main;
    TableHandle table(main.get(), nullptr, cluster.name(0).c_str());
    ASSERT_EQ(table->initTable(table, main.get()), 0);
    quonProxy* a = serverNamed(table, cluster.name(0));
    quonProxy* b = serverNamed(table, cluster.name(1));
    quonProxy* c = serverNamed(table, cluster.name(2));
    constexpr int kRounds = 20;
    std::atomic<int> badLists{0};
    std::vector<std::unique_ptr<RecordingRequest>> requests;
    for (int i = 0; i < 4; ++i) requests.push_back(std::make_unique<RecordingRequest>());
    std::vector<std::thread> threads;
    threads.emplace_back([&, req = requests[0]->get()] {
        for (int i = 0; i < kRounds; ++i) {
            removeProxy(table, b, req, 1);
            addProxy(table, b, req, 1);
        }
    });
    threads.emplace_back([&, req = requests[1]->get()] {
        for (int i = 0; i < kRounds; ++i) updateClusteredServers(table, req, a, 1);
    });
    threads.emplace_back([&, req = requests[2]->get()] {
        for (int i = 0; i < kRounds; ++i) updateProxy(table, c, req, 1);
    });
    threads.emplace_back([&, req = requests[3]->get()] {
        for (int i = 0; i < kRounds * 5; ++i) {
            SyncGuard guard(req, table->tableLock);
            for (int entry = 0; entry <= table->lastMappingIndex; ++entry)
                if (table->mappingProxies[entry]->count != 3) ++badLists;
            if (table->servers.count != 3) ++badLists;
        }
    });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(badLists.load(), 0);
    EXPECT_EQ(entries(table), (std::vector<std::string>{"/app*=app", "*.jsp=jsp"}));
    for (auto& req : requests) EXPECT_FALSE(req->contains("log", "broken mutex")) << req->dump();
}
