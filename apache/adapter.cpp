// The Apache request adapter: fills a quon_request for Apache and supplies the
// operations behind its web-server slots, and writes the connector's log lines.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <string_view>
#include <unistd.h>

#include <apr_lib.h>
#include <apr_strings.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>

#include "quon_status.h"
#include "request.h"
#include "strutil.h"

APLOG_USE_MODULE(quon);

namespace {
constexpr const char* kInitPrefix = "qnApache[init] ";
constexpr int kLogBufferSize = 2045;  // a longer message keeps its first 2044 characters
// What the dispatch did, for LogFormat's %{...}e: the server of the last attempt, the
// number of attempts and the pattern of the mapping entry the request matched.
constexpr const char* kServerVariable = "QUON_SERVER";
constexpr const char* kAttemptsVariable = "QUON_ATTEMPTS";
constexpr const char* kMappingVariable = "QUON_MAPPING";

// The prefix of the record's lines. Most requests write no line, so init_apache_request
// leaves a request's prefix empty and its first line makes it (WriteToLogHelper): the
// hooks pay no getpid and no formatting for it.
void setLogPrefix(quon_request* req, request_rec* r) {
    if (!r || !r->connection || !r->connection->client_addr) {
        apr_cpystrn(req->logPrefix, kInitPrefix, sizeof req->logPrefix);
        return;
    }
    apr_snprintf(req->logPrefix, sizeof req->logPrefix, "qnApache[%d: %d] ", int(getpid()),
                 int(r->connection->client_addr->port));
}

const char* orNull(const char* text) { return text ? text : "<null>"; }

// The core's levels are Apache's numbers: syslog's, then trace1 to trace8.
static_assert(QN_LOG_CRIT == APLOG_CRIT && QN_LOG_ERROR == APLOG_ERR &&
              QN_LOG_WARN == APLOG_WARNING && QN_LOG_NOTICE == APLOG_NOTICE &&
              QN_LOG_INFO == APLOG_INFO && QN_LOG_DEBUG == APLOG_DEBUG &&
              QN_LOG_TRACE1 == APLOG_TRACE1 && QN_LOG_TRACE2 == APLOG_TRACE2);

// The server a line is written for. A virtual host has no LogLevel yet (a negative one)
// while the configuration is read: its lines go to the start-up log, at Apache's default.
server_rec* logServer(server_rec* server) {
    return server && ap_get_server_module_loglevel(server, APLOG_MODULE_INDEX) >= 0 ? server
                                                                                    : nullptr;
}

// The level a line goes out at: its own where the module's LogLevel lets it through
// (Apache writes notice lines at any LogLevel); else, when forced (Verbose, a flag of
// traceflags), notice, which the log shows as before these settings had levels; else -1,
// and nothing is formatted.
int levelFor(server_rec* server, int level, bool forced) {
    server = logServer(server);
    const int allowed =
        server ? ap_get_server_module_loglevel(server, APLOG_MODULE_INDEX) : APLOG_WARNING;
    if (level == APLOG_NOTICE || level <= allowed) return level;
    return forced ? APLOG_NOTICE : -1;
}
}  // namespace

QuonServerConfig* init_apache_request(quon_request* req, request_rec* r, server_rec* server) {
    init_quon_request(req);
    QuonServerConfig* conf = quonConfigOf(server);
    req->request = r;
    req->server = server;
    req->type = QN_TYPE_APACHE;
    req->connectTimeout = conf->connectTimeout;
    req->sendTimeout = conf->sendTimeout;
    req->recvTimeout = conf->recvTimeout;
    req->responseTimeout = conf->responseTimeout;
    req->maxHeaderSize = conf->maxHeaderSize;
    req->maxPropsSize = conf->maxPropsSize;
    req->logPrefix[0] = '\0';  // made by the first line written
    req->getHeader = getHeader;
    req->getRealPath = getRealPath;
    req->getPostData = getPostData;
    req->setStatus = setStatus;
    req->addHeader = addHeader;
    req->writeClient = writeClient;
    req->logAt = WriteToLogAt;
    // Trace lines cost no call unless Verbose, traceflags or the module's LogLevel asks.
    if (conf->verbose || APLOG_IS_LEVEL(server, APLOG_DEBUG)) req->trace = WriteToLog;
    if (conf->traceFlags || APLOG_IS_LEVEL(server, APLOG_TRACE1)) req->traceE = WriteToLogE;
    if (r) {
        req->uri = normalizeURI(req, r->uri);
        if (conf->apiAlloc) {
            req->malloc = apache_malloc;
            req->free = apache_free;
        }
    }
    return conf;
}

