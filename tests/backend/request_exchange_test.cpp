// Request exchanges over the binary protocol: the request message built by hand, the
// server's questions answered by hand, and the bytes of the answer checked.
#include <gtest/gtest.h>

#include "backend_process.h"
#include "wire_client.h"

namespace backend_test {
namespace {

using namespace std::string_literals;

class RequestExchangeTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start({"--server-props", server.writeFile("sp", "rep_id=ECHO\n"),
                                  "--control", server.writeFile("control", "")}))
            << readFile(server.path("stderr"));
        ASSERT_TRUE(client.connect(server.quonAddress()));
    }

    BackendProcess server{"127.0.0.3"};
    Client client;
};

TEST_F(RequestExchangeTest, EchoReportsEveryItemItReceived) {
    const std::string items = be32(18) + str("javax.attr") + str("raw\x01") +
                              cgiItems("POST", "x=1&y=2") + item(23, "/app/echo") +
                              item(30, "the-arg") + be32(32) + str("Host") + str("example") +
                              be32(32) + str("Accept") + str("*/*") + item(42, "SID1") + be32(31);
    ASSERT_TRUE(client.send(service40(items)));
    const std::vector<Command> answer = client.readUntilEnd();
    ASSERT_EQ(answer.size(), 4u) << describe(answer);
    EXPECT_EQ(answer[0].code, 6);
    EXPECT_EQ(answer[0].number, 200);
    EXPECT_EQ(answer[0].first, "OK");
    EXPECT_EQ(answer[1].code, 7);
    EXPECT_EQ(answer[1].first,
              "Content-Type: text/plain\r\nX-Quon-Server: " + server.quonAddress() + "\r\n");
    EXPECT_EQ(answer[3].code, 9);
    const std::string body = bodyOf(answer);
    EXPECT_EQ(lineValue(body, "server"), server.quonAddress());
    EXPECT_EQ(lineValue(body, "rep_id"), "ECHO");
    EXPECT_EQ(lineValue(body, "method"), "POST");
    EXPECT_EQ(lineValue(body, "uri"), "/app/echo");
    EXPECT_EQ(lineValue(body, "query"), "x=1&y=2");
    EXPECT_EQ(lineValue(body, "arg"), "the-arg");
    EXPECT_EQ(lineValue(body, "session"), "SID1");
    EXPECT_EQ(lineValue(body, "cgi.REMOTE_ADDR"), "127.0.0.1");
    EXPECT_EQ(lineValue(body, "cgi.SCRIPT_NAME"), "/app");
    EXPECT_EQ(lineValue(body, "header.Host"), "example");
    EXPECT_EQ(lineValue(body, "header.Accept"), "*/*");
    EXPECT_EQ(lineValue(body, "attribute.javax.attr"), "raw\\x01");
    EXPECT_TRUE(server.waitForLog("PROXY_SERVICE_40 " + std::to_string(items.size()) +
                                  " bytes POST /app/echo"));
}

TEST_F(RequestExchangeTest, EchoAsksForEachVariableAndReadsABareString) {
    ASSERT_TRUE(client.send(simpleRequest("/app/echo", "get=REMOTE_USER,Cookie")));
    // 00 00 00 03, then the name: PROXY_GET_HEADER; the answer is a bare string.
    EXPECT_EQ(client.read(4 + 4 + 11), "\x00\x00\x00\x03"s + str("REMOTE_USER"));
    ASSERT_TRUE(client.send(str("alice")));
    EXPECT_EQ(client.read(4 + 4 + 6), "\x00\x00\x00\x03"s + str("Cookie"));
    ASSERT_TRUE(client.send(be32(0)));
    const std::vector<Command> answer = client.readUntilEnd();
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer.back().code, 9) << describe(answer);
    EXPECT_EQ(lineValue(bodyOf(answer), "get.REMOTE_USER"), "alice");
    EXPECT_EQ(lineValue(bodyOf(answer), "get.Cookie"), "");
    EXPECT_TRUE(server.waitForLog("answer to PROXY_GET_HEADER REMOTE_USER: 5 bytes \"alice\""));
}

