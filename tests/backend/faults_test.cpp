// Faults, asked for by one request or set for the whole server on the command line or
// through the control file and SIGHUP.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "backend_process.h"
#include "wire_client.h"

namespace backend_test {
namespace {

using namespace std::string_literals;

const std::string kBusy("\x00\x00\x00\x26", 4);
const std::string kFinish("\x00\x00\x00\x09", 4);

class FaultsTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start({"--server-props", server.writeFile("sp", "rep_id=FLT1\n"),
                                  "--control", server.writeFile("control", "")}))
            << readFile(server.path("stderr"));
        ASSERT_TRUE(client.connect(server.quonAddress()));
        // Accepted before any test closes the listeners.
        ASSERT_TRUE(server.waitForLog("[q1] accepted from"));
    }

    void setControl(const std::string& text) {
        server.writeFile("control", text);
        ASSERT_TRUE(server.reload());
    }

    // A new connection still gets a whole answer.
    void expectServing() {
        Client other;
        ASSERT_TRUE(other.connect(server.quonAddress()));
        ASSERT_TRUE(other.send(simpleRequest("/app/echo")));
        const std::vector<Command> answer = other.readUntilEnd();
        ASSERT_FALSE(answer.empty());
        EXPECT_EQ(answer.back().code, 9);
    }

    BackendProcess server{"127.0.0.5"};
    Client client;
};

struct FaultCase {
    const char* fault;
    // The exact bytes the server sends for /app/status?code=204&reason=x with that fault.
    std::function<std::string(const std::string& address)> answer;
    bool closes;
};

std::string statusAnswer(const std::string& address) {
    return be32(6) + be32(204) + str("x") + be32(7) +
           str("Content-Type: text/plain\r\nX-Quon-Server: " + address + "\r\n") + be32(8) +
           str("status: 204\n") + kFinish;
}

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.fault; }

class RequestFaultTest : public FaultsTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(RequestFaultTest, SendsWhatTheFaultSaysThenClosesOrStaysOpen) {
    const FaultCase& c = GetParam();
    ASSERT_TRUE(client.send(simpleRequest("/app/status", "code=204&reason=x&fault="s + c.fault)));
    const std::string expected = c.answer(server.quonAddress());
    if (!expected.empty()) {
        EXPECT_EQ(client.read(expected.size()), expected);
    }
    if (c.closes) {
        EXPECT_TRUE(client.closedByPeer());
    } else {
        ASSERT_TRUE(client.send(simpleRequest("/app/status", "code=204&reason=x")));
        EXPECT_EQ(client.read(statusAnswer(server.quonAddress()).size()),
                  statusAnswer(server.quonAddress()));
    }
    EXPECT_TRUE(server.waitForLog("fault "s + c.fault));
    expectServing();
}

INSTANTIATE_TEST_SUITE_P(
    PerRequest, RequestFaultTest,
    testing::Values(FaultCase{"busy", [](const std::string&) { return kBusy; }, false},
                    FaultCase{"unknown-code", [](const std::string&) { return be32(99); }, true},
                    FaultCase{"close-mid-string",
                              [](const std::string&) {
                                  // PUT_CLIENT announces 100 bytes and only 9 come.
                                  return be32(6) + be32(200) + str("OK") + be32(7) +
                                         str("Content-Type: text/plain\r\n") + be32(8) + be32(100) +
                                         "cut short";
                              },
                              true},
                    FaultCase{"close-before-code", [](const std::string&) { return ""s; }, true},
                    FaultCase{"close-idle", statusAnswer, true}),
    [](const testing::TestParamInfo<FaultCase>& info) {
        std::string name = info.param.fault;
        std::erase(name, '-');
        return name;
    });

TEST_F(FaultsTest, NeverAnsweringHoldsOnlyThatConnection) {
    ASSERT_TRUE(client.send(simpleRequest("/app/echo", "fault=never-answer")));
    EXPECT_TRUE(client.silentFor(300));
    expectServing();
    client.close();
    EXPECT_TRUE(server.waitForLog("closed: peer closed connection"));
}

TEST_F(FaultsTest, MoreSilentPeersThanWorkersStallNobodyElse) {
    std::vector<std::unique_ptr<Client>> silent;
    for (int i = 0; i < 4; ++i) {
        silent.push_back(std::make_unique<Client>());
        ASSERT_TRUE(silent.back()->connect(server.quonAddress()));
        ASSERT_TRUE(silent.back()->send(simpleRequest("/app/echo", "fault=never-answer")));
    }
    ASSERT_TRUE(server.waitForLog("[q5] not answering"));
    ASSERT_TRUE(client.send(simpleRequest("/app/echo")));
    EXPECT_EQ(client.readUntilEnd().back().code, 9);
    expectServing();
}

