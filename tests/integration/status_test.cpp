// The status page, the shared counters, drain and disable, and the request's environment,
// through a real Apache of two children in front of three quon-backend servers.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <set>
#include <thread>

#include "status_helpers.h"

namespace {
using backend_test::readFile;
using backend_test::waitUntil;
using namespace status_test;

std::string accessLog(QuonCluster& c) { return readFile(c.apache().dir() + "/access.log"); }

// The pids of the access-log lines from offset on that contain part.
std::set<std::string> pidsOf(const std::string& log, size_t offset, const std::string& part) {
    std::set<std::string> pids;
    std::istringstream lines(log.substr(std::min(offset, log.size())));
    for (std::string line; std::getline(lines, line);)
        if (line.find(part) != std::string::npos) pids.insert(line.substr(0, line.find(' ')));
    return pids;
}

// Rounds of eight clients, each request on a new connection, until both children served
// path (bounded); each answer goes to check. The number of requests sent.
int spreadOverChildren(QuonCluster& c, const std::string& path,
                       const std::function<void(const HttpResponse&)>& check,
                       const std::vector<std::string>& headers = {}) {
    const size_t offset = accessLog(c).size();
    int sent = 0;
    for (int round = 0; round < 10 && pidsOf(accessLog(c), offset, path).size() < 2; ++round) {
        std::vector<HttpResponse> answers(8);
        std::vector<std::thread> clients;
        for (size_t t = 0; t < answers.size(); ++t)
            clients.emplace_back([&, t] { answers[t] = c.get(path, headers); });
        for (auto& client : clients) client.join();
        for (const HttpResponse& r : answers) check(r);
        sent += int(answers.size());
    }
    EXPECT_EQ(pidsOf(accessLog(c), offset, path).size(), 2u) << "one child served " << path;
    return sent;
}

uint64_t sum(QuonCluster& c, const std::string& json, const std::string& key) {
    uint64_t total = 0;
    for (int i = 0; i < c.size(); ++i) total += field(serverObject(json, c.address(i)), key);
    return total;
}

// server -> data-state of every server row of the DOM.
std::map<std::string, std::string> serverRows(const std::string& dom) {
    std::map<std::string, std::string> rows;
    const std::regex row(
        "<tr class=\"server\" [^>]*data-server=\"([^\"]+)\" data-state=\"([a-z]+)\"");
    for (auto it = std::sregex_iterator(dom.begin(), dom.end(), row); it != std::sregex_iterator();
         ++it)
        rows[(*it)[1]] = (*it)[2];
    return rows;
}

TEST(StatusTest, CountersOfBothChildrenAddUpInEveryFormat) {
    QuonCluster cluster(3);
    cluster.useChildren(2);
    ASSERT_TRUE(cluster.start(kStatusConfig));
    uint64_t received = 0;  // body bytes that reached the client
    int served = spreadOverChildren(cluster, "/app/echo", [&](const HttpResponse& r) {
        EXPECT_EQ(r.status, 200) << r.body;
        received += r.body.size();
    });
    // Each server answers busy, breaks the protocol or closes before it answers in turn:
    // three attempts, two fail-overs.
    for (const char* fault : {"busy", "busy", "unknown-code", "close-before-code"})
        EXPECT_EQ(cluster.get(std::string("/app/echo?fault=") + fault).status, 503);
    HttpResponse posted = httpPost(cluster.url("/app/body"), std::string(1000, 'x'));
    EXPECT_EQ(keyValues(posted.body, ": ")["length"], "1000") << posted.body;
    ++served;
    received += posted.body.size();

    const std::string json = cluster.get("/quon-status?format=json").body;
    const uint64_t attempts = uint64_t(served) + 12;
    const std::pair<const char*, uint64_t> sums[] = {
        {"requests", attempts}, {"count", attempts}, {"busy", 6}, {"protocol", 3},
        {"receive", 3},         {"connect", 0},      {"send", 0}, {"failovers", 8},
        {"bytesToServer", 1000}};
    for (const auto& [key, expected] : sums)
        EXPECT_EQ(sum(cluster, json, key), expected) << key << json;
    EXPECT_EQ(sum(cluster, json, "bytesToClient"), received);
    // Every child waits at most the retry interval (1 s) for a server it could not reach.
    const std::vector<std::string> waits = allMatches(json, "\"retryLeft\":([^,}]*)");
    EXPECT_FALSE(waits.empty()) << json;
    for (const std::string& left : waits) EXPECT_TRUE(left == "0" || left == "1") << json;

    // Per mapping, how the requests were answered: the faults got the error page.
    EXPECT_EQ(total(json, "\"served\":([0-9]+)"), uint64_t(served)) << json;
    EXPECT_EQ(total(json, "\"errorPage\":([0-9]+)"), 4u);
    EXPECT_EQ(text(json, "version"), "3");
    EXPECT_GT(field(json, "countersSince"), 0u);
    EXPECT_EQ(allMatches(json, "\\{\"pid\":[0-9]+,\"self\":[a-z]+,\"startedAt\":[1-9]").size(), 2u)
        << "each child and its start";

    const std::string metrics = cluster.get("/quon-status?format=prometheus").body;
    expectValidMetrics(metrics, cluster.apache().dir());
    for (const char* metric : {"quon_requests_total", "quon_response_seconds_count"})
        EXPECT_EQ(total(metrics, "\n" + std::string(metric) + "\\{[^}]*\\} ([0-9]+)"), attempts)
            << metric;
    EXPECT_EQ(total(metrics, "\nquon_answers_total\\{[^}]*outcome=\"error-page\"\\} ([0-9]+)"), 4u);
    EXPECT_EQ(total(metrics, "\nquon_children ([0-9]+)"), 2u);
    EXPECT_EQ(metrics.find("pid="), std::string::npos) << "no label that changes with the children";
    const std::string brief = cluster.get("/server-status?auto").body;
    EXPECT_EQ(total(brief, "QuonServer\\[[0-9]+\\]Requests: ([0-9]+)"), attempts) << brief;
    EXPECT_EQ(cluster.get("/closed-status").status, 403);

    // The environment: the server of the last attempt, the attempts, the entry's pattern.
    const std::string log = accessLog(cluster);
    EXPECT_TRUE(std::regex_search(
        log, std::regex("\\n[0-9]+ " + cluster.address(0) + " 1 /app\\* 200 /app/echo\\n")))
        << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("[0-9]+ 127\\.0\\.0\\.[2-4]:[0-9]+ 3 /app\\* "
                                                  "503 /app/echo\\?fault=busy")));
    EXPECT_TRUE(std::regex_search(log, std::regex("[0-9]+ - - - 200 /quon-status")));

    // A killed server is seen down by both children once each has tried it.
    cluster.kill(2);
    EXPECT_TRUE(waitUntil([&] {
        cluster.get("/app/echo");
        cluster.get("/app/echo");
        const std::string now = cluster.get("/quon-status?format=json").body;
        return text(serverObject(now, cluster.address(2)), "state") == "down";
    }));
    EXPECT_GT(sum(cluster, cluster.get("/quon-status?format=json").body, "connect"), 0u);
    const std::string seen = cluster.get("/quon-status?format=prometheus").body;
    for (int i = 0; i < cluster.size(); ++i)
        EXPECT_EQ(total(seen, "\nquon_server_children_up\\{[^}]*server=\"" + cluster.address(i) +
                                  "\"\\} ([0-9]+)"),
                  i == 2 ? 0u : 2u)
            << seen;
    const std::string dom = renderedDom(cluster.url("/quon-status"));
    const std::map<std::string, std::string> rows = serverRows(dom);
    EXPECT_EQ(rows, (std::map<std::string, std::string>{{cluster.address(0), "up"},
                                                        {cluster.address(1), "up"},
                                                        {cluster.address(2), "down"}}))
        << dom;
    EXPECT_EQ(allMatches(dom, "<li class=\"child\" data-pid=").size(), 6u)
        << "each child's sight of each server";
}

