// The connections being served. Idle connections wait in one epoll set; a small pool of
// worker threads takes them one at a time as their next message arrives (EPOLLONESHOT,
// so a connection is never served by two threads) and serves it with plain blocking
// reads, since an exchange is a conversation in which the server asks and waits
// (headers, body data) and may sleep (slow answers, faults). A busy machine thus runs
// about one thread per core, without a thread switch per request, which a thread per
// connection would cost. A monitor adds a worker when every worker is held up in a long
// exchange, so a slow or silent peer never stalls the others; it also closes connections
// idle beyond the idle time-out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace quon_backend {

class EventLog;
class SettingsStore;

// One accepted socket and the protocol that serves it. The pool owns it and closes the
// descriptor when it destroys it.
class Connection {
public:
    Connection(int fd, std::string tag) : fd_(fd), tag_(std::move(tag)) {}
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Serves the message that has started to arrive and every one already buffered after
    // it; false when the connection is to be closed.
    virtual bool serve() = 0;

    int fd() const { return fd_; }
    const std::string& tag() const { return tag_; }

private:
    friend class ConnectionPool;
    int fd_;
    std::string tag_;
    std::atomic<bool> idle_{true};         // waiting in the epoll set
    std::atomic<int64_t> idleSinceMs_{0};  // when it last became idle
    // Held by the worker that serves the connection. The one-shot epoll hand-over already
    // orders the workers; the lock states that order where thread checkers see it.
    std::mutex serving_;
};

class ConnectionPool {
public:
    ConnectionPool(size_t limit, EventLog& log, SettingsStore& settings);
    ~ConnectionPool() { stop(); }
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // Creates the epoll set and starts the workers and the monitor.
    bool open(std::string& error);
    // Takes a new connection; false (and the connection closed) at the limit.
    bool add(std::unique_ptr<Connection> connection);
    // Shuts down every connection that waits between exchanges.
    void closeIdle();
    // Ends every connection, then the workers and the monitor. Connections in the middle
    // of an exchange see their socket shut down and return.
    void stop();

private:
    struct Worker {
        std::thread thread;
        std::atomic<int64_t> busySinceMs{0};  // 0 while waiting for a connection
    };

    void startWorker();
    void work(Worker& self);
    void monitor();
    bool rearm(Connection* connection);
    void remove(Connection* connection);
    void closeIdleFor(int64_t idleMs);

    const size_t limit_;
    EventLog& log_;
    SettingsStore& settings_;
    int epoll_ = -1;
    int wake_ = -1;  // an eventfd that wakes every worker at the stop
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::unordered_map<Connection*, std::unique_ptr<Connection>> connections_;
    std::list<Worker> workers_;  // only the monitor adds; joined at the stop
    std::thread monitor_;
};

int64_t monotonicMs();

}  // namespace quon_backend
