#include "counters.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

namespace {
constexpr uint64_t kMagic = 0x71756f6e43747273;  // "quonCtrs"
constexpr uint64_t kLayout = uint64_t(sizeof(qnCounterSegment)) << 32 | sizeof(qnChildViews);
// How long a reader waits for another process to finish claiming a slot: a claim writes
// two names, so it takes microseconds; a process killed in the middle leaves the slot
// unusable, and it is passed over after this.
constexpr auto kClaimWait = std::chrono::milliseconds(100);
constexpr auto kRelaxed = std::memory_order_relaxed;

std::atomic<qnCountersForFn> gSource{nullptr};

int64_t nowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// name as a slot keeps it: cut to size, NUL-terminated.
template <size_t N>
void keepName(char (&field)[N], const char* name) {
    snprintf(field, N, "%s", name ? name : "");
}

template <size_t N>
bool sameName(const char (&field)[N], const char* name) {
    char kept[N];
    keepName(kept, name);
    return strcmp(field, kept) == 0;
}

// True once the slot is in use; false when its claim does not end in time.
bool claimEnded(const qnServerCounters& slot) {
    const auto until = std::chrono::steady_clock::now() + kClaimWait;
    while (slot.state.load(std::memory_order_acquire) == QN_SLOT_CLAIMING) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::yield();
    }
    return true;
}

// Slots are claimed in order, the first free one each time, so every process that looks
// for a pair passes the slot another claims for it before any free one, and waits there.
qnServerCounters* lookUp(qnCounterSegment* segment, const char* scope, const char* name,
                         bool claim) {
    for (qnServerCounters& slot : segment->slots) {
        int32_t state = slot.state.load(std::memory_order_acquire);
        if (state == QN_SLOT_FREE) {
            if (!claim) return nullptr;
            if (slot.state.compare_exchange_strong(state, QN_SLOT_CLAIMING,
                                                   std::memory_order_acq_rel)) {
                keepName(slot.scope, scope);
                keepName(slot.name, name);
                slot.state.store(QN_SLOT_USED, std::memory_order_release);
                return &slot;
            }
        }
        if (state == QN_SLOT_CLAIMING && !claimEnded(slot)) continue;
        if (sameName(slot.scope, scope) && sameName(slot.name, name)) return &slot;
    }
    return nullptr;
}

void emptyViews(qnChildViews* views) {
    for (qnServerView& view : views->servers) {
        view.inFlight.store(0, kRelaxed);
        view.known.store(0, kRelaxed);
    }
    views->publishedAt.store(0, kRelaxed);
}

// The segment starts at the first cache line of the memory given: its slots are aligned
// to cache lines, and shared memory need not start on one.
qnCounterSegment* alignedSegment(void* memory) {
    const auto address = reinterpret_cast<uintptr_t>(memory);
    const uintptr_t line = alignof(qnCounterSegment);
    return reinterpret_cast<qnCounterSegment*>((address + line - 1) / line * line);
}

// A system error code by the stage the attempt reached.
int kindOfStage(int stage) {
    switch (stage) {
        case QN_STAGE_SEND:
            return QN_FAIL_SEND;
        case QN_STAGE_RECEIVE:
            return QN_FAIL_RECEIVE;
        default:
            return QN_FAIL_CONNECT;
    }
}
}  // namespace

size_t qnCounterSegmentSize(int32_t childViews) {
    if (childViews < 0) childViews = 0;
    if (childViews > QN_MAX_CHILD_VIEWS) childViews = QN_MAX_CHILD_VIEWS;
    return alignof(qnCounterSegment) + sizeof(qnCounterSegment) +
           size_t(childViews) * sizeof(qnChildViews);
}

qnCounterSegment* qnCounterSegmentInit(void* memory, int32_t childViews, const char* nonce) {
    if (childViews > QN_MAX_CHILD_VIEWS) childViews = QN_MAX_CHILD_VIEWS;
    if (childViews < 0) childViews = 0;
    memset(memory, 0, qnCounterSegmentSize(childViews));
    auto* segment = new (alignedSegment(memory)) qnCounterSegment{};
    for (int32_t i = 0; i < childViews; ++i) new (qnChildViewsAt(segment, i)) qnChildViews{};
    segment->childViews = childViews;
    keepName(segment->nonce, nonce);
    segment->layout = kLayout;
    segment->magic = kMagic;
    return segment;
}

qnCounterSegment* qnCounterSegmentAt(void* memory) {
    if (!memory) return nullptr;
    qnCounterSegment* segment = alignedSegment(memory);
    return segment->magic == kMagic && segment->layout == kLayout ? segment : nullptr;
}

