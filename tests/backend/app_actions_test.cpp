// The application's actions over the binary protocol: sized bodies, status and header
// commands, attributes, load and sequence values, sessions and slow answers.
#include <gtest/gtest.h>

#include <chrono>

#include "backend_process.h"
#include "wire_client.h"

namespace backend_test {
namespace {

using namespace std::string_literals;

class AppActionsTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start(
            {"--server-props", server.writeFile("sp", "rep_id=APP1\n"), "--buddies", "APP2,APP3"}))
            << readFile(server.path("stderr"));
        ASSERT_TRUE(client.connect(server.quonAddress()));
    }

    std::vector<Command> exchange(const std::string& uri, const std::string& query = "") {
        EXPECT_TRUE(client.send(simpleRequest(uri, query)));
        std::vector<Command> answer = client.readUntilEnd();
        EXPECT_FALSE(answer.empty());
        if (!answer.empty()) {
            EXPECT_EQ(answer.back().code, 9) << describe(answer);
        }
        return answer;
    }

    BackendProcess server{"127.0.0.4"};
    Client client;
};

struct SizeCase {
    int bytes;
    int messages;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.bytes << " bytes in " << c.messages; }

class SizedResponseTest : public AppActionsTest, public testing::WithParamInterface<SizeCase> {};

TEST_P(SizedResponseTest, SendsNBytesOfThePatternInMMessages) {
    const auto [bytes, messages] = GetParam();
    const std::vector<Command> answer =
        exchange("/app/size", "n=" + std::to_string(bytes) + "&m=" + std::to_string(messages));
    std::vector<size_t> sizes;
    for (const Command& c : answer)
        if (c.code == 8) sizes.push_back(c.first.size());
    ASSERT_EQ(sizes.size(), size_t(messages));
    EXPECT_LE(sizes.front() - sizes.back(), 1u);
    const std::string body = bodyOf(answer);
    ASSERT_EQ(body.size(), size_t(bytes));
    for (size_t i = 0; i < body.size(); ++i)
        ASSERT_EQ(body[i], char('a' + i % 23)) << "offset " << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, SizedResponseTest,
                         testing::Values(SizeCase{0, 1}, SizeCase{1, 1}, SizeCase{100, 3},
                                         SizeCase{3, 5}, SizeCase{200000, 1},
                                         SizeCase{1 << 20, 7}));

TEST_F(AppActionsTest, StatusCarriesTheCodeAndReason) {
    const std::vector<Command> answer = exchange("/app/status", "code=404&reason=Not+Found");
    ASSERT_GE(answer.size(), 1u);
    EXPECT_EQ(answer[0].code, 6);
    EXPECT_EQ(answer[0].number, 404);
    EXPECT_EQ(answer[0].first, "Not Found");
}

TEST_F(AppActionsTest, HeadersComeInBlocksWithAFoldAndTwoCookiesThenAValue) {
    ASSERT_TRUE(client.send(simpleRequest("/app/headers", "value=v1")));
    const std::string folded =
        "X-Quon-Folded: first part\r\n\tsecond part\r\n"
        "Set-Cookie: quon_a=1; Path=/\r\nSet-Cookie: quon_b=2; Path=/\r\n";
    const std::string first =
        "Content-Type: text/plain\r\nX-Quon-Server: " + server.quonAddress() + "\r\n";
    const std::string expected = be32(6) + be32(200) + str("OK") + be32(7) + str(first) + be32(7) +
                                 str(folded) +
                                 // 00 00 00 25, name, value: PROXY_PUT_HEADER_VALUE.
                                 "\x00\x00\x00\x25"s + str("X-Quon-Value") + str("v1") + be32(8) +
                                 str("headers\n") + be32(9);
    EXPECT_EQ(client.read(expected.size()), expected);
    EXPECT_TRUE(client.silentFor(50));
}

