// Request filtering: the entry a request falls under, and the membership upkeep it does first.
// The path without its parameters: fuzz_session.
#include <algorithm>

#include "cluster_fixture.h"
#include "fake_web_server.h"
#include "filter.h"
#include "pool.h"

TEST(Matching, FirstMatchingEntryInTableOrder) {
    enum Ignore { kOff, kOn, kOnNotAsked };  // the table's flag; whether the caller honours it
    // expected: entry index or -1; trace: a line the call writes; host: null for none
    struct Row {
        std::vector<const char*> patterns;
        std::string uri;
        int expected;
        std::string trace = "";
        const char *host = nullptr, *filterPath = nullptr;
        Ignore ignore = kOff;
    };
    const std::string longUri(300, 'a'), shown = "/" + longUri.substr(0, 199);
    // clang-format off
    const Row rows[] = {
        {{"/app*", "*.jsp"}, "/app/x.jsp", 0}, {{"*.jsp", "/app*"}, "/app/x.jsp", 0},
        {{"/app*"}, "/app", 0}, {{"/app*"}, "/app/x", 0}, {{"/app*"}, "/app&x", 0},
        {{"/app*"}, "/app#x", 0}, {{"/app*"}, "/apple", -1},
        {{"*.jsp", "/a*"}, "/a/x.jsp", 1, "filtering ignored suffix: *.jsp", nullptr, nullptr, kOn},
        {{"*.jsp"}, "/a/x.jsp", 0, "", nullptr, nullptr, kOnNotAsked},
        {{"*.jsp"}, "/a/page;id=x.jsp", -1, "filterRequest: ignoring extension match after \";\""},
        {{"*.jsp"}, "/a/x.jsp;id=y", 0, "filtering /a/x.jsp;id=y (/a/x.jsp) HOST=null"},
        {{"*.jsp"}, "/a/x", 0, "filtering /a/x (/srv/x.jsp) HOST=h", "h", "/srv/x.jsp"},
        {{"/app*.do"}, "/app/a.do", 0},
        {{"//shop.test/app*"}, "/app/x", 0, "", "SHOP.Test"},
        {{"//shop.test/app*"}, "/app/x", -1, "", "shop.test:80"},
        {{"//shop.test:80/app*"}, "/app/x", 0, "", "Shop.test:80"},
        {{"//shop.test/app*"}, "/app/x", -1, "filtering /app/x (/app/x) HOST=null"},
        {{"*"}, "/any/thing", 0}, {{"*"}, "x", -1},
        {{"/"}, "/", 0}, {{"/"}, "//x", 0}, {{"/"}, "/x", -1},
        {{"/app*admin*"}, "/app/x/admin/y", 0}, {{"/app*admin*"}, "/b/admin", -1},
        {{"/app*WEB-INF*"}, "/app/x", 0, "", nullptr, "/s/app/WEB-INF/x"},
        {{"//o.test/app*admin*"}, "/app/admin", -1, "", "h"},
        {{}, "/" + longUri + ";p", -1, "filtering " + shown + " (" + shown + ") HOST=null"}};
    // clang-format on
    for (const Row& c : rows) {
        FakeWebServer web;
        HandTable table(web.get());
        for (const char* pattern : c.patterns) table.addEntry(pattern);
        table->ignoreSuffixes = c.ignore != kOff;
        if (c.host) web.headers.emplace_back("Host", c.host);
        web.uri = c.uri;
        web.prepare();
        web->filterPath = c.filterPath;
        EXPECT_EQ(filterRequest(table.get(), web.get(), c.ignore != kOnNotAsked), c.expected)
            << c.uri;
        const std::string last =
            c.expected < 0 ? "no match" : "matched " + std::string(c.patterns[size_t(c.expected)]);
        for (const std::string& line : {"filterRequest:   " + last, c.trace})
            EXPECT_TRUE(line.empty() || web.recorder.count("trace", line) == 1)
                << line << "\n"
                << web.recorder.dump();
        EXPECT_EQ(web.headersHandedBack, 1);
        EXPECT_EQ(web.liveBlocks(), 0);
    }
}

// The table's upkeep, against real servers.
namespace {
using namespace cluster_test;
class Upkeep : public ::testing::Test {
protected:
    // The cluster's servers, added as the store or the bootstrap server would add them.
    void join(Cluster& cluster) {
        const std::string list = Cluster::memberList(cluster.names());
        EXPECT_EQ(addRemoteJvms(table, req.get(), parseProperties(req.get(), list.c_str())),
                  cluster.size());
    }
    // Server i refuses connections and the pool has found out (its idle connection is gone
    // and a connect was refused): the server is marked down.
    quonProxy* refuse(Cluster& cluster, int i) {
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
    // One pass of the upkeep on a record of its own once the clock has reached second,
    // then one request of its own through the filter.
    int filterAt(int32_t second, const std::string& uri) {
        for (int i = 0; i < 60 && nowSeconds() < second; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        web = std::make_unique<FakeWebServer>();
        web->uri = uri;
        web->prepare();
        table->initialized = 1;
        runUpkeep(table.get(), web->get());
        return filterRequest(table.get(), web->get(), 1);
    }
    int traced(const std::string& line) { return web->recorder.count("traceE", line); }
    RecordingRequest req;
    HandTable table{req.get()};
    std::unique_ptr<FakeWebServer> web;
};
}  // namespace

// A due refresh brings new patterns, at the end whatever their rank, and takes the server
// out of the entries it no longer announces; a refresh that fails while the server is
// marked down removes it; once it answers again, the next request brings it back.
TEST_F(Upkeep, RefreshRemovalAndReturn) {
    Cluster cluster(Setups{{"proxyretryinterval=1\nmapcheck=1\n", "/a/*=a\n*.jsp=j\n"}});
    join(cluster);
    quonProxy* proxy = table->servers.proxies[0];
    std::string name = proxy->name;
    cluster.setMappings(0, "/a/*=a2\n/b/*=b\n");
    ASSERT_EQ(filterAt(proxy->nextMapCheckTime, "/b/x"), 2);
    EXPECT_EQ(entries(table.get()), (Names{"/a*=a2", "*.jsp=j", "/b*=b"}));
    EXPECT_EQ(slots(table->mappingProxies[1]), Names{name + ":0"});
    EXPECT_EQ(table->mappingProxies[2]->proxies[0], proxy);

    refuse(cluster, 0);
    table->clusterSeq = 5;
    const int32_t due = std::max(proxy->nextProxyRetryTime.load(), proxy->nextMapCheckTime.load());
    EXPECT_EQ(filterAt(due, "/a/x"), 0);
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
    // Its pooled connection closes with the removal: the servers' logs count once quiet.
    std::string before;
    EXPECT_TRUE(waitUntil([&] {
        const std::string now = cluster[0].logText() + cluster[1].logText();
        const bool quiet = now == before;
        before = now;
        if (!quiet) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return quiet;
    }));
    for (int call = 0; call < 50; ++call) EXPECT_EQ(filterAt(0, "/a/x"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(cluster[0].logText() + cluster[1].logText(), before);
    EXPECT_FALSE(web->recorder.contains("", "refreshing mappings")) << web->recorder.dump();
    EXPECT_EQ(table->servers.active[1], 0);
}
