// Choice of a server per request attempt: each algorithm as a sequence of choices, the
// weighted-random slot table, and its draws.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "balance.h"
#include "cluster_fixture.h"
#include "recording_request.h"
#include "table.h"

namespace {
struct SequenceCase {
    const char* name;
    int32_t algorithm;
    std::vector<ServerSpec> servers;
    std::vector<std::string> expected;  // the proxy of each call; "" for none
    RecordedLine line;                  // a line the calls must write; empty text: none
};

void PrintTo(const SequenceCase& c, std::ostream* out) { *out << c.name; }

class Balancing : public ::testing::TestWithParam<SequenceCase> {};

std::vector<std::string> choices(RecordingRequest& req, const SequenceCase& c) {
    HandTable table(req.get());
    std::vector<quonProxy*> proxies;
    for (const ServerSpec& spec : c.servers) proxies.push_back(table.addServer(spec));
    int index = table.addEntry("/app*", c.algorithm, 0, proxies);
    std::vector<std::string> names;
    for (size_t call = 0; call < c.expected.size(); ++call) {
        quonProxy* chosen = selectProxy(table.get(), req.get(), index);
        names.emplace_back(chosen ? chosen->name : "");
    }
    EXPECT_EQ(table->lastActivity, QN_ACTIVITY_REQUEST);
    return names;
}

const RecordedLine kNoChoice{"traceE", QN_TRACE_EVENT, "<null> selectProxy"};
}  // namespace

