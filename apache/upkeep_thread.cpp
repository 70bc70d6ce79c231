// The child's upkeep thread: it runs the upkeep of every configured server's mappings
// table (first initialisation, member lists, the bootstrap server, probes and mapping
// refreshes), so that no request waits on a back end's network I/O for it. It makes a
// pass every second, and at once when a request hands it work.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include <http_log.h>

#include "quon_status.h"
#include "sync.h"
#include "table_slots.h"

APLOG_USE_MODULE(quon);

namespace {
constexpr long kPassIntervalMs = 1000;
// How long a starting child waits for the first pass (a healthy cluster answers well
// within it): requests that find a table not yet initialised are declined, never held.
constexpr long kFirstPassWaitMs = 100;
constexpr const char* kNoThread = "could not start the upkeep thread: %s";

struct UpkeepThread {
    pthread_t thread{};
    bool started = false;
    server_rec* main = nullptr;
    std::atomic<int> stop{0};  // also the cancelled flag of the thread's records
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    bool woken = false;  // under mutex
    long passes = 0;     // under mutex
};
UpkeepThread upkeep;

timespec after(long ms) {
    timespec at{};
    clock_gettime(CLOCK_REALTIME, &at);
    at.tv_sec += ms / 1000;
    at.tv_nsec += (ms % 1000) * 1000000;
    if (at.tv_nsec >= 1000000000) {
        at.tv_sec += 1;
        at.tv_nsec -= 1000000000;
    }
    return at;
}

// Every configuration record once: virtual hosts without lines share the main server's.
void runPass() {
    std::vector<QuonServerConfig*> seen;
    for (server_rec* s = upkeep.main; s && !upkeep.stop.load(); s = s->next) {
        QuonServerConfig* conf = quonConfigOf(s);
        bool known = !conf->configured;
        for (QuonServerConfig* c : seen) known = known || c == conf;
        if (known) continue;
        seen.push_back(conf);
        quon_request req;
        init_apache_request(&req, nullptr, s);
        req.cancelled = &upkeep.stop;
        if (mappingsTable* table = findOrCreateTable(&req, conf)) {
            runUpkeep(table, &req);
            publishChildView(table, &req);
        }
    }
}

void* upkeepMain(void*) {
    for (;;) {
        runPass();
        pthread_mutex_lock(&upkeep.mutex);
        ++upkeep.passes;
        pthread_cond_broadcast(&upkeep.cond);  // a starting child waits for the first
        if (!upkeep.woken && !upkeep.stop.load()) {
            const timespec until = after(kPassIntervalMs);
            pthread_cond_timedwait(&upkeep.cond, &upkeep.mutex, &until);
        }
        upkeep.woken = false;
        pthread_mutex_unlock(&upkeep.mutex);
        if (upkeep.stop.load()) return nullptr;
    }
}

void wakeUpkeep() {
    pthread_mutex_lock(&upkeep.mutex);
    upkeep.woken = true;
    pthread_cond_broadcast(&upkeep.cond);
    pthread_mutex_unlock(&upkeep.mutex);
}

// Runs when the child's pool is cleared, before the tables go (it is registered after
// their clean-up). Not in a process forked to run another program: it has no thread.
apr_status_t joinUpkeepThread(void*) {
    if (!upkeep.started) return APR_SUCCESS;
    stopUpkeepThread();
    pthread_join(upkeep.thread, nullptr);
    upkeep.started = false;
    qnSetUpkeepWaker(nullptr);
    return APR_SUCCESS;
}
}  // namespace

void startUpkeepThread(apr_pool_t* pchild, server_rec* main) {
    bool configured = false;
    for (server_rec* s = main; s; s = s->next) configured = configured || quonConfigOf(s)->configured;
    if (!configured || upkeep.started) return;
    upkeep.main = main;
    upkeep.stop.store(0);
    if (int error = pthread_create(&upkeep.thread, nullptr, upkeepMain, nullptr)) {
        ap_log_error(APLOG_MARK, APLOG_ERR, error, main, kNoThread, strerror(error));
        return;
    }
    upkeep.started = true;
    qnSetUpkeepWaker(wakeUpkeep);
    apr_pool_cleanup_register(pchild, nullptr, joinUpkeepThread, apr_pool_cleanup_null);
    const timespec until = after(kFirstPassWaitMs);
    pthread_mutex_lock(&upkeep.mutex);
    while (upkeep.passes == 0 &&
           pthread_cond_timedwait(&upkeep.cond, &upkeep.mutex, &until) != ETIMEDOUT) {
    }
    pthread_mutex_unlock(&upkeep.mutex);
}

void stopUpkeepThread() {
    upkeep.stop.store(1);
    wakeUpkeep();
}
