// The module's face towards Apache httpd 2.4: the per-server configuration record,
// the hooks and the adapter that fills a quon_request for Apache. This directory is
// the only place that includes httpd headers.
#pragma once

#include <atomic>

#include <httpd.h>
#include <http_config.h>
#include <apr_buckets.h>

#include "log_limit.h"
#include "request_types.h"

struct mappingsTable;
struct qnNetwork;

// The module's version: the start-up line, the version component and the status page.
inline constexpr const char* QUON_PRODUCT = "Quon";
inline constexpr int QUON_MAJOR = 4;
inline constexpr int QUON_MINOR = 0;
inline constexpr int QUON_BUILD = 108487;

// The one symbol Apache looks up when it loads the module.
extern "C" __attribute__((visibility("default"))) module AP_MODULE_DECLARE_DATA quon_module;

// Per-server configuration, allocated zero-filled from the configuration pool. String
// fields point at directive arguments, which Apache keeps in that pool.
struct QuonServerConfig {
    int configured;
    const char* errorUrl;
    // Created by the first translate call of a child process and read by every worker
    // thread afterwards.
    std::atomic<mappingsTable*> table;
    const char* serverStore;
    const char* bootstrap;
    int verbose;
    int traceFlags;
    int apiAlloc;
    int ignoreSuffixMap;
    int proxyRetryInterval;
    int connectTimeout;
    int sendTimeout;
    int recvTimeout;
    int responseTimeout;  // ms from a request's sending to the end of its response; 0: none
    int maxHeaderSize;    // bytes; bounds header strings and each exchange's header total
    int maxPropsSize;     // bytes; bounds property texts and attribute values
    int directoryWalk;    // 1: claimed requests go through Apache's directory walk as well
    // Whether the status page may change servers' states: 1 everywhere, 0 nowhere, -1 (the
    // default) except where an .htaccess file was read for the request.
    int statusChanges;
    // The health checks' settings (the main server's count): ms, ms, checks, checks.
    int checkInterval;
    int checkTimeout;
    int checkFall;
    int checkRise;
    // The path of the application's health check, sent as a GET by every health check
    // (null: the checks ask for the server's properties only); and the seconds over which a
    // server that joins or comes back grows to its full share of new requests (0: at once).
    const char* healthCheckUri;
    int slowStart;
    // The URL patterns of the claim lines (const char*), in the configuration pool; null
    // without any.
    apr_array_header_t* claims;
    // Where each key (by its row in the key table) was last set: "line N of FILE"; for the
    // warning of a key set twice.
    const char* keyLines[32];
    // The networks the members of the cluster must be in (none: any), in the
    // configuration pool.
    const qnNetwork* memberNetworks;
    int memberNetworkCount;
    // Which virtual server's counters its table's servers keep; set by post-config.
    int32_t counterScope;
    // The line for requests to a main server without configuration: a site that loads the
    // module for its virtual hosts alone would otherwise write it for every request.
    qnLogLimit notConfiguredLog;
    // The line for claimed requests that skip the access rules of a <Directory> section.
    qnLogLimit skippedDirectoryLog;
};

// Configuration.
void* make_quon_conf(apr_pool_t* pool, server_rec* server);
const char* quon_config(cmd_parms* cmd, void* dirConfig, const char* key, const char* value);
extern const command_rec quon_commands[];
QuonServerConfig* quonConfigOf(server_rec* server);

// Lifecycle and request hooks.
void quon_hooks(apr_pool_t* pool);
int quon_pre_config(apr_pool_t* pconf, apr_pool_t* plog, apr_pool_t* ptemp);
int quon_init(apr_pool_t* pconf, apr_pool_t* plog, apr_pool_t* ptemp, server_rec* server);
void quon_child_init(apr_pool_t* pchild, server_rec* server);
apr_status_t quon_child_exit(void* server);
void quon_child_stopping(apr_pool_t* pchild, int graceful);
int quon_map_to_storage(request_rec* r);
int quon_trans(request_rec* r);
int quon_service(request_rec* r);
// The configuration's mappings table, made on first use (no I/O); null without memory.
mappingsTable* findOrCreateTable(quon_request* req, QuonServerConfig* conf);

