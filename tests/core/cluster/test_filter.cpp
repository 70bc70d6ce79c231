// Request filtering: which entry a request falls under, as one table of cases;
// path-parameter removal; the membership upkeep against real servers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backend_process.h"
#include "cluster_fixture.h"
#include "fake_web_server.h"
#include "filter.h"
#include "pool.h"
#include "property.h"
#include "recording_request.h"
#include "sync.h"
#include "table.h"

namespace {
enum Ignore { kHonoured, kFlagSet, kFlagSetNotAsked };  // table flag and the caller's wish

struct MatchCase {
    const char* name;
    std::vector<std::string> patterns;  // in table order
    std::string uri;
    const char* filterPath;  // null: none
    const char* host;        // null: no HOST header
    int expected;            // entry index, or -1
    std::string trace = "";  // a trace line the call must write
    Ignore ignore = kHonoured;
};

void PrintTo(const MatchCase& c, std::ostream* out) { *out << c.name; }

class Matching : public ::testing::TestWithParam<MatchCase> {};
}  // namespace

TEST_P(Matching, FirstMatchingEntryInTableOrder) {
    const MatchCase& c = GetParam();
    FakeWebServer web;
    HandTable table(web.get());
    table.addPatterns(c.patterns);
    table->ignoreSuffixes = c.ignore == kHonoured ? 0 : 1;
    if (c.host) web.headers.emplace_back("Host", c.host);
    web.uri = c.uri;
    web.prepare();
    web->filterPath = c.filterPath;
    web.recorder.clear();
    int index = filterRequest(table.get(), web.get(), c.ignore == kFlagSetNotAsked ? 0 : 1);
    EXPECT_EQ(index, c.expected) << web.recorder.dump();
    const char* last = index < 0 ? "filterRequest:   no match" : nullptr;
    std::string matched = index < 0 ? "" : "filterRequest:   matched " + c.patterns[size_t(index)];
    EXPECT_EQ(web.recorder.count("trace", last ? last : matched.c_str()), 1) << web.recorder.dump();
    if (!c.trace.empty()) {
        EXPECT_EQ(web.recorder.count("trace", c.trace), 1) << web.recorder.dump();
    }
    EXPECT_EQ(web.headersHandedBack, 1);
    EXPECT_EQ(web.liveBlocks(), 0);
    EXPECT_EQ(table->lastActivity, QN_ACTIVITY_REQUEST);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, Matching,
    ::testing::Values(
        MatchCase{"OrderDecidesPrefixFirst", {"/app*", "*.jsp"}, "/app/x.jsp", nullptr, nullptr, 0},
        MatchCase{"OrderDecidesExtensionFirst", {"*.jsp", "/app*"}, "/app/x.jsp", nullptr, nullptr, 0,
                  "filterRequest:   matched *.jsp"},
        MatchCase{"PrefixAlone", {"/b*", "/app*"}, "/app", nullptr, nullptr, 1},
        MatchCase{"PrefixThenSlash", {"/app*"}, "/app/x", nullptr, nullptr, 0},
        MatchCase{"PrefixThenAmpersand", {"/app*"}, "/app&x", nullptr, nullptr, 0},
        MatchCase{"PrefixThenHash", {"/app*"}, "/app#x", nullptr, nullptr, 0},
        MatchCase{"PrefixNotAtBoundary", {"/app*"}, "/apple", nullptr, nullptr, -1},
        MatchCase{"PrefixIsCaseSensitive", {"/app*"}, "/APP/x", nullptr, nullptr, -1},
        MatchCase{"ExtensionIgnored", {"*.jsp", "/a*"}, "/a/x.jsp", nullptr, nullptr, 1,
                  "filtering ignored suffix: *.jsp", kFlagSet},
        MatchCase{"ExtensionIgnoredOnlyWhenAsked", {"*.jsp"}, "/a/x.jsp", nullptr, nullptr, 0, "",
                  kFlagSetNotAsked},
        MatchCase{"PrefixAndExtensionNotIgnored", {"/a*.jsp"}, "/a/x.jsp", nullptr, nullptr, 0, "",
                  kFlagSet},
        MatchCase{"ExtensionInParameters", {"*.jsp"}, "/a/page;id=x.jsp", nullptr, nullptr, -1,
                  "filterRequest: ignoring extension match after \";\""},
        MatchCase{"ExtensionBeforeParameters", {"*.jsp"}, "/a/x.jsp;id=y", nullptr, nullptr, 0,
                  "filtering /a/x.jsp;id=y (/a/x.jsp) HOST=null"},
        MatchCase{"ExtensionOfTheFileName", {"*.jsp"}, "/a/x", "/srv/www/x.jsp", "h", 0,
                  "filtering /a/x (/srv/www/x.jsp) HOST=h"},
        MatchCase{"PrefixAndExtension", {"/app*.do"}, "/app/a.do", nullptr, nullptr, 0},
        MatchCase{"PrefixAndExtensionWrongEnd", {"/app*.do"}, "/app/a.jsp", nullptr, nullptr, -1},
        MatchCase{"PrefixAndExtensionNotAtBoundary", {"/app*.do"}, "/apple.do", nullptr, nullptr, -1},
        MatchCase{"Exact", {"/status"}, "/status", nullptr, nullptr, 0},
        MatchCase{"ExactAsDirectory", {"/status"}, "/status/x", nullptr, nullptr, 0},
        MatchCase{"ExactNotLonger", {"/status"}, "/statusx", nullptr, nullptr, -1},
        MatchCase{"HostInAnyCase", {"//shop.test/app*"}, "/app/x", nullptr, "SHOP.Test", 0},
        MatchCase{"HostOtherName", {"//shop.test/app*"}, "/app/x", nullptr, "shop.tes", -1},
        MatchCase{"HostWithPortAgainstNone", {"//shop.test/app*"}, "/app/x", nullptr,
                  "shop.test:8080", -1},
        MatchCase{"HostWithSamePort", {"//shop.test:8080/app*"}, "/app/x", nullptr,
                  "Shop.test:8080", 0},
        MatchCase{"HostMissing", {"//shop.test/app*", "/app*"}, "/app/x", nullptr, nullptr, 1,
                  "filtering /app/x (/app/x) HOST=null"},
        MatchCase{"HostWithoutPath", {"//shop.test"}, "/x", nullptr, "shop.test", 0},
        MatchCase{"StarAloneTakesSlash", {"*"}, "/anything/at.all", nullptr, nullptr, 0},
        MatchCase{"StarAloneNeedsSlash", {"*"}, "x", nullptr, nullptr, -1},
        MatchCase{"SlashAlone", {"/"}, "/", nullptr, nullptr, 0},
        MatchCase{"SlashAloneThenSlash", {"/"}, "//x", nullptr, nullptr, 0},
        MatchCase{"SlashAloneThenAmpersand", {"/"}, "/&x", nullptr, nullptr, 0},
        MatchCase{"SlashAloneNotPath", {"/"}, "/x", nullptr, nullptr, -1},
        MatchCase{"Contains", {"/app*admin*"}, "/app/x/admin/y", nullptr, nullptr, 0},
        MatchCase{"ContainsMissing", {"/app*admin*"}, "/app/x", nullptr, nullptr, -1},
        MatchCase{"ContainsInFileName", {"/app*WEB-INF*"}, "/app/x", "/srv/app/WEB-INF/x", nullptr, 0},
        MatchCase{"ContainsFailsPrefix", {"/app*admin*"}, "/b/admin", nullptr, nullptr, -1},
        MatchCase{"ContainsFailsHost", {"//other.test/app*admin*"}, "/app/admin", nullptr,
                  "shop.test", -1},
        MatchCase{"ContainsNotAtBoundary", {"/app*admin*"}, "/apple/admin", nullptr, nullptr, -1},
        MatchCase{"EmptyTable", {}, "/x", nullptr, nullptr, -1}),
    [](const auto& info) { return std::string(info.param.name); });

