#include "health.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "app_check.h"

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;
// A claim writes one name: microseconds. Readers pass over a claim that takes longer (its
// process may be held up); one whose process is gone frees the slot.
constexpr auto kClaimWait = std::chrono::milliseconds(100);

std::atomic<qnHealthBoard*> gShared{nullptr};
qnCheckSettings gSettings;

// The board of a process that shares none: made on first use, kept for the process's life.
qnHealthBoard* ownBoard() {
    static qnHealthBoard* board = [] {
        auto* made = new (std::nothrow) qnHealthBoard();
        if (made) qnHealthBoardInit(made);
        return made;
    }();
    return board;
}

void keepName(char (&field)[QN_SERVER_NAME_SIZE], const char* name) {
    snprintf(field, sizeof field, "%s", name ? name : "");
}

// A slot claimed by a process that is gone (killed in the middle of its claim) is free
// again: nobody else would ever end that claim.
bool claimerGone(qnHealthSlot& slot) {
    const pid_t claimer = slot.claimer.load(kRelaxed);
    if (claimer <= 0 || kill(claimer, 0) == 0 || errno != ESRCH) return false;
    int32_t state = QN_HEALTH_CLAIMING;
    slot.state.compare_exchange_strong(state, QN_HEALTH_FREE, std::memory_order_acq_rel);
    return true;
}

bool claimEnded(qnHealthSlot& slot) {
    const auto until = std::chrono::steady_clock::now() + kClaimWait;
    while (slot.state.load(std::memory_order_acquire) == QN_HEALTH_CLAIMING) {
        if (claimerGone(slot)) continue;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::yield();
    }
    return true;
}

// The slot moved from state to CLAIMING by this process.
bool beginClaim(qnHealthSlot& slot, int32_t state) {
    if (!slot.state.compare_exchange_strong(state, QN_HEALTH_CLAIMING, std::memory_order_acq_rel))
        return false;
    slot.claimer.store(int32_t(getpid()), kRelaxed);
    return true;
}

// A slot taken for name: its history and verdict start afresh, its first check is due.
void takeSlot(qnHealthSlot& slot, const char* name, int64_t nowMono) {
    keepName(slot.name, name);
    slot.nextCheckMono.store(0, kRelaxed);
    slot.wantedMono.store(nowMono, kRelaxed);
    slot.verdict.store(QN_HEALTH_UNKNOWN, kRelaxed);
    for (auto* field : {&slot.failsInRow, &slot.answersInRow, &slot.checking, &slot.lastError,
                        &slot.lastMillis, &slot.waiting, &slot.stalledWaiting, &slot.seenWaiting})
        field->store(0, kRelaxed);
    for (auto* field : {&slot.lastCheckAt, &slot.lastErrorAt, &slot.lastOkMono, &slot.changedAt,
                        &slot.changedMono, &slot.busySinceMono, &slot.roseMono, &slot.answeredMono,
                        &slot.appOkMono, &slot.stalledMono, &slot.stallEndedMono, &slot.stalledAt})
        field->store(0, kRelaxed);
    slot.nextInitMono.store(0, kRelaxed);
    slot.checks.store(0, kRelaxed);
    slot.answers.store(0, kRelaxed);
    slot.seenAnswers.store(0, kRelaxed);
    slot.failures.store(0, kRelaxed);
    slot.downMs.store(0, kRelaxed);
    slot.historyNext.store(0, kRelaxed);
    slot.state.store(QN_HEALTH_USED, std::memory_order_release);
}

// A used slot that nobody has wanted for a while, taken over for name; null when none is.
// Processes that look for the same new name at once pass the slots in the same order: one
// that finds a slot being claimed waits for the claim and takes the slot if it went to
// the name, so that they all end on one slot (one server, one schedule).
qnHealthSlot* takeOver(qnHealthBoard* board, const char* name, int64_t nowMono) {
    for (qnHealthSlot& slot : board->slots) {
        if (slot.state.load(std::memory_order_acquire) == QN_HEALTH_CLAIMING) claimEnded(slot);
        if (qnHealthOwns(&slot, name)) return &slot;
        const int64_t wanted = slot.wantedMono.load(kRelaxed);
        if (nowMono - wanted < QN_HEALTH_RECLAIM_MS || !beginClaim(slot, QN_HEALTH_USED)) {
            if (slot.state.load(std::memory_order_acquire) == QN_HEALTH_CLAIMING) claimEnded(slot);
            if (qnHealthOwns(&slot, name)) return &slot;
            continue;
        }
        // Wanted again in between: handed back as it was.
        if (slot.wantedMono.load(kRelaxed) != wanted) {
            slot.state.store(QN_HEALTH_USED, std::memory_order_release);
            if (qnHealthOwns(&slot, name)) return &slot;
            continue;
        }
        takeSlot(slot, name, nowMono);
        return &slot;
    }
    return nullptr;
}

