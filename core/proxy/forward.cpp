// The request exchange: the message goes out on a pooled connection, then every command
// of the server is served until PROXY_FINISH. Answers to the server's questions go back
// on the connection; status, headers and body go to the web server as they arrive.
#include "forward.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <initializer_list>

#include "error_page.h"
#include "log_limit.h"
#include "pool.h"
#include "response_head.h"
#include "socket.h"
#include "wire.h"
#include "wire_codes.h"

namespace {
constexpr const char* kResponseTimedOut =
    "%s did not finish its response within %d ms (responsetimeout): its connection is closed "
    "and the request is not sent again";

constexpr int kMaxClientWriteFailures = 4;
constexpr int kBodyRoom = 65536;

// What an exchange leaves in the request is bounded: the names it sends (headers,
// attribute names, the names it asks for) by maxheadersize together, and the rest it
// keeps (attribute values, with those the request carried in; real paths asked for and
// answered) by maxpropssize together. Beyond either bound the exchange is a protocol error.
long retainedAtStart(const quon_request* req) {
    long bytes = 0;
    for (const qnAttribute* a = req->attributes; a; a = a->next) bytes += a->size;
    return bytes;
}

// One exchange in progress on a checked-out connection. Strings that no command keeps
// are read into the exchange's scratch buffer, and answers are built there.
struct Exchange {
    Exchange(quon_request* r, quonProxy* p, quonConnection* c, int32_t* seq, bool headRequest)
        : req(r), proxy(p), conn(c), sock(c->sock), clusterSeq(seq), scratch(r),
          head(r, p, headRequest), retained(retainedAtStart(r)) {}
    // The body bytes that reached the web server count for the attempt, whatever its end.
    ~Exchange() { req->bodyBytesPassed += head.passed(); }

    quon_request* req;
    quonProxy* proxy;
    quonConnection* conn;
    int sock;
    int32_t* clusterSeq;
    ExchangeBuffer scratch;
    ResponseHead head;
    long headerBytes = 0;  // header strings of the exchange so far
    bool unflushed = false;  // body bytes went to the web server since its last flush
    long retained;         // bytes the request keeps of the exchange, see retainedAtStart

