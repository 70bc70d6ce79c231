// Membership against a real cluster: sequence numbers, removal and return, merged entries.
#include "cluster_fixture.h"

#include "fake_web_server.h"
#include "loopback_peer.h"
#include "address.h"
#include "network.h"
#include "proxy_helpers.h"
#include "table_slots.h"

using namespace cluster_test;

// The first list fills the master list's first slots: c joining makes it grow while the
// list is applied, and b's removal is decided from the slots as they were before.
TEST(ClusterMembership, FollowsTheSequenceNumber) {
    static_assert(QN_LIST_FIRST_CAPACITY == 4);
    Cluster cluster(Setups(5));
    const std::string a = cluster.name(0), b = cluster.name(1), c = cluster.name(2);
    const std::string d = cluster.name(3), e = cluster.name(4);
    ClusterTable t(cluster, {a, b, d, e}, 1);
    EXPECT_EQ(t.table->clusterSeq, 1);
    // A new number with a list that drops b and names c.
    cluster.announce(0, {a, c, d, e}, 2);
    t.report();
    const Names after = {a + ":1", b + ":0", d + ":1", e + ":1", c + ":1"};
    EXPECT_EQ(slots(&t.table->servers), after);
    EXPECT_EQ(slots(t.table->mappingProxies[0]), after);
    EXPECT_EQ(backend_test::readFile(cluster.file("servers.store")),
              "proxyservers=" + d + ";" + e + ";" + c + ";" + b + ";\npattern=/app*");
    EXPECT_EQ(t.table->clusterSeq, 2);
    EXPECT_EQ(t.traced(a + " cluster info is stale 2, refreshing ..."), 1);
    EXPECT_EQ(t.req.count("trace", "Using sequence number 2 from " + a), 1);
    EXPECT_EQ(t.traced(a + " clusters updated using seq 2"), 1);
    // The same number again fetches nothing and changes nothing.
    const int fetches = cluster.logLines(0, "PROXY_GET_PROPS clustered-servers");
    t.report();
    EXPECT_EQ(t.traced(a + " updateClusteredServers: seq 2, seen seq 2"), 1);
    EXPECT_EQ(cluster.logLines(0, "PROXY_GET_PROPS clustered-servers"), fetches);
    EXPECT_EQ(slots(&t.table->servers), after);
    // A listed server that cannot be initialised holds the number back; the next report
    // of the same number tries again.
    RefusingPort down("127.0.0.3");
    cluster.announce(0, {a, c, d, e, serverName(down.address())}, 3);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        t.report();
        EXPECT_EQ(t.table->clusterSeq, 2);
        EXPECT_EQ(t.traced(a + " error updating clusters so seq is 2"), attempt);
    }
    EXPECT_EQ(slots(&t.table->servers), after);
}

// A member list whose props answer carries no number of its own is applied under the number
// the server reported with a request's answer: the same number reported again, by it or by
// the member that joined, fetches nothing.
TEST(ClusterMembership, ListWithoutItsOwnNumberIsAppliedUnderTheReportedOne) {
    Cluster cluster(Setups(2));
    const std::string a = cluster.name(0), b = cluster.name(1);
    ClusterTable t(cluster, {a}, 1);
    cluster[0].writeFile("cluster.props", "s0=" + a + "\ns1=" + b + "\n");
    cluster[0].writeFile("control.props", "");
    ASSERT_TRUE(cluster[0].reload());
    auto fetches = [&] {
        return cluster.logLines(0, "PROXY_GET_PROPS clustered-servers") +
               cluster.logLines(1, "PROXY_GET_PROPS clustered-servers");
    };
    const int before = fetches();
    for (int k = 0; k < 3; ++k) {
        FakeWebServer web;
        web.uri = "/app/seq";
        web.variables = {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "value=7"}};
        web.prepare();
        EXPECT_EQ(t.table->handleRequestWithIndex(t.table, web.get(), nullptr, -1), 0);
        web.finish();
        runUpkeep(t.table, t.req.get());  // the reported number is the upkeep's to apply
        EXPECT_EQ(t.table->clusterSeq, 7);
        EXPECT_EQ(fetches(), before + 1) << web.recorder.dump();
    }
    EXPECT_EQ(slots(&t.table->servers), Names({a + ":1", b + ":1"}));
    EXPECT_GT(cluster.requestsSeen(1), 0);
}