qnChildViews* qnChildViewsAt(qnCounterSegment* segment, int32_t index) {
    if (index < 0 || index >= QN_MAX_CHILD_VIEWS) return nullptr;
    auto* first = reinterpret_cast<qnChildViews*>(segment + 1);
    return first + index;
}

qnServerCounters* qnCountersFor(qnCounterSegment* segment, const char* scope, const char* name) {
    return segment ? lookUp(segment, scope, name, true) : nullptr;
}

qnServerCounters* qnFindCounters(qnCounterSegment* segment, const char* scope, const char* name) {
    return segment ? lookUp(segment, scope, name, false) : nullptr;
}

int32_t qnSlotIndex(const qnCounterSegment* segment, const qnServerCounters* slot) {
    if (!segment || slot < segment->slots || slot >= segment->slots + QN_COUNTER_SLOTS) return -1;
    return int32_t(slot - segment->slots);
}

qnChildViews* qnClaimChildViews(qnCounterSegment* segment, int32_t pid, bool (*alive)(int32_t)) {
    for (int32_t i = 0; i < segment->childViews; ++i)
        if (qnChildViewsAt(segment, i)->pid.load(std::memory_order_acquire) == pid)
            return qnChildViewsAt(segment, i);
    for (int32_t i = 0; i < segment->childViews; ++i) {
        qnChildViews* views = qnChildViewsAt(segment, i);
        int32_t holder = views->pid.load(std::memory_order_acquire);
        if (holder != 0 && alive(holder)) continue;
        if (views->pid.compare_exchange_strong(holder, pid, std::memory_order_acq_rel)) {
            emptyViews(views);
            return views;
        }
    }
    return nullptr;
}

void qnReleaseChildViews(qnChildViews* views, int32_t pid) {
    if (!views) return;
    int32_t holder = pid;
    if (views->pid.load(std::memory_order_acquire) != pid) return;
    emptyViews(views);
    views->pid.compare_exchange_strong(holder, 0, std::memory_order_acq_rel);
}

void qnSetCountersSource(qnCountersForFn source) { gSource.store(source); }

void qnAttachCounters(quonProxy* proxy, int32_t scope) {
    qnCountersForFn source = gSource.load();
    if (!source || proxy->counters) return;
    source(scope, proxy->name, &proxy->counters, &proxy->view);
}

int64_t qnAttemptBegin(quon_request* req, quonProxy* proxy, quonProxy* previous) {
    if (previous && previous != proxy && previous->counters)
        previous->counters->failovers.fetch_add(1, kRelaxed);
    req->attempts += 1;
    req->lastServer = proxy->name;
    req->attemptStage = QN_STAGE_CONNECT;
    req->bodyBytesSent = 0;
    req->bodyBytesPassed = 0;
    if (proxy->view) proxy->view->inFlight.fetch_add(1, kRelaxed);
    return proxy->counters ? nowNanos() : 0;
}

void qnAttemptEnd(quon_request* req, quonProxy* proxy, int result, int64_t started) {
    if (proxy->view) proxy->view->inFlight.fetch_sub(1, kRelaxed);
    qnServerCounters* counters = proxy->counters;
    if (!counters) return;
    const int64_t micros = (nowNanos() - started) / 1000;
    counters->requests.fetch_add(1, kRelaxed);
    counters->buckets[qnBucketOf(micros)].fetch_add(1, kRelaxed);
    counters->microseconds.fetch_add(uint64_t(micros > 0 ? micros : 0), kRelaxed);
    if (req->bodyBytesSent > 0)
        counters->bytesToServer.fetch_add(uint64_t(req->bodyBytesSent), kRelaxed);
    if (req->bodyBytesPassed > 0)
        counters->bytesToClient.fetch_add(uint64_t(req->bodyBytesPassed), kRelaxed);
    const int kind = result == 0 ? -1 : qnFailureKind(req->errorCode, req->attemptStage);
    if (kind >= 0) counters->failures[kind].fetch_add(1, kRelaxed);
}

// A failure without an error code broke off the exchange without a system error: it
// could not connect (the process stops), or the server sent what ends no exchange.
int qnFailureKind(int errorCode, int stage) {
    switch (errorCode) {
        case EQUON_BUSY:
            return QN_FAIL_BUSY;
        case EQUON_OUT_OF_SYNC:
            return QN_FAIL_PROTOCOL;
        case EQUON_CLIENT_DOWN:
            return -1;
        case 0:
            return stage == QN_STAGE_CONNECT ? QN_FAIL_CONNECT : QN_FAIL_PROTOCOL;
        default:
            return kindOfStage(stage);
    }
}

int qnBucketOf(int64_t microseconds) {
    int bucket = 0;
    while (bucket < QN_BUCKETS - 1 && microseconds > QN_BUCKET_BOUNDS_US[bucket]) ++bucket;
    return bucket;
}
