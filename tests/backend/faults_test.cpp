// Faults the connector's tests ask for, by one request or for the whole server through
// the control file and SIGHUP, and the protocol errors of a peer that the server refuses:
// what the server sends, whether it closes, and that it goes on serving.
#include <gtest/gtest.h>

#include "backend_process.h"
#include "wire_client.h"

namespace backend_test {
namespace {

std::string statusRequest(const std::string& more = "") {
    return request("/app/status", "code=204&reason=x" + more);
}

enum class Then { Serves, Closes, StaysSilent };  // after the fault's bytes

struct FaultCase {
    const char* name;
    std::string control;  // server-wide settings loaded on SIGHUP
    std::string sent;     // what the client sends then, if anything
    std::string bytes;    // what the server sends then
    Then then;
    bool refusesNew;  // new connections are refused while the fault is set
    const char* logLine;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

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
    if (c.then == Then::Serves) {
        expectServed(client);
    } else {
        EXPECT_TRUE(c.then == Then::Closes ? client.closedByPeer() : client.silentFor(200));
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

// The status request's first messages, and PROXY_PUT_CLIENT announcing 100 bytes of
// which only 9 come.
const std::string kCutShort = be32(6) + be32(200) + str("OK") + be32(7) +
                              str("Content-Type: text/plain\r\n") + be32(8) + be32(100) +
                              "cut short";
// A body request, and the server's PROXY_GET_DATA for it.
const std::string kBody = request("/app/body", "", "POST");
const std::string kAskData = be32(15) + be32(8192);

INSTANTIATE_TEST_SUITE_P(
    Modes, FaultTest,
    testing::Values(
        FaultCase{"Busy", "", statusRequest("&fault=busy"), kBusy, Then::Serves, false, "fault busy"},
        FaultCase{"UnknownCode", "", statusRequest("&fault=unknown-code"), be32(99), Then::Closes,
                  false, "fault unknown-code"},
        FaultCase{"CloseMidString", "", statusRequest("&fault=close-mid-string"), kCutShort,
                  Then::Closes, false, "fault close-mid-string"},
        FaultCase{"CloseBeforeCode", "", statusRequest("&fault=close-before-code"), "",
                  Then::Closes, false, "fault close-before-code"},
        FaultCase{"NeverAnswer", "", statusRequest("&fault=never-answer"), "", Then::StaysSilent,
                  false, "not answering"},
        FaultCase{"ServerBusyOnce", "fault=busy\nfault-count=1\n", statusRequest(), kBusy,
                  Then::Serves, false, "fault busy"},
        FaultCase{"PropsCutShort", "props-fault=close-mid-string\n", getProps("server-props"),
                  be32(14) + be32(100) + "cut short", Then::Closes, false, "fault close-mid-string"},
        // Set on SIGHUP, it closes the connections idle at that moment.
        FaultCase{"CloseIdle", "fault=close-idle\n", "", "", Then::Closes, false,
                  "closing idle connection"},
        // Connections accepted before go on.
        FaultCase{"Refuse", "fault=refuse\n", "", "", Then::Serves, true, "refusing connections on "},
        // A peer that breaks the item order, the body cap or the body exchange is refused,
        // so the connector's own tests fail when it does.
        FaultCase{"ItemsOutOfOrder", "", service40(item(22, "GET") + be32(31)), "", Then::Closes,
                  false, "bad input: PROXY_SERVICE_40 expected item 19 (QUERY_STRING), got 22"},
        FaultCase{"PostDataTooLarge", "", kBody + be32(16) + be32(40961), kAskData, Then::Closes,
                  false, "bad input: PROXY_POST_DATA count 40961 above 40960"},
        FaultCase{"PingInsteadOfPostData", "", kBody + kPing, kAskData, Then::Closes, false,
                  "bad input: code 12 where PROXY_POST_DATA was due"}),
    [](const testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

}  // namespace
}  // namespace backend_test
