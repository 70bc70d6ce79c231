// A one-time busy answer keeps the connection; a peer that breaks the item order, the body
// cap or the body exchange is refused, so that the connector's own tests fail when it does.
// The server serves on. The other faults of the control file are met by the cluster tests.
#include <gtest/gtest.h>

#include "backend_process.h"
#include "wire_client.h"

namespace backend_test {
namespace {

const std::string kStatus = request("/app/status", "code=204&reason=x");
const std::string kBody = request("/app/body", "", "POST");
const std::string kAskData = be32(15) + be32(8192);

struct Fault {
    const char* name;
    std::string control, sent, bytes;  // the server's control file; what the client sends
    bool closes;                       // after the server's bytes; else it serves on
    const char* logLine;
};
class FaultTest : public testing::TestWithParam<Fault> {};

TEST_P(FaultTest, AnswersThenServesOn) {
    const Fault& c = GetParam();
    BackendProcess server("127.0.0.5");
    ASSERT_TRUE(server.start({"--control", server.writeFile("control", c.control)}))
        << readFile(server.path("stderr"));
    Client client, next;
    ASSERT_TRUE(client.connect(server.quonAddress()) && client.send(c.sent));
    EXPECT_EQ(client.read(c.bytes.size()), c.bytes);
    EXPECT_TRUE(server.waitForLog(c.logLine)) << server.logText();
    EXPECT_TRUE(!c.closes || client.closedByPeer());
    Client& on = c.closes ? next : client;
    ASSERT_TRUE((!c.closes || on.connect(server.quonAddress())) && on.send(kStatus));
    const std::string answer =
        head(server.quonAddress(), 204, "x") + putClient("status: 204\n") + kFinish;
    EXPECT_EQ(on.read(answer.size()), answer);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, FaultTest,
    testing::Values(Fault{"BusyOnce", "fault=busy\nfault-count=1\n", kStatus, be32(38), false,
                          "fault busy"},
                    Fault{"ItemsOutOfOrder", "", service40(item(22, "GET") + be32(31)), "", true,
                          "bad input: PROXY_SERVICE_40 expected item 19 (QUERY_STRING), got 22"},
                    Fault{"PostDataTooLarge", "", kBody + be32(16) + be32(40961), kAskData, true,
                          "bad input: PROXY_POST_DATA count 40961 above 40960"},
                    Fault{"PingInsteadOfPostData", "", kBody + kPing, kAskData, true,
                          "bad input: code 12 where PROXY_POST_DATA was due"}),
    [](const testing::TestParamInfo<Fault>& info) { return info.param.name; });

}  // namespace
}  // namespace backend_test
