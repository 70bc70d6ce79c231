// The built-in application: what one request asks for and what the application may do
// while it serves it. The protocol side (the binary protocol or HTTP/1.1) supplies the
// request and an Exchange; the application never sees which one it talks to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings.h"

namespace quon_backend {

class EventLog;
class SessionStore;
class Stopper;

struct NameValue {
    std::string name;
    std::string value;
};

struct AppRequest {
    std::string method;
    std::string uri;
    std::string queryString;
    std::vector<NameValue> cgi;  // variables as received, in order
    std::vector<NameValue> headers;
    std::vector<NameValue> attributes;  // values are raw bytes
    std::optional<std::string> arg;
    std::optional<std::string> sessionId;
};

// Result of one body read: the bytes, or the end (count 0), or the client's failure
// (a negative count); `ok` is false when the connection broke.
struct BodyChunk {
    bool ok = false;
    int32_t count = 0;
};

// The operations of one exchange. Writes are buffered; reads flush first. Once the
// connection has broken every operation does nothing and `broken()` is true.
class Exchange {
public:
    virtual ~Exchange() = default;
    virtual std::optional<std::string> getHeader(std::string_view name) = 0;
    virtual std::optional<std::string> getRealPath(std::string_view uri) = 0;
    virtual BodyChunk readBody(int32_t want, std::string& bytes) = 0;
    virtual void putStatus(int32_t status, std::string_view reason) = 0;
    // Lines "Name: value" each ended by CR LF; a line starting with a blank continues the last.
    virtual void putHeaderBlock(std::string_view block) = 0;
    virtual void putHeaderValue(std::string_view name, std::string_view value) = 0;
    // One body message of `length` bytes, given in one or more clientBytes calls.
    virtual void beginClient(size_t length) = 0;
    virtual void clientBytes(std::string_view bytes) = 0;
    virtual void setAttribute(std::string_view name, std::string_view value) = 0;
    virtual void putLoadValue(int32_t value) = 0;
    virtual void putClusterSeq(int32_t value) = 0;
    virtual void finish() = 0;
    virtual void busy() = 0;
    // Faults: a code the protocol does not know; a body string cut short; bytes that are
    // no message; a status, then a header block (or body) announcing `length` bytes.
    virtual void sendUnknownCode() = 0;
    virtual void sendTruncatedString() = 0;
    virtual void sendGarbage() = 0;
    virtual void sendBadLength(int32_t length) = 0;
    // Sends what is buffered now (the body in pieces that the peer sees apart).
    virtual void push() = 0;
    // Sends bytes as they are, outside any message, after what is buffered.
    virtual void rawBytes(std::string_view bytes) = 0;
    // Waits, sending nothing, until the peer closes or the server stops.
    virtual void hang() = 0;
    virtual bool broken() const = 0;
};

struct AppContext {
    const Settings& settings;
    SettingsStore& store;
    SessionStore& sessions;
    Stopper& stopper;
    EventLog& log;
    std::string_view server;  // the protocol address host:port, as the echo names it
    std::string_view tag;     // the connection's tag in the log
};

// Finished: the action ended the exchange itself; the connection stays open.
enum class After { KeepOpen, Close, Finished };

// Plays a fault that replaces the answer (busy, unknown code, cut string, close, no
// answer) and tells whether the connection stays open; false when there is none to play.
bool injectFault(Fault fault, Exchange& exchange, After& after);

// Serves one request through `exchange`, faults included.
After serveRequest(const AppRequest& request, Exchange& exchange, const AppContext& context);

}  // namespace quon_backend
