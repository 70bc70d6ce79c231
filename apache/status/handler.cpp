// The quon-status handler: the status page in HTML (default), JSON (?format=json) or
// Prometheus (?format=prometheus) on GET, and the operator's drain, disable and enable on
// POST. Who may see or change what is Apache's own access control (Require in the
// handler's <Location>). A POST must also carry the nonce that the page's forms show,
// so that another site cannot make an operator's browser post one. Also the module's
// section in mod_status's page.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it
#include "quon_status.h"

#include <cstring>
#include <string>

#include <apr_buckets.h>
#include <apr_optional_hooks.h>
#include <apr_strings.h>
#include <http_core.h>
#include <http_log.h>
#include <http_main.h>
#include <http_protocol.h>
#include <http_request.h>
#include <mod_status.h>
#include <util_script.h>

#include "checks.h"
#include "counters.h"
#include "health.h"

APLOG_USE_MODULE(quon);

namespace {
constexpr const char* kHandlerName = "quon-status";
constexpr apr_size_t kFormPairs = 8;
constexpr apr_size_t kFormBytes = 4096;
constexpr const char* kRefused = "quon-status: POST from %s refused: %s";
constexpr const char* kNoNonce = "it carries no nonce";
constexpr const char* kWrongNonce = "its nonce is not the page's";
constexpr const char* kNoCounters = "no counters are kept";
constexpr const char* kBadForm = "its form could not be read";
constexpr const char* kUnknownAction = "unknown action \"%s\": drain, disable or enable expected";
constexpr const char* kNoServer = "no server %s in %s";
constexpr const char* kChanged = "quon-status: server %s of %s set to %s from %s";
constexpr const char* kEveryVhost = "any virtual server";

enum class Format { Html, Json, Prometheus };

Format formatOf(request_rec* r) {
    apr_table_t* args = nullptr;
    ap_args_to_table(r, &args);
    const char* format = args ? apr_table_get(args, "format") : nullptr;
    if (format && strcmp(format, "json") == 0) return Format::Json;
    if (format && strcmp(format, "prometheus") == 0) return Format::Prometheus;
    return Format::Html;
}

// The form's fields by name; a repeated name keeps its first value.
apr_table_t* readForm(request_rec* r) {
    apr_array_header_t* pairs = nullptr;
    if (ap_parse_form_data(r, nullptr, &pairs, kFormPairs, kFormBytes) != OK || !pairs)
        return nullptr;
    apr_table_t* form = apr_table_make(r->pool, int(kFormPairs));
    auto* pair = reinterpret_cast<ap_form_pair_t*>(pairs->elts);
    for (int i = 0; i < pairs->nelts; ++i) {
        apr_off_t length = 0;
        apr_brigade_length(pair[i].value, 1, &length);
        if (length < 0 || apr_size_t(length) > kFormBytes) return nullptr;
        apr_size_t size = apr_size_t(length);
        char* value = static_cast<char*>(apr_palloc(r->pool, size + 1));
        apr_brigade_flatten(pair[i].value, value, &size);
        value[size] = '\0';
        if (!apr_table_get(form, pair[i].name)) apr_table_setn(form, pair[i].name, value);
    }
    return form;
}

// Compares every byte, whatever the first difference, so that the time taken tells
// nothing of how much of a guess was right.
bool sameNonce(const char* given, const char* expected) {
    const size_t length = strlen(expected);
    if (strlen(given) != length || length == 0) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < length; ++i) difference |= (unsigned char)(given[i] ^ expected[i]);
    return difference == 0;
}

int adminOf(const char* action) {
    if (strcmp(action, "drain") == 0) return QN_ADMIN_DRAIN;
    if (strcmp(action, "disable") == 0) return QN_ADMIN_DISABLE;
    if (strcmp(action, "enable") == 0) return QN_ADMIN_NORMAL;
    return -1;
}

