// Records of the health checks that every process of the web server shares: one slot per
// back-end server (by name, whatever virtual servers list it), with the schedule of its
// next check, the verdict of the checks so far and their history. Any child may run a
// server's check; it claims it by moving the slot's next check time forward, so that the
// whole web server checks each server about once per interval, however many children it
// runs. Updated with relaxed atomics only, never under a lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "request_types.h"

// Server slots of the board; a server past them is not checked (its requests still tell
// when it is down).
inline constexpr int QN_HEALTH_SLOTS = 512;
// Verdict changes a slot remembers, the newest overwriting the oldest.
inline constexpr int QN_HEALTH_HISTORY = 32;

// By default: how often a server is checked, how long a check may take, how many checks
// in a row it must miss before it is taken out of rotation, and how many it must answer in
// a row to come back. A miss is confirmed by a check at once, so a server that stops
// answering is out within an interval and two time-outs: under three seconds.
inline constexpr int QN_CHECK_INTERVAL_MS = 1000;
inline constexpr int QN_CHECK_TIMEOUT_MS = 800;
inline constexpr int QN_CHECK_FALL = 2;
inline constexpr int QN_CHECK_RISE = 1;

// The checks' settings of the web server (QuonConfig checkinterval, checktimeout,
// checkfall, checkrise), the same in every process.
struct qnCheckSettings {
    int intervalMs = QN_CHECK_INTERVAL_MS;
    int timeoutMs = QN_CHECK_TIMEOUT_MS;
    int fall = QN_CHECK_FALL;
    int rise = QN_CHECK_RISE;
};
// A slot that no process has asked for this long may be given to another server.
inline constexpr int64_t QN_HEALTH_RECLAIM_MS = 60000;

// The verdict of a server's checks.
inline constexpr int32_t QN_HEALTH_UNKNOWN = -1;  // not checked yet
inline constexpr int32_t QN_HEALTH_DOWN = 0;
inline constexpr int32_t QN_HEALTH_UP = 1;

// States of a slot (as the counter slots'): free, being claimed, in use.
inline constexpr int32_t QN_HEALTH_FREE = 0;
inline constexpr int32_t QN_HEALTH_CLAIMING = 1;
inline constexpr int32_t QN_HEALTH_USED = 2;

// A check that failed without a system error: the server answered out of protocol, or
// closed the connection before its answer ended.
inline constexpr int QN_CHECK_PROTOCOL = EQUON_OUT_OF_SYNC;

// One change of verdict: when (milliseconds since the epoch) and to what.
struct qnHealthChange {
    std::atomic<int64_t> at;
    std::atomic<int32_t> verdict;
};

// Times named "Mono" are milliseconds of the monotonic clock, which every process of the
// machine shares; the others are milliseconds since the epoch, for people to read.
struct alignas(64) qnHealthSlot {
    std::atomic<int32_t> state;    // QN_HEALTH_FREE ...; the name is fixed once it is USED
    std::atomic<int32_t> claimer;  // the process that claims the slot while it is CLAIMING
    char name[QN_SERVER_NAME_SIZE];
    std::atomic<int64_t> nextCheckMono;  // claimed by moving it forward; 0: due now
    std::atomic<int64_t> wantedMono;     // when a process last looked for this server
    std::atomic<int32_t> verdict;        // QN_HEALTH_*
    std::atomic<int32_t> failsInRow;
    std::atomic<int32_t> answersInRow;
    std::atomic<int32_t> checking;     // pid of the process whose check is in flight, or 0
    std::atomic<int32_t> lastError;    // of the last failed check: errno or EQUON_*; 0: none
    std::atomic<int32_t> lastMillis;   // how long the last check took
    std::atomic<int64_t> lastCheckAt;  // when the last check ended
    std::atomic<int64_t> lastErrorAt;
    std::atomic<int64_t> lastOkMono;  // when the last check that succeeded began; 0: never
    std::atomic<int64_t> changedAt;   // the last change of verdict; 0: none yet
    std::atomic<int64_t> changedMono;
    std::atomic<uint64_t> checks;
    std::atomic<uint64_t> failures;
    std::atomic<int64_t> downMs;  // the verdict's down periods that ended, added up
    std::atomic<uint32_t> historyNext;  // changes recorded so far; the next goes at % size
    // When requests may next bring a table's first initialisation from this bootstrap
    // server forward, in any process; claimed by moving it forward.
    std::atomic<int64_t> nextInitMono;
    qnHealthChange history[QN_HEALTH_HISTORY];
    // What the server's requests tell of its application (stall.h), over every process:
    // the requests that wait for the first byte of an answer, since when some have
    // (0: none), how many the last review saw and when one saw more than the one before,
    // when it last answered one (as a review found the answers counted) or an application
    // check, and since when it counts as stalled (0: it does not) with how many were
    // waiting then.
    std::atomic<int32_t> waiting;
    std::atomic<int32_t> stalledWaiting;
    std::atomic<int32_t> seenWaiting;
    std::atomic<uint64_t> answers;      // requests whose answer began, ever
    std::atomic<uint64_t> seenAnswers;  // as the last review saw them
    std::atomic<int64_t> busySinceMono;
    std::atomic<int64_t> roseMono;
    std::atomic<int64_t> answeredMono;
    std::atomic<int64_t> appOkMono;  // the start of the last application check answered
    std::atomic<int64_t> stalledMono;
    std::atomic<int64_t> stallEndedMono;
    std::atomic<int64_t> stalledAt;  // the same moment as stalledMono, for people
};

struct qnHealthBoard {
    qnHealthSlot slots[QN_HEALTH_SLOTS];
};
