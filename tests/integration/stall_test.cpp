// Applications that stall behind a listener that still answers (threads stuck on a
// database or a lock: pings and props are answered, requests are not), an application
// check that finds an application answering errors, and the slow start of a server that
// comes back; through a real Apache at the connector's defaults otherwise.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <regex>
#include <thread>

#include "quon_cluster.h"

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using backend_test::readFile;
using backend_test::waitUntil;

// Server i plays fault for every request exchange from now on; props are still answered.
bool playFault(QuonCluster& cluster, int i, const std::string& fault) {
    const std::string control = readFile(cluster[i].path("control.props"));
    cluster[i].writeFile("control.props", control + "fault=" + fault + "\n");
    return cluster[i].reload();
}

// Each child's checks have watched every server a while (three checks each): requests
// count for their servers from then on, and a server that stops is told by them.
bool checksWatch(QuonCluster& cluster) {
    return waitUntil(
        [&] {
            const std::string json = cluster.get("/quon-status?format=json").body;
            const std::regex checked("\"checks\":([3-9]|[1-9][0-9]+),");
            return std::distance(std::sregex_iterator(json.begin(), json.end(), checked),
                                 std::sregex_iterator()) >= cluster.size();
        },
        5s);
}

long long millisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One of three servers stops answering requests while its checks still pass. Eight
// clients with a 10 s time-out meet it at most once each and none after 3 s: it is
// stalled, gets no new request, and the requests waiting on it go to another server (the
// method is safe to repeat), so that every client is served again. A 10 s request on a
// healthy server that answers its other requests succeeds and never stalls it. The log,
// the page and the metrics say why; it is back once it answers again.
TEST(Stall, AStalledApplicationGetsNoNewRequestsWithinThreeSeconds) {
    QuonCluster cluster(3);
    cluster.useDefaultRetryInterval();
    cluster.useChildren(3);  // threads for the clients and the slow request
    ASSERT_TRUE(cluster.start(kStatusLocation));
    std::string cookie;
    for (int k = 0; k < 9 && cookie.empty(); ++k) {
        HttpResponse r = cluster.get("/app/session");
        if (cluster.served(r) == 0)
            cookie = r.header("Set-Cookie").substr(0, r.header("Set-Cookie").find(';'));
    }
    ASSERT_FALSE(cookie.empty());
    ASSERT_TRUE(checksWatch(cluster));
    auto slow = std::async(std::launch::async, [&] {
        return httpRequest({.url = cluster.url("/app/slow?ms=10000"),
                            .headers = {"Cookie: " + cookie},
                            .timeoutMs = 15000});
    });
    ASSERT_TRUE(playFault(cluster, 1, "never-answer"));
    const auto stalled = Clock::now();
    std::atomic<int> bad{0}, servedLate{0};
    std::atomic<long long> lastBadMs{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c)
        clients.emplace_back([&] {
            bool late = false;
            while (Clock::now() - stalled < 6s) {
                const auto sent = Clock::now();
                HttpResponse r = httpRequest({.url = cluster.url("/app/echo"), .timeoutMs = 10000});
                const long long sentMs =
                    std::chrono::duration_cast<std::chrono::milliseconds>(sent - stalled).count();
                if (r.status == 200 && Clock::now() - sent < 2s) {
                    late = late || sentMs >= 3000;
                    continue;
                }
                bad += 1;
                lastBadMs = std::max<long long>(lastBadMs, sentMs);
            }
            servedLate += late;
        });
    const std::string line = cluster.address(1) + " is stalled (";
    EXPECT_TRUE(cluster.apache().waitForLog(line, 5s));
    EXPECT_LE(millisSince(stalled), 3000);
    const std::string json = cluster.get("/quon-status?format=json").body;
    EXPECT_TRUE(std::regex_search(
        json, std::regex("\"name\":\"" + cluster.address(1) +
                         "\".*?\"stalled\":\"[1-9][0-9]* requests waiting, the oldest for "
                         "[0-9]+ seconds\"")))
        << json;
    const std::string metrics = cluster.get("/quon-status?format=prometheus").body;
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(std::regex_search(
            metrics, std::regex("quon_check_stalled\\{[^}]*server=\"" +
                                std::regex_replace(cluster.address(i), std::regex("\\."), "\\.") +
                                "\"\\} " + (i == 1 ? "1" : "0") + "\n")))
            << i << metrics;
    for (auto& client : clients) client.join();
    EXPECT_LE(bad.load(), 8);
    EXPECT_LT(lastBadMs.load(), 3000);
    EXPECT_EQ(servedLate.load(), 8);  // no client waits on the stalled server to the end
    EXPECT_EQ(cluster.apache().countLog(line), 1);  // said once, by one child
    HttpResponse r = slow.get();
    EXPECT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(cluster.served(r), 0);
    EXPECT_EQ(cluster.apache().countLog(cluster.address(0) + " is stalled"), 0);
    // Stopped, it is down rather than stalled; started again, its fault cleared, it serves.
    const std::string control = readFile(cluster[1].path("control.props"));
    cluster[1].writeFile("control.props", control.substr(0, control.find("fault=")));
    cluster.kill(1);
    EXPECT_TRUE(cluster.apache().waitForLog(cluster.address(1) + " is no longer stalled", 5s));
    ASSERT_TRUE(cluster.restart(1));
    EXPECT_TRUE(waitUntil([&] { return cluster.served(cluster.get("/app/echo")) == 1; }, 5s));
}

// With healthcheckuri, each check asks the application: a server whose application
// answers 500 is taken out as a server that does not answer is, and says why.
TEST(Stall, AnApplicationCheckTakesOutAServerWhoseApplicationFails) {
    QuonCluster cluster(2);
    ASSERT_TRUE(cluster.start(kStatusLocation + "QuonConfig healthcheckuri /app/health?code=500\n"));
    ASSERT_TRUE(playFault(cluster, 1, "bad-status"));
    EXPECT_TRUE(cluster.apache().waitForLog(
        cluster.address(1) + " is down (the application answered 500), 1 of 2 left", 5s));
    for (int k = 0; k < 4; ++k) EXPECT_EQ(cluster.served(cluster.get("/app/echo")), 0);
    EXPECT_GT(cluster.logLines(0, "GET /app/health"), 0);
}

// With slowstart, a server that comes back gets a small share of new requests at first,
// and its whole share (every other request, by round robin) once the time is over.
TEST(Stall, AServerThatComesBackStartsSlowly) {
    QuonCluster cluster(2);
    cluster.useDefaultRetryInterval();
    ASSERT_TRUE(cluster.start(kStatusLocation + "QuonConfig slowstart 4\n"));
    ASSERT_TRUE(checksWatch(cluster));
    cluster.kill(1);
    const std::string down = cluster.address(1) + " is down (connection refused)";
    ASSERT_TRUE(cluster.apache().waitForLog(down, 5s));
    ASSERT_TRUE(cluster.restart(1));
    ASSERT_TRUE(cluster.apache().waitForLog(cluster.address(1) + " is up again after ", 5s));
    const auto back = Clock::now();
    auto onIt = [&] {
        int count = 0;
        for (int k = 0; k < 20; ++k) count += cluster.served(cluster.get("/app/echo")) == 1;
        return count;
    };
    EXPECT_LE(onIt(), 6);  // 10 without slow start
    std::this_thread::sleep_until(back + 4500ms);
    EXPECT_GE(onIt(), 9);
}
}  // namespace
