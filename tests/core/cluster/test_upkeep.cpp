// The table's upkeep (mapping refresh, probe of a server marked down, the cluster's
// member list) runs on a thread of its own with no table lock held during its exchanges:
// one that hangs holds up no request, and a killed server's stale pooled connections
// never bring it back. A failed initialisation or member list is tried again after a
// wait, not on every pass. A listed server found unreachable is probed at once:
// availability_test.cpp.
#include "cluster_fixture.h"

#include <future>

#include "loopback_peer.h"
#include "pool.h"
#include "proxy_helpers.h"
#include "upkeep.h"

using namespace cluster_test;

namespace {
// Far below any of the waits that hang, far above a filter call on a loaded machine.
constexpr auto kBound = std::chrono::milliseconds(1500);

// One pass of the upkeep on slow, in a thread of its own, until hangs says its exchange
// hangs; then filterRequest of /app/x on other must return within the bound while the
// pass still hangs, until endHang.
void filterWhileUpkeepHangs(
    mappingsTable* table, RecordingRequest& slow, RecordingRequest& other,
    const std::function<bool()>& hangs, const std::function<void()>& endHang = [] {}) {
    auto upkeep = std::async(std::launch::async, [&] { runUpkeep(table, slow.get()); });
    EXPECT_TRUE(waitUntil(hangs));
    other->uri = "/app/x";
    auto quick =
        std::async(std::launch::async, [&] { return table->filterRequest(table, other.get(), 1); });
    EXPECT_EQ(quick.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(upkeep.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    endHang();
    EXPECT_EQ(quick.get(), 0);
    upkeep.get();
}

// The bootstrap tries the record has traced.
int tries(const RecordingRequest& req, const Cluster& cluster) {
    return req.count("trace", "trying to bootstrap from \"" + cluster.name(0) + "\"");
}
}  // namespace

TEST(UpkeepOutsideTheLock, AHungRefreshHoldsUpNoFilter) {
    Cluster cluster({ServerSetup{"mapcheck=1\n"}});
    ClusterTable t(cluster, cluster.names(), 1, 1);
    const std::string a = cluster.name(0);
    quonProxy* proxy = t.reporter;
    const int fetches = cluster.logLines(0, "PROXY_GET_PROPS servlet-mappings");
    cluster.announce(0, {a}, 1, "props-fault=never-answer\n");
    proxy->nextMapCheckTime = 0;
    RecordingRequest slow, other;
    filterWhileUpkeepHangs(
        t.table, slow, other,
        [&] { return cluster.logLines(0, "PROXY_GET_PROPS servlet-mappings") > fetches; },
        [&] { cluster.kill(0); });
    EXPECT_EQ(other.count("trace", "refreshing mappings for " + a), 0) << other.dump();
    EXPECT_EQ(slow.count("trace", "refreshing mappings for " + a), 1) << slow.dump();
}

TEST(UpkeepOutsideTheLock, AHungProbeHoldsUpNoFilter) {
    Cluster cluster(Setups(2, ServerSetup{"mapcheck=0\n"}));
    ClusterTable t(cluster, cluster.names(), 1, 1);
    const int32_t slot = t.slotOf(cluster, 1);
    quonProxy* down = t.table->servers.proxies[slot];
    removeProxy(t.table, down, t.req.get(), 1);
    FullBacklogListener hole("127.0.0.9");  // connects to it run out their time
    ASSERT_TRUE(hole.full());
    down->pool->addresses[0] = addressOf(hole.address());
    down->pool->addressCount = 1;
    down->nextProxyRetryTime = int32_t(time(nullptr)) - 1;
    RecordingRequest slow, other;
    slow->connectTimeout = 4000;
    slow->resolve = resolverDown;  // the probe keeps the hole's address
    filterWhileUpkeepHangs(t.table, slow, other, [&] {
        return t.locked([&] { return t.table->upkeepBusy[slot]; }) == 1;
    });
    EXPECT_TRUE(slow.contains("log", "connect failed")) << slow.dump();
    EXPECT_FALSE(other.contains("log", "connect failed")) << other.dump();
    EXPECT_EQ(t.locked([&] { return t.table->servers.active[slot] + t.table->upkeepBusy[slot]; }),
              0);
}

// A reported number is handed to the upkeep; its fetch hangs there, not in a request.
TEST(UpkeepOutsideTheLock, AHungMemberListFetchHoldsUpNoFilter) {
    Cluster cluster(Setups(2));
    ClusterTable t(cluster, cluster.names(), 1, 1);
    const std::string a = cluster.name(0);
    quonProxy* reporter = t.reporter;
    cluster.announce(0, {a, cluster.name(1)}, 2, "props-fault=never-answer\n");
    RecordingRequest reporting, slow, other;
    const int fetches = cluster.logLines(0, "PROXY_GET_PROPS clustered-servers");
    reportClusterSeq(t.table, reporting.get(), reporter, 2);
    EXPECT_EQ(cluster.logLines(0, "PROXY_GET_PROPS clustered-servers"), fetches);
    filterWhileUpkeepHangs(
        t.table, slow, other,
        [&] { return cluster.logLines(0, "PROXY_GET_PROPS clustered-servers") > fetches; },
        [&] { cluster.kill(0); });
    EXPECT_EQ(slow.count("traceE", a + " clustered-servers not updated"), 1) << slow.dump();
    // The number stays 1, or is 0 when the same pass found the killed server's mappings due
    // (a failed exchange makes them so) and removed it; the reported 2 is not applied.
    EXPECT_LT(t.table->clusterSeq, 2);
}

// Idle connections to a server killed with SIGKILL still take a ping (it goes into the
// kernel's buffer): the probe of a server marked down must reach the server itself.
TEST(UpkeepOutsideTheLock, StalePooledConnectionsDoNotReviveAKilledServer) {
    Cluster cluster(Setups(2, ServerSetup{"mapcheck=0\n"}));
    ClusterTable t(cluster, cluster.names(), 1, 1);
    const int32_t slot = t.slotOf(cluster, 1);
    quonProxy* proxy = t.table->servers.proxies[slot];
    const int pings = cluster.logLines(1, "] PROXY_PING");
    quonConnection* taken[3];
    int opened = 0;  // a new connection is pinged; a pooled one had its answer read
    for (quonConnection*& conn : taken) {
        conn = getQuonConnectionFromPool(proxy, t.req.get());
        ASSERT_NE(conn, nullptr);
        opened += conn->next == nullptr;
    }
    // Idle connections have nothing unread: the killed server's end closes without a reset.
    ASSERT_TRUE(waitUntil([&] { return cluster.logLines(1, "] PROXY_PING") >= pings + opened; }));
    cluster.kill(1);
    removeProxy(t.table, proxy, t.req.get(), 1);
    // Exchanges that were in flight leave their connections idle after the removal: as a
    // return does, without a buffer, but also without clearing the retry time.
    for (quonConnection* conn : taken) {
        t.req->permFree(t.req.get(), conn->buffer);
        conn->buffer = nullptr;
        SyncGuard hold(t.req.get(), proxy->lock);
        appendIdleConnection(proxy->pool, conn);
    }
    auto probeNow = [&] {
        proxy->nextProxyRetryTime = int32_t(time(nullptr)) - 1;
        RecordingRequest req;
        runUpkeep(t.table, req.get());
        return t.table->servers.active[slot];
    };
    EXPECT_EQ(probeNow(), 0);
    EXPECT_EQ(proxy->serverInfo->active, 0);
    EXPECT_EQ(proxy->pool->freeList, nullptr);
    ASSERT_TRUE(cluster.restart(1));
    EXPECT_EQ(probeNow(), 1);
    EXPECT_EQ(slots(t.table->mappingProxies[0]),
              Names({cluster.name(0) + ":1", cluster.name(1) + ":1"}));
}

// While the bootstrap server refuses, passes before the next try is due try nothing; the
// first failure waits a second, the next two. Once the server answers, the next due try
// succeeds.
TEST(UpkeepRetry, AFailedInitialisationIsTriedAgainAfterAGrowingWait) {
    Cluster cluster(Setups(1));
    cluster.announce(0, {cluster.name(0)}, 0, "fault=refuse\n");
    RecordingRequest req;
    HandTable table(req.get(), nullptr, cluster.name(0).c_str(), 60);
    const int32_t first = nowSeconds();
    runUpkeep(table, req.get());
    EXPECT_EQ(tries(req, cluster), 1);
    EXPECT_EQ(table->initRetry.wait, 2);
    EXPECT_TRUE(table->initRetry.nextAttempt >= first + 1 &&
                table->initRetry.nextAttempt <= nowSeconds() + 1);
    table->initRetry.nextAttempt = nowSeconds() + 60;
    for (int k = 0; k < 5; ++k) runUpkeep(table, req.get());
    EXPECT_EQ(tries(req, cluster), 1);
    table->initRetry.nextAttempt = 0;  // the wait has passed
    for (int k = 0; k < 5; ++k) runUpkeep(table, req.get());
    EXPECT_EQ(tries(req, cluster), 2);
    EXPECT_EQ(table->initRetry.wait, 4);
    // The waits stop growing at five seconds, whatever the table's retry interval (60).
    for (int wait : {5, 5}) {
        table->initRetry.nextAttempt = 0;
        runUpkeep(table, req.get());
        EXPECT_EQ(table->initRetry.wait, wait);
        EXPECT_LE(table->initRetry.nextAttempt, nowSeconds() + 5);
    }
    // A request for the table brings the next try forward, once the wait is long.
    table->initRetry.nextAttempt = nowSeconds() + 60;
    table->lastInitMono = 1;
    const int before = tries(req, cluster);
    wantInitialisation(table);
    runUpkeep(table, req.get());
    EXPECT_EQ(tries(req, cluster), before + 1);
    runUpkeep(table, req.get());
    EXPECT_EQ(tries(req, cluster), before + 1);
    cluster.announce(0, {cluster.name(0)}, 0);
    table->initRetry.nextAttempt = 0;
    runUpkeep(table, req.get());
    EXPECT_EQ(mappingsTableReady(table), 1) << req.dump();
    EXPECT_EQ(table->initRetry.wait, 0);
}

// A number reported again, or while its list fails, fetches nothing; the list of a failed
// try is fetched again once its wait has passed.
TEST(UpkeepRetry, AReportedNumberIsFetchedOnceAndAFailureWaits) {
    Cluster cluster(Setups(2));
    RecordingRequest req;
    HandTable table(req.get(), nullptr, cluster.name(0).c_str(), 60);
    cluster.announce(0, {cluster.name(0)}, 1);
    ASSERT_EQ(table->initTable(table, req.get()), 0) << req.dump();
    quonProxy* reporter = serverNamed(table, cluster.name(0));
    const auto fetches = [&] { return cluster.logLines(0, "PROXY_GET_PROPS clustered-servers"); };
    const int before = fetches();
    cluster.announce(0, {cluster.name(0), cluster.name(1)}, 2, "props-fault=close-before-code\n");
    for (int k = 0; k < 3; ++k) reportClusterSeq(table, req.get(), reporter, 2);
    runUpkeep(table, req.get());
    const int failedTry = fetches();  // a pooled connection that breaks is tried twice
    EXPECT_GT(failedTry, before);
    EXPECT_GT(table->memberListRetry.nextAttempt, 0);
    table->memberListRetry.nextAttempt = nowSeconds() + 60;
    for (int k = 0; k < 3; ++k) runUpkeep(table, req.get());
    EXPECT_EQ(fetches(), failedTry);
    EXPECT_EQ(table->clusterSeq, 1);
    cluster.announce(0, {cluster.name(0), cluster.name(1)}, 2);
    table->memberListRetry.nextAttempt = 0;
    for (int k = 0; k < 3; ++k) runUpkeep(table, req.get());
    EXPECT_EQ(fetches(), failedTry + 1);
    EXPECT_EQ(table->clusterSeq, 2);
    EXPECT_EQ(slots(&table->servers), Names({cluster.name(0) + ":1", cluster.name(1) + ":1"}));
    reportClusterSeq(table, req.get(), reporter, 2);
    for (int k = 0; k < 2; ++k) runUpkeep(table, req.get());
    EXPECT_EQ(fetches(), failedTry + 1);
    // A number not seen before, reported while a failed list waits, is fetched at once.
    cluster.announce(0, {cluster.name(0), cluster.name(1)}, 3, "props-fault=close-before-code\n");
    reportClusterSeq(table, req.get(), reporter, 3);
    runUpkeep(table, req.get());
    const int thirdFailed = fetches();
    EXPECT_GT(thirdFailed, failedTry + 1);
    EXPECT_GT(table->memberListRetry.nextAttempt, nowSeconds());
    cluster.announce(0, {cluster.name(0), cluster.name(1)}, 4);
    reportClusterSeq(table, req.get(), reporter, 4);
    runUpkeep(table, req.get());
    EXPECT_EQ(fetches(), thirdFailed + 1);
    EXPECT_EQ(table->clusterSeq, 4);
}

// Requests for a table not ready bring its next try forward once in each wait of the
// back-off, not sooner than 250 ms after the last try, and no more than once a second in
// the whole web server for one bootstrap server: a second table of it (another child's)
// finds that turn taken.
TEST(UpkeepRetry, RequestsBringATryForwardOncePerWaitAndOnceASecondInAll) {
    RefusingPort refused("127.0.0.6");
    const std::string name = serverName(refused.address());
    RecordingRequest req, otherReq;
    HandTable table(req.get(), nullptr, name.c_str(), 60);
    HandTable other(otherReq.get(), nullptr, name.c_str(), 60);
    auto pass = [](HandTable& t, RecordingRequest& r, bool wanted) {
        if (wanted) wantInitialisation(t);
        runUpkeep(t, r.get());
        return r.count("trace",
                       "trying to bootstrap from \"" + std::string(t->bootstrapServer) + "\"");
    };
    EXPECT_EQ(pass(table, req, false), 1);
    EXPECT_EQ(pass(other, otherReq, false), 1);
    table->initRetry.nextAttempt = other->initRetry.nextAttempt = nowSeconds() + 60;
    EXPECT_EQ(pass(table, req, true), 1);  // within 250 ms of the last try
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(pass(table, req, true), 2);
    EXPECT_EQ(pass(other, otherReq, true), 1);  // the web server's turn of this second is taken
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(pass(table, req, true), 2);  // this wait's turn is taken
    // The next wait of the back-off brings one more.
    table->initRetry.nextAttempt = 0;
    EXPECT_EQ(pass(table, req, false), 3);
    table->initRetry.nextAttempt = nowSeconds() + 60;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(pass(table, req, true), 4);
}

// A table started from its store while the bootstrap server was down: once its stored
// server is gone and the bootstrap server answers again, the upkeep asks it, and the
// servers it lists take the table's requests.
TEST(UpkeepRetry, AStoreStartedTableAsksTheBootstrapServerOnceItsServersAreGone) {
    Cluster cluster(Setups(2));
    const std::string store = cluster.file("boot.store");
    std::ofstream(store) << "proxyservers=" << cluster.name(1) << ";";
    cluster.announce(0, {cluster.name(0)}, 3, "fault=refuse\n");
    RecordingRequest req;
    HandTable table(req.get(), store.c_str(), cluster.name(0).c_str(), 1);
    ASSERT_EQ(table->initTable(table, req.get()), 0) << req.dump();
    ASSERT_EQ(slots(&table->servers), Names({cluster.name(1) + ":1"}));
    cluster.announce(1, {}, 0, "fault=refuse\n");
    removeProxy(table, serverNamed(table, cluster.name(1)), req.get(), 1);  // as the checks do
    cluster.announce(0, {cluster.name(0)}, 3);
    EXPECT_TRUE(waitUntil(
        [&] {
            runUpkeep(table, req.get());
            return hasProxyNamed(table, cluster.name(0).c_str()) >= 0;
        },
        std::chrono::seconds(5)))
        << req.dump();
    EXPECT_EQ(table->mappingInfos[0]->hasActive, 1);
}
