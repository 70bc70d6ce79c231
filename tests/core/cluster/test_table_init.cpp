// A table's first use: the bootstrap server first, the store second, a retry on every call.
#include "cluster_fixture.h"

#include <cstdio>
#include <fstream>
#include <future>
#include <sys/stat.h>
#include <utime.h>

using namespace cluster_test;

static constexpr const char* kDown =
    "Couldn't initialize from remote server, Quon server(s) probably down.";
static constexpr const char* kNoBootstrap =
    "can't retrieve servers from server, no bootstrap specified.";
static constexpr const char* kPersisted =
    "persisted servers in {path}: proxyservers={0};{1};\npattern=/app*";

TEST(TableInit, BootstrapFirstStoreSecond) {
    enum Bootstrap { kNone, kUp, kRefusing };  // server 0, listing 0 and 1 under seq 4
    const char* const none = "-";              // no store configured
    // store: its text, null for no file; members: the master list (names and " "); after: the
    // file after; lines ({i}, {path}): times per call.
    struct Row {
        Bootstrap bootstrap;
        const char *store, *members, *after;
        std::vector<std::pair<const char*, int>> lines;
    };
    // clang-format off
    const Row rows[] = {
        // The store is not read, and the bootstrap server's own name is never written.
        {kUp, "proxyservers=127.0.0.9:1;", "{0} {1} ", "proxyservers={1};\npattern=/app*",
         {{"loadServersFromStore({path})", 0},
          {"persisted servers in {path}: proxyservers={1};\npattern=/app*", 1}}},
        {kRefusing, "proxyservers={1};\npattern=/app*", "{1} ", "proxyservers={1};\npattern=/app*",
         {{"loadServersFromStore({path})", 1}, {"no changes to serverstore {path}", 1}}},
        // A store without patterns (an older build's) loads, and learns them.
        {kNone, "proxyservers={0};;{1};", "{0} {1} ", "proxyservers={0};{1};\npattern=/app*",
         {{kPersisted, 1}}},
        // A hand-written store with a line end is rewritten right after the load.
        {kNone, "proxyservers={0};{1};\n", "{0} {1} ", "proxyservers={0};{1};\npattern=/app*",
         {{kPersisted, 1}}},
        // Over both calls: the failure lines once in 10 s, the others each time.
        {kNone, nullptr, "", "",
         {{"could not open serverstore \"{path}\": No such file or directory", 1},
          {kNoBootstrap, 2}, {kDown, 1}}},
        {kNone, none, "", "",
         {{"can't load servers from serverstore, no serverstore specified.", 2},
          {kNoBootstrap, 2}, {kDown, 1}}}};
    // clang-format on
    Cluster cluster(Setups(2));
    const std::string path = cluster.file("servers.store");
    for (const Row& c : rows) {
        cluster.announce(0, cluster.names(), 4, c.bootstrap == kRefusing ? "fault=refuse\n" : "");
        std::remove(path.c_str());
        const bool configured = c.store != none;
        if (c.store && configured) std::ofstream(path) << cluster.named(c.store);
        utimbuf past{1000000000, 1000000000};
        utime(path.c_str(), &past);
        RecordingRequest req;
        HandTable table(req.get(), configured ? path.c_str() : nullptr,
                        c.bootstrap ? cluster.name(0).c_str() : nullptr);
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
        EXPECT_TRUE(!c.store || !configured || strcmp(c.after, c.store) ||
                    (stat(path.c_str(), &file) == 0 && file.st_mtime == past.modtime));
        for (const auto& [text, times] : c.lines) {
            std::string line = cluster.named(text);
            if (size_t at = line.find("{path}"); at != std::string::npos) line.replace(at, 6, path);
            EXPECT_EQ(req.count("", line), times) << line << "\n" << req.dump();
        }
        EXPECT_EQ(table->initialized, ready ? 1 : 0);
        EXPECT_EQ(table->clusterSeq, c.bootstrap == kUp ? 4 : 0);
        EXPECT_EQ(table->bootstrapped, c.bootstrap == kUp ? 1 : 0);
    }
    // A store that cannot be written says why, at initialisation and after; the write
    // returns -1 and storeContents keeps its text.
    const std::string dir = cluster.file(""),
                      line = "could not replace \"" + dir + "\": Not a directory";
    cluster.announce(0, {cluster.name(0)}, 0);
    RecordingRequest req;
    HandTable table(req.get(), dir.c_str(), cluster.name(0).c_str());
    EXPECT_EQ(table->initTable(table, req.get()), 0) << req.dump();
    EXPECT_EQ(table->servers.count, 1);
    EXPECT_EQ(req.count("log", line), 1) << req.dump();
    table->storeContents = req->permStrdup(req.get(), "proxyservers=old;");
    EXPECT_EQ(persistServers(table, req.get()), -1);
    EXPECT_EQ(req.count("log", line), 2);
    EXPECT_STREQ(table->storeContents, "proxyservers=old;");
}

