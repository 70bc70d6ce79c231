// The adapter's operations driven from real requests through the probe handler: header
// lookup, real paths, status and redirect, response headers, the log channels, the
// request-pool allocator, and writes to a client that has gone.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <regex>

#include "apache_server.h"
#include "http_client.h"

namespace {

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
        if (testing::AssertionResult started = apache->start(); !started) {
            apache.reset();
            FAIL() << started.message();
        }
    }
    static void TearDownTestSuite() { apache.reset(); }
    void SetUp() override { ASSERT_TRUE(apache); }

    static std::unique_ptr<ApacheServer> apache;
};
std::unique_ptr<ApacheServer> AdapterTest::apache;

// One probe request and what it gives: the body (@DIR@: Apache's folder), response headers
// (repeated ones joined by ", "; ":status" is the status line), and error-log parts that
// must be there or, after a "!", must not.
struct ProbeCase {
    std::string path, host = "main.test";
    std::vector<std::string> headers;
    std::string body;
    std::map<std::string, std::string> answer;
    std::vector<std::string> logs;
};
void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.host << c.path; }

const std::string k503 = "/probe/status?code=503&reason=Server%20Error";
const ProbeCase kProbes[] = {
    // getHeader: request headers, variables (after the dash-to-underscore retry), and
    // the client's address for REMOTE_HOST when there is no host name.
    {.path = "/probe/header?name=Content-Type", .headers = {"Content-Type: text/x-probe"},
     .body = "value=text/x-probe\n"},
    {.path = "/probe/header?name=SERVER-NAME", .body = "value=main.test\n"},
    {.path = "/probe/header?name=X-Not-There", .body = "value=<null>\n",
     .logs = {"]     X-Not-There: <null>"}},
    {.path = "/probe/header?name=remote_host", .body = "value=127.0.0.1\n",
     .logs = {"]     REMOTE_ADDR: 127.0.0.1"}},
    // getRealPath maps through a sub-request.
    {.path = "/probe/realpath?path=/docs/a%20b.txt", .body = "path=@DIR@/htdocs/docs/a b.txt\n",
     .logs = {"]     ap_escape_uri(/docs/a b.txt) = /docs/a%20b.txt"}},
    // setStatus keeps its reason; a 503 redirects where an error URL is set, and nothing
    // is written after the redirect.
    {.path = k503,
     .answer = {{":status", "HTTP/1.1 302 Server Error"},
                {"Location", "http://127.0.0.1/sorry.html"}, {"X-Redirected", "1"}}},
    {.path = k503, .host = "quiet.test", .body = "page body\nwrote=0\n",
     .answer = {{":status", "HTTP/1.1 503 Server Error"}, {"Location", ""}, {"X-Redirected", "0"}}},
    {.path = "/probe/status?code=404&reason=Gone%20Fishing", .body = "page body\nwrote=0\n",
     .answer = {{":status", "HTTP/1.1 404 Gone Fishing"}, {"X-Redirected", "0"}}},
    // addHeader: type and encoding in Apache's fields, cookies added, others replaced.
    {.path = "/probe/headers", .body = "headers\n",
     .answer = {{"Content-Type", "text/html; Charset=UTF-8"}, {"Content-Encoding", "x-probe"},
                {"Set-Cookie", "first=1, second=2"}, {"X-Probe", "two"}},
     .logs = {"]     adding cookie Set-Cookie: second=2", "]     table_set(X-Probe, two)"}},
    {.path = "/probe/length?value=5&body=hello", .body = "hello",
     .logs = {"]     ap_set_content_length(5)"}},
    // trace needs Verbose, traceE a bit of the mask; log always writes.
    {.path = "/probe/log?channel=trace&text=quiet-trace", .host = "quiet.test",
     .body = "logged\n", .logs = {"!quiet-trace"}},
    {.path = "/probe/log?channel=trace&text=verbose-trace", .body = "logged\n",
     .logs = {"]  verbose-trace"}},
    {.path = "/probe/log?channel=traceE&flag=1&text=flag-one", .host = "masked.test",
     .body = "logged\n", .logs = {"!flag-one"}},
    {.path = "/probe/log?channel=traceE&flag=3&text=flag-three", .host = "masked.test",
     .body = "logged\n", .logs = {"]  flag-three"}},
    {.path = "/probe/log?channel=log&text=quiet-log", .host = "quiet.test", .body = "logged\n",
     .logs = {"]  quiet-log"}},
    // The request-pool allocator logs every block.
    {.path = "/probe/malloc?size=0", .host = "pool.test", .body = "allocated\n",
     .logs = {": 1 bytes", "]  MEM apache_malloc: 0x", "]  MEM apache_free: 0x"}},
};

class AdapterProbe : public AdapterTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(AdapterProbe, GivesTheBodyHeadersAndLogLines) {
    const ProbeCase& c = GetParam();
    std::vector<std::string> headers = c.headers;
    headers.push_back("Host: " + c.host);
    HttpResponse r = httpGet(apache->url(c.path), headers);
    std::string body = c.body;
    if (size_t at = body.find("@DIR@"); at != std::string::npos) body.replace(at, 5, apache->dir());
    EXPECT_EQ(r.body, body);
    for (const auto& [name, value] : c.answer) {
        std::string joined;
        for (const std::string& one : r.headersNamed(name)) joined += (joined.empty() ? "" : ", ") + one;
        EXPECT_EQ(name == ":status" ? r.statusLine : joined, value) << name;
    }
    for (const std::string& part : c.logs) {
        if (part[0] == '!')
            EXPECT_EQ(apache->countLog(part.substr(1)), 0) << part;
        else
            EXPECT_TRUE(apache->waitForLog(part)) << part << "\n" << apache->errorLog();
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, AdapterProbe, ::testing::ValuesIn(kProbes));

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

TEST_F(AdapterTest, LogLinesCarryThePrefixAndAreCutAt2044Characters) {
    httpGet(apache->url("/probe/log?channel=log&len=3000"));
    ASSERT_TRUE(apache->waitForLog("abcdefghij"));
    std::smatch line;  // the prefix ends in a blank, then one more before the message
    std::string log = apache->errorLog();
    ASSERT_TRUE(std::regex_search(log, line, std::regex("qnApache\\[[0-9]+: [0-9]+\\]  (abcdef.*)")));
    EXPECT_EQ(line[1].length(), 2044);
}
}  // namespace
