#include "log_limit.h"
#include "clock.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {
constexpr const char* kLeftOut = "%s (%d similar lines left out)";
// As long as the longest line the web server writes.
constexpr int kLineSize = 2045;

}  // namespace

int qnLogLimitTurn(qnLogLimit* limit, long long nowMs) {
    long long due = limit->nextAt.load(std::memory_order_relaxed);
    // Of the threads that find the turn due, the one whose exchange moves it writes.
    if (nowMs < due || !limit->nextAt.compare_exchange_strong(due, nowMs + QN_LOG_LIMIT_INTERVAL_MS,
                                                              std::memory_order_relaxed)) {
        limit->leftOut.fetch_add(1, std::memory_order_relaxed);
        return -1;
    }
    return limit->leftOut.exchange(0, std::memory_order_relaxed);
}

void logLimited(quon_request* req, qnLogLimit* limit, int level, const char* format, ...) {
    const int leftOut = limit ? qnLogLimitTurn(limit, qnMonoMillis()) : 0;
    if (leftOut < 0) return;
    // On the heap: a failure line must not deepen the stack of the thread that meets it
    // (a worker's stack stays resident to its deepest call).
    char* message = static_cast<char*>(malloc(kLineSize));
    if (!message) return;
    va_list args;
    va_start(args, format);
    if (vsnprintf(message, kLineSize, format, args) < 0) message[0] = '\0';
    va_end(args);
    if (leftOut == 0)
        req->logAt(req, level, "%s", message);
    else
        req->logAt(req, level, kLeftOut, message, leftOut);
    free(message);
}
