// One real Tomcat with the Quon connector behind a real Apache: the request and the answer
// as the application sees and writes them, bodies both ways, the mappings of what is
// deployed, and a hostile peer on the connector's port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "backend_cluster.h"
#include "tomcat_front.h"

namespace {
using backend_test::waitUntil;

class TomcatForward : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // mapcheck 1: a deployment is seen within a second or two; the client's port is
        // asked of Apache when the application wants it; a deep accept queue, so that two
        // thousand connections opened at once wait for no SYN to be sent again.
        front = new TomcatFront(1, "mapcheck=\"1\" acceptCount=\"2048\"");
        started = makeCertificates() ? front->start(tlsDirectives())
                                     : testing::AssertionFailure() << "no test certificate";
    }
    // A self-signed server certificate for Apache's TLS port, and a client's.
    static bool makeCertificates() {
        char pattern[] = "/tmp/quon-tomcat-tls-XXXXXX";
        if (!::mkdtemp(pattern)) return false;
        tls = pattern;
        std::string out;
        for (const char* who : {"server", "client"})
            if (backend_test::runCommand(
                    "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=" +
                        std::string(who) + ".test -keyout " + tls + "/" + who + ".key -out " + tls +
                        "/" + who + ".pem 2>&1",
                    out) != 0)
                return false;
        tlsPort = backend_test::freePort("127.0.0.1");
        return true;
    }
    // A TLS virtual host with the main server's mappings; a client certificate is asked
    // for and taken unverified.
    static std::string tlsDirectives() {
        return loadModules({"ssl"}) + "Listen 127.0.0.1:" + std::to_string(tlsPort) +
               " https\n<VirtualHost 127.0.0.1:" + std::to_string(tlsPort) +
               ">\n  SSLEngine on\n  SSLCertificateFile " + tls +
               "/server.pem\n"
               "  SSLCertificateKeyFile " +
               tls +
               "/server.key\n"
               "  SSLVerifyClient optional_no_ca\n  SSLOptions +StdEnvVars +ExportCertData\n"
               "</VirtualHost>\n";
    }
    static void TearDownTestSuite() {
        delete front;
        front = nullptr;
        std::error_code ignored;
        if (!tls.empty()) std::filesystem::remove_all(tls, ignored);
    }
    void SetUp() override { ASSERT_TRUE(started) << started.message(); }

    static HttpResponse send(HttpRequest request) {
        request.url = front->apache->url(request.url);
        return httpRequest(request);
    }

    static inline TomcatFront* front = nullptr;
    static inline testing::AssertionResult started = testing::AssertionFailure();
    static inline std::string tls;
    static inline int tlsPort = 0;
};

struct FieldCase {
    const char* name;
    HttpRequest request;
    std::vector<std::string> lines;  // lines the echo must hold
};

class TomcatFields : public TomcatForward, public testing::WithParamInterface<FieldCase> {};

// Apache's own view of the request, which the application must see unchanged.
TEST_P(TomcatFields, TheApplicationSeesTheRequestAsApacheGotIt) {
    const FieldCase& c = GetParam();
    HttpResponse r = send(c.request);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.header("X-Tomcat"), "SRV1");
    std::vector<std::string> lines = c.lines;
    lines.push_back("remoteAddr=127.0.0.1");
    for (std::string& line : lines) {
        line = replaceAll(line, "@PORT@", std::to_string(front->apache->port()));
        EXPECT_NE(("\n" + r.body).find("\n" + line + "\n"), std::string::npos) << line << " in\n"
                                                                               << r.body;
    }
    const long port = std::stol(keyValues(r.body)["remotePort"]);
    EXPECT_TRUE(port > 0 && port != front->tomcats[0].port()) << r.body;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, TomcatFields,
    testing::Values(
        FieldCase{"EncodedPathAndQuery",
                  {.url = "/app/echo/a%20b/%C3%A9?x=1&y=%2F%26"},
                  {"method=GET", "uri=/app/echo/a%20b/%C3%A9", "servletPath=/echo",
                   "pathInfo=/a b/\xC3\xA9", "query=x=1&y=%2F%26", "protocol=HTTP/1.1",
                   "serverName=127.0.0.1", "serverPort=@PORT@", "secure=false", "scheme=http",
                   "remoteUser=null"}},
        // Apache joins a repeated request header into one line before the module sees it.
        FieldCase{
            "HeadersRepeatedAndInOrder",
            {.url = "/app/echo",
             .headers = {"X-One: 1", "X-Multi: a", "X-Multi: b", "Accept-Language: de, en;q=0.5"}},
            {"header.x-one=1", "header.x-multi=a, b", "header.accept-language=de, en;q=0.5",
             "query=null", "pathInfo=null"}},
        FieldCase{"PostWithBody",
                  {.url = "/app/echo/post?q", .method = "POST", .body = "12345"},
                  {"method=POST", "query=q", "bodyLength=5", "header.content-length=5",
                   "serverPort=@PORT@"}},
        FieldCase{"PutWithoutBody", {.url = "/app/echo", .method = "PUT"}, {"method=PUT"}},
        FieldCase{"DeleteWithoutBody",
                  {.url = "/app/echo", .method = "DELETE"},
                  {"method=DELETE", "bodyLength=0"}},
        FieldCase{"NamedVirtualHost",
                  {.url = "/app/echo", .headers = {"Host: shop.example:8080"}},
                  {"header.host=shop.example:8080", "serverName=shop.example", "serverPort=8080"}}),
    [](const testing::TestParamInfo<FieldCase>& info) { return info.param.name; });

