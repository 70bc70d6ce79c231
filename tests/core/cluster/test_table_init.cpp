// A table's first use against a real cluster: the bootstrap server's member list first,
// the server store file only when the bootstrap server supplies nobody, and a retry on
// every call while neither does; writes of the store that fail.
#include "cluster_fixture.h"

#include <fstream>
#include <sys/stat.h>
#include <utime.h>

using namespace cluster_test;

namespace {
enum Bootstrap { kNone, kUp, kRefusing };
constexpr const char* kNotConfigured = "-";
constexpr const char* kDown =
    "Couldn't initialize from remote server, Quon server(s) probably down.";
constexpr const char* kNoBootstrap = "can't retrieve servers from server, no bootstrap specified.";

struct InitCase {
    const char* name;
    Bootstrap bootstrap;  // server 0, listing servers 0 and 1 under cluster-seq 4
    const char* store;    // text of the store file; null: no file; kNotConfigured
    const char* members;  // of the master list afterwards, each followed by " "
    const char* after;    // the store file afterwards
    std::vector<std::pair<const char*, int>> lines;  // texts ({i}, {path}) and times per call
    int clusterSeq;
};
void PrintTo(const InitCase& c, std::ostream* out) { *out << c.name; }
class TableInit : public ::testing::TestWithParam<InitCase> {};
}  // namespace

TEST_P(TableInit, BootstrapFirstStoreSecond) {
    const InitCase& c = GetParam();
    Cluster cluster(Setups(2));
    cluster.announce(0, {cluster.name(0), cluster.name(1)}, 4,
                     c.bootstrap == kRefusing ? "fault=refuse\n" : "");
    const std::string path = cluster.file("servers.store");
    const bool configured = c.store != kNotConfigured;
    if (c.store && configured) std::ofstream(path) << cluster.named(c.store);
    utimbuf past{1000000000, 1000000000};
    utime(path.c_str(), &past);
    RecordingRequest req;
    HandTable table(req.get(), configured ? path.c_str() : nullptr,
                    c.bootstrap == kNone ? nullptr : cluster.name(0).c_str());
    const bool ready = *c.members != '\0';
    // Two calls: a table that failed tries everything again, a ready one nothing.
    for (int call = 0; call < 2; ++call)
        EXPECT_EQ(table->initTable(table, req.get()), ready ? 0 : -1);

    std::string members;
    for (int s = 0; s < table->servers.count; ++s)
        members += table->servers.proxies[s]->name + std::string(" ");
    EXPECT_EQ(members, cluster.named(c.members));
    EXPECT_EQ(backend_test::readFile(path), cluster.named(c.after));
    // A file whose text is already right is not written again.
    struct stat file {};
    const bool unchanged =
        c.store && configured && cluster.named(c.after) == cluster.named(c.store);
    EXPECT_TRUE(!unchanged || (stat(path.c_str(), &file) == 0 && file.st_mtime == past.modtime));
    for (const auto& [text, times] : c.lines) {
        std::string line = cluster.named(text);
        if (size_t at = line.find("{path}"); at != std::string::npos) line.replace(at, 6, path);
        EXPECT_EQ(req.count("", line), ready ? times : 2 * times) << line << "\n" << req.dump();
    }
    EXPECT_EQ(table->initialized, ready ? 1 : 0);
    EXPECT_EQ(table->clusterSeq, c.clusterSeq);
    EXPECT_EQ(table->bootstrapped, c.bootstrap == kUp ? 1 : 0);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Sources, TableInit, ::testing::Values(
    // The store is not read, and the bootstrap server's own name is never written.
    InitCase{"FromBootstrap", kUp, "proxyservers=127.0.0.9:1;", "{0} {1} ", "proxyservers={1};",
             {{"loadServersFromStore({path})", 0}, {"persisted servers in {path}: proxyservers={1};", 1}}, 4},
    InitCase{"FromStoreWhileBootstrapDown", kRefusing, "proxyservers={1};", "{1} ", "proxyservers={1};",
             {{"loadServersFromStore({path})", 1}, {"no changes to serverstore {path}", 1}}, 0},
    InitCase{"EmptyPiecesSkipped", kNone, "proxyservers={0};;{1};", "{0} {1} ", "proxyservers={0};{1};",
             {{"persisted servers in {path}: proxyservers={0};{1};", 1}}, 0},
    // A hand-written store with a line end is rewritten right after the load.
    InitCase{"LineEndRewritten", kNone, "proxyservers={0};{1};\n", "{0} {1} ", "proxyservers={0};{1};",
             {{"persisted servers in {path}: proxyservers={0};{1};", 1}}, 0},
    InitCase{"NoStoreFile", kNone, nullptr, "", "",
             {{"could not open serverstore \"{path}\": No such file or directory", 1}, {kNoBootstrap, 1}, {kDown, 1}}, 0},
    InitCase{"NothingConfigured", kNone, kNotConfigured, "", "",
             {{kNoBootstrap, 1}, {"can't load servers from serverstore, no serverstore specified.", 1}, {kDown, 1}}, 0}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// While the bootstrap server refuses and the store is missing every call fails; the first
// call after the server accepts again succeeds.
TEST(TableInitRetry, SucceedsOnTheFirstCallAfterAServerComesUp) {
    Cluster cluster(Setups(1));
    cluster.announce(0, {cluster.name(0)}, 0, "fault=refuse\n");
    RecordingRequest req;
    HandTable table(req.get(), cluster.file("missing.store").c_str(), cluster.name(0).c_str());
    for (int call = 1; call <= 2; ++call) {
        EXPECT_EQ(table->initTable(table, req.get()), -1);
        EXPECT_EQ(req.count("log", kDown), call);
    }
    cluster.announce(0, {cluster.name(0)}, 0);
    EXPECT_EQ(table->initTable(table, req.get()), 0) << req.dump();
    EXPECT_EQ(table->servers.count, 1);
    EXPECT_EQ(req.count("log", kDown), 2);
}

// A table that learned its servers from the bootstrap server cannot keep them: each write
// says why and returns -1, and storeContents keeps its text.
TEST(StoreWriteFailure, LeavesStoreContentsAlone) {
    Cluster cluster(Setups(2));
    cluster.announce(0, {cluster.name(0), cluster.name(1)}, 0);
    const std::string dir = cluster.file("");
    const std::pair<const char*, std::string> rows[] = {
        // store (null: none), line
        {nullptr, "can't persist servers, no serverstore specified."},
        {dir.c_str(), "could not open \"" + dir + "\": Is a directory"},
        {"/dev/full", "could not persist servers in /dev/full: No space left on device"}};
    for (const auto& [store, line] : rows) {
        RecordingRequest req;
        HandTable table(req.get(), store, cluster.name(0).c_str());
        ASSERT_EQ(table->initTable(table, req.get()), 0);
        EXPECT_EQ(req.count("log", line), 1) << req.dump();
        table->storeContents = req->permStrdup(req.get(), "proxyservers=old;");
        SyncGuard guard(req.get(), table->tableLock);  // persistServers' callers hold it
        EXPECT_EQ(persistServers(table, req.get()), -1);
        EXPECT_EQ(req.count("log", line), 2);
        EXPECT_STREQ(table->storeContents, "proxyservers=old;");
    }
}
