// The module's configuration (every QuonConfig key, per virtual host) and the adapter's
// operations, driven from real requests through the probe handler.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <regex>

#include "apache_server.h"
#include "http_client.h"

namespace {

// A virtual host with these QuonConfig lines ("|" between two; a LogLevel line is Apache's
// own), and what its record holds.
struct HostCase {
    std::string lines;
    std::map<std::string, std::string> expected;
};

// clang-format off
const HostCase kHosts[] = {
    // No line: the main server's record itself, seconds turned into milliseconds.
    {"", {{"sharesMainRecord", "1"}, {"configured", "1"}, {"connectTimeout", "5000"},
          {"verbose", "1"}, {"errorUrl", "http://127.0.0.1/sorry.html"}, {"traceFlags", "-1"},
          {"qnDebugger", "1"}}},
    // One line per key: its own record with the defaults and the key's effect only.
    {"Verbose false", {{"sharesMainRecord", "0"}, {"configured", "0"}, {"verbose", "0"},
                       {"traceFlags", "0"}, {"errorUrl", "<null>"}, {"connectTimeout", "15000"},
                       {"sendTimeout", "15000"}, {"recvTimeout", "300000"},
                       {"responseTimeout", "0"}, {"proxyRetryInterval", "0"},
                       {"apiAlloc", "0"}, {"ignoreSuffixMap", "0"}}},
    {"Verbose TRUE", {{"configured", "0"}, {"verbose", "1"}, {"traceFlags", "-1"}}},
    {"traceflags 0x2", {{"configured", "0"}, {"traceFlags", "2"}}},
    {"traceflags ffffffff", {{"verbose", "0"}, {"traceFlags", "-1"}}},
    {"serverstore /tmp/store.txt", {{"configured", "1"}, {"serverStore", "/tmp/store.txt"}}},
    // A relative path is ServerRoot's ("@DIR@").
    {"serverstore htdocs/servers.store", {{"serverStore", "@DIR@/htdocs/servers.store"}}},
    {"bootstrap 127.0.0.2:7001", {{"configured", "1"}, {"bootstrap", "127.0.0.2:7001"}}},
    {"errorurl http://127.0.0.1/x", {{"configured", "1"}, {"errorUrl", "http://127.0.0.1/x"}}},
    {"apialloc off", {{"configured", "1"}, {"apiAlloc", "0"}}},
    {"IgnoreSuffixMap TRUE", {{"configured", "1"}, {"ignoreSuffixMap", "1"}}},
    {"ProxyRetryInterval 30", {{"configured", "1"}, {"proxyRetryInterval", "30"}}},
    {"connecttimeout 7", {{"configured", "1"}, {"connectTimeout", "7000"}}},
    {"connecttimeout 500ms", {{"connectTimeout", "500"}}},
    {"RECVTIMEOUT 2mi", {{"configured", "1"}, {"recvTimeout", "120000"}}},
    {"sendtimeout 2", {{"configured", "1"}, {"sendTimeout", "2000"}}},
    {"ResponseTimeout 1500ms", {{"configured", "1"}, {"responseTimeout", "1500"}}},
    {"responsetimeout 2mi|responsetimeout off", {{"configured", "1"}, {"responseTimeout", "0"}}},
    // Bounds in bytes, or in K and M.
    {"maxheadersize 4096", {{"configured", "1"}, {"maxHeaderSize", "4096"},
                            {"maxPropsSize", "16777216"}}},
    {"MaxPropsSize 64K", {{"configured", "1"}, {"maxPropsSize", "65536"},
                          {"maxHeaderSize", "1048576"}}},
    {"maxpropssize 2M|maxheadersize 1024", {{"maxPropsSize", "2097152"}, {"maxHeaderSize", "1024"}}},
    // Metrics belong to the main server only.
    {"metrics true", {{"configured", "0"}, {"qnMetrics", "0"}}},
    {"debugger off", {{"configured", "1"}}},
    // Two lines: the later one decides.
    {"Verbose true|apialloc true", {{"configured", "1"}, {"apiAlloc", "1"}}},
    {"Verbose true|traceflags 1", {{"verbose", "1"}, {"traceFlags", "1"}}},
    {"traceflags 1|Verbose true", {{"verbose", "1"}, {"traceFlags", "-1"}}},
    {"Verbose on|Verbose false", {{"verbose", "0"}}},
    // The module's own LogLevel; Verbose writes what it leaves out.
    {"LogLevel warn quon:debug|bootstrap 127.0.0.2:7001", {{"configured", "1"}, {"verbose", "0"}}},
    {"LogLevel warn quon:trace1|bootstrap 127.0.0.2:7001", {{"configured", "1"}}},
    {"LogLevel warn quon:trace2|bootstrap 127.0.0.2:7001", {{"configured", "1"}}},
    {"LogLevel quon:crit|bootstrap 127.0.0.2:7001", {{"configured", "1"}}},
    {"LogLevel quon:crit|Verbose true", {{"verbose", "1"}}},
};
// clang-format on

std::string hostOf(const std::string& lines) {
    auto found = std::find_if(std::begin(kHosts), std::end(kHosts),
                              [&](const HostCase& c) { return c.lines == lines; });
    return "h" + std::to_string(found - std::begin(kHosts)) + ".test";
}

// The main server traces everything and redirects 503 answers; one virtual host per case.
std::string configWithHosts() {
    std::string text =
        "QuonConfig connecttimeout 5\nQuonConfig errorurl http://127.0.0.1/sorry.html\n"
        "QuonConfig debugger true\nQuonConfig Verbose true\n"
        "<Location /probe>\n  SetHandler quon-probe\n</Location>\n";
    for (const HostCase& c : kHosts) {
        text += "<VirtualHost 127.0.0.1:@PORT@>\n  ServerName " + hostOf(c.lines) + "\n";
        for (size_t at = 0, bar; at < c.lines.size(); at = bar + 1) {
            bar = std::min(c.lines.find('|', at), c.lines.size());
            const std::string line = c.lines.substr(at, bar - at);
            text += (line.starts_with("LogLevel ") ? "  " : "  QuonConfig ") + line + "\n";
        }
        text += "</VirtualHost>\n";
    }
    return text;
}

class AdapterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        apache = std::make_unique<ApacheServer>(
            ApacheOptions{.directives = configWithHosts(), .modulePath = quonProbeModulePath()});
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

TEST_F(AdapterTest, EachHostsRecordHoldsWhatItsLinesSayAndUnconfiguredOnesDecline) {
    for (const HostCase& c : kHosts) {
        HttpResponse response = httpGet(apache->url("/probe/config"), {"Host: " + hostOf(c.lines)});
        ASSERT_EQ(response.status, 200) << response.error;
        auto actual = keyValues(response.body);
        for (const auto& [key, value] : c.expected)
            EXPECT_EQ(actual[key], replaceAll(value, "@DIR@", apache->dir()))
                << '"' << c.lines << "\": " << key;
    }
    // Once each, though Apache reads the configuration twice: the first reading writes to
    // stderr, before there is an error log.
    EXPECT_EQ(apache->countLog("qnApache[init]  \"QuonConfig Metrics\" ignored for virtual server "
                               "since it must be set at the global level."),
              1)
        << apache->errorLog();
    EXPECT_EQ(apache->countLog("qnApache[init]  apialloc is true so using request's memory pool"),
              1);
    // A virtual host with only Verbose has its own record, which is not configured.
    EXPECT_EQ(httpGet(apache->url("/app/x"), {"Host: " + hostOf("Verbose TRUE")}).status, 404);
    EXPECT_TRUE(
        apache->waitForLog("quon_trans: Quon not configured for virtual server so DECLINED"))
        << apache->errorLog();
}

// One probe request to the virtual host of the case with `lines` (by default the main
// server's record), and what it gives: the body, response headers (repeated ones joined by
// ", "; ":status" is the status line), and error-log parts that must be there or, after a
// "!", must not.
struct ProbeCase {
    std::string path, lines;
    std::vector<std::string> headers;
    std::string body;
    std::map<std::string, std::string> answer;
    std::vector<std::string> logs;
};
void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.lines << c.path; }

