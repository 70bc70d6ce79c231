// The binary protocol byte for byte: sets, sequence numbers and load values reloaded on
// SIGHUP, the count of body data asked for, the server's questions answered by hand. The
// props exchanges are met by the proxy and cluster tests.
#include <gtest/gtest.h>

#include "backend_process.h"
#include "wire_client.h"

namespace backend_test {
namespace {

class ProtocolTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start({"--mappings", server.writeFile("mappings", "/app/*=servlet\n"),
                                  "--control", server.writeFile("control", "")}))
            << readFile(server.path("stderr"));
        ASSERT_TRUE(client.connect(server.quonAddress()));
    }

    // Sends `bytes` and expects exactly `answer` back, then silence.
    void expectAnswer(const std::string& bytes, const std::string& answer) {
        ASSERT_TRUE(client.send(bytes));
        EXPECT_EQ(client.read(answer.size()), answer) << testing::PrintToString(bytes);
        EXPECT_TRUE(client.silentFor(20));
    }

    BackendProcess server{"127.0.0.3"};
    Client client;
};

TEST_F(ProtocolTest, SighupReloadsSetsAndSequenceNumbers) {
    const std::string mappings = "/app/*=servlet\n/new/*=added\n";
    server.writeFile("mappings", mappings);
    server.writeFile("control", "cluster-seq=7\nload-value=250\n");
    ASSERT_TRUE(server.reload());
    // The connection opened before the reload sees the new sets; PROXY_PUT_CLUSTER_SEQ
    // (00 00 00 28) follows PROXY_PUT_PROPS (00 00 00 0E), and opens a request exchange
    // before the load value.
    expectAnswer(getProps("servlet-mappings"),
                 be32(14) + str(mappings) + be32(40) + be32(7) + kFinish);
    expectAnswer(request("/app/status", "code=204&reason=x"),
                 be32(40) + be32(7) + be32(41) + be32(250) + head(server.quonAddress(), 204, "x") +
                     putClient("status: 204\n") + kFinish);
    expectAnswer(getProps("no-such-set"), kFinish);  // PROXY_FINISH alone, no sequence number
}

// The server asks for the count it is given, whatever the connector's cap. PROXY_GET_DATA:
// 00 00 00 0F, the count; PROXY_POST_DATA: 00 00 00 10, the count, the bytes (0 ends).
TEST_F(ProtocolTest, BodyIsAskedForWithTheCountGiven) {
    ASSERT_TRUE(client.send(request("/app/body", "want=40961", "POST")));
    for (const std::string part : {"abc", ""}) {
        ASSERT_EQ(client.read(8), be32(15) + be32(40961));
        ASSERT_TRUE(client.send(be32(16) + str(part)));
    }
    EXPECT_EQ(client.read(head(server.quonAddress()).size()), head(server.quonAddress()));
}

// Each action's exact answer, twice on one connection with a ping before each: the
// server may ask a `question` first, answered with `reply`; then `before`, head() with
// `type`, `after` and PROXY_FINISH.
TEST_F(ProtocolTest, ActionsSendTheirCommands) {
    struct Row {
        const char *uri, *query;
        std::string question, reply, before, type, after;
    };
    const Row rows[] = {
        // PROXY_PUT_HEADER (00 00 00 07) blocks, PROXY_PUT_HEADER_VALUE (00 00 00 25).
        {"/x/headers", "value=v1", "", "", "", "text/plain",
         be32(7) +
             str("X-Quon-Folded: first part\r\n\tsecond part\r\n"
                 "Set-Cookie: quon_a=1; Path=/\r\nSet-Cookie: quon_b=2; Path=/\r\n") +
             be32(37) + str("X-Quon-Value") + str("v1") + putClient("headers\n")},
        // PROXY_SET_ATTRIBUTE: 00 00 00 12, the name, the value.
        {"/app/attr", "one=1&two=%00x", "", "",
         be32(18) + str("one") + str("1") + be32(18) + str("two") + str(std::string("\0x", 2)),
         "text/plain", putClient("set.one: 1\nset.two: \\x00x\n")},
        // PROXY_GET_REALPATH: 00 00 00 04, the URI; the answer is a bare string.
        {"/app/realpath", "uri=/docs/a%20b.html", be32(4) + str("/docs/a b.html"),
         str("/srv/docs/a b.html"), "", "application/octet-stream",
         putClient("/srv/docs/a b.html")}};
    for (const Row& c : rows) {
        for (int round = 0; round < 2; ++round) {
            ASSERT_TRUE(client.send(kPing + request(c.uri, c.query)));
            EXPECT_EQ(client.read(c.question.size()), c.question) << c.uri << round;
            expectAnswer(c.reply, c.before + head(server.quonAddress(), 200, "OK", c.type) +
                                      c.after + kFinish);
        }
    }
}

}  // namespace
}  // namespace backend_test
