// Locks, their failure reports and memory, the millisecond clock, and a multi-threaded
// run of locks (also run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "recording_request.h"
#include "sync.h"

#if defined(__SANITIZE_THREAD__)
#define QN_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QN_TEST_TSAN 1
#endif
#endif

TEST(Locks, BrokenMutexIsDetectedThroughTheRecordOnly) {
    RecordingRequest req;
    syncLock lock;
    initLock(req.get(), lock);
    for (quon_request* reporter : {req.get(), static_cast<quon_request*>(nullptr)}) {
        lock.held = 1;  // as if another thread held it
        startSync(reporter, &lock.mutex, &lock.held);
        EXPECT_EQ(lock.held, 1);
        lock.held = 0;  // as if it had been released behind the mutex's back
        stopSync(reporter, &lock.mutex, &lock.held);
        EXPECT_EQ(lock.held, 0);
    }
    // Reported once each, through the record only: without one there is nowhere to write.
    EXPECT_EQ(req.count("log", "startSync - detected broken mutex!"), 1) << req.dump();
    EXPECT_EQ(req.count("log", "stopSync - detected broken mutex!"), 1);
    EXPECT_EQ(req.lines.size(), 2u);
    SyncGuard stillWorks(req.get(), lock);
    stillWorks.unlock();
    freeLock(req.get(), lock);
}

TEST(Locks, FailuresWithoutARecordGoToTheSystemLog) {
    using Lines = std::vector<std::pair<int, std::string>>;
    static Lines lines;
    qnSetSystemLog([](int level, const char* text) { lines.emplace_back(level, text); });
    apr_pool_t* pool = quon_apr_pool;
    quon_apr_pool = nullptr;  // no pool: the mutex cannot be made
    syncLock lock{nullptr, 7};
    initSync(nullptr, &lock.mutex, &lock.held);
    quon_apr_pool = pool;
    EXPECT_EQ(lock.held, 0);
    startSync(nullptr, &lock.mutex, &lock.held);
    stopSync(nullptr, &lock.mutex, &lock.held);
    freeSync(nullptr, &lock.mutex);
    qnSetSystemLog(nullptr);
    EXPECT_EQ(lines, (Lines{{QN_LOG_CRIT, "initSync - error in mutex initialization!"},
                            {QN_LOG_CRIT, "startSync - error while locking mutex!"},
                            {QN_LOG_CRIT, "stopSync - error while unlocking mutex!"},
                            {QN_LOG_WARN, "freeSync - could not destroy the mutex!"}}));
}

// A bootstrap server that stays down makes and destroys a proxy, and its lock, on every
// request: that must not grow the process.
TEST(Locks, MakingAndDestroyingDoesNotGrowTheProcess) {
#ifdef QN_TEST_TSAN
    GTEST_SKIP() << "ThreadSanitizer builds destroy freed mutexes instead of keeping them";
#endif
    auto residentKiB = [] {
        long pages = 0, resident = 0;
        FILE* statm = fopen("/proc/self/statm", "r");
        if (!statm || fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = -1;
        if (statm) fclose(statm);
        return resident * (sysconf(_SC_PAGESIZE) / 1024);
    };
    syncLock lock;
    auto cycles = [&](int n) {
        for (int i = 0; i < n; ++i) {
            initLock(nullptr, lock);
            freeLock(nullptr, lock);
        }
    };
    cycles(1000);
    long before = residentKiB();
    cycles(100000);
    EXPECT_LT(residentKiB() - before, 512) << "KiB more after 100,000 locks";
}

TEST(Clock, MillisecondsWrapAndDifferencesSurviveTheWrap) {
    timeval a{5, 999999}, beforeWrap{4294967, 290000}, afterWrap{4294967, 305000};
    EXPECT_EQ(tvToMillis(&a), 5999u);
    EXPECT_EQ(tvToMillis(&afterWrap) - tvToMillis(&beforeWrap), 15u);  // 2^32 ms lies between
}

// Threads share one lock while each makes and frees locks of its own, so that kept
// mutexes pass between threads: the counter is exact and no mutex is reported broken.
TEST(Locks, ThreadsShareALockWhileOthersComeAndGo) {
    constexpr int kThreads = 8, kRounds = 2000;
    syncLock shared;
    initLock(nullptr, shared);
    long counter = 0;
    std::atomic<int> reports{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            RecordingRequest req;
            for (int i = 0; i < kRounds; ++i) {
                syncLock own;
                initLock(req.get(), own);
                SyncGuard first(req.get(), own), second(req.get(), shared);
                ++counter;
                second.unlock();
                first.unlock();
                freeLock(req.get(), own);
            }
            reports += int(req.lines.size());
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, long(kThreads) * kRounds);
    EXPECT_EQ(reports.load(), 0);
    freeLock(nullptr, shared);
}