TEST_F(RequestExchangeTest, HeaderAndRealPathProbesAnswerWithTheValueReceived) {
    ASSERT_TRUE(client.send(simpleRequest("/app/header", "name=X-Probe")));
    EXPECT_EQ(client.read(4 + 4 + 7), "\x00\x00\x00\x03"s + str("X-Probe"));
    ASSERT_TRUE(client.send(str("probe value")));
    EXPECT_EQ(bodyOf(client.readUntilEnd()), "probe value");

    ASSERT_TRUE(client.send(simpleRequest("/app/realpath", "uri=/docs/a%20b.html")));
    // 00 00 00 04, then the URI: PROXY_GET_REALPATH.
    EXPECT_EQ(client.read(4 + 4 + 14), "\x00\x00\x00\x04"s + str("/docs/a b.html"));
    ASSERT_TRUE(client.send(str("/srv/www/docs/a b.html")));
    EXPECT_EQ(bodyOf(client.readUntilEnd()), "/srv/www/docs/a b.html");
}

// FNV-1a over the bytes, as the body action reports it.
std::string fnv1a(const std::string& bytes) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

TEST_F(RequestExchangeTest, BodyIsReadWithGetDataUntilACountOfZero) {
    const std::string body = "The quick brown fox jumps over the lazy dog";
    ASSERT_TRUE(client.send(simpleRequest("/app/body", "want=16", "POST")));
    size_t sent = 0;
    int reads = 0;
    for (;;) {
        // 00 00 00 0F, then the count wanted: PROXY_GET_DATA.
        ASSERT_EQ(client.read(8), "\x00\x00\x00\x0F"s + be32(16)) << "read " << reads;
        ++reads;
        const std::string part = body.substr(sent, 10);
        sent += part.size();
        // 00 00 00 10, the count, the bytes: PROXY_POST_DATA.
        ASSERT_TRUE(client.send("\x00\x00\x00\x10"s + be32(int32_t(part.size())) + part));
        if (part.empty()) break;
    }
    const std::vector<Command> answer = client.readUntilEnd();
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer.front().number, 200);
    const std::string text = bodyOf(answer);
    EXPECT_EQ(lineValue(text, "length"), std::to_string(body.size()));
    EXPECT_EQ(lineValue(text, "checksum"), fnv1a(body));
    EXPECT_EQ(lineValue(text, "reads"), std::to_string(reads));
    EXPECT_TRUE(server.waitForLog("PROXY_POST_DATA 10"));
    EXPECT_TRUE(server.waitForLog("PROXY_POST_DATA 0"));
}

TEST_F(RequestExchangeTest, AFailedBodyReadIsAnsweredWith400AndTheConnectionLives) {
    ASSERT_TRUE(client.send(simpleRequest("/app/body", "", "POST")));
    ASSERT_EQ(client.read(8), "\x00\x00\x00\x0F"s + be32(8192));
    ASSERT_TRUE(client.send(be32(16) + be32(-1)));
    const std::vector<Command> answer = client.readUntilEnd();
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer.front().number, 400);
    EXPECT_EQ(lineValue(bodyOf(answer), "failed"), "-1");
    ASSERT_TRUE(client.send(simpleRequest("/app/echo")));
    EXPECT_EQ(client.readUntilEnd().back().code, 9);
}

TEST_F(RequestExchangeTest, ExchangesFollowEachOtherWithPingsBetween) {
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(
            client.send("\x00\x00\x00\x0C"s + simpleRequest("/x/echo", "i=" + std::to_string(i))));
        const std::vector<Command> answer = client.readUntilEnd();
        ASSERT_FALSE(answer.empty());
        ASSERT_EQ(answer.back().code, 9);
        EXPECT_EQ(lineValue(bodyOf(answer), "query"), "i=" + std::to_string(i));
    }
    EXPECT_TRUE(client.silentFor(50));
}

TEST_F(RequestExchangeTest, ServerWideSequenceAndLoadOpenEveryRequestExchange) {
    server.writeFile("control", "cluster-seq=12\nload-value=250\n");
    ASSERT_TRUE(server.reload());
    ASSERT_TRUE(client.send(simpleRequest("/app/echo")));
    // 00 00 00 28 seq, then 00 00 00 29 load.
    EXPECT_EQ(client.read(16), "\x00\x00\x00\x28"s + be32(12) + "\x00\x00\x00\x29"s + be32(250));
    EXPECT_EQ(client.readUntilEnd().back().code, 9);
}

}  // namespace
}  // namespace backend_test
