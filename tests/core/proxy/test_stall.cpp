// Stalls told by the requests themselves: what a run of requests waiting, answered and
// ended, reviewed at given moments, makes of a server; and the bookkeeping a request
// attempt does for it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "health.h"
#include "proxy_helpers.h"
#include "recording_request.h"
#include "stall.h"

namespace {
struct Board {
    Board() : board(std::make_unique<qnHealthBoard>()) { qnHealthBoardInit(board.get()); }
    std::unique_ptr<qnHealthBoard> board;
    qnHealthSlot* slot = qnHealthFor(board.get(), "127.0.0.2:8009", 1000);
};

// One moment of a story: requests that begin and that get an answer (or end without one)
// then, an application check that answered, and the review with or without another
// server answering; and what the review must return.
struct Step {
    int64_t at;  // milliseconds from the story's start
    int begin = 0, answered = 0, ended = 0;
    bool others = true, appAnswered = false;
    int expect = QN_STALL_SAME;
};
struct Story {
    const char* what;
    std::vector<Step> steps;
};

class Stalls : public ::testing::TestWithParam<Story> {};

TEST_P(Stalls, FollowTheRequests) {
    Board b;
    constexpr int64_t kStart = 1'000'000;
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE(step.at);
        const int64_t now = kStart + step.at;
        b.slot->waiting += step.begin - step.answered - step.ended;
        b.slot->answers += uint64_t(step.answered);
        if (step.appAnswered) b.slot->appOkMono = now;
        int64_t lasted = -1;
        EXPECT_EQ(qnStallReview(b.slot, step.others, now, now, &lasted), step.expect);
        if (step.expect == QN_STALL_ENDED) {
            EXPECT_GT(lasted, 0);
        }
        EXPECT_EQ(qnAnswering(b.slot, now), !qnStalled(b.slot) && qnStuckForMs(b.slot, now) == 0);
    }
}

constexpr int B = QN_STALL_BEGAN, E = QN_STALL_ENDED;
INSTANTIATE_TEST_SUITE_P(
    Stall, Stalls,
    ::testing::Values(
        Story{"three waiting with no answer for two seconds",
              {{0, 3}, {1999}, {2000, 0, 0, 0, true, false, B}, {2250}, {5000, 1}}},
        Story{"one long request alone is no stall", {{0, 1}, {5000}, {10000}}},
        Story{"nor are two", {{0, 2}, {5000}, {10000}}},
        Story{"requests that keep being answered",
              {{0, 3}, {1000, 2, 2}, {2000, 2, 2}, {3000, 2, 2}, {4500}}},
        Story{"a table whose every server is slow keeps them",
              {{0, 4}, {3000, 0, 0, 0, false}, {6000, 2, 0, 0, false}}},
        Story{"an answer ends it",
              {{0, 3}, {2500, 0, 0, 0, true, false, B}, {4000, 0, 1, 0, true, false, E}}},
        Story{"an application check ends it",
              {{0, 3}, {2500, 0, 0, 0, true, false, B}, {4000, 0, 0, 0, true, true, E}}},
        Story{"it is tried again a while after no request waits any more",
              {{0, 3},
               {2500, 0, 0, 0, true, false, B},
               {3000, 0, 0, 3},
               {32499},
               {32500, 0, 0, 0, true, false, E}}},
        Story{"requests still waiting hold it", {{0, 3}, {2500, 0, 0, 0, true, false, B}, {30000}}},
        Story{"no other server answering ends it",
              {{0, 3}, {2500, 0, 0, 0, true, false, B}, {2750, 0, 0, 0, false, false, E}}},
        // A count left by a process that died mid-exchange stands still: no stall.
        Story{"a count that stands still after the last answer",
              {{0, 4}, {500, 0, 1}, {4000}, {9000}}}),
    [](const auto& info) { return testName(info.param.what); });

TEST(Stall, TheReasonSaysHowManyWaitAndForHowLong) {
    Board b;
    b.slot->waiting = 3;
    qnStallReview(b.slot, true, 10'000, 0, nullptr);
    EXPECT_EQ(qnStallReview(b.slot, true, 12'600, 0, nullptr), QN_STALL_BEGAN);
    char reason[96];
    qnStallReason(b.slot, 14'100, reason, sizeof reason);
    EXPECT_STREQ(reason, "3 requests waiting, the oldest for 4 seconds");
}

// An attempt counts while it waits for the first byte of its answer, exactly once, and
// the first byte is news that the server answers.
TEST(Stall, AnAttemptWaitsUntilItsFirstByte) {
    Board b;
    RecordingRequest req;
    quonProxy proxy{};
    proxy.health = b.slot;
    qnStallBegin(req.get(), &proxy);
    qnStallBegin(req.get(), &proxy);  // another request's, in truth
    EXPECT_EQ(b.slot->waiting.load(), 2);
    qnStallAnswered(req.get());
    EXPECT_EQ(b.slot->answers.load(), 1u);
    qnStallNoteBusy(b.slot, 5000);  // a review dates the answer
    EXPECT_EQ(b.slot->answeredMono.load(), 5000);
    qnStallEnd(req.get());
    EXPECT_EQ(b.slot->waiting.load(), 1);
    qnStallBegin(req.get(), &proxy);
    qnStallEnd(req.get());
    qnStallEnd(req.get());
    EXPECT_EQ(b.slot->waiting.load(), 1);
    proxy.health = nullptr;  // a server the checks keep no slot for counts nowhere
    qnStallBegin(req.get(), &proxy);
    qnStallEnd(req.get());
    EXPECT_EQ(b.slot->waiting.load(), 1);
}
}  // namespace
