// QuonConfig lines as Apache reads them: `apache2 -t` refuses a bad key, value or place
// with a message naming the key, the value and what is allowed, and passes good ones;
// through a running Apache, a time-out with a unit is the time it says and a line in
// .htaccess is refused when a request reads it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>

#include "apache_server.h"
#include "http_client.h"
#include "loopback_peer.h"

namespace {
using namespace std::chrono_literals;

// Lines ("@DIR@": the instance's folder, which is also ServerRoot) and the part of
// Apache's output expected; an empty part, a part after "!" (which must not be there), or
// a warning (a regular expression): the lines pass.
struct CheckCase {
    std::string lines;
    std::string part;
    bool warning = false;
};
void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.lines; }

constexpr const char* kTime =
    "a time from 1ms to 86400s expected: seconds, or a number with "
    "the unit ms, s, mi or h (such as 500ms or 2mi)";
constexpr const char* kSize =
    "a size from 1024 to 1073741824 bytes expected, in bytes or with "
    "K (1024) or M (1048576)";
constexpr const char* kFlag = "true or false expected (or on or off, in any case)";
constexpr const char* kCheckPath =
    "an absolute path (/...) of at most 200 characters expected, with an optional query, "
    "without blanks or control characters";
constexpr const char* kMask = "a hexadecimal mask of at most 8 digits expected, such as 3 or 0x3";
constexpr const char* kServer =
    "<host>:<port 1-65535> expected, the host a name of at most 253 characters, an IPv4 "
    "address or an IPv6 address in brackets, such as app1.example:7001, 127.0.0.1:7001 or "
    "[::1]:7001";
constexpr const char* kUrl =
    "an absolute path (/...) or an absolute http:// or https:// URL "
    "expected, without blanks or control characters";
constexpr const char* kPlace =
    "allowed only in the main server and in <VirtualHost> (QuonConfig "
    "cannot occur within ";

constexpr const char* kNetworks =
    "networks expected, at most 32, separated by commas or blanks: IPv4 or IPv6 addresses, "
    "each with an optional prefix length (such as 10.1.0.0/16, 192.0.2.7 or fd00::/8)";

std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

std::string refused(const std::string& key, const std::string& value, const std::string& why) {
    return "QuonConfig " + key + " \"" + value + "\": " + why;
}

