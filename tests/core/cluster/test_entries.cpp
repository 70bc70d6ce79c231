// Mapping entries built from the servers' own mappings: conflicts between servers,
// settings of shared entries, match order, and patterns learned by a refresh.
#include "cluster_fixture.h"

#include <fstream>

#include "mapping_order.h"

using namespace cluster_test;

namespace {
struct EntriesCase {
    const char* name;
    std::vector<ServerSetup> servers;  // added in this order
    std::vector<std::string> entries;  // of the table afterwards
    std::vector<std::string> logs;     // each logged once; {0}, {1} are server names
    int algorithm, sticky;             // of every entry
};

void PrintTo(const EntriesCase& c, std::ostream* out) { *out << c.name; }

std::string named(std::string text, const Cluster& cluster) {
    for (size_t i = 0; i < cluster.servers.size(); ++i) {
        const std::string mark = "{" + std::to_string(i) + "}";
        for (size_t at; (at = text.find(mark)) != std::string::npos;)
            text.replace(at, mark.size(), cluster.name(i));
    }
    return text;
}

// A table initialised from a store that names the servers in order.
struct StoreTable {
    explicit StoreTable(const Cluster& cluster) : table(req.get(), store().c_str(), nullptr) {
        std::string names = "proxyservers=";
        for (size_t i = 0; i < cluster.servers.size(); ++i) names += cluster.name(i) + ";";
        std::ofstream(store()) << names;
        EXPECT_EQ(table->initTable(table, req.get()), 0) << req.dump();
    }
    std::string store() const { return dir.file("servers.store"); }
    ScratchDir dir;
    RecordingRequest req;
    TableHandle table;
};

class Entries : public ::testing::TestWithParam<EntriesCase> {};
}  // namespace

