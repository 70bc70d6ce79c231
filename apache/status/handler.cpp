// The quon-status handler: the status page in HTML (default), JSON (?format=json) or
// Prometheus (?format=prometheus) on GET, and the operator's drain, disable and enable on
// POST. Who may see or change what is Apache's own access control (Require in the
// handler's <Location>). A POST must also carry the nonce that the page's forms show,
// so that another site cannot make an operator's browser post one, and the page may not
// be framed, so that another site cannot make the operator click one. Also the module's
// section in mod_status's page.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it
#include "quon_status.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
constexpr long kMostRefreshSeconds = 86400;
constexpr const char* kRefused = "quon-status: POST from %s refused: %s";
constexpr const char* kNoNonce = "it carries no nonce";
constexpr const char* kWrongNonce =
    "its nonce is not the page's (a page loaded before Apache last started): reload the page "
    "and try again";
constexpr const char* kNoCounters = "no counters are kept";
constexpr const char* kBadForm = "its form could not be read";
constexpr const char* kUnknownAction = "unknown action \"%s\": drain, disable or enable expected";
constexpr const char* kNoServer = "no server %s in %s";
constexpr const char* kServerMissing = "it names no server: the form has no server field";
constexpr const char* kNoVhost = "no virtual server %s";
constexpr const char* kNotAForm =
    "its body is %s, not a form: send application/x-www-form-urlencoded fields nonce, action, "
    "server and vhost, as the page's buttons do";
constexpr const char* kNotHere =
    "changes are off here: an .htaccess file applies to this URL (QuonConfig statuschanges on "
    "allows them) or QuonConfig statuschanges is off";
constexpr const char* kChanged = "quon-status: server %s of %s set to %s from %s";
constexpr const char* kEveryVhost = "any virtual server";
constexpr const char* kUnknownFormat =
    "unknown format \"%s\": html (the default), json or prometheus expected";
// Nothing of the page may be framed by another (its buttons are one click), and it loads
// nothing but its own inline style.
constexpr const char* kPolicy =
    "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; base-uri 'none'; "
    "frame-ancestors 'none'";

enum class Format { Html, Json, Prometheus, Unknown };

Format formatOf(apr_table_t* args) {
    const char* format = args ? apr_table_get(args, "format") : nullptr;
    if (!format || strcmp(format, "html") == 0) return Format::Html;
    if (strcmp(format, "json") == 0) return Format::Json;
    if (strcmp(format, "prometheus") == 0) return Format::Prometheus;
    return Format::Unknown;
}

// Seconds between reloads, as mod_status's ?refresh=N: 0 when absent or not a number.
int refreshOf(const char* text) {
    if (!text || !*text || strspn(text, "0123456789") != strlen(text) || strlen(text) > 6) return 0;
    return int(std::min(atol(text), kMostRefreshSeconds));
}