// Rows: path, lines, request headers, body, response headers, log parts.
// clang-format off
const ProbeCase kProbes[] = {
    // getHeader: request headers, variables (after the dash-to-underscore retry), and
    // the client's address for REMOTE_HOST when there is no host name.
    {"/probe/header?name=Content-Type", "", {"Content-Type: text/x-probe"}, "value=text/x-probe\n"},
    {"/probe/header?name=SERVER-NAME", "", {}, "value=h0.test\n"},
    {"/probe/header?name=X-Not-There", "", {}, "value=<null>\n", {}, {"]     X-Not-There: <null>"}},
    {"/probe/header?name=remote_host", "", {}, "value=127.0.0.1\n", {},
     {"]     REMOTE_ADDR: 127.0.0.1"}},
    // Names Apache sets as variables, and credentials in the log: security_test.cpp.
    // setStatus keeps its reason; a 503 redirects where an error URL is set, and nothing
    // is written after the redirect.
    {"/probe/status?code=503&reason=Server%20Error", "", {}, "",
     {{":status", "HTTP/1.1 302 Server Error"}, {"Location", "http://127.0.0.1/sorry.html"},
      {"X-Redirected", "1"}}},
    {"/probe/status?code=404&reason=Gone%20Fishing", "", {}, "page body\nwrote=0\n",
     {{":status", "HTTP/1.1 404 Gone Fishing"}, {"X-Redirected", "0"}}},
    // addHeader: type and encoding in Apache's fields, cookies added, others replaced.
    {"/probe/headers", "", {}, "headers\n",
     {{"Content-Type", "text/html; Charset=UTF-8"}, {"Content-Encoding", "x-probe"},
      {"Set-Cookie", "first=1, second=2"}, {"X-Probe", "two"}},
     {"]     adding cookie Set-Cookie: [redacted]", "]     table_set(X-Probe, two)", "!second=2"}},
    {"/probe/length?value=5&body=hello", "", {}, "hello", {}, {"]     ap_set_content_length(5)"}},
    // A debug line names no source file and line of the module's own: they would be the
    // adapter's, whatever wrote the line.
    {"/probe/header?name=X-Debug-Line", "LogLevel warn quon:debug|bootstrap 127.0.0.2:7001", {},
     "value=<null>\n", {}, {"]     X-Debug-Line: <null>", "!.cpp("}},
    // The request-pool allocator logs every block.
    {"/probe/malloc?size=0", "Verbose true|apialloc true", {}, "allocated\n", {},
     {": 1 bytes", "]  MEM apache_malloc: 0x", "]  MEM apache_free: 0x"}},
};
// clang-format on

