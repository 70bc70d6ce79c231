// A peer that breaks the item order, the body cap or the body exchange is refused, so that
// the connector's own tests fail when it does; the server serves on. The faults set through
// the control file are met by the cluster tests.
#include <gtest/gtest.h>

#include "backend_process.h"
#include "wire_client.h"

namespace backend_test {
namespace {

struct BadInput {
    const char* name;
    std::string sent, bytes;  // what the client sends; what the server sends before it closes
    const char* logLine;
};
class BadInputTest : public testing::TestWithParam<BadInput> {};

TEST_P(BadInputTest, ClosesTheConnectionAndServesOn) {
    const BadInput& c = GetParam();
    BackendProcess server("127.0.0.5");
    ASSERT_TRUE(server.start()) << readFile(server.path("stderr"));
    Client client, next;
    ASSERT_TRUE(client.connect(server.quonAddress()) && client.send(c.sent));
    EXPECT_EQ(client.read(c.bytes.size()), c.bytes);
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(server.waitForLog(c.logLine)) << server.logText();
    const std::string answer =
        head(server.quonAddress(), 204, "x") + putClient("status: 204\n") + kFinish;
    ASSERT_TRUE(next.connect(server.quonAddress()) &&
                next.send(request("/app/status", "code=204&reason=x")));
    EXPECT_EQ(next.read(answer.size()), answer);
}

const std::string kBody = request("/app/body", "", "POST");
const std::string kAskData = be32(15) + be32(8192);

INSTANTIATE_TEST_SUITE_P(
    Peers, BadInputTest,
    testing::Values(BadInput{"ItemsOutOfOrder", service40(item(22, "GET") + be32(31)), "",
                             "bad input: PROXY_SERVICE_40 expected item 19 (QUERY_STRING), got 22"},
                    BadInput{"PostDataTooLarge", kBody + be32(16) + be32(40961), kAskData,
                             "bad input: PROXY_POST_DATA count 40961 above 40960"},
                    BadInput{"PingInsteadOfPostData", kBody + kPing, kAskData,
                             "bad input: code 12 where PROXY_POST_DATA was due"}),
    [](const testing::TestParamInfo<BadInput>& info) { return info.param.name; });

}  // namespace
}  // namespace backend_test
