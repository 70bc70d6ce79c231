// The shared segment's layout and who holds what in it: server slots, virtual servers and
// their mapping records are claimed and taken back under one claim lock in the segment
// (claims are rare: once per server or entry a child learns), read by everyone without
// it. Child views are claimed by pid. The nonce lives here too.
#include "counters.h"
#include "clock.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

namespace {
constexpr uint64_t kMagic = 0x71756f6e43747273;  // "quonCtrs"
constexpr uint64_t kLayout = uint64_t(sizeof(qnCounterSegment)) << 32 | sizeof(qnChildViews);
// A claim takes microseconds: a holder of the claim lock for longer than this has died
// or stalled, and the lock is taken over.
constexpr int64_t kLockStaleMs = 1000;
constexpr auto kRelaxed = std::memory_order_relaxed;

// Held for the life of the guard; waits with yields, then takes over a stale holding.
class ClaimLock {
public:
    explicit ClaimLock(qnCounterSegment* segment) : lock_(segment->claimLock) {
        for (;;) {
            const int64_t now = qnMonoMillis();
            int64_t held = 0;
            if (lock_.compare_exchange_strong(held, now, std::memory_order_acquire) ||
                (now - held > kLockStaleMs &&
                 lock_.compare_exchange_strong(held, now, std::memory_order_acquire))) {
                mine_ = now;
                return;
            }
            std::this_thread::yield();
        }
    }
    ~ClaimLock() {
        int64_t mine = mine_;
        lock_.compare_exchange_strong(mine, 0, std::memory_order_release);
    }
    ClaimLock(const ClaimLock&) = delete;
    ClaimLock& operator=(const ClaimLock&) = delete;

private:
    std::atomic<int64_t>& lock_;
    int64_t mine_ = 0;
};

template <size_t N>
void keepText(char (&field)[N], const char* text) {
    snprintf(field, N, "%s", text ? text : "");
}

bool stale(const std::atomic<int64_t>& seenAt, int64_t now) {
    return now - seenAt.load(kRelaxed) >= QN_SLOT_STALE_SECONDS;
}

bool used(const std::atomic<int32_t>& state) {
    return state.load(std::memory_order_acquire) == QN_SLOT_USED;
}

// The older of two stale candidates.
template <typename Record>
Record* older(Record* kept, Record* other) {
    return !kept || other->seenAt.load(kRelaxed) < kept->seenAt.load(kRelaxed) ? other : kept;
}

template <typename Counter, size_t N>
void zero(Counter (&counters)[N]) {
    for (auto& counter : counters) counter.store(0, kRelaxed);
}

// A server slot emptied for scope and name; claim lock held.
qnServerCounters* fillServerSlot(qnServerCounters* slot, const char* scope, const char* name,
                                 int64_t now) {
    slot->state.store(QN_SLOT_CLAIMING, std::memory_order_release);
    slot->admin.store(QN_ADMIN_NORMAL, kRelaxed);
    for (auto* counter : {&slot->requests, &slot->failovers, &slot->bytesToServer,
                          &slot->bytesToClient, &slot->microseconds, &slot->sessions.requests,
                          &slot->sessions.hits, &slot->sessions.moved, &slot->sessions.broken})
        counter->store(0, kRelaxed);
    zero(slot->failures);
    zero(slot->buckets);
    slot->history.lastStep.store(0, kRelaxed);
    for (qnHistorySample& sample : slot->history.samples) sample.step.store(0, kRelaxed);
    keepText(slot->scope, scope);
    keepText(slot->name, name);
    slot->seenAt.store(now, kRelaxed);
    slot->state.store(QN_SLOT_USED, std::memory_order_release);
    return slot;
}

// Claim lock held. A slot left half claimed by a process that died holding the lock is
// as good as free.
qnServerCounters* claimServerSlot(qnCounterSegment* segment, const char* scope, const char* name,
                                  int64_t now, int* refused) {
    qnServerCounters *unused = nullptr, *staleOwn = nullptr, *staleOther = nullptr;
    int held = 0;
    for (qnServerCounters& slot : segment->slots) {
        if (!used(slot.state)) {
            if (!unused) unused = &slot;
            continue;
        }
        const bool own = strcmp(slot.scope, scope) == 0;
        if (own && strcmp(slot.name, name) == 0) {
            slot.seenAt.store(now, kRelaxed);
            return &slot;
        }
        held += own;
        if (stale(slot.seenAt, now)) {
            if (own)
                staleOwn = older(staleOwn, &slot);
            else
                staleOther = older(staleOther, &slot);
        }
    }
    qnServerCounters* target = held >= QN_SLOTS_PER_SCOPE ? staleOwn
                               : unused                   ? unused
                               : staleOwn                 ? staleOwn
                                                          : staleOther;
    if (target) return fillServerSlot(target, scope, name, now);
    if (refused) *refused = held >= QN_SLOTS_PER_SCOPE ? QN_REFUSED_QUOTA : QN_REFUSED_FULL;
    return nullptr;
}

qnMappingCounters* fillMapping(qnMappingCounters* record, int32_t scope, const char* pattern,
                               int32_t others, int64_t now) {
    record->state.store(QN_SLOT_CLAIMING, std::memory_order_release);
    zero(record->answers);
    record->brokenSessions.store(0, kRelaxed);
    record->scope = scope;
    record->others = others;
    keepText(record->pattern, pattern);
    record->seenAt.store(now, kRelaxed);
    record->state.store(QN_SLOT_USED, std::memory_order_release);
    return record;
}

// Claim lock held. Every record of the virtual server of index scope is freed.
void freeMappingsOf(qnCounterSegment* segment, int32_t scope) {
    for (qnMappingCounters& record : segment->mappings)
        if (used(record.state) && record.scope == scope)
            record.state.store(QN_SLOT_FREE, std::memory_order_release);
}

void emptyViews(qnChildViews* views) {
    for (qnServerView& view : views->servers) {
        view.inFlight.store(0, kRelaxed);
        view.active.store(0, kRelaxed);
        view.known.store(0, kRelaxed);
    }
    for (qnScopeView& view : views->scopes) view.known.store(0, kRelaxed);
    views->publishedAt.store(0, kRelaxed);
    views->startedAt.store(int64_t(time(nullptr)), kRelaxed);
}

// The segment starts at the first cache line of the memory given: its slots are aligned
// to cache lines, and shared memory need not start on one.
qnCounterSegment* alignedSegment(void* memory) {
    const auto address = reinterpret_cast<uintptr_t>(memory);
    const uintptr_t line = alignof(qnCounterSegment);
    return reinterpret_cast<qnCounterSegment*>((address + line - 1) / line * line);
}

bool sameNonce(const char* given, const char* expected) {
    const size_t length = strnlen(expected, QN_NONCE_SIZE);
    if (!given || strlen(given) != length || length == 0) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < length; ++i) difference |= (unsigned char)(given[i] ^ expected[i]);
    return difference == 0;
}
}  // namespace