// The file-system path that a sub-request maps the URI to, path info included.
char* getRealPath(quon_request* req, const char* path) {
    request_rec* r = req->request;
    if (!r || !path) return nullptr;
    char* escaped = ap_os_escape_path(r->pool, path, 1);
    req->trace(req, "   ap_escape_uri(%s) = %s", path, escaped);
    const char* result = nullptr;
    if (request_rec* sub = ap_sub_req_lookup_uri(escaped, r, nullptr)) {
        if (sub->filename)
            result =
                apr_pstrcat(r->pool, sub->filename, sub->path_info ? sub->path_info : "", nullptr);
        ap_destroy_sub_req(sub);
    }
    req->trace(req, "   getRealPath(%s) = %s", path, orNull(result));
    return result ? req->strdup(req, result) : nullptr;
}

namespace {

// Copies the brigade's data into buffer (at most length bytes; the input filters hand
// no more than asked); true once it held the end of the body.
bool drain(apr_bucket_brigade* brigade, char* buffer, apr_size_t length, apr_size_t* copied) {
    bool end = false;
    *copied = 0;
    for (apr_bucket* b = APR_BRIGADE_FIRST(brigade); b != APR_BRIGADE_SENTINEL(brigade);
         b = APR_BUCKET_NEXT(b)) {
        if (APR_BUCKET_IS_EOS(b)) {
            end = true;
            break;
        }
        const char* data;
        apr_size_t size;
        if (apr_bucket_read(b, &data, &size, APR_BLOCK_READ) != APR_SUCCESS) break;
        size = std::min(size, length - *copied);
        memcpy(buffer + *copied, data, size);
        *copied += size;
    }
    apr_brigade_cleanup(brigade);
    return end;
}
}  // namespace

// The body as Apache's input filters give it: de-chunked (HTTP/1.1 chunked uploads, and
// HTTP/2 requests without a length, are taken as they come and streamed), within
// LimitRequestBody. A failed read ends the body: its status waits for the handler.
int getPostData(quon_request* req, char* buffer, int length) {
    request_rec* r = req->request;
    if (!req->morePostData || length <= 0) {
        req->trace(req, "   getPostData returning %d", 0);
        return 0;
    }
    req->firstPostRead = 0;
    QuonRequestState* state = requestState(r);
    if (!state->body) state->body = apr_brigade_create(r->pool, r->connection->bucket_alloc);
    apr_status_t rv = ap_get_brigade(r->input_filters, state->body, AP_MODE_READBYTES,
                                     APR_BLOCK_READ, apr_off_t(length));
    int count = -1;
    if (rv == APR_SUCCESS) {
        apr_size_t copied;
        if (drain(state->body, buffer, apr_size_t(length), &copied)) req->morePostData = 0;
        count = int(copied);
    } else {
        apr_brigade_cleanup(state->body);
        state->bodyFailure = ap_map_http_request_error(rv, HTTP_BAD_REQUEST);
        req->morePostData = 0;
    }
    if (count > 0) {
        req->trace(req, "   read %d bytes of post.", count);
        req->bodyRead = 1;
    }
    req->trace(req, "   getPostData returning %d", count);
    return count;
}

int bodyReadFailure(request_rec* r) {
    auto* state = static_cast<QuonRequestState*>(ap_get_module_config(r->request_config, &quon_module));
    return state ? state->bodyFailure : 0;
}

