// Recovery from the ways real servers fail, through a real Apache at the connector's
// defaults (no retry interval, no time-outs set): a server restarted in place, one that
// stops answering altogether (a paused process), a silent member of one virtual host,
// and a cold start while every server is down. The health checks run off the request
// path, once per server for the whole Apache however many children it has.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <future>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "loopback_peer.h"
#include "proxy_helpers.h"
#include "quon_cluster.h"

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using backend_test::readFile;
using backend_test::waitUntil;

// Time from now until a request for path is served by server i, asking every 50 ms
// (bounded).
Clock::duration untilServedBy(QuonCluster& cluster, int i, Clock::duration limit = 10s,
                              const std::string& path = "/app/echo") {
    const auto start = Clock::now();
    while (Clock::now() - start < limit) {
        if (cluster.served(cluster.get(path)) == i) break;
        std::this_thread::sleep_for(50ms);
    }
    return Clock::now() - start;
}

// A paused process takes connections into its backlog and answers nothing, not even a
// props exchange: a hung or stopped JVM. It is resumed when the scope ends.
class Paused {
public:
    explicit Paused(pid_t pid) : pid_(pid) { ::kill(pid_, SIGSTOP); }
    ~Paused() { ::kill(pid_, SIGCONT); }

private:
    pid_t pid_;
};

// A server killed and started again on its ports serves within two seconds, each time,
// under the default retry interval of ten minutes, with the application deployed on it
// while it was out (its mappings fetched again at once, not at the next map check, 30 s
// on); the status page and the metrics tell the checks, the down, the downtime and the up,
// and the page shows no retry countdown for a server the checks bring back.
TEST(Recovery, ARestartedServerServesAgainWithinTwoSecondsEachTime) {
    QuonCluster cluster(3);
    cluster.useDefaultRetryInterval();
    ASSERT_TRUE(cluster.start(kStatusLocation));
    ASSERT_LT(untilServedBy(cluster, 2), 5s);
    const std::string down = cluster.address(1) + " is down (connection refused), 2 of 3 left";
    for (int round = 0; round < 2; ++round) {
        cluster.kill(1);
        ASSERT_TRUE(waitUntil([&] { return cluster.apache().countLog(down) == round + 1; }, 5s));
        for (int k = 0; k < 6; ++k) EXPECT_EQ(cluster.get("/app/echo").status, 200);
        if (round == 0) {
            EXPECT_EQ(cluster.get("/quon-status").body.find("tried again in"), std::string::npos);
        }
        const std::string deployed = "/v" + std::to_string(round) + "/echo";
        cluster.deploy(1, "/app/*=app\n*.jsp=jsp\n/v" + std::to_string(round) + "/*=app\n");
        ASSERT_TRUE(cluster.restart(1));
        EXPECT_LT(untilServedBy(cluster, 1), 2s) << "round " << round;
        EXPECT_LT(untilServedBy(cluster, 1, 5s, deployed), 1s) << deployed;
    }
    EXPECT_TRUE(waitUntil([&] {
        return cluster.apache().countLog(cluster.address(1) + " is up again after ") == 2;
    }));
    const std::string json = cluster.get("/quon-status?format=json").body;
    const std::regex health("\"name\":\"" + cluster.address(1) +
                            "\".*?\"health\":\\{\"verdict\":\"up\",\"since\":[1-9][0-9]*\\.[0-9]{3},"
                            "\"downSeconds\":([0-9]+\\.[0-9]{3}).*?"
                            "\"lastError\":\"connection refused\".*?\"changes\":\\[.*?"
                            "\"verdict\":\"down\"\\},\\{[^}]*\"verdict\":\"up\"\\}\\]");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(json, found, health)) << json;
    EXPECT_GT(std::stod(found[1]), 0.1) << json;  // two outages of a second or more
    EXPECT_LT(std::stod(found[1]), 20.0) << json;
    const std::string metrics = cluster.get("/quon-status?format=prometheus").body;
    for (const char* family : {"quon_check_up{", "quon_checks_total{", "quon_check_failures_total{",
                               "quon_check_down_seconds_total{",
                               "quon_check_last_change_timestamp_seconds{"})
        EXPECT_NE(metrics.find(std::string(family) + "vhost="), std::string::npos) << family;
}

