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

// Claims at a time: host names in any case are one server; a virtual server holds at
// most its share; a slot no child has published for a while is taken back, its own
// virtual server's first, and emptied.
constexpr int64_t kNow = 100000;

TEST(Counters, SlotsAreSharedOutAndTakenBackWhenStale) {
    Segment segment;
    const auto claim = [&](const char* scope, const std::string& name,
                           int64_t at = kNow) -> qnServerCounters* {
        return qnCountersAt(segment.get(), scope, name.c_str(), at);
    };
    qnServerCounters* folded = claim("Main:80", "App1.Example:7001");
    for (const char* variant : {"APP1.EXAMPLE:7001", "app1.example:7001", "aPp1.ExAmPlE:7001"})
        EXPECT_EQ(claim("main:80", variant), folded) << variant;
    EXPECT_STREQ(folded->name, "app1.example:7001");
    EXPECT_EQ(qnFindCounters(segment.get(), "MAIN:80", "APP1.example:7001"), folded);
    for (int k = 1; k < QN_SLOTS_PER_SCOPE; ++k)
        ASSERT_NE(claim("main:80", std::to_string(k)), nullptr);
    int refused = 0;
    EXPECT_EQ(qnCountersAt(segment.get(), "main:80", "one more", kNow, &refused), nullptr);
    EXPECT_EQ(refused, QN_REFUSED_QUOTA);
    for (const char* scope : {"b:80", "c:80", "d:80"})
        for (int k = 0; k < QN_SLOTS_PER_SCOPE; ++k)
            ASSERT_NE(claim(scope, std::to_string(k)), nullptr);
    EXPECT_EQ(qnCountersAt(segment.get(), "e:80", "0", kNow, &refused), nullptr);
    EXPECT_EQ(refused, QN_REFUSED_FULL);

    // A stale slot of another virtual server is emptied for a new one; a fresh one is not.
    qnServerCounters* old = qnFindCounters(segment.get(), "c:80", "7");
    old->requests = 5;
    old->admin = QN_ADMIN_DRAIN;
    old->seenAt = kNow - QN_SLOT_STALE_SECONDS;
    qnFindCounters(segment.get(), "d:80", "7")->seenAt = kNow - QN_SLOT_STALE_SECONDS + 1;
    EXPECT_EQ(claim("e:80", "0"), old);
    EXPECT_STREQ(old->scope, "e:80");
    EXPECT_EQ(old->requests.load() + uint64_t(old->admin.load()), 0u);
    EXPECT_EQ(qnFindCounters(segment.get(), "c:80", "7"), nullptr);
    EXPECT_EQ(claim("e:80", "1"), nullptr);
    // A virtual server at its share takes back its own stale slot, not another's.
    qnServerCounters* own = qnFindCounters(segment.get(), "main:80", "5");
    own->seenAt = kNow - 2 * QN_SLOT_STALE_SECONDS;
    qnFindCounters(segment.get(), "b:80", "5")->seenAt = kNow - 3 * QN_SLOT_STALE_SECONDS;
    EXPECT_EQ(claim("main:80", "new"), own);
    // Asking for a slot marks it seen: it is not taken back while a child claims it.
    EXPECT_EQ(claim("d:80", "7", kNow + QN_SLOT_STALE_SECONDS)->seenAt.load(),
              kNow + QN_SLOT_STALE_SECONDS);
    EXPECT_EQ(qnSlotIndex(segment.get(), claim("main:80", "2")), 2);
}