// The trace shows at most 200 bytes of the URI and of the path without parameters.
TEST(MatchingTrace, LongTargetsAreCut) {
    FakeWebServer web;
    HandTable table(web.get());
    std::string tail(300, 'a');
    web.uri = "/" + tail + ";p=1";
    web.prepare();
    filterRequest(table.get(), web.get(), 1);
    std::string shown = "/" + tail.substr(0, 199);
    EXPECT_EQ(web.recorder.count("trace", "filtering " + shown + " (" + shown + ") HOST=null"), 1)
        << web.recorder.dump();
}

TEST(RemovePathParms, CopiesUpToTheFirstSemicolon) {
    struct Row {
        const char* path;
        const char* expected;  // null: no copy
    };
    const Row rows[] = {{"/a/x.jsp;id=y", "/a/x.jsp"}, {"/a;b;c", "/a"}, {";x", ""},
                        {"/a/x", nullptr},            {"", nullptr},      {nullptr, nullptr}};
    FakeWebServer web;
    for (const Row& row : rows) {
        char* copy = removePathParms(web.get(), row.path);
        EXPECT_EQ(copy ? std::string(copy) : "<none>", row.expected ? row.expected : "<none>");
        web->free(web.get(), copy);
    }
    EXPECT_EQ(web.liveBlocks(), 0);
}

// The upkeep that every filtered request does first, against real servers: servers
// marked down come back when they answer, due refreshes are applied, a server whose
// refresh fails while it is marked down is removed, and nothing is sent when nothing
// is due.
namespace {
using backend_test::BackendProcess;

class Upkeep : public ::testing::Test {
protected:
    // Starts server with these settings and adds it as the store or bootstrap would.
    quonProxy* join(BackendProcess& server, const std::string& settings) {
        std::string props = server.writeFile("server.props", settings);
        std::string mappings = server.writeFile("mappings.props", "/a/*=a\n");
        std::string control = server.writeFile("control.props", "");
        EXPECT_TRUE(server.start({"--server-props", props, "--mappings", mappings, "--control",
                                  control}));
        std::string list = "Server_1=" + server.quonAddress() + "\n";
        EXPECT_EQ(addRemoteJvms(table.get(), req.get(), parseProperties(req.get(), list.c_str()), 1), 1)
            << req.dump();
        return table->servers.proxies[table->servers.count - 1];
    }

