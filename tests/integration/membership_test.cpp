// A table's start under what an operator's disk or a back end may hold against it, in a
// real Apache: a server store that is a FIFO is refused in one line and never opened, so
// the child's upkeep goes on and a graceful restart replaces the child; a bootstrap server
// that takes the connection and never answers holds the start up for the upkeep's own
// exchange deadline only, after which the stored servers are served.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

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
}  // namespace
