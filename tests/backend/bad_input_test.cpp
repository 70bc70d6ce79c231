// Bad input closes the one connection with a log line; the server goes on serving and
// never allocates what an absurd length announces.
#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/socket.h>

#include "backend_process.h"
#include "wire_client.h"

namespace backend_test {
namespace {

using namespace std::string_literals;

struct BadInputCase {
    const char* name;
    std::string request;  // a valid request sent first, or empty
    int32_t question;     // the code of the server's question to it
    std::string bytes;    // the bad bytes
    bool halfClose;       // the client stops sending after them
    const char* logLine;  // what the server's log must then say
};

void PrintTo(const BadInputCase& c, std::ostream* os) { *os << c.name; }

class BadInputTest : public testing::TestWithParam<BadInputCase> {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()) << readFile(server.path("stderr")); }

    BackendProcess server{"127.0.0.6"};
};

TEST_P(BadInputTest, ClosesThatConnectionOnlyAndLogsWhy) {
    const BadInputCase& c = GetParam();
    Client client;
    ASSERT_TRUE(client.connect(server.quonAddress()));
    if (!c.request.empty()) {
        ASSERT_TRUE(client.send(c.request));
        const std::optional<Command> question = client.readCommand();
        ASSERT_TRUE(question.has_value());
        ASSERT_EQ(question->code, c.question);
    }
    ASSERT_TRUE(client.send(c.bytes));
    if (c.halfClose) ::shutdown(client.fd(), SHUT_WR);
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(server.waitForLog(c.logLine)) << server.logText();

    EXPECT_EQ(::kill(server.pid(), 0), 0);
    Client next;
    ASSERT_TRUE(next.connect(server.quonAddress()));
    ASSERT_TRUE(next.send("\x00\x00\x00\x0C"s + simpleRequest("/app/echo")));
    const std::vector<Command> answer = next.readUntilEnd();
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer.back().code, 9);
}

const std::string kCgi = cgiItems("GET", "");
const std::string kEchoX = simpleRequest("/app/echo", "get=X");
const std::string kBody = simpleRequest("/app/body", "", "POST");

INSTANTIATE_TEST_SUITE_P(
    Protocol, BadInputTest,
    testing::Values(
        BadInputCase{"UnknownCode", "", 0, be32(99), false, "bad input: unknown message code 99"},
        BadInputCase{"ZeroCode", "", 0, be32(0), false, "bad input: unknown message code 0,"},
        BadInputCase{"NegativeCode", "", 0, be32(-1), false, "bad input: unknown message code -1"},
        BadInputCase{"ServerOnlyCode", "", 0, be32(9), false, "bad input: unknown message code 9"},
        BadInputCase{"HugeServiceLength", "", 0, be32(39) + be32(0x7FFFFFFF), false,
                     "bad input: PROXY_SERVICE_40 length 2147483647, closing"},
        BadInputCase{"NegativeServiceLength", "", 0, be32(39) + be32(-8), false,
                     "bad input: PROXY_SERVICE_40 length -8, closing"},
        BadInputCase{"ServiceLengthWithoutEnd", "", 0, be32(39) + be32(0), false,
                     "bad input: PROXY_SERVICE_40 length 0, closing"},
        BadInputCase{"HugePropsName", "", 0, be32(13) + be32(0x7FFFFFFF), false,
                     "bad input: PROXY_GET_PROPS name: bad length"},
        BadInputCase{"NegativePropsName", "", 0, be32(13) + be32(-1), false,
                     "bad input: PROXY_GET_PROPS name: bad length"},
        BadInputCase{"ItemsOutOfOrder", "", 0, service40(item(22, "GET") + be32(31)), false,
                     "bad input: PROXY_SERVICE_40 expected item 19 (QUERY_STRING), got 22"},
        BadInputCase{"ItemStringPastItsMessage", "", 0,
                     service40(kCgi + be32(23) + be32(1000) + "/" + be32(31)), false,
                     "bad input: PROXY_SERVICE_40 bad string in item 23"},
        BadInputCase{"TruncatedService", "", 0, be32(39) + be32(100) + "abc", true,
                     "PROXY_SERVICE_40 items: peer closed connection, closing"},
        BadInputCase{"TruncatedCode", "", 0, "\x00\x00"s, true, "closed: peer closed connection"},
        BadInputCase{"HugeHeaderAnswer", kEchoX, 3, be32(0x7FFFFFFF), false,
                     "bad input: PROXY_GET_HEADER: bad length"},
        BadInputCase{"NegativeHeaderAnswer", kEchoX, 3, be32(-2), false,
                     "bad input: PROXY_GET_HEADER: bad length"},
        BadInputCase{"HeaderAnswerCutShort", kEchoX, 3, be32(10) + "abc", true,
                     "PROXY_GET_HEADER: peer closed connection"},
        BadInputCase{"PostDataTooLarge", kBody, 15, be32(16) + be32(40961), false,
                     "bad input: PROXY_POST_DATA count 40961 above 40960"},
        BadInputCase{"PingInsteadOfPostData", kBody, 15, be32(12), false,
                     "bad input: code 12 where PROXY_POST_DATA was due"},
        BadInputCase{"PostDataCutShort", kBody, 15, be32(16) + be32(100) + "abc", true,
                     "PROXY_POST_DATA bytes: peer closed connection"}),
    [](const testing::TestParamInfo<BadInputCase>& info) { return info.param.name; });

TEST(BadInputBurst, GarbageOnManyConnectionsNeverStopsTheServer) {
    BackendProcess server("127.0.0.6");
    ASSERT_TRUE(server.start());
    std::mt19937 random(20240611);
    for (int i = 0; i < 60; ++i) {
        Client client;
        ASSERT_TRUE(client.connect(server.quonAddress()));
        // A valid code first, then random bytes, so that the decoders get exercised.
        const int32_t codes[] = {12, 13, 39, 16, 77};
        std::string bytes = be32(codes[i % 5]);
        const size_t length = random() % 64;
        for (size_t k = 0; k < length; ++k) bytes.push_back(static_cast<char>(random()));
        ASSERT_TRUE(client.send(bytes));
        ::shutdown(client.fd(), SHUT_WR);
        EXPECT_TRUE(client.closedByPeer(1 << 16)) << i;
    }
    Client client;
    ASSERT_TRUE(client.connect(server.quonAddress()));
    ASSERT_TRUE(client.send(simpleRequest("/app/echo")));
    EXPECT_EQ(client.readUntilEnd().back().code, 9);
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
}  // namespace backend_test