TEST_F(FaultsTest, AnUnknownFaultNameIsABadRequest) {
    ASSERT_TRUE(client.send(simpleRequest("/app/echo", "fault=nonsense")));
    const std::vector<Command> answer = client.readUntilEnd();
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer.front().number, 400);
    EXPECT_EQ(answer.back().code, 9);
}

TEST_F(FaultsTest, AServerWideFaultCanBeLimitedToAFewExchanges) {
    setControl("fault=busy\nfault-count=2\n");
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(client.send(simpleRequest("/app/echo")));
        EXPECT_EQ(client.read(4), kBusy);
    }
    ASSERT_TRUE(client.send(simpleRequest("/app/status", "code=204&reason=x")));
    EXPECT_EQ(client.read(statusAnswer(server.quonAddress()).size()),
              statusAnswer(server.quonAddress()));
}

TEST_F(FaultsTest, PropsFaultsLeaveRequestsAlone) {
    setControl("props-fault=busy\n");
    ASSERT_TRUE(client.send("\x00\x00\x00\x0D"s + str("server-props")));
    EXPECT_EQ(client.read(4), kBusy);
    ASSERT_TRUE(client.send(simpleRequest("/app/status", "code=204&reason=x")));
    EXPECT_EQ(client.read(statusAnswer(server.quonAddress()).size()),
              statusAnswer(server.quonAddress()));
    setControl("props-fault=close-mid-string\n");
    ASSERT_TRUE(client.send("\x00\x00\x00\x0D"s + str("server-props")));
    EXPECT_EQ(client.read(17), be32(14) + be32(100) + "cut short");
    EXPECT_TRUE(client.closedByPeer());
}

TEST_F(FaultsTest, RefusingClosesTheListenersUntilTheFaultIsCleared) {
    setControl("fault=refuse\n");
    ASSERT_TRUE(server.waitForLog("refusing connections on " + server.quonAddress()));
    ASSERT_TRUE(server.waitForLog("refusing connections on " + server.httpAddress()));
    Client refused;
    EXPECT_FALSE(refused.connect(server.quonAddress()));
    EXPECT_FALSE(refused.connect(server.httpAddress()));
    // A connection accepted before keeps being served.
    ASSERT_TRUE(client.send(simpleRequest("/app/echo")));
    EXPECT_EQ(client.readUntilEnd().back().code, 9);
    setControl("");
    ASSERT_TRUE(server.waitForLog("accepting connections on " + server.quonAddress()));
    expectServing();
}

TEST_F(FaultsTest, CloseIdleShutsConnectionsWaitingBetweenExchanges) {
    ASSERT_TRUE(client.send("\x00\x00\x00\x0C"s));
    ASSERT_TRUE(server.waitForLog("[q1] PROXY_PING"));
    setControl("fault=close-idle\n");
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(server.waitForLog("closing idle connection"));
    Client next;
    ASSERT_TRUE(next.connect(server.quonAddress()));
    ASSERT_TRUE(next.send(simpleRequest("/app/status", "code=204&reason=x")));
    EXPECT_EQ(next.read(statusAnswer(server.quonAddress()).size()),
              statusAnswer(server.quonAddress()));
    EXPECT_TRUE(next.closedByPeer());
}

TEST_F(FaultsTest, AnIdleTimeoutClosesQuietConnections) {
    setControl("idle-timeout-ms=150\n");
    Client quiet;
    ASSERT_TRUE(quiet.connect(server.quonAddress()));
    EXPECT_TRUE(quiet.closedByPeer());
    EXPECT_TRUE(server.waitForLog("idle time-out, closing"));
}

TEST(FaultsFromTheCommandLine, ApplyFromTheStart) {
    BackendProcess server("127.0.0.5");
    ASSERT_TRUE(server.start({"--fault", "busy", "--fault-count", "1"}));
    Client client;
    ASSERT_TRUE(client.connect(server.quonAddress()));
    ASSERT_TRUE(client.send(simpleRequest("/app/echo")));
    EXPECT_EQ(client.read(4), kBusy);
    ASSERT_TRUE(client.send(simpleRequest("/app/echo")));
    EXPECT_EQ(client.readUntilEnd().back().code, 9);
}

}  // namespace
}  // namespace backend_test
