// Locks, the process-wide pool their mutexes come from, and the millisecond clock.
//
// Lock order, where a thread holds several: a table's initLock, then its tableLock,
// then a proxy's lock. Nothing is locked while a proxy's lock is held; a proxy's
// metrics lock is taken alone. Locks are not recursive.
#pragma once

#include <sys/time.h>

#include "export.h"
#include "request_types.h"
#include "sync_types.h"

struct apr_pool_t;

// The pool every mutex of the process comes from (null until initQuonMutexPool).
extern apr_pool_t* quon_apr_pool;

QN_EXPORT void initQuonMutexPool(void);
QN_EXPORT void freeQuonMutexPool(void);
// A freed mutex is kept, unlocked, for the next initSync: memory taken from the pool
// is never given back before the pool is cleared, so it is reused instead.
QN_EXPORT void initSync(quon_request* req, apr_thread_mutex_t** mutex, int32_t* held);
QN_EXPORT void freeSync(quon_request* req, apr_thread_mutex_t** mutex);
QN_EXPORT void startSync(quon_request* req, apr_thread_mutex_t** mutex, int32_t* held);
QN_EXPORT void stopSync(quon_request* req, apr_thread_mutex_t** mutex, int32_t* held);

QN_EXPORT void gtod(struct timeval* tv);
QN_EXPORT unsigned int tvToMillis(const struct timeval* tv);

// The millisecond clock now: wraps at 32 bits, only differences mean anything.
unsigned int nowMillis();

// Messages that arise where no quon_request exists go through this seam at a level
// (QN_LOG_*); the web-server module points it at its error log.
typedef void (*qnSystemLogFn)(int level, const char* message);
void qnSetSystemLog(qnSystemLogFn sink);

// Holds a syncLock for the life of a scope, so that no early return leaves it taken.
class SyncGuard {
public:
    SyncGuard(quon_request* req, syncLock& lock) : req_(req), lock_(lock) {
        startSync(req_, &lock_.mutex, &lock_.held);
    }
    ~SyncGuard() { unlock(); }
    // Releases the lock before the end of the scope; later calls do nothing.
    void unlock() {
        if (!locked_) return;
        locked_ = false;
        stopSync(req_, &lock_.mutex, &lock_.held);
    }
    // Takes the lock again after unlock(); the scope's end releases it as before.
    void relock() {
        if (locked_) return;
        startSync(req_, &lock_.mutex, &lock_.held);
        locked_ = true;
    }
    SyncGuard(const SyncGuard&) = delete;
    SyncGuard& operator=(const SyncGuard&) = delete;

private:
    quon_request* req_;
    syncLock& lock_;
    bool locked_ = true;
};

// initSync/freeSync on a whole syncLock.
inline void initLock(quon_request* req, syncLock& lock) { initSync(req, &lock.mutex, &lock.held); }
inline void freeLock(quon_request* req, syncLock& lock) { freeSync(req, &lock.mutex); }
