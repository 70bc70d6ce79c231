// The translate (type-checker) and handler hooks: which requests the connector takes,
// and the serving of those it took.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it

#include <cstdlib>
#include <initializer_list>
#include <mutex>
#include <string_view>
#include <strings.h>

#include <apr_strings.h>
#include <apr_tables.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <util_filter.h>

#include "describe.h"
#include "quon_status.h"
#include "strutil.h"
#include "table.h"
#include "table_slots.h"

APLOG_USE_MODULE(quon);

namespace {
constexpr const char* kHandlerName = "quon-handler";
constexpr const char* kTargetNote = "quon-proxy-target";
// The mappings table's generation when the index above was chosen.
constexpr const char* kGenerationNote = "quon-proxy-generation";
// The file name that matched no entry before the directory walk.
constexpr const char* kUnclaimedNote = "quon-unclaimed";
constexpr const char* kDotSegment =
    "request for %.200s refused: it holds a \".\" or \"..\" segment once its path parameters "
    "are removed and it is decoded once more";
constexpr const char* kControlCharacter =
    "request for %.200s refused: it holds a control character once it is decoded once more";
constexpr const char* kNotConfigured = "Server has not been properly configured for Quon.";
constexpr const char* kNotAccepted =
    "Quon will not accept request.  Check Quon web server configuration and Quon mappings on "
    "Quon server.";
constexpr const char* kDispatchFailed = "Quon handleRequestWithIndex failed.";
constexpr const char* kCipherSuite = "javax.servlet.request.cipher_suite";
constexpr const char* kKeySize = "javax.servlet.request.key_size";
constexpr const char* kCertificate = "javax.servlet.request.X509Certificate";
// The client's port, which none of the message's variables carries: sent with every
// request so that a server need not ask for it (the Tomcat connector sets the request's
// remote port from it and keeps it out of the application's attributes).
constexpr const char* kRemotePort = "QUON_REMOTE_PORT";

// Guards the creation of every configuration record's table. The upkeep thread and the
// first requests of a child may ask for it at once: the table is made and published
// under this lock, so one table per record is ever created and no thread sees a table
// before its ignore-suffix flag is set. Creation does no I/O; the lock is held briefly,
// and only until the record has its table.
std::mutex tableCreation;

}  // namespace

mappingsTable* findOrCreateTable(quon_request* req, QuonServerConfig* conf) {
    if (mappingsTable* table = conf->table.load(std::memory_order_acquire)) return table;
    std::lock_guard<std::mutex> hold(tableCreation);
    mappingsTable* table = conf->table.load(std::memory_order_acquire);
    if (table) return table;
    table = mappingsTableNew(req, conf->serverStore, conf->bootstrap, conf->proxyRetryInterval);
    if (!table) return nullptr;
    tableSlots(table)->ignoreSuffixMap(table, req, conf->ignoreSuffixMap);
    setCounterScope(table, conf->counterScope);
    nameTable(table, req, scopeName(conf->counterScope));
    setMemberNetworks(table, conf->memberNetworks, conf->memberNetworkCount);
    setServerWatch(table, conf->healthCheckUri, conf->slowStart);
    if (conf->claims)
        setClaimPatterns(table, req, reinterpret_cast<const char* const*>(conf->claims->elts),
                         conf->claims->nelts);
    conf->table.store(table, std::memory_order_release);
    return table;
}

