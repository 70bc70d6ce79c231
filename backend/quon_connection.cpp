#include "server_context.h"

#include "connections.h"
#include "core/wire_codes.h"
#include "event_log.h"
#include "quon_exchange.h"
#include "service_message.h"
#include "settings.h"

namespace quon_backend {
namespace {

// Longest property-set name the server reads.
constexpr int32_t kMaxSetName = 4096;

class QuonConnection : public Connection {
public:
    QuonConnection(int fd, std::string tag, ServerContext& server)
        : Connection(fd, std::move(tag)), server_(server), log_(server.log), in_(fd), out_(fd) {}

    bool serve() override;

private:
    bool serveMessage();
    bool serveProps();
    bool serveService();
    void logLine(const char* text, const std::string& detail = "") {
        log_.printf("[%s] %s%s", tag().c_str(), text, detail.c_str());
    }

    ServerContext& server_;
    EventLog& log_;
    SocketReader in_;
    SocketWriter out_;
};

bool QuonConnection::serve() {
    do {
        if (!serveMessage() || server_.stopper.stopped()) return false;
    } while (in_.hasBuffered());
    return true;
}

// One message from the client: a ping, a props exchange or a request exchange.
bool QuonConnection::serveMessage() {
    int32_t code = 0;
    const ReadStatus status = in_.readInt32(code, kAnswerTimeoutMs);
    if (status != ReadStatus::Ok) {
        logLine("closed: ", describe(status));
        return false;
    }
    switch (code) {
        case PROXY_PING:
            logLine("PROXY_PING");
            return true;
        case PROXY_GET_PROPS:
            return serveProps();
        case PROXY_SERVICE_40:
            return serveService();
        default:
            logLine("bad input: unknown message code ", std::to_string(code) + ", closing");
            return false;
    }
}

// PROXY_GET_PROPS: the set's text, the cluster sequence number, then PROXY_FINISH.
bool QuonConnection::serveProps() {
    std::string name;
    const ReadStatus status = in_.readString(name, kMaxSetName, kAnswerTimeoutMs);
    if (status != ReadStatus::Ok) {
        logLine(status == ReadStatus::BadLength ? "bad input: " : "",
                std::string("PROXY_GET_PROPS name: ") + describe(status) + ", closing");
        return false;
    }
    logLine("PROXY_GET_PROPS ", printable(name));
    const std::shared_ptr<const Settings> settings = server_.settings.current();
    QuonExchange exchange(in_, out_, log_, tag());
    exchange.setTruncatedCode(PROXY_PUT_PROPS);
    const Fault fault = settings->propsFault != Fault::None &&
                                settings->propsFault != Fault::Refuse &&
                                server_.settings.takeFault(true)
                            ? settings->propsFault
                            : Fault::None;
    if (fault != Fault::None) logLine("fault ", faultName(fault));
    After after = After::KeepOpen;
    if (injectFault(fault, exchange, after)) return after == After::KeepOpen && !exchange.broken();
    if (const std::string* text = settings->propertySet(name)) exchange.putProps(*text);
    if (settings->clusterSeq) exchange.putClusterSeq(*settings->clusterSeq);
    exchange.finish();
    return fault != Fault::CloseIdle && !exchange.broken();
}

// PROXY_SERVICE_40: reads the whole message, checks it, and lets the application serve it.
bool QuonConnection::serveService() {
    int32_t length = 0;
    ReadStatus status = in_.readInt32(length, kAnswerTimeoutMs);
    if (status != ReadStatus::Ok) {
        logLine("PROXY_SERVICE_40 length: ", std::string(describe(status)) + ", closing");
        return false;
    }
    if (length < 4 || length > kMaxServiceItems) {
        logLine("bad input: PROXY_SERVICE_40 length ", std::to_string(length) + ", closing");
        return false;
    }
    std::string items(static_cast<size_t>(length), '\0');
    status = in_.readExact(items.data(), items.size(), kAnswerTimeoutMs);
    if (status != ReadStatus::Ok) {
        logLine("PROXY_SERVICE_40 items: ", std::string(describe(status)) + ", closing");
        return false;
    }
    AppRequest request;
    std::string error;
    if (!parseServiceItems(items, request, error)) {
        logLine("bad input: PROXY_SERVICE_40 ", error + ", closing");
        return false;
    }
    logLine("PROXY_SERVICE_40 ", std::to_string(length) + " bytes " + printable(request.method) +
                                     " " + printable(request.uri));
    const std::shared_ptr<const Settings> settings = server_.settings.current();
    const AppContext context{
        *settings, server_.settings, server_.sessions, server_.stopper, log_, server_.quonAddress,
        tag()};
    QuonExchange exchange(in_, out_, log_, tag());
    return serveRequest(request, exchange, context) == After::KeepOpen;
}

}  // namespace

std::unique_ptr<Connection> newQuonConnection(int fd, std::string tag, ServerContext& server) {
    return std::make_unique<QuonConnection>(fd, std::move(tag), server);
}

}  // namespace quon_backend
