// Back-end trouble costs only the requests that need the sick server, through a real Apache:
// what Apache serves itself never waits for the connector's upkeep, and a server that comes
// back is used again within seconds, whatever its retry interval.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>

#include "loopback_peer.h"
#include "proxy_helpers.h"
#include "quon_cluster.h"

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using backend_test::waitUntil;

// Eight requests at once, four for Apache's own file and four mapped: each is answered
// well within the 5 s that a connect or receive of the upkeep would cost.
void expectNobodyWaits(ApacheServer& apache, long mappedStatus) {
    const std::string index = apache.dir() + "/htdocs/index.html";
    std::ofstream(index) << "served by Apache itself\n";
    shareWithApacheUser(index);
    std::vector<std::future<std::pair<long, Clock::duration>>> calls;
    for (int k = 0; k < 8; ++k)
        calls.push_back(std::async(std::launch::async, [&, k] {
            const auto start = Clock::now();
            const long status = httpGet(apache.url(k % 2 ? "/app/echo" : "/index.html")).status;
            return std::make_pair(status, Clock::now() - start);
        }));
    for (int k = 0; k < 8; ++k) {
        auto [status, took] = calls[size_t(k)].get();
        EXPECT_LT(took, 2s) << k;
        EXPECT_EQ(status, k % 2 ? mappedStatus : 200) << k;
    }
}

// The bootstrap server's address accepts nothing: the table is never initialised, mapped
// requests are declined at once (no store remembers their patterns), Apache's own are
// served at once.
TEST(Availability, ABlackHoledBootstrapServerDelaysNoRequest) {
    FullBacklogListener hole("127.0.0.9");
    ASSERT_TRUE(hole.full());
    ApacheServer apache(ApacheOptions{.directives = "QuonConfig bootstrap " +
                                                    serverName(hole.address()) +
                                                    "\nQuonConfig connecttimeout 5\n"});
    ASSERT_TRUE(apache.start());
    for (int round = 0; round < 2; ++round) expectNobodyWaits(apache, 404);
    // Without a store that knows its patterns, the child says once why they fall to Apache.
    EXPECT_EQ(apache.countLog("no server has answered yet and the server store knows no URL "
                              "patterns of it"),
              1);
}

// A member that the cluster announces accepts connections and never answers: its join hangs
// on the upkeep thread while every request, mapped ones included, is served.
TEST(Availability, AMemberThatNeverAnswersDelaysNoRequest) {
    QuonCluster cluster(1);
    ASSERT_TRUE(cluster.start("QuonConfig recvtimeout 30\n"));
    LoopbackPeer silent("127.0.0.9");  // connects complete into its backlog, unanswered
    ASSERT_TRUE(silent.listening());
    cluster[0].writeFile("cluster.props", "SRV1=" + cluster.address(0) + "\nSRV9=" +
                                              serverName(silent.address()) + "\n");
    cluster[0].writeFile("control.props", "cluster-seq=2\n");
    ASSERT_TRUE(cluster[0].reload());
    ASSERT_EQ(cluster.get("/app/echo").status, 200);  // carries the new number
    ASSERT_TRUE(cluster.apache().waitForLog("cluster info is stale 2"));
    expectNobodyWaits(cluster.apache(), 200);
}

// A restarted server is listed again under a new number: it is probed at once and takes
// requests within seconds, though this child found it unreachable under the default retry
// interval of ten minutes. Listed while it is still down, it is not taken back unprobed.
TEST(Availability, ARestartedServerIsUsedAgainWithinSeconds) {
    QuonCluster cluster(2);
    cluster.useDefaultRetryInterval();
    ASSERT_TRUE(cluster.start());
    // The start waits for the first server only: the second must be in the table before it
    // goes, or no request ever tries it.
    ASSERT_TRUE(cluster.apache().waitForLog(cluster.address(1) + " added/activated proxy"));
    cluster.kill(1);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(cluster.get("/app/echo").status, 200);
    ASSERT_TRUE(cluster.apache().waitForLog(cluster.address(1) + " connect failed"));
    ASSERT_TRUE(cluster.announce({0, 1}, 3));
    EXPECT_EQ(cluster.get("/app/echo").status, 200);  // carries the new number
    ASSERT_TRUE(cluster.apache().waitForLog("clusters updated using seq 3"));
    EXPECT_EQ(cluster.apache().countLog(cluster.address(1) + " added/activated proxy"), 1);
    ASSERT_TRUE(cluster.restart(1));
    ASSERT_TRUE(cluster.announce({0, 1}, 4));
    EXPECT_TRUE(waitUntil([&] { return cluster.served(cluster.get("/app/echo")) == 1; }, 5s));
}
}  // namespace
