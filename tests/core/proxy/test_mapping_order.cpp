// Normalisation and match order of servlet mappings, and the refresh's due times.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "mapping_order.h"
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

TEST(MappingOrderTraces, ConversionAndRemovalAreTraced) {
    RecordingRequest req;
    sorted(req, {{"/app*", "a"}, {"/app/*", "b"}, {"/x/*", "c"}});
    EXPECT_EQ(req.count("trace", "mapping converted from /app/* to /app*=b"), 1) << req.dump();
    EXPECT_EQ(req.count("trace", "mapping converted from /x/* to /x*=c"), 1);
    EXPECT_EQ(req.count("trace", "removed mapping /app/*=b"), 1);
}

TEST(MappingOrderLengths, PrefixAndExtension) {
    EXPECT_EQ(prefixlen("/app/servlet*"), 12);
    EXPECT_EQ(prefixlen("*.jsp"), 0);
    EXPECT_EQ(prefixlen("/status"), 7);
    EXPECT_EQ(prefixlen("//host/x*"), 2);
    EXPECT_EQ(prefixlen("//host"), 0);
    EXPECT_EQ(extlen("/app*.do"), 3);
    EXPECT_EQ(extlen("/status"), 0);
    EXPECT_EQ(extlen("//h/x*y*z"), 3);
}

TEST(MappingRefreshTimes, IntervalOrNever) {
    RecordingRequest req;
    quonProxy proxy{};
    proxy.mapCheckInterval = 30;
    setNextMapCheckTime(req.get(), &proxy, 1000);
    EXPECT_EQ(proxy.nextMapCheckTime.load(), 1030);
    proxy.mapCheckInterval = 0;
    setNextMapCheckTime(req.get(), &proxy, 1000);
    EXPECT_EQ(proxy.nextMapCheckTime.load(), 2147483647);
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
