// The shared counters: one slot per server under contention, a full segment, child views
// that a dead process leaves, buckets and kinds of failure. What real attempts add to the
// counters: status_test.cpp, through Apache; per attempt of a dispatch: test_dispatch.cpp.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "counters.h"

namespace {
// A segment in plain memory, as the web server lays one out in shared memory.
class Segment {
public:
    explicit Segment(int32_t views = 2)
        : memory_(qnCounterSegmentSize(views)),
          segment_(qnCounterSegmentInit(memory_.data(), views, "nonce")) {}
    qnCounterSegment* operator->() const { return segment_; }
    qnCounterSegment* get() const { return segment_; }
    void* memory() { return memory_.data(); }

private:
    std::vector<char> memory_;
    qnCounterSegment* segment_;
};

TEST(Counters, EveryProcessFindsOneSlotPerServer) {
    Segment segment;
    ASSERT_EQ(qnCounterSegmentAt(segment.memory()), segment.get());
    std::vector<char> blank(qnCounterSegmentSize(1));
    EXPECT_EQ(qnCounterSegmentAt(blank.data()), nullptr);
    constexpr int kPairs = 40, kThreads = 8;
    std::vector<std::vector<qnServerCounters*>> found(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            found[size_t(t)].resize(kPairs);
            for (int k = 0; k < kPairs; ++k) {
                const int pair = (k * 7 + t * 3) % kPairs;  // each thread in its own order
                found[size_t(t)][size_t(pair)] = qnCountersFor(
                    segment.get(), pair % 2 ? "own.test" : "main", std::to_string(pair).c_str());
            }
        });
    for (auto& thread : threads) thread.join();
    std::set<qnServerCounters*> distinct(found[0].begin(), found[0].end());
    EXPECT_EQ(distinct.size(), size_t(kPairs));
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(found[size_t(t)], found[0]);
    EXPECT_EQ(segment->slots[kPairs].state.load(), QN_SLOT_FREE);
    EXPECT_EQ(qnFindCounters(segment.get(), "own.test", "1"), found[0][1]);
    EXPECT_EQ(qnFindCounters(segment.get(), "main", "1"), nullptr);
    // Names as long as a proxy's that differ in their last character: nothing is cut.
    const std::string longName(QN_SERVER_NAME_SIZE - 2, 'a');
    EXPECT_NE(qnCountersFor(segment.get(), "main", (longName + "1").c_str()),
              qnCountersFor(segment.get(), "main", (longName + "2").c_str()));
}

TEST(Counters, AFullSegmentGivesNoSlot) {
    Segment segment;
    for (int k = 0; k < QN_COUNTER_SLOTS; ++k)
        ASSERT_NE(qnCountersFor(segment.get(), "main", std::to_string(k).c_str()), nullptr);
    EXPECT_EQ(qnCountersFor(segment.get(), "main", "one more"), nullptr);
    EXPECT_EQ(qnSlotIndex(segment.get(), qnCountersFor(segment.get(), "main", "7")), 7);
}

TEST(Counters, ViewsOfAProcessThatIsGoneAreTakenOverEmpty) {
    Segment segment(2);
    static std::set<int32_t> running;
    running = {100, 101, 102};
    const auto alive = [](int32_t pid) { return running.count(pid) > 0; };
    qnChildViews* first = qnClaimChildViews(segment.get(), 100, alive);
    qnChildViews* second = qnClaimChildViews(segment.get(), 101, alive);
    ASSERT_TRUE(first && second && first != second);
    EXPECT_EQ(qnClaimChildViews(segment.get(), 100, alive), first);
    EXPECT_EQ(qnClaimChildViews(segment.get(), 102, alive), nullptr);
    first->servers[3].inFlight = 2;
    first->servers[3].known = 1;
    running.erase(100);  // killed with attempts in flight
    EXPECT_EQ(qnClaimChildViews(segment.get(), 102, alive), first);
    EXPECT_EQ(first->pid.load(), 102);
    EXPECT_EQ(first->servers[3].inFlight.load() + first->servers[3].known.load(), 0);
    qnReleaseChildViews(second, 999);  // a forked process leaves them alone
    EXPECT_EQ(second->pid.load(), 101);
    qnReleaseChildViews(second, 101);
    EXPECT_EQ(second->pid.load(), 0);
}

TEST(Counters, BucketsAndFailureKinds) {
    const std::pair<int64_t, int> buckets[] = {{0, 0},         {5000, 0},          {5001, 1},
                                               {999999, 7},    {1000000, 7},       {30000000, 11},
                                               {30000001, 12}, {INT64_MAX / 2, 12}};
    for (const auto& [micros, bucket] : buckets) EXPECT_EQ(qnBucketOf(micros), bucket) << micros;
    const std::tuple<int, int, int> kinds[] = {
        {EQUON_BUSY, QN_STAGE_RECEIVE, QN_FAIL_BUSY},
        {EQUON_OUT_OF_SYNC, QN_STAGE_RECEIVE, QN_FAIL_PROTOCOL},
        {EQUON_CLIENT_DOWN, QN_STAGE_RECEIVE, -1},
        {ECONNREFUSED, QN_STAGE_CONNECT, QN_FAIL_CONNECT},
        {EPIPE, QN_STAGE_SEND, QN_FAIL_SEND},
        {ETIMEDOUT, QN_STAGE_RECEIVE, QN_FAIL_RECEIVE},
        {0, QN_STAGE_CONNECT, QN_FAIL_CONNECT},
        {0, QN_STAGE_RECEIVE, QN_FAIL_PROTOCOL}};
    for (const auto& [error, stage, kind] : kinds)
        EXPECT_EQ(qnFailureKind(error, stage), kind) << error << " " << stage;
}
}  // namespace
