// A process's health checker on a table of real servers: a server that dies or goes
// silent is taken out of the table once the checks miss it twice, said once; one that
// answers again is put back. Turns are driven by the test, on a board of its own.
#include "cluster_fixture.h"

#include <chrono>
#include <algorithm>
#include <memory>
#include <vector>

#include "checks.h"
#include "health.h"
#include "table_lists.h"

using namespace cluster_test;

namespace {
// A table of two servers bootstrapped from server 0, and a checker of it on a board
// that no other test shares.
struct Checked {
    explicit Checked(Cluster& cluster)
        : board(std::make_unique<qnHealthBoard>()),
          table(req.get(), nullptr, cluster.name(0).c_str(), 0) {
        qnHealthBoardInit(board.get());
        qnSetHealthBoard(board.get());
        cluster.announce(0, cluster.names(), 1);
        EXPECT_EQ(table->initTable(table, req.get()), 0) << req.dump();
        mappingsTable* tables[] = {table};
        checker = qnCheckerNew(req.get(), tables, 1);
    }
    ~Checked() {
        qnCheckerDelete(checker);
        qnSetHealthBoard(nullptr);
    }
    // Turns until done() holds, at most limit; whether it did.
    template <typename Done>
    bool turnUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(4)) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            qnCheckerTurn(checker, req.get(), 50);
            if (done()) return true;
        }
        return false;
    }
    bool active(const std::string& name) {
        SyncGuard hold(req.get(), table->tableLock);
        const int32_t slot = hasProxyNamed(table, name.c_str());
        return slot >= 0 && table->servers.active[slot] != 0;
    }
    std::unique_ptr<qnHealthBoard> board;
    RecordingRequest req;
    HandTable table;
    qnChecker* checker = nullptr;
};
}  // namespace

TEST(Checker, TakesADeadOrSilentServerOutAndBringsItBack) {
    Cluster cluster(Setups(2));
    Checked c(cluster);
    const std::string b = cluster.name(1);
    ASSERT_TRUE(c.turnUntil([&] {
        const qnHealthSlot* slot = qnHealthFind(c.board.get(), b.c_str());
        return slot && slot->verdict.load() == QN_HEALTH_UP;
    }));
    quonProxy* proxy = serverNamed(c.table, b);
    EXPECT_EQ(proxy->health.load(), qnHealthFind(c.board.get(), b.c_str()));

    // Silent: connections taken, nothing answered. The verdict says why.
    cluster.announce(1, cluster.names(), 1, "props-fault=never-answer\n");
    EXPECT_TRUE(c.turnUntil([&] { return !c.active(b); })) << c.req.dump();
    EXPECT_EQ(c.req.count("log", b + " is down (no answer in time), 1 of 2 left in -"), 1);
    const uint32_t epoch = proxy->outEpoch.load();
    EXPECT_GT(epoch, 0u);
    // A member list that names it says it belongs, not that it answers: while the checks
    // watch it, they alone bring it back, even with no retry time to go by (an interval of 0).
    proxy->nextProxyRetryTime = 0;
    cluster.announce(0, cluster.names(), 2);
    EXPECT_EQ(
        updateClusteredServers(c.table, c.req.get(), serverNamed(c.table, cluster.name(0)), 2), 1)
        << c.req.dump();
    EXPECT_FALSE(c.active(b));
    cluster.announce(1, cluster.names(), 1);
    EXPECT_TRUE(c.turnUntil([&] { return c.active(b); }, std::chrono::seconds(2)));
    EXPECT_EQ(proxy->nextProxyRetryTime.load(), 0);

    // Dead, then started again on its port.
    cluster.kill(1);
    EXPECT_TRUE(c.turnUntil([&] { return !c.active(b); })) << c.req.dump();
    EXPECT_EQ(c.req.count("log", b + " is down (connection refused), 1 of 2 left in -"), 1);
    EXPECT_GT(proxy->outEpoch.load(), epoch);
    ASSERT_TRUE(cluster.restart(1));
    EXPECT_TRUE(c.turnUntil([&] { return c.active(b); }, std::chrono::seconds(2)));
    EXPECT_TRUE(c.req.contains("log", b + " is up again after ")) << c.req.dump();
    EXPECT_TRUE(c.active(cluster.name(0)));
}

// Five virtual hosts: four list 128 servers each, enough to fill the board, the fifth one
// server. Each takes no more than its share of the slots, so the fifth's server is checked.
TEST(Checker, EachTableTakesItsShareOfTheBoard) {
    auto board = std::make_unique<qnHealthBoard>();
    qnHealthBoardInit(board.get());
    qnSetHealthBoard(board.get());
    RecordingRequest req;
    std::vector<std::unique_ptr<HandTable>> tables;
    std::vector<std::vector<std::string>> names(5);
    for (int t = 0; t < 5; ++t) {
        tables.push_back(std::make_unique<HandTable>(req.get()));
        names[size_t(t)].reserve(QN_MAX_PROXIES);  // the specs point into the names
        std::vector<ServerSpec> servers;
        for (int k = 0; k < (t < 4 ? QN_MAX_PROXIES : 1); ++k) {
            names[size_t(t)].push_back("t" + std::to_string(t) + "-" + std::to_string(k) + ":1");
            servers.push_back({names[size_t(t)].back().c_str()});
        }
        (*tables.back()).addEntry("/app*", QN_ROUNDROBIN, 0, servers);
    }
    std::vector<mappingsTable*> all;
    for (auto& t : tables) all.push_back(t->get());
    qnChecker* checker = qnCheckerNew(req.get(), all.data(), int(all.size()));
    qnCheckerTurn(checker, req.get(), 0);
    for (int t = 0; t < 5; ++t) {
        const auto slotted = std::count_if(
            names[size_t(t)].begin(), names[size_t(t)].end(),
            [&](const std::string& n) { return qnHealthFind(board.get(), n.c_str()) != nullptr; });
        EXPECT_EQ(slotted, t < 4 ? QN_HEALTH_SLOTS / 5 : 1) << t;
    }
    qnCheckerDelete(checker);
    qnSetHealthBoard(nullptr);
}
