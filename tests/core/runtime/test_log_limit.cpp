// The limit on failure lines that repeat: one line of a kind per interval, the next line
// telling how many were left out, and exactly one writer when threads race. The line as
// written, at its level: test_pool's ConnectFailuresAreWrittenOncePerIntervalForEachServer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "log_limit.h"

namespace {
constexpr long long kInterval = QN_LOG_LIMIT_INTERVAL_MS;

// Times of lines of one kind (ms) and what each turn gives: -1 left out, else the count
// the written line tells. A line without a limit always goes out: test_forward's
// DeferredWithoutAServerIsOnlyLogged.
TEST(LogLimit, GivesOneLinePerInterval) {
    const struct {
        const char* name;
        std::vector<long long> times;
        std::vector<int> turns;
    } rows[] = {
        {"RepeatsWithinTheIntervalAreLeftOut", {5, 6, 5 + kInterval - 1}, {0, -1, -1}},
        {"TheNextLineTellsHowManyWereLeftOutSinceTheLast",
         {5, 6, 7, 8, 5 + kInterval, 5 + 2 * kInterval},
         {0, -1, -1, -1, 3, 0}},
        {"TheIntervalStartsAtTheLineWritten",
         {5, 5 + kInterval, 5 + kInterval + 1, 5 + 2 * kInterval},
         {0, 0, -1, 1}},
        {"AQuietSpellWritesTheNextAtOnce", {5, 5 + 10 * kInterval}, {0, 0}},
    };
    for (const auto& row : rows) {
        qnLogLimit limit{};
        std::vector<int> turns;
        for (long long at : row.times) turns.push_back(qnLogLimitTurn(&limit, at));
        EXPECT_EQ(turns, row.turns) << row.name;
    }
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
