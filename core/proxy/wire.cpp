#include "wire.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "log_limit.h"
#include "pool.h"
#include "property.h"
#include "socket.h"
#include "stall.h"
#include "wire_codes.h"

namespace {
constexpr const char* kClusteredServers = "clustered-servers";
constexpr const char* kProtocolError = "protocol error: %s sent %s of %d bytes, limit %d";
constexpr int kFirstScratch = 4096;
}  // namespace

int sendBytes(quon_request* req, const char* buffer, int length, int sock, int* sentOut) {
    if (sentOut) *sentOut = 0;
    if (length == 0) return 0;
    int sent = 0;
    for (int result = 1; sent < length && result > 0;) {
        result = req->send(req, sock, buffer + sent, length - sent);
        if (result > 0) {
            sent += result;
            req->trace(req, "sent/avail/result %d/%d/%d", sent, length, result);
        } else if (result < 0) {
            req->trace(req, "send failed, sent/avail/result %d/%d/%d", sent, length, result);
        }
    }
    if (sentOut) *sentOut = sent;
    return sent == length ? length : -1;
}

ExchangeBuffer::~ExchangeBuffer() {
    if (data_) req_->free(req_, data_);
}

char* ExchangeBuffer::reserve(int size, int keep) {
    if (size <= size_) return data_;
    // Doubling keeps the blocks of a long exchange few; small exchanges take one.
    long grown = std::max<long>({size, 2L * size_, kFirstScratch});
    auto* data = static_cast<char*>(req_->malloc(req_, int(std::min<long>(grown, INT_MAX))));
    if (!data) {
        req_->errorCode = ENOBUFS;
        return nullptr;
    }
    if (keep > 0) memcpy(data, data_, size_t(keep));
    if (data_) req_->free(req_, data_);
    data_ = data;
    size_ = int(std::min<long>(grown, INT_MAX));
    return data_;
}

namespace {
// One call of the receive operation into destination. The proxy goes along, so that a
// wait that runs out pings its server and goes on while the server answers.
int receive(quon_request* req, quonConnection* conn, quonProxy* proxy, char* destination, int room,
            int length, int total) {
    int result = req->recv(req, conn->sock, destination, room, proxy);
    if (result > 0) req->answerBytes += result;
    if (result > 0 && req->stallSlot) qnStallAnswered(req);
    req->trace(req, "read/len/total %d/%d/%d", result, length, total + (result > 0 ? result : 0));
    if (result == 0) {
        req->errorCode = ECONNRESET;
        req->traceE(req, QN_TRACE_EVENT, "readFully: [%d] peer closed connection", conn->sock);
    }
    return result;
}

// Refills an empty receive buffer; the bytes received, or 0 or less on failure.
int refill(quon_request* req, quonConnection* conn, quonProxy* proxy, int length, int total) {
    int result = receive(req, conn, proxy, conn->buffer, QN_RECV_BUFFER_SIZE, length, total);
    conn->readAt = 0;
    conn->filled = result > 0 ? result : 0;
    return result;
}

const char* nameOf(const quonProxy* proxy) { return proxy ? proxy->name : "<null>"; }
}  // namespace

int readFully(quon_request* req, char* buffer, int length, quonConnection* conn, quonProxy* proxy) {
    int total = 0;
    while (total < length) {
        int held = conn->filled - conn->readAt;
        if (held == 0 && length - total >= QN_RECV_BUFFER_SIZE) {
            int result = receive(req, conn, proxy, buffer + total, length - total, length, total);
            if (result <= 0) return -1;
            total += result;
            continue;
        }
        if (held == 0 && (held = refill(req, conn, proxy, length, total)) <= 0) return -1;
        int taken = std::min(held, length - total);
        memcpy(buffer + total, conn->buffer + conn->readAt, size_t(taken));
        conn->readAt += taken;
        total += taken;
    }
    return 0;
}

