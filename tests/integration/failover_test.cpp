// Sessions, virtual hosts and fail-over through Apache in front of a three-server cluster.
#include <gtest/gtest.h>

#include <thread>

#include "quon_cluster.h"

namespace {
// Answers per server to n requests without a session; failed requests counted apart.
std::vector<int> spread(QuonCluster& cluster, int n, int* errors = nullptr) {
    std::vector<int> count(size_t(cluster.size()), 0);
    for (int k = 0; k < n; ++k) {
        HttpResponse r = cluster.get("/app/echo");
        if (r.status == 200 && cluster.served(r) >= 0)
            ++count[size_t(cluster.served(r))];
        else if (errors)
            ++*errors;
    }
    return count;
}

// main.test (and any other host) has the main server's settings; sorry.test its own, with an
// error URL; own.test its own cluster.
TEST(FailoverTest, ASessionMovesToItsBuddyAndNoServerLeftGivesTheErrorPage) {
    backend_test::BackendCluster own({"/app/*=app\n"});
    ASSERT_TRUE(own.start());
    QuonCluster cluster(3);
    ASSERT_TRUE(cluster.start(
        "<VirtualHost 127.0.0.1:@PORT@>\n  ServerName main.test\n</VirtualHost>\n"
        "<VirtualHost 127.0.0.1:@PORT@>\n  ServerName sorry.test\n  QuonConfig bootstrap @BOOT@\n"
        "  QuonConfig errorurl http://127.0.0.1/sorry.html\n</VirtualHost>\n"
        "<VirtualHost 127.0.0.1:@PORT@>\n  ServerName own.test\n  QuonConfig bootstrap " +
        own.address(0) + "\n</VirtualHost>\n"));
    ASSERT_EQ(cluster.get("/app/echo", {"Host: sorry.test"}).status, 200);
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(cluster.get("/app/echo", {"Host: own.test"}).header("X-Quon-Server"),
                  own.address(0));
        for (const char* host : {"Host: main.test", "Host: other.test"})
            EXPECT_GE(cluster.served(cluster.get("/app/echo", {host})), 0) << host;
    }
    HttpResponse first = cluster.get("/app/session");
    const std::string session = keyValues(first.body, ": ")["session"];
    const int holder = cluster.served(first);
    ASSERT_TRUE(holder >= 0 && session.substr(0, 4) == cluster.repId(holder)) << first.body;
    const std::string cookie = "Cookie: JSESSIONID=" + session;
    for (int k = 0; k < 3; ++k) {
        HttpResponse r = cluster.get("/app/session", {cookie});
        EXPECT_EQ(cluster.served(r), holder);
        EXPECT_EQ(keyValues(r.body, ": ")["hits"], std::to_string(k + 2));
    }
    // In the URI instead of a cookie.
    EXPECT_EQ(cluster.served(cluster.get("/app/session;JSESSIONID=" + session)), holder);

    cluster.stop(holder);
    const int buddy = (holder + 1) % 3;
    std::string moved;
    for (int k = 0; k < 3; ++k) {
        HttpResponse r = cluster.get("/app/session", {cookie});
        ASSERT_EQ(r.status, 200) << r.body;
        EXPECT_EQ(cluster.served(r), buddy);
        EXPECT_EQ(keyValues(r.body, ": ")["state"], k == 0 ? "adopted" : "known");
        if (k == 0) {
            moved = keyValues(r.body, ": ")["session"];
            EXPECT_EQ(r.header("Set-Cookie"), "JSESSIONID=" + moved + "; Path=/");
        }
    }
    // The buddy holds the session under an id of its own: when the old holder comes back
    // without it, the session stays with the buddy.
    ASSERT_EQ(moved.substr(0, 4), cluster.repId(buddy));
    ASSERT_TRUE(cluster.restart(holder));
    ASSERT_TRUE(backend_test::waitUntil(
        [&] { return cluster.served(cluster.get("/app/echo")) == holder; }));
    for (int k = 0; k < 2; ++k) {
        HttpResponse r = cluster.get("/app/session", {"Cookie: JSESSIONID=" + moved});
        EXPECT_EQ(cluster.served(r), buddy);
        EXPECT_EQ(keyValues(r.body, ": ")["hits"], std::to_string(k + 4)) << r.body;
    }

    for (int i = 0; i < 3; ++i) cluster.stop(i);
    // Twice each: once while the servers still look up, once when all are marked down.
    for (int round = 0; round < 2; ++round) {
        HttpResponse page = cluster.get("/app/echo");
        HttpResponse redirect = cluster.get("/app/echo", {"Host: sorry.test"});
        EXPECT_TRUE(page.status == 503 &&
                    page.body.find("Could not connect to Quon Server") != std::string::npos)
            << page.body;
        EXPECT_EQ(redirect.status, 302);
        EXPECT_EQ(redirect.header("Location"), "http://127.0.0.1/sorry.html");
    }
    for (const std::string& line :
         {"NO servers reachable in cluster, start your bootstrap server " + cluster.address(0) +
              " or one of the servers in your store file <null>",
          std::string(" reset proxy retry time to now since all servers for this mapping are "
                      "marked unreachable"),
          std::string("couldn't find reachable server for /app* map")})
        EXPECT_TRUE(cluster.apache().waitForLog(line)) << line;
}

TEST(FailoverTest, RoundRobinSpreadsAndAKilledServerCostsNoClientErrorAndComesBack) {
    QuonCluster cluster(3);
    ASSERT_TRUE(cluster.start());
    // Requests without a session go round the servers.
    EXPECT_EQ(spread(cluster, 9), std::vector<int>({3, 3, 3}));
    // Concurrent requests leave idle connections to every server in the pools.
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t)
        clients.emplace_back([&] {
            for (int k = 0; k < 5; ++k) cluster.get("/app/echo?sleep=20");
        });
    for (auto& c : clients) c.join();

    cluster.kill(1);
    int errors = 0;
    EXPECT_EQ(spread(cluster, 30, &errors)[1], 0);
    EXPECT_EQ(errors, 0);
    EXPECT_TRUE(cluster.apache().waitForLog(cluster.address(1) + " removed proxy, seq "))
        << cluster.apache().errorLog();

    ASSERT_TRUE(cluster.restart(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the retry interval
    EXPECT_GT(spread(cluster, 12, &errors)[1], 0);
    EXPECT_EQ(errors, 0);
}
}  // namespace
