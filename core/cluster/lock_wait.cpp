#include "lock_wait.h"
#include "clock.h"

#ifdef QUON_LOCK_WAIT_STATS
#include <atomic>

namespace {
// Totals of every table of the process; waits of 1 ms or more are counted apart.
std::atomic<uint64_t> gCount{0}, gTotalNanos{0}, gMaxNanos{0}, gSlowCount{0};
constexpr int64_t kSlowNanos = 1000000;

}  // namespace

LockWaitStart::LockWaitStart() : startedNanos_(qnMonoNanos()) {}

TimedSyncGuard::TimedSyncGuard(quon_request* req, syncLock& lock)
    : LockWaitStart(), SyncGuard(req, lock) {
    const auto waited = uint64_t(qnMonoNanos() - startedNanos_);
    gCount.fetch_add(1, std::memory_order_relaxed);
    gTotalNanos.fetch_add(waited, std::memory_order_relaxed);
    if (waited >= uint64_t(kSlowNanos)) gSlowCount.fetch_add(1, std::memory_order_relaxed);
    uint64_t seen = gMaxNanos.load(std::memory_order_relaxed);
    while (waited > seen && !gMaxNanos.compare_exchange_weak(seen, waited)) {
    }
}

void reportTableLockWaits(quon_request* req) {
    const uint64_t count = gCount.load();
    const double total = double(gTotalNanos.load()) / 1000.0;
    req->logAt(req, QN_LOG_NOTICE,
               "tableLock waits: %llu acquisitions, %.0f us in total, %.3f us mean, %.0f us max, "
               "%llu of 1 ms or more",
               (unsigned long long)count, total, count ? total / double(count) : 0.0,
               double(gMaxNanos.load()) / 1000.0, (unsigned long long)gSlowCount.load());
}
#endif