// A virtual server counts at most its share of mapping entries apart; the rest share its
// record of other mappings. A virtual server's record taken back frees its entries'.
TEST(Counters, MappingRecordsAndTheirVirtualServers) {
    Segment segment;
    const int32_t main = qnScopeRecordAt(segment.get(), "Main:80", kNow);
    const int32_t other = qnScopeRecordAt(segment.get(), "other:80", kNow);
    ASSERT_GE(main, 0);
    EXPECT_EQ(qnScopeRecordAt(segment.get(), "MAIN:80", kNow), main);
    std::set<qnMappingCounters*> records;
    for (int k = 0; k < QN_MAPPINGS_PER_SCOPE; ++k)
        records.insert(qnMappingCountersAt(segment.get(), main,
                                           ("/p" + std::to_string(k) + "/*").c_str(), kNow));
    EXPECT_EQ(records.size(), size_t(QN_MAPPINGS_PER_SCOPE));
    qnMappingCounters* rest = qnMappingCountersAt(segment.get(), main, "/more/*", kNow);
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(rest->others, 1);
    EXPECT_EQ(qnMappingCountersAt(segment.get(), main, "/still/more/*", kNow), rest);
    EXPECT_EQ(qnMappingCountersAt(segment.get(), main, "/p3/*", kNow)->others, 0);
    qnMappingCounters* apart = qnMappingCountersAt(segment.get(), other, "/p3/*", kNow);
    EXPECT_EQ(records.count(apart), 0u);

    // Every virtual server record in use: a stale one goes, with its mapping records.
    for (int k = 2; k < QN_SCOPE_SLOTS; ++k)
        ASSERT_GE(qnScopeRecordAt(segment.get(), std::to_string(k).c_str(), kNow), 0);
    EXPECT_EQ(qnScopeRecordAt(segment.get(), "late:80", kNow), -1);
    segment->scopes[other].seenAt = kNow - QN_SLOT_STALE_SECONDS;
    EXPECT_EQ(qnScopeRecordAt(segment.get(), "late:80", kNow), other);
    EXPECT_EQ(apart->state.load(), QN_SLOT_FREE);
    EXPECT_EQ(rest->state.load(), QN_SLOT_USED);
}