// Every server serves the same two patterns; b goes down and comes back.
TEST(ClusterMembership, RemovedServerComesBackInItsOwnSlots) {
    Cluster cluster(Setups(3, {"", "/app/*=app\n*.jsp=jsp\n"}));
    const std::string a = cluster.name(0), b = cluster.name(1), c = cluster.name(2);
    ClusterTable t(cluster, {a, b, c}, 5);
    quonProxy* proxyB = serverNamed(t.table, b);
    ASSERT_NE(proxyB->pool->freeList, nullptr);  // b keeps a connection after initialisation
    const int closed = cluster.logLines(1, "] closed: ");
    auto expectSlots = [&](const Names& expected) {
        for (const proxyList* list :
             {&t.table->servers, t.table->mappingProxies[0], t.table->mappingProxies[1]})
            EXPECT_EQ(slots(list), expected);
    };

    removeProxy(t.table, proxyB, t.req.get(), 1);
    expectSlots({a + ":1", b + ":0", c + ":1"});
    EXPECT_EQ(proxyB->serverInfo->active.load(), 0);
    EXPECT_EQ(proxyB->pool->freeList, nullptr);
    EXPECT_TRUE(waitUntil([&] { return cluster.logLines(1, "] closed: ") > closed; }));
    // Listed again while found unreachable, it waits for a probe: availability_test.cpp.
    proxyB->nextProxyRetryTime = 12345;  // as the pool sets it for an unreachable server
    ASSERT_EQ(addProxy(t.table, proxyB, t.req.get(), 1), 0);
    expectSlots({a + ":1", b + ":1", c + ":1"});
    EXPECT_EQ(proxyB->serverInfo->active.load(), 1);
    EXPECT_EQ(proxyB->nextProxyRetryTime.load(), 0);
    EXPECT_EQ(t.req.count("trace", "Proxy " + b +
                                       " already exists for mapping *.jsp, not adding "
                                       "a duplicate"),
              1);
}

// Entries built from the servers' own mappings, the servers added in order from a store.
TEST(Entries, MergedFromEveryServer) {
    struct Row {
        Setups servers;
        Names entries;
        std::string firstSlots;  // of entry 0 ({i} is server i)
        std::vector<const char*> logs;
        int algorithm = 1, sticky = 1;  // of every entry
    };
    // clang-format off
    const Row rows[] = {
        {{{"", "/app/*=first\n"}, {"", "/app/*=second\n"}}, {"/app*=first"}, "{0}:1 ",
         {"Proxy {1} already has mapping /app*=first, ignoring /app*=second mapping!"}},
        // At initialisation the server added last decides the settings of shared entries.
        {{{"algorithm=ROUNDROBIN\n", "/app/*=app\n*.jsp=jsp\n"},
          {"algorithm=RANDOM_WEIGHTED\nsticky=false\n", "/app/*=app\n*.jsp=jsp\n"}},
         {"/app*=app", "*.jsp=jsp"}, "{0}:1 {1}:1 ",
         {"Conflicting load balancing algorithm entries 1 vs. 5 for {1}",
          "Conflicting sticky session values for {1}"}, 5, 0},
        // Added to a table of two entries or more, a server's patterns go in match order;
        // with at most one, in their own order.
        {{{"", "/x/*=x\n/y/*=y\n"}, {"", "*.jsp=j\n/long/path/*=l\n//host/h/*=h\n"}},
         {"//host/h*=h", "/long/path*=l", "/x*=x", "/y*=y", "*.jsp=j"}, "{1}:1 ", {}},
        {{{"", "/a/*=a\n"}, {"", "*.jsp=j\n/bbbb/*=b\n"}}, {"/a*=a", "/bbbb*=b", "*.jsp=j"},
         "{0}:1 ", {}}};
    // clang-format on
    for (const Row& c : rows) {
        Cluster cluster(c.servers);
        ClusterTable t(cluster);
        EXPECT_EQ(entries(t.table), c.entries);
        EXPECT_EQ(t.table->lastMappingIndex, int(c.entries.size()) - 1);
        std::string first;
        for (const std::string& slot : slots(t.table->mappingProxies[0])) first += slot + " ";
        EXPECT_EQ(first, cluster.named(c.firstSlots));
        for (const char* text : c.logs)  // once per shared entry
            EXPECT_EQ(t.req.count("log", cluster.named(text)), int(c.entries.size())) << text;
        for (size_t i = 0; i < c.entries.size(); ++i) {
            EXPECT_EQ(t.table->mappingInfos[i]->algorithm, c.algorithm) << c.entries[i];
            EXPECT_EQ(t.table->mappingInfos[i]->sticky, c.sticky) << c.entries[i];
        }
    }
}

namespace {
// The addresses the connector tried to reach, as the logs write them; every connect fails.
std::vector<std::string> gTried;
int recordAndRefuse(quon_request* req, const qnAddress* addresses, int count, quonProxy*) {
    for (int i = 0; i < count; ++i) {
        char host[QN_HOST_TEXT_SIZE];
        hostText(addresses[i], host);
        gTried.push_back(host);
    }
    req->errorCode = ECONNREFUSED;
    return -1;
}
// evil.test names the link-local metadata address; every other host is an address.
int resolveEvil(quon_request*, const char* host, int port, qnAddress* addresses, int capacity,
                const char** reason) {
    if (strcmp(host, "evil.test") == 0) host = "169.254.169.254";
    return resolveHost(host, port, addresses, capacity, reason);
}
}  // namespace