TEST_P(Balancing, ChoosesInSequence) {
    const SequenceCase& c = GetParam();
    RecordingRequest req;
    EXPECT_EQ(choices(req, c), c.expected) << req.dump();
    if (!c.line.text.empty()) {
        bool found = false;
        for (const RecordedLine& line : req.lines)
            found |= line.channel == c.line.channel && line.flags == c.line.flags &&
                     line.text == c.line.text;
        EXPECT_TRUE(found) << c.line.text << "\n" << req.dump();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Algorithms, Balancing,
    ::testing::Values(
        SequenceCase{"RoundRobinSkipsInactiveFromNewEntry", QN_ROUNDROBIN,
                     {{"A"}, {"B", 1, 0}, {"C"}}, {"A", "C", "A", "C"},
                     {"traceE", QN_TRACE_DETAIL, "C selectProxy"}},
        SequenceCase{"RoundRobinNoneActive", QN_ROUNDROBIN, {{"A", 1, 0}, {"B", 1, 0}}, {"", ""},
                     {"traceE", QN_TRACE_EVENT, "selectProxy: RR no active proxies found"}},
        SequenceCase{"WeightedTwoAndOne", QN_ROUNDROBIN_WEIGHTED, {{"A", 2}, {"B", 1}},
                     {"A", "A", "B", "A", "A", "B"}},
        SequenceCase{"WeightedSkipsInactive", QN_ROUNDROBIN_WEIGHTED,
                     {{"A", 2}, {"B", 2, 0}, {"C", 1}}, {"A", "A", "C", "A", "A", "C"}},
        SequenceCase{"WeightedZeroCountsAsOne", QN_ROUNDROBIN_WEIGHTED, {{"A", 0}, {"B", 1}},
                     {"A", "B", "A", "B"}},
        SequenceCase{"WeightedNegativeCountsAsOne", QN_ROUNDROBIN_WEIGHTED,
                     {{"A", INT_MIN}, {"B", 2}}, {"A", "B", "B", "A", "B", "B"}},
        SequenceCase{"WeightedNoneActive", QN_ROUNDROBIN_WEIGHTED, {{"A", 1, 0}, {"B", 1, 0}},
                     {""}, kNoChoice},
        SequenceCase{"MinTakesFirstLowest", QN_MIN, {{"A", 5}, {"B", 3}, {"C", 3}}, {"B", "B"}},
        SequenceCase{"MinSkipsInactive", QN_MIN, {{"A", 1, 0}, {"B", 4}, {"C", 2}}, {"C"}},
        SequenceCase{"MaxTakesFirstHighest", QN_MAX, {{"A", 2}, {"B", 7}, {"C", 7}}, {"B"}},
        SequenceCase{"MaxNoneAboveZero", QN_MAX, {{"A", 0}, {"B", 0}}, {""}, kNoChoice},
        SequenceCase{"RandomWeightedZeroNeverChosen", QN_RANDOM_WEIGHTED,
                     {{"A", 0}, {"B", 5}, {"C", -4}}, {"B", "B", "B", "B"}},
        SequenceCase{"RandomWeightedNoneActive", QN_RANDOM_WEIGHTED, {{"A", 3, 0}, {"B", 1, 0}},
                     {""}, kNoChoice},
        SequenceCase{"SingleProxyEvenWhenDown", QN_ROUNDROBIN, {{"A", 1, 0, nullptr, 99}},
                     {"A", "A"}, {"traceE", QN_TRACE_DETAIL, "A selectProxy not reachable not active"}},
        SequenceCase{"NoProxies", QN_ROUNDROBIN, {}, {""}, kNoChoice},
        SequenceCase{"UnknownAlgorithm", 9, {{"A"}, {"B"}}, {""},
                     {"log", 0, "Unrecognized load balancing algorithm"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Balancing, EntryOutsideTheTableGetsNone) {
    RecordingRequest req;
    HandTable table(req.get());
    for (int index : {-1, 0, 5, QN_MAX_MAPPINGS}) EXPECT_EQ(selectProxy(table.get(), req.get(), index), nullptr);
    EXPECT_EQ(req.count("traceE", "<null> selectProxy"), 4);
}

namespace {
struct SlotCase {
    const char* name;
    std::vector<ServerSpec> servers;
    std::vector<int32_t> expected;  // the list slot of every table slot, in order
};

void PrintTo(const SlotCase& c, std::ostream* out) { *out << c.name; }

class WeightSlots : public ::testing::TestWithParam<SlotCase> {};

std::vector<int32_t> repeated(std::vector<std::pair<int32_t, int>> runs) {
    std::vector<int32_t> slots;
    for (auto [slot, times] : runs) slots.insert(slots.end(), size_t(times), slot);
    return slots;
}
}  // namespace

TEST_P(WeightSlots, BuildsTheSlotTable) {
    const SlotCase& c = GetParam();
    RecordingRequest req;
    HandTable table(req.get());
    std::vector<quonProxy*> proxies;
    for (const ServerSpec& spec : c.servers) proxies.push_back(table.addServer(spec));
    int index = table.addEntry("/app*", QN_RANDOM_WEIGHTED, 0, proxies);
    quonProxy* chosen = selectProxy(table.get(), req.get(), index);
    const mappingInfo* info = table->mappingInfos[index];
    std::vector<int32_t> slots(info->weightTable, info->weightTable + info->totalWeight);
    EXPECT_EQ(slots, c.expected);
    EXPECT_EQ(chosen != nullptr, !c.expected.empty());
    EXPECT_EQ(info->weightsDirty, c.expected.empty() ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Weights, WeightSlots,
    ::testing::Values(
        SlotCase{"ThreeAndOne", {{"A", 3}, {"B", 1}}, {0, 0, 0, 1}},
        SlotCase{"InactiveGetsNone", {{"A", 3, 0}, {"B", 1}, {"C", 2}}, {1, 2, 2}},
        SlotCase{"AllZeroShareEvenly", {{"A", 0}, {"B", 0}, {"C", 0, 0}}, {0, 1}},
        SlotCase{"NegativeCountsAsZero", {{"A", -2}, {"B", 2}}, {1, 1}},
        SlotCase{"AllNegativeShareEvenly", {{"A", -2}, {"B", INT_MIN}}, {0, 1}},
        SlotCase{"NoneActive", {{"A", 3, 0}, {"B", 1, 0}}, {}},
        SlotCase{"LargeScaledDown", {{"A", 1 << 30}, {"B", 1 << 30}}, repeated({{0, 512}, {1, 512}})},
        SlotCase{"HugeKeepsTheSmallOne", {{"A", INT_MAX}, {"B", 1}}, repeated({{0, 1023}, {1, 1}})}),
    [](const auto& info) { return std::string(info.param.name); });

// 3:1 over many draws; a new load value alone leaves the table as it is, a membership
// change rebuilds it.
TEST(WeightSlots, DrawsInProportionAndRebuildsAfterMembershipChange) {
    RecordingRequest req(0);
    HandTable table(req.get());
    quonProxy* a = table.addServer({"A", 3});
    quonProxy* b = table.addServer({"B", 1});
    quonProxy* c = table.addServer({"C", 4, 0});
    int index = table.addEntry("/app*", QN_RANDOM_WEIGHTED, 0, {a, b, c});
    auto shareOfA = [&] {
        constexpr int kDraws = 100000;
        int hits = 0;
        for (int draw = 0; draw < kDraws; ++draw) hits += selectProxy(table.get(), req.get(), index) == a;
        return double(hits) / kDraws;
    };
    EXPECT_NEAR(shareOfA(), 0.75, 0.015);
    const mappingInfo* info = table->mappingInfos[index];
    const int32_t* built = info->weightTable;
    b->serverInfo->weight = 3;
    EXPECT_NEAR(shareOfA(), 0.75, 0.015);
    EXPECT_EQ(info->weightTable, built);
    EXPECT_EQ(info->totalWeight, 4);
    removeProxy(table.get(), a, req.get(), 1);
    EXPECT_EQ(shareOfA(), 0.0);
    EXPECT_EQ(info->totalWeight, 3);
}
