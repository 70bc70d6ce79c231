// The adapter's operations driven from real requests through the probe handler:
// header lookup, real paths, request bodies, status and redirect, response headers,
// the log channels and the request-pool allocator.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <regex>

#include "apache_server.h"
#include "http_client.h"

namespace {
unsigned long checksum(const std::string& bytes) {
    unsigned long sum = 0;
    for (unsigned char c : bytes) sum = (sum * 31 + c) % 1000000007;
    return sum;
}

// The main server traces everything and redirects 503 answers; "quiet.test" has its
// own record without an error URL, verbose tracing or trace mask; "masked.test" has
// the trace mask 2 only; "pool.test" allocates per-call memory from the request pool.
const char* kDirectives = R"(QuonConfig Verbose true
QuonConfig errorurl http://127.0.0.1/sorry.html
<Location /probe>
  SetHandler quon-probe
</Location>
<VirtualHost 127.0.0.1:@PORT@>
  ServerName main.test
</VirtualHost>
<VirtualHost 127.0.0.1:@PORT@>
  ServerName quiet.test
  QuonConfig bootstrap 127.0.0.2:7001
</VirtualHost>
<VirtualHost 127.0.0.1:@PORT@>
  ServerName masked.test
  QuonConfig traceflags 2
</VirtualHost>
<VirtualHost 127.0.0.1:@PORT@>
  ServerName pool.test
  QuonConfig apialloc true
</VirtualHost>
)";

class AdapterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        apache = std::make_unique<ApacheServer>(
            ApacheOptions{.directives = kDirectives, .modulePath = quonProbeModulePath()});
        std::string why;
        if (!apache->start(&why)) {
            apache.reset();
            FAIL() << why;
        }
    }
    static void TearDownTestSuite() { apache.reset(); }
    void SetUp() override { ASSERT_TRUE(apache); }

    static HttpResponse get(const std::string& path, std::vector<std::string> headers = {}) {
        return httpGet(apache->url(path), headers);
    }
    static std::unique_ptr<ApacheServer> apache;
};
std::unique_ptr<ApacheServer> AdapterTest::apache;

TEST_F(AdapterTest, GetHeaderFindsHeadersVariablesAndTheDashRetry) {
    EXPECT_EQ(get("/probe/header?name=Content-Type", {"Content-Type: text/x-probe"}).body,
              "value=text/x-probe\n");
    // No variable SERVER-NAME: found as SERVER_NAME by the dash-to-underscore retry.
    EXPECT_EQ(get("/probe/header?name=SERVER-NAME", {"Host: main.test"}).body, "value=main.test\n");
    EXPECT_EQ(get("/probe/header?name=X-Not-There").body, "value=<null>\n");
    EXPECT_TRUE(apache->waitForLog("]     X-Not-There: <null>"));
    // Without a host name the client's address answers for REMOTE_HOST.
    EXPECT_EQ(get("/probe/header?name=remote_host").body, "value=127.0.0.1\n");
    EXPECT_TRUE(apache->waitForLog("]     REMOTE_ADDR: 127.0.0.1")) << apache->errorLog();
}

TEST_F(AdapterTest, GetRealPathMapsThroughASubRequest) {
    auto values = keyValues(get("/probe/realpath?path=/docs/a%20b.txt").body);
    EXPECT_EQ(values["path"], apache->dir() + "/htdocs/docs/a b.txt");
    EXPECT_TRUE(apache->waitForLog("]     ap_escape_uri(/docs/a b.txt) = /docs/a%20b.txt"));
}

struct BodyCase {
    size_t size;
    int chunk;
};

class AdapterBody : public AdapterTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(AdapterBody, GetPostDataReadsTheWholeBodyThenStops) {
    std::string body;
    for (size_t i = 0; i < GetParam().size; ++i) body += char('!' + (i * 7) % 90);
    std::string path = "/probe/post?chunk=" + std::to_string(GetParam().chunk);
    auto values = keyValues(httpPost(apache->url(path), body).body);
    EXPECT_EQ(values["bytes"], std::to_string(body.size()));
    EXPECT_EQ(values["sum"], std::to_string(checksum(body)));
    EXPECT_EQ(values["more"], "0");   // the read that found the end cleared it
    EXPECT_EQ(values["after"], "0");  // later calls return 0 without reading
}

INSTANTIATE_TEST_SUITE_P(Sizes, AdapterBody,
                         ::testing::Values(BodyCase{0, 100}, BodyCase{1, 100},
                                           BodyCase{40960, 40960}, BodyCase{40961, 40960},
                                           BodyCase{300000, 4096}));

