// The application over HTTP/1.1 on the second port: the same actions, keep-alive, body
// framings and faults.
#include <gtest/gtest.h>

#include "backend_process.h"
#include "backend_http_client.h"

namespace backend_test {
namespace {

class HttpTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start({"--server-props", server.writeFile("sp", "rep_id=WEB1\n"),
                                  "--buddies", "WEB2", "--docroot", "/srv/web"}))
            << readFile(server.path("stderr"));
        ASSERT_TRUE(client.connect(server.httpAddress()));
    }

    BackendProcess server{"127.0.0.7"};
    HttpClient client;
};

TEST_F(HttpTest, EchoGivesTheSameLinesAsOverTheProtocol) {
    const std::optional<HttpResponse> r = client.request("/app/echo?get=Host,REMOTE_ADDR&q=1");
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->header("X-Quon-Server"), server.quonAddress());
    EXPECT_EQ(lineValue(r->body, "uri"), "/app/echo");
    EXPECT_EQ(lineValue(r->body, "query"), "get=Host,REMOTE_ADDR&q=1");
    EXPECT_EQ(lineValue(r->body, "rep_id"), "WEB1");
    EXPECT_EQ(lineValue(r->body, "cgi.REQUEST_METHOD"), "GET");
    EXPECT_EQ(lineValue(r->body, "header.Host"), "test");
    EXPECT_EQ(lineValue(r->body, "get.Host"), "test");
    EXPECT_EQ(lineValue(r->body, "get.REMOTE_ADDR"), "127.0.0.1");
}

TEST_F(HttpTest, OneConnectionServesManyRequests) {
    for (int i = 0; i < 50; ++i) {
        const std::optional<HttpResponse> r = client.request("/a/size?n=" + std::to_string(i));
        ASSERT_TRUE(r.has_value()) << i;
        ASSERT_EQ(r->body.size(), size_t(i));
    }
    EXPECT_TRUE(server.waitForLog("GET /a/size?n=49"));
    EXPECT_EQ(server.logText().find("[h2]"), std::string::npos);
}

TEST_F(HttpTest, LargeBodiesAreStreamedChunked) {
    const std::optional<HttpResponse> r = client.request("/a/size?n=300000&m=4");
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->chunked);
    ASSERT_EQ(r->body.size(), 300000u);
    for (size_t i = 0; i < r->body.size(); i += 997) ASSERT_EQ(r->body[i], char('a' + i % 23));
}

TEST_F(HttpTest, RequestBodiesAreReadWithEitherFraming) {
    const std::string data(100000, 'z');
    std::optional<HttpResponse> r = client.request("/a/body", "POST", data);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(lineValue(r->body, "length"), "100000");
    ASSERT_TRUE(
        client.send("POST /a/body HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n"
                    "5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\n\r\n"));
    r = client.readResponse();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(lineValue(r->body, "length"), "11");
    // A body the action does not read is skipped before the next request.
    r = client.request("/a/echo", "POST", "ignored body");
    ASSERT_TRUE(r.has_value());
    r = client.request("/a/status?code=202&reason=Yes");
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->status, 202);
}

TEST_F(HttpTest, HeadersSessionsAndExtrasBecomeResponseHeaders) {
    std::optional<HttpResponse> r = client.request("/a/headers");
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->header("X-Quon-Folded"), "first part second part");
    EXPECT_EQ(r->all("Set-Cookie").size(), 2u);
    EXPECT_EQ(r->header("X-Quon-Value"), "by-header-value");
    r = client.request("/a/session");
    ASSERT_TRUE(r.has_value());
    const std::string cookie = r->header("Set-Cookie");
    ASSERT_EQ(cookie.rfind("JSESSIONID=WEB1", 0), 0u) << cookie;
    const std::string id = cookie.substr(11, cookie.find(';') - 11);
    EXPECT_EQ(id.substr(id.size() - 6), "TRWEB2");
    r = client.request("/a/session", "GET", "", "Cookie: JSESSIONID=" + id + "; x=y\r\n");
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(lineValue(r->body, "hits"), "2");
    r = client.request("/a/attr?k=v");
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->header("X-Quon-Attribute"), "k=v");
    r = client.request("/a/realpath?uri=/x.html");
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->body, "/srv/web/x.html");
}

TEST_F(HttpTest, BusyIs503AndCutShortCloses) {
    std::optional<HttpResponse> r = client.request("/a/echo?fault=busy");
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->status, 503);
    ASSERT_TRUE(client.send("GET /a/echo?fault=close-mid-string HTTP/1.1\r\nHost: t\r\n\r\n"));
    EXPECT_FALSE(client.readResponse().has_value());
    EXPECT_TRUE(server.waitForLog("fault close-mid-string"));
}

TEST_F(HttpTest, MalformedRequestsGet400AndClose) {
    ASSERT_TRUE(client.send("NONSENSE\r\n\r\n"));
    const std::optional<HttpResponse> r = client.readResponse();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->status, 400);
    EXPECT_TRUE(client.socket().closedByPeer());
    EXPECT_TRUE(server.waitForLog("bad input: bad request line"));
}

TEST_F(HttpTest, Http10ClosesUnlessKeptAlive) {
    ASSERT_TRUE(client.send("GET /a/size?n=3 HTTP/1.0\r\n\r\n"));
    std::optional<HttpResponse> r = client.readResponse();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->header("Connection"), "close");
    EXPECT_TRUE(client.socket().closedByPeer());
}

}  // namespace
}  // namespace backend_test