    // The server refuses connections and the pool has found out: its idle connections
    // are gone and a connect was refused.
    void refuse(BackendProcess& server, quonProxy* proxy) {
        server.writeFile("control.props", "fault=refuse\n");
        ASSERT_TRUE(server.reload());
        ASSERT_TRUE(server.waitForLog("refusing connections on " + server.quonAddress()));
        {
            SyncGuard hold(req.get(), proxy->lock);
            proxy->destroyPooledSockets(req.get(), proxy);
        }
        ASSERT_TRUE(server.waitForLog("closed: peer closed connection"));
        EXPECT_EQ(proxy->sendPing(proxy, req.get()), 0);
        ASSERT_EQ(proxy->serverInfo->active.load(), 0);
    }

    // One request of its own through the filter; its record stays for checks.
    int filter(const std::string& uri) {
        web = std::make_unique<FakeWebServer>();
        web->uri = uri;
        web->prepare();
        return filterRequest(table.get(), web->get(), 1);
    }

    static void sleepUntil(int32_t second) {
        for (int i = 0; i < 60 && nowSeconds() < second; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    RecordingRequest req;
    HandTable table{req.get()};
    std::unique_ptr<FakeWebServer> web;
};
}  // namespace

TEST_F(Upkeep, ServerThatAnswersAgainIsReactivated) {
    BackendProcess server("127.0.0.2");
    quonProxy* proxy = join(server, "proxyretryinterval=1\nmapcheck=3600\n");
    refuse(server, proxy);
    removeProxy(table.get(), proxy, req.get(), 1);
    server.writeFile("control.props", "");
    ASSERT_TRUE(server.reload());
    ASSERT_TRUE(server.waitForLog("accepting connections on " + server.quonAddress()));
    sleepUntil(proxy->nextProxyRetryTime.load());
    EXPECT_EQ(filter("/a/x"), 0);
    EXPECT_EQ(table->servers.active[0], 1);
    EXPECT_EQ(table->mappingProxies[0]->active[0], 1);
    EXPECT_EQ(proxy->serverInfo->active.load(), 1);
    EXPECT_EQ(web->recorder.count("traceE", std::string(proxy->name) + " added/activated proxy, seq 0"), 1)
        << web->recorder.dump();
}

TEST_F(Upkeep, DueRefreshWithNewMappingsUpdatesTheTable) {
    BackendProcess server("127.0.0.3");
    quonProxy* proxy = join(server, "mapcheck=1\n");
    EXPECT_EQ(filter("/b/x"), -1);
    server.writeFile("mappings.props", "/a/*=a\n/b/*=b\n");
    ASSERT_TRUE(server.reload());
    sleepUntil(proxy->nextMapCheckTime.load());
    EXPECT_EQ(filter("/b/x"), 1) << web->recorder.dump();
    EXPECT_STREQ(table->mappings->entries[1].key, "/b*");
    EXPECT_EQ(table->mappingProxies[1]->proxies[0], proxy);
    EXPECT_TRUE(server.logText().find("PROXY_GET_PROPS servlet-mappings") != std::string::npos);
}

TEST_F(Upkeep, FailedRefreshOfServerMarkedDownRemovesIt) {
    BackendProcess server("127.0.0.4");
    quonProxy* proxy = join(server, "proxyretryinterval=1\nmapcheck=1\n");
    refuse(server, proxy);
    table->clusterSeq = 5;
    sleepUntil(std::max(proxy->nextProxyRetryTime.load(), proxy->nextMapCheckTime.load()));
    EXPECT_EQ(filter("/a/x"), 0) << "the entry stays";
    EXPECT_EQ(table->servers.active[0], 0);
    EXPECT_EQ(table->mappingInfos[0]->hasActive, 0);
    EXPECT_EQ(table->clusterSeq, 0);
    EXPECT_EQ(web->recorder.count("traceE", std::string(proxy->name) + " removed proxy, seq 0"), 1)
        << web->recorder.dump();
}

TEST_F(Upkeep, NothingIsSentWhenNothingIsDue) {
    BackendProcess up("127.0.0.2"), down("127.0.0.3");
    join(up, "mapcheck=3600\n");
    quonProxy* gone = join(down, "proxyretryinterval=3600\n");
    refuse(down, gone);
    removeProxy(table.get(), gone, req.get(), 1);
    std::string before = up.logText() + down.logText();
    for (int call = 0; call < 50; ++call) EXPECT_EQ(filter("/a/x"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(up.logText() + down.logText(), before);
    EXPECT_FALSE(web->recorder.contains("", "refreshing mappings")) << web->recorder.dump();
    EXPECT_EQ(table->servers.active[1], 0);
}
