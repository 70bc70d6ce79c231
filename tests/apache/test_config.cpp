// QuonConfig lines as Apache applies them: one record per server that has lines,
// the main record shared by virtual hosts without any, every key's effect.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>

#include "apache_server.h"
#include "http_client.h"

namespace {
std::string virtualHost(const std::string& name, const std::string& lines) {
    return "<VirtualHost 127.0.0.1:@PORT@>\n  ServerName " + name + "\n" + lines +
           "</VirtualHost>\n";
}

// The main server's lines, and one virtual host per case below. The first host has no
// line and therefore answers with the main server's record.
std::string configWithHosts() {
    return "QuonConfig connecttimeout 5\n"
           "QuonConfig errorurl http://127.0.0.1/busy.html\n"
           "QuonConfig debugger true\n"
           "QuonConfig traceflags 2\n"
           "<Location /probe>\n  SetHandler quon-probe\n</Location>\n" +
           virtualHost("shared.test", "") +
           virtualHost("timeouts.test",
                       "  QuonConfig connecttimeout 7\n  QuonConfig RECVTIMEOUT x\n"
                       "  QuonConfig sendtimeout 2\n") +
           virtualHost("verbose-false.test", "  QuonConfig Verbose false\n") +
           virtualHost("verbose-only.test", "  QuonConfig Verbose TRUE\n") +
           virtualHost("apialloc-no.test", "  QuonConfig apialloc no\n") +
           virtualHost("apialloc-yes.test",
                       "  QuonConfig Verbose true\n  QuonConfig apialloc true\n") +
           virtualHost("hex.test", "  QuonConfig traceflags 3\n") +
           virtualHost("hex-prefix.test", "  QuonConfig traceflags 0x3\n") +
           virtualHost("hex-junk.test", "  QuonConfig traceflags 3z\n") +
           virtualHost("verbose-then-mask.test",
                       "  QuonConfig Verbose true\n  QuonConfig traceflags 1\n") +
           virtualHost("mask-then-verbose.test",
                       "  QuonConfig traceflags 1\n  QuonConfig Verbose true\n") +
           virtualHost("strings.test",
                       "  QuonConfig serverstore /tmp/store.txt\n"
                       "  QuonConfig bootstrap 127.0.0.2:7001\n"
                       "  QuonConfig ProxyRetryInterval 30\n"
                       "  QuonConfig ignoresuffixmap true\n") +
           virtualHost("unknown.test", "  QuonConfig nosuchkey 1\n") +
           virtualHost("metrics.test", "  QuonConfig metrics true\n");
}

class ConfigTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        apache = std::make_unique<ApacheServer>(
            ApacheOptions{.directives = configWithHosts(), .modulePath = quonProbeModulePath()});
        std::string why;
        if (!apache->start(&why)) {
            apache.reset();
            FAIL() << why;
        }
    }
    static void TearDownTestSuite() { apache.reset(); }

    static std::map<std::string, std::string> configOf(const std::string& host) {
        HttpResponse response = httpGet(apache->url("/probe/config"), {"Host: " + host});
        EXPECT_EQ(response.status, 200) << response.error;
        return keyValues(response.body);
    }

    static std::unique_ptr<ApacheServer> apache;
};
std::unique_ptr<ApacheServer> ConfigTest::apache;

struct HostCase {
    std::string host;
    std::map<std::string, std::string> expected;
};

class ConfigPerHost : public ConfigTest, public ::testing::WithParamInterface<HostCase> {};

