// The limit on failure lines that repeat: one line of a kind per interval, the next line
// telling how many were left out, and exactly one writer when threads race. The line as
// written, at its level: test_pool's ConnectFailuresAreWrittenOncePerIntervalForEachServer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "log_limit.h"
#include "recording_request.h"

namespace {
constexpr long long kInterval = QN_LOG_LIMIT_INTERVAL_MS;

// Times of lines of one kind (ms) and what each turn gives: -1 left out, else the count
// the written line tells.
struct TurnCase {
    const char* name;
    std::vector<long long> times;
    std::vector<int> turns;
};
void PrintTo(const TurnCase& c, std::ostream* os) { *os << c.name; }

const TurnCase kTurns[] = {
    {"FirstLineGoesOut", {5}, {0}},
    {"RepeatsWithinTheIntervalAreLeftOut", {5, 6, 5 + kInterval - 1}, {0, -1, -1}},
    {"TheNextLineTellsHowManyWereLeftOut", {5, 6, 7, 8, 5 + kInterval}, {0, -1, -1, -1, 3}},
    {"TheIntervalStartsAtTheLineWritten",
     {5, 5 + kInterval, 5 + kInterval + 1, 5 + 2 * kInterval},
     {0, 0, -1, 1}},
    {"AQuietSpellWritesTheNextAtOnce", {5, 5 + 10 * kInterval}, {0, 0}},
};

class LogLimitTurn : public ::testing::TestWithParam<TurnCase> {};

TEST_P(LogLimitTurn, GivesOneLinePerInterval) {
    qnLogLimit limit{};
    std::vector<int> turns;
    for (long long at : GetParam().times) turns.push_back(qnLogLimitTurn(&limit, at));
    EXPECT_EQ(turns, GetParam().turns);
}

INSTANTIATE_TEST_SUITE_P(LogLimit, LogLimitTurn, ::testing::ValuesIn(kTurns),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LogLimit, WithoutALimitEveryLineGoesOut) {
    RecordingRequest req;
    for (int k = 0; k < 3; ++k) logLimited(req.get(), nullptr, QN_LOG_WARN, "line %d", k);
    EXPECT_EQ(req.count("log", "line 2"), 1) << req.dump();
    EXPECT_EQ(req.lines.size(), 3u);
}

// Threads that find the turn due at once: one writes, every other line is counted.
TEST(LogLimit, RacingThreadsWriteOneLineAndCountTheRest) {
    constexpr int kThreads = 4, kEach = 1000;
    qnLogLimit limit{};
    std::atomic<int> written{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            for (int k = 0; k < kEach; ++k) written += qnLogLimitTurn(&limit, 100) >= 0;
        });
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(written, 1);
    EXPECT_EQ(qnLogLimitTurn(&limit, 100 + kInterval), kThreads * kEach - 1);
}
}  // namespace
