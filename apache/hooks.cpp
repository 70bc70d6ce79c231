// The translate (type-checker) and handler hooks: which requests the connector takes,
// and the serving of those it took.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it

#include <http_log.h>
#include <http_protocol.h>


APLOG_USE_MODULE(quon);

namespace {
constexpr const char* kHandlerName = "quon-handler";
constexpr const char* kNotConfigured = "Server has not been properly configured for Quon.";
}  // namespace

// Claims nothing until the mappings table exists: every request is declined after
// the checks that do not need it.
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
            req.log(&req, "%s", kNotConfigured);
        return DECLINED;
    }
    return DECLINED;
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
        req.log(&req, "%s", kNotConfigured);
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    req.trace(&req, "quon_service: internal error, null mappings table");
    return HTTP_INTERNAL_SERVER_ERROR;
}
