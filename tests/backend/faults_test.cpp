// Faults set through the control file and SIGHUP, and the protocol errors of a peer that
// the server refuses: what the server sends, whether it closes, that it serves on.
#include <gtest/gtest.h>

#include "backend_process.h"
#include "wire_client.h"

namespace backend_test {
namespace {

std::string statusRequest() { return request("/app/status", "code=204&reason=x"); }

struct FaultCase {
    const char* name;
    std::string control;  // server-wide settings loaded on SIGHUP
    std::string sent;     // what the client sends then, if anything
    std::string bytes;    // what the server sends then
    bool closes;          // after them; else it serves on
    bool refusesNew;      // new connections are refused while the fault is set
    const char* logLine;
};

class FaultTest : public testing::TestWithParam<FaultCase> {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start({"--control", server.writeFile("control", "")}))
            << readFile(server.path("stderr"));
        ASSERT_TRUE(client.connect(server.quonAddress()));
        // Accepted before a fault can close the listeners.
        ASSERT_TRUE(server.waitForLog("[q1] accepted from"));
    }

    // A status request on `c` gets its whole answer.
    void expectServed(Client& c) {
        const std::string answer =
            head(server.quonAddress(), 204, "x") + putClient("status: 204\n") + kFinish;
        ASSERT_TRUE(c.send(statusRequest()));
        EXPECT_EQ(c.read(answer.size()), answer);
    }

    BackendProcess server{"127.0.0.5"};
    Client client;
};

TEST_P(FaultTest, SendsWhatTheFaultSaysAndTheServerGoesOn) {
    const FaultCase& c = GetParam();
    server.writeFile("control", c.control);
    ASSERT_TRUE(server.reload());
    ASSERT_TRUE(client.send(c.sent));
    EXPECT_EQ(client.read(c.bytes.size()), c.bytes);
    if (c.closes) {
        EXPECT_TRUE(client.closedByPeer());
    } else {
        expectServed(client);
    }
    EXPECT_TRUE(server.waitForLog(c.logLine)) << server.logText();
    Client other;
    EXPECT_EQ(other.connect(server.quonAddress()), !c.refusesNew);
    server.writeFile("control", "");
    ASSERT_TRUE(server.reload());
    if (c.refusesNew) {
        ASSERT_TRUE(server.waitForLog("accepting connections on " + server.quonAddress()));
    }
    Client next;
    ASSERT_TRUE(next.connect(server.quonAddress()));
    expectServed(next);
}

const std::string kBody = request("/app/body", "", "POST");
const std::string kAskData = be32(15) + be32(8192);

INSTANTIATE_TEST_SUITE_P(
    Modes, FaultTest,
    testing::Values(
        FaultCase{"BusyOnce", "fault=busy\nfault-count=1\n", statusRequest(), kBusy, false, false,
                  "fault busy"},
        FaultCase{"CloseBeforeCode", "fault=close-before-code\n", statusRequest(), "", true, false,
                  "fault close-before-code"},
        // Connections accepted before go on.
        FaultCase{"Refuse", "fault=refuse\n", "", "", false, true, "refusing connections on "},
        // A peer that breaks the item order, the body cap or the body exchange is refused,
        // so the connector's own tests fail when it does.
        FaultCase{"ItemsOutOfOrder", "", service40(item(22, "GET") + be32(31)), "", true, false,
                  "bad input: PROXY_SERVICE_40 expected item 19 (QUERY_STRING), got 22"},
        FaultCase{"PostDataTooLarge", "", kBody + be32(16) + be32(40961), kAskData, true, false,
                  "bad input: PROXY_POST_DATA count 40961 above 40960"},
        FaultCase{"PingInsteadOfPostData", "", kBody + kPing, kAskData, true, false,
                  "bad input: code 12 where PROXY_POST_DATA was due"}),
    [](const testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

}  // namespace
}  // namespace backend_test
