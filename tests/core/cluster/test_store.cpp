// The server store file: what a load reads and the write check that follows it, the
// exact text written, and writes that fail.
#include "cluster_fixture.h"

#include <fstream>
#include <sys/stat.h>
#include <utime.h>

#include "memory.h"

using namespace cluster_test;

namespace {
struct LoadCase {
    const char* name;
    const char* text;   // of the store file; {0}, {1} are server names; null: no file
    int servers;        // created from it
    const char* after;  // the file afterwards
    const char* line;   // one line the load writes
};

void PrintTo(const LoadCase& c, std::ostream* out) { *out << c.name; }

std::string named(std::string text, const Cluster& cluster, const std::string& path) {
    for (const auto& [mark, value] : {std::pair{std::string("{0}"), cluster.name(0)},
                                      std::pair{std::string("{1}"), cluster.name(1)},
                                      std::pair{std::string("{path}"), path}})
        for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), value);
    return text;
}

time_t modified(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mtime : 0;
}

class StoreLoad : public ::testing::TestWithParam<LoadCase> {};
}  // namespace

TEST_P(StoreLoad, ReadsTheNamesThenChecksTheText) {
    const LoadCase& c = GetParam();
    Cluster cluster(std::vector<ServerSetup>(2));
    ScratchDir dir;
    const std::string path = dir.file("servers.store");
    if (c.text) std::ofstream(path) << named(c.text, cluster, path);
    RecordingRequest req;
    TableHandle table(req.get(), path.c_str(), nullptr);
    EXPECT_EQ(table->initTable(table, req.get()), c.servers ? 0 : -1);
    EXPECT_EQ(table->servers.count, c.servers);
    EXPECT_EQ(backend_test::readFile(path), named(c.after, cluster, path));
    EXPECT_TRUE(req.count("", named(c.line, cluster, path)) == 1) << req.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Files, StoreLoad,
    ::testing::Values(
        LoadCase{"EmptyPiecesSkipped", "proxyservers={0};;{1};", 2, "proxyservers={0};{1};",
                 "persisted servers in {path}: proxyservers={0};{1};"},
        LoadCase{"LineEndRewritten", "proxyservers={0};{1};\n", 2, "proxyservers={0};{1};",
                 "persisted servers in {path}: proxyservers={0};{1};"},
        LoadCase{"SameTextLeftAlone", "proxyservers={0};{1};", 2, "proxyservers={0};{1};",
                 "no changes to serverstore {path}"},
        LoadCase{"OtherKeysOnly", "servers={0};\n", 0, "servers={0};\n",
                 "Couldn't initialize from remote server, Quon server(s) probably down."},
        LoadCase{"EmptyFile", "", 0, "",
                 "Couldn't initialize from remote server, Quon server(s) probably down."},
        LoadCase{"NoFile", nullptr, 0, "",
                 "could not open serverstore \"{path}\": No such file or directory"}),
    [](const auto& info) { return std::string(info.param.name); });

// Active servers first, inactive ones after, each followed by ";"; the file is written
// only when that text changes.
TEST(StoreWrite, ExactTextWrittenOnlyWhenItChanges) {
    Cluster cluster(std::vector<ServerSetup>(3));
    const std::string a = cluster.name(0), b = cluster.name(1), c = cluster.name(2);
    ScratchDir dir;
    const std::string path = dir.file("servers.store");
    std::ofstream(path) << "proxyservers=" + a + ";" + b + ";" + c + ";";
    RecordingRequest req;
    TableHandle table(req.get(), path.c_str(), nullptr);
    ASSERT_EQ(table->initTable(table, req.get()), 0);
    removeProxy(table, serverNamed(table, b), req.get(), 1);
    EXPECT_EQ(backend_test::readFile(path), "proxyservers=" + a + ";" + b + ";" + c + ";")
        << "a removal alone does not write";
    {
        SyncGuard guard(req.get(), table->tableLock);
        EXPECT_EQ(persistServers(table, req.get()), 0);
    }
    const std::string expected = "proxyservers=" + a + ";" + c + ";" + b + ";";
    EXPECT_EQ(backend_test::readFile(path), expected);
    EXPECT_STREQ(table->storeContents, expected.c_str());

    utimbuf past{1000000000, 1000000000};
    ASSERT_EQ(utime(path.c_str(), &past), 0);
    req.clear();
    {
        SyncGuard guard(req.get(), table->tableLock);
        EXPECT_EQ(persistServers(table, req.get()), 0);
    }
    EXPECT_EQ(req.count("trace", "no changes to serverstore " + path), 1);
    EXPECT_EQ(modified(path), past.modtime);
}

namespace {
struct WriteFailure {
    const char* name;
    bool directory;     // the store is a directory; else the path itself is used
    const char* path;   // null: the scratch directory
    const char* line;   // {path} is the store's name
};
void PrintTo(const WriteFailure& c, std::ostream* out) { *out << c.name; }
class StoreWriteFailure : public ::testing::TestWithParam<WriteFailure> {};
}  // namespace

// A table that learned its servers from the bootstrap server cannot keep them: the
// write fails, says why, and storeContents keeps the text it had.
TEST_P(StoreWriteFailure, LeavesStoreContentsAlone) {
    const WriteFailure& c = GetParam();
    Cluster cluster(std::vector<ServerSetup>(2));
    cluster.announce(0, {cluster.name(0), cluster.name(1)}, 0);
    ScratchDir dir;
    const std::string path = c.path ? c.path : dir.file("");
    RecordingRequest req;
    TableHandle table(req.get(), c.path || c.directory ? path.c_str() : nullptr,
                      cluster.name(0).c_str());
    ASSERT_EQ(table->initTable(table, req.get()), 0);
    const std::string line = named(c.line, cluster, path);
    EXPECT_EQ(req.count("log", line), 1) << req.dump();
    table->storeContents = req->permStrdup(req.get(), "proxyservers=old;");
    SyncGuard guard(req.get(), table->tableLock);
    EXPECT_EQ(persistServers(table, req.get()), -1);
    EXPECT_EQ(req.count("log", line), 2);
    EXPECT_STREQ(table->storeContents, "proxyservers=old;");
}

INSTANTIATE_TEST_SUITE_P(
    Stores, StoreWriteFailure,
    ::testing::Values(
        WriteFailure{"NotConfigured", false, nullptr, "can't persist servers, no serverstore specified."},
        WriteFailure{"CannotOpen", true, nullptr, "could not open \"{path}\": Is a directory"},
        WriteFailure{"CannotWrite", false, "/dev/full",
                     "could not persist servers in {path}: No space left on device"}),
    [](const auto& info) { return std::string(info.param.name); });
