// Forwarding through Apache: bodies both ways, CGI variables and TLS, unmapped requests.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "quon_cluster.h"

namespace {
// "/byconfig" carries the handler by configuration only; page.shtml includes a mapped URI
// through a sub-request; a TLS port with a throw-away certificate is added.
const std::string kDirectives = loadModules({"include", "http2", "ssl", "socache_shmcb"}) +
                                R"(Protocols h2c http/1.1
<Location /app/limited>
  LimitRequestBody 1000
</Location>
<Directory @DIR@/htdocs>
  Options +Includes
</Directory>
<Files "page.shtml">
  SetOutputFilter INCLUDES
</Files>
<Location /byconfig>
  SetHandler quon-handler
</Location>
SSLSessionCache shmcb:@DIR@/run/ssl_cache(65536)
)";

class ForwardTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        cluster = std::make_unique<QuonCluster>(1);
        tlsPort = std::to_string(backend_test::freePort("127.0.0.1"));
        const std::string tls = (*cluster)[0].path("tls");  // removed with the server's folder
        const std::string openssl =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "
            "/CN=127.0.0.1 -keyout " +
            tls + ".key -out " + tls + ".cert >/dev/null 2>&1";
        testing::AssertionResult started =
            system(openssl.c_str()) == 0
                ? cluster->start(kDirectives + "Listen 127.0.0.1:" + tlsPort + " https\n" +
                                 "<VirtualHost 127.0.0.1:" + tlsPort + ">\n  SSLEngine on\n" +
                                 "  SSLOptions +StdEnvVars\n  SSLCertificateFile " + tls +
                                 ".cert\n  SSLCertificateKeyFile " + tls + ".key\n</VirtualHost>\n")
                : testing::AssertionFailure() << openssl;
        if (!started) cluster.reset();
        ASSERT_TRUE(started);
        const std::string docs = cluster->apache().dir() + "/htdocs/";
        std::ofstream(docs + "index.html") << "<h1>served by Apache itself</h1>\n";
        std::ofstream(docs + "page.shtml")
            << "before <!--#include virtual=\"/app/echo\" --> after\n";
        shareWithApacheUser(docs + "index.html");
        shareWithApacheUser(docs + "page.shtml");
    }
    static void TearDownTestSuite() { cluster.reset(); }
    void SetUp() override { ASSERT_TRUE(cluster); }

    static std::string url(const std::string& path) { return cluster->url(path); }
    static HttpResponse post(const std::string& path, const std::string& body, bool http2,
                             bool unsized) {
        HttpRequest request{.url = url(path), .method = "POST", .body = body, .http2 = http2};
        request.unsized = unsized;
        return httpRequest(request);
    }
    static std::unique_ptr<QuonCluster> cluster;
    static std::string tlsPort;
};
std::unique_ptr<QuonCluster> ForwardTest::cluster;
std::string ForwardTest::tlsPort;

// FNV-1a 64 in 16 lower-case hex digits, as the back end's body action reports it.
std::string fnv1a64(const std::string& bytes) {
    unsigned long long hash = 14695981039346656037ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    char text[17];
    return std::string(text, size_t(snprintf(text, sizeof text, "%016llx", hash)));
}

