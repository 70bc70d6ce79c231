// The child's upkeep threads: one per configured server's mappings table, which runs its
// upkeep (first initialisation, member lists, the bootstrap server, mapping refreshes),
// and one that runs the health checks of every table's servers. No request waits on a
// back end's network I/O for them, no table's upkeep waits on another's, and no check
// waits on another server's: every exchange of the upkeep has a deadline of its own, and
// the checks never block. A table's thread makes a pass every second, and at once when a
// request or the checks hand it work.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include <apr_strings.h>
#include <http_log.h>

#include "checks.h"
#include "quon_status.h"
#include "table_slots.h"
#include "upkeep.h"

APLOG_USE_MODULE(quon);

namespace {
constexpr long kPassIntervalMs = 1000;
// How long a starting child waits for the first pass of its tables (a healthy cluster
// answers well within it): requests that find a table not yet initialised are answered
// without waiting, never held.
constexpr long kFirstPassWaitMs = 100;
// Every exchange of the upkeep (a property set, a member list, each step of a join, the
// bootstrap server) ends within this, its connect included: a server that takes the
// connection and never answers holds up its own table's upkeep this long at most.
constexpr int kUpkeepExchangeMs = 2000;
// How long a child's exit waits for its upkeep threads in all.
constexpr long kExitWaitMs = 1000;
constexpr const char* kLeftRunning =
    "an upkeep thread did not stop within %ld ms: the child exits without it";
constexpr size_t kStackBytes = size_t(1) << 20;
constexpr const char* kNoThread = "could not start an upkeep thread: %s";
constexpr const char* kNoChecker = "health checks not started: no memory or no pipe";

// One table's thread. Its mutex guards woken and passes.
struct Worker {
    pthread_t thread{};
    bool started = false;
    server_rec* server = nullptr;
    mappingsTable* table = nullptr;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    bool woken = false;
    long passes = 0;
};

struct Upkeep {
    std::atomic<int> stop{0};  // also the cancelled flag of the threads' records
    bool started = false;
    std::vector<Worker*> workers;
    qnChecker* checker = nullptr;
    server_rec* main = nullptr;
    pthread_t checkThread{};
    bool checking = false;
    bool leftRunning = false;  // a thread did not stop at exit: its tables stay
};
Upkeep upkeep;

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

// A record of the upkeep: its waits give up when the threads stop, and each exchange
// ends by its deadline.
void makeRecord(quon_request& req, server_rec* s) {
    init_apache_request(&req, nullptr, s);
    // Its lines are the running child's, not the start-up's: they carry the child's pid.
    apr_snprintf(req.logPrefix, sizeof req.logPrefix, "qnApache[%d] ", int(getpid()));
    req.cancelled = &upkeep.stop;
    req.responseTimeout = kUpkeepExchangeMs;
}

void* workerMain(void* argument) {
    Worker& w = *static_cast<Worker*>(argument);
    quon_request req;
    makeRecord(req, w.server);
    for (;;) {
        runUpkeep(w.table, &req);
        publishChildView(w.table, &req);
        pthread_mutex_lock(&w.mutex);
        ++w.passes;
        pthread_cond_broadcast(&w.cond);  // a starting child waits for the first
        if (!w.woken && !upkeep.stop.load()) {
            const timespec until = after(kPassIntervalMs);
            pthread_cond_timedwait(&w.cond, &w.mutex, &until);
        }
        w.woken = false;
        pthread_mutex_unlock(&w.mutex);
        if (upkeep.stop.load()) return nullptr;
    }
}

void* checkMain(void*) {
    quon_request req;
    makeRecord(req, upkeep.main);
    qnCheckerRun(upkeep.checker, &req, upkeep.stop);
    return nullptr;
}

void wakeWorker(Worker* w) {
    pthread_mutex_lock(&w->mutex);
    w->woken = true;
    pthread_cond_broadcast(&w->cond);
    pthread_mutex_unlock(&w->mutex);
}

void wakeTable(mappingsTable* table) {
    for (Worker* w : upkeep.workers)
        if (w->table == table) wakeWorker(w);
}

bool startThread(pthread_t& thread, void* (*main)(void*), void* argument) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kStackBytes);
    const int error = pthread_create(&thread, &attributes, main, argument);
    pthread_attr_destroy(&attributes);
    if (error) ap_log_error(APLOG_MARK, APLOG_ERR, error, upkeep.main, kNoThread, strerror(error));
    return error == 0;
}

