// Normalisation and match order of servlet mappings, and the refresh's due times.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "mapping_order.h"
#include "memory.h"
#include "pool.h"
#include "property.h"
#include "recording_request.h"

namespace {
using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs sorted(RecordingRequest& req, const Pairs& input) {
    std::string text;
    for (const auto& [key, value] : input) text += key + "=" + value + "\n";
    propertyTable* table = parseProperties(req.get(), text.c_str());
    sortMappings(req.get(), table);
    Pairs out;
    for (int i = 0; i < table->count; ++i)
        out.emplace_back(table->entries[i].key, table->entries[i].value);
    freeProperties(req.get(), table);
    return out;
}

struct OrderCase {
    const char* name;
    Pairs input;
    Pairs expected;
};

void PrintTo(const OrderCase& c, std::ostream* out) { *out << c.name; }

class MappingOrder : public ::testing::TestWithParam<OrderCase> {};
}  // namespace

TEST_P(MappingOrder, SortsTheServersMappings) {
    RecordingRequest req;
    EXPECT_EQ(sorted(req, GetParam().input), GetParam().expected) << req.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MappingOrder,
    ::testing::Values(
        OrderCase{"SlashBeforeStarGoes",
                  {{"/app/servlet/*", "s"}, {"*.jsp", "j"}, {"/app*.do", "d"}, {"/*", "all"}},
                  {{"/app/servlet*", "s"}, {"/app*.do", "d"}, {"*.jsp", "j"}, {"*", "all"}}},
        OrderCase{"DuplicateAfterNormalisingKeepsFirstPlaceAndLastValue",
                  {{"/app*", "first"}, {"/zz*", "z"}, {"/app/*", "second"}},
                  {{"/app*", "second"}, {"/zz*", "z"}}},
        OrderCase{"ChainedDuplicatesLeaveOne",  // ASan: no freed value is read
                  {{"/a*", "x"}, {"/a/*", "y"}, {"/a//*", "z"}},
                  {{"/a*", "y"}}},
        OrderCase{"HostsFirstThenLongerPrefixes",
                  {{"*.jsp", "1"}, {"/app*", "2"}, {"/app/admin*", "3"}, {"//host/x*", "4"}},
                  {{"//host/x*", "4"}, {"/app/admin*", "3"}, {"/app*", "2"}, {"*.jsp", "1"}}},
        OrderCase{"LongerExtensionFirstTiesKeepOrder",
                  {{"/a*", "1"}, {"/b*", "2"}, {"/a*.jsp", "3"}},
                  {{"/a*.jsp", "3"}, {"/a*", "1"}, {"/b*", "2"}}},
        OrderCase{"HostLengthDoesNotCount",
                  {{"//h1/x*", "1"}, {"//longer-host/x*", "2"}},
                  {{"//h1/x*", "1"}, {"//longer-host/x*", "2"}}},
        OrderCase{"ExactPathBeatsItsPrefix",
                  {{"/stat*", "1"}, {"/status", "2"}},
                  {{"/status", "2"}, {"/stat*", "1"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Freed strings are overwritten and held back until the test ends, so that a read after
// the free meets the poison rather than a string that happened to survive.
std::vector<void*> heldBack;
void poisoningFree(quon_request*, void* block) {
    memset(block, '#', malloc_usable_size(block) - 1);
    static_cast<char*>(block)[malloc_usable_size(block) - 1] = '\0';
    heldBack.push_back(block);
}

// Each pattern normalises onto the one before it: the second set frees the value that
// the first one left, and the removals must not read it.
TEST(MappingOrderNormalise, ChainedDuplicatesNeverReadAFreedValue) {
    RecordingRequest req;
    req->permFree = poisoningFree;
    EXPECT_EQ(sorted(req, {{"/a*", "x"}, {"/a/*", "y"}, {"/a//*", "z"}}), (Pairs{{"/a*", "y"}}));
    EXPECT_EQ(req.count("trace", "mapping converted from /a/* to /a*=y"), 1) << req.dump();
    EXPECT_EQ(req.count("trace", "removed mapping /a/*=z"), 1);
    EXPECT_EQ(req.count("trace", "removed mapping /a//*=z"), 1);
    for (void* block : heldBack) free(block);
    heldBack.clear();
}

int permCalls = 0;
void* secondCallFails(quon_request*, int size) {
    return ++permCalls == 2 ? nullptr : malloc(size_t(size));
}

// The first allocation is the shorter pattern, the second the removal list.
TEST(MappingOrderNormalise, NoMemoryForTheRemovalListKeepsTheEntryAsSent) {
    RecordingRequest req;
    propertyTable* table = parseProperties(req.get(), "/a*=x\n/a/*=y\n");
    req->permMalloc = secondCallFails;
    permCalls = 0;
    sortMappings(req.get(), table);
    req->permMalloc = doMalloc;
    ASSERT_EQ(table->count, 2);
    EXPECT_EQ(Pairs({{table->entries[0].key, table->entries[0].value},
                     {table->entries[1].key, table->entries[1].value}}),
              (Pairs{{"/a/*", "y"}, {"/a*", "x"}}));
    freeProperties(req.get(), table);
}

TEST(MappingRefreshTimes, NotDueOrWaitingForRetryFetchesNothing) {
    RecordingRequest req;
    quonProxy proxy{};  // no pool: a fetch would fail loudly
    proxy.nextMapCheckTime = nowSeconds() + 100;
    EXPECT_EQ(proxy_refreshMappings(&proxy, req.get()), 1);
    proxy.nextMapCheckTime = 0;
    proxy.nextProxyRetryTime = nowSeconds() + 100;
    EXPECT_EQ(proxy_refreshMappings(&proxy, req.get()), 1);
    EXPECT_EQ(req.lines.size(), 0u) << req.dump();
}