// clang-format off
const CheckCase kChecks[] = {
    // Unknown keys name every known one.
    {"QuonConfig Verbos true", refused("Verbos", "true", "unknown key; the keys (in any case) are "
        "Verbose, traceflags, serverstore, bootstrap, errorurl, apialloc, ignoresuffixmap, "
        "proxyretryinterval, connecttimeout, recvtimeout, sendtimeout, responsetimeout, "
        "maxheadersize, maxpropssize, membernetworks, directorywalk, metrics, debugger, statuschanges, "
        "checkinterval, checktimeout, checkfall, checkrise, claim, healthcheckuri, slowstart")},
    // The health checks' settings: times of 100 ms to a minute, counts of 1 to 10.
    {"QuonConfig checkinterval 99ms", refused("checkinterval", "99ms",
        "a time from 100ms to 60s expected: seconds, or a number with the unit ms, s, mi or h "
        "(such as 500ms or 2mi)")},
    {"QuonConfig checkfall 0", refused("checkfall", "0", "a whole number from 1 to 10 expected")},
    {"QuonConfig checkrise 11", refused("checkrise", "11", "a whole number from 1 to 10 expected")},
    {"QuonConfig checkinterval 2\nQuonConfig checktimeout 1500ms\nQuonConfig checkfall 4\n"
     "QuonConfig checkrise 2", ""},
    // Time-outs: Apache's units, seconds by default, 1ms to a day; nothing after the unit.
    {"QuonConfig recvtimeout abc", refused("recvtimeout", "abc", kTime)},
    {"QuonConfig connecttimeout 0", refused("connecttimeout", "0", kTime)},
    {"QuonConfig sendtimeout 86401", refused("sendtimeout", "86401", kTime)},
    {"QuonConfig connecttimeout 5sx", refused("connecttimeout", "5sx", kTime)},
    {"QuonConfig connecttimeout 9999999999999999h", refused("connecttimeout",
        "9999999999999999h", kTime)},
    {"QuonConfig connecttimeout 500ms\nQuonConfig recvtimeout 2mi\nQuonConfig sendtimeout 1h", ""},
    {"QuonConfig connecttimeout 1ms\nQuonConfig RecvTimeout 86400\nQuonConfig sendtimeout 1440min", ""},
    // The response bound: a time-out as above, or 0 or off for none.
    {"QuonConfig responsetimeout 5x", refused("responsetimeout", "5x",
        std::string(kTime) + "; or 0 or off for no bound")},
    {"QuonConfig responsetimeout 0\nQuonConfig ResponseTimeout OFF\nQuonConfig responsetimeout 1500ms", ""},
    // Whole seconds, 0 to a day.
    {"QuonConfig proxyretryinterval abc", refused("proxyretryinterval", "abc",
        "whole seconds from 0 to 86400 expected")},
    {"QuonConfig proxyretryinterval 86401", "whole seconds from 0 to 86400"},
    {"QuonConfig proxyretryinterval 0\nQuonConfig proxyretryinterval 86400", ""},
    // Sizes: bytes, K or M, 1 KiB to 1 GiB.
    {"QuonConfig maxheadersize 12x", refused("maxheadersize", "12x", kSize)},
    {"QuonConfig maxheadersize 1023", refused("maxheadersize", "1023", kSize)},
    {"QuonConfig maxpropssize 1025M", refused("maxpropssize", "1025M", kSize)},
    {"QuonConfig maxpropssize 99999999999999999999", kSize},
    {"QuonConfig maxheadersize 1024\nQuonConfig maxpropssize 1024M\nQuonConfig maxheadersize 64k", ""},
    // Flags and the trace mask.
    {"QuonConfig Verbose yes", refused("Verbose", "yes", kFlag)},
    {"QuonConfig debugger no", refused("debugger", "no", kFlag)},
    {"QuonConfig traceflags 3z", refused("traceflags", "3z", kMask)},
    {"QuonConfig traceflags -1", refused("traceflags", "-1", kMask)},
    {"QuonConfig traceflags 100000000", refused("traceflags", "100000000", kMask)},
    {"QuonConfig VERBOSE On\nQuonConfig apialloc FALSE\nQuonConfig IgnoreSuffixMap off\n"
     "QuonConfig TraceFlags 0xFFFFFFFF\nQuonConfig traceflags 3", ""},
    // The bootstrap server: a name, an IPv4 address or an IPv6 address in brackets, and a
    // port (each rule: test_address.cpp; names that do not resolve: names_test.cpp).
    {"QuonConfig bootstrap 127.0.0.1", refused("bootstrap", "127.0.0.1", kServer)},
    {"QuonConfig bootstrap ::1:7001", refused("bootstrap", "::1:7001", kServer)},
    {"QuonConfig bootstrap 127.0.0.2:65535\nQuonConfig bootstrap [::1]:7001\n"
     "QuonConfig bootstrap localhost:7001", ""},
    // The error URL: an absolute path or http(s) URL, nothing blank or control in it.
    {"QuonConfig errorurl sorry.html", refused("errorurl", "sorry.html", kUrl)},
    {"QuonConfig errorurl ftp://127.0.0.1/x", kUrl},
    {"QuonConfig errorurl http:///x", kUrl},
    {"QuonConfig errorurl \"/sorry page\"", refused("errorurl", "/sorry page", kUrl)},
    {"QuonConfig errorurl \"/sorry\x01\"", kUrl},
    {"QuonConfig errorurl /sorry.html", ""},
    {"QuonConfig errorurl HTTPS://127.0.0.1:8443/sorry?x=1", ""},
    // Member networks: addresses with an optional prefix length, at most 32 of them.
    {"QuonConfig membernetworks 10.0.0.0/33", refused("membernetworks", "10.0.0.0/33", kNetworks)},
    {"QuonConfig membernetworks 10.0.0/8", kNetworks},
    {"QuonConfig membernetworks \"10.0.0.0/8, x\"", kNetworks},
    {"QuonConfig membernetworks fd00::/129", kNetworks},
    {"QuonConfig membernetworks 10.0.0.0/", kNetworks},
    {"QuonConfig membernetworks ,", kNetworks},
    {"QuonConfig membernetworks \"" + repeated("10.0.0.0/8 ", 33) + "\"", kNetworks},
    {"QuonConfig membernetworks \"10.1.0.0/16, 192.0.2.7 fd00::/8,::1/128\"", ""},
    {"QuonConfig membernetworks \"" + repeated("10.0.0.0/8 ", 32) + "\"", ""},
    // The server store: relative to ServerRoot, a file in a folder that exists.
    {"QuonConfig serverstore nosuch/servers.store", refused("serverstore", "nosuch/servers.store",
        "the folder @DIR@/nosuch does not exist")},
    {"QuonConfig serverstore @DIR@/htdocs", refused("serverstore", "@DIR@/htdocs",
        "@DIR@/htdocs is a folder; a file in a folder that exists expected")},
    {"QuonConfig serverstore htdocs/servers.store", ""},
    // Only the main server and virtual hosts.
    {"<Location /x>\n  QuonConfig bootstrap 127.0.0.1:7001\n</Location>",
     refused("bootstrap", "127.0.0.1:7001", kPlace) + "<Location> section)"},
    {"<Directory @DIR@>\n  QuonConfig Verbose true\n</Directory>",
     refused("Verbose", "true", kPlace) + "<Directory> section)"},
    {"<Files x.jsp>\n  QuonConfig nosuchkey 1\n</Files>",
     refused("nosuchkey", "1", kPlace) + "<Files> section)"},
    {"<VirtualHost 127.0.0.1:@PORT@>\n  <If \"true\">\n    QuonConfig Verbose true\n  </If>\n"
     "</VirtualHost>", refused("Verbose", "true", kPlace) + "<If> section)"},
    {"<VirtualHost 127.0.0.1:@PORT@>\n  QuonConfig metrics true\n</VirtualHost>\n"
     "<IfModule mod_quon22.c>\n  QuonConfig metrics true\n</IfModule>", ""},
    // A key set twice in one server: the later line counts, and both are named.
    {"QuonConfig connecttimeout 5\nQuonConfig ConnectTimeout 7", "QuonConfig ConnectTimeout on "
     "line ([0-9]+) of @DIR@/check.conf repeats the one on line ([0-9]+) of @DIR@/check.conf in "
     "the same server: the last one counts", true},
    {"QuonConfig errorurl /a\n<VirtualHost 127.0.0.1:@PORT@>\n  QuonConfig errorurl /b\n"
     "</VirtualHost>", "!repeats"},
    // Whether the status page may change servers' states; unset by default.
    {"QuonConfig statuschanges maybe", refused("statuschanges", "maybe", kFlag)},
    {"QuonConfig statuschanges on\n<VirtualHost 127.0.0.1:@PORT@>\n  QuonConfig "
     "StatusChanges off\n</VirtualHost>", ""},
    // The application check's path; slow start's seconds.
    {"QuonConfig healthcheckuri app/health", refused("healthcheckuri", "app/health", kCheckPath)},
    {"QuonConfig healthcheckuri /app/health?deep=1", ""},
    {"QuonConfig slowstart 3601",
     refused("slowstart", "3601", "whole seconds from 0 to 3600 expected")},
    // URL patterns to claim while no server has answered: repeatable, as the servers write them.
    {"QuonConfig claim app/*", refused("claim", "app/*", "a URL pattern as the servers send them "
     "expected: a path from / (such as /app/* or /app/login), or *.suffix (such as *.jsp), "
     "without blanks or control characters")},
    {"QuonConfig claim /app/*\nQuonConfig claim *.jsp", "!repeats"},
};
// clang-format on

