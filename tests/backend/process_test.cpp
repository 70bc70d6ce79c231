// The whole process: the application over HTTP/1.1 with keep-alive on the second port,
// peers held up in an exchange, and a clean stop on SIGTERM.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "backend_process.h"
#include "wire_client.h"

namespace backend_test {
namespace {

using testing::HasSubstr;
using testing::StartsWith;

// One line of an HTTP response without its CRLF; a close ends it.
std::string httpLine(Client& c) {
    std::string line;
    while (!line.ends_with("\r\n")) line += c.read(1).value_or("\r\n");
    return line.substr(0, line.size() - 2);
}

// Sends one request; the response's status and header lines, and its body framed by
// Content-Length or chunked.
std::pair<std::string, std::string> http(Client& c, const std::string& request) {
    std::string head, body;
    c.send(request);
    for (std::string h = httpLine(c); !h.empty(); h = httpLine(c)) head += h + "\n";
    if (const size_t at = head.find("\nContent-Length: "); at != std::string::npos)
        return {head, c.read(std::stoul(head.substr(at + 17))).value_or("<cut short>")};
    for (size_t n; (n = std::stoul("0" + httpLine(c), nullptr, 16)) > 0; httpLine(c))
        body += c.read(n).value_or("<cut short>");
    httpLine(c);
    return {head, body};
}

TEST(ProcessTest, HttpPortServesTheApplicationOnOneConnection) {
    BackendProcess server("127.0.0.7");
    ASSERT_TRUE(server.start(
        {"--server-props", server.writeFile("sp", "rep_id=WEB1\n"), "--buddies", "WEB2"}));
    Client c;
    ASSERT_TRUE(c.connect(server.httpAddress()));
    const auto get = [&](const std::string& target, const std::string& more = "") {
        return http(c, "GET " + target + " HTTP/1.1\r\nHost: t\r\n" + more + "\r\n");
    };
    auto [head, body] = get("/app/echo?get=Host");
    EXPECT_THAT(head, StartsWith("HTTP/1.1 200 "));
    EXPECT_THAT(head, HasSubstr("\nX-Quon-Server: " + server.quonAddress() + "\n"));
    EXPECT_THAT(body, HasSubstr("\nrep_id: WEB1\n"));
    EXPECT_THAT(body, HasSubstr("\nget.Host: t\n"));
    std::tie(head, body) = get("/a/size?n=300000&m=4");
    ASSERT_EQ(body.size(), 300000u);
    for (size_t i = 0; i < body.size(); i += 997) ASSERT_EQ(body[i], char('a' + i % 23));
    std::tie(head, body) = http(c,
                                "POST /a/body HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked"
                                "\r\n\r\n5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\n\r\n");
    EXPECT_THAT(body, StartsWith("length: 11\n"));
    std::tie(head, body) = get("/a/session");
    ASSERT_THAT(body, testing::ContainsRegex("^session: WEB1[0-9a-f]{12}TRWEB2\n"));
    const std::string id = body.substr(9, 22);
    EXPECT_THAT(head, HasSubstr("\nSet-Cookie: JSESSIONID=" + id + "; Path=/\n"));
    std::tie(head, body) = get("/a/session", "Cookie: JSESSIONID=" + id + "\r\n");
    EXPECT_THAT(body, HasSubstr("\nhits: 2\n"));
    EXPECT_EQ(server.logText().find("[h2]"), std::string::npos) << "one connection served all";
}

TEST(ProcessTest, SigtermEndsBusyAndIdleConnectionsAndExitsCleanly) {
    BackendProcess server("127.0.0.8");
    ASSERT_TRUE(server.start());
    // More peers held up in an exchange than the workers it starts with.
    Client sleeping, hanging[3], fresh;
    ASSERT_TRUE(sleeping.connect(server.quonAddress()));
    ASSERT_TRUE(sleeping.send(request("/app/slow", "ms=60000")));
    for (Client& h : hanging) {
        ASSERT_TRUE(h.connect(server.quonAddress()));
        ASSERT_TRUE(h.send(request("/app/echo", "fault=never-answer")));
    }
    ASSERT_TRUE(server.waitForLog("[q4] not answering"));
    ASSERT_TRUE(fresh.connect(server.quonAddress()));
    ASSERT_TRUE(fresh.send(getProps("no-such-set")));
    EXPECT_EQ(fresh.read(4), kFinish);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server.stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    for (Client* c : {&sleeping, &hanging[0], &hanging[1], &hanging[2], &fresh})
        EXPECT_TRUE(c->closedByPeer());
    EXPECT_THAT(server.logText(), HasSubstr("signal 15, stopping"));
    EXPECT_THAT(server.logText(), HasSubstr("\nstopped\n"));
}

}  // namespace
}  // namespace backend_test
