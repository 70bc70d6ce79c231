// Sixteen threads through one table while a server dies and returns and the members change.
#include <array>
#include <atomic>
#include <mutex>

#include "cluster_fixture.h"
#include "counters.h"
#include "fake_web_server.h"
#include "pool.h"
#include "socket.h"
#include "table_slots.h"

using namespace cluster_test;

namespace {
// One request through the table as the handler hook sends it; it leaves nothing behind.
struct Outcome {
    int32_t result;
    int status;
    std::string body, lines;
};
Outcome dispatch(mappingsTable* table, const std::string& query = "",
                 const std::string& cookie = "", const std::string& method = "GET") {
    FakeWebServer web(3);
    web.uri = "/app/echo";
    if (!cookie.empty()) web.headers = {{"Cookie", cookie}};
    web.variables = {{"REQUEST_METHOD", method}, {"QUERY_STRING", query}};
    web.prepare();
    int32_t result = table->handleRequestWithIndex(table, web.get(), nullptr, -1);
    web.finish();
    EXPECT_TRUE(!web.get()->sessionId && !web.get()->deferErrors && !web.liveBlocks());
    return {result, web.status, web.responseBody, web.recorder.dump()};
}

// Counters of the test's own, in which every proxy that joins a table finds its slot and
// its view, as in the web server's shared segment; the source is gone with them.
class OwnCounters {
public:
    OwnCounters() : memory_(qnCounterSegmentSize(0)) {
        segment_ = qnCounterSegmentInit(memory_.data(), 0, "");
        for (qnServerView& view : views_) view.active = -1;
        qnSetCountersSource(slotFor);
    }
    ~OwnCounters() { qnSetCountersSource(nullptr); }
    const qnServerCounters& of(const std::string& name) const {
        return *qnFindCounters(segment_, "main", name.c_str());
    }
    // What another child's page shows of this table's server.
    int shownActive(const std::string& name) const {
        return views_[qnSlotIndex(segment_, &of(name))].active.load();
    }

private:
    static void slotFor(int32_t, const char* name, qnServerCounters** counters,
                        qnServerView** view) {
        *counters = qnCountersFor(segment_, "main", name);
        if (*counters) *view = &views_[qnSlotIndex(segment_, *counters)];
    }
    static inline qnCounterSegment* segment_ = nullptr;
    static inline qnServerView views_[QN_COUNTER_SLOTS];
    std::vector<char> memory_;
};

// Server 0 fails every request. A lone busy server is not retried and gives the error page;
// in a cluster, an entry served by server 0 alone tries it twice and gives no page. The
// session's holder that failed without being marked down is still the sticky choice: the
// next attempt goes to the other server of the entry, if there is one, instead of ending
// the call. A busy server took nothing: even a POST goes to the other server. Each attempt
// counts as a request of its server, and only one that another server follows as a fail-over.
TEST(Dispatch, FailuresWithAndWithoutAnotherServer) {
    const std::string app = "/app/*=app\n", other = "/other/*=o\n";
    const std::string closing = "cluster-seq=1\nfault=close-before-code\n";
    const std::string session = "JSESSIONID=SRV1000000000001";
    struct Row {
        std::vector<std::string> mappings;
        std::string control, cookie;
        int32_t result;
        int status;
        const char *bodyPart, *line;     // the sticky host's line when "held"
        uint64_t requests0, failovers0;  // server 0's counters after the row
        std::string method = "GET";
    };
    // clang-format off
    const Row rows[] = {
        {{app}, "fault=busy\n", "", -1, 503,
         "<P><B>Application server is busy.  Either there are too many concurrent requests or "
         "the server still is starting up.</B>", "", 2, 0},
        {{app, other}, closing, "", -1, 0, "", " already in failed target list", 4, 0},
        {{app, other}, closing, session, -1, 0, "", "", 2, 0},
        {{app, app}, closing, session, 0, 200, "", "held", 1, 1},
        {{app, app}, "cluster-seq=1\nfault=busy\n", "", 0, 200, "",
         " handleRequest failed, error -10 Quon too busy or out of memory", 2, 2, "POST"}};
    // clang-format on
    for (const Row& row : rows) {
        OwnCounters counters;
        backend_test::BackendCluster servers(row.mappings);
        ASSERT_TRUE(servers.start());
        RecordingRequest req;
        HandTable table(req.get(), nullptr, servers.address(0).c_str(), 1);
        ASSERT_EQ(table->initTable(table, req.get()), 0) << req.dump();
        servers[0].writeFile("control.props", row.control);
        servers[0].reload();
        std::string lines;
        // Without a session, two requests: round robin starts one of them with server 0.
        const int rounds = row.cookie.empty() ? 2 : 1;
        for (int round = 0; round < rounds; ++round) {
            Outcome out = dispatch(table, "", row.cookie, row.method);
            EXPECT_TRUE(out.result == row.result && out.status == row.status &&
                        out.body.find(row.bodyPart) != std::string::npos)
                << out.body << out.lines;
            lines += out.lines;
        }
        const std::string line = stickyLine(row.line, servers.address(0), row.cookie);
        EXPECT_NE(lines.find(line), std::string::npos) << lines;
        EXPECT_TRUE(row.result != 0 || servers.requestsSeen(1) == rounds);
        const qnServerCounters& counted = counters.of(servers.address(0));
        EXPECT_EQ(counted.requests.load(), row.requests0) << row.control << row.cookie;
        EXPECT_EQ(counted.failovers.load(), row.failovers0) << row.control << row.cookie;
    }
}

// Server 0 of three answers busy and is every algorithm's first choice (and the session's
// holder). The retry goes to a server not tried yet; server 0's countdown, the entry's
// position and its weighted-random table are what the chosen servers' turns left.
TEST(Dispatch, RetryGoesToAServerNotTriedUnderEveryAlgorithm) {
    struct Row {
        const char* algorithm;
        std::array<int, 3> weights;
        int failing;           // servers 0 to failing - 1 answer busy
        std::string session;   // sent as the cookie
        std::string servedBy;  // the servers that may serve it ("" none)
        int32_t weightLeft0, position;
        std::vector<int32_t> weightTable;
        bool broken = false;  // the sticky-breakage line is written
    };
    // clang-format off
    const Row rows[] = {
        {"ROUNDROBIN", {1, 1, 1}, 1, "", "1", 1, 1, {}},
        {"ROUNDROBIN_WEIGHTED", {1000, 1, 1}, 1, "", "1", 999, 1, {}},
        {"MIN", {1, 5, 3}, 1, "", "2", 1, 2, {}},
        {"MAX", {9, 5, 7}, 1, "", "2", 9, 2, {}},
        {"RANDOM_WEIGHTED", {5, 0, 0}, 1, "", "12", 5, -1, {0, 0, 0, 0, 0}},
        // The failed holder's buddies in the order the id names them; then the algorithm.
        {"ROUNDROBIN", {1, 1, 1}, 1, "SRV1-abcTRSRV3SRV2", "2", 1, -1, {}},
        {"ROUNDROBIN", {1, 1, 1}, 1, "SRV1-abcTRSRV9SRV1", "1", 1, 1, {}, true},
        // Each server fails once; then nobody is left and the client gets the page of the
        // last failure (busy), not one for servers it could not reach.
        {"ROUNDROBIN", {1, 1, 1}, 3, "", "", 1, 2, {}}};
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.algorithm) + " " + row.session);
        Setups setups(3);
        for (size_t i = 0; i < 3; ++i)
            setups[i].props = "mapcheck=30\nsticky=true\nalgorithm=" + std::string(row.algorithm) +
                              "\nweight=" + std::to_string(row.weights[i]) + "\n";
        Cluster cluster(setups);
        const Names members = cluster.names();
        for (int i = 0; i < 3; ++i)  // server 0 lists the members
            cluster.announce(i, i == 0 ? members : Names{}, i == 0 ? 1 : 0,
                             i < row.failing ? "fault=busy\n" : "");
        RecordingRequest req;
        HandTable table(req.get(), nullptr, cluster.name(0).c_str(), 1);
        ASSERT_EQ(table->initTable(table, req.get()), 0) << req.dump();
        ASSERT_EQ(slots(table->mappingProxies[0]),
                  Names({members[0] + ":1", members[1] + ":1", members[2] + ":1"}));
        Outcome out = dispatch(table, "", row.session.empty() ? "" : "JSESSIONID=" + row.session);
        // No server is tried twice, nor one more than it takes.
        std::string served;
        for (int i = 0; i < 3; ++i) {
            if (out.body.find("rep_id: " + cluster.repId(i) + "\n") != std::string::npos)
                served += std::to_string(i);
            EXPECT_EQ(cluster.requestsSeen(i), int(i < row.failing || served == std::to_string(i)))
                << "server " << i << out.lines;
        }
        const bool expected =
            row.servedBy.empty()
                ? served.empty()
                : served.size() == 1 && row.servedBy.find(served) != std::string::npos;
        EXPECT_TRUE(expected) << "served by " << served;
        EXPECT_EQ(out.status, served.empty() ? 503 : 200) << out.body;
        EXPECT_EQ(out.body.find("Application server is busy") != std::string::npos, served.empty());
        const mappingInfo* info = table->mappingInfos[0];
        EXPECT_EQ(serverNamed(table, cluster.name(0))->serverInfo->weightLeft, row.weightLeft0);
        EXPECT_EQ(info->position, row.position);
        EXPECT_EQ(std::vector<int32_t>(info->weightTable, info->weightTable + info->totalWeight),
                  row.weightTable);
        const std::string breakage = stickyLine("broken", "", row.session);
        EXPECT_EQ(out.lines.find(breakage) != std::string::npos, row.broken) << out.lines;
        if (!row.session.empty() && !row.broken && !served.empty()) {
            const std::string found = stickyLine("held", cluster.name(served[0] - '0'), "");
            EXPECT_NE(out.lines.find(found), std::string::npos) << out.lines;
        }
    }
}