// directory_rules.cpp: the <Directory> sections with access rules, found in the
// configuration at each read (post-config); and the warning for a claimed request whose
// file path lies in one below its document root, which it skips.
void findGuardedDirectories(apr_pool_t* pconf);
void tellSkippedDirectory(request_rec* r, quon_request* req, QuonServerConfig* conf);

// The child's log thread (log_writer.cpp), started first at child start: lines of notice
// and above are written on it while their thread waits. False when it does not run (the
// caller writes the line itself).
void startLogWriter(apr_pool_t* pchild);
bool writeOnLogThread(server_rec* server, int level, const char* prefix, const char* message);
// The child's upkeep threads (upkeep_thread.cpp), one per configured table and one for
// the health checks: started at child start when a server is configured, which waits a
// moment for their first passes; stopped before the tables go.
void startUpkeepThread(apr_pool_t* pchild, server_rec* main);
// Asks the threads to stop as soon as they can (their waits give up); does not wait.
void stopUpkeepThread();
// Whether an upkeep thread was still running when the child's exit stopped waiting for
// it: the tables it may use are then left to the process's end.
bool upkeepThreadsLeftRunning();
// The AUTHORIZATION copy, SERVER_PORT_SECURE and, over TLS, the cipher, key-size and
// client-certificate attributes.
void setSecure(request_rec* r, quon_request* req);
// The request's header names (returned) and values (left in headerValues), each array
// from the record's malloc and ended by null; null without memory.
const char** getHeaderNames(quon_request* req);

// What the module keeps per request, in the request's module configuration (made on
// first use, in the request's pool): the body as it is read, with the status of a read
// that failed, and whether Apache's whole CGI environment has been made.
struct QuonRequestState {
    apr_bucket_brigade* body;
    int bodyFailure;
    int environmentMade;
};
QuonRequestState* requestState(request_rec* r);

// The adapter: fills req for Apache and returns the server's configuration.
QuonServerConfig* init_apache_request(quon_request* req, request_rec* r, server_rec* server);
// variables.cpp: what a server asks of the request by name, and the message's variables.
const char* getHeader(quon_request* req, const char* name);
// The value as a trace line may show it: credentials (Authorization, Proxy-Authorization,
// Cookie, Set-Cookie) as "[redacted]", none as "<null>".
const char* shownValue(const char* name, const char* value);
char* getRealPath(quon_request* req, const char* path);
int getPostData(quon_request* req, char* buffer, int length);
// The status of a failed read of the request's body (AP_FILTER_ERROR when Apache has
// answered the client already, as for a body beyond LimitRequestBody), or 0.
int bodyReadFailure(request_rec* r);
void setStatus(quon_request* req, int status, const char* reason);
void addHeader(quon_request* req, const char* name, const char* value);
int writeClient(quon_request* req, const char* buffer, int length);
void* apache_malloc(quon_request* req, int size);
void apache_free(quon_request* req, void* pointer);
// The Apache level of a core level (QN_LOG_*).
int apacheLogLevel(int level);
// The log slots: logAt by the line's level, trace at debug, traceE at trace1 (events) or
// trace2 (detail); each as the module's LogLevel allows, or at notice where Verbose or
// traceflags asks for a line that LogLevel leaves out.
void WriteToLogAt(quon_request* req, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void WriteToLog(quon_request* req, const char* format, ...) __attribute__((format(printf, 2, 3)));
void WriteToLogE(quon_request* req, int flags, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void WriteToLogHelper(quon_request* req, int level, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));
char* pstrdup_lower(request_rec* r, const char* text);

// Extra hooks of a test build of the module; absent from the module that users load.
extern "C" void quon_test_hooks(apr_pool_t* pool) __attribute__((weak, visibility("hidden")));
