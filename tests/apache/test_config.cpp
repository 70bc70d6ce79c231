// QuonConfig lines as Apache applies them: one record per server that has lines, the
// main record shared by virtual hosts without any, every key's effect and whether it
// marks the server configured.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

#include "apache_server.h"
#include "http_client.h"

namespace {
// A virtual host with these QuonConfig lines ("|" between two), and what its record
// then holds.
struct HostCase {
    std::string lines;
    std::map<std::string, std::string> expected;
};

const HostCase kHosts[] = {
    // No line: the main server's record itself, seconds turned into milliseconds.
    {"",
     {{"sharesMainRecord", "1"}, {"configured", "1"}, {"connectTimeout", "5000"},
      {"errorUrl", "http://127.0.0.1/busy.html"}, {"traceFlags", "2"}, {"qnDebugger", "1"}}},
    // One line per key: its own record with the defaults and the key's effect only.
    {"Verbose false",
     {{"sharesMainRecord", "0"}, {"configured", "0"}, {"verbose", "0"}, {"traceFlags", "0"},
      {"errorUrl", "<null>"}, {"connectTimeout", "15000"}, {"sendTimeout", "15000"},
      {"recvTimeout", "300000"}}},
    {"Verbose TRUE", {{"configured", "0"}, {"verbose", "1"}, {"traceFlags", "-1"}}},
    {"traceflags 0x3", {{"configured", "0"}, {"traceFlags", "3"}}},
    {"traceflags 3z", {{"traceFlags", "0"}}},
    {"serverstore /tmp/store.txt", {{"configured", "1"}, {"serverStore", "/tmp/store.txt"}}},
    {"bootstrap 127.0.0.2:7001", {{"configured", "1"}, {"bootstrap", "127.0.0.2:7001"}}},
    {"errorurl http://127.0.0.1/x", {{"configured", "1"}, {"errorUrl", "http://127.0.0.1/x"}}},
    {"apialloc no", {{"configured", "1"}, {"apiAlloc", "0"}}},
    {"IgnoreSuffixMap TRUE", {{"configured", "1"}, {"ignoreSuffixMap", "1"}}},
    {"ProxyRetryInterval 30", {{"configured", "1"}, {"proxyRetryInterval", "30"}}},
    {"connecttimeout 7", {{"configured", "1"}, {"connectTimeout", "7000"}}},
    {"RECVTIMEOUT x", {{"configured", "1"}, {"recvTimeout", "0"}}},
    {"sendtimeout 2", {{"configured", "1"}, {"sendTimeout", "2000"}}},
    // Metrics belong to the main server only.
    {"metrics true", {{"configured", "0"}, {"qnMetrics", "0"}}},
    {"debugger no", {{"configured", "1"}}},
    {"nosuchkey 1", {{"configured", "0"}, {"sharesMainRecord", "0"}}},
    // Two lines: the later one decides.
    {"Verbose true|apialloc true", {{"configured", "1"}, {"apiAlloc", "1"}}},
    {"Verbose true|traceflags 1", {{"verbose", "1"}, {"traceFlags", "1"}}},
    {"traceflags 1|Verbose true", {{"verbose", "1"}, {"traceFlags", "-1"}}},
};

// The lines as a name: "Verbose true|traceflags 1" gives Verbose_true_traceflags_1.
std::string nameOf(const HostCase& c) {
    std::string name = c.lines.empty() ? "none" : c.lines;
    for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}
std::string hostOf(const HostCase& c) {
    std::string host = nameOf(c);
    std::replace(host.begin(), host.end(), '_', '-');
    return host + ".test";
}
void PrintTo(const HostCase& c, std::ostream* os) { *os << '"' << c.lines << '"'; }

// The main server's lines, and one virtual host per case.
std::string configWithHosts() {
    std::string text = "QuonConfig connecttimeout 5\nQuonConfig errorurl http://127.0.0.1/busy.html\n"
                       "QuonConfig debugger true\nQuonConfig traceflags 2\n"
                       "<Location /probe>\n  SetHandler quon-probe\n</Location>\n";
    for (const HostCase& c : kHosts) {
        text += "<VirtualHost 127.0.0.1:@PORT@>\n  ServerName " + hostOf(c) + "\n";
        for (size_t at = 0; at < c.lines.size();) {
            size_t bar = std::min(c.lines.find('|', at), c.lines.size());
            text += "  QuonConfig " + c.lines.substr(at, bar - at) + "\n";
            at = bar + 1;
        }
        text += "</VirtualHost>\n";
    }
    return text;
}

class ConfigTest : public ::testing::Test {
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
std::unique_ptr<ApacheServer> ConfigTest::apache;

class ConfigPerHost : public ConfigTest, public ::testing::WithParamInterface<HostCase> {};

TEST_P(ConfigPerHost, RecordHoldsWhatItsLinesSay) {
    HttpResponse response = httpGet(apache->url("/probe/config"), {"Host: " + hostOf(GetParam())});
    ASSERT_EQ(response.status, 200) << response.error;
    auto actual = keyValues(response.body);
    for (const auto& [key, value] : GetParam().expected)
        EXPECT_EQ(actual[key], value) << GetParam().lines << ": " << key;
}

INSTANTIATE_TEST_SUITE_P(Keys, ConfigPerHost, ::testing::ValuesIn(kHosts),
                         [](const auto& info) { return nameOf(info.param); });

// Once each, though Apache reads the configuration twice: the first reading writes to
// stderr, before there is an error log.
TEST_F(ConfigTest, ConfigurationMessagesAndTheUnconfiguredHostsDecline) {
    EXPECT_EQ(apache->countLog("qnApache[init]  \"QuonConfig Metrics\" ignored for virtual server "
                               "since it must be set at the global level."),
              1)
        << apache->errorLog();
    EXPECT_EQ(apache->countLog("qnApache[init]  apialloc is true so using request's memory pool"),
              1);
    // A virtual host with only Verbose has its own record, which is not configured.
    EXPECT_EQ(httpGet(apache->url("/app/x"), {"Host: " + hostOf(kHosts[2])}).status, 404);
    EXPECT_TRUE(apache->waitForLog("quon_trans: Quon not configured for virtual server so DECLINED"))
        << apache->errorLog();
}
}  // namespace
