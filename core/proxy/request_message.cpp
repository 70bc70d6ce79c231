// The messages the connector builds for a request exchange: PROXY_SERVICE_40, the
// PROXY_POST_DATA answers, and the splitting of PROXY_PUT_HEADER blocks.
#include <cerrno>
#include <climits>
#include <cstring>

#include "forward.h"
#include "wire.h"
#include "wire_codes.h"

const qnVariableName VARIABLE_NAMES[QN_VARIABLE_COUNT] = {
    {"QUERY_STRING", SERVICE_QUERY_STRING},
    {"REQUEST_METHOD", SERVICE_REQUEST_METHOD},
    {"SCRIPT_NAME", SERVICE_SCRIPT_NAME},
    {"PATH_INFO", SERVICE_PATH_INFO},
    {"REMOTE_HOST", SERVICE_REMOTE_HOST},
    {"REMOTE_ADDR", SERVICE_REMOTE_ADDR},
    {"SERVER_NAME", SERVICE_SERVER_NAME},
    {"SERVER_PORT", SERVICE_SERVER_PORT},
    {"SERVER_PROTOCOL", SERVICE_SERVER_PROTOCOL},
    {"PATH_TRANSLATED", SERVICE_PATH_TRANSLATED},
    {"SERVER_PORT_SECURE", SERVICE_SERVER_PORT_SECURE},
    {"REMOTE_USER", SERVICE_REMOTE_USER},
    {"AUTH_TYPE", SERVICE_AUTH_TYPE},
};

namespace {
constexpr int kMethodItem = 1;  // REQUEST_METHOD in VARIABLE_NAMES
long textLength(const char* text) { return text ? long(strlen(text)) : 0; }

// Header names without their value array count as no headers at all.
const char* const* headerNames(const quon_request* req) {
    return req->headerValues ? req->headerNames : nullptr;
}

// What the message is built from; the variables are fetched once, in the sizing pass.
struct RequestParts {
    char** attributeNames;
    const char* variables[QN_VARIABLE_COUNT];
};

// Exact size of the message: code, length word and every item.
long messageSize(quon_request* req, RequestParts& parts, const char* arg) {
    long size = 8;
    for (char** name = parts.attributeNames; name && *name; ++name) {
        int valueSize = req->getAttributeSize(req, *name);
        size += 12 + textLength(*name) + valueSize;
        req->trace(req, "  %.200s: %d bytes", *name, valueSize);
    }
    req->trace(req, "PROXY_SERVICE_40 ->");
    for (int i = 0; i < QN_VARIABLE_COUNT; ++i) {
        parts.variables[i] = req->getHeader(req, VARIABLE_NAMES[i].name);
        size += 8 + textLength(parts.variables[i]);
    }
    size += 8 + textLength(req->uri);
    if (arg) size += 8 + textLength(arg);
    const char* const* names = headerNames(req);
    for (int i = 0; names && names[i]; ++i)
        size += 12 + textLength(names[i]) + textLength(req->headerValues[i]);
    if (req->sessionId) size += 8 + textLength(req->sessionId);
    return size + 4;
}

int appendItem(char* buffer, int offset, int32_t code, const char* text) {
    putInt32(buffer + offset, code);
    return appendString(buffer, offset + 4, text);
}

// Attribute items: code 18, the name as a string, the value's raw bytes as a string.
int appendAttributes(quon_request* req, char* buffer, int offset, char** names) {
    if (!names) return offset;
    req->trace(req, "PROXY_SET_ATTRIBUTE ->");
    for (; *names; ++names) {
        int size = req->getAttributeSize(req, *names);
        offset = appendItem(buffer, offset, SERVICE_ATTRIBUTE, *names);
        putInt32(buffer + offset, size);
        req->getAttribute(req, *names, buffer + offset + 4);
        offset += 4 + size;
        req->trace(req, "  %.200s %d bytes", *names, size);
    }
    return offset;
}
}  // namespace