// Eight clients with a 10 s time-out while one of two servers pauses: it is out of
// rotation within three seconds, each client meets it at most once and then waits no
// longer than that (its request fails over: the method is safe to repeat), and a 10 s
// request to the healthy server succeeds all the same.
TEST(Recovery, ASilentServerIsOutWithinThreeSecondsAndASlowRequestIsNot) {
    QuonCluster cluster(2);
    cluster.useDefaultRetryInterval();
    cluster.useChildren(3);  // threads for the clients and the slow request
    ASSERT_TRUE(cluster.start(kStatusLocation));
    ASSERT_LT(untilServedBy(cluster, 1), 5s);
    // The slow request keeps to server 0 through the session it holds there.
    std::string cookie;
    for (int k = 0; k < 6 && cookie.empty(); ++k) {
        HttpResponse r = cluster.get("/app/session");
        if (cluster.served(r) == 0)
            cookie = r.header("Set-Cookie").substr(0, r.header("Set-Cookie").find(';'));
    }
    ASSERT_FALSE(cookie.empty());
    auto slow = std::async(std::launch::async, [&] {
        return httpRequest({.url = cluster.url("/app/slow?ms=10000"),
                            .headers = {"Cookie: " + cookie},
                            .timeoutMs = 15000});
    });
    std::this_thread::sleep_for(200ms);
    const auto paused = Clock::now();
    std::atomic<int> stuck{0};
    std::atomic<long long> lastStuckMs{0};
    {
        Paused pause(cluster[1].pid());
        std::vector<std::thread> clients;
        for (int c = 0; c < 8; ++c)
            clients.emplace_back([&] {
                int mine = 0;
                while (Clock::now() - paused < 6s) {
                    const auto sent = Clock::now();
                    HttpResponse r =
                        httpRequest({.url = cluster.url("/app/echo"), .timeoutMs = 10000});
                    const auto took = Clock::now() - sent;
                    if (r.status == 200 && took < 2s) continue;
                    // Waiting on the silent server ends when the checks take it out.
                    EXPECT_EQ(r.status, 200);
                    EXPECT_LT(took, 4s);
                    ++mine;
                    stuck += 1;
                    lastStuckMs =
                        std::chrono::duration_cast<std::chrono::milliseconds>(sent - paused)
                            .count();
                }
                EXPECT_LE(mine, 1);
            });
        for (auto& client : clients) client.join();
        EXPECT_TRUE(
            cluster.apache().waitForLog(cluster.address(1) + " is down (no answer in time)", 1s));
        // Its connects succeed: the page says that the answer never came, and how long
        // the check waited for it, in seconds.
        const std::string json = cluster.get("/quon-status?format=json").body;
        std::smatch waited;
        ASSERT_TRUE(std::regex_search(
            json, waited,
            std::regex("\"lastCheckSeconds\":([0-9.]+),\"lastError\":\"no answer in time\"")))
            << json;
        EXPECT_LT(std::stod(waited[1]), 10.0) << json;
    }
    EXPECT_LE(stuck.load(), 8);
    EXPECT_LT(lastStuckMs.load(), 3000);
    HttpResponse r = slow.get();
    EXPECT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(cluster.served(r), 0);
}

// A server whose connects time out (its host drops them) is silent to its checks as one
// that never answers: a request whose every server is down passes it by at once instead
// of waiting out the connect time-out on it, each time.
TEST(Recovery, AServerWhoseConnectsTimeOutHoldsUpNoRequest) {
    QuonCluster cluster({"/app/*=app\n", "/app/*=app\n/only/*=app\n"},
                        "mapcheck=30\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\n");
    ASSERT_TRUE(cluster.start("QuonConfig connecttimeout 2\n" + kStatusLocation));
    ASSERT_TRUE(waitUntil([&] { return cluster.get("/only/echo").status == 200; }));
    cluster.kill(1);
    const std::string host = cluster.address(1).substr(0, cluster.address(1).rfind(':'));
    FullBacklogListener dropping(host.c_str(), uint16_t(cluster.port(1)));
    ASSERT_TRUE(dropping.full());
    const std::string timedOut = "\"lastError\":\"no connection in time\"";
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::string json = cluster.get("/quon-status?format=json").body;
            return json.find("\"verdict\":\"down\"") != std::string::npos &&
                   json.find(timedOut) != std::string::npos;
        },
        6s));
    for (int k = 0; k < 3; ++k) {
        const auto sent = Clock::now();
        EXPECT_EQ(cluster.get("/only/echo").status, 503);
        EXPECT_LT(Clock::now() - sent, 1s) << k;
    }
}

