// quon_backend_load: a load driver for the binary protocol. One thread drives many
// keep-alive connections with epoll, each with one request exchange in flight: it sends
// PROXY_SERVICE_40, answers the server's questions (an empty header or path, the end of
// the body), reads to PROXY_FINISH and sends the next request. It reports the rate of
// finished exchanges.
//
//   quon_backend_load --target HOST:PORT [--connections N] [--seconds S]
//                     [--uri /bench/size] [--query n=100]
//   quon_backend_load --free-port HOST      prints a port that is free on HOST now
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "answer_parser.h"

namespace {

struct Config {
    std::string host = "127.0.0.1";
    int port = 0;
    int connections = 64;
    double seconds = 5;
    std::string uri = "/bench/size";
    std::string query = "n=100";
};

struct Connection {
    int fd = -1;
    std::string in;
    std::string out;
    size_t sent = 0;
};

bool parseTarget(const std::string& text, Config& c) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    c.host = text.substr(0, colon);
    c.port = std::atoi(text.c_str() + colon + 1);
    return c.port > 0;
}

int connectTo(const Config& c) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(c.port));
    if (inet_pton(AF_INET, c.host.c_str(), &addr.sin_addr) != 1) return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int freePort(const std::string& host) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    socklen_t size = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
        return -1;
    ::close(fd);
    return ntohs(addr.sin_port);
}

// Writes what is pending; false when the connection failed.
bool flushOut(Connection& c) {
    while (c.sent < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        c.sent += static_cast<size_t>(n);
    }
    c.out.clear();
    c.sent = 0;
    return true;
}

int run(const Config& config) {
    const std::string request = quon_bench::serviceRequest(config.uri, config.query);
    std::vector<Connection> conns(static_cast<size_t>(config.connections));
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < conns.size(); ++i) {
        conns[i].fd = connectTo(config);
        if (conns[i].fd < 0) {
            std::fprintf(stderr, "cannot connect to %s:%d\n", config.host.c_str(), config.port);
            return 1;
        }
        // A new connection starts with PROXY_PING, as the connector's pool does.
        conns[i].out = quon_bench::ping() + request;
        if (!flushOut(conns[i])) return 1;
        epoll_event ev{EPOLLIN, {.u64 = i}};
        ::epoll_ctl(ep, EPOLL_CTL_ADD, conns[i].fd, &ev);
    }
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(config.seconds);
    long long finished = 0, failed = 0;
    std::vector<epoll_event> events(conns.size());
    char buffer[65536];
    while (Clock::now() < end) {
        const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
        for (int k = 0; k < n; ++k) {
            Connection& c = conns[events[k].data.u64];
            const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                std::fprintf(stderr, "connection closed by the server\n");
                return 1;
            }
            c.in.append(buffer, static_cast<size_t>(got));
            const quon_bench::Progress p = quon_bench::consume(c.in, c.out);
            if (p.ends > 0) c.out += request;
            finished += p.finished;
            failed += p.busy + p.bad;
            if (p.bad > 0 || !flushOut(c)) return 1;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("exchanges %lld busy %lld seconds %.2f rate %.0f\n", finished, failed, elapsed,
                static_cast<double>(finished) / elapsed);
    for (Connection& c : conns) ::close(c.fd);
    ::close(ep);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Config config;
        for (int i = 1; i + 1 < argc; i += 2) {
            const std::string option = argv[i], value = argv[i + 1];
            if (option == "--free-port") {
                std::printf("%d\n", freePort(value));
                return 0;
            }
            if (option == "--target" && !parseTarget(value, config)) return 2;
            if (option == "--connections")
                config.connections = std::max(1, std::atoi(value.c_str()));
            if (option == "--seconds") config.seconds = std::atof(value.c_str());
            if (option == "--uri") config.uri = value;
            if (option == "--query") config.query = value;
        }
        if (config.port == 0) {
            std::fprintf(stderr, "usage: quon_backend_load --target HOST:PORT [options]\n");
            return 2;
        }
        return run(config);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quon_backend_load: %s\n", e.what());
        return 1;
    }
}
