// Dispatch against real back-end servers, in process: the fail-over cases one request
// at a time, then sixteen threads through one table while a server is killed and comes
// back and the member list changes (the test the ThreadSanitizer build runs).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <csignal>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sys/wait.h>
#include <thread>

#include "backend_process.h"
#include "dispatch.h"
#include "fake_web_server.h"
#include "filter.h"
#include "table.h"

using backend_test::BackendProcess;

namespace {

// Servers on 127.0.0.2, .3 and .4, each the session buddy of the next, with the
// member list and sequence number in files they reload on request.
class Servers {
public:
    explicit Servers(std::vector<std::string> mappings) {
        for (size_t i = 0; i < mappings.size(); ++i) {
            std::string host = "127.0.0." + std::to_string(2 + i);
            servers_.push_back(std::make_unique<BackendProcess>(host));
            quon_.push_back(host + ":" + std::to_string(freePort(host)));
            mappings_.push_back(mappings[i]);
        }
    }
    bool start(const std::vector<int>& members) {
        for (int i = 0; i < size(); ++i) {
            // A lone server announces no sequence number: its table is not a cluster.
            writeMembers(i, members, size() > 1 ? 1 : 0);
            BackendProcess& s = *servers_[size_t(i)];
            options_.push_back({"--listen", quon_[size_t(i)], "--server-props",
                                s.writeFile("sp", "rep_id=SRV" + std::to_string(i + 1) +
                                                      "\nalgorithm=ROUNDROBIN\nsticky=true\n"),
                                "--mappings", s.writeFile("mp", mappings_[size_t(i)]), "--cluster",
                                s.path("cl"), "--control", s.path("ctl"), "--buddies",
                                "SRV" + std::to_string((i + 1) % size() + 1)});
            if (!s.start(options_.back())) return false;
        }
        return true;
    }
    int size() const { return int(servers_.size()); }
    const std::string& address(int i) const { return quon_[size_t(i)]; }
    BackendProcess& operator[](int i) { return *servers_[size_t(i)]; }
    void kill(int i) {
        ::kill((*this)[i].pid(), SIGKILL);
        (*this)[i].stop();
    }
    bool restart(int i) {
        std::filesystem::remove((*this)[i].path("ready"));
        return (*this)[i].start(options_[size_t(i)]);
    }
    void writeMembers(int i, const std::vector<int>& members, int seq) {
        std::string list;
        for (int m : members) list += "SRV" + std::to_string(m + 1) + "=" + address(m) + "\n";
        (*this)[i].writeFile("cl", list);
        (*this)[i].writeFile("ctl", seq ? "cluster-seq=" + std::to_string(seq) + "\n" : "");
    }
    int logLines(int i, const std::string& part) {
        std::string text = (*this)[i].logText();
        int count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }

private:
    static int freePort(const std::string& host) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr(host.c_str());
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t length = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        close(fd);
        return ntohs(a.sin_port);
    }
    std::vector<std::unique_ptr<BackendProcess>> servers_;
    std::vector<std::string> quon_, mappings_;
    std::vector<std::vector<std::string>> options_;
};

struct TableHolder {
    RecordingRequest req;
    mappingsTable* table;
    explicit TableHolder(const std::string& bootstrap)
        : table(mappingsTableNew(req.get(), nullptr, bootstrap.c_str(), 1)) {}
    ~TableHolder() { mappingsTableDelete(table, req.get()); }
};

// One request through the table as the handler hook sends it.
struct Outcome {
    int32_t result;
    int status;
    std::string body;
    std::string server;
    std::string lines;  // what the call wrote to its channels
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
    std::string server;
    for (const auto& [name, value] : web.responseHeaders)
        if (name == "X-Quon-Server") server = value;
    return {result, web.status, web.responseBody, server, web.recorder.dump()};
}

// Rows: how the servers misbehave before one request, and what the dispatch makes of it.
struct Case {
    const char* name;
    std::vector<std::string> mappings;  // per server
    std::function<void(Servers&)> before;
    const char* uri;
    int32_t result;
    int status;
    const char* bodyPart;
    const char* line;  // a line the request must leave (any channel), or ""
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

void setFault(Servers& s, int i, const std::string& fault) {
    s[i].writeFile("ctl", (s.size() > 1 ? "cluster-seq=1\n" : "") + ("fault=" + fault + "\n"));
    s[i].reload();
}

class DispatchCases : public ::testing::TestWithParam<Case> {};

TEST_P(DispatchCases, OneRequest) {
    const Case& c = GetParam();
    Servers servers(c.mappings);
    std::vector<int> all;
    for (int i = 0; i < servers.size(); ++i) all.push_back(i);
    ASSERT_TRUE(servers.start(all));
    TableHolder holder(servers.address(0));
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
INSTANTIATE_TEST_SUITE_P(
    Dispatch, DispatchCases,
    ::testing::Values(
        Case{"served", {kApp}, [](Servers&) {}, "/app/echo", 0, 200, "action: echo", ""},
        Case{"no entry matches", {kApp}, [](Servers&) {}, "/other/x", -2, 0, "",
             "request not for Quon."},
        Case{"one server, busy: no retry, the error page", {kApp},
             [](Servers& s) { setFault(s, 0, "busy"); }, "/app/echo", -1, 503,
             "Application server is busy", ""},
        Case{"cluster, a server refuses: the other serves", {kApp, kApp},
             [](Servers& s) { s[0].stop(); }, "/app/echo", 0, 200,
             "action: echo", " removed proxy, seq "},
        Case{"clustered, single-server entry fails twice: no page", {kApp, "/other/*=o\n"},
             [](Servers& s) { setFault(s, 0, "close-before-code"); }, "/app/echo", -1, 0, "",
             " already in failed target list"},
        Case{"every server down: the page for an unreachable server", {kApp, kApp},
             [](Servers& s) { s[0].stop(); s[1].stop(); }, "/app/echo", -1, 503,
             "Could not connect to Quon Server",
             "or one of the servers in your store file <null>"}),
    [](const auto& info) {
        std::string name;
        for (const char* c = info.param.name; *c; ++c) name += isalnum(*c) ? *c : '_';
        return name;
    });

TEST(DispatchConcurrency, SixteenThreadsThroughOneTableWhileTheClusterChanges) {
    Servers servers({kApp, kApp, kApp});
    ASSERT_TRUE(servers.start({0, 1}));  // the third joins by announcement
    TableHolder holder(servers.address(0));
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
                bool once = at != std::string::npos && out.body.find(line, at + 1) == std::string::npos;
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
    for (int i = 0; i < 3; ++i) servers.writeMembers(i, {0, 1, 2}, 2);
    ASSERT_TRUE(servers.restart(1));
    servers[0].reload();
    servers[2].reload();
    // Until the announced member has served for a while (bounded).
    for (int wait = 0; wait < 100 && servers.logLines(2, "] PROXY_SERVICE_40 ") < 20; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(broken, 0) << firstBroken;
    EXPECT_GT(served, 20 * refused) << "refused " << refused;
    // With the cluster settled, every request is served.
    for (int k = 0; k < 30; ++k) EXPECT_EQ(dispatch(holder.table, "/app/echo").result, 0);
    // The announced member took part.
    EXPECT_GT(servers.logLines(2, "] PROXY_SERVICE_40 "), 0);
}

}  // namespace
