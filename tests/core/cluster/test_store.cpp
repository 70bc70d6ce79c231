// Writes of the server store file that fail. (What loads read and write is tested with
// the table's initialisation, the text after a membership change with the membership.)
#include "cluster_fixture.h"

using namespace cluster_test;

namespace {
int32_t persist(mappingsTable* table, quon_request* req) {
    SyncGuard guard(req, table->tableLock);  // its callers hold it
    return persistServers(table, req);
}

struct WriteFailure {
    const char* name;
    const char* store;  // null: not configured; "" the directory of the cluster's files
    const char* line;   // %s is the store
};
void PrintTo(const WriteFailure& c, std::ostream* out) { *out << c.name; }
class StoreWriteFailure : public ::testing::TestWithParam<WriteFailure> {};
}  // namespace

// A table that learned its servers from the bootstrap server cannot keep them: each
// write says why and returns -1, and storeContents keeps its text.
TEST_P(StoreWriteFailure, LeavesStoreContentsAlone) {
    const WriteFailure& c = GetParam();
    Cluster cluster(Setups(2));
    cluster.announce(0, {cluster.name(0), cluster.name(1)}, 0);
    const std::string path = c.store && !*c.store ? cluster.file("") : c.store ? c.store : "";
    RecordingRequest req;
    TableHandle table(req.get(), c.store ? path.c_str() : nullptr, cluster.name(0).c_str());
    ASSERT_EQ(table->initTable(table, req.get()), 0);
    std::string line = c.line;
    if (size_t at = line.find("%s"); at != std::string::npos) line.replace(at, 2, path);
    EXPECT_EQ(req.count("log", line), 1) << req.dump();
    table->storeContents = req->permStrdup(req.get(), "proxyservers=old;");
    EXPECT_EQ(persist(table, req.get()), -1);
    EXPECT_EQ(req.count("log", line), 2);
    EXPECT_STREQ(table->storeContents, "proxyservers=old;");
}

INSTANTIATE_TEST_SUITE_P(
    Stores, StoreWriteFailure,
    ::testing::Values(WriteFailure{"NotConfigured", nullptr,
                                   "can't persist servers, no serverstore specified."},
                      WriteFailure{"CannotOpen", "", "could not open \"%s\": Is a directory"},
                      WriteFailure{"CannotWrite", "/dev/full",
                                   "could not persist servers in %s: No space left on device"}),
    [](const auto& info) { return std::string(info.param.name); });