// Bodies with a length, and without one (chunked over HTTP/1.1, none over HTTP/2), are
// streamed to the server byte for byte, which reads to their end; 40960 is the most one
// PROXY_POST_DATA carries. No header of the client's connection goes along, and a body
// beyond LimitRequestBody gets Apache's 413. The answer comes back whole in any pieces.
TEST_F(ForwardTest, BodiesArriveIntactBothWays) {
    struct Upload {
        bool unsized, http2;
        std::vector<size_t> sizes;
    };
    for (const Upload& u :
         {Upload{false, false, {0, 1, 40960, 40961, 5 << 20}},
          Upload{true, false, {0, 40961, 20 << 20}}, Upload{true, true, {0, 40961, 20 << 20}}}) {
        for (size_t size : u.sizes) {
            std::string body(size, '\0');
            for (size_t i = 0; i < size; ++i) body[i] = char((i * 13 + i / 509) & 0xff);
            HttpResponse r = post("/app/body", body, u.http2, u.unsized);
            auto lines = keyValues(r.body, ": ");
            EXPECT_TRUE(r.status == 200 && lines["length"] == std::to_string(size) &&
                        lines["checksum"] == fnv1a64(body))
                << u.unsized << u.http2 << " " << size << r.error << r.body;
        }
        if (!u.unsized) continue;
        HttpResponse echo = post("/app/echo", "x", u.http2, true);
        EXPECT_EQ(echo.body.find("header.Transfer-Encoding"), std::string::npos) << echo.body;
        // Within one flow-control window: the client has sent all before the answer comes.
        // Over HTTP/2 the stream may still end before curl reads the answer: tried again.
        HttpResponse big;
        for (int k = 0; k < 3 && big.status == 0; ++k)
            big = post("/app/limited/body", std::string(2000, 'b'), u.http2, true);
        EXPECT_EQ(big.status, 413) << u.http2 << big.error << big.body;
    }
    // 6 MiB in 97 PROXY_PUT_CLIENT pieces.
    HttpResponse r = httpGet(url("/app/size?n=" + std::to_string(6 << 20) + "&m=97"));
    std::string expected(6 << 20, 'a');
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = char('a' + i % 23);
    EXPECT_TRUE(r.body == expected) << r.error << r.body.size();
}

// Over plain HTTP and over TLS: the CGI variables, the AUTHORIZATION copy, and the TLS
// attributes (never a client certificate: the client shows none).
TEST_F(ForwardTest, TheServerSeesTheRequestsVariablesAndItsSecurity) {
    const std::string plainPort = std::to_string(cluster->apache().port());
    using Row = std::pair<std::string, const char*>;
    for (const auto& [port, secure] : {Row{plainPort, "0"}, Row{tlsPort, "1"}}) {
        const bool tls = port == tlsPort;
        // Besides the message's variables, names only Apache's whole CGI environment has.
        const std::string query =
            "x=1&get=AUTHORIZATION,HTTP_USER_AGENT,GATEWAY_INTERFACE,REQUEST_URI,CONTENT_TYPE";
        HttpResponse r =
            httpRequest({.url = (tls ? "https" : "http") + std::string("://127.0.0.1:") + port +
                                "/app/echo?" + query,
                         .method = "DELETE",
                         .headers = {"Authorization: Basic dTpw", "User-Agent: quon-test",
                                     "Content-Type: text/x-test"}});
        auto lines = keyValues(r.body, ": ");
        // clang-format off
        const std::map<std::string, std::string> expected = {
            {"method", "DELETE"}, {"cgi.REQUEST_METHOD", "DELETE"},
            {"cgi.QUERY_STRING", query}, {"cgi.REMOTE_ADDR", "127.0.0.1"},
            {"cgi.SERVER_NAME", "127.0.0.1"}, {"cgi.SERVER_PORT", port},
            {"cgi.SERVER_PROTOCOL", "HTTP/1.1"}, {"cgi.SERVER_PORT_SECURE", secure},
            {"cgi.SCRIPT_NAME", "/app/echo"}, {"get.AUTHORIZATION", "Basic dTpw"},
            {"get.HTTP_USER_AGENT", "quon-test"}, {"get.GATEWAY_INTERFACE", "CGI/1.1"},
            {"get.REQUEST_URI", "/app/echo?" + query}, {"get.CONTENT_TYPE", "text/x-test"}};
        // clang-format on
        for (const auto& [key, value] : expected) EXPECT_EQ(lines[key], value) << key << r.body;
        const std::string attribute = "attribute.javax.servlet.request.";
        EXPECT_EQ(lines.count(attribute + "cipher_suite"), size_t(tls)) << r.body;
        EXPECT_EQ(lines.count(attribute + "X509Certificate"), 0u);
        EXPECT_GE(std::atoi(lines[attribute + "key_size"].c_str()), tls ? 128 : 0);
    }
    EXPECT_TRUE(cluster->apache().waitForLog("Apache got this request over SSL"));
    EXPECT_TRUE(cluster->apache().waitForLog("SSL - No Client Certificate found in the request"));
}

