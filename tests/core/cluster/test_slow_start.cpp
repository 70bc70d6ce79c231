// Slow start: the share of new requests a server gets while it warms up, against the
// others of its entry, at moments through its slow start; who is in one at all.
#include <cstdlib>

#include "balance.h"
#include "clock.h"
#include "cluster_fixture.h"
#include "proxy_helpers.h"
#include "slow_start.h"

namespace {
// Servers A, B and C by round robin; C came back (or joined) upForMs ago, with a slow
// start of ten seconds. Its requests against B's, over many: the share it is due.
struct Row {
    const char* what;
    int64_t upForMs;
    bool cameBack, lateJoin;
    double share;  // of B's requests that C gets
};

class SlowStart : public ::testing::TestWithParam<Row> {};

TEST_P(SlowStart, GrowsTheShareOfAReturningServer) {
    const Row& row = GetParam();
    RecordingRequest req;
    HandTable table(req.get());
    table.addEntry("/app*", QN_ROUNDROBIN, 0, {{"A"}, {"B"}, {"C"}});
    table->slowStartSeconds = 10;
    const int64_t now = qnMonoMillis();
    table->firstJoinMono = now - 60'000;
    quonProxy* c = table->servers.proxies[2];
    c->upSinceMono = now - row.upForMs;
    c->downSinceMono = row.cameBack ? now - row.upForMs - 1000 : 0;
    if (!row.lateJoin) table->firstJoinMono = now - row.upForMs - 1000;
    srand(7);
    int counts[3] = {};
    for (int call = 0; call < 6000; ++call) {
        quonProxy* chosen = selectProxy(table.get(), req.get(), 0, nullptr);
        ASSERT_NE(chosen, nullptr);
        for (int k = 0; k < 3; ++k) counts[k] += chosen == table->servers.proxies[k];
    }
    const double share = double(counts[2]) / counts[1];
    EXPECT_NEAR(share, row.share, row.share * 0.2 + 0.01) << counts[0] << " " << counts[1];
}

INSTANTIATE_TEST_SUITE_P(
    Balancing, SlowStart,
    ::testing::Values(Row{"just back", 0, true, false, QN_SLOW_START_LEAST},
                      Row{"a quarter through", 2500, true, false, 0.25},
                      Row{"three quarters through", 7500, true, false, 0.75},
                      Row{"through", 10000, true, false, 1.0},
                      Row{"a late member half through", 5000, false, true, 0.5},
                      Row{"a member that started with the table", 2500, false, false, 1.0}),
    [](const auto& info) { return testName(info.param.what); });

// Every server warming up at once: none is held back, each keeps its turn.
TEST(Balancing, ServersThatAllWarmUpAreAllUsed) {
    RecordingRequest req;
    HandTable table(req.get());
    table.addEntry("/app*", QN_ROUNDROBIN, 0, {{"A"}, {"B"}});
    table->slowStartSeconds = 30;
    const int64_t now = qnMonoMillis();
    for (int k = 0; k < 2; ++k) {
        table->servers.proxies[k]->upSinceMono = now - 100;
        table->servers.proxies[k]->downSinceMono = now - 5000;
    }
    std::string chosen;
    for (int call = 0; call < 6; ++call)
        chosen += selectProxy(table.get(), req.get(), 0, nullptr)->name;
    EXPECT_EQ(chosen, "ABABAB");
}
}  // namespace