class AdapterProbe : public AdapterTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(AdapterProbe, GivesTheBodyHeadersAndLogLines) {
    const ProbeCase& c = GetParam();
    std::vector<std::string> headers = c.headers;
    headers.push_back("Host: " + hostOf(c.lines));
    HttpResponse r = httpGet(apache->url(c.path), headers);
    EXPECT_EQ(r.body, c.body);
    for (const auto& [name, value] : c.answer) {
        std::string joined;
        for (const std::string& one : r.headersNamed(name))
            joined += (joined.empty() ? "" : ", ") + one;
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

// A line on a channel of the probe (with its level or flag) in a host, and the tag of
// Apache's level it is written with, or "" when it must not be written.
struct LevelCase {
    std::string query, lines, tag;
};
void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.lines << " " << c.query; }

// clang-format off
const LevelCase kLevels[] = {
    // Apache's LogLevel warn: lines at warn and above, notice always.
    {"channel=log&level=4", "bootstrap 127.0.0.2:7001", "[quon:warn]"},
    {"channel=log&level=5", "bootstrap 127.0.0.2:7001", "[quon:notice]"},
    {"channel=log&level=6", "bootstrap 127.0.0.2:7001", ""},
    {"channel=trace", "bootstrap 127.0.0.2:7001", ""},
    // quon:debug: the trace lines; events are trace1, routine detail trace2.
    {"channel=log&level=7", "LogLevel warn quon:debug|bootstrap 127.0.0.2:7001", "[quon:debug]"},
    {"channel=trace", "LogLevel warn quon:debug|bootstrap 127.0.0.2:7001", "[quon:debug]"},
    {"channel=traceE&flag=1", "LogLevel warn quon:debug|bootstrap 127.0.0.2:7001", ""},
    {"channel=traceE&flag=1", "LogLevel warn quon:trace1|bootstrap 127.0.0.2:7001", "[quon:trace1]"},
    {"channel=traceE&flag=2", "LogLevel warn quon:trace1|bootstrap 127.0.0.2:7001", ""},
    {"channel=traceE&flag=2", "LogLevel warn quon:trace2|bootstrap 127.0.0.2:7001", "[quon:trace2]"},
    {"channel=log&level=3", "LogLevel quon:crit|bootstrap 127.0.0.2:7001", ""},
    // A flag of traceflags, and Verbose, write what LogLevel leaves out at notice.
    {"channel=traceE&flag=2", "traceflags 0x2", "[quon:notice]"},
    {"channel=traceE&flag=1", "traceflags 0x2", ""},
    {"channel=traceE&flag=3", "traceflags 0x2", "[quon:notice]"},
    {"channel=trace", "", "[quon:notice]"},
    {"channel=log&level=9", "Verbose TRUE", "[quon:notice]"},
    {"channel=log&level=3", "Verbose TRUE", "[quon:error]"},
    {"channel=log&level=3", "LogLevel quon:crit|Verbose true", "[quon:notice]"},
    {"channel=trace", "LogLevel quon:crit|Verbose true", "[quon:notice]"},
};
// clang-format on

class AdapterLevel : public AdapterTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(AdapterLevel, WritesEachLineAtItsLevelAsLogLevelAllows) {
    const LevelCase& c = GetParam();
    static int cases = 0;  // a text of its own for each case, none a part of another
    const std::string text = "level-case-" + std::to_string(++cases) + "-end";
    HttpResponse r = httpGet(apache->url("/probe/log?" + c.query + "&text=" + text),
                             {"Host: " + hostOf(c.lines)});
    ASSERT_EQ(r.body, "logged\n");
    if (c.tag.empty()) {
        EXPECT_EQ(apache->countLog(text), 0) << apache->errorLog();
        return;
    }
    ASSERT_TRUE(apache->waitForLog(text)) << apache->errorLog();
    std::smatch line;
    const std::string log = apache->errorLog();
    ASSERT_TRUE(std::regex_search(log, line, std::regex(".*" + text)));
    EXPECT_NE(line[0].str().find(c.tag), std::string::npos) << line[0];
}

INSTANTIATE_TEST_SUITE_P(Levels, AdapterLevel, ::testing::ValuesIn(kLevels));

TEST_F(AdapterTest, LogLinesCarryThePrefixAndAreCutAt2044Characters) {
    httpGet(apache->url("/probe/log?channel=log&len=3000"));
    ASSERT_TRUE(apache->waitForLog("abcdefghij"));
    std::smatch line;  // the prefix ends in a blank, then one more before the message
    std::string log = apache->errorLog();
    ASSERT_TRUE(
        std::regex_search(log, line, std::regex("qnApache\\[[0-9]+: [0-9]+\\]  (abcdef.*)")));
    EXPECT_EQ(line[1].length(), 2044);
}
}  // namespace
