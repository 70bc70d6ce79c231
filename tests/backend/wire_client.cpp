#include "wire_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "backend_process.h"

namespace backend_test {

bool Client::connect(const std::string& address) {
    const size_t colon = address.rfind(':');
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(colon + 1))));
    if (::inet_pton(AF_INET, address.substr(0, colon).c_str(), &addr.sin_addr) != 1) return false;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval timeout{static_cast<time_t>(kWait.count() / 1000), 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
    close();
    return false;
}

bool Client::send(const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::optional<std::string> Client::read(size_t n) {
    std::string bytes(n, '\0');
    for (size_t got = 0; got < n;) {
        const ssize_t r = ::recv(fd_, bytes.data() + got, n - got, 0);
        if (r <= 0) return std::nullopt;
        got += static_cast<size_t>(r);
    }
    return bytes;
}

bool Client::closedByPeer() {
    char byte;
    const ssize_t r = ::recv(fd_, &byte, 1, 0);
    return r == 0 || (r < 0 && errno == ECONNRESET);  // not on a time-out or a byte
}

bool Client::silentFor(int ms) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

void Client::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace backend_test
