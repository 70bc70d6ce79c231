#include "server_context.h"

#include "connections.h"
#include "core/proxy/wire_codes.h"
#include "event_log.h"
#include "quon_exchange.h"
#include "service_message.h"
#include "settings.h"

namespace quon_backend {
namespace {

// Longest property-set name the server reads.
constexpr int32_t kMaxSetName = 4096;

// Log lines, after the connection's tag in brackets.
constexpr char kLogClosed[] = "[%s] closed: %s";
constexpr char kLogPing[] = "[%s] PROXY_PING";
constexpr char kLogUnknownCode[] = "[%s] bad input: unknown message code %d, closing";
constexpr char kLogBadSetName[] = "[%s] bad input: PROXY_GET_PROPS name: %s, closing";
constexpr char kLogNoSetName[] = "[%s] PROXY_GET_PROPS name: %s, closing";
constexpr char kLogGetProps[] = "[%s] PROXY_GET_PROPS %s";
constexpr char kLogFault[] = "[%s] fault %s";
constexpr char kLogNoLength[] = "[%s] PROXY_SERVICE_40 length: %s, closing";
constexpr char kLogBadLength[] = "[%s] bad input: PROXY_SERVICE_40 length %d, closing";
constexpr char kLogNoItems[] = "[%s] PROXY_SERVICE_40 items: %s, closing";
constexpr char kLogBadItems[] = "[%s] bad input: PROXY_SERVICE_40 %s, closing";
constexpr char kLogService[] = "[%s] PROXY_SERVICE_40 %d bytes %s %s";

class QuonConnection : public Connection {
public:
    QuonConnection(int fd, std::string tag, ServerContext& server)
        : Connection(fd, std::move(tag)), server_(server), log_(server.log), in_(fd), out_(fd) {}

    bool serve() override;

private:
    bool serveMessage();
    bool serveProps();
    bool serveService();

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
        log_.printf(kLogClosed, tag().c_str(), describe(status));
        return false;
    }
    switch (code) {
        case PROXY_PING:
            log_.printf(kLogPing, tag().c_str());
            return true;
        case PROXY_GET_PROPS:
            return serveProps();
        case PROXY_SERVICE_40:
            return serveService();
        default:
            log_.printf(kLogUnknownCode, tag().c_str(), code);
            return false;
    }
}

// PROXY_GET_PROPS: the set's text, the cluster sequence number, then PROXY_FINISH; for an
// unknown set PROXY_FINISH alone ("clustered-servers" always has a text).
bool QuonConnection::serveProps() {
    std::string name;
    const ReadStatus status = in_.readString(name, kMaxSetName, kAnswerTimeoutMs);
    if (status != ReadStatus::Ok) {
        log_.printf(status == ReadStatus::BadLength ? kLogBadSetName : kLogNoSetName, tag().c_str(),
                    describe(status));
        return false;
    }
    log_.printf(kLogGetProps, tag().c_str(), printable(name).c_str());
    const std::shared_ptr<const Settings> settings = server_.settings.current();
    QuonExchange exchange(in_, out_, log_, tag());
    exchange.setTruncatedCode(PROXY_PUT_PROPS);
    const Fault fault = settings->propsFault != Fault::None &&
                                settings->propsFault != Fault::Refuse &&
                                server_.settings.takeFault(true)
                            ? settings->propsFault
                            : Fault::None;
    if (fault != Fault::None) log_.printf(kLogFault, tag().c_str(), faultName(fault));
    After after = After::KeepOpen;
    if (injectFault(fault, exchange, after)) return after == After::KeepOpen && !exchange.broken();
    // A set the server does not have is answered with PROXY_FINISH alone; without a
    // member list of its own the server is a cluster of one and names itself, so that a
    // connector bootstrapped from it learns a member.
    const std::string* text = settings->propertySet(name);
    std::string ownList;
    if (!text && name == kMemberSet) {
        ownList = ownMemberList(settings->repId, server_.quonAddress);
        text = &ownList;
    }
    if (text) {
        exchange.putProps(*text);
        if (settings->clusterSeq) exchange.putClusterSeq(*settings->clusterSeq);
    }
    exchange.finish();
    return fault != Fault::CloseIdle && !exchange.broken();
}

// PROXY_SERVICE_40: reads the whole message, checks it, and lets the application serve it.
bool QuonConnection::serveService() {
    int32_t length = 0;
    ReadStatus status = in_.readInt32(length, kAnswerTimeoutMs);
    if (status != ReadStatus::Ok) {
        log_.printf(kLogNoLength, tag().c_str(), describe(status));
        return false;
    }
    if (length < 4 || length > kMaxServiceItems) {
        log_.printf(kLogBadLength, tag().c_str(), length);
        return false;
    }
    std::string items(static_cast<size_t>(length), '\0');
    status = in_.readExact(items.data(), items.size(), kAnswerTimeoutMs);
    if (status != ReadStatus::Ok) {
        log_.printf(kLogNoItems, tag().c_str(), describe(status));
        return false;
    }
    AppRequest request;
    std::string error;
    if (!parseServiceItems(items, request, error)) {
        log_.printf(kLogBadItems, tag().c_str(), error.c_str());
        return false;
    }
    log_.printf(kLogService, tag().c_str(), length, printable(request.method).c_str(),
                printable(request.uri).c_str());
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
