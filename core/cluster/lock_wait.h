// How long requests wait to take a table's lock. Built with QUON_LOCK_WAIT_STATS (the
// lock-wait bench build), filtering and the choice of a server time their acquisition of
// tableLock and the totals of the process are logged when its tables are deleted; the
// normal build takes the lock with a plain SyncGuard and nothing is counted.
#pragma once

#include "request_types.h"
#include "sync.h"

#ifdef QUON_LOCK_WAIT_STATS
#include <cstdint>

// The clock reading before the lock is asked for; a base of TimedSyncGuard so that it
// is taken before the guard's own constructor waits.
class LockWaitStart {
protected:
    LockWaitStart();
    int64_t startedNanos_;
};

// A SyncGuard whose acquisition is added to the process's totals.
class TimedSyncGuard : private LockWaitStart, public SyncGuard {
public:
    TimedSyncGuard(quon_request* req, syncLock& lock);
};

// Logs "tableLock waits: ..." through req.
void reportTableLockWaits(quon_request* req);
#else
using TimedSyncGuard = SyncGuard;
inline void reportTableLockWaits(quon_request*) {}
#endif