// One virtual host's member list names its healthy server and one that takes connections
// and never answers; another virtual host has a server of its own. Both serve within two
// seconds of Apache's start.
TEST(Recovery, ASilentMemberHoldsUpNeitherItsHealthyServerNorAnotherVirtualHost) {
    QuonCluster cluster(2);
    LoopbackPeer silent("127.0.0.9");
    ASSERT_TRUE(silent.listening());
    ASSERT_TRUE(cluster.start({0}));
    cluster[0].writeFile("cluster.props", "SRV1=" + cluster.address(0) +
                                              "\nSRV9=" + serverName(silent.address()) + "\n");
    ASSERT_TRUE(cluster[0].reload());
    ApacheServer apache(ApacheOptions{
        .directives =
            "<VirtualHost 127.0.0.1:@PORT@>\n  ServerName a.test\n  QuonConfig bootstrap " +
            cluster.address(0) +
            "\n</VirtualHost>\n<VirtualHost 127.0.0.1:@PORT@>\n"
            "  ServerName b.test\n  QuonConfig bootstrap " +
            cluster.address(1) + "\n</VirtualHost>\n"});
    const auto start = Clock::now();
    ASSERT_TRUE(apache.start());
    for (const char* host : {"a.test", "b.test"})
        EXPECT_TRUE(waitUntil(
            [&] {
                return httpGet(apache.url("/app/echo"), {std::string("Host: ") + host}).status ==
                       200;
            },
            5s))
            << host;
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_TRUE(
        apache.waitForLog(serverName(silent.address()) + " not joined now: no answer in time"));
}

// A folder for a server store, shared with Apache's user, removed at the end.
struct StoreFolder {
    std::string dir;
    StoreFolder() {
        char folder[] = "/tmp/quon-store-XXXXXX";
        if (mkdtemp(folder)) dir = folder;
        shareWithApacheUser(dir);
    }
    ~StoreFolder() { std::filesystem::remove_all(dir); }
    std::string line() const { return "QuonConfig serverstore " + dir + "/servers\n"; }
    bool holds(const std::string& part) const {
        return waitUntil([&] { return readFile(dir + "/servers").find(part) != std::string::npos; });
    }
};

// Lines of one kind that one child wrote more than once since Apache's last restart: a
// kind is the module's text with the numbers in brackets (sockets) left out.
int repeatedKinds(const std::string& log) {
    std::istringstream lines(log.substr(log.rfind("SIGHUP received")));
    const std::regex pidAndText("\\[pid ([0-9]+)[^\\]]*\\] qnApache\\[[^\\]]*\\]  (.*)");
    const std::regex numbers("\\[[0-9]+\\]");
    std::map<std::string, int> kinds;
    int repeated = 0;
    for (std::string line; std::getline(lines, line);) {
        std::smatch found;
        if (std::regex_search(line, found, pidAndText))
            repeated += ++kinds[found[1].str() + std::regex_replace(found[2].str(), numbers, "")] > 1;
    }
    return repeated;
}

bool errorPage(const HttpResponse& r) {
    return r.status == 503 && r.body.find("Could not connect to Quon Server") != std::string::npos;
}