// A member list names any address it likes: one no server is at, or one outside the
// networks the operator allows members in, is refused before any connect, and a line says
// why. The configured bootstrap server stays as configured.
TEST(ClusterMembership, MembersWhereNoServerIsAreRefused) {
    struct Row {
        std::string name, networks;
        std::string why;  // the refusal's end; "" for a member that is tried
        const char* bootstrap = nullptr;
    };
    const std::string outside = " is outside the networks of membernetworks";
    const Row rows[] = {
        {"0.0.0.0:7001", "", "0.0.0.0 is unspecified"},
        {"0.1.2.3:7001", "", "0.1.2.3 is unspecified"},
        {"[::]:7001", "", "[::] is unspecified"},
        {"224.0.0.1:7001", "", "224.0.0.1 is multicast"},
        {"239.255.255.250:1900", "", "239.255.255.250 is multicast"},
        {"[ff02::1]:7001", "", "[ff02::1] is multicast"},
        {"169.254.169.254:80", "", "169.254.169.254 is link-local"},
        {"[fe80::1]:7001", "", "[fe80::1] is link-local"},
        {"[::ffff:169.254.1.1]:80", "", "[::ffff:169.254.1.1] is link-local"},
        {"255.255.255.255:7001", "", "255.255.255.255 is broadcast"},
        {"evil.test:80", "", "169.254.169.254 is link-local"},
        {"127.0.0.9:7001", "", ""},
        {"10.1.2.3:7001", "127.0.0.0/8, fd00::/8", "10.1.2.3" + outside},
        {"127.0.0.9:7001", "127.0.0.0/8 fd00::/8", ""},
        {"[::ffff:127.0.0.9]:7001", "127.0.0.0/8", ""},
        {"[::1]:7001", "127.0.0.0/8,::1/128", ""},
        {"[fd01::9]:7001", "fd00::/16", "[fd01::9]" + outside},
        {"127.0.0.129:7001", "127.0.0.0/25", "127.0.0.129" + outside},
        {"127.0.0.15:7001", "127.0.0.0/28", ""},
        {"127.0.0.16:7001", "127.0.0.0/28", "127.0.0.16" + outside},
        {"127.0.0.3:7001", "127.0.0.0/30", ""},
        {"127.0.0.4:7001", "127.0.0.0/30", "127.0.0.4" + outside},
        {"127.0.0.200:7001", "127.0.0.0/25", "", "127.0.0.200:7001"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + " " + row.networks);
        RecordingRequest req;
        req->connect = recordAndRefuse;
        req->resolve = resolveEvil;
        gTried.clear();
        HandTable table(req.get(), nullptr, row.bootstrap);
        qnNetwork networks[QN_MAX_NETWORKS];
        const int count =
            row.networks.empty() ? 0 : parseNetworks(row.networks, networks, QN_MAX_NETWORKS);
        ASSERT_GE(count, 0);
        setMemberNetworks(table, networks, count);
        const std::string list = "s0=" + row.name;
        EXPECT_EQ(addRemoteJvms(table, req.get(), parseProperties(req.get(), list.c_str())), 0);
        const std::string line = row.name + " refused as a member: its address " + row.why;
        const bool refused = !row.why.empty();
        EXPECT_EQ(req.contains("log", line), refused) << req.dump();
        // A member that may join is checked first (never at a refused address).
        EXPECT_EQ(req.contains("log", row.name + " not joined now:") || !gTried.empty(), !refused)
            << req.dump();
        if (refused) {
            EXPECT_EQ(req.levelOf(line), QN_LOG_ERROR);
        }
    }
}

// The server store is the operator's file (its names passed the refusal when a list gave
// them): a stored name outside the member networks joins, while the same name in a
// member list is refused.
TEST(ClusterMembership, StoredServersAreTakenAsConfigured) {
    Cluster cluster(Setups(1));
    const std::string a = cluster.name(0), store = cluster.file("store");
    qnNetwork networks[QN_MAX_NETWORKS];
    ASSERT_EQ(parseNetworks("10.0.0.0/8", networks, QN_MAX_NETWORKS), 1);
    const std::string refused = a + " refused as a member: its address ";
    {
        std::ofstream(store) << "proxyservers=" << a << ";";
        RecordingRequest req;
        HandTable table(req.get(), store.c_str(), nullptr);
        setMemberNetworks(table, networks, 1);
        EXPECT_EQ(table->initTable(table, req.get()), 0) << req.dump();
        EXPECT_EQ(slots(&table->servers), Names({a + ":1"}));
        EXPECT_FALSE(req.contains("log", refused)) << req.dump();
    }
    RecordingRequest req;
    HandTable table(req.get(), nullptr, nullptr);
    setMemberNetworks(table, networks, 1);
    EXPECT_EQ(addRemoteJvms(table, req.get(), parseProperties(req.get(), ("s0=" + a).c_str())), 0);
    EXPECT_TRUE(req.contains("log", refused)) << req.dump();
}