// The pattern /stream writes: byte i is i*7 mod 251.
std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = char((i * 7) % 251);
    return bytes;
}

struct BodyCase {
    const char* name;
    size_t size;
    bool chunked;
};

class TomcatBodies : public TomcatForward, public testing::WithParamInterface<BodyCase> {};

TEST_P(TomcatBodies, ComeBackByteForByteBothWays) {
    const BodyCase& c = GetParam();
    std::string body = pattern(c.size);
    // Every byte value, and the protocol's own codes in the data.
    for (size_t i = 0; i < body.size(); i += 4099) body[i] = char(i / 4099);
    HttpResponse up = send({.url = "/app/body",
                            .method = "POST",
                            .headers = {"Content-Type: application/octet-stream"},
                            .body = body,
                            .unsized = c.chunked});
    ASSERT_EQ(up.status, 200) << up.error;
    EXPECT_EQ(up.body.size(), body.size());
    EXPECT_TRUE(up.body == body) << "the echoed body differs";

    HttpResponse down = front->get("/app/stream?bytes=" + std::to_string(c.size));
    ASSERT_EQ(down.status, 200) << down.error;
    EXPECT_EQ(down.body.size(), c.size);
    EXPECT_TRUE(down.body == pattern(c.size)) << "the streamed body differs";
}

INSTANTIATE_TEST_SUITE_P(Bodies, TomcatBodies,
                         testing::Values(BodyCase{"Empty", 0, false},
                                         BodyCase{"OneMebibyte", 1 << 20, false},
                                         BodyCase{"ChunkedUpload", 3 * 40960 + 17, true},
                                         BodyCase{"ChunkedMebibytes", 3 << 20, true}),
                         [](const testing::TestParamInfo<BodyCase>& info) {
                             return info.param.name;
                         });

// A request that came to Apache over TLS is secure for the application, with the cipher,
// its key size and the client's certificate.
TEST_F(TomcatForward, TlsReachesTheApplication) {
    HttpResponse r =
        httpRequest({.url = "https://127.0.0.1:" + std::to_string(tlsPort) + "/app/echo/tls",
                     .clientCert = tls + "/client.pem",
                     .clientKey = tls + "/client.key"});
    ASSERT_EQ(r.status, 200) << r.error << front->apache->errorLog();
    std::map<std::string, std::string> seen = keyValues(r.body);
    EXPECT_EQ(seen["secure"], "true") << r.body;
    EXPECT_EQ(seen["scheme"], "https");
    EXPECT_EQ(seen["serverPort"], std::to_string(tlsPort));
    EXPECT_NE(seen["cipher"], "null");
    EXPECT_GE(std::atoi(seen["keySize"].c_str()), 128) << r.body;
    EXPECT_EQ(seen["clientCert"], "CN=client.test") << r.body;

    EXPECT_EQ(keyValues(front->get("/app/echo").body)["secure"], "false");
}

// What a servlet writes besides a plain body comes through as written.
TEST_F(TomcatForward, StatusRedirectFlushCookiesAndNonAsciiHeadersComeThrough) {
    HttpResponse error = front->get("/app/error?code=418");
    EXPECT_EQ(error.status, 418);
    EXPECT_EQ(error.header("X-Tomcat"), "SRV1");

    HttpResponse redirect = front->get("/app/redirect");
    EXPECT_EQ(redirect.status, 302);
    EXPECT_TRUE(redirect.header("Location").ends_with("/app/echo/redirected"))
        << redirect.header("Location");

    HttpResponse flushed = front->get("/app/flush");
    EXPECT_EQ(flushed.status, 200);
    EXPECT_EQ(flushed.body, "first part\nsecond part\n");

    HttpResponse cookies = front->get("/app/cookies");
    EXPECT_EQ(cookies.headersNamed("Set-Cookie"),
              (std::vector<std::string>{"a=1; Path=/", "b=2; Path=/; HttpOnly",
                                        "c=3; Path=/; Max-Age=60"}));
    EXPECT_EQ(cookies.header("X-Latin"),
              "caf\xE9 \xFC"
              "ber");

    HttpResponse jsp = front->get("/app/index.jsp");
    EXPECT_EQ(jsp.status, 200);
    EXPECT_EQ(jsp.body, "jsp says 42 from SRV1\n");

    HttpResponse file = front->get("/app/hello.txt");
    EXPECT_EQ(file.status, 200);
    EXPECT_EQ(file.body, "a static file of the test application\n");
}

