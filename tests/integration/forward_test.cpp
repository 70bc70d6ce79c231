// Forwarding through Apache: bodies and responses arrive intact, status and headers are
// relayed, the back end sees the request's CGI variables, and requests that are not the
// connector's (no mapping, sub-requests, chunked bodies) never reach a server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "quon_cluster.h"

namespace {

// "/app/*" and "*.jsp" are the cluster's; "/byconfig" carries the handler by
// configuration only; page.shtml includes a mapped URI through a sub-request.
const char* kDirectives = R"(LoadModule include_module /usr/lib/apache2/modules/mod_include.so
<Directory @DIR@/htdocs>
  Options +Includes
</Directory>
<Files "page.shtml">
  SetOutputFilter INCLUDES
</Files>
<Location /byconfig>
  SetHandler quon-handler
</Location>
)";

class ForwardTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        cluster = std::make_unique<QuonCluster>(1);
        std::string why;
        if (!cluster->start(kDirectives, &why)) {
            cluster.reset();
            FAIL() << why;
        }
        std::string docs = cluster->apache().dir() + "/htdocs/";
        std::ofstream(docs + "index.html") << "<h1>served by Apache itself</h1>\n";
        std::ofstream(docs + "page.shtml")
            << "before <!--#include virtual=\"/app/echo\" --> after\n";
        shareWithApacheUser(docs + "index.html");
        shareWithApacheUser(docs + "page.shtml");
    }
    static void TearDownTestSuite() { cluster.reset(); }
    void SetUp() override { ASSERT_TRUE(cluster); }

    static std::string url(const std::string& path) { return cluster->url(path); }
    static std::unique_ptr<QuonCluster> cluster;
};
std::unique_ptr<QuonCluster> ForwardTest::cluster;

// The status code of the answer to a request sent as raw bytes (bounded wait), or 0.
int rawStatus(int port, const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char head[64] = {};
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(fd, request.data(), request.size(), 0) == ssize_t(request.size()))
        recv(fd, head, sizeof head - 1, MSG_WAITALL);
    close(fd);
    return strncmp(head, "HTTP/1.1 ", 9) == 0 ? atoi(head + 9) : 0;
}

std::string bodyOf(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) body[i] = char((i * 7 + i / 251) & 0xff);
    return body;
}

TEST_F(ForwardTest, RequestBodiesArriveIntact) {
    // 40960 is the most one PROXY_POST_DATA carries; 40961 needs a second.
    for (size_t size : {size_t(0), size_t(1), size_t(40960), size_t(40961), size_t(5 << 20)}) {
        SCOPED_TRACE(size);
        std::string body = bodyOf(size);
        HttpResponse r =
            httpPost(url("/app/body"), body, {"Content-Type: application/octet-stream"});
        ASSERT_EQ(r.status, 200) << r.error << r.body;
        auto lines = answerLines(r.body);
        EXPECT_EQ(lines["length"], std::to_string(size));
        EXPECT_EQ(lines["checksum"], fnv1a64(body));
    }
    HttpResponse get = httpGet(url("/app/body"));
    EXPECT_EQ(answerLines(get.body)["length"], "0");
}

TEST_F(ForwardTest, LargeResponsesStreamToTheClient) {
    for (auto [bytes, pieces] : {std::pair{6 << 20, 97}, std::pair{100000, 1}}) {
        HttpResponse r =
            httpGet(url("/app/size?n=" + std::to_string(bytes) + "&m=" + std::to_string(pieces)));
        ASSERT_EQ(r.body.size(), size_t(bytes)) << r.error;
        size_t wrong = 0;
        for (size_t i = 0; i < r.body.size(); ++i) wrong += r.body[i] != char('a' + i % 23);
        EXPECT_EQ(wrong, 0u);
    }
}