TEST_P(Entries, MergedFromEveryServer) {
    const EntriesCase& c = GetParam();
    Cluster cluster(c.servers);
    StoreTable t(cluster);
    EXPECT_EQ(entries(t.table), c.entries);
    EXPECT_EQ(t.table->lastMappingIndex, int(c.entries.size()) - 1);
    for (const std::string& line : c.logs)
        EXPECT_EQ(t.req.count("log", named(line, cluster)), 1) << named(line, cluster) << "\n"
                                                               << t.req.dump();
    for (size_t i = 0; i < c.entries.size(); ++i) {
        EXPECT_EQ(t.table->mappingInfos[i]->algorithm, c.algorithm) << c.entries[i];
        EXPECT_EQ(t.table->mappingInfos[i]->sticky, c.sticky) << c.entries[i];
        EXPECT_EQ(t.table->mappingInfos[i]->hasActive, 1);
        // Each entry's list holds the servers that announced it with the entry's value.
        const std::string& entry = c.entries[i];
        const std::string pattern = entry.substr(0, entry.find('='));
        std::vector<std::string> expected;
        for (size_t s = 0; s < c.servers.size(); ++s) {
            quonProxy* proxy = serverNamed(t.table, cluster.name(s));
            const char* value = getPropertyValue(proxy->mappings, pattern.c_str());
            if (value && entry == pattern + "=" + value) expected.push_back(cluster.name(s) + ":1");
        }
        EXPECT_EQ(slots(t.table->mappingProxies[i]), expected) << entry;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, Entries,
    ::testing::Values(
        EntriesCase{"OneValueWins",
                    {{"", "/app/*=first\n"}, {"", "/app/*=second\n"}},
                    {"/app*=first"},
                    {"Proxy {1} already has mapping /app*=first, ignoring /app*=second mapping!"},
                    1, 1},
        // A server added to a table of two entries or more is merged into match order.
        EntriesCase{"MergedIntoMatchOrder",
                    {{"", "/x/*=x\n/y/*=y\n"}, {"", "*.jsp=j\n/long/path/*=l\n//host/h/*=h\n"}},
                    {"//host/h*=h", "/long/path*=l", "/x*=x", "/y*=y", "*.jsp=j"},
                    {},
                    1, 1},
        // With at most one entry in the table, the new patterns follow in their own order.
        EntriesCase{"OneEntryKeepsServerOrder",
                    {{"", "/a/*=a\n"}, {"", "*.jsp=j\n/bbbb/*=b\n"}},
                    {"/a*=a", "/bbbb*=b", "*.jsp=j"},
                    {},
                    1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// At initialisation the server added last decides the settings of shared entries.
TEST(Entries, LastServerDecidesSharedSettings) {
    Cluster cluster(std::vector<ServerSetup>{{"algorithm=ROUNDROBIN\n", "/app/*=app\n*.jsp=jsp\n"},
                     {"algorithm=RANDOM_WEIGHTED\nsticky=false\n", "/app/*=app\n*.jsp=jsp\n"}});
    StoreTable t(cluster);
    const std::string b = cluster.name(1);
    for (int entry = 0; entry < 2; ++entry) {
        EXPECT_EQ(t.table->mappingInfos[entry]->algorithm, QN_RANDOM_WEIGHTED);
        EXPECT_EQ(t.table->mappingInfos[entry]->sticky, 0);
    }
    EXPECT_EQ(t.req.count("log", "Conflicting load balancing algorithm entries 1 vs. 5 for " + b), 2);
    EXPECT_EQ(t.req.count("log", "Conflicting sticky session values for " + b), 2);
    // Once a request has been served, a server added later leaves the settings alone.
    t.table->lastActivity = QN_ACTIVITY_REQUEST;
    quonProxy* a = serverNamed(t.table, cluster.name(0));
    removeProxy(t.table, a, t.req.get(), 1);
    addProxy(t.table, a, t.req.get(), 1);
    EXPECT_EQ(t.table->mappingInfos[0]->algorithm, 5);
    EXPECT_EQ(t.req.count("log", "Conflicting load balancing algorithm entries 5 vs. 1 for " + cluster.name(0)), 0);
}

// A refresh replaces values, appends new patterns at the end whatever their rank, and
// takes the server out of the entries it stopped announcing.
TEST(Entries, RefreshedMappingsLandAtTheEnd) {
    Cluster cluster(std::vector<ServerSetup>{{"", "/app/*=app\n*.jsp=jsp\n"}, {"", "*.jsp=jsp\n"}});
    StoreTable t(cluster);
    const std::string a = cluster.name(0), b = cluster.name(1);
    ASSERT_EQ(entries(t.table), (std::vector<std::string>{"/app*=app", "*.jsp=jsp"}));
    cluster.setMappings(0, "/app/*=app2\n/a/much/longer/prefix/*=new\n");
    quonProxy* proxyA = serverNamed(t.table, a);
    proxyA->nextMapCheckTime = 0;
    ASSERT_EQ(proxyA->refreshMappings(proxyA, t.req.get()), 0) << t.req.dump();
    t.req.clear();
    updateProxy(t.table, proxyA, t.req.get(), 1);
    EXPECT_EQ(entries(t.table),
              (std::vector<std::string>{"/app*=app2", "*.jsp=jsp", "/a/much/longer/prefix*=new"}));
    EXPECT_EQ(slots(t.table->mappingProxies[1]), (std::vector<std::string>{a + ":0", b + ":1"}));
    EXPECT_EQ(slots(t.table->mappingProxies[2]), (std::vector<std::string>{a + ":1"}));
    EXPECT_EQ(t.table->mappingInfos[2]->position, 0);
    EXPECT_EQ(t.table->lastMappingIndex, 2);
    EXPECT_EQ(t.table->lastActivity, QN_ACTIVITY_MEMBERSHIP);
    // The dump shows every entry with each listed proxy's own active flag.
    EXPECT_EQ(t.req.count("trace", "updateProxy - after"), 1);
    EXPECT_EQ(t.req.count("trace", "   /a/much/longer/prefix*=new"), 1);
    EXPECT_EQ(t.req.count("trace", "      " + a + " active: 1"), 3) << "the proxy's flag, not the slot's";
}
