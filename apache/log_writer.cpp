// The child's log thread. Apache's error-log formatting takes about 16 KiB of the calling
// thread's stack, and a thread's stack stays resident to the depth of the deepest call it
// ever made: every worker that once wrote a failure line would keep that much more for the
// rest of the child's life, so a child's memory would creep up with each failure that a
// new worker meets. Lines of notice and above (the failures, which a request writes) are
// therefore written on this thread, while the calling thread waits: each line is in the
// log before its caller goes on, in the order written, as if written directly. Trace and
// debug lines (written only while an operator asks for them) stay on their own thread.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it

#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include <http_log.h>

APLOG_USE_MODULE(quon);

namespace {
// The line being handed over; mutex guards it and the flags.
struct Handoff {
    pthread_mutex_t gate = PTHREAD_MUTEX_INITIALIZER;  // one line at a time
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t posted = PTHREAD_COND_INITIALIZER;
    pthread_cond_t written = PTHREAD_COND_INITIALIZER;
    server_rec* server = nullptr;
    int level = 0;
    const char* prefix = nullptr;
    const char* message = nullptr;
    bool pending = false;
    bool stop = false;
    pthread_t thread{};
    // The child that runs the thread: a process forked from it (to run another program)
    // has no such thread and writes its lines itself.
    std::atomic<pid_t> owner{0};
};
Handoff handoff;

void* writerMain(void*) {
    pthread_mutex_lock(&handoff.mutex);
    for (;;) {
        while (!handoff.pending && !handoff.stop)
            pthread_cond_wait(&handoff.posted, &handoff.mutex);
        if (handoff.pending) {
            ap_log_error(nullptr, 0, APLOG_MODULE_INDEX, handoff.level, 0, handoff.server, "%s %s",
                         handoff.prefix, handoff.message);
            handoff.pending = false;
            pthread_cond_broadcast(&handoff.written);
            continue;
        }
        break;
    }
    pthread_mutex_unlock(&handoff.mutex);
    return nullptr;
}

// Runs when the child's pool is cleared: the thread writes what it was given and ends.
apr_status_t stopLogWriter(void*) {
    if (handoff.owner.load() != getpid()) return APR_SUCCESS;
    handoff.owner.store(0);
    pthread_mutex_lock(&handoff.gate);
    pthread_mutex_lock(&handoff.mutex);
    handoff.stop = true;
    pthread_cond_broadcast(&handoff.posted);
    pthread_mutex_unlock(&handoff.mutex);
    pthread_join(handoff.thread, nullptr);
    pthread_mutex_unlock(&handoff.gate);
    return APR_SUCCESS;
}
}  // namespace

void startLogWriter(apr_pool_t* pchild) {
    if (handoff.owner.load() == getpid()) return;
    handoff.stop = false;
    handoff.pending = false;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, size_t(256) << 10);
    const int error = pthread_create(&handoff.thread, &attributes, writerMain, nullptr);
    pthread_attr_destroy(&attributes);
    if (error != 0) return;  // lines are then written by their own threads
    handoff.owner.store(getpid());
    apr_pool_cleanup_register(pchild, nullptr, stopLogWriter, apr_pool_cleanup_null);
}

bool writeOnLogThread(server_rec* server, int level, const char* prefix, const char* message) {
    if (level > APLOG_NOTICE || handoff.owner.load(std::memory_order_relaxed) != getpid())
        return false;
    pthread_mutex_lock(&handoff.gate);
    // Stopped meanwhile: the caller writes it.
    const bool running = handoff.owner.load() == getpid();
    if (running) {
        pthread_mutex_lock(&handoff.mutex);
        handoff.server = server;
        handoff.level = level;
        handoff.prefix = prefix;
        handoff.message = message;
        handoff.pending = true;
        pthread_cond_signal(&handoff.posted);
        while (handoff.pending) pthread_cond_wait(&handoff.written, &handoff.mutex);
        pthread_mutex_unlock(&handoff.mutex);
    }
    pthread_mutex_unlock(&handoff.gate);
    return running;
}
