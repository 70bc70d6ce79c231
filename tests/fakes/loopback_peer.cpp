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

Clock::time_point after(int timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

void closeIfOpen(int& sock) {
    if (sock >= 0) ::close(sock);
    sock = -1;
}

// A TCP socket bound to host (loopback only) on a free port; -1 on failure. address
// receives the port that the kernel chose.
int bindLoopback(const char* host, sockaddr_in& address) {
    address = {};
    address.sin_family = AF_INET;
    if (inet_pton(AF_INET, host, &address.sin_addr) != 1) return -1;
    if ((ntohl(address.sin_addr.s_addr) >> 24) != 127) return -1;
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    socklen_t size = sizeof address;
    if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(sock);
        return -1;
    }
    return sock;
}

// Starts a non-blocking connect to address; the socket, or -1.
int startConnect(const sockaddr_in& address) {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    if (connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
        errno == EINPROGRESS)
        return sock;
    ::close(sock);
    return -1;
}
}  // namespace

LoopbackPeer::LoopbackPeer(const char* host, int receiveBuffer) {
    listener_ = bindLoopback(host, address_);
    if (listener_ < 0) return;
    // Set on the listener, the size passes to every accepted connection.
    if (receiveBuffer > 0)
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (listen(listener_, 16) != 0) closeIfOpen(listener_);
}

LoopbackPeer::~LoopbackPeer() {
    closeIfOpen(connection_);
    closeIfOpen(listener_);
}

bool LoopbackPeer::accept(int timeoutMs) {
    closeIfOpen(connection_);
    if (listener_ < 0 || !waitUntil(listener_, POLLIN, after(timeoutMs))) return false;
    connection_ = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    return connection_ >= 0;
}

bool LoopbackPeer::send(std::string_view bytes, int timeoutMs) {
    const Clock::time_point deadline = after(timeoutMs);
    while (!bytes.empty() && connection_ >= 0) {
        ssize_t count = ::send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (count > 0)
            bytes.remove_prefix(size_t(count));
        else if (count < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        else if (!waitUntil(connection_, POLLOUT, deadline))
            return false;
    }
    return bytes.empty();
}

std::string LoopbackPeer::receive(std::size_t count, int timeoutMs) {
    const Clock::time_point deadline = after(timeoutMs);
    std::string bytes;
    char chunk[65536];
    while (bytes.size() < count && connection_ >= 0) {
        size_t wanted = std::min(sizeof chunk, count - bytes.size());
        ssize_t got = recv(connection_, chunk, wanted, 0);
        if (got > 0)
            bytes.append(chunk, size_t(got));
        else if (got == 0 || (errno != EAGAIN && errno != EINTR))
            break;
        else if (!waitUntil(connection_, POLLIN, deadline))
            break;
    }
    return bytes;
}

void LoopbackPeer::close() {
    closeIfOpen(connection_);
}

FullBacklogListener::FullBacklogListener(const char* host) {
    listener_ = bindLoopback(host, address_);
    if (listener_ < 0 || listen(listener_, 0) != 0) return;
    // Connect until one connect stays pending: from then on the queue is full and the
    // kernel drops every new request.
    for (int i = 0; i < 64 && !full_; ++i) {
        int filler = startConnect(address_);
        if (filler < 0) return;
        fillers_.push_back(filler);
        full_ = !waitUntil(filler, POLLOUT, after(100));
    }
}

FullBacklogListener::~FullBacklogListener() {
    for (int& filler : fillers_) closeIfOpen(filler);
    closeIfOpen(listener_);
}

RefusingPort::RefusingPort(const char* host) {
    sock_ = bindLoopback(host, address_);
}

RefusingPort::~RefusingPort() {
    closeIfOpen(sock_);
}
