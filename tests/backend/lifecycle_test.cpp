// Start, concurrent service and stop of the whole process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "backend_process.h"
#include "backend_http_client.h"
#include "wire_client.h"

namespace backend_test {
namespace {

using namespace std::string_literals;

TEST(LifecycleTest, SigtermEndsBusyAndIdleConnectionsAndExitsCleanly) {
    BackendProcess server("127.0.0.8");
    ASSERT_TRUE(server.start());
    Client idle, sleeping, hanging;
    ASSERT_TRUE(idle.connect(server.quonAddress()));
    ASSERT_TRUE(idle.send("\x00\x00\x00\x0C"s));
    ASSERT_TRUE(sleeping.connect(server.quonAddress()));
    ASSERT_TRUE(sleeping.send(simpleRequest("/app/slow", "ms=60000")));
    ASSERT_TRUE(hanging.connect(server.quonAddress()));
    ASSERT_TRUE(hanging.send(simpleRequest("/app/echo", "fault=never-answer")));
    ASSERT_TRUE(server.waitForLog("not answering"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(idle.closedByPeer());
    EXPECT_TRUE(sleeping.closedByPeer());
    EXPECT_TRUE(hanging.closedByPeer());
    const std::string log = server.logText();
    EXPECT_NE(log.find("signal 15, stopping"), std::string::npos);
    EXPECT_NE(log.find("\nstopped\n"), std::string::npos);
}

TEST(LifecycleTest, ServesManyConnectionsAtOnce) {
    BackendProcess server("127.0.0.8");
    ASSERT_TRUE(server.start());
    constexpr int kClients = 12;
    constexpr int kExchanges = 25;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; ++t) {
        threads.emplace_back([&, t] {
            Client quon;
            HttpClient http;
            if (!quon.connect(server.quonAddress()) || !http.connect(server.httpAddress())) return;
            for (int i = 0; i < kExchanges; ++i) {
                const std::string n = std::to_string(t * 100 + i);
                if (!quon.send(simpleRequest("/app/size", "n=" + n))) return;
                const std::vector<Command> answer = quon.readUntilEnd();
                const std::optional<HttpResponse> r = http.request("/app/size?n=" + n);
                if (!answer.empty() && answer.back().code == 9 &&
                    bodyOf(answer).size() == size_t(t * 100 + i) && r &&
                    r->body.size() == size_t(t * 100 + i))
                    ++good;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(good.load(), kClients * kExchanges);
    EXPECT_EQ(server.stop(), 0);
}

TEST(LifecycleTest, ConnectionsBeyondTheLimitAreClosedAtOnce) {
    BackendProcess server("127.0.0.8");
    ASSERT_TRUE(server.start({"--max-connections", "2"}));
    Client first, second, third;
    ASSERT_TRUE(first.connect(server.quonAddress()));
    ASSERT_TRUE(second.connect(server.quonAddress()));
    ASSERT_TRUE(server.waitForLog("[q2] accepted"));
    ASSERT_TRUE(third.connect(server.quonAddress()));
    EXPECT_TRUE(third.closedByPeer());
    EXPECT_TRUE(server.waitForLog("[q3] refused: 2 connections already"));
    ASSERT_TRUE(second.send(simpleRequest("/app/echo")));
    EXPECT_EQ(second.readUntilEnd().back().code, 9);
}

struct StartCase {
    const char* name;
    std::vector<std::string> options;
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class BadStartTest : public testing::TestWithParam<StartCase> {};

TEST_P(BadStartTest, RefusesToStartWithAReason) {
    BackendProcess server("127.0.0.8");
    EXPECT_FALSE(server.start(GetParam().options));
    EXPECT_FALSE(readFile(server.path("stderr")).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Options, BadStartTest,
    testing::Values(StartCase{"UnknownOption", {"--no-such-option", "1"}},
                    StartCase{"MissingFile", {"--server-props", "/nonexistent/sp.props"}},
                    StartCase{"BadFault", {"--fault", "sometimes"}},
                    StartCase{"BadBuddy", {"--buddies", "TOOLONG"}},
                    StartCase{"BadProps", {"--props", "no-equals-sign"}}),
    [](const testing::TestParamInfo<StartCase>& info) { return info.param.name; });

TEST(LifecycleTest, APortInUseIsReported) {
    BackendProcess first("127.0.0.8");
    ASSERT_TRUE(first.start());
    BackendProcess second("127.0.0.8");
    const std::string address = first.quonAddress();
    EXPECT_FALSE(second.start({"--listen", address}));
    EXPECT_NE(readFile(second.path("stderr")).find("cannot listen on " + address),
              std::string::npos);
}

}  // namespace
}  // namespace backend_test