namespace {
// The first variable of names that is present (and, when nonEmpty, not empty), or null.
const char* firstVariable(request_rec* r, std::initializer_list<const char*> names, bool nonEmpty) {
    for (const char* name : names) {
        const char* value = apr_table_get(r->subprocess_env, name);
        if (value && (!nonEmpty || *value)) return value;
    }
    return nullptr;
}

void setTextAttribute(quon_request* req, const char* name, const char* value) {
    req->setAttribute(req, name, value, int(strlen(value)));
}

// The record's per-call arrays and attributes, released in the order they were made.
void cleanUp(quon_request* req) {
    req->freeAttributes(req);
    req->freeAttributeNames(req);
    if (req->headerNames) req->free(req, const_cast<char**>(req->headerNames));
    req->headerNames = nullptr;
    if (req->headerValues) req->free(req, const_cast<char**>(req->headerValues));
    req->headerValues = nullptr;
}

// The index the translate hook left in the note, or -1 without one; the generation it
// was chosen in goes to the record.
int32_t targetIndex(request_rec* r, quon_request* req) {
    const char* note = apr_table_get(r->notes, kTargetNote);
    const char* generation = apr_table_get(r->notes, kGenerationNote);
    if (!note || !generation) return -1;
    req->mappingGeneration = unsigned(strtoul(generation, nullptr, 10));
    return int32_t(strtol(note, nullptr, 10));
}

// Ends a response whose body did not reach the client whole the way a broken back end
// ends it in Apache's own proxy: an error bucket, after which the HTTP filters send no
// last chunk and close the connection, so the client sees a cut response and no cache
// keeps it.
void endBrokenResponse(request_rec* r) {
    r->no_cache = 1;
    if (r->main) r->main->no_cache = 1;
    conn_rec* c = r->connection;
    apr_bucket_brigade* bb = apr_brigade_create(r->pool, c->bucket_alloc);
    APR_BRIGADE_INSERT_TAIL(bb, ap_bucket_error_create(HTTP_BAD_GATEWAY, nullptr, r->pool,
                                                       c->bucket_alloc));
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(c->bucket_alloc));
    ap_pass_brigade(r->output_filters, bb);
    c->keepalive = AP_CONN_CLOSE;
}
}  // namespace

void setSecure(request_rec* r, quon_request* req) {
    if (const char* authorization = apr_table_get(r->headers_in, "Authorization"))
        apr_table_set(r->subprocess_env, "AUTHORIZATION", authorization);
    const char* https = apr_table_get(r->subprocess_env, "HTTPS");
    bool secure = strcasecmp(ap_http_scheme(r), "https") == 0 || (https && !strcmp(https, "on"));
    if (!secure) {
        apr_table_set(r->subprocess_env, "SERVER_PORT_SECURE", "0");
        return;
    }
    apr_table_set(r->subprocess_env, "SERVER_PORT_SECURE", "1");
    req->trace(req, "Apache got this request over SSL");
    if (const char* cipher = firstVariable(r, {"SSL_CIPHER", "HTTPS_CIPHER"}, false)) {
        setTextAttribute(req, kCipherSuite, cipher);
        req->trace(req, "SSL Cipher %s", cipher);
    } else {
        req->trace(req, "SSL - No SSL Cipher Suite found");
    }
    if (const char* bits = apr_table_get(r->subprocess_env, "SSL_CIPHER_USEKEYSIZE")) {
        setTextAttribute(req, kKeySize, bits);
        req->trace(req, "SSL Cipher Key Size %s", bits);
    } else if ((bits = apr_table_get(r->subprocess_env, "HTTPS_SECRETKEYSIZE"))) {
        setTextAttribute(req, kKeySize, bits);
        req->trace(req, "SSL Cipher key size %s", bits);
    } else {
        req->trace(req, "SSL - Key size not found");
    }
    if (const char* cert =
            firstVariable(r, {"SSL_CLIENT_CERT", "HTTPS_CLIENT_CERTIFICATE"}, true)) {
        setTextAttribute(req, kCertificate, cert);
        req->trace(req, "Client Certificate found.");
    } else {
        req->trace(req, "SSL - No Client Certificate found in the request");
    }
}