bool readInt32(quon_request* req, quonConnection* conn, quonProxy* proxy, int32_t* value) {
    char bytes[4];
    if (readFully(req, bytes, 4, conn, proxy) != 0) return false;
    *value = getInt32(bytes);
    return true;
}

int readPiece(quon_request* req, quonConnection* conn, quonProxy* proxy, int most,
              const char** piece, char* room, int roomSize) {
    int held = conn->filled - conn->readAt;
    if (held == 0 && room && most >= QN_RECV_BUFFER_SIZE) {
        int result = receive(req, conn, proxy, room, std::min(most, roomSize), most, 0);
        *piece = room;
        return result > 0 ? result : -1;
    }
    if (held == 0 && (held = refill(req, conn, proxy, most, 0)) <= 0) return -1;
    int taken = std::min(held, most);
    *piece = conn->buffer + conn->readAt;
    conn->readAt += taken;
    return taken;
}

bool readLength(quon_request* req, quonConnection* conn, quonProxy* proxy, const char* command,
                int limit, int32_t* length) {
    if (!readInt32(req, conn, proxy, length)) return false;
    if (*length >= 0 && *length <= limit) return true;
    protocolError(req, proxy, command, *length, limit);
    return false;
}

void protocolError(quon_request* req, const quonProxy* proxy, const char* command, int length,
                   int limit) {
    req->errorCode = EQUON_OUT_OF_SYNC;
    req->logAt(req, QN_LOG_ERROR, kProtocolError, nameOf(proxy), command, length, limit);
}

//  +--------------+-------------+
//  | int32 N      | N bytes     |   N = 0: empty (or absent); 0 <= N <= limit
//  +--------------+-------------+
char* readData(quonConnection* conn, quon_request* req, int* length, quonProxy* proxy,
               const char* command, int limit) {
    int32_t n;
    if (!readLength(req, conn, proxy, command, limit, &n)) return nullptr;
    char* buffer = n < INT_MAX ? static_cast<char*>(req->malloc(req, n + 1)) : nullptr;
    if (!buffer) {
        req->errorCode = ENOBUFS;
        return nullptr;
    }
    if (readFully(req, buffer, n, conn, proxy) != 0) {
        req->free(req, buffer);
        return nullptr;
    }
    buffer[n] = '\0';
    if (length) *length = n;
    return buffer;
}

char* readData(quonConnection* conn, quon_request* req, int* length, quonProxy* proxy,
               const char* command, int limit, ExchangeBuffer& scratch, int offset) {
    int32_t n;
    if (!readLength(req, conn, proxy, command, limit, &n)) return nullptr;
    char* base = long(offset) + n < INT_MAX ? scratch.reserve(offset + n + 1, offset) : nullptr;
    if (!base) {
        req->errorCode = ENOBUFS;
        return nullptr;
    }
    char* text = base + offset;
    if (readFully(req, text, n, conn, proxy) != 0) return nullptr;
    text[n] = '\0';
    if (length) *length = n;
    return text;
}

int maxHeaderSize(const quon_request* req) {
    return req->maxHeaderSize > 0 ? req->maxHeaderSize : QN_DEFAULT_MAX_HEADER_SIZE;
}

int maxPropsSize(const quon_request* req) {
    return req->maxPropsSize > 0 ? req->maxPropsSize : QN_DEFAULT_MAX_PROPS_SIZE;
}

int writeString(quon_request* req, int sock, const char* text) {
    ExchangeBuffer scratch(req);
    return writeString(req, sock, text, scratch);
}

int writeString(quon_request* req, int sock, const char* text, ExchangeBuffer& scratch) {
    size_t n = text ? strlen(text) : 0;
    if (n > size_t(INT_MAX - 4)) return -1;
    char* buffer = scratch.reserve(int(n) + 4);
    if (!buffer) return -1;
    int length = appendString(buffer, 0, text);
    return sendBytes(req, buffer, length, sock) == length ? 0 : -1;
}

