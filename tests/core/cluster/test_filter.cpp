// Request filtering: which entry a request falls under, as one table of cases;
// path-parameter removal; the membership upkeep against real back-end servers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cluster_fixture.h"
#include "hand_table.h"
#include "fake_web_server.h"
#include "filter.h"
#include "pool.h"
#include "property.h"
#include "recording_request.h"
#include "sync.h"
#include "table.h"

namespace {
enum Ignore { kOff, kOn, kOnNotAsked };  // the table's flag, and whether the caller honours it

struct MatchCase {
    const char* name;
    std::vector<const char*> patterns;
    std::string uri;
    const char* filterPath;  // null: none
    const char* host;        // null: no HOST header
    int expected;            // entry index, or -1
    std::string trace = "";  // a trace line the call writes
    Ignore ignore = kOff;
};
void PrintTo(const MatchCase& c, std::ostream* out) { *out << c.name; }
class Matching : public ::testing::TestWithParam<MatchCase> {};

const std::string kLong(300, 'a'), kShown = "/" + kLong.substr(0, 199);
}  // namespace

TEST_P(Matching, FirstMatchingEntryInTableOrder) {
    const MatchCase& c = GetParam();
    FakeWebServer web;
    HandTable table(web.get());
    for (const char* pattern : c.patterns) table.addEntry(pattern);
    table->ignoreSuffixes = c.ignore != kOff;
    if (c.host) web.headers.emplace_back("Host", c.host);
    web.uri = c.uri;
    web.prepare();
    web->filterPath = c.filterPath;
    EXPECT_EQ(filterRequest(table.get(), web.get(), c.ignore != kOnNotAsked), c.expected);
    std::string last =
        c.expected < 0 ? "filterRequest:   no match"
                       : std::string("filterRequest:   matched ") + c.patterns[size_t(c.expected)];
    EXPECT_EQ(web.recorder.count("trace", last), 1) << web.recorder.dump();
    EXPECT_TRUE(c.trace.empty() || web.recorder.count("trace", c.trace) == 1)
        << web.recorder.dump();
    EXPECT_EQ(web.headersHandedBack, 1);
    EXPECT_EQ(web.liveBlocks(), 0);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Patterns, Matching, ::testing::Values(
    MatchCase{"OrderPrefixFirst", {"/app*", "*.jsp"}, "/app/x.jsp", nullptr, nullptr, 0},
    MatchCase{"OrderExtensionFirst", {"*.jsp", "/app*"}, "/app/x.jsp", nullptr, nullptr, 0},
    MatchCase{"PrefixAlone", {"/app*"}, "/app", nullptr, nullptr, 0},
    MatchCase{"PrefixSlash", {"/app*"}, "/app/x", nullptr, nullptr, 0},
    MatchCase{"PrefixAmpersand", {"/app*"}, "/app&x", nullptr, nullptr, 0},
    MatchCase{"PrefixHash", {"/app*"}, "/app#x", nullptr, nullptr, 0},
    MatchCase{"PrefixNotAtBoundary", {"/app*"}, "/apple", nullptr, nullptr, -1},
    MatchCase{"ExtensionIgnored", {"*.jsp", "/a*"}, "/a/x.jsp", nullptr, nullptr, 1,
              "filtering ignored suffix: *.jsp", kOn},
    MatchCase{"ExtensionNotIgnoredUnasked", {"*.jsp"}, "/a/x.jsp", nullptr, nullptr, 0, "",
              kOnNotAsked},
    MatchCase{"ExtensionInParameters", {"*.jsp"}, "/a/page;id=x.jsp", nullptr, nullptr, -1,
              "filterRequest: ignoring extension match after \";\""},
    MatchCase{"ExtensionBeforeParameters", {"*.jsp"}, "/a/x.jsp;id=y", nullptr, nullptr, 0,
              "filtering /a/x.jsp;id=y (/a/x.jsp) HOST=null"},
    MatchCase{"ExtensionOfFileName", {"*.jsp"}, "/a/x", "/srv/x.jsp", "h", 0,
              "filtering /a/x (/srv/x.jsp) HOST=h"},
    MatchCase{"PrefixAndExtension", {"/app*.do"}, "/app/a.do", nullptr, nullptr, 0},
    MatchCase{"HostAnyCase", {"//shop.test/app*"}, "/app/x", nullptr, "SHOP.Test", 0},
    MatchCase{"HostPortAgainstNone", {"//shop.test/app*"}, "/app/x", nullptr, "shop.test:80", -1},
    MatchCase{"HostSamePort", {"//shop.test:80/app*"}, "/app/x", nullptr, "Shop.test:80", 0},
    MatchCase{"HostMissing", {"//shop.test/app*"}, "/app/x", nullptr, nullptr, -1,
              "filtering /app/x (/app/x) HOST=null"},
    MatchCase{"StarAlone", {"*"}, "/any/thing", nullptr, nullptr, 0},
    MatchCase{"StarAloneNeedsSlash", {"*"}, "x", nullptr, nullptr, -1},
    MatchCase{"SlashAlone", {"/"}, "/", nullptr, nullptr, 0},
    MatchCase{"SlashAloneThenSlash", {"/"}, "//x", nullptr, nullptr, 0},
    MatchCase{"SlashAloneNotPath", {"/"}, "/x", nullptr, nullptr, -1},
    MatchCase{"Contains", {"/app*admin*"}, "/app/x/admin/y", nullptr, nullptr, 0},
    MatchCase{"ContainsInFileName", {"/app*WEB-INF*"}, "/app/x", "/s/app/WEB-INF/x", nullptr, 0},
    MatchCase{"ContainsFailsPrefix", {"/app*admin*"}, "/b/admin", nullptr, nullptr, -1},
    MatchCase{"ContainsFailsHost", {"//o.test/app*admin*"}, "/app/admin", nullptr, "h", -1},
    MatchCase{"LongTargetsTracedCut", {}, "/" + kLong + ";p", nullptr, nullptr, -1,
              "filtering " + kShown + " (" + kShown + ") HOST=null"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(RemovePathParms, CopiesUpToTheFirstSemicolon) {
    const std::pair<const char*, const char*> rows[] = {{"/a/x.jsp;id=y", "/a/x.jsp"},
                                                        {"/a;b;c", "/a"},
                                                        {";x", ""},
                                                        {"/a/x", nullptr},
                                                        {nullptr, nullptr}};
    FakeWebServer web;
    for (auto [path, expected] : rows) {
        char* copy = removePathParms(web.get(), path);
        EXPECT_EQ(copy ? copy : "<none>", std::string(expected ? expected : "<none>"));
        web->free(web.get(), copy);
    }
    EXPECT_EQ(web.liveBlocks(), 0);
}

// The upkeep that every filtered request does first, against real servers.
namespace {
using cluster_test::Cluster;
using cluster_test::Setups;

class Upkeep : public ::testing::Test {
protected:
    // The cluster's servers, added as the store or the bootstrap server would add them.
    void join(Cluster& cluster) {
        std::string list;
        for (size_t i = 0; i < cluster.servers.size(); ++i)
            list += "s" + std::to_string(i) + "=" + cluster.name(i) + "\n";
        propertyTable* names = parseProperties(req.get(), list.c_str());
        EXPECT_EQ(addRemoteJvms(table.get(), req.get(), names, 1), int(cluster.servers.size()));
    }

    // Server i refuses connections and the pool has found out: its idle connection is
    // gone and a connect was refused, so the server is marked down.
    quonProxy* refuse(Cluster& cluster, size_t i) {
        quonProxy* proxy = table->servers.proxies[i];
        cluster.announce(i, {}, 0, "fault=refuse\n");
        {
            SyncGuard hold(req.get(), proxy->lock);
            proxy->destroyPooledSockets(req.get(), proxy);
        }
        EXPECT_TRUE(cluster[i].waitForLog("closed: peer closed connection"));
        EXPECT_EQ(proxy->sendPing(proxy, req.get()), 0);
        EXPECT_EQ(proxy->serverInfo->active.load(), 0);
        return proxy;
    }

    // One request of its own through the filter, once the clock has reached second.
    int filterAt(int32_t second, const std::string& uri) {
        for (int i = 0; i < 60 && nowSeconds() < second; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        web = std::make_unique<FakeWebServer>();
        web->uri = uri;
        web->prepare();
        return filterRequest(table.get(), web->get(), 1);
    }
    int traced(const std::string& line) { return web->recorder.count("traceE", line); }

    RecordingRequest req;
    HandTable table{req.get()};
    std::unique_ptr<FakeWebServer> web;
};
}  // namespace

// A due refresh brings a new entry; a refresh that fails while the server is marked down
// removes it; once it answers again, the next request brings it back.
TEST_F(Upkeep, RefreshRemovalAndReturn) {
    Cluster cluster(Setups{{"proxyretryinterval=1\nmapcheck=1\n", "/a/*=a\n"}});
    join(cluster);
    quonProxy* proxy = table->servers.proxies[0];
    std::string name = proxy->name;
    cluster.setMappings(0, "/a/*=a\n/b/*=b\n");
    ASSERT_EQ(filterAt(proxy->nextMapCheckTime, "/b/x"), 1);
    EXPECT_EQ(table->mappingProxies[1]->proxies[0], proxy);

    refuse(cluster, 0);
    table->clusterSeq = 5;
    EXPECT_EQ(filterAt(std::max(proxy->nextProxyRetryTime.load(), proxy->nextMapCheckTime.load()),
                       "/a/x"),
              0);
    EXPECT_EQ(traced(name + " removed proxy, seq 0"), 1) << web->recorder.dump();
    EXPECT_EQ(table->servers.active[0] + table->mappingInfos[0]->hasActive + table->clusterSeq, 0);

    cluster.announce(0, {}, 0);
    EXPECT_EQ(filterAt(proxy->nextProxyRetryTime, "/a/x"), 0);
    EXPECT_EQ(traced(name + " added/activated proxy, seq 0"), 1) << web->recorder.dump();
    EXPECT_EQ(table->servers.active[0] + table->mappingProxies[0]->active[0], 2);
    EXPECT_EQ(proxy->serverInfo->active.load(), 1);
}

TEST_F(Upkeep, NothingIsSentWhenNothingIsDue) {
    Cluster cluster(
        Setups{{"mapcheck=3600\n", "/a/*=a\n"}, {"proxyretryinterval=3600\n", "/a/*=a\n"}});
    join(cluster);
    removeProxy(table.get(), refuse(cluster, 1), req.get(), 1);
    std::string before = cluster[0].logText() + cluster[1].logText();
    for (int call = 0; call < 50; ++call) EXPECT_EQ(filterAt(0, "/a/x"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(cluster[0].logText() + cluster[1].logText(), before);
    EXPECT_FALSE(web->recorder.contains("", "refreshing mappings")) << web->recorder.dump();
    EXPECT_EQ(table->servers.active[1], 0);
}
