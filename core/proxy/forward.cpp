// The request exchange: the message goes out on a pooled connection, then every command
// of the server is served until PROXY_FINISH. Answers to the server's questions go back
// on the connection; status, headers and body go to the web server as they arrive.
#include "forward.h"

#include <cerrno>

#include "error_page.h"
#include "pool.h"
#include "socket.h"
#include "wire.h"
#include "wire_codes.h"

namespace {
constexpr int kMaxClientWriteFailures = 4;

// One exchange in progress on a checked-out connection.
struct Exchange {
    quon_request* req;
    quonProxy* proxy;
    quonConnection* conn;
    int sock;
    int32_t* clusterSeq;

    bool readInt(int32_t* value) {
        char bytes[4];
        if (readFully(req, bytes, 4, sock, proxy) != 0) return false;
        *value = getInt32(bytes);
        return true;
    }
    char* readString(int* length = nullptr) { return readData(sock, req, length, proxy); }
};

bool serveGetHeader(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_GET_HEADER <- [%d]", x.sock);
    char* name = x.readString();
    if (!name) return false;
    const char* value = req->getHeader(req, name);
    bool sent = writeString(req, x.sock, value) == 0;
    req->freeHeader(req, value);
    req->free(req, name);
    return sent;
}

bool serveGetRealPath(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_GET_REALPATH <- [%d]", x.sock);
    char* uri = x.readString();
    if (!uri) return false;
    char* path = req->getRealPath(req, uri);
    req->free(req, uri);
    bool sent = writeString(req, x.sock, path) == 0;
    if (path) req->free(req, path);
    return sent;
}

bool servePutStatus(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_PUT_STATUS <- [%d]", x.sock);
    int32_t status;
    if (!x.readInt(&status)) return false;
    char* reason = x.readString();
    if (!reason) return false;
    req->trace(req, "  %d %.80s", status, reason);
    req->setStatus(req, status, reason);
    req->free(req, reason);
    return true;
}

bool servePutHeader(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_PUT_HEADER <- [%d]", x.sock);
    char* block = x.readString();
    if (!block) return false;
    char *name, *value;
    for (char* at = block; (at = nextHeader(at, &name, &value));) req->addHeader(req, name, value);
    req->free(req, block);
    return true;
}

// The client may have gone: a few failed writes are absorbed (the server's output is
// read and dropped), more than four in a row end the exchange.
bool servePutClient(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_PUT_CLIENT <- [%d]", x.sock);
    int length = 0;
    char* bytes = x.readString(&length);
    if (!bytes) return false;
    bool keepGoing = true;
    if (req->writeClient(req, bytes, length) == -1) {
        req->errorCode = EQUON_CLIENT_DOWN;
        keepGoing = req->clientWriteFailures <= kMaxClientWriteFailures;
    }
    req->responseStarted = 1;
    req->free(req, bytes);
    return keepGoing;
}

bool serveGetData(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_GET_DATA <- [%d]", x.sock);
    int32_t wanted;
    if (!x.readInt(&wanted)) {
        req->log(req, "getData: can't get length");
        return false;
    }
    return sendPostData(req, wanted, x.conn) != 0;
}

// The attribute list takes the two buffers over and frees them when the request ends
// (the handler's freeAttributes): a retry on another server sends them along. When the
// list did not take them (no memory for the node) they are released at once.
bool serveSetAttribute(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_SET_ATTRIBUTE <- [%d]", x.sock);
    char* name = x.readString();
    if (!name) return false;
    int length = 0;
    char* value = x.readString(&length);
    if (!value) {
        req->free(req, name);
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

bool servePutHeaderValue(Exchange& x) {
    quon_request* req = x.req;
    req->trace(req, "PROXY_PUT_HEADER_VALUE <- [%d]", x.sock);
    char* name = x.readString();
    if (!name) return false;
    char* value = x.readString();
    if (value) req->addHeader(req, name, value);
    req->free(req, name);
    if (!value) return false;
    req->free(req, value);
    return true;
}

bool servePutClusterSeq(Exchange& x) {
    quon_request* req = x.req;
    int32_t seq;
    if (!x.readInt(&seq)) {
        req->trace(req, "PROXY_PUT_CLUSTER_SEQ <- [%d]", x.sock);
        req->log(req, "Failed to read cluster update from %s", x.proxy->name);
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
    if (proxyServerInfo* info = x.proxy->serverInfo) info->weight.store(load, std::memory_order_relaxed);
    req->trace(req, "    load val: %i", load);
    return true;
}

// One command of the exchange; false ends the exchange as failed.
bool serveCommand(Exchange& x, int32_t cmd) {
    switch (cmd) {
        case PROXY_GET_HEADER: return serveGetHeader(x);
        case PROXY_GET_REALPATH: return serveGetRealPath(x);
        case PROXY_PUT_STATUS: return servePutStatus(x);
        case PROXY_PUT_HEADER: return servePutHeader(x);
        case PROXY_PUT_CLIENT: return servePutClient(x);
        case PROXY_GET_DATA: return serveGetData(x);
        case PROXY_SET_ATTRIBUTE: return serveSetAttribute(x);
        case PROXY_PUT_HEADER_VALUE: return servePutHeaderValue(x);
        case PROXY_PUT_CLUSTER_SEQ: return servePutClusterSeq(x);
        case PROXY_PUT_LOAD_VALUE: return servePutLoadValue(x);
        case PROXY_BUSY:
            x.req->trace(x.req, "PROXY_BUSY <- [%d]", x.sock);
            x.req->errorCode = EQUON_BUSY;
            return false;
        default:
            x.req->log(x.req, "handleQnppRequest: bad command: %d <- [%d]", cmd, x.sock);
            x.req->errorCode = EQUON_OUT_OF_SYNC;
            return false;
    }
}

}  // namespace

int proxy_handleRequest(quon_request* req, quonProxy* proxy, const char* arg, int32_t* clusterSeq) {
    req->trace(req, "%s proxy_handleRequest()", proxy->name);
    if (clusterSeq) *clusterSeq = -1;
    char* message = nullptr;
    int length = buildRequest(req, &message, arg);
    if (length <= 0) {
        proxyerror(req, proxy);
        return -1;
    }
    int32_t cmd = 0;
    quonConnection* conn = sendCommand(proxy, req, message, length, &cmd);
    req->free(req, message);
    if (!conn) {
        proxyerror(req, proxy);
        return -1;
    }
    CheckedOut exchange(req, proxy, conn);
    Exchange x{req, proxy, conn, conn->sock, clusterSeq};
    bool failed = false;
    while (cmd != PROXY_FINISH && cmd > 0) {
        if (!serveCommand(x, cmd)) {
            failed = true;
            break;
        }
        if (!x.readInt(&cmd)) {
            req->log(req, "command error: %s <- [%d]", describeError(req->errorCode), x.sock);
            failed = true;
            break;
        }
    }
    if (!failed && cmd == PROXY_FINISH) {
        req->trace(req, "PROXY_FINISH <- [%d]", x.sock);
        if (req->writeClient(req, nullptr, 0) == -1) req->errorCode = EQUON_CLIENT_DOWN;
        exchange.giveBack();
        return 0;
    }
    req->traceE(req, QN_TRACE_EVENT, "handleQnppRequest aborting <-- [%d]", x.sock);
    if (req->errorCode == ENOBUFS) req->log(req, "error == ENOBUFS");
    proxyerror(req, proxy);
    return -1;  // the exchange's connection is destroyed with it
}
