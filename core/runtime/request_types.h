// The per-call context of the connector core: identity of the call, a few per-call
// flags and buffers, the socket time-outs and the table of service operations through
// which the core reaches the web server, the network, memory and the log.
//
// A record lives on the stack of one web-server call (start-up, configuration line,
// child start or exit, translate, handler) and belongs to that thread alone.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdio>

// The web server's own records stay opaque to the core.
struct server_rec;
struct request_rec;

extern "C" {

struct quonProxy;
struct quon_request;
struct qnMappingCounters;
struct qnHealthSlot;

// Connector error codes, kept in errorCode beside the system's error numbers.
inline constexpr int EQUON_BUSY = -10;
inline constexpr int EQUON_OUT_OF_SYNC = -11;
inline constexpr int EQUON_CLIENT_DOWN = -12;
// The server had not ended its response when the record's response deadline came.
inline constexpr int EQUON_RESPONSE_TIMEOUT = -13;
// No server of the request's entry could be tried: none was up (or the operator drained
// or disabled them), and no probe found one.
inline constexpr int EQUON_NO_SERVER = -14;

// Default bounds on what a server may send, in bytes: one header string and the sum of
// the header bytes of one exchange; one property text or attribute value.
inline constexpr int QN_DEFAULT_MAX_HEADER_SIZE = 1048576;
inline constexpr int QN_DEFAULT_MAX_PROPS_SIZE = 16777216;

// Which adapter filled a record.
inline constexpr int QN_TYPE_DEFAULTS = 0;
inline constexpr int QN_TYPE_APACHE = 2;

// traceE flags: connection, proxy and cluster events; routine detail.
inline constexpr int QN_TRACE_EVENT = 1;
inline constexpr int QN_TRACE_DETAIL = 2;

// How far one attempt got with its server (attemptStage): getting a connection, sending
// the request message or body, receiving the answer.
inline constexpr int QN_STAGE_CONNECT = 0;
inline constexpr int QN_STAGE_SEND = 1;
inline constexpr int QN_STAGE_RECEIVE = 2;

// Levels of log lines: syslog's numbers, then trace levels, finer as they go. The core
// gives each line its level; the web server maps the levels to its own.
inline constexpr int QN_LOG_CRIT = 2;
inline constexpr int QN_LOG_ERROR = 3;   // a request, an exchange or a piece of state failed
inline constexpr int QN_LOG_WARN = 4;    // something wrong was worked around
inline constexpr int QN_LOG_NOTICE = 5;  // start-up and reports asked for
inline constexpr int QN_LOG_INFO = 6;    // state changes, clients' faults
inline constexpr int QN_LOG_DEBUG = 7;   // trace lines
inline constexpr int QN_LOG_TRACE1 = 8;  // traceE lines of QN_TRACE_EVENT
inline constexpr int QN_LOG_TRACE2 = 9;  // traceE lines of QN_TRACE_DETAIL, memory traces

// One request attribute. Name and value are referenced; new nodes go in front, and
// count is the list's length when the node was added. owned is 1 when the list owns
// name and value (from the record's malloc, as for attributes that a back-end server
// sets) and frees them with the node.
struct qnAttribute {
    const char* name;
    const void* value;
    qnAttribute* next;
    int count;
    int size;
    int owned;
};

// Web-server operations.
typedef const char* (*qnGetHeaderFn)(quon_request* req, const char* name);
typedef void (*qnFreeHeaderFn)(quon_request* req, const char* value);
typedef char* (*qnGetRealPathFn)(quon_request* req, const char* path);
typedef int (*qnGetPostDataFn)(quon_request* req, char* buffer, int length);
typedef void (*qnSetStatusFn)(quon_request* req, int status, const char* reason);
typedef void (*qnAddHeaderFn)(quon_request* req, const char* name, const char* value);
typedef int (*qnWriteClientFn)(quon_request* req, const char* buffer, int length);

// Request attributes.
typedef const void* (*qnGetAttributeFn)(quon_request* req, const char* name, void* destination);
typedef int (*qnGetAttributeSizeFn)(quon_request* req, const char* name);
typedef char** (*qnGetAttributeNamesFn)(quon_request* req);
typedef void (*qnSetAttributeFn)(quon_request* req, const char* name, const void* value,
                                 int size);
typedef void (*qnFreeAttributesFn)(quon_request* req);

// Memory, files and the three message channels: lines at a level (QN_LOG_*), trace lines
// (QN_LOG_DEBUG) and traceE lines of a flag (QN_LOG_TRACE1 and 2).
typedef void* (*qnMallocFn)(quon_request* req, int size);
typedef char* (*qnStrdupFn)(quon_request* req, const char* text);
typedef void (*qnFreeFn)(quon_request* req, void* pointer);
typedef FILE* (*qnFileOpenFn)(quon_request* req, const char* path, const char* mode);
typedef void (*qnLogAtFn)(quon_request* req, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
typedef void (*qnLogFn)(quon_request* req, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
typedef void (*qnTraceEFn)(quon_request* req, int flags, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// A back-end server's name, "host:port": a DNS name of up to 253 characters (an IPv4
// address, or an IPv6 address in brackets, is shorter), a colon, a port of up to 5 digits,
// and the NUL.
inline constexpr int QN_MAX_HOST_LENGTH = 253;
inline constexpr int QN_SERVER_NAME_SIZE = QN_MAX_HOST_LENGTH + 1 + 5 + 1;
// A server's addresses that are kept and tried, in the resolver's order; a name with
// more gives its first ones.
inline constexpr int QN_MAX_ADDRESSES = 8;

// One socket address of a server, IPv4 or IPv6; length is that of the family's part.
struct qnAddress {
    union {
        sockaddr any;
        sockaddr_in v4;
        sockaddr_in6 v6;
    };
    socklen_t length;
};

// Network. A connect tries the addresses in order and gives the first connected socket
// (-1 when none connects), its failure lines limited by the proxy's (null: none); a resolve fills at most capacity addresses of host for port
// and gives their number, or 0 with the resolver's reason in *reason.
typedef int (*qnConnectFn)(quon_request* req, const qnAddress* addresses, int count,
                           quonProxy* proxy);
typedef int (*qnResolveFn)(quon_request* req, const char* host, int port, qnAddress* addresses,
                           int capacity, const char** reason);
typedef void (*qnCloseSocketFn)(quon_request* req, int sock);
typedef int (*qnSendFn)(quon_request* req, int sock, const char* buffer, int length);
typedef int (*qnRecvFn)(quon_request* req, int sock, char* buffer, int length,
                        quonProxy* proxy);
// What waits on an idle connection, without blocking: 0 nothing, above 0 bytes, -1 the
// peer's close or an error.
typedef int (*qnPendingFn)(quon_request* req, int sock);

struct quon_request {
    int type;
    server_rec* server;
    request_rec* request;
    char logPrefix[64];
    int errorCode;
    int redirected;
    int firstPostRead;
    int morePostData;
    int responseStarted;
    int deferErrors;
    qnAttribute* attributes;
    char** attributeNames;
    const char** headerNames;
    const char** headerValues;
    const char* uri;
    const char* filterPath;
    unsigned int startTime;
    char* sessionId;
    int connectTimeout;
    int sendTimeout;
    int recvTimeout;
    int maxHeaderSize;
    int maxPropsSize;

    qnGetHeaderFn getHeader;
    qnFreeHeaderFn freeHeader;
    qnGetRealPathFn getRealPath;
    qnGetPostDataFn getPostData;
    qnSetStatusFn setStatus;
    qnAddHeaderFn addHeader;
    qnWriteClientFn writeClient;
    int clientWriteFailures;
    qnGetAttributeFn getAttribute;
    qnGetAttributeSizeFn getAttributeSize;
    qnGetAttributeNamesFn getAttributeNames;
    qnSetAttributeFn setAttribute;
    qnFreeAttributesFn freeAttributes;
    qnFreeAttributesFn freeAttributeNames;
    qnMallocFn malloc;
    qnStrdupFn strdup;
    qnFreeFn free;
    qnMallocFn permMalloc;
    qnFreeFn permFree;
    qnStrdupFn permStrdup;
    qnFileOpenFn fileOpen;
    qnLogAtFn logAt;
    qnLogFn trace;
    qnTraceEFn traceE;
    qnConnectFn connect;
    qnCloseSocketFn closeSocket;
    qnSendFn send;
    qnRecvFn recv;

    // Set by the web server once any of the request body has been read from the client:
    // the body cannot be read again, so the request never goes to another server.
    int bodyRead;
    qnPendingFn pending;
    // Set once bytes of the request message went out to a server: a request whose method
    // is not safe to repeat then never goes out again.
    int messageSent;
    // Set when what reached the client is not a whole response (the server failed after
    // the body began, or ended it short of its length): the web server must end the
    // client's connection instead of completing the response.
    int responseBroken;
    // The mappings table's generation when its filter chose the entry index that the
    // request carries; the dispatch filters again when entries have moved since.
    unsigned int mappingGeneration;
    // When set and non-zero, every network wait of the record gives up at once: the
    // thread that runs the tables' upkeep is being stopped. Null for requests.
    const std::atomic<int>* cancelled;
    // The longest time in milliseconds from sending a request to the end of its response,
    // 0 for no bound; and, while an exchange runs under that bound, the moment it ends in
    // milliseconds of the monotonic clock (0 otherwise). A receive past that moment fails
    // with EQUON_RESPONSE_TIMEOUT, and no receive waits beyond it, pings or not.
    int responseTimeout;
    long long responseDeadline;
    // What the dispatch leaves for the web server: the attempts it made, the name of the
    // server of the last one, and the pattern of the entry the request matched (the
    // table's own strings, which live as long as the table). Null until known.
    int attempts;
    const char* lastServer;
    const char* mappingPattern;
    // Of the attempt in progress, for the shared counters: the stage it reached
    // (QN_STAGE_*), the request body bytes sent to its server and the response body
    // bytes passed to the client.
    int attemptStage;
    long long bodyBytesSent;
    long long bodyBytesPassed;
    // Names of back-end servers become addresses here, outside every lock (qnResolve).
    qnResolveFn resolve;
    // The health checks' watch of the exchange in progress (ExchangeDeadline, socket.h):
    // whether one runs, its server's outEpoch when it began, and the bytes of its answer so
    // far. While none has come, a wait of the exchange gives up once the checks have taken
    // the server out of rotation.
    int watching;
    unsigned int watchedEpoch;
    long long answerBytes;
    // For the shared counters, left by the dispatch: the answer counters of the entry the
    // request matched, the entry's server that holds the request's session (null without
    // one), and whether neither that holder nor a buddy could take the session.
    qnMappingCounters* mappingCounters;
    quonProxy* sessionHolder;
    int sessionBroken;
    // The health slot of the attempt's server while the attempt waits for the first byte
    // of its answer, counted among that server's waiting requests (stall.h); else null.
    qnHealthSlot* stallSlot;
};

}  // extern "C"