TEST(DispatchConcurrency, SixteenThreadsThroughOneTableWhileTheClusterChanges) {
    const std::string app = "/app/*=app\n";
    backend_test::BackendCluster servers({app, app, app});
    ASSERT_TRUE(servers.start({0, 1}));  // the third joins by announcement
    RecordingRequest req;
    HandTable table(req.get(), nullptr, servers.address(0).c_str(), 1);
    ASSERT_EQ(table->initTable(table, req.get()), 0) << req.dump();
    // Every request gets its own echo exactly once, or a failure result with nothing sent (as
    // one that finds the killed server revived over a stale pooled connection may).
    std::atomic<int> served{0}, refused{0}, broken{0};
    std::atomic<bool> go{false}, stop{false};
    std::mutex firstBrokenLock;
    std::string firstBroken;
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int k = 0; !stop; ++k) {
                std::string id = "id=" + std::to_string(t) + "-" + std::to_string(k);
                Outcome out = dispatch(table, id);
                const std::string line = "\nquery: " + id + "\n";
                const size_t at = out.body.find(line);
                bool once = at != std::string::npos && out.body.rfind(line) == at;
                if (out.result == 0 && out.status == 200 && once)
                    ++served;
                else if (out.result < 0 && out.body.empty())
                    ++refused;
                else if (std::lock_guard<std::mutex> hold(firstBrokenLock); broken++ == 0)
                    firstBroken = out.body + "\n" + out.lines;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    // The web server's upkeep thread, as the module runs it: a pass every 20 ms.
    std::thread upkeep([&] {
        RecordingRequest own;
        while (!go) std::this_thread::yield();
        while (!stop) {
            runUpkeep(table, own.get());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    go = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    servers.kill(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    servers.announce({0, 1, 2}, 2, false);
    ASSERT_TRUE(servers.restart(1));
    servers[0].reload();
    servers[2].reload();
    for (int wait = 0; wait < 100 && servers.requestsSeen(2) < 20; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    for (auto& thread : threads) thread.join();
    upkeep.join();
    EXPECT_EQ(broken, 0) << firstBroken;
    EXPECT_GT(served, 20 * refused) << "refused " << refused;
    // With the cluster settled every request is served; the announced member took part.
    for (int k = 0; k < 30; ++k) EXPECT_EQ(dispatch(table).result, 0);
    EXPECT_GT(servers.requestsSeen(2), 0);
}
}  // namespace

namespace {
// A clustered table of two servers, both marked down under an hour's retry interval;
// server 1 refuses connections when refusing.
struct AllDown {
    explicit AllDown(bool refusing) : servers({"/app/*=app\n", "/app/*=app\n"}) {
        EXPECT_TRUE(servers.start());
        EXPECT_EQ(table->initTable(table, req.get()), 0) << req.dump();
        if (refusing) {
            servers[1].writeFile("control.props", "cluster-seq=1\nfault=refuse\n");
            EXPECT_TRUE(servers[1].reload() && servers[1].waitForLog("refusing connections on"));
        }
        for (int i = 0; i < 2; ++i) {
            quonProxy* proxy = cluster_test::serverNamed(table, servers.address(i));
            removeProxy(table, proxy, req.get(), 1);
            proxy->nextProxyRetryTime = nowSeconds() + 3600;
        }
    }
    backend_test::BackendCluster servers;
    RecordingRequest req;
    HandTable table{req.get(), nullptr, servers.address(0).c_str(), 3600};
};
}  // namespace

// The last-ditch search makes the entry's servers due at once: the one that answers serves
// the request, whatever their retry times said. A server the cluster's member list dropped
// is not a member any more, alive or not: it gets no request even when every member is
// down.
// What other children's pages show of each server is the flag the table acts on, from the
// moment it changes.
TEST(LastDitch, AServerBackUpServesTheNextRequest) {
    for (bool dropped : {false, true}) {
        OwnCounters counters;
        AllDown t(dropped);
        const std::string first = t.servers.address(0), second = t.servers.address(1);
        EXPECT_EQ(counters.shownActive(first) + counters.shownActive(second), 0);
        if (dropped) cluster_test::serverNamed(t.table, first)->delisted = 1;
        Outcome out = dispatch(t.table);
        EXPECT_EQ(out.result, dropped ? -1 : 0) << out.body << out.lines;
        EXPECT_EQ(out.status, dropped ? 503 : 200);
        EXPECT_EQ(t.servers.requestsSeen(0) + t.servers.requestsSeen(1), dropped ? 0 : 1);
        EXPECT_EQ(counters.shownActive(first), dropped ? 0 : 1);
        // The page's line names why the last probe failed, not a time-out that did not happen.
        EXPECT_EQ(out.lines.find(std::string("returning error page for ") +
                                 describeError(ECONNREFUSED)) != std::string::npos,
                  dropped)
            << out.lines;
    }
}

namespace {
// A server joins with a more specific entry that goes before /app/*, as a member list
// makes it while the request's thread has released tableLock: every index taken before
// now names that entry, whose server counts the requests sent to it.
struct Joiner {
    static inline std::atomic<int> misrouted{0};
    static inline HandTable* table = nullptr;
    static void join(quon_request* req) {
        SyncGuard hold(req, (*table)->tableLock);
        const int index = table->addEntry("/app/longer/*", QN_ROUNDROBIN, 0, {{"127.0.0.9:9"}});
        (*table)->mappingProxies[index]->proxies[0]->handleRequest = [](quon_request* r, quonProxy*,
                                                                        const char*, int32_t*) {
            ++misrouted;
            r->errorCode = ECONNREFUSED;
            return -1;
        };
        mergeNewMapping(*table);
    }
    static int joinThenProbe(quonProxy* proxy, quon_request* req) {
        join(req);
        return proxy_isAlive(proxy, req);
    }
};
}  // namespace

// Another thread probes server 0 while this request's own probe of server 1 fails: the
// request waits for that outcome and is served once server 0 is back. When the entries
// move while the search has released tableLock (during that wait, or during the request's
// own probe), the request is matched again and goes to a server of /app/*, never to the
// entry that took its old index.
TEST(LastDitch, ARequestWaitsForAnotherThreadsProbeAndFollowsItsEntry) {
    const struct { bool ownProbe, joins; } rows[] = {{false, false}, {false, true}, {true, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.ownProbe ? "own probe" : "another's") +
                     (row.joins ? ", a join" : ""));
        AllDown t(!row.ownProbe);
        Joiner::table = &t.table;
        Joiner::misrouted = 0;
        const int32_t slot = hasProxyNamed(t.table, t.servers.address(0).c_str());
        std::thread prober;
        if (row.ownProbe) {
            t.table->servers.proxies[slot]->isAlive = Joiner::joinThenProbe;
        } else {
            SyncGuard hold(t.req.get(), t.table->tableLock);
            t.table->upkeepBusy[slot] = 1;
            prober = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                if (row.joins) Joiner::join(t.req.get());
                SyncGuard hold(t.req.get(), t.table->tableLock);
                addProxy(t.table, t.table->servers.proxies[slot], t.req.get(), 0);
                t.table->upkeepBusy[slot] = 0;
            });
        }
        Outcome out = dispatch(t.table);
        if (prober.joinable()) prober.join();
        EXPECT_TRUE(out.result == 0 && out.status == 200) << out.body << out.lines;
        EXPECT_EQ(t.servers.requestsSeen(0), 1);
        EXPECT_EQ(Joiner::misrouted, 0) << out.lines;
        const bool matchedAgain =
            out.lines.find("mappings moved since the request was filtered: entry 1 now") !=
            std::string::npos;
        EXPECT_EQ(matchedAgain, row.joins) << out.lines;
    }
}

// Another thread's probe of server 0 never ends (its claim stays) and server 1 refuses:
// the request waits no longer than its own connect time-out, then gets the error page.
TEST(LastDitch, AProbeThatNeverEndsHoldsTheRequestNoLongerThanItsDeadline) {
    AllDown t(true);
    const int32_t slot = hasProxyNamed(t.table, t.servers.address(0).c_str());
    {
        SyncGuard hold(t.req.get(), t.table->tableLock);
        t.table->upkeepBusy[slot] = 1;
    }
    FakeWebServer web(3);
    web.uri = "/app/echo";
    web.variables = {{"REQUEST_METHOD", "GET"}};
    web.prepare();
    web.get()->connectTimeout = 400;
    const auto start = std::chrono::steady_clock::now();
    const int32_t result = t.table->handleRequestWithIndex(t.table, web.get(), nullptr, -1);
    const auto took = std::chrono::steady_clock::now() - start;
    web.finish();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(web.status, 503);
    EXPECT_GE(took, std::chrono::milliseconds(350));
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_EQ(t.servers.requestsSeen(0), 0);
}