// A context deployed into the running Tomcat is claimed by Apache without touching its
// configuration. Once undeployed it is no longer served: the module keeps the entry of a
// path that no server serves any more and answers it 503.
TEST_F(TomcatForward, MappingsFollowDeployments) {
    EXPECT_EQ(front->get("/fresh/echo").status, 404);
    front->tomcats[0].deploy("fresh", TomcatOptions::testWarPath());
    EXPECT_TRUE(waitUntil([] { return front->get("/fresh/echo").header("X-Tomcat") == "SRV1"; },
                          std::chrono::seconds(30)))
        << front->tomcats[0].log();
    HttpResponse r = front->get("/fresh/echo/x?y");
    EXPECT_NE(r.body.find("\ncontextPath=/fresh\n"), std::string::npos) << r.body;
    EXPECT_EQ(front->get("/app/echo").status, 200);

    front->tomcats[0].undeploy("fresh");
    EXPECT_TRUE(waitUntil(
        [] {
            HttpResponse gone = front->get("/fresh/echo");
            return gone.status == 503 && gone.header("X-Tomcat").empty();
        },
        std::chrono::seconds(30)))
        << front->get("/fresh/echo").status << "\n"
        << front->tomcats[0].log();
    EXPECT_EQ(front->get("/app/echo").status, 200);
}

// Whether the peer closes the connection within limitMs (what it sends first is read
// and dropped).
bool closedBy(int fd, int limitMs) {
    char buffer[4096];
    for (int waited = 0; waited < limitMs; waited += 50) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return true;
        }
    }
    return false;
}

std::string int32(int32_t v) {
    const uint32_t n = htonl(uint32_t(v));
    return std::string(reinterpret_cast<const char*>(&n), 4);
}

struct PeerCase {
    const char* name;
    std::string bytes;
    bool halfClose;  // the peer stops sending: the message is truncated
};

class TomcatHostilePeer : public TomcatForward, public testing::WithParamInterface<PeerCase> {};

// A peer that breaks the protocol loses its connection, and Tomcat goes on serving.
TEST_P(TomcatHostilePeer, LosesItsConnectionAndTomcatServesOn) {
    const PeerCase& c = GetParam();
    const std::string logged = "Quon connector: ";
    const int before = front->tomcats[0].countLog(logged);
    const int fd = connectTo(front->tomcats[0]);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL), ssize_t(c.bytes.size()));
    if (c.halfClose) ::shutdown(fd, SHUT_WR);
    EXPECT_TRUE(closedBy(fd, 10000));
    ::close(fd);
    // One line that says why, for a peer that broke the protocol.
    EXPECT_TRUE(waitUntil([&] { return front->tomcats[0].countLog(logged) == before + 1; },
                          std::chrono::seconds(5)))
        << front->tomcats[0].log();
    EXPECT_EQ(front->get("/app/echo").status, 200);
    EXPECT_EQ(front->tomcats[0].countLog("OutOfMemoryError"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, TomcatHostilePeer,
    testing::Values(
        PeerCase{"UnknownCode", int32(77) + std::string(64, 'x'), false},
        PeerCase{"HttpInsteadOfTheProtocol", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", false},
        PeerCase{"ServiceLengthPastAnyBound", int32(39) + int32(0x7fffffff) + int32(22), false},
        PeerCase{"NegativeServiceLength", int32(39) + int32(-8) + int32(31), false},
        PeerCase{"PropertySetNameOfTwoGigabytes", int32(13) + int32(0x7ffffff0) + "server", false},
        PeerCase{"TruncatedService", int32(39) + int32(400) + int32(22) + int32(3) + "GE", true},
        PeerCase{"ItemLengthPastTheMessage",
                 int32(39) + int32(15) + int32(22) + int32(1000000) + "GET" + int32(31), false}),
    [](const testing::TestParamInfo<PeerCase>& info) { return info.param.name; });

// Thousands of connections that never send a byte leave Tomcat serving through Apache.
TEST_F(TomcatForward, IdleConnectionsLeaveTomcatServing) {
    std::vector<int> idle;
    for (int k = 0; k < 2000; ++k)
        if (const int fd = connectTo(front->tomcats[0]); fd >= 0) idle.push_back(fd);
    EXPECT_EQ(idle.size(), 2000u);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(front->get("/app/echo").status, 200);
    for (int fd : idle) ::close(fd);
    EXPECT_EQ(front->get("/app/echo").status, 200);
}

}  // namespace
