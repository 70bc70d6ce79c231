#include "counters.h"
#include "clock.h"

#include <cerrno>

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;

std::atomic<qnCountersForFn> gSource{nullptr};
std::atomic<qnMappingCountersForFn> gMappingSource{nullptr};

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

// The request's session, on the counters of the server that holds it.
void countSession(const quon_request* req, const quonProxy* last, int result) {
    const quonProxy* holder = req->sessionHolder;
    qnServerCounters* counters = holder ? holder->counters : nullptr;
    if (!counters) return;
    counters->sessions.requests.fetch_add(1, kRelaxed);
    if (req->sessionBroken)
        counters->sessions.broken.fetch_add(1, kRelaxed);
    else if (result == 0 && last == holder)
        counters->sessions.hits.fetch_add(1, kRelaxed);
    else if (result == 0)
        counters->sessions.moved.fetch_add(1, kRelaxed);
}
}  // namespace

void qnSetCountersSource(qnCountersForFn source) { gSource.store(source); }
void qnSetMappingCountersSource(qnMappingCountersForFn source) { gMappingSource.store(source); }

void qnAttachCounters(quonProxy* proxy, int32_t scope) {
    qnCountersForFn source = gSource.load();
    if (!source || proxy->counters) return;
    source(scope, proxy->name, &proxy->counters, &proxy->view);
}

void qnShowActive(quonProxy* proxy, int32_t active) {
    if (proxy->view) proxy->view->active.store(active, kRelaxed);
}

qnMappingCounters* qnMappingCountersFor(int32_t scope, const char* pattern) {
    qnMappingCountersForFn source = gMappingSource.load();
    return source ? source(scope, pattern) : nullptr;
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
    return proxy->counters ? qnMonoNanos() : 0;
}

void qnAttemptEnd(quon_request* req, quonProxy* proxy, int result, int64_t started) {
    if (proxy->view) proxy->view->inFlight.fetch_sub(1, kRelaxed);
    qnServerCounters* counters = proxy->counters;
    if (!counters) return;
    const int64_t micros = (qnMonoNanos() - started) / 1000;
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

int qnAnswerKind(const quon_request* req, int result) {
    if (result == 0) return QN_ANSWER_SERVED;
    if (req->errorCode == EQUON_CLIENT_DOWN) return QN_ANSWER_CLIENT_GONE;
    if (req->responseBroken) return QN_ANSWER_CUT;
    if (req->redirected) return QN_ANSWER_REDIRECT;
    if (req->errorCode == EQUON_RESPONSE_TIMEOUT) return QN_ANSWER_TIMEOUT;
    return QN_ANSWER_ERROR_PAGE;
}

void qnRequestAnswered(quon_request* req, quonProxy* last, int result) {
    countSession(req, last, result);
    qnMappingCounters* counters = req->mappingCounters;
    if (!counters) return;
    counters->answers[qnAnswerKind(req, result)].fetch_add(1, kRelaxed);
    if (req->sessionBroken) counters->brokenSessions.fetch_add(1, kRelaxed);
}

uint64_t qnFailuresOf(const qnServerCounters* slot) {
    uint64_t total = 0;
    for (const auto& count : slot->failures) total += count.load(kRelaxed);
    return total;
}

// Of the processes that pass a step boundary, the one whose exchange moves lastStep
// writes the sample; a reader compares the sample's step before and after its values.
bool qnSampleHistory(qnServerCounters* slot, int64_t now) {
    const int64_t step = now / QN_HISTORY_STEP_SECONDS;
    int64_t last = slot->history.lastStep.load(kRelaxed);
    if (step <= last || !slot->history.lastStep.compare_exchange_strong(last, step, kRelaxed))
        return false;
    qnHistorySample& sample = slot->history.samples[step % QN_HISTORY_SAMPLES];
    sample.step.store(0, std::memory_order_release);
    sample.requests.store(slot->requests.load(kRelaxed), kRelaxed);
    sample.failures.store(qnFailuresOf(slot), kRelaxed);
    sample.step.store(step, std::memory_order_release);
    return true;
}

namespace {
// The slot's totals at the start of a step, when a process sampled them then.
bool sampleAt(const qnHistory& history, int64_t step, uint64_t& requests, uint64_t& failures) {
    if (step < 0) return false;
    const qnHistorySample& sample = history.samples[step % QN_HISTORY_SAMPLES];
    if (sample.step.load(std::memory_order_acquire) != step) return false;
    requests = sample.requests.load(kRelaxed);
    failures = sample.failures.load(kRelaxed);
    return sample.step.load(std::memory_order_acquire) == step;
}
}  // namespace

void qnHistoryBars(const qnHistory& history, uint64_t requests, uint64_t failures, int64_t now,
                   int bars, uint64_t* barRequests, uint64_t* barFailures) {
    const int64_t current = now / QN_HISTORY_STEP_SECONDS;
    const int64_t first = current - (bars - 1);
    int64_t newest = first - 1;
    uint64_t r = 0, f = 0;
    for (int64_t step = current; step >= first && newest < first; --step)
        if (sampleAt(history, step, r, f)) newest = step;
    for (int bar = 0; bar < bars; ++bar) {
        const int64_t step = first + bar;
        uint64_t fromRequests = 0, fromFailures = 0, toRequests = requests, toFailures = failures;
        barRequests[bar] = barFailures[bar] = 0;
        if (!sampleAt(history, step, fromRequests, fromFailures)) continue;
        if (step < newest && !sampleAt(history, step + 1, toRequests, toFailures)) continue;
        barRequests[bar] = toRequests > fromRequests ? toRequests - fromRequests : 0;
        barFailures[bar] = toFailures > fromFailures ? toFailures - fromFailures : 0;
    }
}
