// Forwarding one HTTP request to one back-end server and serving the server's commands
// until it ends the exchange: the proxy's request operation.
#pragma once

#include <cstdint>

#include "export.h"
#include "proxy_types.h"
#include "request_types.h"
#include "wire.h"

// The thirteen CGI variables sent with every request, in their order on the wire.
struct qnVariableName {
    const char* name;
    int32_t code;
};
inline constexpr int QN_VARIABLE_COUNT = 13;
QN_EXPORT const qnVariableName VARIABLE_NAMES[QN_VARIABLE_COUNT];

// Whether a request of this method may be sent again without changing what it does
// (GET, HEAD, OPTIONS, TRACE, PUT, DELETE); the second asks the web server for the method.
bool repeatable(const char* method);
bool repeatableMethod(quon_request* req);

// What the exchange needs to know of the request, read while its message is built.
struct RequestFacts {
    bool head = false;        // HEAD: no body may follow the response's head
    bool repeatable = false;  // see repeatable()
};
// 0 when the server finished the exchange; -1 on failure, reported through proxyerror.
// *clusterSeq is -1, or the sequence number the server sent.
int proxy_handleRequest(quon_request* req, quonProxy* proxy, const char* arg, int32_t* clusterSeq);
// The PROXY_SERVICE_40 message in one exactly sized buffer from malloc; its length, or
// 0 on failure. facts, when given, learns what the method tells.
int buildRequest(quon_request* req, char** message, const char* arg,
                 RequestFacts* facts = nullptr);
// Answers PROXY_GET_DATA with at most PROXY_POST_DATA_MAX bytes of the request body,
// read into and sent from the exchange's scratch buffer.
int sendPostData(quon_request* req, int wanted, quonConnection* conn, ExchangeBuffer& scratch);
// Splits the next "Name: value\r\n" line of a header block in place.
char* nextHeader(char* position, char** name, char** value);