// The nonce the page showed before a restart is taken for a minute after it, then no more.
TEST(Counters, ThePreviousNonceLastsAMinute) {
    Segment segment;
    constexpr int64_t kRestart = 5000;
    EXPECT_STREQ(qnCurrentNonce(segment.get()), "nonce");
    EXPECT_TRUE(qnNonceAccepted(segment.get(), "nonce", 1));
    qnRotateNonce(segment.get(), "fresh", kRestart);
    EXPECT_STREQ(qnCurrentNonce(segment.get()), "fresh");
    const std::tuple<const char*, int64_t, bool> rows[] = {
        {"fresh", kRestart + 100000, true},
        {"nonce", kRestart, true},
        {"nonce", kRestart + QN_NONCE_OVERLAP_SECONDS, true},
        {"nonce", kRestart + QN_NONCE_OVERLAP_SECONDS + 1, false},
        {"nonc", kRestart, false},
        {"noncee", kRestart, false},
        {"", kRestart, false}};
    for (const auto& [given, at, accepted] : rows)
        EXPECT_EQ(qnNonceAccepted(segment.get(), given, at), accepted) << given << " " << at;
    qnRotateNonce(segment.get(), "third", kRestart + 1);
    EXPECT_FALSE(qnNonceAccepted(segment.get(), "nonce", kRestart + 1));
    EXPECT_TRUE(qnNonceAccepted(segment.get(), "fresh", kRestart + 1));
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
// How the dispatch ended a request, and what its session adds to the holder's counters.
TEST(Counters, AnswersByOutcomeAndSessionsByWhereTheyWent) {
    struct Ending {
        int result, error, broken, redirected, kind;
    };
    const Ending endings[] = {{0, 0, 0, 0, QN_ANSWER_SERVED},
                              {0, 0, 0, 1, QN_ANSWER_SERVED},  // a server's own 503 made a redirect
                              {-1, ECONNREFUSED, 0, 0, QN_ANSWER_ERROR_PAGE},
                              {-1, EQUON_NO_SERVER, 0, 1, QN_ANSWER_REDIRECT},
                              {-1, EQUON_RESPONSE_TIMEOUT, 0, 0, QN_ANSWER_TIMEOUT},
                              {-1, EQUON_RESPONSE_TIMEOUT, 1, 0, QN_ANSWER_CUT},
                              {-1, EQUON_CLIENT_DOWN, 1, 0, QN_ANSWER_CLIENT_GONE}};
    for (const Ending& e : endings) {
        quon_request req{};
        req.errorCode = e.error;
        req.responseBroken = e.broken;
        req.redirected = e.redirected;
        EXPECT_EQ(qnAnswerKind(&req, e.result), e.kind) << e.error << " " << e.redirected;
    }

    Segment segment;
    quonProxy holder{}, buddy{};
    holder.counters = qnCountersFor(segment.get(), "main", "holder:1");
    buddy.counters = qnCountersFor(segment.get(), "main", "buddy:1");
    qnMappingCounters* entry =
        qnMappingCountersAt(segment.get(), qnScopeRecordAt(segment.get(), "main", 1), "/app/*", 1);
    struct Session {
        quonProxy* holder;
        quonProxy* last;
        int result, broken;
    };
    const Session sessions[] = {{&holder, &holder, 0, 0}, {&holder, &buddy, 0, 0},
                                {&holder, &buddy, 0, 1},  {&holder, nullptr, -1, 1},
                                {nullptr, &buddy, 0, 1},  {&holder, &holder, -1, 0}};
    for (const Session& s : sessions) {
        quon_request req{};
        req.mappingCounters = entry;
        req.sessionHolder = s.holder;
        req.sessionBroken = s.broken;
        qnRequestAnswered(&req, s.last, s.result);
    }
    const qnSessionCounters& counted = holder.counters->sessions;
    EXPECT_EQ(counted.requests.load(), 5u);
    EXPECT_EQ(counted.hits.load(), 1u);
    EXPECT_EQ(counted.moved.load(), 1u);
    EXPECT_EQ(counted.broken.load(), 2u);
    EXPECT_EQ(buddy.counters->sessions.requests.load(), 0u);
    EXPECT_EQ(entry->brokenSessions.load(), 3u);
    EXPECT_EQ(entry->answers[QN_ANSWER_SERVED].load(), 4u);
    EXPECT_EQ(entry->answers[QN_ANSWER_ERROR_PAGE].load(), 2u);
}

// One sample per step over every process, with the slot's totals when it was taken.
TEST(Counters, HistoryIsSampledOncePerStep) {
    Segment segment;
    qnServerCounters* slot = qnCountersFor(segment.get(), "main", "a:1");
    constexpr int64_t kStep = QN_HISTORY_STEP_SECONDS;
    slot->requests = 7;
    slot->failures[QN_FAIL_CONNECT] = 2;
    slot->failures[QN_FAIL_BUSY] = 1;
    EXPECT_TRUE(qnSampleHistory(slot, 100 * kStep + 1));
    slot->requests = 9;
    EXPECT_FALSE(qnSampleHistory(slot, 100 * kStep + kStep - 1));
    EXPECT_FALSE(qnSampleHistory(slot, 99 * kStep));
    EXPECT_TRUE(qnSampleHistory(slot, 101 * kStep));
    const qnHistorySample& first = slot->history.samples[100 % QN_HISTORY_SAMPLES];
    const qnHistorySample& second = slot->history.samples[101 % QN_HISTORY_SAMPLES];
    EXPECT_EQ(first.step.load(), 100);
    EXPECT_EQ(first.requests.load(), 7u);
    EXPECT_EQ(first.failures.load(), 3u);
    EXPECT_EQ(second.requests.load(), 9u);
}

// The page's bars: each step's gain between its sample and the next, the newest sample's
// up to the totals now, whether or not the current step has been sampled yet.
TEST(Counters, HistoryBarsRunFromEachSampleToTheNextOrToNow) {
    constexpr int64_t kStep = QN_HISTORY_STEP_SECONDS;
    constexpr int kBars = 4;  // steps 98 to 101 when now is in step 101
    struct Row {
        const char* name;
        std::vector<std::pair<int64_t, uint64_t>> samples;  // step, requests (failures: half)
        std::vector<uint64_t> bars;                         // requests per bar, oldest first
    };
    const Row rows[] = {
        {"both sampled", {{100, 4}, {101, 10}}, {0, 0, 6, 2}},
        {"current step not sampled yet", {{100, 4}}, {0, 0, 8, 0}},
        {"a step without a sample", {{98, 2}, {100, 4}}, {0, 0, 8, 0}},
        {"every step", {{98, 0}, {99, 2}, {100, 4}, {101, 6}}, {2, 2, 2, 6}},
        {"only before the window", {{90, 2}}, {0, 0, 0, 0}},
        {"nothing sampled", {}, {0, 0, 0, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Segment segment;
        qnServerCounters* slot = qnCountersFor(segment.get(), "main", "a:1");
        for (const auto& [step, requests] : row.samples) {
            slot->requests = requests;
            slot->failures[QN_FAIL_RECEIVE] = requests / 2;
            ASSERT_TRUE(qnSampleHistory(slot, step * kStep + 3));
        }
        uint64_t requests[kBars], failures[kBars];
        qnHistoryBars(slot->history, 12, 6, 101 * kStep + 7, kBars, requests, failures);
        for (int bar = 0; bar < kBars; ++bar) {
            EXPECT_EQ(requests[bar], row.bars[size_t(bar)]) << "bar " << bar;
            EXPECT_EQ(failures[bar], row.bars[size_t(bar)] / 2) << "bar " << bar;
        }
    }
}
}  // namespace
