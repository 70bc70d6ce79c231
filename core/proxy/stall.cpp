#include "stall.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;

// Since when the waiting requests have had no answer.
int64_t quietSince(const qnHealthSlot* slot) {
    return std::max(slot->busySinceMono.load(kRelaxed), slot->answeredMono.load(kRelaxed));
}
}  // namespace

void qnStallBegin(quon_request* req, const quonProxy* proxy) {
    qnHealthSlot* slot = proxy->health.load(kRelaxed);
    req->stallSlot = slot;
    if (slot) slot->waiting.fetch_add(1, kRelaxed);
}

void qnStallAnswered(quon_request* req) {
    qnHealthSlot* slot = req->stallSlot;
    req->stallSlot = nullptr;
    slot->waiting.fetch_sub(1, kRelaxed);
    slot->answers.fetch_add(1, kRelaxed);
}

void qnStallEnd(quon_request* req) {
    if (qnHealthSlot* slot = req->stallSlot) slot->waiting.fetch_sub(1, kRelaxed);
    req->stallSlot = nullptr;
}

void qnStallNoteBusy(qnHealthSlot* slot, int64_t nowMono) {
    const int32_t waiting = slot->waiting.load(kRelaxed);
    if (waiting > slot->seenWaiting.exchange(waiting, kRelaxed))
        slot->roseMono.store(nowMono, kRelaxed);
    // The request path counts answers without reading a clock; a review dates them.
    const uint64_t answers = slot->answers.load(kRelaxed);
    if (answers != slot->seenAnswers.exchange(answers, kRelaxed))
        slot->answeredMono.store(nowMono, kRelaxed);
    if (waiting <= 0) {
        slot->busySinceMono.store(0, kRelaxed);
        return;
    }
    int64_t none = 0;
    slot->busySinceMono.compare_exchange_strong(none, nowMono, kRelaxed);
}

// Requests must have come and waited since the last answer: a count that stands still on
// a quiet server is no news (a process that died in an exchange never took its part of
// the count back).
int64_t qnStuckForMs(const qnHealthSlot* slot, int64_t nowMono) {
    const int64_t since = quietSince(slot);
    if (slot->waiting.load(kRelaxed) < QN_STALL_WAITING ||
        slot->busySinceMono.load(kRelaxed) == 0 || slot->roseMono.load(kRelaxed) < since)
        return 0;
    return nowMono - since >= QN_STALL_AFTER_MS ? nowMono - since : 0;
}

bool qnStalled(const qnHealthSlot* slot) { return slot->stalledMono.load(kRelaxed) != 0; }

bool qnAnswering(const qnHealthSlot* slot, int64_t nowMono) {
    return slot->verdict.load(kRelaxed) != QN_HEALTH_DOWN && !qnStalled(slot) &&
           qnStuckForMs(slot, nowMono) == 0;
}

int qnStallReview(qnHealthSlot* slot, bool othersAnswer, int64_t nowMono, int64_t nowWall,
                  int64_t* stalledForMs) {
    if (stalledForMs) *stalledForMs = 0;
    qnStallNoteBusy(slot, nowMono);
    int64_t since = slot->stalledMono.load(kRelaxed);
    if (since == 0) {
        if (!othersAnswer || qnStuckForMs(slot, nowMono) == 0) return QN_STALL_SAME;
        slot->stalledWaiting.store(slot->waiting.load(kRelaxed), kRelaxed);
        if (!slot->stalledMono.compare_exchange_strong(since, nowMono, kRelaxed))
            return QN_STALL_SAME;
        slot->stalledAt.store(nowWall, kRelaxed);
        return QN_STALL_BEGAN;
    }
    const bool answered =
        slot->answeredMono.load(kRelaxed) > since || slot->appOkMono.load(kRelaxed) > since;
    const bool down = slot->verdict.load(kRelaxed) == QN_HEALTH_DOWN;
    const bool retry = slot->waiting.load(kRelaxed) <= 0 && nowMono - since >= QN_STALL_RETRY_MS;
    if (!answered && othersAnswer && !down && !retry) return QN_STALL_SAME;
    if (!slot->stalledMono.compare_exchange_strong(since, 0, kRelaxed)) return QN_STALL_SAME;
    slot->stallEndedMono.store(nowMono, kRelaxed);
    if (stalledForMs) *stalledForMs = nowMono - since;
    return QN_STALL_ENDED;
}

void qnStallReason(const qnHealthSlot* slot, int64_t nowMono, char* out, size_t size) {
    const int32_t waiting = std::max(slot->waiting.load(kRelaxed), 0);
    const int64_t since = quietSince(slot);
    const long long seconds = since ? (nowMono - since) / 1000 : 0;
    snprintf(out, size, "%d requests waiting, the oldest for %lld seconds", int(waiting), seconds);
}
