#include "sync.h"

#include <atomic>
#include <pthread.h>

#include <apr_pools.h>
#include <apr_thread_mutex.h>

// The pool every mutex of the process is made from; created at child start and
// cleared at child exit.
apr_pool_t* quon_apr_pool = nullptr;

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QN_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define QN_TSAN 1
#endif

namespace {
// ThreadSanitizer knows a mutex by its address: a recycled mutex would carry the lock
// order of the lock it served before into the next one. Its builds destroy freed
// mutexes instead of keeping them.
#ifdef QN_TSAN
constexpr bool kRecycleMutexes = false;
#else
constexpr bool kRecycleMutexes = true;
#endif

// APR pools are not thread-safe, and locks are created from many request threads
// (each table and proxy makes its own): creation and destruction are serialised.
pthread_mutex_t poolGuard = PTHREAD_MUTEX_INITIALIZER;

// A destroyed mutex would leave its memory in the pool, which gives nothing back before
// it is cleared: a lock made and freed per request would grow the child without bound.
// So a freed mutex is kept here, unlocked, for the next lock to take, and the pool stays
// at the largest number of locks alive at once. The list nodes come from the pool and
// are kept for reuse as well. Both lists are guarded by poolGuard.
struct SpareMutex {
    apr_thread_mutex_t* mutex;
    SpareMutex* next;
};
SpareMutex* spares = nullptr;
SpareMutex* emptyNodes = nullptr;

apr_status_t takeMutex(apr_thread_mutex_t** mutex) {
    if (!quon_apr_pool) return APR_ENOPOOL;
    SpareMutex* spare = spares;
    if (!spare) return apr_thread_mutex_create(mutex, APR_THREAD_MUTEX_UNNESTED, quon_apr_pool);
    spares = spare->next;
    *mutex = spare->mutex;
    spare->next = emptyNodes;
    emptyNodes = spare;
    return APR_SUCCESS;
}

// A mutex that some thread still holds is destroyed (and reported) rather than kept.
apr_status_t keepMutex(apr_thread_mutex_t* mutex) {
    if (!kRecycleMutexes) return apr_thread_mutex_destroy(mutex);
    SpareMutex* node = emptyNodes;
    if (node)
        emptyNodes = node->next;
    else if (quon_apr_pool)
        node = static_cast<SpareMutex*>(apr_palloc(quon_apr_pool, sizeof(SpareMutex)));
    if (!node || apr_thread_mutex_trylock(mutex) != APR_SUCCESS) {
        if (node) node->next = emptyNodes, emptyNodes = node;
        return apr_thread_mutex_destroy(mutex);
    }
    apr_thread_mutex_unlock(mutex);
    node->mutex = mutex;
    node->next = spares;
    spares = node;
    return APR_SUCCESS;
}

void stderrSink(int, const char* message) { fprintf(stderr, "%s\n", message); }
std::atomic<qnSystemLogFn> systemLog{stderrSink};

void systemMessage(int level, const char* message) { systemLog.load()(level, message); }
}  // namespace

void qnSetSystemLog(qnSystemLogFn sink) { systemLog.store(sink ? sink : stderrSink); }

void initQuonMutexPool(void) {
    pthread_mutex_lock(&poolGuard);
    if (apr_pool_create_ex(&quon_apr_pool, nullptr, nullptr, nullptr) != APR_SUCCESS) {
        quon_apr_pool = nullptr;
        systemMessage(QN_LOG_CRIT, "initMutexPool - error in apr pool creation!");
    }
    pthread_mutex_unlock(&poolGuard);
}

void freeQuonMutexPool(void) {
    pthread_mutex_lock(&poolGuard);
    if (quon_apr_pool) apr_pool_clear(quon_apr_pool);  // the kept mutexes go with it
    spares = emptyNodes = nullptr;
    pthread_mutex_unlock(&poolGuard);
}

void initSync(quon_request*, apr_thread_mutex_t** mutex, int32_t* held) {
    pthread_mutex_lock(&poolGuard);
    apr_status_t status = takeMutex(mutex);
    pthread_mutex_unlock(&poolGuard);
    if (status != APR_SUCCESS) {
        *mutex = nullptr;
        systemMessage(QN_LOG_CRIT, "initSync - error in mutex initialization!");
    }
    *held = 0;
}

void freeSync(quon_request*, apr_thread_mutex_t** mutex) {
    pthread_mutex_lock(&poolGuard);
    apr_status_t status = *mutex ? keepMutex(*mutex) : APR_EINVAL;
    pthread_mutex_unlock(&poolGuard);
    if (status != APR_SUCCESS)
        systemMessage(QN_LOG_WARN, "freeSync - could not destroy the mutex!");
    *mutex = nullptr;
}

// A mutex that failed (or was never made) is reported and the caller goes on as if
// it held the lock: the held flag then tells of a second holder.
void startSync(quon_request* req, apr_thread_mutex_t** mutex, int32_t* held) {
    if (!*mutex || apr_thread_mutex_lock(*mutex) != APR_SUCCESS)
        systemMessage(QN_LOG_CRIT, "startSync - error while locking mutex!");
    if (*held == 1 && req) req->logAt(req, QN_LOG_ERROR, "startSync - detected broken mutex!");
    *held = 1;
}

void stopSync(quon_request* req, apr_thread_mutex_t** mutex, int32_t* held) {
    if (*held == 0 && req) req->logAt(req, QN_LOG_ERROR, "stopSync - detected broken mutex!");
    *held = 0;
    if (!*mutex || apr_thread_mutex_unlock(*mutex) != APR_SUCCESS)
        systemMessage(QN_LOG_CRIT, "stopSync - error while unlocking mutex!");
}

void gtod(struct timeval* tv) { gettimeofday(tv, nullptr); }

unsigned int tvToMillis(const struct timeval* tv) {
    return static_cast<unsigned int>(tv->tv_sec) * 1000u +
           static_cast<unsigned int>(tv->tv_usec / 1000);
}

unsigned int nowMillis() {
    struct timeval tv;
    gtod(&tv);
    return tvToMillis(&tv);
}
