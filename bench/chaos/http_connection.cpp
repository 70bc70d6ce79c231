#include "http_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace chaos {
namespace {
// A response head or chunk line beyond this is no answer the driver expects.
constexpr size_t kMaxLine = 64 * 1024;
constexpr size_t kMaxBody = 16 * 1024 * 1024;

bool headerIs(const std::string& line, const char* name, std::string& value) {
    size_t n = strlen(name);
    if (line.size() <= n || line[n] != ':' || strncasecmp(line.c_str(), name, n) != 0) return false;
    size_t from = line.find_first_not_of(' ', n + 1);
    value = from == std::string::npos ? "" : line.substr(from);
    return true;
}

// "127.0.0.3:40123" -> 3
int lastOctet(const std::string& address) {
    size_t colon = address.rfind(':');
    size_t dot = address.rfind('.', colon);
    if (colon == std::string::npos || dot == std::string::npos) return 0;
    return atoi(address.c_str() + dot + 1);
}
}  // namespace

bool HttpConnection::connect() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    if (inet_pton(AF_INET, host_.c_str(), &addr.sin_addr) != 1) return false;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Every read and write is bounded: a hung exchange is recorded, not waited out.
    timeval tv{timeoutMs_ / 1000, (timeoutMs_ % 1000) * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close();
        return false;
    }
    return true;
}

void HttpConnection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    in_.clear();
}

bool HttpConnection::sendAll(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

bool HttpConnection::fill() {
    char buffer[16384];
    for (;;) {
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        in_.append(buffer, size_t(n));
        return true;
    }
}

bool HttpConnection::readLine(std::string& line) {
    size_t end;
    while ((end = in_.find("\r\n")) == std::string::npos) {
        if (in_.size() > kMaxLine || !fill()) return false;
    }
    line = in_.substr(0, end);
    in_.erase(0, end + 2);
    return true;
}

bool HttpConnection::readHead(Response& r, long& length, bool& chunked) {
    std::string line, value;
    if (!readLine(line) || line.compare(0, 5, "HTTP/") != 0 || line.size() < 12) return false;
    r.status = atoi(line.c_str() + 9);
    bool http10 = line.compare(0, 8, "HTTP/1.0") == 0;
    r.close = http10;
    for (;;) {
        if (!readLine(line)) return false;
        if (line.empty()) return true;
        if (headerIs(line, "Content-Length", value)) {
            length = atol(value.c_str());
        } else if (headerIs(line, "Transfer-Encoding", value)) {
            chunked = strcasecmp(value.c_str(), "chunked") == 0;
        } else if (headerIs(line, "Connection", value)) {
            r.close = strcasecmp(value.c_str(), "close") == 0 ||
                      (http10 && strcasecmp(value.c_str(), "keep-alive") != 0);
        } else if (headerIs(line, "X-Quon-Server", value)) {
            r.serverOctet = lastOctet(value);
        } else if (headerIs(line, "Set-Cookie", value) && value.rfind("JSESSIONID=", 0) == 0) {
            r.cookie = value.substr(11, value.find(';') - 11);
        }
    }
}

bool HttpConnection::readBody(Response& r, long length, bool chunked) {
    if (chunked) {
        for (;;) {
            std::string line;
            if (!readLine(line)) return false;
            size_t size = strtoul(line.c_str(), nullptr, 16);
            if (size > kMaxBody) return false;
            while (in_.size() < size + 2)
                if (!fill()) return false;
            r.body.append(in_, 0, size);
            in_.erase(0, size + 2);
            // Trailers are not expected; the empty line after the last chunk ends it.
            if (size == 0) return true;
        }
    }
    if (length < 0) {  // to the close
        r.close = true;
        while (fill())
            if (in_.size() > kMaxBody) return false;
        r.body.swap(in_);
        return true;
    }
    if (size_t(length) > kMaxBody) return false;
    while (in_.size() < size_t(length))
        if (!fill()) return false;
    r.body.assign(in_, 0, size_t(length));
    in_.erase(0, size_t(length));
    return true;
}

Response HttpConnection::exchange(const std::string& request) {
    Response r;
    if (fd_ < 0 && !connect()) return r;
    long length = -1;
    bool chunked = false;
    if (!sendAll(request) || !readHead(r, length, chunked)) {
        close();
        return Response{};
    }
    // A HEAD-less driver: 204 and 304 carry no body, everything else does.
    if (r.status == 204 || r.status == 304) length = 0;
    if (!readBody(r, length, chunked)) {
        close();
        return Response{};
    }
    if (r.close) close();
    return r;
}

}  // namespace chaos
