#include "error_page.h"

#include <cerrno>
#include <cstdio>

#include "log_limit.h"
#include "socket.h"

namespace {
constexpr int kPageSize = 1024;
constexpr const char* kPageFormat =
    "<H2>Server Error</H2>The server encountered an internal error and was unable to complete "
    "your request.<P><B>%s.</B>";
constexpr const char* kTimeoutPageFormat =
    "<H2>Gateway Timeout</H2>The application server did not complete its response in time."
    "<P><B>%s.</B>";

struct ErrorClass {
    const char* statusMessage;  // written to the trace only
    const char* errorMessage;   // shown to the client
    int status = 503;
    const char* reason = "Server Error";
    const char* pageFormat = kPageFormat;
};

constexpr ErrorClass kClosed{"Quon unexpectedly closed connection", "Quon closed connection"};
constexpr ErrorClass kNoConnect{"Could not connect to Quon", "Could not connect to Quon Server"};
constexpr ErrorClass kBusy{
    "Application server is busy.  Either there are too many concurrent requests or server "
    "still starting up",
    "Application server is busy.  Either there are too many concurrent requests or the "
    "server still is starting up"};
constexpr ErrorClass kClientDown{"Couldn't write back to client",
                                 "WriteClient failed. Browser of other client probably shut down"};
constexpr ErrorClass kProtocol{"Quon Connector protocol error", "Quon Connector Protocol Error"};
// 504, not 503: the server took the request but did not answer in time. The error URL
// (a 503's redirect) stays for requests that no server could take.
constexpr ErrorClass kResponseTimeout{"Quon server did not finish its response in time",
                                      "Quon Server response timed out", 504, "Gateway Timeout",
                                      kTimeoutPageFormat};

constexpr const char* kCutShort =
    "%s failed after the response started: %s; the client's connection is closed";

qnLogLimit* limitOf(qnLogLimits* limits, int kind) {
    return limits ? &limits->kinds[kind] : nullptr;
}

const ErrorClass& classify(int error) {
    switch (error) {
        case ECONNRESET:
        case EPIPE:
        case ESHUTDOWN:
            return kClosed;
        case ETIMEDOUT:
        case ECONNREFUSED:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EQUON_NO_SERVER:
            return kNoConnect;
        case EQUON_BUSY:
            return kBusy;
        case EQUON_CLIENT_DOWN:
            return kClientDown;
        case EQUON_RESPONSE_TIMEOUT:
            return kResponseTimeout;
        default:
            return kProtocol;
    }
}
}  // namespace

void proxyerror(quon_request* req, quonProxy* proxy, qnLogLimits* limits) {
    const ErrorClass& kind = classify(req->errorCode);
    if (!limits && proxy) limits = &proxy->logLimits;
    if (req->errorCode == EQUON_CLIENT_DOWN) {
        req->responseBroken = req->responseStarted;
        req->trace(req, "proxyerror: EQUON_CLIENT_DOWN: statusMsg: %s, errorMsg: %s",
                   kind.statusMessage, kind.errorMessage);
        return;
    }
    // Part of the server's answer went to the web server already: a page after it would
    // look like the end of that answer, so the response is ended unfinished instead.
    if (req->responseStarted) {
        req->responseBroken = 1;
        req->logAt(req, QN_LOG_ERROR, kCutShort, proxy ? proxy->name : "<null>",
                   describeError(req->errorCode));
        return;
    }
    if (req->deferErrors) {
        logLimited(req, limitOf(limits, QN_LIMIT_DEFERRED), QN_LOG_WARN,
                   "%s deferred error: %s : %d: %s", proxy ? proxy->name : "<null>",
                   kind.errorMessage, req->errorCode, describeError(req->errorCode));
        return;
    }
    auto* page = static_cast<char*>(req->malloc(req, kPageSize));
    logLimited(req, limitOf(limits, QN_LIMIT_PAGE), QN_LOG_WARN, "returning error page for %s",
               describeError(req->errorCode));
    req->trace(req, "proxyerror: statusMsg: %s, errorMsg: %s", kind.statusMessage,
               kind.errorMessage);
    if (!page) {
        req->logAt(req, QN_LOG_ERROR, "   proxyerror: <error: out of memory>");
        return;
    }
    int length = snprintf(page, kPageSize, kind.pageFormat, kind.errorMessage);
    if (length >= kPageSize) length = kPageSize - 1;
    req->setStatus(req, kind.status, kind.reason);
    req->addHeader(req, "content-type", "text/html");
    req->writeClient(req, page, length);
    req->responseStarted = 1;
    req->free(req, page);
}