// Whether the page may change servers' states for this request. By default not where an
// .htaccess file was read for it: who may write one there may set SetHandler quon-status,
// and the operator's Require may not cover that place.
bool changesAllowed(request_rec* r) {
    const int setting = quonConfigOf(r->server)->statusChanges;
    if (setting >= 0) return setting != 0;
    for (const htaccess_result* read = r->htaccess; read; read = read->next)
        if (read->htaccess) return false;
    return true;
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

int adminOf(const char* action) {
    if (strcmp(action, "drain") == 0) return QN_ADMIN_DRAIN;
    if (strcmp(action, "disable") == 0) return QN_ADMIN_DISABLE;
    if (strcmp(action, "enable") == 0) return QN_ADMIN_NORMAL;
    return -1;
}

// Whether a virtual server of that name (as the slots keep it) has counters.
bool vhostKnown(qnCounterSegment* segment, const char* vhost) {
    char scope[QN_SCOPE_NAME_SIZE];
    qnFoldName(scope, sizeof scope, vhost);
    for (const qnServerCounters& slot : segment->slots)
        if (slot.state.load(std::memory_order_acquire) == QN_SLOT_USED &&
            strcmp(slot.scope, scope) == 0)
            return true;
    return false;
}

// Sets the state of server in the virtual server vhost (in every one that has it when
// vhost is empty); the number of slots found, whether they changed or were in that state
// already (no change, no line). Names as the slots keep them: in any case.
int applyAdmin(request_rec* r, qnCounterSegment* segment, const char* vhost, const char* server,
               int admin) {
    char name[QN_SLOT_NAME_SIZE], scope[QN_SCOPE_NAME_SIZE];
    qnFoldName(name, sizeof name, server);
    qnFoldName(scope, sizeof scope, vhost);
    int found = 0, changed = 0;
    for (qnServerCounters& slot : segment->slots) {
        if (slot.state.load(std::memory_order_acquire) != QN_SLOT_USED ||
            strcmp(slot.name, name) != 0 || (*scope && strcmp(slot.scope, scope) != 0))
            continue;
        ++found;
        if (slot.admin.exchange(admin, std::memory_order_relaxed) == admin) continue;
        ap_log_rerror(APLOG_MARK, APLOG_NOTICE, 0, r, kChanged, slot.name, slot.scope,
                      adminName(admin), r->useragent_ip);
        ++changed;
    }
    // A server the operator enables is checked at once, by this child or another.
    if (changed && admin == QN_ADMIN_NORMAL) {
        qnHealthCheckSoon(qnHealthFind(qnHealthBoardInUse(), server));
        qnWakeChecker();
    }
    return found;
}

// The refusal is logged and told the client in a page of its own.
int refuse(request_rec* r, int status, const char* title, const char* why) {
    ap_log_rerror(APLOG_MARK, APLOG_NOTICE, 0, r, kRefused, r->useragent_ip, why);
    return renderMessage(r, status, title, apr_psprintf(r->pool, "The change was refused: %s.", why));
}

// After a change the browser is sent back to the page (and a reload does not post again).
int changeAdmin(request_rec* r) {
    if (!changesAllowed(r)) return refuse(r, HTTP_FORBIDDEN, "Forbidden", kNotHere);
    qnCounterSegment* segment = counterSegment();
    if (!segment) return refuse(r, HTTP_SERVICE_UNAVAILABLE, "Service Unavailable", kNoCounters);
    const char* type = apr_table_get(r->headers_in, "Content-Type");
    if (type && ap_cstr_casecmpn(type, "application/x-www-form-urlencoded", 33) != 0)
        return refuse(r, HTTP_UNSUPPORTED_MEDIA_TYPE, "Unsupported Media Type",
                      apr_psprintf(r->pool, kNotAForm, type));
    apr_table_t* form = readForm(r);
    if (!form) return refuse(r, HTTP_BAD_REQUEST, "Bad Request", kBadForm);
    const char* nonce = apr_table_get(form, "nonce");
    if (!nonce) return refuse(r, HTTP_FORBIDDEN, "Forbidden", kNoNonce);
    if (!qnNonceAccepted(segment, nonce, int64_t(time(nullptr))))
        return refuse(r, HTTP_FORBIDDEN, "Forbidden", kWrongNonce);
    const char* action = apr_table_get(form, "action");
    const int admin = action ? adminOf(action) : -1;
    if (admin < 0)
        return refuse(r, HTTP_BAD_REQUEST, "Bad Request",
                      apr_psprintf(r->pool, kUnknownAction, action ? action : ""));
    const char* server = apr_table_get(form, "server");
    const char* vhost = apr_table_get(form, "vhost");
    if (!vhost) vhost = "";
    if (!server || !*server) return refuse(r, HTTP_BAD_REQUEST, "Bad Request", kServerMissing);
    if (*vhost && !vhostKnown(segment, vhost))
        return refuse(r, HTTP_NOT_FOUND, "Not Found", apr_psprintf(r->pool, kNoVhost, vhost));
    if (applyAdmin(r, segment, vhost, server, admin) == 0)
        return refuse(
            r, HTTP_NOT_FOUND, "Not Found",
            apr_psprintf(r->pool, kNoServer, server, *vhost ? vhost : kEveryVhost));
    const int refresh = refreshOf(apr_table_get(form, "refresh"));
    const char* back = refresh ? apr_psprintf(r->pool, "%s?refresh=%d", r->uri, refresh) : r->uri;
    apr_table_setn(r->headers_out, "Location", ap_construct_url(r->pool, back, r));
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
    // Sent with every answer, Apache's own error pages included.
    apr_table_setn(r->err_headers_out, "X-Frame-Options", "DENY");
    apr_table_setn(r->err_headers_out, "Content-Security-Policy", kPolicy);
    apr_table_setn(r->err_headers_out, "X-Content-Type-Options", "nosniff");
    apr_table_setn(r->headers_out, "Cache-Control", "no-store");
    if (r->method_number == M_POST) return changeAdmin(r);
    if (r->method_number != M_GET) return HTTP_METHOD_NOT_ALLOWED;
    apr_table_t* args = nullptr;
    ap_args_to_table(r, &args);
    const Format format = formatOf(args);
    if (format == Format::Unknown)
        return renderMessage(r, HTTP_BAD_REQUEST, "Bad Request",
                             apr_psprintf(r->pool, kUnknownFormat, apr_table_get(args, "format")));
    StatusModel model = collectStatus(ap_server_conf, format != Format::Prometheus);
    model.changes = changesAllowed(r);
    if (!model.changes) model.nonce.clear();
    model.refresh = refreshOf(args ? apr_table_get(args, "refresh") : nullptr);
    if (model.refresh > 0)
        apr_table_setn(r->headers_out, "Refresh", apr_psprintf(r->pool, "%d", model.refresh));
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
