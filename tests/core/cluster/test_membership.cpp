// Membership against a real cluster: the member list followed by cluster sequence
// number, and a server removed and added again.
#include "cluster_fixture.h"

#include "loopback_peer.h"
#include "proxy_helpers.h"

using namespace cluster_test;

namespace {
// A table bootstrapped from server 0, which also reports the sequence numbers.
struct ClusterTable {
    ClusterTable(Cluster& cluster, const Names& members, int seq)
        : table(req.get(), cluster.file("servers.store").c_str(), cluster.name(0).c_str()) {
        cluster.announce(0, members, seq);
        EXPECT_EQ(table->initTable(table, req.get()), 0) << req.dump();
        reporter = serverNamed(table, cluster.name(0));
    }
    // Server 0 reports the number it has now, as at the end of a request.
    void report() {
        updateClusteredServers(table, req.get(), reporter, reportedSeq(req.get(), reporter));
    }
    int traced(const std::string& text) const { return req.count("traceE", text); }

    RecordingRequest req;
    TableHandle table;
    quonProxy* reporter = nullptr;
};
}  // namespace

TEST(ClusterMembership, FollowsTheSequenceNumber) {
    Cluster cluster(Setups(3));
    const std::string a = cluster.name(0), b = cluster.name(1), c = cluster.name(2);
    ClusterTable t(cluster, {a, b}, 1);
    EXPECT_EQ(t.table->clusterSeq, 1);

    // A new number with a list that drops b and names c.
    cluster.announce(0, {a, c}, 2);
    t.report();
    const Names after = {a + ":1", b + ":0", c + ":1"};
    EXPECT_EQ(slots(&t.table->servers), after);
    EXPECT_EQ(slots(t.table->mappingProxies[0]), after);
    EXPECT_EQ(backend_test::readFile(cluster.file("servers.store")),
              "proxyservers=" + c + ";" + b + ";");
    EXPECT_EQ(t.table->clusterSeq, 2);
    EXPECT_EQ(t.traced(a + " cluster info is stale 2, refreshing ..."), 1);
    EXPECT_EQ(t.req.count("trace", "Using sequence number 2 from " + a), 1);
    EXPECT_EQ(t.traced(a + " clusters updated using seq 2"), 1);

    // The same number again fetches nothing and changes nothing.
    const int fetches = logCount(cluster[0], "PROXY_GET_PROPS clustered-servers");
    t.report();
    EXPECT_EQ(t.traced(a + " updateClusteredServers: seq 2, seen seq 2"), 1);
    EXPECT_EQ(logCount(cluster[0], "PROXY_GET_PROPS clustered-servers"), fetches);
    EXPECT_EQ(slots(&t.table->servers), after);

    // A listed server that cannot be initialised holds the number back; the next report
    // of the same number tries again.
    RefusingPort down("127.0.0.3");
    const std::string d = serverName(down.address());
    cluster.announce(0, {a, c, d}, 3);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        t.report();
        EXPECT_EQ(t.table->clusterSeq, 2);
        EXPECT_EQ(t.traced(a + " cluster info is stale 3, refreshing ..."), attempt);
        EXPECT_EQ(t.traced(a + " error updating clusters so seq is 2"), attempt);
    }
    EXPECT_EQ(slots(&t.table->servers), after);
}

// Every server serves the same two patterns; b goes down and comes back.
TEST(ClusterMembership, RemovedServerComesBackInItsOwnSlots) {
    Cluster cluster(Setups(3, {"rep_id=SRV0\n", "/app/*=app\n*.jsp=jsp\n"}));
    const std::string a = cluster.name(0), b = cluster.name(1), c = cluster.name(2);
    ClusterTable t(cluster, {a, b, c}, 5);
    quonProxy* proxyB = serverNamed(t.table, b);
    ASSERT_NE(proxyB->pool->freeList, nullptr) << "b keeps a connection after initialisation";
    const int closed = logCount(cluster[1], "] closed: ");

    removeProxy(t.table, proxyB, t.req.get(), 1);
    for (const proxyList* list :
         {&t.table->servers, t.table->mappingProxies[0], t.table->mappingProxies[1]})
        EXPECT_EQ(slots(list), (Names{a + ":1", b + ":0", c + ":1"}));
    EXPECT_EQ(proxyB->serverInfo->active.load(), 0);
    EXPECT_EQ(t.table->clusterSeq, 0);
    EXPECT_EQ(proxyB->pool->freeList, nullptr);
    EXPECT_TRUE(waitFor([&] { return logCount(cluster[1], "] closed: ") > closed; }));
    EXPECT_EQ(t.traced(b + " removed proxy, seq 0"), 1);

    proxyB->nextProxyRetryTime = 12345;  // as the pool sets it for an unreachable server
    ASSERT_EQ(addProxy(t.table, proxyB, t.req.get(), 1), 0);
    for (const proxyList* list :
         {&t.table->servers, t.table->mappingProxies[0], t.table->mappingProxies[1]})
        EXPECT_EQ(slots(list), (Names{a + ":1", b + ":1", c + ":1"}));
    EXPECT_EQ(proxyB->serverInfo->active.load(), 1);
    EXPECT_EQ(proxyB->nextProxyRetryTime.load(), 0);
    EXPECT_EQ(t.req.count("trace", "Proxy " + b +
                                       " already exists for mapping *.jsp, not adding a duplicate"),
              1);

    // A proxy the table never held: the lists are searched anyway, and the log says so.
    RefusingPort nowhere("127.0.0.4");
    BareProxy stranger(t.req.get(), nowhere.address());
    removeProxy(t.table, stranger.get(), t.req.get(), 1);
    EXPECT_EQ(t.req.count("log", "Whoa Nelly, removed proxy that's not in the master list " +
                                     serverName(nowhere.address())),
              1);
}