size_t qnCounterSegmentSize(int32_t childViews) {
    if (childViews < 0) childViews = 0;
    if (childViews > QN_MAX_CHILD_VIEWS) childViews = QN_MAX_CHILD_VIEWS;
    return alignof(qnCounterSegment) + sizeof(qnCounterSegment) +
           size_t(childViews) * sizeof(qnChildViews);
}

qnCounterSegment* qnCounterSegmentInit(void* memory, int32_t childViews, const char* nonce,
                                       int64_t now) {
    if (childViews > QN_MAX_CHILD_VIEWS) childViews = QN_MAX_CHILD_VIEWS;
    if (childViews < 0) childViews = 0;
    memset(memory, 0, qnCounterSegmentSize(childViews));
    auto* segment = new (alignedSegment(memory)) qnCounterSegment{};
    for (int32_t i = 0; i < childViews; ++i) new (qnChildViewsAt(segment, i)) qnChildViews{};
    segment->childViews = childViews;
    segment->createdAt = now;
    keepText(segment->nonces.cells[0], nonce);
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

void qnFoldName(char* out, size_t size, const char* name) {
    if (size == 0) return;
    size_t i = 0;
    for (; name && name[i] && i + 1 < size; ++i)
        out[i] = char(tolower(static_cast<unsigned char>(name[i])));
    out[i] = '\0';
}

qnServerCounters* qnCountersAt(qnCounterSegment* segment, const char* scope, const char* name,
                               int64_t now, int* refused) {
    if (!segment) return nullptr;
    char scopeKept[QN_SCOPE_NAME_SIZE], nameKept[QN_SLOT_NAME_SIZE];
    qnFoldName(scopeKept, sizeof scopeKept, scope);
    qnFoldName(nameKept, sizeof nameKept, name);
    ClaimLock hold(segment);
    return claimServerSlot(segment, scopeKept, nameKept, now, refused);
}

qnServerCounters* qnCountersFor(qnCounterSegment* segment, const char* scope, const char* name) {
    return qnCountersAt(segment, scope, name, int64_t(time(nullptr)));
}

qnServerCounters* qnFindCounters(qnCounterSegment* segment, const char* scope, const char* name) {
    if (!segment) return nullptr;
    char scopeKept[QN_SCOPE_NAME_SIZE], nameKept[QN_SLOT_NAME_SIZE];
    qnFoldName(scopeKept, sizeof scopeKept, scope);
    qnFoldName(nameKept, sizeof nameKept, name);
    for (qnServerCounters& slot : segment->slots)
        if (used(slot.state) && strcmp(slot.scope, scopeKept) == 0 &&
            strcmp(slot.name, nameKept) == 0)
            return &slot;
    return nullptr;
}

int32_t qnSlotIndex(const qnCounterSegment* segment, const qnServerCounters* slot) {
    if (!segment || slot < segment->slots || slot >= segment->slots + QN_COUNTER_SLOTS) return -1;
    return int32_t(slot - segment->slots);
}

int32_t qnScopeRecordAt(qnCounterSegment* segment, const char* name, int64_t now) {
    if (!segment) return -1;
    char kept[QN_SCOPE_NAME_SIZE];
    qnFoldName(kept, sizeof kept, name);
    ClaimLock hold(segment);
    qnScopeRecord *unused = nullptr, *staleOne = nullptr;
    for (qnScopeRecord& record : segment->scopes) {
        if (!used(record.state)) {
            if (!unused) unused = &record;
        } else if (strcmp(record.name, kept) == 0) {
            record.seenAt.store(now, kRelaxed);
            return int32_t(&record - segment->scopes);
        } else if (stale(record.seenAt, now)) {
            staleOne = older(staleOne, &record);
        }
    }
    qnScopeRecord* target = unused ? unused : staleOne;
    if (!target) return -1;
    const auto index = int32_t(target - segment->scopes);
    target->state.store(QN_SLOT_CLAIMING, std::memory_order_release);
    freeMappingsOf(segment, index);
    keepText(target->name, kept);
    target->seenAt.store(now, kRelaxed);
    target->state.store(QN_SLOT_USED, std::memory_order_release);
    return index;
}

qnMappingCounters* qnMappingCountersAt(qnCounterSegment* segment, int32_t scope,
                                       const char* pattern, int64_t now) {
    if (!segment || scope < 0 || scope >= QN_SCOPE_SLOTS) return nullptr;
    char kept[QN_PATTERN_SIZE];
    keepText(kept, pattern);
    ClaimLock hold(segment);
    qnMappingCounters *unused = nullptr, *others = nullptr, *staleOwn = nullptr,
                      *staleOther = nullptr;
    int held = 0;
    for (qnMappingCounters& record : segment->mappings) {
        if (!used(record.state)) {
            if (!unused) unused = &record;
            continue;
        }
        const bool own = record.scope == scope;
        if (own && record.others) {
            others = &record;
            continue;
        }
        if (own && strcmp(record.pattern, kept) == 0) {
            record.seenAt.store(now, kRelaxed);
            return &record;
        }
        held += own;
        if (stale(record.seenAt, now)) {
            if (own)
                staleOwn = older(staleOwn, &record);
            else
                staleOther = older(staleOther, &record);
        }
    }
    const bool room = held < QN_MAPPINGS_PER_SCOPE;
    qnMappingCounters* target = !room      ? staleOwn
                                : unused   ? unused
                                : staleOwn ? staleOwn
                                           : staleOther;
    if (target) return fillMapping(target, scope, kept, 0, now);
    if (others) {
        others->seenAt.store(now, kRelaxed);
        return others;
    }
    target = unused ? unused : staleOther;
    return target ? fillMapping(target, scope, "", 1, now) : nullptr;
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

const char* qnCurrentNonce(const qnCounterSegment* segment) {
    return segment->nonces.cells[segment->nonces.current.load(std::memory_order_acquire) & 1];
}

// The new nonce goes to the cell not in use, which then becomes the current one: a
// reader comparing with the current nonce never sees a half-written one.
void qnRotateNonce(qnCounterSegment* segment, const char* nonce, int64_t now) {
    qnNonces& nonces = segment->nonces;
    const int32_t next = 1 - (nonces.current.load(std::memory_order_acquire) & 1);
    keepText(nonces.cells[next], nonce);
    nonces.rotatedAt.store(now, kRelaxed);
    nonces.current.store(next, std::memory_order_release);
}

bool qnNonceAccepted(const qnCounterSegment* segment, const char* given, int64_t now) {
    const qnNonces& nonces = segment->nonces;
    const int32_t current = nonces.current.load(std::memory_order_acquire) & 1;
    const bool isCurrent = sameNonce(given, nonces.cells[current]);
    const int64_t rotated = nonces.rotatedAt.load(kRelaxed);
    const bool recent = rotated != 0 && now - rotated <= QN_NONCE_OVERLAP_SECONDS;
    const bool isPrevious = sameNonce(given, nonces.cells[1 - current]);
    return isCurrent || (recent && isPrevious);
}
