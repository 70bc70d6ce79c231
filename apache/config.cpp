// The per-server configuration record and the QuonConfig directive.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it

#include <cstdlib>
#include <new>

#include <apr_strings.h>

#include "flags.h"
#include "socket.h"
#include "strutil.h"

namespace {
constexpr const char* kApiAllocOn = "apialloc is true so using request's memory pool";
constexpr const char* kMetricsInVirtualHost =
    "\"QuonConfig Metrics\" ignored for virtual server since it must be set at the global "
    "level.";

bool isTrue(const char* value) { return strcasecmp(value, "true") == 0; }

// A bound in bytes; a value that is not a positive number leaves the bound as it was,
// since a bound of 0 would refuse every answer.
int byteBound(const char* value, int current) {
    int bound = atoi(value);
    return bound > 0 ? bound : current;
}

struct KeyContext {
    quon_request* req;
    QuonServerConfig* conf;
    server_rec* server;
    const char* value;
};

// One QuonConfig key: its effect, and whether giving it marks the server configured.
struct ConfigKey {
    const char* name;
    bool marksConfigured;
    void (*apply)(const KeyContext&);
};

constexpr ConfigKey kKeys[] = {
    {"Verbose", false,
     [](const KeyContext& k) {
         if (isTrue(k.value)) k.conf->verbose = 1, k.conf->traceFlags = -1;
     }},
    {"traceflags", false, [](const KeyContext& k) { k.conf->traceFlags = hexstrtol(k.value); }},
    {"serverstore", true, [](const KeyContext& k) { k.conf->serverStore = k.value; }},
    {"bootstrap", true, [](const KeyContext& k) { k.conf->bootstrap = k.value; }},
    {"errorurl", true, [](const KeyContext& k) { k.conf->errorUrl = k.value; }},
    {"apialloc", true,
     [](const KeyContext& k) {
         if (!isTrue(k.value)) return;
         k.conf->apiAlloc = 1;
         k.req->trace(k.req, "%s", kApiAllocOn);
     }},
    {"ignoresuffixmap", true,
     [](const KeyContext& k) {
         if (isTrue(k.value)) k.conf->ignoreSuffixMap = 1;
     }},
    {"proxyretryinterval", true,
     [](const KeyContext& k) { k.conf->proxyRetryInterval = atoi(k.value); }},
    {"connecttimeout", true,
     [](const KeyContext& k) { k.conf->connectTimeout = secondsToMillis(k.value); }},
    {"recvtimeout", true,
     [](const KeyContext& k) { k.conf->recvTimeout = secondsToMillis(k.value); }},
    {"sendtimeout", true,
     [](const KeyContext& k) { k.conf->sendTimeout = secondsToMillis(k.value); }},
    {"maxheadersize", true,
     [](const KeyContext& k) {
         k.conf->maxHeaderSize = byteBound(k.value, k.conf->maxHeaderSize);
     }},
    {"maxpropssize", true,
     [](const KeyContext& k) { k.conf->maxPropsSize = byteBound(k.value, k.conf->maxPropsSize); }},
    {"metrics", false,
     [](const KeyContext& k) {
         if (k.server->is_virtual)
             k.req->log(k.req, "%s", kMetricsInVirtualHost);
         else if (isTrue(k.value))
             qnMetrics = 1;
     }},
    {"debugger", true,
     [](const KeyContext& k) {
         if (isTrue(k.value)) qnDebugger = 1;
     }},
};
}  // namespace

QuonServerConfig* quonConfigOf(server_rec* server) {
    return static_cast<QuonServerConfig*>(ap_get_module_config(server->module_config, &quon_module));
}

void* make_quon_conf(apr_pool_t* pool, server_rec*) {
    auto* conf = new (apr_pcalloc(pool, sizeof(QuonServerConfig))) QuonServerConfig{};
    int timeouts[3];
    initializeSocketTimeouts(nullptr, timeouts);
    conf->connectTimeout = timeouts[0];
    conf->sendTimeout = timeouts[1];
    conf->recvTimeout = timeouts[2];
    conf->maxHeaderSize = QN_DEFAULT_MAX_HEADER_SIZE;
    conf->maxPropsSize = QN_DEFAULT_MAX_PROPS_SIZE;
    return conf;
}

// Applies one line to the record of the server being configured. Unknown keys and
// malformed numbers are accepted silently; nothing is ever reported to Apache.
const char* quon_config(cmd_parms* cmd, void*, const char* key, const char* value) {
    quon_request req;
    QuonServerConfig* conf = init_apache_request(&req, nullptr, cmd->server);
    for (const ConfigKey& entry : kKeys) {
        if (strcasecmp(key, entry.name) != 0) continue;
        entry.apply({&req, conf, cmd->server, value});
        if (entry.marksConfigured) conf->configured = 1;
        break;
    }
    return nullptr;
}

const command_rec quon_commands[] = {
    AP_INIT_TAKE2("QuonConfig", // cmd_func is untyped in C++; the cast through void(*)() says so.
                  reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(quon_config)), nullptr,
                  RSRC_CONF | ACCESS_CONF, "a variable to set followed by its value"),
    {nullptr, {nullptr}, nullptr, 0, RAW_ARGS, nullptr},
};