// Slots are claimed in order, the first free one each time, so every process looking for
// a name passes the slot another claims for it before any free one, and waits there.
qnHealthSlot* lookUp(qnHealthBoard* board, const char* name, bool claim, int64_t nowMono) {
    if (!board || !name) return nullptr;
    for (qnHealthSlot& slot : board->slots) {
        int32_t state = slot.state.load(std::memory_order_acquire);
        if (state == QN_HEALTH_FREE) {
            if (!claim) return nullptr;
            if (beginClaim(slot, state)) {
                takeSlot(slot, name, nowMono);
                return &slot;
            }
        }
        if (state == QN_HEALTH_CLAIMING && !claimEnded(slot)) continue;
        if (qnHealthOwns(&slot, name)) {
            if (claim) slot.wantedMono.store(nowMono, kRelaxed);
            return &slot;
        }
    }
    return claim ? takeOver(board, name, nowMono) : nullptr;
}

void remember(qnHealthSlot* slot, int32_t verdict, int64_t nowMono, int64_t nowWall) {
    slot->changedAt.store(nowWall, kRelaxed);
    slot->changedMono.store(nowMono, kRelaxed);
    const uint32_t at = slot->historyNext.fetch_add(1, kRelaxed) % QN_HEALTH_HISTORY;
    slot->history[at].at.store(nowWall, kRelaxed);
    slot->history[at].verdict.store(verdict, kRelaxed);
}
}  // namespace

void qnSetHealthBoard(qnHealthBoard* board) { gShared.store(board); }

void qnSetCheckSettings(const qnCheckSettings& settings) { gSettings = settings; }

const qnCheckSettings& qnCheckSettingsInUse() { return gSettings; }

qnHealthBoard* qnHealthBoardInUse() {
    qnHealthBoard* shared = gShared.load();
    return shared ? shared : ownBoard();
}

void qnHealthBoardInit(qnHealthBoard* board) {
    for (qnHealthSlot& slot : board->slots) slot.state.store(QN_HEALTH_FREE, kRelaxed);
}

qnHealthSlot* qnHealthFor(qnHealthBoard* board, const char* name, int64_t nowMono) {
    return lookUp(board, name, true, nowMono);
}

qnHealthSlot* qnHealthFind(qnHealthBoard* board, const char* name) {
    return lookUp(board, name, false, 0);
}

bool qnHealthOwns(const qnHealthSlot* slot, const char* name) {
    if (!slot || !name || slot->state.load(std::memory_order_acquire) != QN_HEALTH_USED)
        return false;
    char kept[QN_SERVER_NAME_SIZE];
    snprintf(kept, sizeof kept, "%s", name);
    return strcmp(slot->name, kept) == 0;
}

bool qnHealthClaim(qnHealthSlot* slot, int64_t nowMono, int32_t pid) {
    int64_t due = slot->nextCheckMono.load(kRelaxed);
    if (nowMono < due) return false;
    // A check runs at most its time-out: the next is never claimed before it ends.
    const int64_t next = nowMono + std::max(gSettings.intervalMs, gSettings.timeoutMs);
    if (!slot->nextCheckMono.compare_exchange_strong(due, next, kRelaxed)) return false;
    slot->checking.store(pid, kRelaxed);
    return true;
}

bool qnHealthClaimInit(qnHealthSlot* slot, int64_t nowMono) {
    int64_t due = slot->nextInitMono.load(kRelaxed);
    return nowMono >= due && slot->nextInitMono.compare_exchange_strong(
                                 due, nowMono + gSettings.intervalMs, kRelaxed);
}

void qnHealthCheckSoon(qnHealthSlot* slot) {
    if (slot) slot->nextCheckMono.store(0, kRelaxed);
}