int appendString(char* buffer, int offset, const char* text) {
    int n = text ? int(strlen(text)) : 0;
    putInt32(buffer + offset, n);
    if (n > 0) memcpy(buffer + offset + 4, text, size_t(n));
    return offset + 4 + n;
}

namespace {
constexpr const char* kLateWhileSending =
    "%s closing pooled socket [%d]: bytes arrived before the request was sent whole";

// The message that opens an exchange, in as many sends as the socket takes. On a pooled
// connection nothing can answer a message the server does not have whole yet: bytes that
// are there before a further part goes out are an earlier exchange's, and the connection
// is given up at once (false, EQUON_OUT_OF_SYNC in errorCode, *late set) with the server
// holding a part that it cannot act on.
bool sendOpening(quon_request* req, quonProxy* proxy, int sock, const char* message, int length,
                 bool pooled, int* sent, bool* late) {
    *sent = 0;
    *late = false;
    if (!pooled) return sendBytes(req, message, length, sock, sent) == length;
    while (*sent < length) {
        if (*sent > 0 && req->pending && req->pending(req, sock) != 0) {
            req->logAt(req, QN_LOG_WARN, kLateWhileSending, proxy->name, sock);
            req->errorCode = EQUON_OUT_OF_SYNC;
            *late = true;
            return false;
        }
        const int result = req->send(req, sock, message + *sent, length - *sent);
        if (result <= 0) return false;
        *sent += result;
        req->trace(req, "sent/avail/result %d/%d/%d", *sent, length, result);
    }
    return true;
}
}  // namespace

// A failure on a connection from the idle list (which may have gone stale) sends the
// message again on another connection, each retry using up one idle connection, but only
// where that cannot repeat it: the message is repeatable, or the server cannot have it
// whole (none of it went out, or late bytes cut it short). A failure on a connection
// opened for this very attempt ends it.
quonConnection* sendCommand(quonProxy* proxy, quon_request* req, const char* message, int length,
                            int32_t* cmd, bool repeatable, bool* delivered) {
    for (;;) {
        req->attemptStage = QN_STAGE_CONNECT;
        quonConnection* conn = getQuonConnectionFromPool(proxy, req);
        if (!conn) return nullptr;
        req->attemptStage = QN_STAGE_SEND;
        bool pooled = conn->next != nullptr;
        int sent = 0;
        bool late = false;
        if (!sendOpening(req, proxy, conn->sock, message, length, pooled, &sent, &late)) {
            const bool partial = sent > 0 && !late;
            if (delivered && partial) *delivered = true;
            destroyQuonConnection(req, proxy, conn);
            if (!pooled || (partial && !repeatable)) return nullptr;
            req->traceE(req, QN_TRACE_EVENT, "%s send was pooled, trying again", proxy->name);
            continue;
        }
        if (delivered) *delivered = true;
        req->attemptStage = QN_STAGE_RECEIVE;
        if (readInt32(req, conn, proxy, cmd)) return conn;
        int sock = conn->sock;
        destroyQuonConnection(req, proxy, conn);
        // The time for this response is up: the request goes nowhere else.
        if (req->errorCode == EQUON_RESPONSE_TIMEOUT) return nullptr;
        if (pooled && repeatable) continue;
        logLimited(req, &proxy->logLimits.kinds[QN_LIMIT_EXCHANGE], QN_LOG_ERROR,
                   "Quon closed connection. [%d] dropped while sending command", sock);
        return nullptr;
    }
}

//  00 00 00 0C
int sendPingMsg(quon_request* req, quonProxy* proxy, int sock) {
    char ping[4];
    putInt32(ping, PROXY_PING);
    int result = sendBytes(req, ping, 4, sock);
    if (result == 4)
        req->traceE(req, QN_TRACE_DETAIL, "%s is reachable", proxy->name);
    else
        req->traceE(req, QN_TRACE_EVENT, "%s couldn't ping via [%d]", proxy->name, sock);
    return result;
}

