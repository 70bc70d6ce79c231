#include "loopback_peer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {
using Clock = std::chrono::steady_clock;

Clock::time_point after(int timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

// Waits for events on sock until deadline; false when the time ran out or poll failed.
bool waitUntil(int sock, short events, Clock::time_point deadline) {
    pollfd entry{sock, events, 0};
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        int ready = poll(&entry, 1, int(left.count()));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

void closeIfOpen(int& sock) {
    if (sock >= 0) ::close(sock);
    sock = -1;
}
}  // namespace

LoopbackPort::LoopbackPort(const char* host, uint16_t port) {
    address_.sin_family = AF_INET;
    address_.sin_port = htons(port);
    if (inet_pton(AF_INET, host, &address_.sin_addr) != 1 ||
        (ntohl(address_.sin_addr.s_addr) >> 24) != 127)
        return;
    sock_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;  // a given port may still hold connections in TIME_WAIT
    if (sock_ >= 0 && port) setsockopt(sock_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    socklen_t size = sizeof address_;
    auto* named = reinterpret_cast<sockaddr*>(&address_);
    if (sock_ >= 0 && (bind(sock_, named, size) != 0 || getsockname(sock_, named, &size) != 0))
        closeIfOpen(sock_);
}

LoopbackPort::~LoopbackPort() { closeIfOpen(sock_); }

LoopbackPeer::LoopbackPeer(const char* host, int receiveBuffer) : LoopbackPort(host) {
    // Set on the listener, the size passes to every accepted connection.
    if (sock_ >= 0 && receiveBuffer > 0)
        setsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (sock_ >= 0 && listen(sock_, 16) != 0) closeIfOpen(sock_);
}

bool LoopbackPeer::accept(int timeoutMs) {
    closeIfOpen(connection_);
    if (sock_ < 0 || !waitUntil(sock_, POLLIN, after(timeoutMs))) return false;
    connection_ = accept4(sock_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    return connection_ >= 0;
}

bool LoopbackPeer::send(std::string_view bytes, int timeoutMs) {
    const Clock::time_point deadline = after(timeoutMs);
    while (!bytes.empty() && connection_ >= 0) {
        ssize_t count = ::send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (count > 0)
            bytes.remove_prefix(size_t(count));
        else if ((count < 0 && errno != EAGAIN && errno != EINTR) ||
                 !waitUntil(connection_, POLLOUT, deadline))
            return false;
    }
    return bytes.empty();
}

std::string LoopbackPeer::receive(std::size_t count, int timeoutMs) {
    const Clock::time_point deadline = after(timeoutMs);
    std::string bytes;
    char chunk[65536];
    while (bytes.size() < count && connection_ >= 0) {
        ssize_t got = recv(connection_, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
        if (got > 0)
            bytes.append(chunk, size_t(got));
        else if (got == 0 || (errno != EAGAIN && errno != EINTR) ||
                 !waitUntil(connection_, POLLIN, deadline))
            break;
    }
    return bytes;
}

void LoopbackPeer::close() { closeIfOpen(connection_); }

FullBacklogListener::FullBacklogListener(const char* host, uint16_t port)
    : LoopbackPort(host, port) {
    if (sock_ < 0 || listen(sock_, 0) != 0) return;
    // Connect until one connect stays pending: from then on the queue is full and the
    // kernel drops every new request.
    for (int i = 0; i < 64 && !full_; ++i) {
        int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (filler < 0) return;
        fillers_.push_back(filler);
        if (connect(filler, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) != 0 &&
            errno != EINPROGRESS)
            return;
        full_ = !waitUntil(filler, POLLOUT, after(100));
    }
}

FullBacklogListener::~FullBacklogListener() {
    for (int& filler : fillers_) closeIfOpen(filler);
}

ClosingListener::ClosingListener(const char* host) : LoopbackPort(host) {
    if (sock_ < 0 || listen(sock_, 128) != 0) return;
    thread_ = std::thread([this] {
        while (!done_) {
            if (!waitUntil(sock_, POLLIN, after(20))) continue;
            if (const int conn = accept(sock_, nullptr, nullptr); conn >= 0) {
                ++accepted_;
                ::close(conn);
            }
        }
    });
}

ClosingListener::~ClosingListener() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
}
