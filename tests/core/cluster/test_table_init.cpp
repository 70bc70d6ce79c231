// A table's first use against a real cluster: the bootstrap server's member list first,
// the server store only when the bootstrap server supplies nobody, and a retry on every
// call while neither does.
#include "cluster_fixture.h"

#include <fstream>

using namespace cluster_test;

namespace {
struct InitCase {
    const char* name;
    bool bootstrapUp;
    std::vector<int> storeNames;     // servers the store file names ("proxyservers=")
    std::vector<int> expectMembers;  // servers of the master list after initTable
    bool storeRead;
    std::vector<int> storeAfter;  // names of the store file afterwards
    int clusterSeq, bootstrapped;
};

void PrintTo(const InitCase& c, std::ostream* out) { *out << c.name; }

std::string storeOf(const Cluster& cluster, const std::vector<int>& names) {
    std::string text = "proxyservers=";
    for (int i : names) text += cluster.name(i) + ";";
    return text;
}

class TableInit : public ::testing::TestWithParam<InitCase> {};
}  // namespace

// Server 0 is the bootstrap server; it lists all three under cluster-seq 4.
TEST_P(TableInit, BootstrapFirstStoreSecond) {
    const InitCase& c = GetParam();
    Cluster cluster(std::vector<ServerSetup>(3));
    cluster.announce(0, {cluster.name(0), cluster.name(1), cluster.name(2)}, 4,
                     c.bootstrapUp ? "" : "fault=refuse\n");
    ScratchDir dir;
    const std::string store = dir.file("servers.store");
    std::ofstream(store) << storeOf(cluster, c.storeNames);
    RecordingRequest req;
    TableHandle table(req.get(), store.c_str(), cluster.name(0).c_str());

    ASSERT_EQ(table->initTable(table, req.get()), 0) << req.dump();
    std::vector<std::string> members, expected;
    for (int s = 0; s < table->servers.count; ++s) members.push_back(table->servers.proxies[s]->name);
    for (int i : c.expectMembers) expected.push_back(cluster.name(i));
    EXPECT_EQ(members, expected);
    EXPECT_EQ(req.count("trace", "loadServersFromStore(" + store + ")"), c.storeRead ? 1 : 0);
    EXPECT_EQ(backend_test::readFile(store), storeOf(cluster, c.storeAfter));
    EXPECT_EQ(table->initialized, 1);
    EXPECT_EQ(table->clustered, 1);
    EXPECT_EQ(table->clusterSeq, c.clusterSeq);
    EXPECT_EQ(table->bootstrapped, c.bootstrapped);
    // Once ready, the table is not initialised again.
    req.clear();
    EXPECT_EQ(table->initTable(table, req.get()), 0);
    EXPECT_TRUE(req.lines.empty()) << req.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Sources, TableInit,
    ::testing::Values(
        // The bootstrap server's own name never goes into the store.
        InitCase{"FromBootstrap", true, {2}, {0, 1, 2}, false, {1, 2}, 4, 1},
        InitCase{"FromStoreWhileBootstrapDown", false, {1, 2}, {1, 2}, true, {1, 2}, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TableInit, NothingConfiguredFailsOnEveryCall) {
    RecordingRequest req;
    TableHandle table(req.get(), nullptr, nullptr);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        EXPECT_EQ(table->initTable(table, req.get()), -1);
        for (const char* line : {"can't retrieve servers from server, no bootstrap specified.",
                                 "can't load servers from serverstore, no serverstore specified.",
                                 "Couldn't initialize from remote server, Quon server(s) probably down."})
            EXPECT_EQ(req.count("log", line), attempt) << line;
    }
    EXPECT_EQ(table->initialized, 0);
    EXPECT_EQ(table->servers.count, 0);
}

// While the bootstrap server refuses connections and the store file is missing, every
// call fails and says so; the first call after the server accepts again succeeds.
TEST(TableInit, SucceedsOnTheFirstCallAfterAServerComesUp) {
    Cluster cluster(std::vector<ServerSetup>(1));
    cluster.announce(0, {cluster.name(0)}, 0, "fault=refuse\n");
    ScratchDir dir;
    const std::string store = dir.file("missing.store");
    RecordingRequest req;
    TableHandle table(req.get(), store.c_str(), cluster.name(0).c_str());
    const std::string openFailed =
        "could not open serverstore \"" + store + "\": No such file or directory";
    for (int attempt = 1; attempt <= 2; ++attempt) {
        EXPECT_EQ(table->initTable(table, req.get()), -1);
        EXPECT_EQ(req.count("log", openFailed), attempt) << req.dump();
        EXPECT_EQ(req.count("log", "Couldn't initialize from remote server, Quon server(s) probably down."),
                  attempt);
    }
    cluster.announce(0, {cluster.name(0)}, 0);
    EXPECT_EQ(table->initTable(table, req.get()), 0) << req.dump();
    EXPECT_EQ(table->servers.count, 1);
    EXPECT_EQ(table->bootstrapped, 1);
    EXPECT_EQ(table->clustered, 0);  // one server and no sequence number
    EXPECT_EQ(req.count("log", openFailed), 2);
}