TEST_F(AppActionsTest, AttributesAreSetWithSetAttribute) {
    const std::vector<Command> answer = exchange("/app/attr", "one=1&two=%00x");
    std::vector<Command> set;
    for (const Command& c : answer)
        if (c.code == 18) set.push_back(c);
    ASSERT_EQ(set.size(), 2u) << describe(answer);
    EXPECT_EQ(set[0].first, "one");
    EXPECT_EQ(set[0].second, "1");
    EXPECT_EQ(set[1].first, "two");
    EXPECT_EQ(set[1].second, std::string("\0x", 2));
}

TEST_F(AppActionsTest, LoadAndSequenceValuesAreSentAsAsked) {
    std::vector<Command> answer = exchange("/app/load", "value=-7");
    ASSERT_GE(answer.size(), 1u);
    EXPECT_EQ(answer[0].code, 41);
    EXPECT_EQ(answer[0].number, -7);
    answer = exchange("/app/seq", "value=99");
    ASSERT_GE(answer.size(), 1u);
    EXPECT_EQ(answer[0].code, 40);
    EXPECT_EQ(answer[0].number, 99);
}

// The JSESSIONID value of a Set-Cookie header block, or empty.
std::string sessionCookie(const std::vector<Command>& answer) {
    for (const Command& c : answer) {
        const size_t at = c.first.find("Set-Cookie: JSESSIONID=");
        if (c.code == 7 && at != std::string::npos)
            return c.first.substr(at + 23, c.first.find(';', at) - at - 23);
    }
    return "";
}

std::string sessionRequest(const std::string& id) {
    return service40(cgiItems("GET", "") + item(23, "/app/session") + item(42, id) + be32(31));
}

TEST_F(AppActionsTest, SessionsStartWithTheRepIdNameBuddiesAndCountHits) {
    const std::vector<Command> first = exchange("/app/session");
    const std::string id = sessionCookie(first);
    ASSERT_EQ(id.size(), 4u + 12u + 2u + 8u) << describe(first);
    EXPECT_EQ(id.substr(0, 4), "APP1");
    EXPECT_EQ(id.find("TR"), 16u);
    EXPECT_EQ(id.substr(18), "APP2APP3");
    EXPECT_EQ(lineValue(bodyOf(first), "state"), "new");
    for (int hit = 2; hit <= 4; ++hit) {
        // The connector passes the cookie's text on, later cookies included.
        ASSERT_TRUE(client.send(sessionRequest(id + "; other=1")));
        const std::vector<Command> again = client.readUntilEnd();
        EXPECT_EQ(sessionCookie(again), "");
        EXPECT_EQ(lineValue(bodyOf(again), "hits"), std::to_string(hit));
        EXPECT_EQ(lineValue(bodyOf(again), "state"), "known");
    }
}

TEST_F(AppActionsTest, ABuddyAdoptsASessionAndAStrangerStartsANewOne) {
    ASSERT_TRUE(client.send(sessionRequest("APP9000000000001TRAPP1")));
    std::vector<Command> answer = client.readUntilEnd();
    EXPECT_EQ(lineValue(bodyOf(answer), "state"), "adopted");
    EXPECT_EQ(sessionCookie(answer), "");
    ASSERT_TRUE(client.send(sessionRequest("APP9000000000002TRAPP5")));
    answer = client.readUntilEnd();
    EXPECT_EQ(lineValue(bodyOf(answer), "state"), "new");
    EXPECT_EQ(sessionCookie(answer).substr(0, 4), "APP1");
}

TEST_F(AppActionsTest, SlowAnswersWaitTheirTime) {
    const auto start = std::chrono::steady_clock::now();
    const std::vector<Command> answer = exchange("/app/slow", "ms=150");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(lineValue(bodyOf(answer), "slept"), "150");
    const auto again = std::chrono::steady_clock::now();
    exchange("/app/echo", "sleep=100");
    EXPECT_GE(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(100));
}

TEST_F(AppActionsTest, AnUnknownActionEchoes) {
    const std::vector<Command> answer = exchange("/examples/servlet/Whatever;jsessionid=x", "a=b");
    EXPECT_EQ(lineValue(bodyOf(answer), "action"), "echo");
    EXPECT_EQ(lineValue(bodyOf(answer), "query"), "a=b");
}

}  // namespace
}  // namespace backend_test
