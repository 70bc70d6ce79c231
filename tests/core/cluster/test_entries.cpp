// Mapping entries built from the servers' own mappings: conflicts between servers,
// settings of shared entries, match order, and patterns learned by a refresh.
#include "cluster_fixture.h"

#include <fstream>

using namespace cluster_test;

namespace {
struct EntriesCase {
    const char* name;
    Setups servers;                                 // added in this order
    Names entries;                                  // of the table afterwards
    Names firstSlots;                               // of entry 0; {i} is server i
    std::vector<std::pair<const char*, int>> logs;  // texts and times
    int algorithm, sticky;                          // of every entry
};
void PrintTo(const EntriesCase& c, std::ostream* out) { *out << c.name; }

// A table initialised from a store that names the servers in order.
struct StoreTable {
    explicit StoreTable(const Cluster& cluster)
        : table(req.get(), cluster.file("store").c_str(), nullptr) {
        std::ofstream file(cluster.file("store"));
        file << "proxyservers=";
        for (size_t i = 0; i < cluster.servers.size(); ++i) file << cluster.name(i) << ";";
        file.close();
        EXPECT_EQ(table->initTable(table, req.get()), 0) << req.dump();
    }
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
    Names firstSlots;
    for (const std::string& slot : c.firstSlots) firstSlots.push_back(cluster.named(slot));
    EXPECT_EQ(slots(t.table->mappingProxies[0]), firstSlots);
    for (const auto& [text, times] : c.logs)
        EXPECT_EQ(t.req.count("log", cluster.named(text)), times) << cluster.named(text) << "\n"
                                                                  << t.req.dump();
    for (size_t i = 0; i < c.entries.size(); ++i) {
        EXPECT_EQ(t.table->mappingInfos[i]->algorithm, c.algorithm) << c.entries[i];
        EXPECT_EQ(t.table->mappingInfos[i]->sticky, c.sticky) << c.entries[i];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, Entries,
    ::testing::Values(
        EntriesCase{
            "FirstValueWins",
            {{"", "/app/*=first\n"}, {"", "/app/*=second\n"}},
            {"/app*=first"},
            {"{0}:1"},
            {{"Proxy {1} already has mapping /app*=first, ignoring /app*=second mapping!", 1}},
            1,
            1},
        // At initialisation the server added last decides the settings of shared entries.
        EntriesCase{"LastServerDecidesSettings",
                    {{"algorithm=ROUNDROBIN\n", "/app/*=app\n*.jsp=jsp\n"},
                     {"algorithm=RANDOM_WEIGHTED\nsticky=false\n", "/app/*=app\n*.jsp=jsp\n"}},
                    {"/app*=app", "*.jsp=jsp"},
                    {"{0}:1", "{1}:1"},
                    {{"Conflicting load balancing algorithm entries 1 vs. 5 for {1}", 2},
                     {"Conflicting sticky session values for {1}", 2}},
                    5,
                    0},
        // A server added to a table of two entries or more is merged into match order.
        EntriesCase{"MergedIntoMatchOrder",
                    {{"", "/x/*=x\n/y/*=y\n"}, {"", "*.jsp=j\n/long/path/*=l\n//host/h/*=h\n"}},
                    {"//host/h*=h", "/long/path*=l", "/x*=x", "/y*=y", "*.jsp=j"},
                    {"{1}:1"},
                    {},
                    1,
                    1},
        // With at most one entry in the table, the new patterns follow in their own order.
        EntriesCase{"OneEntryKeepsServerOrder",
                    {{"", "/a/*=a\n"}, {"", "*.jsp=j\n/bbbb/*=b\n"}},
                    {"/a*=a", "/bbbb*=b", "*.jsp=j"},
                    {"{0}:1"},
                    {},
                    1,
                    1}),
    [](const auto& info) { return std::string(info.param.name); });

// A refresh replaces values, appends new patterns at the end whatever their rank, and
// takes the server out of the entries it stopped announcing.
TEST(EntriesRefresh, NewPatternsLandAtTheEnd) {
    Cluster cluster(Setups{{"", "/app/*=app\n*.jsp=jsp\n"}, {"", "*.jsp=jsp\n"}});
    StoreTable t(cluster);
    cluster.setMappings(0, "/app/*=app2\n/a/much/longer/prefix/*=new\n");
    quonProxy* a = serverNamed(t.table, cluster.name(0));
    a->nextMapCheckTime = 0;
    ASSERT_EQ(a->refreshMappings(a, t.req.get()), 0) << t.req.dump();
    t.req.clear();
    updateProxy(t.table, a, t.req.get(), 1);
    EXPECT_EQ(entries(t.table), (Names{"/app*=app2", "*.jsp=jsp", "/a/much/longer/prefix*=new"}));
    EXPECT_EQ(slots(t.table->mappingProxies[1]),
              (Names{cluster.name(0) + ":0", cluster.name(1) + ":1"}));
    EXPECT_EQ(slots(t.table->mappingProxies[2]), (Names{cluster.name(0) + ":1"}));
    EXPECT_EQ(t.table->mappingInfos[2]->position, 0);
    // The dump shows each listed proxy's own flag, not the slot's.
    EXPECT_EQ(t.req.count("trace", "      " + cluster.name(0) + " active: 1"), 3) << t.req.dump();
}
