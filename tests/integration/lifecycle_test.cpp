// The module's life in Apache: graceful restart and child exit. One table per record, made
// by whichever thread asks first: names_test.cpp counts the bootstraps. The store read
// while the bootstrap server is down: test_table_init.cpp, beside the store's faults.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "quon_cluster.h"

namespace {
TEST(LifecycleTest, GracefulRestartLosesNoRequestAndChildrenCloseTheirConnections) {
    QuonCluster cluster(2);
    ASSERT_TRUE(cluster.start());
    std::atomic<bool> stop{false};
    std::atomic<int> done{0}, failed{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t)
        clients.emplace_back([&] {
            while (!stop) {
                HttpResponse r = cluster.get("/app/echo");
                if (r.status == 200) ++done;
                else if (failed++ == 0) ADD_FAILURE() << r.status << " " << r.error << r.body;
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(::kill(cluster.apache().pid(), SIGUSR1), 0);  // apachectl -k graceful
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const int before = done;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    for (auto& c : clients) c.join();
    EXPECT_EQ(failed, 0);
    EXPECT_GT(done, before);  // the new generation serves
    const std::string log = cluster.apache().errorLog();
    for (const char* bad : {"Segmentation fault", "exit signal", "AH00052"})
        EXPECT_EQ(log.find(bad), std::string::npos) << bad << "\n" << log;
    cluster.apache().stop();
    // Every child deleted its table: no connection to a server is left open.
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(backend_test::waitUntil([&] { return cluster.openConnections(i) == 0; })) << i;
}
}  // namespace
