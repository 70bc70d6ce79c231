// Dispatch against real back-end servers, in process: fail-over one request at a time,
// then sixteen threads through one table while a server is killed and comes back and the
// member list changes (the test the ThreadSanitizer build runs).
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <functional>
#include <mutex>
#include <thread>

#include "backend_cluster.h"
#include "cluster_fixture.h"
#include "dispatch.h"
#include "fake_web_server.h"
#include "filter.h"

using Servers = backend_test::BackendCluster;

namespace {

// A table bootstrapped from server 0.
struct TableHolder {
    explicit TableHolder(const Servers& s) : table(req.get(), nullptr, s.address(0).c_str(), 1) {}
    RecordingRequest req;
    HandTable table;
};

// One request through the table as the handler hook sends it.
struct Outcome {
    int32_t result;
    int status;
    std::string body, lines;  // lines: what the call wrote to its channels
};
Outcome dispatch(mappingsTable* table, const std::string& uri, const std::string& query = "",
                 FakeWebServer* keep = nullptr) {
    FakeWebServer local(3);
    FakeWebServer& web = keep ? *keep : local;
    web.uri = uri;
    web.variables = {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}};
    web.prepare();
    int32_t result = table->handleRequestWithIndex(table, web.get(), nullptr, -1);
    web.finish();
    return {result, web.status, web.responseBody, web.recorder.dump()};
}

// Rows: how the servers misbehave before one request, and what the dispatch makes of it.
struct Case {
    const char* name;
    std::vector<std::string> mappings;  // per server
    std::function<void(Servers&)> before;
    const char* uri;
    int32_t result;
    int status;
    const char *bodyPart, *line;  // line: one the request must leave (any channel), or ""
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

void setFault(Servers& s, int i, const std::string& fault) {
    s[i].writeFile("control.props",
                   (s.size() > 1 ? "cluster-seq=1\nfault=" : "fault=") + fault + "\n");
    s[i].reload();
}

class DispatchCases : public ::testing::TestWithParam<Case> {};

TEST_P(DispatchCases, OneRequest) {
    const Case& c = GetParam();
    Servers servers(c.mappings);
    ASSERT_TRUE(servers.start());
    TableHolder holder(servers);
    ASSERT_EQ(holder.table->initTable(holder.table, holder.req.get()), 0) << holder.req.dump();
    c.before(servers);
    // Twice: round robin makes one of the two start with the first server.
    bool lineSeen = !*c.line;
    std::string lines;
    for (int round = 0; round < 2; ++round) {
        FakeWebServer web(3);
        Outcome out = dispatch(holder.table, c.uri, "", &web);
        EXPECT_EQ(out.result, c.result) << web.recorder.dump();
        EXPECT_EQ(out.status, c.status);
        EXPECT_NE(out.body.find(c.bodyPart), std::string::npos) << out.body;
        lineSeen = lineSeen || web.recorder.contains("", c.line);
        lines += web.recorder.dump();
        EXPECT_EQ(web.get()->sessionId, nullptr);
        EXPECT_EQ(web.get()->deferErrors, 0);
        EXPECT_EQ(web.liveBlocks(), 0);
    }
    EXPECT_TRUE(lineSeen) << lines;
}

const std::string kApp = "/app/*=app\n";
// clang-format off
INSTANTIATE_TEST_SUITE_P(Dispatch, DispatchCases, ::testing::Values(
    Case{"served", {kApp}, [](Servers&) {}, "/app/echo", 0, 200, "action: echo", ""},
    Case{"no entry matches", {kApp}, [](Servers&) {}, "/other/x", -2, 0, "", "request not for Quon."},
    Case{"one server, busy: no retry, the error page", {kApp}, [](Servers& s) { setFault(s, 0, "busy"); },
         "/app/echo", -1, 503, "Application server is busy", ""},
    Case{"cluster, a server refuses: the other serves", {kApp, kApp}, [](Servers& s) { s[0].stop(); },
         "/app/echo", 0, 200, "action: echo", " removed proxy, seq "},
    Case{"clustered, single-server entry fails twice: no page", {kApp, "/other/*=o\n"},
         [](Servers& s) { setFault(s, 0, "close-before-code"); }, "/app/echo", -1, 0, "",
         " already in failed target list"}),
    [](const auto& info) {
        std::string name;
        for (const char* c = info.param.name; *c; ++c) name += isalnum(*c) ? *c : '_';
        return name;
    });
// clang-format on

TEST(DispatchConcurrency, SixteenThreadsThroughOneTableWhileTheClusterChanges) {
    Servers servers({kApp, kApp, kApp});
    ASSERT_TRUE(servers.start({0, 1}));  // the third joins by announcement
    TableHolder holder(servers);
    ASSERT_EQ(holder.table->initTable(holder.table, holder.req.get()), 0) << holder.req.dump();

    // Every request gets one answer: its own echo exactly once, or a failure result with
    // nothing sent (the handler then answers with its status). A request that finds the
    // killed server revived by a probe over a stale pooled connection may fail that way.
    constexpr int kThreads = 16;
    std::atomic<int> served{0}, refused{0}, broken{0};
    std::atomic<bool> go{false}, stop{false};
    std::mutex firstBrokenLock;
    std::string firstBroken;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int k = 0; !stop; ++k) {
                std::string id = "id=" + std::to_string(t) + "-" + std::to_string(k);
                Outcome out = dispatch(holder.table, "/app/echo", id);
                std::string line = "\nquery: " + id + "\n";
                size_t at = out.body.find(line);
                bool once =
                    at != std::string::npos && out.body.find(line, at + 1) == std::string::npos;
                if (out.result == 0 && out.status == 200 && once) {
                    ++served;
                } else if (out.result < 0 && out.body.empty()) {
                    ++refused;
                } else {
                    std::lock_guard<std::mutex> hold(firstBrokenLock);
                    if (broken++ == 0) firstBroken = out.body + "\n" + out.lines;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    go = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    servers.kill(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    servers.announce({0, 1, 2}, 2, false);
    ASSERT_TRUE(servers.restart(1));
    servers[0].reload();
    servers[2].reload();
    // Until the announced member has served for a while (bounded).
    for (int wait = 0; wait < 100 && servers.requestsSeen(2) < 20; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(broken, 0) << firstBroken;
    EXPECT_GT(served, 20 * refused) << "refused " << refused;
    // With the cluster settled, every request is served.
    for (int k = 0; k < 30; ++k) EXPECT_EQ(dispatch(holder.table, "/app/echo").result, 0);
    // The announced member took part.
    EXPECT_GT(servers.requestsSeen(2), 0);
}

}  // namespace