namespace {
// Headers that describe the client's connection to Apache, not the request: the server
// gets the body de-chunked and never talks to the client's connection, and the proxy
// credentials were meant for Apache.
constexpr std::string_view kConnectionHeaders[] = {
    "connection", "keep-alive", "te", "transfer-encoding", "trailer", "upgrade",
    "proxy-authorization", "proxy-connection"};

bool connectionHeader(const char* name, const char* connection) {
    for (std::string_view h : kConnectionHeaders)
        if (h.size() == strlen(name) && strncasecmp(name, h.data(), h.size()) == 0) return true;
    // The names listed in Connection belong to the connection too.
    for (const char* at = connection; at && *at;) {
        at += strspn(at, " \t,");
        const size_t n = strcspn(at, " \t,");
        if (n > 0 && n == strlen(name) && strncasecmp(name, at, n) == 0) return true;
        at += n;
    }
    return false;
}
}  // namespace

// The strings stay Apache's: only the two arrays are the record's.
const char** getHeaderNames(quon_request* req) {
    const apr_array_header_t* elements = apr_table_elts(req->request->headers_in);
    const char* connection = apr_table_get(req->request->headers_in, "Connection");
    int count = elements->nelts;
    auto bytes = int((count + 1) * sizeof(const char*));
    auto** names = static_cast<const char**>(req->malloc(req, bytes));
    auto** values = static_cast<const char**>(req->malloc(req, bytes));
    if (!names || !values) {
        if (names) req->free(req, names);
        if (values) req->free(req, values);
        return nullptr;
    }
    const auto* entries = reinterpret_cast<const apr_table_entry_t*>(elements->elts);
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (entries[i].key && connectionHeader(entries[i].key, connection)) continue;
        names[kept] = entries[i].key;
        values[kept++] = entries[i].key ? entries[i].val : nullptr;
    }
    names[kept] = values[kept] = nullptr;
    req->headerValues = values;
    return names;
}

namespace {
// Matches the request against its table and claims it for the handler on a match;
// false when no entry matches, or the table is not ready and the request matches no
// pattern its server store remembers.
bool claim(request_rec* r, quon_request* req, QuonServerConfig* conf) {
    // The table is initialised by the upkeep thread; until it is, requests are declined
    // as for a table that cannot be initialised, without waiting for the back ends.
    mappingsTable* table = findOrCreateTable(req, conf);
    if (!table) return false;
    req->filterPath = r->filename;
    int32_t index = -1;
    if (!mappingsTableReady(table)) {
        // Until a server answers, the URIs the store remembers are the table's: they get
        // the error page (or the error URL), not the web server's own 404.
        req->trace(req, "quon_trans: can't get mappings from server");
        if (!claimWhileCold(table, req)) return false;
        req->mappingGeneration = 0;
    } else {
        index = tableSlots(table)->filterRequest(table, req, 1);
        if (index < 0) return false;
    }
    r->handler = apr_pstrdup(r->pool, kHandlerName);
    apr_table_setn(r->notes, kTargetNote, apr_psprintf(r->pool, "%d", int(index)));
    apr_table_setn(r->notes, kGenerationNote, apr_psprintf(r->pool, "%u", req->mappingGeneration));
    return true;
}
}  // namespace

// Before Apache looks for the path on disk: a request claimed here skips the directory
// walk (<Directory>, .htaccess and the file system's checks), as Apache's own proxy does
// for the requests it forwards; <Location> sections and Require still apply. What does
// not match here (or everything, with directorywalk on) is matched again by the type
// checker below, after the walk, where the walked path may match an extension mapping.
int quon_map_to_storage(request_rec* r) {
    QuonServerConfig* conf = quonConfigOf(r->server);
    if (r->main || !conf->configured || conf->directoryWalk) return DECLINED;
    quon_request req;
    init_apache_request(&req, r, r->server);
    if (claim(r, &req, conf)) {
        tellSkippedDirectory(r, &req, conf);
        return OK;
    }
    if (r->filename) apr_table_setn(r->notes, kUnclaimedNote, r->filename);
    return DECLINED;
}