QuonRequestState* requestState(request_rec* r) {
    auto* state = static_cast<QuonRequestState*>(ap_get_module_config(r->request_config, &quon_module));
    if (state) return state;
    state = static_cast<QuonRequestState*>(apr_pcalloc(r->pool, sizeof(QuonRequestState)));
    ap_set_module_config(r->request_config, &quon_module, state);
    return state;
}

// A 503 becomes a redirect to the configured error URL, after which nothing more is
// written to the client.
void setStatus(quon_request* req, int status, const char* reason) {
    request_rec* r = req->request;
    if (!reason) reason = "";
    r->status = status;
    r->status_line = apr_psprintf(r->pool, "%d %s", status, reason);
    if (status != HTTP_SERVICE_UNAVAILABLE) return;
    QuonServerConfig* conf = quonConfigOf(req->server);
    if (!conf->errorUrl) {
        req->trace(req, "setStatus(): 503 and no error url");
        return;
    }
    r->status = HTTP_MOVED_TEMPORARILY;
    r->status_line = apr_psprintf(r->pool, "302 %s", reason);
    ap_set_content_length(r, 0);
    apr_table_set(r->headers_out, "Location", conf->errorUrl);
    req->redirected = 1;
    req->trace(req, "   redirect ap_send_http_header()");
}

void addHeader(quon_request* req, const char* name, const char* value) {
    request_rec* r = req->request;
    if (!name || !value) return;
    if (strcasecmp(name, "content-length") == 0) {
        apr_off_t length = parseContentLength(value);  // 64-bit: bodies above 2 GiB
        if (length >= 0) ap_set_content_length(r, length);
        req->trace(req, "   ap_set_content_length(%" APR_OFF_T_FMT ")", length);
    } else if (strcasecmp(name, "content-type") == 0) {
        ap_set_content_type(r, pstrdup_lower(r, value));
        req->trace(req, "   request_rec->content_type = %s", r->content_type);
    } else if (strcasecmp(name, "content-encoding") == 0) {
        r->content_encoding = pstrdup_lower(r, value);
        req->trace(req, "   request_rec->content_encoding = %s", r->content_encoding);
    } else if (strcasecmp(name, "set-cookie") == 0) {
        req->trace(req, "   adding cookie %.50s: %.200s", name, shownValue(name, value));
        apr_table_add(r->headers_out, name, value);
    } else {
        apr_table_set(r->headers_out, name, value);
        req->trace(req, "   table_set(%s, %s)", name, shownValue(name, value));
    }
}

// Apache sends status and headers itself with the first body bytes. Pieces are not
// flushed one by one: the core asks for a flush (a call with an empty buffer) when the
// server pauses or asks for it, and the end of the exchange (a null buffer) leaves the
// rest to the end of the request, so that a small answer goes out in one write.
int writeClient(quon_request* req, const char* buffer, int length) {
    if (req->redirected) return 0;
    request_rec* r = req->request;
    if (!req->responseStarted) req->trace(req, "   ap_send_http_header()");
    if (length > 0) {
        req->trace(req, "   ap_rwrite(%d bytes)", length);
        if (ap_rwrite(buffer, length, r) < 0) {
            ++req->clientWriteFailures;
            return -1;
        }
        req->clientWriteFailures = 0;
        return 0;
    }
    if (buffer && ap_rflush(r) < 0) return -1;
    return 0;
}

// Per-call memory from the request's pool; every allocation is logged.
void* apache_malloc(quon_request* req, int size) {
    apr_size_t bytes = size < 1 ? 1 : apr_size_t(size);
    void* block = apr_palloc(req->request->pool, bytes);
    if (!block) {
        req->logAt(req, QN_LOG_ERROR, "apache_malloc(%d) failed!", size);
        return nullptr;
    }
    req->logAt(req, QN_LOG_TRACE2, "MEM apache_malloc: %p: %d bytes", block, int(bytes));
    return block;
}

