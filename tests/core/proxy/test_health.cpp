// The shared health board: what a run of check outcomes makes of a server's verdict, who
// gets to check and when, and how slots are found, shared and taken over.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "health.h"
#include "proxy_helpers.h"

namespace {
// A board of its own for each test, as the web server's shared memory would hold it.
struct Board {
    Board() : board(std::make_unique<qnHealthBoard>()) { qnHealthBoardInit(board.get()); }
    qnHealthSlot* slot(const char* name, int64_t now = 1000) {
        return qnHealthFor(board.get(), name, now);
    }
    std::unique_ptr<qnHealthBoard> board;
};

struct Outcomes {
    const char* what;
    std::vector<int> errors;   // each check's outcome in turn: 0 answered
    std::vector<int> changes;  // what each record returned
    int32_t verdict;
};

class Verdicts : public ::testing::TestWithParam<Outcomes> {};

TEST_P(Verdicts, FollowTheChecks) {
    const Outcomes& run = GetParam();
    Board b;
    qnHealthSlot* slot = b.slot("127.0.0.2:8009");
    int64_t now = 5000;
    std::vector<int> changes;
    for (int error : run.errors) {
        now += 1000;
        int64_t downFor = -1;
        changes.push_back(qnHealthRecord(slot, error, 3, now, now + 1'700'000'000'000, &downFor));
        if (changes.back() == QN_HEALTH_CAME_UP) {
            EXPECT_GT(downFor, 0);
        }
    }
    EXPECT_EQ(changes, run.changes);
    EXPECT_EQ(slot->verdict.load(), run.verdict);
    // A check that failed for want of a descriptor here is no check of the server.
    const auto count = [&](auto counts) {
        return uint64_t(std::count_if(run.errors.begin(), run.errors.end(), counts));
    };
    EXPECT_EQ(slot->failures.load(), count([](int e) { return e != 0 && e != EMFILE; }));
    EXPECT_EQ(slot->checks.load(), count([](int e) { return e != EMFILE; }));
    // An answer counts from its check's start (3 ms before its end).
    const bool answered = !run.errors.empty() && run.errors.back() == 0;
    if (answered) {
        EXPECT_EQ(slot->lastOkMono.load(), now - 3);
    }
}

constexpr int S = QN_HEALTH_SAME, D = QN_HEALTH_WENT_DOWN, U = QN_HEALTH_CAME_UP;
constexpr int X = EQUON_RESPONSE_TIMEOUT, R = ECONNREFUSED;
constexpr int32_t kUp = QN_HEALTH_UP, kDown = QN_HEALTH_DOWN, kUnknown = QN_HEALTH_UNKNOWN;

INSTANTIATE_TEST_SUITE_P(
    Health, Verdicts,
    ::testing::Values(
        Outcomes{"nothing yet", {}, {}, kUnknown},
        Outcomes{"a first answer is no comeback", {0}, {S}, kUp},
        Outcomes{"two misses take a new server down", {R, X}, {S, D}, kDown},
        Outcomes{"one miss is chance", {0, X, 0, X, 0}, {S, S, S, S, S}, kUp},
        Outcomes{"two misses in a row", {0, X, X, X}, {S, S, D, S}, kDown},
        Outcomes{"one answer brings it back", {0, R, R, 0}, {S, S, D, U}, kUp},
        Outcomes{"down and up again, twice", {0, R, R, 0, X, X, 0}, {S, S, D, U, S, D, U}, kUp},
        Outcomes{
            "this process out of descriptors", {0, EMFILE, EMFILE, EMFILE}, {S, S, S, S}, kUp}),
    [](const auto& info) { return testName(info.param.what); });

// With checkfall 3 and checkrise 2, three misses in a row take a server out and two answers
// in a row bring it back (a first answer makes the next check due at once); the claims
// follow checkinterval.
TEST(Health, TheSettingsOfTheServerDecide) {
    qnSetCheckSettings({2000, 500, 3, 2});
    Board b;
    qnHealthSlot* slot = b.slot("a:1");
    std::vector<int> changes;
    int64_t now = 1000;
    for (int error : {0, X, X, X, 0, X, 0, 0}) {
        now += 10;
        changes.push_back(qnHealthRecord(slot, error, 1, now, now, nullptr));
    }
    EXPECT_EQ(changes, (std::vector<int>{S, S, S, D, S, S, S, U}));
    EXPECT_TRUE(qnHealthClaim(slot, now + 1, 1));
    EXPECT_FALSE(qnHealthClaim(slot, now + 2000, 1));
    EXPECT_TRUE(qnHealthClaim(slot, now + 2001, 1));
    qnSetCheckSettings({});
}

// One miss makes the next check due at once, so it is confirmed or refuted without the
// interval's wait; a server already down waits its interval.
TEST(Health, AMissIsConfirmedAtOnceAndTheHistoryKeepsTheLastChanges) {
    Board b;
    qnHealthSlot* slot = b.slot("a:1");
    ASSERT_TRUE(qnHealthClaim(slot, 10'000, 1));
    EXPECT_FALSE(qnHealthClaim(slot, 10'000 + QN_CHECK_INTERVAL_MS - 1, 2));
    qnHealthRecord(slot, X, 800, 10'800, 0, nullptr);
    EXPECT_TRUE(qnHealthClaim(slot, 10'801, 2));
    qnHealthRecord(slot, X, 800, 11'600, 0, nullptr);
    EXPECT_FALSE(qnHealthClaim(slot, 11'601, 1));
    for (int k = 0; k < QN_HEALTH_HISTORY + 5; ++k) {
        qnHealthRecord(slot, 0, 1, 20'000 + 4 * k, 100 + 4 * k, nullptr);
        qnHealthRecord(slot, R, 1, 20'001 + 4 * k, 101 + 4 * k, nullptr);
        qnHealthRecord(slot, R, 1, 20'002 + 4 * k, 102 + 4 * k, nullptr);
    }
    const uint32_t next = slot->historyNext.load();
    EXPECT_EQ(next, 1u + 2u * (QN_HEALTH_HISTORY + 5));
    const qnHealthChange& newest = slot->history[(next - 1) % QN_HEALTH_HISTORY];
    EXPECT_EQ(newest.verdict.load(), kDown);
    EXPECT_EQ(newest.at.load(), 102 + 4 * (QN_HEALTH_HISTORY + 4));
    qnHealthCheckSoon(slot);
    EXPECT_TRUE(qnHealthClaim(slot, 20'500, 1));
}

// Of many processes' threads that find a check due at once, exactly one claims it.
TEST(Health, OneClaimPerInterval) {
    Board b;
    qnHealthSlot* slot = b.slot("a:1");
    std::atomic<int> claimed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] { claimed += qnHealthClaim(slot, 50'000, t + 1) ? 1 : 0; });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(claimed.load(), 1);
    EXPECT_TRUE(qnHealthClaim(slot, 50'000 + QN_CHECK_INTERVAL_MS, 9));
}

// A name has one slot; a full board gives none, until a slot nobody has wanted for a
// while is taken over, afresh.
TEST(Health, SlotsAreSharedByNameAndTakenOverWhenNobodyWantsThem) {
    Board b;
    qnHealthSlot* first = b.slot("s0:1", 1000);
    EXPECT_EQ(b.slot("s0:1", 1000), first);
    EXPECT_EQ(qnHealthFind(b.board.get(), "s0:1"), first);
    EXPECT_EQ(qnHealthFind(b.board.get(), "nobody:1"), nullptr);
    for (int k = 1; k < QN_HEALTH_SLOTS; ++k)
        ASSERT_NE(b.slot(("s" + std::to_string(k) + ":1").c_str(), 1000), nullptr) << k;
    qnHealthSlot* second = b.slot("s1:1", 1000);
    qnHealthRecord(second, R, 1, 1000, 1, nullptr);
    const int64_t late = 1000 + QN_HEALTH_RECLAIM_MS;
    EXPECT_EQ(b.slot("new:1", late - 1), nullptr);
    EXPECT_EQ(b.slot("s0:1", late - 1), first);  // wanted again: kept
    qnHealthSlot* taken = b.slot("new:1", late);
    EXPECT_EQ(taken, second);
    EXPECT_TRUE(qnHealthOwns(taken, "new:1"));
    EXPECT_FALSE(qnHealthOwns(taken, "s1:1"));
    EXPECT_EQ(taken->failures.load(), 0u);
    EXPECT_EQ(taken->verdict.load(), kUnknown);
}

// Only a server the checks found silent (not one that refuses) is kept from a probe.
TEST(Health, SilentMeansDownForWantOfAnAnswer) {
    Board b;
    qnHealthSlot* slot = b.slot("a:1");
    EXPECT_FALSE(qnHealthSilent(slot, "a:1"));
    qnHealthRecord(slot, R, 1, 1, 1, nullptr);
    qnHealthRecord(slot, R, 1, 2, 2, nullptr);
    EXPECT_FALSE(qnHealthSilent(slot, "a:1"));
    qnHealthRecord(slot, X, 1, 3, 3, nullptr);
    EXPECT_TRUE(qnHealthSilent(slot, "a:1"));
    EXPECT_FALSE(qnHealthSilent(slot, "b:1"));
    EXPECT_FALSE(qnHealthSilent(nullptr, "a:1"));
}
}  // namespace

namespace {
// A board in memory that a forked process shares, every slot used by a server nobody has
// wanted since time 0.
qnHealthBoard* sharedStaleBoard() {
    void* memory = mmap(nullptr, sizeof(qnHealthBoard), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<qnHealthBoard*>(memory);
}

void fillStale(qnHealthBoard* board) {
    memset(static_cast<void*>(board), 0, sizeof *board);
    for (int k = 0; k < QN_HEALTH_SLOTS; ++k) {
        snprintf(board->slots[k].name, sizeof board->slots[k].name, "old%d:1", k);
        board->slots[k].state.store(QN_HEALTH_USED);
    }
}
}  // namespace

// Two processes take over a slot nobody wants for the same new name at the same moment,
// round after round: they end on one slot (one server, one schedule).
TEST(Health, TwoProcessesTakingOverForOneNameEndOnOneSlot) {
    constexpr int kRounds = 150;
    struct Rounds {
        std::atomic<int> go, done;
        int childSlot[kRounds];
    };
    qnHealthBoard* board = sharedStaleBoard();
    auto* rounds = static_cast<Rounds*>(
        mmap(nullptr, sizeof(Rounds), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_TRUE(board && rounds != MAP_FAILED);
    rounds->go.store(-1);
    rounds->done.store(-1);
    auto takeOver = [board](int round) {
        const std::string name = "new" + std::to_string(round) + ":1";
        return int(qnHealthFor(board, name.c_str(), QN_HEALTH_RECLAIM_MS + 1) - board->slots);
    };
    const pid_t child = fork();
    if (child == 0) {
        for (int r = 0; r < kRounds; ++r) {
            while (rounds->go.load() != r) {
            }
            rounds->childSlot[r] = takeOver(r);
            rounds->done.store(r);
        }
        _exit(0);
    }
    int apart = 0;
    for (int r = 0; r < kRounds; ++r) {
        fillStale(board);
        rounds->go.store(r);
        const int mine = takeOver(r);
        while (rounds->done.load() != r) {
        }
        apart += mine != rounds->childSlot[r];
    }
    waitpid(child, nullptr, 0);
    EXPECT_EQ(apart, 0) << "of " << kRounds << " rounds";
    munmap(rounds, sizeof(Rounds));
    munmap(board, sizeof(qnHealthBoard));
}

// A slot left being claimed by a process that died in its claim is freed by the next look
// that passes it, and taken again; a claim of a live process is waited for, not freed.
TEST(Health, AClaimOfADeadProcessIsFreed) {
    Board b;
    qnHealthSlot* first = b.slot("a:1");
    const pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    for (const pid_t claimer : {getpid(), dead}) {
        first->state.store(QN_HEALTH_CLAIMING);
        first->claimer.store(claimer);
        qnHealthSlot* found = qnHealthFind(b.board.get(), "b:1");
        EXPECT_EQ(found, nullptr);
        EXPECT_EQ(first->state.load(), claimer == dead ? QN_HEALTH_FREE : QN_HEALTH_CLAIMING);
    }
    EXPECT_EQ(b.slot("b:1"), first);
}
