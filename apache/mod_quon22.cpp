// Module record, hook registration, start-up banner and the per-child start and
// clean-up of the connector.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it

#include <apr_strings.h>
#include <cstring>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <mpm_common.h>

#include "flags.h"
#include "health.h"
#include "quon_status.h"
#include "sync.h"
#include "table_slots.h"

APLOG_USE_MODULE(quon);

namespace {
constexpr const char* kSharedStore =
    "QuonConfig serverstore \"%s\" is set for two virtual hosts (%s and %s): each needs a "
    "file of its own";

// Lock messages that arise without a quon_request go straight to the error log.
void systemLog(int level, const char* message) {
    ap_log_error(APLOG_MARK, apacheLogLevel(level), 0, nullptr, "%s", message);
}
const char* serverNameOf(const server_rec* s) {
    return s->server_hostname ? s->server_hostname : "the main server";
}

// Two virtual hosts with tables of their own and one server store would each take the
// other's servers and patterns for their own: Apache does not start.
bool storesApart(server_rec* main) {
    for (server_rec* s = main; s; s = s->next) {
        const QuonServerConfig* conf = quonConfigOf(s);
        if (!conf->configured || !conf->serverStore) continue;
        for (server_rec* before = main; before != s; before = before->next) {
            const QuonServerConfig* other = quonConfigOf(before);
            if (other == conf || !other->configured || !other->serverStore ||
                strcmp(other->serverStore, conf->serverStore) != 0)
                continue;
            // Apache chains virtual hosts last first: the one configured first is named first.
            ap_log_error(APLOG_MARK, APLOG_EMERG, 0, s, kSharedStore, conf->serverStore,
                         serverNameOf(s), serverNameOf(before));
            return false;
        }
    }
    return true;
}
}  // namespace

int quon_init(apr_pool_t* pconf, apr_pool_t*, apr_pool_t*, server_rec* server) {
    ap_add_version_component(pconf,
                             apr_psprintf(pconf, "%s/%d.%d", QUON_PRODUCT, QUON_MAJOR, QUON_MINOR));
    findGuardedDirectories(pconf);
    quon_request req;
    init_apache_request(&req, nullptr, server);
    req.logAt(&req, QN_LOG_NOTICE, "%s %d.%d (Build %d) Apache 2.2 module - %s %s", QUON_PRODUCT,
              QUON_MAJOR, QUON_MINOR, QUON_BUILD, __DATE__, __TIME__);
    const QuonServerConfig* conf = quonConfigOf(server);
    qnSetCheckSettings({conf->checkInterval, conf->checkTimeout, conf->checkFall, conf->checkRise});
    return storesApart(server) ? OK : HTTP_INTERNAL_SERVER_ERROR;
}

void quon_child_init(apr_pool_t* pchild, server_rec* server) {
    // Its clean-up runs last: the upkeep threads' last lines still go through it.
    for (server_rec* s = server; s; s = s->next)
        if (quonConfigOf(s)->configured) {
            startLogWriter(pchild);
            break;
        }
    initQuonMutexPool();
    quon_request req;
    QuonServerConfig* conf = init_apache_request(&req, nullptr, server);
    if (!conf->configured) {
        req.trace(&req, "quon_child_init: Quon not configured for server");
    } else if (conf->table.load()) {
        req.trace(&req, "quon_child_init: mapping table not null");
    } else {
        // The child clean-up is a no-op: a process forked to run another program (CGI,
        // piped logs, exec includes) must not close this child's connections or take its
        // locks.
        apr_pool_cleanup_register(pchild, server, quon_child_exit, apr_pool_cleanup_null);
    }
    // Virtual hosts may be configured where the main server is not. The thread's own
    // clean-up is registered after the one above, so it runs first: the thread is gone
    // before the tables are.
    startUpkeepThread(pchild, server);
}

// The MPM is stopping the child, before it joins its worker threads: a receive that the
// server keeps alive with pings never holds up the stop. A graceful stop still lets the
// requests in flight take pooled connections, so none of them is lost.
void quon_child_stopping(apr_pool_t*, int graceful) {
    gShutdown.store(graceful ? QN_SHUTDOWN_GRACEFUL : QN_SHUTDOWN_NOW);
    stopUpkeepThread();
}

// Each reading of the configuration starts the process-wide flags afresh, so a line
// removed before a restart no longer counts.
int quon_pre_config(apr_pool_t*, apr_pool_t*, apr_pool_t*) {
    qnMetrics = 0;
    qnDebugger = 0;
    return OK;
}

// Runs when the child's pool is cleared: waits in progress give up, the main server's
// mappings table (and with it every proxy and socket) goes, then the lock pool.
apr_status_t quon_child_exit(void* data) {
    auto* server = static_cast<server_rec*>(data);
    gShutdown.store(QN_SHUTDOWN_NOW);
    quon_request req;
    QuonServerConfig* conf = init_apache_request(&req, nullptr, server);
    req.trace(&req, "quon_child_exit: r is %p, server %p", static_cast<void*>(&req),
              static_cast<void*>(server));
    if (upkeepThreadsLeftRunning()) return APR_SUCCESS;
    mappingsTableDelete(conf->table.exchange(nullptr), &req);
    freeQuonMutexPool();
    return APR_SUCCESS;
}

void quon_hooks(apr_pool_t* pool) {
    qnSetSystemLog(systemLog);
    ap_hook_pre_config(quon_pre_config, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_post_config(quon_init, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_child_init(quon_child_init, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_child_stopping(quon_child_stopping, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_map_to_storage(quon_map_to_storage, nullptr, nullptr, APR_HOOK_FIRST);
    ap_hook_type_checker(quon_trans, nullptr, nullptr, APR_HOOK_FIRST);
    ap_hook_handler(quon_service, nullptr, nullptr, APR_HOOK_MIDDLE);
    registerStatusHooks();
    if (quon_test_hooks) quon_test_hooks(pool);
}

extern "C" {
// The standard 2.0-style header, spelled out: <IfModule mod_quon22.c> names the module
// as users of Apache modules expect, whatever the source file's extension.
module AP_MODULE_DECLARE_DATA quon_module = {
    MODULE_MAGIC_NUMBER_MAJOR,
    MODULE_MAGIC_NUMBER_MINOR,
    -1,
    "mod_quon22.c",
    nullptr,
    nullptr,
    MODULE_MAGIC_COOKIE,
    nullptr,
    nullptr,         // per-directory create
    nullptr,         // per-directory merge
    make_quon_conf,  // per-server create
    nullptr,         // per-server merge: a virtual host without lines shares the main record
    quon_commands,
    quon_hooks,
    0,  // flags
};
}
