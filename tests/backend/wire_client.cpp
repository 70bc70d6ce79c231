#include "wire_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

#include "backend_process.h"

namespace backend_test {

std::string be32(int32_t value) {
    const auto u = static_cast<uint32_t>(value);
    return {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
            static_cast<char>(u)};
}

std::string str(std::string_view text) {
    return be32(static_cast<int32_t>(text.size())) + std::string(text);
}

std::string item(int32_t code, std::string_view value) { return be32(code) + str(value); }

std::string cgiItems(std::string_view method, std::string_view query) {
    return item(19, query) + item(22, method) + item(29, "/app") + item(28, "") + item(20, "") +
           item(21, "127.0.0.1") + item(24, "localhost") + item(25, "80") + item(26, "HTTP/1.1") +
           item(27, "") + item(33, "0") + item(34, "") + item(35, "");
}

std::string service40(std::string_view items) {
    return be32(39) + be32(static_cast<int32_t>(items.size())) + std::string(items);
}

std::string simpleRequest(std::string_view uri, std::string_view query, std::string_view method) {
    return service40(cgiItems(method, query) + item(23, uri) + be32(31));
}

Client::~Client() { close(); }

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

bool Client::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::optional<std::string> Client::read(size_t n) {
    std::string bytes(n, '\0');
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::recv(fd_, bytes.data() + got, n - got, 0);
        if (r <= 0) return std::nullopt;
        got += static_cast<size_t>(r);
    }
    return bytes;
}

std::optional<int32_t> Client::readInt32() {
    std::optional<std::string> b = read(4);
    if (!b) return std::nullopt;
    const auto* u = reinterpret_cast<const unsigned char*>(b->data());
    return static_cast<int32_t>((uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) |
                                (uint32_t{u[2]} << 8) | uint32_t{u[3]});
}

std::optional<std::string> Client::readString() {
    std::optional<int32_t> length = readInt32();
    if (!length || *length < 0 || *length > (64 << 20)) return std::nullopt;
    return read(static_cast<size_t>(*length));
}

std::optional<Command> Client::readCommand() {
    std::optional<int32_t> code = readInt32();
    if (!code) return std::nullopt;
    Command c{*code, 0, "", ""};
    std::optional<std::string> s1, s2;
    std::optional<int32_t> n;
    switch (c.code) {
        case 3:
        case 4:
        case 7:
        case 8:
        case 14:  // one string
            if (!(s1 = readString())) return std::nullopt;
            c.first = *s1;
            break;
        case 6:  // status, reason
            if (!(n = readInt32()) || !(s1 = readString())) return std::nullopt;
            c.number = *n;
            c.first = *s1;
            break;
        case 15:
        case 40:
        case 41:  // one int32
            if (!(n = readInt32())) return std::nullopt;
            c.number = *n;
            break;
        case 18:
        case 37:  // name, value
            if (!(s1 = readString()) || !(s2 = readString())) return std::nullopt;
            c.first = *s1;
            c.second = *s2;
            break;
        default:  // 9, 38 and codes without a payload
            break;
    }
    return c;
}

std::vector<Command> Client::readUntilEnd() {
    std::vector<Command> commands;
    while (std::optional<Command> c = readCommand()) {
        commands.push_back(*c);
        if (c->code == 9 || c->code == 38 || c->code == 3 || c->code == 4 || c->code == 15) break;
    }
    return commands;
}

bool Client::closedByPeer(size_t allowed) {
    char buffer[4096];
    size_t extra = 0;
    for (;;) {
        const ssize_t r = ::recv(fd_, buffer, sizeof buffer, 0);
        if (r == 0 || (r < 0 && errno == ECONNRESET)) return extra <= allowed;
        if (r < 0) return false;  // time-out: still open
        extra += static_cast<size_t>(r);
    }
}

bool Client::silentFor(int ms) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

void Client::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::string describe(const std::vector<Command>& commands) {
    std::ostringstream out;
    for (const Command& c : commands)
        out << c.code << ":" << c.number << ":" << c.first << ":" << c.second << " | ";
    return out.str();
}

std::string bodyOf(const std::vector<Command>& commands) {
    std::string body;
    for (const Command& c : commands)
        if (c.code == 8) body += c.first;
    return body;
}

std::optional<std::string> lineValue(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind(key + ": ", 0) == 0) return line.substr(key.size() + 2);
    return std::nullopt;
}

}  // namespace backend_test
