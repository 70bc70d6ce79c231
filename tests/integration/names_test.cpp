// Back-end servers named by host name and by IPv6 address, through a real Apache: a
// bootstrap by name and members announced by name and by [::1]; a name that moves to
// another address while Apache runs; names that do not resolve, at `apache2 -t`, at a
// start and in a member list. Names other than localhost come from a hosts file of
// Apache's own (a mount namespace, so root only): no name is ever asked of a name server.
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "quon_cluster.h"

namespace {
using namespace std::chrono_literals;
using backend_test::countLines;
using backend_test::readFile;
using backend_test::waitUntil;

// The servers (by index) that answered some of count requests for /app/echo.
std::set<int> servedBy(QuonCluster& cluster, int count) {
    std::set<int> served;
    for (int k = 0; k < count; ++k) served.insert(cluster.served(cluster.get("/app/echo")));
    return served;
}

// Bootstrapped from localhost:port, the cluster's member list naming localhost:port and
// [::1]:port: both servers take requests, and the store keeps the names as listed.
TEST(Names, LocalhostAndIpv6MembersAreServed) {
    QuonCluster cluster(2);
    cluster.listenAt(0, "127.0.0.1");
    cluster.nameAs(0, "localhost:" + std::to_string(cluster.port(0)));
    cluster.listenAt(1, "[::1]");
    ASSERT_TRUE(cluster.start("QuonConfig serverstore @DIR@/htdocs/servers\n"));
    EXPECT_EQ(servedBy(cluster, 6), (std::set<int>{0, 1})) << cluster.apache().errorLog();
    EXPECT_EQ(cluster.apache().countLog("trying to bootstrap from \"" + cluster.memberName(0)), 1);
    const std::string store = cluster.apache().dir() + "/htdocs/servers";
    EXPECT_TRUE(waitUntil([&] {
        return readFile(store).starts_with("proxyservers=" + cluster.memberName(1) + ";\n");
    })) << readFile(store);
}

// A server named in the hosts file moves to another loopback address under the same name
// and port: once the cluster announces its list again, requests reach it at the new
// address within seconds, without a restart of Apache.
TEST(Names, ANameThatMovesIsFoundAtItsNewAddress) {
    if (const std::string why = privateHostsUnavailable(); !why.empty()) GTEST_SKIP() << why;
    QuonCluster cluster(2);
    cluster.listenAt(1, "127.0.0.4");
    const std::string name = "mover.test:" + std::to_string(cluster.port(1));
    cluster.nameAs(1, name);
    cluster.useHosts("127.0.0.4 mover.test\n");
    ASSERT_TRUE(cluster.start());
    ASSERT_EQ(servedBy(cluster, 4), (std::set<int>{0, 1})) << cluster.apache().errorLog();

    cluster.stop(1);
    cluster.listenAt(1, "127.0.0.3", cluster.port(1));
    cluster.apache().writeHosts("127.0.0.3 mover.test\n");
    ASSERT_TRUE(cluster.announce({0, 1}, 2));  // the stopped server reads it as it starts
    ASSERT_TRUE(cluster.restart(1));
    EXPECT_TRUE(waitUntil([&] { return servedBy(cluster, 2).count(1) == 1; }, 10s))
        << cluster.apache().errorLog();
    EXPECT_EQ(cluster.address(1), "127.0.0.3:" + std::to_string(cluster.port(1)));
    EXPECT_TRUE(cluster.apache().waitForLog(name + " resolves to new addresses, the first " +
                                            cluster.address(1)));
}

// A name that does not resolve: `apache2 -t` refuses it, naming it and the resolver's
// reason; a start only warns, and the bootstrap server is reached once its name resolves.
// A member whose name does not resolve is a log line; the rest of the cluster is served.
TEST(Names, NamesThatDoNotResolve) {
    if (const std::string why = privateHostsUnavailable(); !why.empty()) GTEST_SKIP() << why;
    QuonCluster cluster(3);
    cluster.nameAs(0, "late.test:" + std::to_string(cluster.port(0)));
    cluster.nameAs(2, "gone.test:" + std::to_string(cluster.port(2)));
    const std::string hosts = "127.0.0.3 known.test\n";
    const std::string why = "the host late.test does not resolve: Name or service not known";
    {
        ApacheServer check({.hosts = hosts});
        const std::string bootstrap = "QuonConfig bootstrap " + cluster.memberName(0) + "\n";
        ConfigCheck refused = check.checkConfig(bootstrap);
        EXPECT_EQ(refused.status, 1) << refused.output;
        EXPECT_NE(
            refused.output.find("QuonConfig bootstrap \"" + cluster.memberName(0) + "\": " + why),
            std::string::npos)
            << refused.output;
        ConfigCheck known = check.checkConfig("QuonConfig bootstrap known.test:7001\n");
        EXPECT_EQ(known.status, 0) << known.output;
    }

    cluster.useHosts(hosts);
    ASSERT_TRUE(cluster.start("", false));
    EXPECT_NE(readFile(cluster.apache().dir() + "/stderr.log")
                  .find(why + "; Apache starts all the same, and the connector looks the name up "
                              "again whenever it tries the server"),
              std::string::npos);
    EXPECT_TRUE(cluster.apache().waitForLog("could not resolve server " + cluster.memberName(0) +
                                            ": Name or service not known"));
    cluster.apache().writeHosts("127.0.0.2 late.test\n");
    ASSERT_TRUE(cluster.apache().waitForLog("added/activated proxy", 10s));
    // The table takes requests once every member has been tried, after the first is added.
    ASSERT_TRUE(waitUntil([&] { return cluster.get("/app/echo").status == 200; }));
    EXPECT_EQ(servedBy(cluster, 6), (std::set<int>{0, 1})) << cluster.apache().errorLog();
    EXPECT_TRUE(cluster.apache().waitForLog("could not resolve server " + cluster.memberName(2) +
                                            ": Name or service not known"));
    // Each failed look-up fails the server's set-up. The upkeep goes on trying the name and
    // writes the two lines one after the other, so the counts agree in a log read between tries.
    EXPECT_TRUE(waitUntil([&] {
        const std::string log = cluster.apache().errorLog();
        return countLines(log, "could not initialize proxy for " + cluster.memberName(2)) ==
               countLines(log, "could not resolve server " + cluster.memberName(2));
    }));
}
}  // namespace
