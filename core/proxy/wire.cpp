#include "wire.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "pool.h"
#include "property.h"
#include "socket.h"
#include "wire_codes.h"

namespace {
constexpr const char* kClusteredServers = "clustered-servers";
}  // namespace

int sendBytes(quon_request* req, const char* buffer, int length, int sock) {
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
    return sent == length ? length : -1;
}

// The proxy goes to the receive operation, which pings its server when a wait runs out
// and keeps waiting while the server answers.
int readFully(quon_request* req, char* buffer, int length, int sock, quonProxy* proxy) {
    int total = 0;
    int result = 1;
    while (total < length && result > 0) {
        result = req->recv(req, sock, buffer + total, length - total, proxy);
        if (result > 0) total += result;
        req->trace(req, "read/len/total %d/%d/%d", result, length, total);
    }
    if (total == length) return 0;
    if (result == 0) {
        req->errorCode = ECONNRESET;
        req->traceE(req, QN_TRACE_EVENT, "readFully: [%d] peer closed connection", sock);
    }
    return -1;
}

//  +--------------+-------------+
//  | int32 N      | N bytes     |   N = 0: empty (or absent)
//  +--------------+-------------+
char* readData(int sock, quon_request* req, int* length, quonProxy* proxy) {
    char header[4];
    if (readFully(req, header, 4, sock, proxy) != 0) return nullptr;
    int32_t n = getInt32(header);
    if (n < 0) return nullptr;  // cannot be read: errorCode stays as it is
    char* buffer = n < INT_MAX ? static_cast<char*>(req->malloc(req, n + 1)) : nullptr;
    if (!buffer) {
        req->errorCode = ENOBUFS;
        return nullptr;
    }
    if (readFully(req, buffer, n, sock, proxy) != 0) {
        req->free(req, buffer);
        return nullptr;
    }
    buffer[n] = '\0';
    if (length) *length = n;
    return buffer;
}

int writeString(quon_request* req, int sock, const char* text) {
    size_t n = text ? strlen(text) : 0;
    if (n > size_t(INT_MAX - 4)) return -1;
    auto* buffer = static_cast<char*>(req->malloc(req, int(n) + 4));
    if (!buffer) return -1;
    int length = appendString(buffer, 0, text);
    int sent = sendBytes(req, buffer, length, sock);
    req->free(req, buffer);
    return sent == length ? 0 : -1;
}

int appendString(char* buffer, int offset, const char* text) {
    int n = text ? int(strlen(text)) : 0;
    putInt32(buffer + offset, n);
    if (n > 0) memcpy(buffer + offset + 4, text, size_t(n));
    return offset + 4 + n;
}

// A failure on a connection from the idle list (which may have gone stale) sends the
// message again on another connection; a failure on a connection opened for this very
// attempt ends it. Each retry uses up one idle connection.
quonConnection* sendCommand(quonProxy* proxy, quon_request* req, const char* message, int length,
                            int32_t* cmd) {
    for (;;) {
        quonConnection* conn = getQuonConnectionFromPool(proxy, req);
        if (!conn) return nullptr;
        bool pooled = conn->next != nullptr;
        if (sendBytes(req, message, length, conn->sock) != length) {
            destroyQuonConnection(req, proxy, conn);
            if (!pooled) return nullptr;
            req->traceE(req, QN_TRACE_EVENT, "%s send was pooled, trying again", proxy->name);
            continue;
        }
        char code[4];
        if (readFully(req, code, 4, conn->sock, proxy) == 0) {
            *cmd = getInt32(code);
            return conn;
        }
        int sock = conn->sock;
        destroyQuonConnection(req, proxy, conn);
        if (pooled) continue;
        req->log(req, "Quon closed connection. [%d] dropped while sending command", sock);
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
bool serveProps(quon_request* req, quonProxy* proxy, int sock, const char* name, int32_t cmd,
                propertyTable** table, int32_t* clusterSeq) {
    switch (cmd) {
        case PROXY_BUSY:
            req->log(req, "Quon unable to fetch %.250s <- [%d], proxy busy", name, sock);
            req->errorCode = EQUON_BUSY;
            return false;
        case PROXY_PUT_PROPS: {
            req->trace(req, "PROXY_PUT_PROPS <- [%d]", sock);
            char* text = readData(sock, req, nullptr, proxy);
            if (!text) return false;
            if (strcmp(name, kClusteredServers) == 0)
                req->traceE(req, QN_TRACE_EVENT, "clustered-servers: %s", text);
            if (*table) freeProperties(req, *table);
            *table = parseProperties(req, text);
            req->free(req, text);
            return true;
        }
        case PROXY_PUT_CLUSTER_SEQ: {
            char number[4];
            if (readFully(req, number, 4, sock, proxy) != 0) {
                req->trace(req, "PROXY_PUT_CLUSTER_SEQ <- [%d]", sock);
                req->log(req, "Failed to read cluster update from %s", proxy->name);
                return false;
            }
            int32_t seq = getInt32(number);
            req->traceE(req, QN_TRACE_EVENT, "PROXY_PUT_CLUSTER_SEQ <- [%d] seq %d", sock, seq);
            if (clusterSeq) *clusterSeq = seq;
            return true;
        }
        default:
            req->log(req, "Unexpected command %d <- [%d] while fetching %.250s", cmd, sock, name);
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
    int32_t cmd = 0;
    quonConnection* conn = sendCommand(proxy, req, message, length, &cmd);
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
        if (!serveProps(req, proxy, sock, name, cmd, &table, clusterSeq)) {
            failed = true;
            break;
        }
        char code[4];
        if (readFully(req, code, 4, sock, proxy) != 0) {
            req->log(req, "command error: %s <- [%d]", describeError(req->errorCode), sock);
            failed = true;
            break;
        }
        cmd = getInt32(code);
    }
    if (!failed && cmd == PROXY_FINISH) {
        exchange.giveBack();
        return table;
    }
    req->traceE(req, QN_TRACE_EVENT, "fetchProps aborting");
    if (table) freeProperties(req, table);
    return nullptr;  // the exchange's connection is destroyed with it
}