int qnHealthRecord(qnHealthSlot* slot, int error, int millis, int64_t nowMono, int64_t nowWall,
                   int64_t* downForMs) {
    if (downForMs) *downForMs = 0;
    slot->checking.store(0, kRelaxed);
    if (qnLocalFailure(error)) return QN_HEALTH_SAME;
    slot->checks.fetch_add(1, kRelaxed);
    slot->lastMillis.store(millis, kRelaxed);
    slot->lastCheckAt.store(nowWall, kRelaxed);
    int32_t verdict = slot->verdict.load(kRelaxed);
    if (error == 0) {
        slot->failsInRow.store(0, kRelaxed);
        const int32_t answers = slot->answersInRow.fetch_add(1, kRelaxed) + 1;
        // The check's start, not its end: an answer sent before a process found the server
        // gone must not count as news that it is back.
        slot->lastOkMono.store(nowMono - millis, kRelaxed);
        if (verdict == QN_HEALTH_DOWN && answers < gSettings.rise) {
            // Checked again at once, as a miss is confirmed.
            slot->nextCheckMono.store(0, kRelaxed);
            return QN_HEALTH_SAME;
        }
        if (verdict == QN_HEALTH_UP ||
            !slot->verdict.compare_exchange_strong(verdict, QN_HEALTH_UP, kRelaxed))
            return QN_HEALTH_SAME;
        const int64_t since = slot->changedMono.load(kRelaxed);
        remember(slot, QN_HEALTH_UP, nowMono, nowWall);
        if (verdict != QN_HEALTH_DOWN) return QN_HEALTH_SAME;
        if (since) slot->downMs.fetch_add(nowMono - since, kRelaxed);
        if (downForMs) *downForMs = since ? nowMono - since : 0;
        return QN_HEALTH_CAME_UP;
    }
    slot->answersInRow.store(0, kRelaxed);
    slot->failures.fetch_add(1, kRelaxed);
    slot->lastError.store(error, kRelaxed);
    slot->lastErrorAt.store(nowWall, kRelaxed);
    const int32_t misses = slot->failsInRow.fetch_add(1, kRelaxed) + 1;
    if (misses < gSettings.fall) {
        // One miss may be chance: the next check confirms it at once.
        if (verdict != QN_HEALTH_DOWN) slot->nextCheckMono.store(0, kRelaxed);
        return QN_HEALTH_SAME;
    }
    if (verdict == QN_HEALTH_DOWN ||
        !slot->verdict.compare_exchange_strong(verdict, QN_HEALTH_DOWN, kRelaxed))
        return QN_HEALTH_SAME;
    remember(slot, QN_HEALTH_DOWN, nowMono, nowWall);
    return QN_HEALTH_WENT_DOWN;
}

bool qnLocalFailure(int error) {
    switch (error) {
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case ECANCELED:
            return true;
        default:
            return false;
    }
}

bool qnHealthSilent(const qnHealthSlot* slot, const char* name) {
    if (!slot || slot->verdict.load(kRelaxed) != QN_HEALTH_DOWN) return false;
    const int error = slot->lastError.load(kRelaxed);
    return (error == EQUON_RESPONSE_TIMEOUT || error == ETIMEDOUT) && qnHealthOwns(slot, name);
}

const char* qnCheckReason(int error) {
    switch (error) {
        case 0:
            return "answered";
        case ECONNREFUSED:
            return "connection refused";
        case ETIMEDOUT:
            return "no connection in time";
        case EQUON_RESPONSE_TIMEOUT:
            return "no answer in time";
        case ECONNRESET:
        case EPIPE:
            return "connection closed";
        case QN_CHECK_PROTOCOL:
            return "protocol error";
        case EHOSTUNREACH:
        case ENETUNREACH:
            return "host unreachable";
        case EDESTADDRREQ:
            return "no address";
        case QN_CHECK_APP_STATUS:
            return "the application answered no status";
        default:
            break;
    }
    if (error > QN_CHECK_APP_STATUS && error < QN_CHECK_APP_STATUS_END) {
        // One buffer per thread: the checker and the status page may ask at once.
        thread_local char text[48];
        snprintf(text, sizeof text, "the application answered %d", error - QN_CHECK_APP_STATUS);
        return text;
    }
    return strerror(error);
}