TEST_P(ConfigPerHost, RecordHoldsWhatItsLinesSay) {
    ASSERT_TRUE(apache);
    auto actual = configOf(GetParam().host);
    for (const auto& [key, value] : GetParam().expected)
        EXPECT_EQ(actual[key], value) << GetParam().host << ": " << key;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ConfigPerHost,
    ::testing::Values(
        // No line: the main server's record itself, seconds turned into milliseconds.
        HostCase{"shared.test",
                 {{"sharesMainRecord", "1"}, {"configured", "1"}, {"connectTimeout", "5000"},
                  {"errorUrl", "http://127.0.0.1/busy.html"}, {"traceFlags", "2"},
                  {"qnDebugger", "1"}}},
        // Own lines: own record, nothing inherited from the main server.
        HostCase{"timeouts.test",
                 {{"sharesMainRecord", "0"}, {"configured", "1"}, {"connectTimeout", "7000"},
                  {"recvTimeout", "0"}, {"sendTimeout", "2000"}, {"errorUrl", "<null>"},
                  {"traceFlags", "0"}}},
        HostCase{"verbose-false.test",
                 {{"sharesMainRecord", "0"}, {"configured", "0"}, {"verbose", "0"},
                  {"traceFlags", "0"}, {"connectTimeout", "15000"}, {"recvTimeout", "300000"}}},
        HostCase{"verbose-only.test", {{"configured", "0"}, {"verbose", "1"}, {"traceFlags", "-1"}}},
        HostCase{"apialloc-no.test", {{"configured", "1"}, {"apiAlloc", "0"}}},
        HostCase{"apialloc-yes.test", {{"configured", "1"}, {"apiAlloc", "1"}}},
        HostCase{"hex.test", {{"traceFlags", "3"}, {"configured", "0"}}},
        HostCase{"hex-prefix.test", {{"traceFlags", "3"}}},
        HostCase{"hex-junk.test", {{"traceFlags", "0"}}},
        HostCase{"verbose-then-mask.test", {{"verbose", "1"}, {"traceFlags", "1"}}},
        HostCase{"mask-then-verbose.test", {{"verbose", "1"}, {"traceFlags", "-1"}}},
        HostCase{"strings.test",
                 {{"configured", "1"}, {"serverStore", "/tmp/store.txt"},
                  {"bootstrap", "127.0.0.2:7001"}, {"proxyRetryInterval", "30"},
                  {"ignoreSuffixMap", "1"}}},
        HostCase{"unknown.test", {{"configured", "0"}, {"sharesMainRecord", "0"}}},
        // Metrics belong to the main server only.
        HostCase{"metrics.test", {{"configured", "0"}, {"qnMetrics", "0"}}}),
    [](const auto& info) {
        std::string name = info.param.host.substr(0, info.param.host.find('.'));
        for (char& c : name)
            if (c == '-') c = '_';
        return name;
    });

TEST_F(ConfigTest, MessagesOfConfigurationLines) {
    ASSERT_TRUE(apache);
    EXPECT_EQ(apache->countLog("qnApache[init]  \"QuonConfig Metrics\" ignored for virtual server "
                               "since it must be set at the global level."),
              1)  // the first of Apache's two readings writes to stderr: no error log yet
        << apache->errorLog();
    EXPECT_EQ(apache->countLog("qnApache[init]  apialloc is true so using request's memory pool"),
              1);
}

TEST_F(ConfigTest, VirtualHostWithOnlyVerboseDeclinesItsRequests) {
    ASSERT_TRUE(apache);
    HttpResponse response = httpGet(apache->url("/app/x"), {"Host: verbose-only.test"});
    EXPECT_EQ(response.status, 404);
    EXPECT_TRUE(apache->waitForLog("quon_trans: Quon not configured for virtual server so DECLINED"))
        << apache->errorLog();
}

TEST(ConfigMetrics, MainServerLineSetsTheProcessFlag) {
    ApacheServer apache({.directives = "QuonConfig metrics true\n"
                                       "<Location /probe>\n  SetHandler quon-probe\n</Location>\n",
                         .modulePath = quonProbeModulePath()});
    std::string why;
    ASSERT_TRUE(apache.start(&why)) << why;
    HttpResponse response = httpGet(apache.url("/probe/config"));
    EXPECT_EQ(keyValues(response.body)["qnMetrics"], "1");
    EXPECT_EQ(keyValues(response.body)["configured"], "0");
    EXPECT_EQ(apache.countLog("ignored for virtual server"), 0);
}
}  // namespace
