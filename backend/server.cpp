#include "server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server_context.h"

namespace quon_backend {
namespace {

constexpr char kLogListening[] = "listening on %s (protocol)%s%s";
constexpr char kLogRefusing[] = "refusing connections on %s";
constexpr char kLogAccepting[] = "accepting connections on %s";
constexpr char kLogAccepted[] = "[%s] accepted from %s";
constexpr char kLogStopped[] = "stopped";

// An IPv6 host in brackets: "[::1]:8009", as a connector names the server.
std::string addressText(const Endpoint& e) {
    const std::string host = e.family == AF_INET6 ? "[" + e.host + "]" : e.host;
    return host + ":" + std::to_string(e.port);
}

bool failWith(std::string& error, std::string why) {
    error = std::move(why);
    return false;
}

std::string peerText(const sockaddr_in6& peer) {
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.sin6_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &peer.sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(peer.sin6_port));
    }
    sockaddr_in v4;
    std::memcpy(&v4, &peer, sizeof v4);
    ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
}

}  // namespace

Server::Server(const Options& options, SettingsStore& settings, EventLog& log)
    : options_(options),
      context_{settings, sessions_, stopper_, log, "", "", options.docRoot},
      pool_(static_cast<size_t>(options.maxConnections), log, settings) {
    listeners_.push_back({options.quon, false});
    if (options.http) listeners_.push_back({*options.http, true});
}

Server::~Server() {
    for (Listener& l : listeners_)
        if (l.fd >= 0) ::close(l.fd);
    for (int fd : wakePipe_)
        if (fd >= 0) ::close(fd);
}

bool Server::listen(Listener& listener, std::string& error) {
    const Endpoint& at = listener.endpoint;
    const int fd = ::socket(at.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return failWith(error, std::strerror(errno));
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    union {
        sockaddr any;
        sockaddr_in v4;
        sockaddr_in6 v6;
    } addr{};
    socklen_t size = at.family == AF_INET6 ? sizeof addr.v6 : sizeof addr.v4;
    if (at.family == AF_INET6) {
        addr.v6.sin6_family = AF_INET6;
        addr.v6.sin6_port = htons(at.port);
        ::inet_pton(AF_INET6, at.host.c_str(), &addr.v6.sin6_addr);
    } else {
        addr.v4.sin_family = AF_INET;
        addr.v4.sin_port = htons(at.port);
        ::inet_pton(AF_INET, at.host.c_str(), &addr.v4.sin_addr);
    }
    if (::bind(fd, &addr.any, size) != 0 || ::listen(fd, 1024) != 0 ||
        ::getsockname(fd, &addr.any, &size) != 0) {
        error = "cannot listen on " + addressText(at) + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    // A listener reopened after the refuse fault comes back on the same port.
    listener.endpoint.port = ntohs(at.family == AF_INET6 ? addr.v6.sin6_port : addr.v4.sin_port);
    listener.fd = fd;
    return true;
}

bool Server::open(std::string& error) {
    if (::pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) != 0)
        return failWith(error, std::strerror(errno));
    if (!pool_.open(error)) return false;
    for (Listener& l : listeners_) {
        if (!listen(l, error)) return false;
        (l.http ? context_.httpAddress : context_.quonAddress) = addressText(l.endpoint);
    }
    context_.log.printf(kLogListening, context_.quonAddress.c_str(), options_.http ? ", " : "",
                        options_.http ? (context_.httpAddress + " (http)").c_str() : "");
    return writeReadyFile(error);
}

// The ready file is property text, written whole under a temporary name and renamed, so
// that whoever waits for it never reads half of it.
bool Server::writeReadyFile(std::string& error) const {
    if (options_.readyFile.empty()) return true;
    std::string text = "quon=" + context_.quonAddress + "\n";
    if (options_.http) text += "http=" + context_.httpAddress + "\n";
    text += "pid=" + std::to_string(::getpid()) + "\n";
    const std::string temporary = options_.readyFile + ".tmp";
    FILE* f = std::fopen(temporary.c_str(), "w");
    const bool written = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f && std::fclose(f) != 0) return failWith(error, "cannot write " + temporary);
    if (!written || std::rename(temporary.c_str(), options_.readyFile.c_str()) != 0)
        return failWith(error, "cannot write " + options_.readyFile);
    return true;
}

void Server::wake() {
    const char byte = 1;
    ssize_t ignored = ::write(wakePipe_[1], &byte, 1);
    (void)ignored;
}

void Server::stop() {
    stopper_.stop();
    wake();
}

void Server::settingsChanged() {
    if (context_.settings.current()->fault == Fault::CloseIdle) pool_.closeIdle();
    wake();
}

// Opens or closes the listening sockets as the refuse fault comes and goes.
void Server::applyRefuse() {
    const bool refuse = context_.settings.current()->fault == Fault::Refuse;
    for (Listener& l : listeners_) {
        std::string error;
        if (refuse && l.fd >= 0) {
            ::close(l.fd);
            l.fd = -1;
            context_.log.printf(kLogRefusing, addressText(l.endpoint).c_str());
        } else if (!refuse && l.fd < 0) {
            if (listen(l, error))
                context_.log.printf(kLogAccepting, addressText(l.endpoint).c_str());
            else
                context_.log.printf("%s", error.c_str());
        }
    }
}

void Server::acceptAll(Listener& listener) {
    for (;;) {
        sockaddr_in6 peer{};  // room for either family
        socklen_t size = sizeof peer;
        const int fd =
            ::accept4(listener.fd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
        if (fd < 0) return;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string tag = (listener.http ? "h" : "q") + std::to_string(++accepted_);
        context_.log.printf(kLogAccepted, tag.c_str(), peerText(peer).c_str());
        pool_.add(listener.http ? newHttpConnection(fd, std::move(tag), context_)
                                : newQuonConnection(fd, std::move(tag), context_));
    }
}

void Server::run() {
    while (!stopper_.stopped()) {
        applyRefuse();
        std::vector<pollfd> fds{{wakePipe_[0], POLLIN, 0}};
        std::vector<Listener*> open;
        for (Listener& l : listeners_) {
            if (l.fd < 0) continue;
            fds.push_back({l.fd, POLLIN, 0});
            open.push_back(&l);
        }
        if (::poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;
        char drain[64];
        while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
        }
        for (size_t i = 0; i < open.size() && !stopper_.stopped(); ++i)
            if (fds[i + 1].revents & POLLIN) acceptAll(*open[i]);
    }
    for (Listener& l : listeners_) {
        if (l.fd >= 0) ::close(l.fd);
        l.fd = -1;
    }
    pool_.stop();
    context_.log.printf(kLogStopped);
}

}  // namespace quon_backend