// Apache starts while every server is down: the URIs its store remembers get the error
// page, or its error URL (counted where the alert on error pages looks); a virtual host
// with no store claims the URIs its claim lines name; others get Apache's 404. Once the
// servers start, requests are served within a second, and the servers' mappings rule.
TEST(Recovery, AColdStartDuringAnOutageAnswersTheErrorPageThenServesWithinASecond) {
    QuonCluster cluster(2);
    StoreFolder store;
    ASSERT_TRUE(cluster.start(store.line()));
    ASSERT_TRUE(store.holds("pattern=/app*"));
    cluster.apache().stop();
    cluster.kill(0);
    cluster.kill(1);
    const std::string boot = "QuonConfig bootstrap " + cluster.address(0) + "\n";
    ApacheServer cold(ApacheOptions{
        .directives = boot + store.line() + "QuonConfig errorurl /sorry.html\n" + kStatusLocation +
                      "<VirtualHost 127.0.0.1:@PORT@>\n  ServerName main.test\n</VirtualHost>\n"
                      // Another bootstrap server: each one's tries are spaced a check apart.
                      "<VirtualHost 127.0.0.1:@PORT@>\n  ServerName claim.test\n"
                      "  QuonConfig bootstrap " + cluster.address(1) + "\n"
                      "  QuonConfig claim /app/*\n  QuonConfig claim /old/*\n</VirtualHost>\n",
        .logLevel = "warn"});
    ASSERT_TRUE(cold.start());
    const std::vector<std::string> claimHost{"Host: claim.test"};
    for (int k = 0; k < 2; ++k) {
        const HttpResponse redirect = httpGet(cold.url("/app/echo"));
        EXPECT_EQ(redirect.status, 302);
        EXPECT_EQ(redirect.header("Location"), "/sorry.html");
        EXPECT_TRUE(errorPage(httpGet(cold.url("/old/page"), claimHost)));
        EXPECT_EQ(httpGet(cold.url("/elsewhere")).status, 404);
    }
    ASSERT_TRUE(cluster.restart(0));
    ASSERT_TRUE(cluster.restart(1));
    const auto started = Clock::now();
    int redirects = 2;  // every answer of the outage is counted, these too
    EXPECT_TRUE(waitUntil(
        [&] {
            const int status = httpGet(cold.url("/app/echo")).status;
            redirects += status == 302;
            return status == 200;
        },
        5s));
    EXPECT_LT(Clock::now() - started, 1s);
    // What the outage left: its line, and its answers counted.
    EXPECT_TRUE(cold.waitForLog("NO servers reachable in cluster, start your bootstrap server " +
                                cluster.address(0) + " or one of the servers in your store file " +
                                store.dir + "/servers"));
    const std::string metrics = httpGet(cold.url("/quon-status?format=prometheus")).body;
    for (const std::string& counted :
         {"mapping=\"/app\\*\",outcome=\"redirect\"\\} " + std::to_string(redirects) + "\n",
          std::string("mapping=\"/old\\*\",outcome=\"error-page\"\\} 2\n")})
        EXPECT_TRUE(std::regex_search(metrics, std::regex("quon_answers_total\\{[^}]*" + counted)))
            << counted << metrics;
    EXPECT_TRUE(waitUntil([&] { return httpGet(cold.url("/app/echo"), claimHost).status == 200; }));
    EXPECT_EQ(httpGet(cold.url("/old/page"), claimHost).status, 404);
}

// Apache restarts while every server is down, traffic running in two children: every
// request gets the error page, the log keeps to two lines a second a child (each kind
// once in ten seconds), and the page,
// its JSON and the metrics show the bootstrap and stored servers the tables wait for,
// with their checks' verdicts and why; once they are back, each child says once that its
// table is ready.
TEST(Recovery, ARestartDuringAnOutageIsShownAndLoggedBoundedly) {
    QuonCluster cluster(2);
    cluster.useChildren(2);
    cluster.useLogLevel("warn");
    StoreFolder store;
    ASSERT_TRUE(cluster.start(store.line() + kStatusLocation));
    ASSERT_TRUE(store.holds(cluster.memberName(1)));
    cluster.kill(0);
    ASSERT_TRUE(cluster.apache().waitForLog(cluster.address(0) + " is down"));
    std::this_thread::sleep_for(1100ms);  // the second goes down in a later second
    cluster.kill(1);
    ASSERT_TRUE(cluster.restartApache(SIGHUP));
    const int before = cluster.apache().countLog("qnApache[");
    const auto start = Clock::now();
    int sent = 0;
    for (; Clock::now() - start < 6s; ++sent) {
        EXPECT_TRUE(errorPage(cluster.get("/app/echo"))) << sent;
        std::this_thread::sleep_for(100ms);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const int lines = cluster.apache().countLog("qnApache[") - before;
    std::cout << lines << " lines in " << seconds << " s\n";
    EXPECT_LE(lines, int(2 * 2 * seconds)) << cluster.apache().errorLog();
    EXPECT_EQ(repeatedKinds(cluster.apache().errorLog()), 0) << cluster.apache().errorLog();
    EXPECT_GT(cluster.apache().countLog("NO servers reachable in cluster"), 0);
    const std::string metrics = cluster.get("/quon-status?format=prometheus").body;
    EXPECT_TRUE(std::regex_search(
        metrics, std::regex("quon_answers_total\\{[^}]*outcome=\"error-page\"\\} " +
                            std::to_string(sent) + "\n")))
        << metrics;
    double firstDown = 1e12;
    for (int i = 0; i < 2; ++i) {
        const std::string name = cluster.memberName(i);
        const std::regex down("quon_check_up\\{[^}]*server=\"" + name + "\"\\} 0\n");
        EXPECT_TRUE(waitUntil([&] {
            return std::regex_search(cluster.get("/quon-status?format=prometheus").body, down);
        }))
            << name << cluster.get("/quon-status?format=prometheus").body;
        EXPECT_NE(cluster.get("/quon-status?format=json")
                      .body.find("{\"name\":\"" + name + "\",\"verdict\":\"down\",\"lastError\":\""),
                  std::string::npos);
        EXPECT_NE(cluster.get("/quon-status").body.find("data-server=\"" + name +
                                                        "\" data-verdict=\"down\"><th>"),
                  std::string::npos);
        // Its downtime runs while it is down, not only once it is back: in its server
        // record (from its name to the next record's).
        const std::string json = cluster.get("/quon-status?format=json").body;
        const std::regex downtime("\"health\":\\{\"verdict\":\"down\",\"since\":([0-9.]+),"
                                  "\"downSeconds\":([0-9.]+)");
        double most = 0;
        for (size_t at = json.find("\"name\":\"" + name + "\""); at != std::string::npos;
             at = json.find("\"name\":\"" + name + "\"", at + 1)) {
            const std::string record = json.substr(at, json.find("\"name\":", at + 1) - at);
            std::smatch found;
            if (std::regex_search(record, found, downtime)) {
                most = std::max(most, std::stod(found[2]));
                firstDown = std::min(firstDown, std::stod(found[1]));
            }
        }
        EXPECT_GT(most, 3.0) << json;
    }
    // The summary dates the outage from the first server to go, in the server's time.
    char since[16];
    const time_t first = time_t(firstDown);
    tm local{};
    strftime(since, sizeof since, "%H:%M:%S", localtime_r(&first, &local));
    EXPECT_NE(cluster.get("/quon-status").body.find(std::string("2 of 2 down since ") + since),
              std::string::npos)
        << cluster.get("/quon-status").body;
    EXPECT_NE(cluster.get("/quon-status").body.find(
                  "class=\"cold-reason\">the bootstrap server " + cluster.memberName(0) +
                  " supplied no server; none of the 1 servers the server store names joined"),
              std::string::npos);
    EXPECT_EQ(cluster.apache().countLog("mappings table ready after "), 0);
    ASSERT_TRUE(cluster.restart(0));
    ASSERT_TRUE(cluster.restart(1));
    EXPECT_TRUE(waitUntil([&] { return cluster.get("/app/echo").status == 200; }));
    EXPECT_TRUE(waitUntil(
        [&] { return cluster.apache().countLog("mappings table ready after ") == 2; }));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(cluster.apache().countLog("mappings table ready after "), 2)
        << cluster.apache().errorLog();
    // Counted from the first failed try, at the restart: the whole outage.
    const std::string log = cluster.apache().errorLog();
    const std::regex ready("mappings table ready after ([0-9]+) s");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), ready);
         it != std::sregex_iterator(); ++it)
        EXPECT_GE(std::stoi((*it)[1]), int(seconds) - 1) << log;
}