// A second virtual server, own.test, fronts the same cluster with a table of its own.
TEST(StatusTest, DrainAndDisableSteerEveryChild) {
    QuonCluster cluster(3);
    cluster.useChildren(2);
    ASSERT_TRUE(cluster.start(
        kStatusConfig +
        "<VirtualHost 127.0.0.1:@PORT@>\n  ServerName main.test\n</VirtualHost>\n"
        "<VirtualHost 127.0.0.1:@PORT@>\n  ServerName own.test\n"
        "  QuonConfig bootstrap @BOOT@\n  QuonConfig Verbose true\n</VirtualHost>\n"));
    const int tables = 2 * 2;  // each child's, of each virtual server
    ASSERT_TRUE(waitUntil(
        [&] { return cluster.apache().countLog("added/activated proxy") >= 3 * tables; }));
    const std::string json = cluster.get("/quon-status?format=json").body;
    const std::string nonce = text(json, "nonce");
    ASSERT_EQ(nonce.size(), 32u) << json;
    HttpResponse first = cluster.get("/app/session");
    const int holder = cluster.served(first);
    ASSERT_GE(holder, 0);
    const std::string cookie = "Cookie: JSESSIONID=" + keyValues(first.body, ": ")["session"];
    const std::string vhost = "127.0.0.1:" + std::to_string(cluster.apache().port());
    const std::string target = "&vhost=" + vhost + "&server=" + cluster.address(holder);

    EXPECT_EQ(postForm(cluster, "action=drain" + target).status, 403);
    EXPECT_EQ(postForm(cluster, "nonce=" + std::string(32, '0') + "&action=drain" + target).status,
              403);
    EXPECT_TRUE(cluster.apache().waitForLog("refused: it carries no nonce"));
    EXPECT_TRUE(cluster.apache().waitForLog("refused: its nonce is not the page's"));
    EXPECT_EQ(postForm(cluster, "nonce=" + nonce + "&action=wake" + target).status, 400);

    // Drained, in every virtual server when none is named: new requests go elsewhere in both
    // children, its sessions stay with it.
    const std::string server = cluster.address(holder);
    EXPECT_EQ(postForm(cluster, "nonce=" + nonce + "&action=drain&server=" + server).status, 303);
    const std::string drained =
        "\nquon_admin_state\\{vhost=\"[^\"]+\",server=\"" + server + "\",state=\"drained\"\\} 1";
    const std::string metrics = cluster.get("/quon-status?format=prometheus").body;
    EXPECT_EQ(allMatches(metrics, drained).size(), 2u) << metrics;
    const auto elsewhere = [&](const HttpResponse& r) {
        EXPECT_EQ(r.status, 200);
        EXPECT_NE(cluster.served(r), holder);
    };
    spreadOverChildren(cluster, "/app/echo", elsewhere);
    spreadOverChildren(cluster, "/app/session",
                       [&](const HttpResponse& r) {
                           EXPECT_EQ(cluster.served(r), holder);
                           EXPECT_EQ(keyValues(r.body, ": ")["state"], "known");
                       },
                       {cookie});
    std::string now = cluster.get("/quon-status?format=json").body;
    EXPECT_EQ(text(serverObject(now, cluster.address(holder)), "admin"), "drained");
    EXPECT_EQ(field(serverObject(now, cluster.address(holder)), "inFlight"), 0u);

    // A graceful restart keeps the state and the counters; the page gets a new nonce, and
    // the one it showed before still counts for a minute.
    uint64_t before = sum(cluster, now, "requests");
    const int added = cluster.apache().countLog("added/activated proxy");
    ASSERT_TRUE(cluster.restartApache());
    ASSERT_TRUE(waitUntil(  // each new child has its table
        [&] { return cluster.apache().countLog("added/activated proxy") >= added + 3 * tables; }));
    now = cluster.get("/quon-status?format=json").body;
    EXPECT_EQ(text(serverObject(now, cluster.address(holder)), "admin"), "drained") << now;
    EXPECT_NE(text(now, "nonce"), nonce);
    EXPECT_EQ(text(now, "nonce").size(), 32u);
    EXPECT_EQ(postForm(cluster, "nonce=" + nonce + "&action=drain" + target).status, 303);
    EXPECT_EQ(sum(cluster, now, "requests"), before);
    before += uint64_t(spreadOverChildren(cluster, "/app/echo", elsewhere));
    EXPECT_EQ(sum(cluster, cluster.get("/quon-status?format=json").body, "requests"), before);
    // So does apache2ctl restart, whose parent stays while it stops its children at once.
    ASSERT_TRUE(cluster.restartApache(SIGHUP));
    ASSERT_TRUE(waitUntil([&] { return cluster.get("/app/echo").status == 200; }));
    now = cluster.get("/quon-status?format=json").body;
    EXPECT_EQ(text(serverObject(now, cluster.address(holder)), "admin"), "drained") << now;
    EXPECT_GT(sum(cluster, now, "requests"), before);
    const std::string fresh = text(now, "nonce");
    EXPECT_EQ(postForm(cluster, "nonce=" + nonce + "&action=disable" + target).status, 403)
        << "the nonce of two restarts ago";

    // Disabled: nothing reaches it; its sessions go to their buddy.
    EXPECT_EQ(postForm(cluster, "nonce=" + fresh + "&action=disable" + target).status, 303);
    spreadOverChildren(cluster, "/app/echo", elsewhere);
    spreadOverChildren(
        cluster, "/app/session",
        [&](const HttpResponse& r) { EXPECT_EQ(cluster.served(r), (holder + 1) % 3); }, {cookie});
    now = cluster.get("/quon-status?format=prometheus").body;
    EXPECT_NE(now.find("quon_admin_state{vhost=\"" + vhost + "\",server=\"" + cluster.address(holder) +
                       "\",state=\"disabled\"} 1"),
              std::string::npos)
        << now;

    EXPECT_EQ(postForm(cluster, "nonce=" + fresh + "&action=enable" + target).status, 303);
    std::set<int> servers;
    spreadOverChildren(cluster, "/app/echo",
                       [&](const HttpResponse& r) { servers.insert(cluster.served(r)); });
    EXPECT_EQ(servers, (std::set<int>{0, 1, 2}));
}

