// Scripted TCP peers for socket and protocol tests. They live on loopback addresses only
// (127.0.0.0/8; any other host is refused) and on ports the kernel picked free.
//
// A peer runs on the test's own thread and never starts one: the kernel completes a
// connect into the listener's backlog before anyone accepts, so a test can connect,
// then accept, then script the peer's side step by step. Every wait of a peer ends
// after a bounded time.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The longest any peer operation waits unless told otherwise, in milliseconds.
inline constexpr int kPeerWaitMs = 5000;

// A listener that accepts one connection at a time and plays the far side of it.
class LoopbackPeer {
public:
    // Listens on host. A receiveBuffer above 0 pins the receive buffer of accepted
    // connections near that many bytes, so that a sender that is not read fills it soon.
    explicit LoopbackPeer(const char* host = "127.0.0.1", int receiveBuffer = 0);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool listening() const { return listener_ >= 0; }
    const sockaddr_in& address() const { return address_; }

    // Accepts the next connection, closing the previous one; false when none came in time.
    bool accept(int timeoutMs = kPeerWaitMs);
    // Writes all of bytes to the connection; false on failure or when the time ran out.
    bool send(std::string_view bytes, int timeoutMs = kPeerWaitMs);
    // Reads until count bytes, the end of the stream, a failure or the time-out; returns
    // what arrived.
    std::string receive(std::size_t count, int timeoutMs = kPeerWaitMs);
    // Closes the connection in order (FIN).
    void close();

private:
    sockaddr_in address_{};
    int listener_ = -1;
    int connection_ = -1;
};

// A listener that never accepts and whose accept queue is full: the kernel drops further
// connection requests, so a connect to it stays pending until the connecting side gives up.
class FullBacklogListener {
public:
    explicit FullBacklogListener(const char* host = "127.0.0.1");
    ~FullBacklogListener();
    FullBacklogListener(const FullBacklogListener&) = delete;
    FullBacklogListener& operator=(const FullBacklogListener&) = delete;

    // False when the queue could not be seen full within a bounded time.
    bool full() const { return full_; }
    const sockaddr_in& address() const { return address_; }

private:
    sockaddr_in address_{};
    int listener_ = -1;
    std::vector<int> fillers_;
    bool full_ = false;
};

// A port that is bound but not listening, held for the object's life so that nobody
// else takes it: every connect to it is refused.
class RefusingPort {
public:
    explicit RefusingPort(const char* host = "127.0.0.1");
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    bool bound() const { return sock_ >= 0; }
    const sockaddr_in& address() const { return address_; }

private:
    sockaddr_in address_{};
    int sock_ = -1;
};