// The pool goes with the request: nothing is released here.
void apache_free(quon_request* req, void* pointer) {
    req->logAt(req, QN_LOG_TRACE2, "MEM apache_free: %p", pointer);
}

int apacheLogLevel(int level) { return std::clamp(level, APLOG_EMERG, APLOG_TRACE8); }

void WriteToLogAt(quon_request* req, int level, const char* format, ...) {
    const QuonServerConfig* conf = req->server ? quonConfigOf(req->server) : nullptr;
    const int written = levelFor(req->server, apacheLogLevel(level), conf && conf->verbose);
    if (written < 0) return;
    va_list args;
    va_start(args, format);
    WriteToLogHelper(req, written, format, args);
    va_end(args);
}

void WriteToLog(quon_request* req, const char* format, ...) {
    const QuonServerConfig* conf = req->server ? quonConfigOf(req->server) : nullptr;
    const int written = levelFor(req->server, APLOG_DEBUG, conf && conf->verbose);
    if (written < 0) return;
    va_list args;
    va_start(args, format);
    WriteToLogHelper(req, written, format, args);
    va_end(args);
}

// Events at trace1, routine detail at trace2; a flag of the traceflags mask writes its
// lines whatever LogLevel says.
void WriteToLogE(quon_request* req, int flags, const char* format, ...) {
    if (!req->server) return;
    const QuonServerConfig* conf = quonConfigOf(req->server);
    const int level = flags & QN_TRACE_EVENT ? QN_LOG_TRACE1 : QN_LOG_TRACE2;
    const int written = levelFor(req->server, level, conf && (flags & conf->traceFlags));
    if (written < 0) return;
    va_list args;
    va_start(args, format);
    WriteToLogHelper(req, written, format, args);
    va_end(args);
}

namespace {
void writeLine(quon_request* req, int level, const char* message) {
    if (!message[0]) return;
    if (!req->logPrefix[0]) setLogPrefix(req, req->request);
    // No source file and line: they would name this line for every message of the core.
    server_rec* server = logServer(req->server);
    if (!writeOnLogThread(server, level, req->logPrefix, message))
        ap_log_error(nullptr, 0, APLOG_MODULE_INDEX, level, 0, server, "%s %s", req->logPrefix,
                     message);
}

// Trace lines, many while an operator asks for them, format on the stack.
[[gnu::noinline]] void writeFromStack(quon_request* req, int level, const char* format,
                                      va_list args) {
    char message[kLogBufferSize];
    if (vsnprintf(message, sizeof message, format, args) < 0) message[sizeof message - 1] = '\0';
    writeLine(req, level, message);
}
}  // namespace

// A line of notice and above (a failure a worker meets) formats on the heap, so that it
// does not deepen the worker's stack for good (log_writer.cpp).
void WriteToLogHelper(quon_request* req, int level, const char* format, va_list args) {
    if (level > APLOG_NOTICE) return writeFromStack(req, level, format, args);
    char* message = static_cast<char*>(malloc(kLogBufferSize));
    if (!message) return writeFromStack(req, level, format, args);
    if (vsnprintf(message, kLogBufferSize, format, args) < 0) message[kLogBufferSize - 1] = '\0';
    writeLine(req, level, message);
    free(message);
}

// Lower-cases a media type or encoding up to its parameters; they keep their case.
char* pstrdup_lower(request_rec* r, const char* text) {
    if (!text) return nullptr;
    char* copy = apr_pstrdup(r->pool, text);
    for (char* c = copy; *c && *c != ';'; ++c) *c = char(apr_tolower(*c));
    return copy;
}

// The names the dispatch left point into the child's table: copied to the request's pool.
void setQuonEnvironment(request_rec* r, const quon_request* req) {
    if (req->lastServer) apr_table_set(r->subprocess_env, kServerVariable, req->lastServer);
    apr_table_setn(r->subprocess_env, kAttemptsVariable, apr_itoa(r->pool, req->attempts));
    if (req->mappingPattern)
        apr_table_set(r->subprocess_env, kMappingVariable, req->mappingPattern);
}