int quon_trans(request_rec* r) {
    quon_request req;
    QuonServerConfig* conf = init_apache_request(&req, r, r->server);
    if (r->main) {
        req.trace(&req, "quon_trans: sub-request so DECLINED");
        return DECLINED;
    }
    req.trace(&req, "quon_trans: r is %p, server is %p, virtual %d", static_cast<void*>(r),
              static_cast<void*>(r->server), r->server->is_virtual);
    if (!conf->configured) {
        if (r->server->is_virtual)
            req.trace(&req, "quon_trans: Quon not configured for virtual server so DECLINED");
        else
            logLimited(&req, &conf->notConfiguredLog, QN_LOG_WARN, "%s", kNotConfigured);
        return DECLINED;
    }
    if (apr_table_get(r->notes, kTargetNote)) return OK;  // claimed before the walk
    // The walk left the path as it was: the match before it stands.
    const char* unclaimed = apr_table_get(r->notes, kUnclaimedNote);
    if (unclaimed && r->filename && strcmp(unclaimed, r->filename) == 0) return DECLINED;
    return claim(r, &req, conf) ? OK : DECLINED;
}

int quon_service(request_rec* r) {
    quon_request req;
    QuonServerConfig* conf = init_apache_request(&req, r, r->server);
    req.trace(&req, "quon_service: r is %p, server is %p, virtual %d", static_cast<void*>(r),
              static_cast<void*>(r->server), r->server->is_virtual);
    if (!r->handler || strcmp(r->handler, kHandlerName) != 0) {
        req.trace(&req, "quon_service: no handler, return DECLINED");
        return DECLINED;
    }
    if (!conf->configured) {
        logLimited(&req, &conf->notConfiguredLog, QN_LOG_WARN, "%s", kNotConfigured);
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    mappingsTable* table = conf->table.load(std::memory_order_acquire);
    if (!table) {
        req.trace(&req, "quon_service: internal error, null mappings table");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    // A server that drops path parameters or decodes again would serve another path than
    // the one matched, past the <Location> rules written for it.
    if (hasDotSegment(req.uri)) {
        req.logAt(&req, QN_LOG_INFO, kDotSegment, req.uri);
        return HTTP_BAD_REQUEST;
    }
    if (hasControlCharacter(req.uri)) {
        req.logAt(&req, QN_LOG_INFO, kControlCharacter, r->unparsed_uri);
        return HTTP_BAD_REQUEST;
    }
    // No CGI environment is made here: the message's variables are computed from the
    // request, and anything else a server asks for makes it then (variables.cpp).
    setSecure(r, &req);
    if (const apr_sockaddr_t* client = r->useragent_addr ? r->useragent_addr : r->connection->client_addr)
        setTextAttribute(&req, kRemotePort, apr_psprintf(r->pool, "%u", unsigned(client->port)));
    // Bodies without a length (chunked uploads, HTTP/2 requests) are taken, de-chunked by
    // Apache and streamed to the server, which reads to the end of the body.
    if (int status = ap_setup_client_block(r, REQUEST_CHUNKED_DECHUNK)) {
        req.logAt(&req, QN_LOG_INFO, "quon_service: setup_client_block failed %d", status);
        cleanUp(&req);  // the TLS attributes are made already
        return status;
    }
    req.firstPostRead = 1;
    req.morePostData = 1;
    req.headerNames = getHeaderNames(&req);
    req.filterPath = r->filename;
    int32_t index = targetIndex(r, &req);
    req.trace(&req, "quon_service: found quon-proxy-target index %i", int(index));
    int32_t result = tableSlots(table)->handleRequestWithIndex(table, &req, nullptr, index);
    setQuonEnvironment(r, &req);
    cleanUp(&req);
    if (req.responseBroken) endBrokenResponse(r);
    // A body that could not be read ended the exchange: Apache's status for it stands.
    if (int failure = bodyReadFailure(r); failure && !req.responseStarted) return failure;
    if (result >= 0 || req.responseStarted) {
        req.trace(&req, "quon_service: OK");
        return OK;
    }
    if (result == -2) {
        req.logAt(&req, QN_LOG_ERROR, "%s", kNotAccepted);
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    req.logAt(&req, QN_LOG_WARN, "%s", kDispatchFailed);
    return HTTP_SERVICE_UNAVAILABLE;
}
