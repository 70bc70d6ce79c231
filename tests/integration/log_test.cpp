// What the module writes to Apache's error log under LogLevel alone (no Verbose, no
// traceflags): nothing for healthy requests at warn, and a bounded number of lines while
// every server is down. The level of each kind of line: tests/apache/test_adapter.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>

#include "quon_cluster.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr const char* kModuleLine = "qnApache[";

TEST(Logging, HealthyRequestsWriteNothingAtWarn) {
    QuonCluster cluster(2);
    cluster.useLogLevel("warn");
    ASSERT_TRUE(cluster.start());
    const int before = cluster.apache().countLog(kModuleLine);
    for (int k = 0; k < 200; ++k) ASSERT_EQ(cluster.get("/app/echo").status, 200) << k;
    EXPECT_EQ(cluster.apache().countLog(kModuleLine), before)
        << cluster.apache().errorLog();
}

// Every server is down for 1,000 requests, a lone server's or a cluster's: each kind of
// failure line of each server (and of the table) goes out once per interval, not once per
// request.
class Outage : public ::testing::TestWithParam<int> {};

TEST_P(Outage, WritesABoundedNumberOfLines) {
    QuonCluster cluster(GetParam());
    cluster.useLogLevel("warn");
    ASSERT_TRUE(cluster.start());
    for (int i = 0; i < cluster.size(); ++i) cluster.kill(i);
    const int before = cluster.apache().countLog(kModuleLine);
    const auto start = Clock::now();
    for (int k = 0; k < 1000; ++k) ASSERT_EQ(cluster.get("/app/echo").status, 503) << k;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
    const int lines = cluster.apache().countLog(kModuleLine) - before;
    // Per 10 s at most: a connect failure, a deferred error and an error page of each
    // server; the table's "NO servers reachable" and its error page. Once: each server's
    // "is down" from the health checks.
    const int windows = int(seconds.count() / 10) + 1;
    const int bound = (3 * cluster.size() + 2) * windows + cluster.size();
    RecordProperty("lines", lines);
    std::cout << "1000 requests in an outage of " << cluster.size() << " servers: " << lines
              << " lines in " << seconds.count() << " s\n";
    EXPECT_LE(lines, bound) << cluster.apache().errorLog();
    EXPECT_GT(lines, 0);
}

INSTANTIATE_TEST_SUITE_P(Logging, Outage, ::testing::Values(1, 3));
}  // namespace