// Ticks of CPU (user and system) that process pid has used.
long cpuTicks(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int k = 3; fields >> field && k <= 15; ++k) {
        if (k == 14) utime = std::stol(field);
        if (k == 15) stime = std::stol(field);
    }
    return utime + stime;
}

// A response that reports a new cluster sequence number wakes the child's upkeep; once the
// list is applied, the child sleeps again: almost no CPU over the next seconds.
TEST(Recovery, AnIdleChildWokenOnceSleepsAgain) {
    QuonCluster cluster(2);
    ASSERT_TRUE(cluster.start());
    std::istringstream children(readFile("/proc/" + std::to_string(cluster.apache().pid()) +
                                         "/task/" + std::to_string(cluster.apache().pid()) +
                                         "/children"));
    pid_t child = 0;
    ASSERT_TRUE(children >> child);
    ASSERT_TRUE(cluster.announce({0, 1}, 7));
    ASSERT_EQ(cluster.get("/app/echo").status, 200);
    ASSERT_TRUE(cluster.apache().waitForLog("clusters updated using seq 7"));
    const long before = cpuTicks(child);
    std::this_thread::sleep_for(3s);
    EXPECT_LT(cpuTicks(child) - before, sysconf(_SC_CLK_TCK) / 5);  // under 0.2 s of 3
}

// Eight children of the prefork MPM check each server about once a second between them.
TEST(Recovery, EightPreforkChildrenCheckEachServerAtMostTwiceASecond) {
    QuonCluster cluster(2);
    cluster.useChildren(8, "prefork");
    cluster.useLogLevel("warn");
    ASSERT_TRUE(cluster.start());
    std::this_thread::sleep_for(1500ms);  // the children's first checks and joins are over
    const int before = cluster.logLines(1, "PROXY_GET_PROPS server-props");
    std::this_thread::sleep_for(5s);
    const int checks = cluster.logLines(1, "PROXY_GET_PROPS server-props") - before;
    EXPECT_GE(checks, 3);
    EXPECT_LE(checks, 10);
}
}  // namespace
