// Sessions and fail-over through Apache in front of a three-server cluster: spreading,
// sticky sessions and buddies, servers killed under pooled connections, servers coming
// back, the error page and the error-URL redirect when every server is down.
#include <gtest/gtest.h>

#include <thread>

#include "quon_cluster.h"

namespace {

class FailoverTest : public ::testing::Test {
protected:
    void startCluster(const std::string& directives = "",
                      const std::string& props =
                          "mapcheck=30\nweight=1\n"
                          "algorithm=ROUNDROBIN\nsticky=true\n") {
        cluster = std::make_unique<QuonCluster>(3, props);
        std::string why;
        ASSERT_TRUE(cluster->start(directives, &why)) << why;
    }
    // The index of the server that answered, -1 when none did.
    int served(const HttpResponse& r) const { return cluster->served(r); }
    HttpResponse get(const std::string& path, std::vector<std::string> headers = {}) {
        return httpGet(cluster->url(path), headers);
    }
    // Answers per server for n requests without a session; client errors counted apart.
    std::vector<int> spread(int n, int* errors = nullptr) {
        std::vector<int> count(size_t(cluster->size()), 0);
        for (int k = 0; k < n; ++k) {
            HttpResponse r = get("/app/echo");
            int i = served(r);
            if (r.status != 200 || i < 0) {
                if (errors) ++*errors;
                continue;
            }
            ++count[size_t(i)];
        }
        return count;
    }
    std::unique_ptr<QuonCluster> cluster;
};

TEST_F(FailoverTest, RequestsWithoutASessionAreSpreadByTheAlgorithm) {
    struct Row {
        const char* props;
        std::vector<int> expected;  // of 9 requests; -1: at least one
    };
    const std::vector<Row> rows = {
        {"algorithm=ROUNDROBIN\nweight=1\n", {3, 3, 3}},
        {"algorithm=RANDOM_WEIGHTED\nweight=5\n", {-1, -1, -1}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.props);
        startCluster("", std::string("mapcheck=30\nsticky=true\n") + row.props);
        std::vector<int> count = spread(row.expected[0] == 3 ? 9 : 60);
        for (int i = 0; i < 3; ++i) {
            if (row.expected[size_t(i)] < 0)
                EXPECT_GT(count[size_t(i)], 0) << i;
            else
                EXPECT_EQ(count[size_t(i)], row.expected[size_t(i)]) << i;
        }
        cluster.reset();
    }
}

TEST_F(FailoverTest, ASessionStaysOnItsServerAndMovesToItsBuddy) {
    startCluster();
    HttpResponse first = get("/app/session");
    ASSERT_EQ(first.status, 200) << first.body;
    std::string session = answerLines(first.body)["session"];
    int holder = served(first);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(session.substr(0, 4), cluster->repId(holder));
    std::string cookie = "Cookie: JSESSIONID=" + session;
    for (int k = 0; k < 5; ++k) {
        HttpResponse r = get("/app/session", {cookie});
        EXPECT_EQ(served(r), holder);
        EXPECT_EQ(answerLines(r.body)["state"], "known");
        EXPECT_EQ(answerLines(r.body)["hits"], std::to_string(k + 2));
    }
    // In the URI instead of a cookie.
    EXPECT_EQ(served(get("/app/session;JSESSIONID=" + session)), holder);

    cluster->stop(holder);
    int buddy = (holder + 1) % 3;
    for (int k = 0; k < 3; ++k) {
        HttpResponse r = get("/app/session", {cookie});
        ASSERT_EQ(r.status, 200) << r.body;
        EXPECT_EQ(served(r), buddy);
        EXPECT_EQ(answerLines(r.body)["state"], k == 0 ? "adopted" : "known");
    }
    EXPECT_TRUE(cluster->apache().waitForLog(" removed proxy, seq "));
}

TEST_F(FailoverTest, AKilledServerCostsNoClientErrorAndComesBack) {
    startCluster();
    // Concurrent requests leave idle connections to every server in the pools.
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t)
        clients.emplace_back([&] {
            for (int k = 0; k < 5; ++k) get("/app/echo?sleep=20");
        });
    for (auto& c : clients) c.join();
    for (int i = 0; i < 3; ++i) ASSERT_GT(cluster->requestsSeen(i), 0) << i;

    cluster->kill(1);
    int errors = 0;
    std::vector<int> count = spread(30, &errors);
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(count[1], 0);
    EXPECT_EQ(count[0] + count[2], 30);
    EXPECT_TRUE(cluster->apache().waitForLog(cluster->address(1) + " removed proxy, seq "))
        << cluster->apache().errorLog();

    ASSERT_TRUE(cluster->restart(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the retry interval
    int seen = cluster->requestsSeen(1);
    count = spread(12, &errors);
    EXPECT_EQ(errors, 0);
    EXPECT_GT(count[1], 0);
    EXPECT_GT(cluster->requestsSeen(1), seen);
}

TEST_F(FailoverTest, EveryServerDownGivesTheErrorPageOrTheRedirect) {
    startCluster(R"(<VirtualHost 127.0.0.1:@PORT@>
  ServerName main.test
</VirtualHost>
<VirtualHost 127.0.0.1:@PORT@>
  ServerName sorry.test
  QuonConfig bootstrap @BOOT@
  QuonConfig errorurl http://127.0.0.1/sorry.html
</VirtualHost>
)");
    const std::string sorry = "Host: sorry.test";
    ASSERT_EQ(get("/app/echo").status, 200);
    ASSERT_EQ(get("/app/echo", {sorry}).status, 200);
    for (int i = 0; i < 3; ++i) cluster->stop(i);
    // Twice each: once while the servers still look up, once when all are marked down.
    for (int round = 0; round < 2; ++round) {
        HttpResponse page = get("/app/echo");
        EXPECT_EQ(page.status, 503);
        EXPECT_NE(page.body.find("Could not connect to Quon Server"), std::string::npos)
            << page.body;
        HttpResponse redirect = get("/app/echo", {sorry});
        EXPECT_EQ(redirect.status, 302);
        EXPECT_EQ(redirect.header("Location"), "http://127.0.0.1/sorry.html");
    }
    EXPECT_TRUE(cluster->apache().waitForLog(
        "NO servers reachable in cluster, start your bootstrap server " + cluster->address(0) +
        " or one of the servers in your store file <null>"));
    EXPECT_TRUE(
        cluster->apache().waitForLog(" reset proxy retry time to now since all servers for this "
                                     "mapping are marked unreachable"));
    EXPECT_TRUE(cluster->apache().waitForLog("couldn't find reachable server for /app* map"));
}

}  // namespace
