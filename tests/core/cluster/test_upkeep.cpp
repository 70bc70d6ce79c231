// What the upkeep does on its own thread, against real servers: a failed initialisation or
// member list is tried again after a wait, not on every pass. A listed server found
// unreachable is probed at once: availability_test.cpp.
#include "cluster_fixture.h"

#include "pool.h"
#include "upkeep.h"

using namespace cluster_test;

namespace {
// The bootstrap tries the record has traced.
int tries(const RecordingRequest& req, const Cluster& cluster) {
    return req.count("trace", "trying to bootstrap from \"" + cluster.name(0) + "\"");
}

int passes(mappingsTable* table, RecordingRequest& req, int count) {
    for (int k = 0; k < count; ++k) runUpkeep(table, req.get());
    return count;
}
}  // namespace

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
    passes(table, req, 5);
    EXPECT_EQ(tries(req, cluster), 1);
    table->initRetry.nextAttempt = 0;  // the wait has passed
    passes(table, req, 5);
    EXPECT_EQ(tries(req, cluster), 2);
    EXPECT_EQ(table->initRetry.wait, 4);
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
    passes(table, req, 3);
    EXPECT_EQ(fetches(), failedTry);
    EXPECT_EQ(table->clusterSeq, 1);
    cluster.announce(0, {cluster.name(0), cluster.name(1)}, 2);
    table->memberListRetry.nextAttempt = 0;
    passes(table, req, 3);
    EXPECT_EQ(fetches(), failedTry + 1);
    EXPECT_EQ(table->clusterSeq, 2);
    EXPECT_EQ(slots(&table->servers), Names({cluster.name(0) + ":1", cluster.name(1) + ":1"}));
    reportClusterSeq(table, req.get(), reporter, 2);
    passes(table, req, 2);
    EXPECT_EQ(fetches(), failedTry + 1);
}