// Before the first initialisation the store is read for its patterns alone: a store not
// written yet is no failure then, while the bootstrap server answers. Read for its
// servers, because the bootstrap server did not answer, a missing store is said.
TEST(TableInit, AStoreNotWrittenYetIsSaidOnlyWhenItsServersAreWanted) {
    Cluster cluster(Setups(1));
    const std::string path = cluster.file("new.store");
    const std::string missing =
        "could not open serverstore \"" + path + "\": No such file or directory";
    for (bool answers : {true, false}) {
        SCOPED_TRACE(answers);
        std::remove(path.c_str());
        cluster.announce(0, {cluster.name(0)}, 0, answers ? "" : "fault=refuse\n");
        RecordingRequest req;
        HandTable table(req.get(), path.c_str(), cluster.name(0).c_str(), 60);
        runUpkeep(table, req.get());
        EXPECT_EQ(mappingsTableReady(table), answers ? 1 : 0) << req.dump();
        EXPECT_EQ(req.count("log", missing), answers ? 0 : 1) << req.dump();
    }
}

// A store text over its bound is not written, and said once until a write succeeds.
TEST(TableInit, AStoreOverItsBoundIsSaidOnce) {
    Cluster cluster(Setups(1));
    const std::string path = cluster.file("big.store");
    cluster.announce(0, {cluster.name(0)}, 0);
    RecordingRequest req;
    HandTable table(req.get(), path.c_str(), cluster.name(0).c_str());
    ASSERT_EQ(table->initTable(table, req.get()), 0) << req.dump();
    const std::string before = backend_test::readFile(path);
    const std::string pattern = "/" + std::string(1 << 20, 'p') + "*";
    ASSERT_GE(setProperty(req.get(), table->mappings, pattern.c_str(), "big"), 0);
    const std::string told = "server store " + path + " not written: its text would take ";
    for (int call = 0; call < 2; ++call) EXPECT_EQ(persistServers(table, req.get()), -1);
    int lines = 0;
    for (const RecordedLine& l : req.lines) lines += l.channel == "log" && l.text.starts_with(told);
    EXPECT_EQ(lines, 1) << told;
    EXPECT_EQ(backend_test::readFile(path), before);
}

// The first server to join makes the table ready: requests are served while a slow member
// still joins, up to its exchange's deadline.
TEST(TableInit, ReadyOnceTheFirstServerJoinedWhileOthersStillJoin) {
    Cluster cluster(Setups(2));
    cluster.announce(0, cluster.names(), 1);
    cluster.announce(1, cluster.names(), 1, "props-fault=never-answer\n");
    RecordingRequest req;
    req->responseTimeout = 3000;
    HandTable table(req.get(), nullptr, cluster.name(0).c_str());
    table->joinChecks = 0;  // the slow member is not checked out before its join
    auto init = std::async(std::launch::async, [&] { return table->initTable(table, req.get()); });
    EXPECT_TRUE(waitUntil([&] { return mappingsTableReady(table) == 1; }));
    EXPECT_EQ(init.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "ready only once every join ended";
    EXPECT_EQ(init.get(), 0);
}
