#include "server_context.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include "connections.h"
#include "event_log.h"
#include "http_exchange.h"
#include "sessions.h"
#include "settings.h"

namespace quon_backend {
namespace {

// Log lines, after the connection's tag in brackets.
constexpr char kLogClosed[] = "[%s] closed";
constexpr char kLogBadInput[] = "[%s] bad input: %s, closing";
constexpr char kLogRequest[] = "[%s] %s %s";

struct SocketNames {
    std::string peerAddress;
    std::string localPort;
};

SocketNames namesOf(int fd) {
    SocketNames names;
    sockaddr_in6 addr{};  // room for either family; sin6_port and sin_port share their place
    socklen_t size = sizeof addr;
    char text[INET6_ADDRSTRLEN] = "";
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
        sockaddr_in v4;
        std::memcpy(&v4, &addr, sizeof v4);
        if (addr.sin6_family == AF_INET6)
            ::inet_ntop(AF_INET6, &addr.sin6_addr, text, sizeof text);
        else
            ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    }
    names.peerAddress = text;
    size = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0)
        names.localPort = std::to_string(ntohs(addr.sin6_port));
    return names;
}

// The value of the JSESSIONID cookie, if the request carries one.
std::optional<std::string> sessionCookie(const HttpRequestHead& head) {
    const std::string* cookie = head.header("Cookie");
    if (!cookie) return std::nullopt;
    const size_t at = cookie->find("JSESSIONID=");
    if (at == std::string::npos) return std::nullopt;
    return std::string(sessionIdOf(std::string_view(*cookie).substr(at + 11)));
}

// The request as the application sees it, with the CGI variables in their usual order.
AppRequest toAppRequest(const HttpRequestHead& head, const SocketNames& names) {
    AppRequest r;
    r.method = head.method;
    const size_t q = head.target.find('?');
    r.uri = head.target.substr(0, q);
    if (q != std::string::npos) r.queryString = head.target.substr(q + 1);
    std::string serverName;
    if (const std::string* host = head.header("Host"))
        serverName = host->substr(0, host->rfind(':'));
    r.cgi = {{"QUERY_STRING", r.queryString},
             {"REQUEST_METHOD", r.method},
             {"SCRIPT_NAME", ""},
             {"PATH_INFO", ""},
             {"REMOTE_HOST", ""},
             {"REMOTE_ADDR", names.peerAddress},
             {"SERVER_NAME", serverName},
             {"SERVER_PORT", names.localPort},
             {"SERVER_PROTOCOL", head.version},
             {"PATH_TRANSLATED", ""},
             {"SERVER_PORT_SECURE", "0"},
             {"REMOTE_USER", ""},
             {"AUTH_TYPE", ""}};
    r.headers = head.headers;
    r.sessionId = sessionCookie(head);
    return r;
}

void answerBadRequest(SocketWriter& out, const std::string& why) {
    out.buffer().append("HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: ");
    out.buffer().append(std::to_string(why.size() + 1)).append("\r\nConnection: close\r\n\r\n");
    out.buffer().append(why).append("\n");
    out.flush();
}

class HttpConnection : public Connection {
public:
    HttpConnection(int fd, std::string tag, ServerContext& server)
        : Connection(fd, std::move(tag)), server_(server), in_(fd), out_(fd), names_(namesOf(fd)) {}

    bool serve() override {
        do {
            if (!serveNext() || server_.stopper.stopped()) return false;
        } while (in_.hasBuffered());
        return true;
    }

private:
    bool serveNext();

    ServerContext& server_;
    SocketReader in_;
    SocketWriter out_;
    const SocketNames names_;
};

// One request: its head, the application, and the rest of its body.
bool HttpConnection::serveNext() {
    const char* t = tag().c_str();
    const std::shared_ptr<const Settings> settings = server_.settings.current();
    HttpRequestHead head;
    std::string error;
    const HeadStatus status = readRequestHead(in_, head, kAnswerTimeoutMs, error);
    if (status == HeadStatus::TimedOut || status == HeadStatus::Closed) {
        server_.log.printf(kLogClosed, t);
        return false;
    }
    HttpBody body;
    if (status == HeadStatus::Bad || !body.start(head, error)) {
        server_.log.printf(kLogBadInput, t, error.c_str());
        answerBadRequest(out_, error);
        return false;
    }
    server_.log.printf(kLogRequest, t, printable(head.method).c_str(),
                       printable(head.target).c_str());
    const AppRequest request = toAppRequest(head, names_);
    const bool keepAlive = head.keepAlive();
    HttpExchange exchange(in_, out_, head, body, request.cgi, server_.docRoot, keepAlive);
    const AppContext context{*settings,
                             server_.settings,
                             server_.sessions,
                             server_.stopper,
                             server_.log,
                             server_.quonAddress,
                             tag()};
    const After after = serveRequest(request, exchange, context);
    return after == After::KeepOpen && keepAlive && !exchange.broken() && body.drain(in_);
}

}  // namespace

std::unique_ptr<Connection> newHttpConnection(int fd, std::string tag, ServerContext& server) {
    return std::make_unique<HttpConnection>(fd, std::move(tag), server);
}

}  // namespace quon_backend
