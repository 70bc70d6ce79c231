// Choice of a server: each algorithm as a sequence of choices, the weighted-random slot
// table and its draws.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "balance.h"
#include "hand_table.h"
#include "recording_request.h"
#include "table.h"

namespace {
struct Case {
    const char* name;
    int32_t algorithm;
    std::vector<ServerSpec> servers;
    std::string expected;  // one letter per call, "-" for none
    std::string line;      // a line some call writes, on any channel
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }
class Balancing : public ::testing::TestWithParam<Case> {};

// The entry /app* served by the servers; its index is 0.
std::vector<quonProxy*> serve(HandTable& table, const std::vector<ServerSpec>& servers,
                              int32_t algorithm) {
    std::vector<quonProxy*> proxies;
    for (const ServerSpec& spec : servers) proxies.push_back(table.addServer(spec));
    table.addEntry("/app*", algorithm, 0, proxies);
    return proxies;
}
}  // namespace

TEST_P(Balancing, ChoosesInSequence) {
    const Case& c = GetParam();
    RecordingRequest req;
    HandTable table(req.get());
    serve(table, c.servers, c.algorithm);
    std::string chosen;
    for (size_t call = 0; call < c.expected.size(); ++call) {
        quonProxy* proxy = selectProxy(table.get(), req.get(), 0);
        chosen += proxy ? proxy->name : "-";
    }
    EXPECT_EQ(chosen, c.expected);
    EXPECT_TRUE(c.line.empty() || req.count("", c.line) >= 1) << req.dump();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Algorithms, Balancing, ::testing::Values(
    Case{"RoundRobinFromNewEntry", QN_ROUNDROBIN, {{"A"}, {"B", 1, 0}, {"C"}}, "ACAC"},
    Case{"RoundRobinNoneActive", QN_ROUNDROBIN, {{"A", 1, 0}, {"B", 1, 0}}, "-",
         "selectProxy: RR no active proxies found"},
    Case{"WeightedTwoAndOne", QN_ROUNDROBIN_WEIGHTED, {{"A", 2}, {"B", 1}}, "AABAAB"},
    Case{"WeightedSkipsInactive", QN_ROUNDROBIN_WEIGHTED, {{"A", 2}, {"B", 2, 0}, {"C"}}, "AACAAC"},
    Case{"WeightedZeroIsOne", QN_ROUNDROBIN_WEIGHTED, {{"A", 0}, {"B", 1}}, "ABAB"},
    Case{"WeightedNegativeIsOne", QN_ROUNDROBIN_WEIGHTED, {{"A", INT_MIN}, {"B", 2}}, "ABBABB"},
    Case{"MinFirstLowest", QN_MIN, {{"A", 5}, {"B", 3}, {"C", 3}}, "BB"},
    Case{"MinSkipsInactive", QN_MIN, {{"A", 1, 0}, {"B", 4}, {"C", 2}}, "C"},
    Case{"MaxFirstHighest", QN_MAX, {{"A", 2}, {"B", 7}, {"C", 7}}, "B"},
    Case{"MaxNoneAboveZero", QN_MAX, {{"A", 0}, {"B", 0}}, "-", "<null> selectProxy"},
    Case{"RandomZeroNeverChosen", QN_RANDOM_WEIGHTED, {{"A", 0}, {"B", 5}, {"C", -4}}, "BBBB"},
    Case{"SingleProxyEvenWhenDown", QN_ROUNDROBIN, {{"A", 1, 0, nullptr, 9}}, "AA",
         "A selectProxy not reachable not active"},
    Case{"UnknownAlgorithm", 9, {{"A"}, {"B"}}, "-", "Unrecognized load balancing algorithm"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

namespace {
struct SlotCase {
    const char* name;
    std::vector<ServerSpec> servers;
    std::vector<int32_t> expected;  // the list slot of each table slot
};
void PrintTo(const SlotCase& c, std::ostream* out) { *out << c.name; }
class WeightSlots : public ::testing::TestWithParam<SlotCase> {};

std::vector<int32_t> runs(int32_t first, int32_t second) {
    std::vector<int32_t> slots(size_t(first), 0);
    slots.insert(slots.end(), size_t(second), 1);
    return slots;
}
}  // namespace

// No slot to draw from gives no proxy; a total beyond the cap is scaled down.
TEST_P(WeightSlots, BuildsTheSlotTable) {
    const SlotCase& c = GetParam();
    RecordingRequest req;
    HandTable table(req.get());
    serve(table, c.servers, QN_RANDOM_WEIGHTED);
    quonProxy* chosen = selectProxy(table.get(), req.get(), 0);
    const mappingInfo* info = table->mappingInfos[0];
    EXPECT_EQ(std::vector<int32_t>(info->weightTable, info->weightTable + info->totalWeight),
              c.expected);
    EXPECT_EQ(chosen != nullptr, !c.expected.empty());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Weights, WeightSlots, ::testing::Values(
    SlotCase{"ThreeAndOne", {{"A", 3}, {"B", 1}}, runs(3, 1)},
    SlotCase{"InactiveGetsNone", {{"A", 3, 0}, {"B", 1}, {"C", 1}}, {1, 2}},
    SlotCase{"AllZeroShareEvenly", {{"A", 0}, {"B", 0}, {"C", 0, 0}}, {0, 1}},
    SlotCase{"NegativeIsZero", {{"A", -2}, {"B", 2}}, runs(0, 2)},
    SlotCase{"NoneActive", {{"A", 3, 0}, {"B", 1, 0}}, {}},
    SlotCase{"LargeScaledDown", {{"A", 1 << 30}, {"B", 1 << 30}}, runs(512, 512)},
    SlotCase{"HugeKeepsTheSmall", {{"A", INT_MAX}, {"B", 1}}, runs(1023, 1)}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// A new load value alone leaves the table as it is; a membership change rebuilds it.
TEST(WeightSlots, DrawsInProportionAndRebuildsAfterMembershipChange) {
    RecordingRequest req(0);
    HandTable table(req.get());
    std::vector<quonProxy*> p = serve(table, {{"A", 3}, {"B", 1}, {"C", 4, 0}}, QN_RANDOM_WEIGHTED);
    auto shareOfA = [&] {
        int hits = 0;
        for (int draw = 0; draw < 100000; ++draw)
            hits += selectProxy(table.get(), req.get(), 0) == p[0];
        return hits / 100000.0;
    };
    EXPECT_NEAR(shareOfA(), 0.75, 0.015);
    p[1]->serverInfo->weight = 3;
    EXPECT_NEAR(shareOfA(), 0.75, 0.015);
    removeProxy(table.get(), p[0], req.get(), 1);
    EXPECT_EQ(shareOfA(), 0.0);
    EXPECT_EQ(table->mappingInfos[0]->totalWeight, 3);
}