// Only mapped requests reach the server, which may ask for a real path or set attributes
// on the way: Apache serves the others itself, a sub-request is never claimed, and the
// handler set by configuration without the note finds nothing to match.
TEST_F(ForwardTest, OnlyMappedRequestsReachAServer) {
    const std::tuple<const char*, long, const char*> rows[] = {
        {"/shop/cart.jsp", 200, "uri: /shop/cart.jsp"},
        {"/missing.html", 404, ""},
        {"/app/realpath?uri=/docs/a%20b%3F.html", 200, "/htdocs/docs/a b?.html"},
        {"/app/attr?one=1&two=%00x", 200, "set.one: 1\nset.two: \\x00x\n"},
        {"/index.html", 200, "served by Apache itself"},
        {"/page.shtml", 200, "before "},
        {"/byconfig/nothing", 500, ""}};
    int before = cluster->requestsSeen(0);
    for (const auto& [path, status, bodyPart] : rows) {
        HttpResponse r = httpGet(url(path));
        EXPECT_TRUE(r.status == status && r.body.find(bodyPart) != std::string::npos)
            << path << ": " << r.status << r.body;
    }
    EXPECT_EQ(cluster->requestsSeen(0), before + 3);
    for (const char* line :
         {"quon_trans: sub-request so DECLINED",
          "Quon will not accept request.  Check Quon web server configuration "
          "and Quon mappings on Quon server.",
          "quon_service: found quon-proxy-target index -1", "quon_service: OK", "  two 2 bytes"})
        EXPECT_TRUE(cluster->apache().waitForLog(line)) << line;
}
}  // namespace

namespace {
// A claimed request skips Apache's directory walk: a <Directory> or .htaccess refusal over
// its path does not apply, <Location> and Require do. With directorywalk on, the walk
// applies as before. A path that only the walk makes match (an existing page.jsp with
// path info after it) is still claimed after the walk.
TEST(ClaimBeforeTheWalk, DirectoryRulesApplyOnlyWithTheWalk) {
    for (const bool walk : {false, true}) {
        QuonCluster cluster(1);
        ASSERT_TRUE(
            cluster.start(std::string(walk ? "QuonConfig directorywalk true\n" : "") +
                          "<Directory @DIR@/htdocs/app>\n  Require all denied\n</Directory>\n"
                          "<Directory @DIR@/htdocs/shop>\n  AllowOverride All\n</Directory>\n"
                          "<Location /app/private>\n  Require all denied\n</Location>\n"));
        const std::string docs = cluster.apache().dir() + "/htdocs/";
        for (const char* dir : {"app", "shop"}) {
            std::filesystem::create_directories(docs + dir);
            shareWithApacheUser(docs + dir);
        }
        std::ofstream(docs + "shop/.htaccess") << "Require all denied\n";
        std::ofstream(docs + "page.jsp") << "a page on disk\n";
        for (const char* file : {"shop/.htaccess", "page.jsp"}) shareWithApacheUser(docs + file);
        EXPECT_EQ(cluster.get("/app/echo").status, walk ? 403 : 200) << walk;
        EXPECT_EQ(cluster.get("/shop/x.jsp").status, walk ? 403 : 200) << walk;
        EXPECT_EQ(cluster.get("/app/private/echo").status, 403) << walk;
        HttpResponse page = cluster.get("/page.jsp/extra");
        EXPECT_EQ(page.status, 200) << walk;
        EXPECT_EQ(cluster.served(page), 0) << walk << page.body;
    }
}
}  // namespace
