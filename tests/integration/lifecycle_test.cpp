// The module's life in Apache: one table per configuration record however many first
// requests arrive together, members announced while Apache runs, the server store,
// virtual hosts with their own cluster or the main server's, graceful restarts and
// child exit with connections in the pools.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <mutex>
#include <thread>

#include "quon_cluster.h"

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs n client threads doing GET path until stop; counts answers that are not 200.
class Load {
public:
    Load(QuonCluster& cluster, int threads, std::vector<std::string> headers = {}) {
        for (int t = 0; t < threads; ++t)
            clients_.emplace_back([&cluster, headers, this] {
                while (!stop_) {
                    HttpResponse r = httpGet(cluster.url("/app/echo"), headers);
                    if (r.status == 200) {
                        ++done_;
                    } else if (errors_++ == 0) {
                        std::lock_guard<std::mutex> hold(firstLock_);
                        first_ = std::to_string(r.status) + " " + r.error + r.body;
                    }
                }
            });
    }
    // Stops the clients; the number of failed requests.
    int finish() {
        stop_ = true;
        for (auto& c : clients_) c.join();
        return errors_;
    }
    int done() const { return done_; }
    // The status, error and body of the first failed request.
    std::string firstFailure() {
        std::lock_guard<std::mutex> hold(firstLock_);
        return first_;
    }

private:
    std::vector<std::thread> clients_;
    std::atomic<bool> stop_{false};
    std::atomic<int> done_{0}, errors_{0};
    std::mutex firstLock_;
    std::string first_;
};

TEST(LifecycleTest, ConcurrentFirstRequestsCreateOneTable) {
    QuonCluster cluster(1);
    std::string why;
    ASSERT_TRUE(cluster.start("", &why)) << why;
    std::atomic<int> ok{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t)
        clients.emplace_back([&] { ok += httpGet(cluster.url("/app/echo")).status == 200; });
    for (auto& c : clients) c.join();
    EXPECT_EQ(ok, 8);
    // A second table would have asked the bootstrap server for the members again.
    EXPECT_EQ(cluster.apache().countLog("trying to bootstrap from"), 1)
        << cluster.apache().errorLog();
    EXPECT_EQ(cluster.logLines(0, "] PROXY_GET_PROPS clustered-servers"), 1);
}

TEST(LifecycleTest, AnAnnouncedMemberServesWithoutARestart) {
    QuonCluster cluster(2);
    std::string why;
    ASSERT_TRUE(cluster.start("", &why)) << why;
    ASSERT_EQ(httpGet(cluster.url("/app/echo")).status, 200);
    int added = cluster.addServer("/app/*=app\n");
    ASSERT_GE(added, 0);
    ASSERT_TRUE(cluster.announce({0, 1, added}, 2));
    std::vector<int> count(3, 0);
    for (int k = 0; k < 12; ++k) {
        int i = cluster.served(httpGet(cluster.url("/app/echo")));
        if (i >= 0) ++count[size_t(i)];
    }
    EXPECT_GT(count[size_t(added)], 0) << cluster.apache().errorLog();
    EXPECT_EQ(count[0] + count[1] + count[2], 12);
}

TEST(LifecycleTest, TheStoreFindsTheClusterWhileTheBootstrapServerIsDown) {
    QuonCluster cluster(3);
    std::string why;
    ASSERT_TRUE(cluster.start("QuonConfig serverstore @DIR@/htdocs/servers.store\n", &why)) << why;
    ASSERT_EQ(httpGet(cluster.url("/app/echo")).status, 200);
    std::string store = cluster.apache().dir() + "/htdocs/servers.store";
    // The bootstrap server's own name is never stored.
    EXPECT_EQ(readText(store),
              "proxyservers=" + cluster.address(1) + ";" + cluster.address(2) + ";");
    cluster.apache().stop();
    cluster.stop(0);
    ASSERT_TRUE(cluster.apache().start(&why)) << why;
    HttpResponse r = httpGet(cluster.url("/app/echo"));
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_GT(cluster.served(r), 0);
}

TEST(LifecycleTest, VirtualHostsGoToTheirOwnCluster) {
    backend_test::BackendCluster own({"/app/*=app\n"});
    ASSERT_TRUE(own.start());
    std::string why;
    QuonCluster cluster(1);
    ASSERT_TRUE(
        cluster.start("<VirtualHost 127.0.0.1:@PORT@>\n  ServerName inherit.test\n"
                      "</VirtualHost>\n<VirtualHost 127.0.0.1:@PORT@>\n"
                      "  ServerName own.test\n  QuonConfig bootstrap " +
                          own.address(0) + "\n</VirtualHost>\n",
                      &why))
        << why;
    struct Row {
        std::string host;
        std::string server;
    };
    for (const Row& row : {Row{"inherit.test", cluster.address(0)}, Row{"own.test", own.address(0)},
                           Row{"other.test", cluster.address(0)}}) {
        for (int k = 0; k < 2; ++k) {
            HttpResponse r = httpGet(cluster.url("/app/echo"), {"Host: " + row.host});
            EXPECT_EQ(r.header("X-Quon-Server"), row.server) << row.host;
        }
    }
}

TEST(LifecycleTest, GracefulRestartLosesNoRequestAndChildrenCloseTheirConnections) {
    QuonCluster cluster(2);
    std::string why;
    ASSERT_TRUE(cluster.start("", &why)) << why;
    Load load(cluster, 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(::kill(cluster.apache().pid(), SIGUSR1), 0);  // apachectl -k graceful
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    int before = load.done();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(load.finish(), 0) << load.firstFailure();
    EXPECT_GT(load.done(), before);  // the new generation serves
    std::string text = cluster.apache().errorLog();
    for (const char* bad : {"Segmentation fault", "exit signal", "AH00052"})
        EXPECT_EQ(text.find(bad), std::string::npos) << bad << "\n" << text;
    cluster.apache().stop();
    // Every child deleted its table: no connection to a server is left open.
    for (int i = 0; i < 2; ++i) {
        for (int wait = 0; wait < 100 && cluster.openConnections(i) > 0; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(cluster.openConnections(i), 0) << i;
    }
}

}  // namespace