// How requests were answered and where their sessions went, per mapping and server, in
// the JSON and the metrics: sticky hits, a session moved to its buddy and one broken, a
// 504, a cut answer, and an outage's 503s turned into redirects to the errorurl.
TEST(StatusTest, AnswersAndSessionsAreCounted) {
    QuonCluster cluster(3);
    ASSERT_TRUE(cluster.start(kStatusConfig + "QuonConfig errorurl /sorry.html\n"
                                              "QuonConfig responsetimeout 500ms\n"));
    const std::string nonce = text(cluster.get("/quon-status?format=json").body, "nonce");
    HttpResponse first = cluster.get("/app/session");
    const int holder = cluster.served(first), buddy = (holder + 1) % 3;
    ASSERT_GE(holder, 0);
    const std::vector<std::string> cookie = {"Cookie: JSESSIONID=" +
                                             keyValues(first.body, ": ")["session"]};
    const auto admin = [&](const char* action, int server) {
        EXPECT_EQ(postForm(cluster, "nonce=" + nonce + "&action=" + action +
                                        "&server=" + cluster.address(server))
                      .status,
                  303);
    };
    for (int k = 0; k < 3; ++k) EXPECT_EQ(cluster.served(cluster.get("/app/session", cookie)), holder);
    admin("disable", holder);
    for (int k = 0; k < 2; ++k) EXPECT_EQ(cluster.served(cluster.get("/app/session", cookie)), buddy);
    admin("disable", buddy);
    EXPECT_EQ(cluster.served(cluster.get("/app/session", cookie)), (holder + 2) % 3);
    admin("enable", holder);
    admin("enable", buddy);
    EXPECT_EQ(cluster.get("/app/slow?ms=2000").status, 504);
    HttpResponse cut = cluster.get("/app/raw?h=Content-Length:100&b=abc&end=close");
    EXPECT_EQ(cut.body.size(), 3u) << cut.error;
    for (int i = 0; i < cluster.size(); ++i) cluster.kill(i);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(cluster.get("/app/echo").status, 302);
    // The cause of the outage's page is the refused connects, not a time-out.
    EXPECT_TRUE(cluster.apache().waitForLog("returning error page for 111 Connection refused"))
        << cluster.apache().errorLog();
    EXPECT_EQ(cluster.apache().countLog("returning error page for 110"), 0);

    const std::string json = cluster.get("/quon-status?format=json").body;
    const std::string sessions = serverObject(json, cluster.address(holder));
    const std::pair<const char*, uint64_t> counted[] = {
        {"\"sessions\":\\{\"requests\":([0-9]+)", 6}, {"\"hits\":([0-9]+)", 3},
        {"\"moved\":([0-9]+)", 2}, {"\"broken\":([0-9]+)", 1}};
    for (const auto& [pattern, expected] : counted)
        EXPECT_EQ(total(sessions, pattern), expected) << pattern << sessions;
    const std::pair<const char*, uint64_t> answers[] = {
        {"served", 7}, {"errorPage", 0}, {"redirect", 3}, {"timeout", 1}, {"cut", 1},
        {"brokenSessions", 1}};
    for (const auto& [key, expected] : answers)
        EXPECT_EQ(total(json, "\"" + std::string(key) + "\":([0-9]+)"), expected) << key << json;

    const std::string metrics = cluster.get("/quon-status?format=prometheus").body;
    expectValidMetrics(metrics, cluster.apache().dir());
    const std::string server = "server=\"" + cluster.address(holder) + "\"";
    const std::pair<std::string, uint64_t> samples[] = {
        {"quon_answers_total\\{[^}]*outcome=\"redirect\"", 3},
        {"quon_answers_total\\{[^}]*outcome=\"timeout\"", 1},
        {"quon_session_sticky_hits_total\\{[^}]*" + server, 3},
        {"quon_sessions_moved_total\\{[^}]*" + server, 2},
        {"quon_sessions_broken_total\\{[^}]*" + server, 1}};
    for (const auto& [pattern, expected] : samples)
        EXPECT_EQ(total(metrics, "\n" + pattern + "\\} ([0-9]+)"), expected) << pattern;
}
}  // namespace