//  +----------+----------+----------------------------------------------------------+
//  | int32 39 | int32 N  | attributes, 13 variables, URI, [ARG], headers, [SESSION], |
//  |          |          | END -- N bytes, each item an int32 code and its strings   |
//  +----------+----------+----------------------------------------------------------+
int buildRequest(quon_request* req, char** message, const char* arg, RequestFacts* facts) {
    RequestParts parts{req->getAttributeNames(req), {}};
    long size = messageSize(req, parts, arg);
    if (facts) {
        const char* method = parts.variables[kMethodItem];
        facts->head = method && strcmp(method, "HEAD") == 0;
        facts->repeatable = repeatable(method);
    }
    char* buffer = size < INT_MAX ? static_cast<char*>(req->malloc(req, int(size) + 1)) : nullptr;
    if (!buffer) {
        req->logAt(req, QN_LOG_ERROR, "malloc(%d) failed in sendAllHeaders", int(size + 1));
        for (const char* value : parts.variables) req->freeHeader(req, value);
        req->errorCode = ENOBUFS;
        return 0;
    }
    putInt32(buffer, PROXY_SERVICE_40);
    putInt32(buffer + 4, int32_t(size - 8));
    int offset = appendAttributes(req, buffer, 8, parts.attributeNames);
    for (int i = 0; i < QN_VARIABLE_COUNT; ++i) {
        offset = appendItem(buffer, offset, VARIABLE_NAMES[i].code, parts.variables[i]);
        req->freeHeader(req, parts.variables[i]);
    }
    offset = appendItem(buffer, offset, SERVICE_URI, req->uri);
    if (arg) offset = appendItem(buffer, offset, SERVICE_ARG, arg);
    const char* const* names = headerNames(req);
    for (int i = 0; names && names[i]; ++i) {
        offset = appendItem(buffer, offset, SERVICE_HEADER, names[i]);
        offset = appendString(buffer, offset, req->headerValues[i]);
    }
    if (req->sessionId) offset = appendItem(buffer, offset, SERVICE_SESSION_ID, req->sessionId);
    putInt32(buffer + offset, SERVICE_END);
    offset += 4;
    if (offset != size)
        req->logAt(req, QN_LOG_ERROR, "sendAllHeaders end %d should be %d", offset, int(size));
    *message = buffer;
    return int(size);
}

//  +----------+----------+-------------+
//  | int32 16 | int32 C  | C bytes     |   C <= 40960; 0 = end of body; < 0 = read failed
//  +----------+----------+-------------+
// A failed read still goes to the server, and then ends the exchange: the client's body is
// lost (its connection broke, or Apache refused the body and answered itself), so what
// the server answers next must not reach the client.
int sendPostData(quon_request* req, int wanted, quonConnection* conn, ExchangeBuffer& scratch) {
    req->trace(req, "  getPostData content-length: %d", wanted);
    int n = wanted < 0 ? 0 : wanted > PROXY_POST_DATA_MAX ? PROXY_POST_DATA_MAX : wanted;
    char* buffer = scratch.reserve(n + 8);
    if (!buffer) return 0;
    int got = req->getPostData(req, buffer + 8, n);
    req->trace(req, "getPostData returned %d", got);
    if (got < 0) req->logAt(req, QN_LOG_INFO, "sendPostData: error reading from client");
    if (got > n) got = n;  // never more than the buffer holds
    putInt32(buffer, PROXY_POST_DATA);
    putInt32(buffer + 4, got);
    int length = got > 0 ? 8 + got : 8;
    req->attemptStage = QN_STAGE_SEND;
    if (sendBytes(req, buffer, length, conn->sock) != length) {
        req->logAt(req, QN_LOG_ERROR, "sendPostData: error sending to proxy");
        return 0;
    }
    req->attemptStage = QN_STAGE_RECEIVE;
    if (got > 0) req->bodyBytesSent += got;
    if (got < 0) {
        req->errorCode = EQUON_CLIENT_DOWN;
        return 0;
    }
    return 1;
}

// A value folded onto following lines (CR LF then a blank or tab) keeps its inner
// CR LF; a last line without CR LF is not used.
char* nextHeader(char* position, char** name, char** value) {
    char* colon = strstr(position, ": ");
    if (!colon) return nullptr;
    *colon = '\0';
    char* start = colon + 2;
    char* end = strstr(start, "\r\n");
    if (!end) return nullptr;
    while (end[2] == ' ' || end[2] == '\t') {
        end = strstr(end + 2, "\r\n");
        if (!end) return nullptr;
    }
    *end = '\0';
    *name = position;
    *value = start;
    return end + 2;
}