namespace {
// One command of a props exchange; false ends the exchange as failed.
bool serveProps(quon_request* req, quonProxy* proxy, quonConnection* conn, const char* name,
                int32_t cmd, propertyTable** table, int32_t* clusterSeq) {
    int sock = conn->sock;
    switch (cmd) {
        case PROXY_BUSY:
            req->logAt(req, QN_LOG_WARN, "Quon unable to fetch %.250s <- [%d], proxy busy", name,
                       sock);
            req->errorCode = EQUON_BUSY;
            return false;
        case PROXY_PUT_PROPS: {
            req->trace(req, "PROXY_PUT_PROPS <- [%d]", sock);
            char* text = readData(conn, req, nullptr, proxy, "PROXY_PUT_PROPS", maxPropsSize(req));
            if (!text) return false;
            if (strcmp(name, kClusteredServers) == 0)
                req->traceE(req, QN_TRACE_EVENT, "clustered-servers: %s", text);
            if (*table) freeProperties(req, *table);
            *table = parseProperties(req, text);
            req->free(req, text);
            return true;
        }
        case PROXY_PUT_CLUSTER_SEQ: {
            int32_t seq;
            if (!readInt32(req, conn, proxy, &seq)) {
                req->trace(req, "PROXY_PUT_CLUSTER_SEQ <- [%d]", sock);
                req->logAt(req, QN_LOG_ERROR, "Failed to read cluster update from %s", proxy->name);
                return false;
            }
            req->traceE(req, QN_TRACE_EVENT, "PROXY_PUT_CLUSTER_SEQ <- [%d] seq %d", sock, seq);
            if (clusterSeq) *clusterSeq = seq;
            return true;
        }
        default:
            req->logAt(req, QN_LOG_ERROR, "Unexpected command %d <- [%d] while fetching %.250s",
                       cmd, sock, name);
            return false;
    }
}
}  // namespace

//  +----------+-------------+------------+
//  | int32 13 | int32 N     | N bytes    |   PROXY_GET_PROPS, name of the set
//  +----------+-------------+------------+
propertyTable* fetchProps(quon_request* req, quonProxy* proxy, const char* name,
                          int32_t* clusterSeq) {
    if (clusterSeq) *clusterSeq = -1;
    int length = 8 + int(strlen(name));
    auto* message = static_cast<char*>(req->malloc(req, length));
    if (!message) return nullptr;
    putInt32(message, PROXY_GET_PROPS);
    appendString(message, 4, name);
    // The whole exchange, connect included, ends by the record's response deadline: an
    // upkeep record sets one, so that a server that never answers holds it up no longer.
    ExchangeDeadline deadline(req, proxy);
    int32_t cmd = 0;
    quonConnection* conn = sendCommand(proxy, req, message, length, &cmd, true);
    req->free(req, message);
    if (!conn) {
        req->trace(req, "%s could not fetch %.250s", proxy->name, name);
        return nullptr;
    }
    CheckedOut exchange(req, proxy, conn);
    int sock = exchange.sock();
    req->trace(req, "PROXY_GET_PROPS(%.250s) -> [%d]", name, sock);
    propertyTable* table = nullptr;
    bool failed = false;
    while (cmd != PROXY_FINISH && cmd > 0) {
        if (!serveProps(req, proxy, exchange.get(), name, cmd, &table, clusterSeq)) {
            failed = true;
            break;
        }
        if (!readInt32(req, exchange.get(), proxy, &cmd)) {
            logLimited(req, &proxy->logLimits.kinds[QN_LIMIT_EXCHANGE], QN_LOG_ERROR,
                       "command error: %s <- [%d]", describeError(req->errorCode), sock);
            failed = true;
            break;
        }
    }
    if (!failed && cmd == PROXY_FINISH) {
        exchange.giveBack();
        return table;
    }
    req->traceE(req, QN_TRACE_EVENT, "fetchProps aborting");
    if (table) freeProperties(req, table);
    return nullptr;  // the exchange's connection is destroyed with it
}
