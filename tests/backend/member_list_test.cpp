// quon-backend's member list ("clustered-servers") as a connector fetches it: the
// --cluster file as it is, and without one the server itself alone, under its rep_id.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "backend_process.h"
#include "property.h"
#include "proxy.h"
#include "recording_request.h"
#include "wire.h"

namespace {
using backend_test::BackendProcess;
using Pairs = std::vector<std::pair<std::string, std::string>>;

struct MemberRow {
    const char* what;
    const char* serverProps;  // nullptr: no --server-props
    const char* cluster;      // nullptr: no --cluster
    std::vector<std::string> more;
    const char* key;  // the own list's key; nullptr: the list is the --cluster file's
    int32_t seq;      // -1: none
};

TEST(MemberList, WithoutAFileTheServerNamesItselfAlone) {
    // clang-format off
    const MemberRow rows[] = {
        {"rep_id is the key", "rep_id=SRV9\nweight=1\n", nullptr, {}, "SRV9", -1},
        {"no server-props", nullptr, nullptr, {}, "self", -1},
        {"rep_id no key can carry", "rep_id=a=b\n", nullptr, {}, "self", -1},
        {"rep_id that would read as a comment", "rep_id=#x\n", nullptr, {}, "self", -1},
        {"the sequence number follows the list", "rep_id=SRV9\n", nullptr, {"--cluster-seq", "4"},
         "SRV9", 4},
        {"the file wins", "rep_id=SRV9\n", "s1=127.0.0.3:1\n", {}, nullptr, -1},
        {"an empty file is sent as it is", "rep_id=SRV9\n", "", {}, nullptr, -1}};
    // clang-format on
    for (const MemberRow& row : rows) {
        SCOPED_TRACE(row.what);
        BackendProcess server("127.0.0.2");
        std::vector<std::string> options = row.more;
        if (row.serverProps)
            options.insert(options.end(),
                           {"--server-props", server.writeFile("server.props", row.serverProps)});
        if (row.cluster)
            options.insert(options.end(),
                           {"--cluster", server.writeFile("cluster.props", row.cluster)});
        ASSERT_TRUE(server.start(options));
        RecordingRequest req;
        quonProxy* proxy = quonProxyNew(req.get());
        ASSERT_EQ(proxy->initProxy(proxy, req.get(), server.quonAddress().c_str(), 0, 1), 0);
        int32_t seq = 0;
        propertyTable* list = fetchProps(req.get(), proxy, "clustered-servers", &seq);
        ASSERT_NE(list, nullptr) << req.dump();
        Pairs pairs;
        for (int i = 0; i < list->count; ++i)
            pairs.emplace_back(list->entries[i].key, list->entries[i].value);
        Pairs expected;  // the server under its key, or the file's one line
        if (row.key) expected = {{row.key, server.quonAddress()}};
        if (!row.key && *row.cluster) expected = {{"s1", "127.0.0.3:1"}};
        EXPECT_EQ(pairs, expected);
        EXPECT_EQ(seq, row.seq);
        freeProperties(req.get(), list);
        // Other sets the server lacks are still answered with PROXY_FINISH alone.
        EXPECT_EQ(fetchProps(req.get(), proxy, "servlet-mappings", &seq), nullptr);
        EXPECT_EQ(seq, -1);
        EXPECT_EQ(req.count("log", ""), 0) << req.dump();
        proxy->destroy(proxy, req.get());
    }
}
}  // namespace