// Sets the state of server in the virtual server vhost (in every one that has it when
// vhost is empty); the number of slots changed.
int applyAdmin(request_rec* r, qnCounterSegment* segment, const char* vhost, const char* server,
               int admin) {
    int changed = 0;
    for (qnServerCounters& slot : segment->slots) {
        if (slot.state.load(std::memory_order_acquire) != QN_SLOT_USED ||
            strcmp(slot.name, server) != 0 || (*vhost && strcmp(slot.scope, vhost) != 0))
            continue;
        slot.admin.store(admin, std::memory_order_relaxed);
        ap_log_rerror(APLOG_MARK, APLOG_NOTICE, 0, r, kChanged, slot.name, slot.scope,
                      adminName(admin), r->useragent_ip);
        ++changed;
    }
    // A server the operator enables is checked at once, by this child or another.
    if (changed && admin == QN_ADMIN_NORMAL) {
        qnHealthCheckSoon(qnHealthFind(qnHealthBoardInUse(), server));
        qnWakeChecker();
    }
    return changed;
}

int refuse(request_rec* r, int status, const char* why) {
    ap_log_rerror(APLOG_MARK, APLOG_NOTICE, 0, r, kRefused, r->useragent_ip, why);
    return status;
}

// After a change the browser is sent back to the page (and a reload does not post again).
int changeAdmin(request_rec* r) {
    qnCounterSegment* segment = counterSegment();
    if (!segment) return refuse(r, HTTP_SERVICE_UNAVAILABLE, kNoCounters);
    apr_table_t* form = readForm(r);
    if (!form) return refuse(r, HTTP_BAD_REQUEST, kBadForm);
    const char* nonce = apr_table_get(form, "nonce");
    if (!nonce) return refuse(r, HTTP_FORBIDDEN, kNoNonce);
    if (!sameNonce(nonce, segment->nonce)) return refuse(r, HTTP_FORBIDDEN, kWrongNonce);
    const char* action = apr_table_get(form, "action");
    const int admin = action ? adminOf(action) : -1;
    if (admin < 0)
        return refuse(r, HTTP_BAD_REQUEST,
                      apr_psprintf(r->pool, kUnknownAction, action ? action : ""));
    const char* server = apr_table_get(form, "server");
    const char* vhost = apr_table_get(form, "vhost");
    if (!vhost) vhost = "";
    if (!server || applyAdmin(r, segment, vhost, server, admin) == 0)
        return refuse(
            r, HTTP_NOT_FOUND,
            apr_psprintf(r->pool, kNoServer, server ? server : "", *vhost ? vhost : kEveryVhost));
    apr_table_setn(r->headers_out, "Location", ap_construct_url(r->pool, r->uri, r));
    return HTTP_SEE_OTHER;
}

int statusSection(request_rec* r, int flags) {
    const StatusModel model = collectStatus(ap_server_conf, false);
    if (!model.vhosts.empty()) renderStatusSection(r, model, (flags & AP_STATUS_SHORT) != 0);
    return OK;
}
}  // namespace

int quon_status_handler(request_rec* r) {
    if (!r->handler || strcmp(r->handler, kHandlerName) != 0) return DECLINED;
    r->allowed = (AP_METHOD_BIT << M_GET) | (AP_METHOD_BIT << M_POST);
    if (r->method_number == M_POST) return changeAdmin(r);
    if (r->method_number != M_GET) return HTTP_METHOD_NOT_ALLOWED;
    const Format format = formatOf(r);
    const StatusModel model = collectStatus(ap_server_conf, format != Format::Prometheus);
    apr_table_setn(r->headers_out, "Cache-Control", "no-store");
    if (format == Format::Json)
        renderJson(r, model);
    else if (format == Format::Prometheus)
        renderPrometheus(r, model);
    else
        renderHtml(r, model);
    return OK;
}

void registerStatusHooks() {
    ap_hook_post_config(quon_status_post_config, nullptr, nullptr, APR_HOOK_MIDDLE);
    ap_hook_child_init(quon_status_child_init, nullptr, nullptr, APR_HOOK_FIRST);
    ap_hook_handler(quon_status_handler, nullptr, nullptr, APR_HOOK_MIDDLE);
    APR_OPTIONAL_HOOK(ap, status_hook, statusSection, nullptr, nullptr, APR_HOOK_MIDDLE);
}
