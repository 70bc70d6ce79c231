// The counters' cost per request attempt: qnAttemptBegin and qnAttemptEnd around an
// attempt, with the proxy's slot in anonymous shared memory as the web server makes it,
// against the same calls for a proxy that keeps no counters. With two threads on one slot
// the slot's cache lines move between the cores, as between two Apache children that
// forward to the same server at once; "body" also counts request and response bytes;
// "watched" adds what the stall watch does (stall.h): the attempt waits on the server's
// health slot until the first byte of its answer.
#include <benchmark/benchmark.h>

#include <sys/mman.h>

#include <cstring>

#include "counters.h"
#include "health.h"
#include "memory.h"
#include "proxy.h"
#include "stall.h"

namespace {
// One segment and one proxy for the whole program, shared by the benchmark's threads.
struct Shared {
    Shared() {
        const size_t size = qnCounterSegmentSize(2);
        void* memory =
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        segment = qnCounterSegmentInit(memory, 2, "nonce");
        init_allocators(&req);
        counted = quonProxyNew(&req);
        snprintf(counted->name, sizeof counted->name, "127.0.0.2:7001");
        counted->counters = qnCountersFor(segment, "main", counted->name);
        counted->view =
            &qnChildViewsAt(segment, 0)->servers[qnSlotIndex(segment, counted->counters)];
        qnHealthBoardInit(&segment->health);
        counted->health = qnHealthFor(&segment->health, counted->name, 1);
        bare = quonProxyNew(&req);
    }
    quon_request req;
    qnCounterSegment* segment;
    quonProxy* counted;
    quonProxy* bare;
};
Shared& shared() {
    static Shared instance;
    return instance;
}

void attempts(benchmark::State& state, bool counters, bool body, bool watched = false) {
    quonProxy* proxy = counters ? shared().counted : shared().bare;
    quon_request req;
    init_allocators(&req);
    for (auto _ : state) {
        const int64_t started = qnAttemptBegin(&req, proxy, nullptr);
        if (watched) {
            qnStallBegin(&req, proxy);
            if (req.stallSlot) qnStallAnswered(&req);
            qnStallEnd(&req);
        }
        if (body) {
            req.bodyBytesSent = 100;
            req.bodyBytesPassed = 16384;
        }
        qnAttemptEnd(&req, proxy, 0, started);
        benchmark::DoNotOptimize(req.attempts);
    }
}

void BM_AttemptWithoutCounters(benchmark::State& state) { attempts(state, false, false); }
void BM_AttemptCounted(benchmark::State& state) { attempts(state, true, false); }
void BM_AttemptCountedWithBody(benchmark::State& state) { attempts(state, true, true); }
void BM_AttemptCountedAndWatched(benchmark::State& state) { attempts(state, true, false, true); }
}  // namespace

BENCHMARK(BM_AttemptWithoutCounters)->Threads(1)->Threads(2);
BENCHMARK(BM_AttemptCounted)->Threads(1)->Threads(2);
BENCHMARK(BM_AttemptCountedWithBody)->Threads(1)->Threads(2);
BENCHMARK(BM_AttemptCountedAndWatched)->Threads(1)->Threads(2);
BENCHMARK_MAIN();