TEST_F(AdapterTest, StatusKeepsItsReasonAnd503RedirectsWhereAnErrorUrlIsSet) {
    struct {
        std::string query, host, statusLine, location, body;
    } cases[] = {
        // Nothing is written after the redirect.
        {"code=503&reason=Server%20Error", "main.test", "HTTP/1.1 302 Server Error",
         "http://127.0.0.1/sorry.html", ""},
        {"code=503&reason=Server%20Error", "quiet.test", "HTTP/1.1 503 Server Error", "",
         "page body\nwrote=0\n"},
        {"code=404&reason=Gone%20Fishing", "main.test", "HTTP/1.1 404 Gone Fishing", "",
         "page body\nwrote=0\n"},
    };
    for (const auto& c : cases) {
        HttpResponse response = get("/probe/status?" + c.query, {"Host: " + c.host});
        EXPECT_EQ(response.statusLine, c.statusLine);
        EXPECT_EQ(response.header("Location"), c.location);
        EXPECT_EQ(response.header("X-Redirected"), c.location.empty() ? "0" : "1");
        EXPECT_EQ(response.body, c.body) << c.statusLine;
    }
}

// A client that hangs up mid-response makes Apache's write fail: writeClient says so and
// counts the failure.
TEST_F(AdapterTest, WriteClientFailsOnceTheClientHangsUp) {
    HttpResponse response =
        httpRequest({.url = apache->url("/probe/stream?n=4096"), .hangUpAfter = 1});
    EXPECT_FALSE(response.error.empty());
    ASSERT_TRUE(apache->waitForLog("]  probe stream: ")) << apache->errorLog();
    EXPECT_EQ(apache->countLog(", writeClient -1, failures 1"), 1) << apache->errorLog();
    EXPECT_EQ(apache->countLog("probe stream: 4096 pieces"), 0);
}

TEST_F(AdapterTest, AddHeaderTypesCookiesAndReplacement) {
    HttpResponse response = get("/probe/headers");
    EXPECT_EQ(response.header("Content-Type"), "text/html; Charset=UTF-8");
    EXPECT_EQ(response.header("Content-Encoding"), "x-probe");
    EXPECT_EQ(response.headersNamed("Set-Cookie"), (std::vector<std::string>{"first=1", "second=2"}));
    EXPECT_EQ(response.headersNamed("X-Probe"), std::vector<std::string>{"two"});
    EXPECT_TRUE(apache->waitForLog("]     adding cookie Set-Cookie: second=2"));
    EXPECT_TRUE(apache->waitForLog("]     table_set(X-Probe, two)"));
}

TEST_F(AdapterTest, ContentLengthHeaderSetsTheLength) {
    HttpResponse response = get("/probe/length?value=5&body=hello");
    EXPECT_EQ(response.header("Content-Length"), "5");
    EXPECT_EQ(response.body, "hello");
    EXPECT_TRUE(apache->waitForLog("]     ap_set_content_length(5)"));
}

TEST_F(AdapterTest, LogLinesCarryThePrefixAndAreCutAt2044Characters) {
    get("/probe/log?channel=log&len=3000");
    ASSERT_TRUE(apache->waitForLog("abcdefghij"));
    std::smatch line;  // the prefix ends in a blank, then one more before the message
    std::string log = apache->errorLog();
    ASSERT_TRUE(std::regex_search(log, line, std::regex("qnApache\\[[0-9]+: [0-9]+\\]  (abcdef.*)")));
    EXPECT_EQ(line[1].length(), 2044);
}

TEST_F(AdapterTest, TraceNeedsVerboseAndTraceENeedsASharedBit) {
    get("/probe/log?channel=trace&text=quiet-trace", {"Host: quiet.test"});
    get("/probe/log?channel=trace&text=verbose-trace");
    get("/probe/log?channel=traceE&flag=1&text=flag-one", {"Host: masked.test"});
    get("/probe/log?channel=traceE&flag=3&text=flag-three", {"Host: masked.test"});
    get("/probe/log?channel=log&text=quiet-log", {"Host: quiet.test"});
    EXPECT_TRUE(apache->waitForLog("]  quiet-log"));
    EXPECT_TRUE(apache->waitForLog("]  verbose-trace"));
    EXPECT_TRUE(apache->waitForLog("]  flag-three"));
    EXPECT_EQ(apache->countLog("quiet-trace"), 0);
    EXPECT_EQ(apache->countLog("flag-one"), 0);
}

TEST_F(AdapterTest, RequestPoolAllocatorLogsEveryBlock) {
    EXPECT_EQ(get("/probe/malloc?size=0", {"Host: pool.test"}).body, "allocated\n");
    EXPECT_TRUE(apache->waitForLog(": 1 bytes")) << apache->errorLog();
    EXPECT_GE(apache->countLog("]  MEM apache_malloc: 0x"), 1);
    EXPECT_GE(apache->countLog("]  MEM apache_free: 0x"), 1);
}
}  // namespace
