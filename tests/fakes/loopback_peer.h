// Scripted TCP peers on loopback addresses only, on free ports. A peer runs on the test's
// own thread: a connect completes into the backlog, so a test can connect, then accept,
// then script the peer step by step. Every wait is bounded.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <filesystem>
#include <thread>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kPeerWaitMs = 5000;  // the longest any peer operation waits by default

// How many descriptors the process has open.
inline long openDescriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// A TCP socket bound to a loopback host on a free port (or the port given), closed with
// the object.
class LoopbackPort {
public:
    explicit LoopbackPort(const char* host = "127.0.0.1", uint16_t port = 0);
    ~LoopbackPort();
    LoopbackPort(const LoopbackPort&) = delete;
    LoopbackPort& operator=(const LoopbackPort&) = delete;

    bool bound() const { return sock_ >= 0; }
    const sockaddr_in& address() const { return address_; }

protected:
    sockaddr_in address_{};
    int sock_ = -1;
};

// Bound and never listening: every connect is refused, and nobody else takes the port.
using RefusingPort = LoopbackPort;

// A listener that accepts one connection at a time and plays the far side of it. A
// receiveBuffer above 0 pins the receive buffer of accepted connections near that many
// bytes, so that a sender that is not read fills it soon.
class LoopbackPeer : public LoopbackPort {
public:
    explicit LoopbackPeer(const char* host = "127.0.0.1", int receiveBuffer = 0);
    ~LoopbackPeer() { close(); }

    bool listening() const { return bound(); }
    // Accepts the next connection, closing the previous one.
    bool accept(int timeoutMs = kPeerWaitMs);
    bool send(std::string_view bytes, int timeoutMs = kPeerWaitMs);
    // Reads until count bytes, the end of the stream, a failure or the time-out.
    std::string receive(std::size_t count, int timeoutMs = kPeerWaitMs);
    void close();  // closes the connection in order (FIN)

private:
    int connection_ = -1;
};

// A listener that takes every connection and closes it at once, on a thread of its own,
// counting them: a port where something answers, but no back-end server.
class ClosingListener : public LoopbackPort {
public:
    explicit ClosingListener(const char* host = "127.0.0.1");
    ~ClosingListener();
    bool listening() const { return thread_.joinable(); }
    int accepted() const { return accepted_; }

private:
    std::atomic<bool> done_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// A listener that never accepts and whose accept queue is full: a connect to it stays
// pending until the connecting side gives up.
class FullBacklogListener : public LoopbackPort {
public:
    explicit FullBacklogListener(const char* host = "127.0.0.1", uint16_t port = 0);
    ~FullBacklogListener();
    bool full() const { return full_; }  // false when the queue was not seen full in time

private:
    std::vector<int> fillers_;
    bool full_ = false;
};
