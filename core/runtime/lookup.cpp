#include "lookup.h"

#include <arpa/inet.h>
#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>

#include "clock.h"

namespace {
constexpr const char* kNoAnswer = "no answer from the resolver in time";
constexpr const char* kTooMany = "too many name lookups under way";
constexpr const char* kCancelled = "the lookup was given up";
constexpr int64_t kWaitStepMs = 100;

std::atomic<int> gUnderWay{0};

bool isAddress(const char* host) {
    unsigned char scratch[sizeof(in6_addr)];
    return inet_pton(AF_INET, host, scratch) == 1 || inet_pton(AF_INET6, host, scratch) == 1;
}
}  // namespace

// Shared by the thread that looks up and the one that waits; the last of them frees it.
struct qnLookup {
    std::atomic<int> holders{1};
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    qnResolveFn resolve = nullptr;
    char host[QN_MAX_HOST_LENGTH + 1] = {};
    int port = 0;
    qnAddress addresses[QN_MAX_ADDRESSES];
    int count = 0;
    const char* reason = nullptr;
};

namespace {
void letGo(qnLookup* lookup) {
    if (lookup->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete lookup;
}

void run(qnLookup* lookup) {
    const char* reason = nullptr;
    qnAddress found[QN_MAX_ADDRESSES];
    const int count = lookup->resolve ? lookup->resolve(nullptr, lookup->host, lookup->port, found,
                                                        QN_MAX_ADDRESSES, &reason)
                                      : 0;
    std::lock_guard<std::mutex> hold(lookup->mutex);
    lookup->count = std::clamp(count, 0, QN_MAX_ADDRESSES);
    std::copy_n(found, lookup->count, lookup->addresses);
    lookup->reason = reason;
    lookup->done = true;
    lookup->ended.notify_all();
}

void* lookupMain(void* argument) {
    auto* lookup = static_cast<qnLookup*>(argument);
    run(lookup);
    letGo(lookup);
    gUnderWay.fetch_sub(1, std::memory_order_relaxed);
    return nullptr;
}

void failNow(qnLookup* lookup, const char* reason) {
    lookup->reason = reason;
    lookup->done = true;
}

// A detached thread for the lookup, within QN_MAX_LOOKUPS.
void startThread(qnLookup* lookup) {
    if (gUnderWay.fetch_add(1, std::memory_order_relaxed) >= QN_MAX_LOOKUPS) {
        gUnderWay.fetch_sub(1, std::memory_order_relaxed);
        return failNow(lookup, kTooMany);
    }
    lookup->holders.fetch_add(1, std::memory_order_relaxed);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, size_t(256) << 10);
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, lookupMain, lookup);
    pthread_attr_destroy(&attributes);
    if (error == 0) return;
    lookup->holders.fetch_sub(1, std::memory_order_relaxed);
    gUnderWay.fetch_sub(1, std::memory_order_relaxed);
    failNow(lookup, kTooMany);
}
}  // namespace

qnLookup* qnLookupStart(qnResolveFn resolve, const char* host, int port) {
    auto* lookup = new (std::nothrow) qnLookup();
    if (!lookup) return nullptr;
    lookup->resolve = resolve;
    snprintf(lookup->host, sizeof lookup->host, "%s", host);
    lookup->port = port;
    if (isAddress(lookup->host))
        run(lookup);
    else
        startThread(lookup);
    return lookup;
}

int qnLookupFinish(qnLookup* lookup, int64_t untilMono, const std::atomic<int>* cancelled,
                   qnAddress* addresses, int capacity, const char** reason) {
    int count = 0;
    *reason = kNoAnswer;
    {
        std::unique_lock<std::mutex> hold(lookup->mutex);
        for (;;) {
            if (lookup->done) {
                count = std::min(lookup->count, capacity);
                std::copy_n(lookup->addresses, count, addresses);
                *reason = lookup->reason;
                break;
            }
            if (cancelled && cancelled->load()) {
                *reason = kCancelled;
                break;
            }
            const int64_t left = untilMono - qnMonoMillis();
            if (left <= 0) break;
            lookup->ended.wait_for(hold, std::chrono::milliseconds(std::min(left, kWaitStepMs)));
        }
    }
    letGo(lookup);
    return count;
}