    bool readInt(int32_t* value) { return readInt32(req, conn, proxy, value); }
    // A string of at most maxheadersize bytes into scratch at offset.
    char* readText(const char* command, int offset = 0, int* length = nullptr) {
        return readData(conn, req, length, proxy, command, maxHeaderSize(req), scratch, offset);
    }
    // The header bytes of one exchange are bounded together, so that a server cannot go
    // on sending headers for ever; even an empty string counts one byte.
    bool addHeaderBytes(const char* command, int length) {
        headerBytes += std::max(length, 1);
        if (headerBytes <= maxHeaderSize(req)) return true;
        protocolError(req, proxy, command, int(std::min<long>(headerBytes, INT_MAX)),
                      maxHeaderSize(req));
        return false;
    }
    // The bytes besides names that the request keeps of the exchange.
    bool retain(const char* command, long bytes) {
        retained += std::max(bytes, 1L);
        if (retained <= maxPropsSize(req)) return true;
        protocolError(req, proxy, command, int(std::min<long>(retained, INT_MAX)),
                      maxPropsSize(req));
        return false;
    }
};

bool serveGetHeader(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_GET_HEADER <- [%d]", x.sock);
    int length = 0;
    char* name = x.readText("PROXY_GET_HEADER", 0, &length);
    if (!name || !x.addHeaderBytes("PROXY_GET_HEADER", length)) return false;
    const char* value = req->getHeader(req, name);  // name is not used after this
    bool sent = writeString(req, x.sock, value, x.scratch) == 0;
    req->freeHeader(req, value);
    return sent;
}

bool serveGetRealPath(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_GET_REALPATH <- [%d]", x.sock);
    int length = 0;
    char* uri = x.readText("PROXY_GET_REALPATH", 0, &length);
    if (!uri || !x.retain("PROXY_GET_REALPATH", length)) return false;
    char* path = req->getRealPath(req, uri);
    bool sent = x.retain("PROXY_GET_REALPATH", path ? long(strlen(path)) : 0) &&
                writeString(req, x.sock, path, x.scratch) == 0;
    if (path) req->free(req, path);
    return sent;
}

bool servePutStatus(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_PUT_STATUS <- [%d]", x.sock);
    int32_t status;
    if (!x.readInt(&status)) return false;
    char* reason = x.readText("PROXY_PUT_STATUS");
    if (!reason) return false;
    req->trace(req, "  %d %.80s", status, reason);
    x.head.setStatus(status, reason);  // kept until the response starts
    return true;
}

bool servePutHeader(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_PUT_HEADER <- [%d]", x.sock);
    int length = 0;
    char* block = x.readText("PROXY_PUT_HEADER", 0, &length);
    if (!block || !x.addHeaderBytes("PROXY_PUT_HEADER", length)) return false;
    char *name, *value;
    for (char* at = block; (at = nextHeader(at, &name, &value));)
        if (!x.head.addHeader(name, value)) return false;
    return true;
}

// Body bytes go to the client in pieces, never gathered whole: a message that fits the
// receive buffer goes in one write, a longer one in pieces of at most kBodyRoom bytes.
// The response starts (status and headers go to the web server) once the first piece is
// in hand, so an exchange that fails before leaves nothing behind; no piece goes beyond
// the length the head declared. The client may have gone: after a failed write the rest
// of the message is read and dropped, a few failed messages are absorbed, more than four
// in a row end the exchange.
bool servePutClient(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_PUT_CLIENT <- [%d]", x.sock);
    int32_t left;
    if (!readLength(req, x.conn, x.proxy, "PROXY_PUT_CLIENT", INT_MAX, &left)) return false;
    bool written = true;
    if (left <= QN_RECV_BUFFER_SIZE) {
        // In one piece: from the receive buffer when it holds it all, else gathered.
        const char* bytes = "";
        int count = left > 0 ? readPiece(req, x.conn, x.proxy, left, &bytes) : 0;
        if (count < 0) return false;
        if (count < left) {
            char* whole = x.scratch.reserve(left);
            if (!whole) return false;
            memcpy(whole, bytes, size_t(count));
            if (readFully(req, whole + count, left - count, x.conn, x.proxy) != 0) return false;
            bytes = whole;
        }
        if (!x.head.committed() && !x.head.commit()) return false;
        // An empty message still goes to the web server, which sends what it holds.
        const int pass = x.head.admit(left);
        if (pass > 0 || left == 0) written = req->writeClient(req, bytes, pass) != -1;
        x.unflushed = pass > 0;  // an empty message is the server's own flush
        left = 0;
    }
    // Received straight into a room of the scratch buffer: fewer and larger receives and
    // writes than through the receive buffer.
    char* room = left > 0 ? x.scratch.reserve(kBodyRoom) : nullptr;
    if (left > 0 && !room) return false;
    while (left > 0) {
        const char* piece;
        int count = readPiece(req, x.conn, x.proxy, left, &piece, room, kBodyRoom);
        if (count < 0 || (!x.head.committed() && !x.head.commit())) return false;
        const int pass = x.head.admit(count);
        if (written && pass > 0) written = req->writeClient(req, piece, pass) != -1;
        x.unflushed = x.unflushed || pass > 0;
        left -= count;
    }
    if (written) return true;
    req->errorCode = EQUON_CLIENT_DOWN;
    return req->clientWriteFailures <= kMaxClientWriteFailures;
}

bool serveGetData(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_GET_DATA <- [%d]", x.sock);
    int32_t wanted;
    if (!x.readInt(&wanted)) {
        req->logAt(req, QN_LOG_ERROR, "getData: can't get length");
        return false;
    }
    return sendPostData(req, wanted, x.conn, x.scratch) != 0;
}

// The attribute list takes the two buffers over and frees them when the request ends
// (the handler's freeAttributes): a retry on another server sends them along. When the
// list did not take them (no memory for the node) they are released at once.
bool serveSetAttribute(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_SET_ATTRIBUTE <- [%d]", x.sock);
    const char* command = "PROXY_SET_ATTRIBUTE";
    int nameLength = 0;
    char* name = readData(x.conn, req, &nameLength, x.proxy, command, maxHeaderSize(req));
    if (!name) return false;
    int length = 0;
    char* value = readData(x.conn, req, &length, x.proxy, command, maxPropsSize(req));
    if (!value || !x.addHeaderBytes(command, nameLength) || !x.retain(command, length)) {
        req->free(req, name);
        if (value) req->free(req, value);
        return false;
    }
    qnAttribute* before = req->attributes;
    req->setAttribute(req, name, value, length);
    req->trace(req, "  %.200s %d bytes", name, length);
    qnAttribute* node = req->attributes;
    if (node && node != before && node->name == name) {
        node->owned = 1;
    } else {
        req->free(req, name);
        req->free(req, value);
    }
    return true;
}

// Name and value lie side by side in the scratch buffer.
bool servePutHeaderValue(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_PUT_HEADER_VALUE <- [%d]", x.sock);
    const char* command = "PROXY_PUT_HEADER_VALUE";
    int nameLength = 0, valueLength = 0;
    if (!x.readText(command, 0, &nameLength) || !x.addHeaderBytes(command, nameLength))
        return false;
    char* value = x.readText(command, nameLength + 1, &valueLength);
    if (!value || !x.addHeaderBytes(command, valueLength)) return false;
    return x.head.addHeader(value - nameLength - 1, value);
}

bool servePutClusterSeq(Exchange& x) {
    quon_request* req = x.req;
    int32_t seq;
    if (!x.readInt(&seq)) {
        req->trace(req, "PROXY_PUT_CLUSTER_SEQ <- [%d]", x.sock);
        req->logAt(req, QN_LOG_ERROR, "Failed to read cluster update from %s", x.proxy->name);
        return false;
    }
    req->traceE(req, QN_TRACE_DETAIL, "PROXY_PUT_CLUSTER_SEQ <- [%d] seq %d", x.sock, seq);
    if (x.clusterSeq) *x.clusterSeq = seq;
    return true;
}

bool servePutLoadValue(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_PUT_LOAD_VALUE <- [%d]", x.sock);
    int32_t load;
    if (!x.readInt(&load)) return false;
    if (proxyServerInfo* info = x.proxy->serverInfo)
        info->weight.store(load, std::memory_order_relaxed);
    req->trace(req, "    load val: %i", load);
    return true;
}

// One command of the exchange; false ends the exchange as failed.
bool serveCommand(Exchange& x, int32_t cmd) {
    switch (cmd) {
        case PROXY_GET_HEADER:
            return serveGetHeader(x);
        case PROXY_GET_REALPATH:
            return serveGetRealPath(x);
        case PROXY_PUT_STATUS:
            return servePutStatus(x);
        case PROXY_PUT_HEADER:
            return servePutHeader(x);
        case PROXY_PUT_CLIENT:
            return servePutClient(x);
        case PROXY_GET_DATA:
            return serveGetData(x);
        case PROXY_SET_ATTRIBUTE:
            return serveSetAttribute(x);
        case PROXY_PUT_HEADER_VALUE:
            return servePutHeaderValue(x);
        case PROXY_PUT_CLUSTER_SEQ:
            return servePutClusterSeq(x);
        case PROXY_PUT_LOAD_VALUE:
            return servePutLoadValue(x);
        case PROXY_BUSY:
            x.req->trace(x.req, "PROXY_BUSY <- [%d]", x.sock);
            x.req->errorCode = EQUON_BUSY;
            return false;
        default:
            x.req->logAt(x.req, QN_LOG_ERROR, "handleQnppRequest: bad command: %d <- [%d]", cmd,
                         x.sock);
            x.req->errorCode = EQUON_OUT_OF_SYNC;
            return false;
    }
}

// A failed exchange: the client gets its page (or its cut response) through proxyerror.
int failExchange(quon_request* req, quonProxy* proxy) {
    if (req->errorCode == EQUON_RESPONSE_TIMEOUT)
        logLimited(req, &proxy->logLimits.kinds[QN_LIMIT_TIMEOUT], QN_LOG_ERROR, kResponseTimedOut,
                   proxy->name, req->responseTimeout);
    proxyerror(req, proxy);
    return -1;
}
}  // namespace

