// The status page, the shared counters, drain and disable, and the request's environment,
// through a real Apache of two children in front of three quon-backend servers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "quon_cluster.h"

namespace {
using backend_test::readFile;
using backend_test::runCommand;
using backend_test::waitUntil;

const std::string kStatusConfig =
    loadModules({"authz_host", "status"}) +
    "LogFormat \"%P %{QUON_SERVER}e %{QUON_ATTEMPTS}e %{QUON_MAPPING}e %>s %U%q\" quon\n"
    "CustomLog @DIR@/access.log quon\n"
    "<Location /quon-status>\n  SetHandler quon-status\n  Require local\n</Location>\n"
    "<Location /closed-status>\n  SetHandler quon-status\n  Require ip 127.0.0.9\n</Location>\n"
    "<Location /server-status>\n  SetHandler server-status\n  Require local\n</Location>\n";

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

// The first group of every match of pattern in text (the whole match without a group).
std::vector<std::string> allMatches(const std::string& text, const std::string& pattern) {
    std::vector<std::string> found;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it)
        found.push_back(it->size() > 1 ? (*it)[1].str() : it->str());
    return found;
}

// The JSON object of server name: from its "name" to the next object with one.
std::string serverObject(const std::string& json, const std::string& name) {
    const size_t start = json.find("{\"name\":\"" + name + "\"");
    if (start == std::string::npos) return "";
    return json.substr(start, json.find("{\"name\":", start + 1) - start);
}

// The value of key in a JSON object, a text without its quotes; "" when absent.
std::string text(const std::string& object, const std::string& key) {
    std::smatch match;
    const std::regex pattern("\"" + key + "\":\"?([^\",}]*)");
    return std::regex_search(object, match, pattern) ? std::string(match[1]) : "";
}

uint64_t field(const std::string& object, const std::string& key) {
    const std::string value = text(object, key);
    return value.empty() ? 0 : std::stoull(value);
}

uint64_t sum(QuonCluster& c, const std::string& json, const std::string& key) {
    uint64_t total = 0;
    for (int i = 0; i < c.size(); ++i) total += field(serverObject(json, c.address(i)), key);
    return total;
}

// The numbers that the first group of pattern matches in text, added.
uint64_t total(const std::string& text, const std::string& pattern) {
    uint64_t sum = 0;
    for (const std::string& number : allMatches(text, pattern)) sum += std::stoull(number);
    return sum;
}

// The page as headless Chromium builds it (its DOM, serialised).
std::string renderedDom(const std::string& url) {
    char pattern[] = "/tmp/quon-chromium-XXXXXX";
    const std::string profile = mkdtemp(pattern);
    std::string dom;
    const int status = runCommand(
        "timeout -s KILL 60 /usr/bin/chromium --headless --no-sandbox --disable-gpu "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--no-first-run --user-data-dir=" +
            profile + " --dump-dom '" + url + "' 2>/dev/null",
        dom);
    std::filesystem::remove_all(profile);
    EXPECT_EQ(status, 0) << "chromium";
    return dom;
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

HttpResponse postForm(QuonCluster& c, const std::string& form) {
    return httpPost(c.url("/quon-status"), form,
                    {"Content-Type: application/x-www-form-urlencoded"});
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

    const std::string metrics = cluster.get("/quon-status?format=prometheus").body;
    const std::string exposition = cluster.apache().dir() + "/metrics.txt";
    std::ofstream(exposition) << metrics;
    std::string lint;
    EXPECT_EQ(
        runCommand("timeout -s KILL 30 /usr/bin/promtool check metrics <" + exposition + " 2>&1",
                   lint),
        0)
        << lint << metrics;
    for (const char* metric : {"quon_requests_total", "quon_response_seconds_count"})
        EXPECT_EQ(total(metrics, "\n" + std::string(metric) + "\\{[^}]*\\} ([0-9]+)"), attempts)
            << metric;
    // Each server's histogram: its buckets never decrease along le, and +Inf holds _count.
    std::map<std::string, std::vector<std::pair<std::string, uint64_t>>> histograms;
    const std::regex bucket("\nquon_response_seconds_bucket\\{(.*),le=\"([^\"]+)\"\\} ([0-9]+)");
    for (auto it = std::sregex_iterator(metrics.begin(), metrics.end(), bucket);
         it != std::sregex_iterator(); ++it)
        histograms[(*it)[1]].emplace_back((*it)[2], std::stoull((*it)[3]));
    EXPECT_EQ(histograms.size(), size_t(cluster.size())) << metrics;
    for (const auto& [labels, buckets] : histograms) {
        for (size_t b = 1; b < buckets.size(); ++b)
            EXPECT_GE(buckets[b].second, buckets[b - 1].second) << labels << buckets[b].first;
        const std::string count = "\nquon_response_seconds_count\\{" + labels + "\\} ([0-9]+)";
        EXPECT_EQ(buckets.back().first, "+Inf") << labels;
        EXPECT_EQ(allMatches(metrics, count),
                  std::vector<std::string>{std::to_string(buckets.back().second)})
            << labels;
    }
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
    const std::string target = "&vhost=127.0.0.1&server=" + cluster.address(holder);

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

    // A graceful restart keeps the state and the counters, and the nonce.
    uint64_t before = sum(cluster, now, "requests");
    const int added = cluster.apache().countLog("added/activated proxy");
    ASSERT_TRUE(cluster.restartApache());
    ASSERT_TRUE(waitUntil(  // each new child has its table
        [&] { return cluster.apache().countLog("added/activated proxy") >= added + 3 * tables; }));
    now = cluster.get("/quon-status?format=json").body;
    EXPECT_EQ(text(serverObject(now, cluster.address(holder)), "admin"), "drained") << now;
    EXPECT_EQ(text(now, "nonce"), nonce);
    EXPECT_EQ(sum(cluster, now, "requests"), before);
    before += uint64_t(spreadOverChildren(cluster, "/app/echo", elsewhere));
    EXPECT_EQ(sum(cluster, cluster.get("/quon-status?format=json").body, "requests"), before);

    // Disabled: nothing reaches it; its sessions go to their buddy.
    EXPECT_EQ(postForm(cluster, "nonce=" + nonce + "&action=disable" + target).status, 303);
    spreadOverChildren(cluster, "/app/echo", elsewhere);
    spreadOverChildren(
        cluster, "/app/session",
        [&](const HttpResponse& r) { EXPECT_EQ(cluster.served(r), (holder + 1) % 3); }, {cookie});
    now = cluster.get("/quon-status?format=prometheus").body;
    EXPECT_NE(now.find("quon_admin_state{vhost=\"127.0.0.1\",server=\"" + cluster.address(holder) +
                       "\",state=\"disabled\"} 1"),
              std::string::npos)
        << now;

    EXPECT_EQ(postForm(cluster, "nonce=" + nonce + "&action=enable" + target).status, 303);
    std::set<int> servers;
    spreadOverChildren(cluster, "/app/echo",
                       [&](const HttpResponse& r) { servers.insert(cluster.served(r)); });
    EXPECT_EQ(servers, (std::set<int>{0, 1, 2}));
}
}  // namespace
