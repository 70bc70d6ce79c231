// A table's start under what an operator's disk or a back end may hold against it, in a
// real Apache: a server store that is a FIFO is refused in one line and never opened, so
// the child's upkeep goes on and a graceful restart replaces the child; a bootstrap server
// that takes the connection and never answers holds the start up for the upkeep's own
// exchange deadline only, after which the stored servers are served.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "loopback_peer.h"
#include "proxy_helpers.h"
#include "quon_cluster.h"

namespace {
using namespace std::chrono_literals;
using backend_test::waitUntil;
using Clock = std::chrono::steady_clock;

// A folder of the test's own that Apache's children may use, removed with the object.
struct Folder {
    Folder() {
        char name[] = "/tmp/quon-membership-XXXXXX";
        if (mkdtemp(name)) path = name;
        shareWithApacheUser(path);
    }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string path;
};

TEST(Membership, AStoreThatIsAFifoIsNotReadAndARestartReplacesTheChild) {
    Folder folder;
    const std::string fifo = folder.path + "/servers";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    shareWithApacheUser(fifo);
    RefusingPort bootstrap;
    const std::string lines = "QuonConfig bootstrap " + serverName(bootstrap.address()) +
                              "\nQuonConfig serverstore " + fifo + "\n";
    ApacheServer apache({.directives = lines});
    std::ofstream(apache.dir() + "/htdocs/static.txt") << "static\n";
    ASSERT_TRUE(apache.start());
    EXPECT_TRUE(apache.waitForLog("serverstore \"" + fifo + "\" is not a regular file: not read"));
    ASSERT_TRUE(apache.restartGracefully(lines));
    HttpRequest request{.url = apache.url("/static.txt"), .timeoutMs = 5000};
    EXPECT_EQ(httpRequest(request).status, 200) << apache.errorLog();
    const auto stopping = Clock::now();
    apache.stop();
    EXPECT_LT(Clock::now() - stopping, 8s);
}

TEST(Membership, ASilentBootstrapServerHoldsUpAColdStartForTwoSeconds) {
    QuonCluster cluster(1);
    ASSERT_TRUE(cluster.BackendCluster::start());
    Folder folder;
    std::ofstream(folder.path + "/servers") << "proxyservers=" << cluster.address(0) << ";";
    shareWithApacheUser(folder.path + "/servers");
    LoopbackPeer silent;  // the connect completes into its backlog; nothing is ever answered
    ApacheServer apache({.directives = "QuonConfig bootstrap " + serverName(silent.address()) +
                                       "\nQuonConfig serverstore " + folder.path + "/servers\n"});
    const auto started = Clock::now();
    ASSERT_TRUE(apache.start());
    EXPECT_TRUE(waitUntil([&] { return httpGet(apache.url("/app/echo")).status == 200; }, 8s))
        << apache.errorLog();
    EXPECT_LT(Clock::now() - started, 5s);
}

// Two virtual hosts with tables of their own and one server store: Apache does not start,
// and says which.
TEST(Membership, TwoVirtualHostsSharingAStoreAreRefused) {
    Folder folder;
    const std::string store = folder.path + "/servers";
    auto host = [&](const std::string& name) {
        return "<VirtualHost 127.0.0.1:@PORT@>\n  ServerName " + name +
               "\n  QuonConfig bootstrap 127.0.0.1:1\n  QuonConfig serverstore " + store +
               "\n</VirtualHost>\n";
    };
    ApacheServer apache({.directives = host("a.test") + host("b.test")});
    EXPECT_FALSE(apache.start());
    const std::string said =
        backend_test::readFile(apache.dir() + "/stderr.log") + apache.errorLog();
    EXPECT_NE(said.find("QuonConfig serverstore \"" + store +
                        "\" is set for two virtual hosts (a.test and b.test): each needs a file "
                        "of its own"),
              std::string::npos)
        << said;
}

// A member list of a cluster's server and 127 spellings of localhost:PORT (letter case),
// where a peer takes connections and closes them, reported to four children: the peer is
// connected about once a second by the whole Apache, however often and by however many
// children the list is tried, and the cluster's server is checked about once a second,
// join checks included.
TEST(Membership, AHostileListCostsAboutOneConnectASecondPerApache) {
    ClosingListener hostile;
    ASSERT_TRUE(hostile.listening());
    const std::string port = std::to_string(ntohs(hostile.address().sin_port));
    QuonCluster cluster(1);
    cluster.useChildren(4);
    cluster.useLogLevel("warn");
    ASSERT_TRUE(cluster.start());
    std::string list = "SRV1=" + cluster.address(0) + "\n";
    for (int mask = 0; mask < 127; ++mask) {
        std::string host = "localhost";
        for (size_t k = 0; k < host.size(); ++k)
            if (mask & (1 << k)) host[k] = char(toupper(host[k]));
        list += "h" + std::to_string(mask) + "=" + host + ":" + port + "\n";
    }
    cluster[0].writeFile("cluster.props", list);
    cluster[0].writeFile("control.props", "cluster-seq=9\n");
    ASSERT_TRUE(cluster[0].reload());
    for (int k = 0; k < 40; ++k) cluster.get("/app/echo");  // each child learns the number
    ASSERT_TRUE(waitUntil([&] { return hostile.accepted() > 0; }));
    std::this_thread::sleep_for(1s);
    const int connects = hostile.accepted();
    const int checks = cluster.logLines(0, "PROXY_GET_PROPS server-props");
    std::this_thread::sleep_for(6s);
    RecordProperty("peerConnectsIn6s", hostile.accepted() - connects);
    RecordProperty("serverChecksIn6s",
                   cluster.logLines(0, "PROXY_GET_PROPS server-props") - checks);
    EXPECT_LE(hostile.accepted() - connects, 10);
    EXPECT_LE(cluster.logLines(0, "PROXY_GET_PROPS server-props") - checks, 10);
    // At most one line in 10 s in each child, under the name folded to lower case.
    EXPECT_LE(cluster.apache().countLog("localhost:" + port + " not joined now"), 4)
        << cluster.apache().errorLog();
}
}  // namespace