bool repeatable(const char* method) {
    for (const char* safe : {"GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"})
        if (method && strcmp(method, safe) == 0) return true;
    return false;
}

bool repeatableMethod(quon_request* req) {
    const char* method = req->getHeader(req, "REQUEST_METHOD");
    const bool result = repeatable(method);
    req->freeHeader(req, method);
    return result;
}

int proxy_handleRequest(quon_request* req, quonProxy* proxy, const char* arg, int32_t* clusterSeq) {
    req->trace(req, "%s proxy_handleRequest()", proxy->name);
    if (clusterSeq) *clusterSeq = -1;
    char* message = nullptr;
    RequestFacts facts;
    int length = buildRequest(req, &message, arg, &facts);
    if (length <= 0) {
        proxyerror(req, proxy);
        return -1;
    }
    int32_t cmd = 0;
    bool delivered = false;
    ExchangeDeadline deadline(req, proxy);
    quonConnection* conn =
        sendCommand(proxy, req, message, length, &cmd, facts.repeatable, &delivered);
    req->free(req, message);
    if (delivered) req->messageSent = 1;
    if (!conn) return failExchange(req, proxy);
    CheckedOut exchange(req, proxy, conn);
    Exchange x(req, proxy, conn, clusterSeq, facts.head);
    bool failed = false;
    while (cmd != PROXY_FINISH && cmd > 0) {
        if (!serveCommand(x, cmd)) {
            failed = true;
            break;
        }
        // Before a read that must wait for the server, the client gets what it has so far:
        // a server that pauses mid-body is streaming.
        if (x.unflushed && conn->readAt == conn->filled) {
            req->writeClient(req, "", 0);
            x.unflushed = false;
        }
        if (!x.readInt(&cmd)) {
            logLimited(req, &proxy->logLimits.kinds[QN_LIMIT_EXCHANGE], QN_LOG_ERROR,
                       "command error: %s <- [%d]", describeError(req->errorCode), x.sock);
            failed = true;
            break;
        }
    }
    if (!failed && cmd == PROXY_FINISH && (x.head.committed() || x.head.commit())) {
        req->trace(req, "PROXY_FINISH <- [%d]", x.sock);
        if (!x.head.bodyComplete()) req->responseBroken = 1;
        if (req->writeClient(req, nullptr, 0) == -1) req->errorCode = EQUON_CLIENT_DOWN;
        exchange.giveBack();
        return 0;
    }
    req->traceE(req, QN_TRACE_EVENT, "handleQnppRequest aborting <-- [%d]", x.sock);
    if (req->errorCode == ENOBUFS) req->logAt(req, QN_LOG_ERROR, "error == ENOBUFS");
    return failExchange(req, proxy);  // the exchange's connection is destroyed with it
}