class ConfigCheckTest : public ::testing::TestWithParam<CheckCase> {
protected:
    static void SetUpTestSuite() { apache = std::make_unique<ApacheServer>(ApacheOptions{}); }
    static void TearDownTestSuite() { apache.reset(); }
    static std::unique_ptr<ApacheServer> apache;
};
std::unique_ptr<ApacheServer> ConfigCheckTest::apache;

TEST_P(ConfigCheckTest, RefusesWhatDoesNotFitAndPassesTheRest) {
    const CheckCase& c = GetParam();
    ConfigCheck check = apache->checkConfig(c.lines);
    if (c.warning) {
        // The warning names the two lines, one after the other.
        EXPECT_EQ(check.status, 0) << check.output;
        std::smatch lines;
        const std::string dir =
            std::regex_replace(apache->dir(), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
        ASSERT_TRUE(
            std::regex_search(check.output, lines, std::regex(replaceAll(c.part, "@DIR@", dir))))
            << check.output;
        EXPECT_EQ(std::stoi(lines[1]), std::stoi(lines[2]) + 1);
    } else if (c.part.empty() || c.part[0] == '!') {
        EXPECT_EQ(check.status, 0) << check.output;
        EXPECT_NE(check.output.find("Syntax OK"), std::string::npos) << check.output;
        if (!c.part.empty()) {
            EXPECT_EQ(check.output.find(c.part.substr(1)), std::string::npos);
        }
    } else {
        EXPECT_EQ(check.status, 1) << check.output;
        EXPECT_NE(check.output.find(replaceAll(c.part, "@DIR@", apache->dir())), std::string::npos)
            << check.output;
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, ConfigCheckTest, ::testing::ValuesIn(kChecks));

// 500ms is half a second, not 500 s: a connect to an address whose accept queue is full
// gives up then. A QuonConfig line in .htaccess fails the request that reads it.
TEST(ConfigInUse, AConnectTimeOutInMillisecondsAndALineInHtaccess) {
    FullBacklogListener blackHole("127.0.0.3");
    ASSERT_TRUE(blackHole.full());
    const std::string server = "127.0.0.3:" + std::to_string(ntohs(blackHole.address().sin_port));
    ApacheServer apache({.directives = "QuonConfig connecttimeout 500ms\n"
                                       "<Location /probe>\n  SetHandler quon-probe\n</Location>\n"
                                       "<Directory @DIR@/htdocs/open>\n  AllowOverride All\n"
                                       "</Directory>\n",
                         .modulePath = quonProbeModulePath()});
    const std::string open = apache.dir() + "/htdocs/open";
    std::filesystem::create_directories(open);
    std::ofstream(open + "/.htaccess") << "QuonConfig Verbose true\n";
    shareWithApacheUser(open);
    shareWithApacheUser(open + "/.htaccess");
    ASSERT_TRUE(apache.start());

    const auto start = std::chrono::steady_clock::now();
    httpGet(apache.url("/probe/wait?server=" + server));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(apache.waitForLog(server + " connect failed[") &&
                apache.waitForLog("]: 110 110 Connection timed out") &&
                apache.waitForLog("110 Connection timed out"))
        << apache.errorLog();
    EXPECT_GE(took, 450ms);
    EXPECT_LT(took, 3s);  // the default would be 15 s, and "500" taken as seconds far more

    EXPECT_EQ(httpGet(apache.url("/open/x.html")).status, 500);
    EXPECT_TRUE(apache.waitForLog(refused("Verbose", "true", kPlace) + "htaccess files)"))
        << apache.errorLog();
}
}  // namespace