// A worker for every configuration record with settings: virtual hosts without lines
// share the main server's record, and its table.
void makeWorkers(server_rec* main) {
    for (server_rec* s = main; s; s = s->next) {
        QuonServerConfig* conf = quonConfigOf(s);
        if (!conf->configured) continue;
        bool known = false;
        for (Worker* w : upkeep.workers) known = known || quonConfigOf(w->server) == conf;
        if (known) continue;
        quon_request req;
        init_apache_request(&req, nullptr, s);
        mappingsTable* table = findOrCreateTable(&req, conf);
        if (!table) continue;
        auto* w = new Worker();
        w->server = s;
        w->table = table;
        upkeep.workers.push_back(w);
    }
}

// Waits up to kFirstPassWaitMs in all for every started worker's first pass.
void awaitFirstPasses() {
    const timespec until = after(kFirstPassWaitMs);
    for (Worker* w : upkeep.workers) {
        if (!w->started) continue;
        pthread_mutex_lock(&w->mutex);
        while (w->passes == 0 && pthread_cond_timedwait(&w->cond, &w->mutex, &until) != ETIMEDOUT) {
        }
        pthread_mutex_unlock(&w->mutex);
    }
}

// Runs when the child's pool is cleared, before the tables go (it is registered after
// their clean-up). Not in a process forked to run another program: it has no threads.
apr_status_t joinUpkeepThreads(void*) {
    if (!upkeep.started) return APR_SUCCESS;
    stopUpkeepThread();
    // Every wait of the threads ends when they are told to stop; one that does not (a
    // call into the system that never returns) must not keep the child from exiting, nor
    // Apache from restarting. What such a thread may still use is left to the process's end.
    const timespec until = after(kExitWaitMs);
    bool joined = true;
    for (Worker* w : upkeep.workers)
        if (w->started) joined = pthread_timedjoin_np(w->thread, nullptr, &until) == 0 && joined;
    if (upkeep.checking)
        joined = pthread_timedjoin_np(upkeep.checkThread, nullptr, &until) == 0 && joined;
    if (!joined) {
        upkeep.leftRunning = true;
        ap_log_error(APLOG_MARK, APLOG_WARNING, 0, upkeep.main, kLeftRunning, kExitWaitMs);
        return APR_SUCCESS;
    }
    qnSetUpkeepWaker(nullptr);
    qnSetChecker(nullptr);
    qnCheckerDelete(upkeep.checker);
    upkeep.checker = nullptr;
    for (Worker* w : upkeep.workers) delete w;
    upkeep.workers.clear();
    upkeep.started = upkeep.checking = false;
    return APR_SUCCESS;
}

void startChecks() {
    std::vector<mappingsTable*> tables;
    for (Worker* w : upkeep.workers) tables.push_back(w->table);
    quon_request req;
    makeRecord(req, upkeep.main);
    upkeep.checker = qnCheckerNew(&req, tables.data(), int(tables.size()));
    if (!upkeep.checker) {
        ap_log_error(APLOG_MARK, APLOG_ERR, 0, upkeep.main, "%s", kNoChecker);
        return;
    }
    qnSetChecker(upkeep.checker);
    upkeep.checking = startThread(upkeep.checkThread, checkMain, nullptr);
}
}  // namespace

void startUpkeepThread(apr_pool_t* pchild, server_rec* main) {
    if (upkeep.started) return;
    upkeep.main = main;
    upkeep.stop.store(0);
    makeWorkers(main);
    if (upkeep.workers.empty()) return;
    upkeep.started = true;
    qnSetUpkeepWaker(wakeTable);
    apr_pool_cleanup_register(pchild, nullptr, joinUpkeepThreads, apr_pool_cleanup_null);
    for (Worker* w : upkeep.workers) w->started = startThread(w->thread, workerMain, w);
    startChecks();
    awaitFirstPasses();
}

bool upkeepThreadsLeftRunning() { return upkeep.leftRunning; }

void stopUpkeepThread() {
    upkeep.stop.store(1);
    for (Worker* w : upkeep.workers) wakeWorker(w);
    qnCheckerWake(upkeep.checker);
}
