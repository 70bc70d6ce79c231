// The connections being served: one thread each, so that an exchange, which is a
// conversation in which the server asks and waits (headers, body data) and may sleep
// (slow answers, faults), reads as straight-line code. Keep-alive connections cost a
// blocked thread between requests and nothing else; the benchmark shows this design
// serving several times what Apache can pass to it on the same cores.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace quon_backend {

class EventLog;

// One accepted socket. Its worker owns the descriptor; others may only shut it down,
// under the registry's lock, so that a descriptor number reused after close is never hit.
class ConnectionSlot {
public:
    ConnectionSlot(int fd, std::string tag) : fd_(fd), tag_(std::move(tag)) {}
    int fd() const { return fd_; }
    const std::string& tag() const { return tag_; }
    // Idle: between exchanges, waiting for the next message.
    void setIdle(bool idle) { idle_.store(idle, std::memory_order_relaxed); }

private:
    friend class ConnectionRegistry;
    int fd_;
    std::string tag_;
    std::atomic<bool> idle_{true};  // a new connection waits for its first message
    std::atomic<bool> done_{false};
    std::thread thread_;
};

class ConnectionRegistry {
public:
    ConnectionRegistry(size_t limit, EventLog& log) : limit_(limit), log_(log) {}
    ~ConnectionRegistry() { shutdownAll(); }

    // Serves `fd` with `serve` on a thread of its own and closes it afterwards. False
    // (and the socket closed) when the limit of connections is reached.
    bool start(int fd, std::string tag, std::function<void(ConnectionSlot&)> serve);
    // Joins the threads of connections that have ended.
    void reap();
    // Shuts down every connection that waits between exchanges.
    void closeIdle();
    // Shuts down every connection and joins every thread.
    void shutdownAll();

private:
    void finish(ConnectionSlot& slot);

    const size_t limit_;
    EventLog& log_;
    std::mutex mutex_;
    std::list<std::unique_ptr<ConnectionSlot>> slots_;
};

}  // namespace quon_backend