TEST_F(ForwardTest, StatusAndHeadersAreRelayed) {
    struct Row {
        int code;
        const char* reason;
    };
    for (Row row :
         {Row{200, "OK"}, Row{201, "Created"}, Row{404, "Not%20Here"}, Row{500, "Broken"}}) {
        HttpResponse r =
            httpGet(url("/app/status?code=" + std::to_string(row.code) + "&reason=" + row.reason));
        EXPECT_EQ(r.status, row.code) << r.statusLine;
    }
    HttpResponse r = httpGet(url("/app/headers?value=v1"));
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.headersNamed("Set-Cookie").size(), 2u);
    EXPECT_FALSE(r.header("X-Quon-Folded").empty());
    EXPECT_EQ(r.header("X-Quon-Value"), "v1");
    EXPECT_EQ(r.header("X-Quon-Server"), cluster->address(0));
}

TEST_F(ForwardTest, TheServerSeesTheRequestsVariables) {
    HttpResponse r = httpRequest({.url = url("/app/echo?x=1&get=Authorization"),
                                  .method = "DELETE",
                                  .headers = {"Authorization: Basic dTpw"}});
    auto lines = answerLines(r.body);
    const std::map<std::string, std::string> expected = {
        {"method", "DELETE"},
        {"query", "x=1&get=Authorization"},
        {"cgi.REQUEST_METHOD", "DELETE"},
        {"cgi.QUERY_STRING", "x=1&get=Authorization"},
        {"cgi.REMOTE_ADDR", "127.0.0.1"},
        {"cgi.SERVER_NAME", "127.0.0.1"},
        {"cgi.SERVER_PORT", std::to_string(cluster->apache().port())},
        {"cgi.SERVER_PROTOCOL", "HTTP/1.1"},
        {"cgi.SERVER_PORT_SECURE", "0"},
        {"get.Authorization", "Basic dTpw"},
    };
    for (const auto& [key, value] : expected) EXPECT_EQ(lines[key], value) << key << "\n" << r.body;
    EXPECT_EQ(r.body.find("attribute.javax.servlet.request.cipher_suite"), std::string::npos);
}

// Rows: path, expected status, whether a server may see it, text of the body.
TEST_F(ForwardTest, RequestsThatAreNotTheConnectorsNeverReachAServer) {
    struct Row {
        std::string path;
        long status;
        std::string bodyPart;
    };
    const std::vector<Row> rows = {
        {"/index.html", 200, "served by Apache itself"},
        {"/missing.html", 404, ""},
        {"/page.shtml", 200, "before "},
        {"/byconfig/nothing", 500, ""},
    };
    int before = cluster->requestsSeen(0);
    for (const Row& row : rows) {
        HttpResponse r = httpGet(url(row.path));
        EXPECT_EQ(r.status, row.status) << row.path << "\n" << r.body;
        EXPECT_NE(r.body.find(row.bodyPart), std::string::npos) << row.path << "\n" << r.body;
        EXPECT_EQ(r.body.find("action: echo"), std::string::npos) << row.path;
    }
    EXPECT_EQ(rawStatus(cluster->apache().port(),
                        "POST /app/body HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                        "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"),
              411);
    EXPECT_EQ(cluster->requestsSeen(0), before);
    auto& apache = cluster->apache();
    EXPECT_TRUE(apache.waitForLog("quon_trans: sub-request so DECLINED"));
    EXPECT_TRUE(apache.waitForLog("quon_service: setup_client_block failed 411"));
    EXPECT_TRUE(
        apache.waitForLog("Quon will not accept request.  Check Quon web server "
                          "configuration and Quon mappings on Quon server."));
    EXPECT_TRUE(apache.waitForLog("quon_service: found quon-proxy-target index -1"));
}

TEST_F(ForwardTest, MatchedRequestsCarryTheNoteToTheHandler) {
    HttpResponse r = httpGet(url("/shop/cart.jsp"));
    EXPECT_EQ(answerLines(r.body)["uri"], "/shop/cart.jsp") << r.body;
    EXPECT_TRUE(cluster->apache().waitForLog("quon_service: found quon-proxy-target index "));
    EXPECT_TRUE(cluster->apache().waitForLog("quon_service: OK"));
}

}  // namespace
