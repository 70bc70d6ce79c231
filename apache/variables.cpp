// What a server asks of the request by name (PROXY_GET_HEADER), and the thirteen
// variables of every request message. As in Apache's own CGI environment, a name in
// variable form is Apache's alone and a client's header is reached by its own name or as
// HTTP_<NAME>. The message's variables are computed from the request itself, as Apache's
// CGI helpers would set them, without making the whole CGI environment (which walks and
// copies every header); another variable makes that environment once, on demand.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it

#include <string_view>

#include <ap_mmn.h>
#include <apr_lib.h>
#include <apr_strings.h>
#include <http_core.h>
#include <http_protocol.h>
#include <util_script.h>
#if AP_MODULE_MAGIC_AT_LEAST(20120211, 104)
#include <http_ssl.h>
#endif

namespace {
constexpr const char* kRedacted = "[redacted]";

// Variables that Apache and its modules set, in variable form, that no prefix below
// covers: a name that reads as one of them (Path, HTTPS, Gss-Name) is never answered from
// the client.
constexpr std::string_view kVariables[] = {
    "HTTPS",    "QUERY_STRING", "GATEWAY_INTERFACE", "DOCUMENT_ROOT", "UNIQUE_ID",           "PATH",
    "GSS_NAME", "KRB5CCNAME",   "CERT_SUBJECT",      "LOGON_USER",    "UNMAPPED_REMOTE_USER"};
// Prefixes of the variables of Apache, its TLS and its authentication modules.
constexpr std::string_view kVariablePrefixes[] = {
    "SSL_",     "HTTPS_",  "REMOTE_", "AUTH_",    "AUTHENTICATE_", "SERVER_",
    "REQUEST_", "SCRIPT_", "PATH_",   "CONTEXT_", "REDIRECT_",     "DOCUMENT_",
    "OIDC_",    "MELLON_", "SHIB_",   "CERT_"};
// Credentials that a trace line never shows, in variable form.
constexpr std::string_view kSecrets[] = {
    "AUTHORIZATION",      "PROXY_AUTHORIZATION",      "COOKIE",     "SET_COOKIE",
    "HTTP_AUTHORIZATION", "HTTP_PROXY_AUTHORIZATION", "HTTP_COOKIE"};

// name upper-cased with dashes as underscores, whatever its length, in the request's pool.
std::string_view variableForm(apr_pool_t* pool, const char* name) {
    char* form = apr_pstrdup(pool, name);
    for (char* c = form; *c; ++c) *c = *c == '-' ? '_' : char(apr_toupper(*c));
    return form;
}

// Whether name in variable form is the variable; nothing is copied.
bool namesVariable(const char* name, std::string_view variable) {
    size_t n = 0;
    for (; name[n]; ++n)
        if (n == variable.size() || (name[n] == '-' ? '_' : apr_toupper(name[n])) != variable[n])
            return false;
    return n == variable.size();
}

// A name written as a variable: with an underscore (CONTENT_TYPE, HTTP_USER_AGENT,
// Shib_Session_ID), or one of Apache's single-word variables in any case (HTTPS, PATH).
// Such a name is Apache's alone, as in Apache's own CGI environment. Any other name, in
// capitals or not (HOST, ACCEPT, COOKIE), is a header's: servers ask for headers in any
// case, and Apache's table compares them so.
bool writtenAsVariable(const char* name) {
    if (strchr(name, '_')) return true;
    for (std::string_view v : kVariables)
        if (namesVariable(name, v)) return true;
    return false;
}

// Whether the variable form names one of the variables listed above.
bool apacheName(std::string_view form) {
    for (std::string_view v : kVariables)
        if (form == v) return true;
    for (std::string_view prefix : kVariablePrefixes)
        if (form.starts_with(prefix)) return true;
    return false;
}

// The message's variables as ap_add_cgi_vars and ap_add_common_vars set them; known is
// false for any other name, and for the path items of a request with path info, which the
// environment makes (PATH_TRANSLATED needs a sub-request).
const char* computed(request_rec* r, std::string_view form, bool& known) {
    known = true;
    const bool pathInfo = r->path_info && *r->path_info;
    if (form == "QUERY_STRING") return r->args ? r->args : "";
    if (form == "REQUEST_METHOD") return r->method;
    if (form == "SERVER_PROTOCOL") return r->protocol;
    if (form == "REMOTE_ADDR") return r->useragent_ip;
    if (form == "REMOTE_HOST") return ap_get_useragent_host(r, REMOTE_HOST, nullptr);
    if (form == "REMOTE_USER") return r->user;
    if (form == "AUTH_TYPE") return r->ap_auth_type;
    if (form == "SERVER_NAME") return ap_escape_html(r->pool, ap_get_server_name_for_url(r));
    if (form == "SERVER_PORT") return apr_psprintf(r->pool, "%u", ap_get_server_port(r));
    if (form == "SERVER_PORT_SECURE") return apr_table_get(r->subprocess_env, "SERVER_PORT_SECURE");
    if (form == "SCRIPT_NAME" && !pathInfo) return r->uri;
    if ((form == "PATH_INFO" || form == "PATH_TRANSLATED") && !pathInfo) return nullptr;
    known = false;
    return nullptr;
}

// Apache's whole CGI environment, made once per request.
apr_table_t* environment(request_rec* r) {
    QuonRequestState* state = requestState(r);
    if (!state->environmentMade) {
        ap_add_common_vars(r);
        ap_add_cgi_vars(r);
        state->environmentMade = 1;
    }
    return r->subprocess_env;
}

// A TLS variable as Apache's TLS module gives it; null where it has none (or an empty
// one, as for a plain connection).
const char* tlsVariable(request_rec* r, std::string_view form) {
#if AP_MODULE_MAGIC_AT_LEAST(20120211, 104)
    if (!form.starts_with("SSL_")) return nullptr;
    const char* value = ap_ssl_var_lookup(r->pool, r->server, r->connection, r, form.data());
    return value && *value ? value : nullptr;
#else
    (void)r;
    (void)form;
    return nullptr;
#endif
}

// What Apache knows by a name in variable form: the message's variables computed from
// the request, the request's environment (what Apache's modules set: SetEnvIf, the
// authentication modules), the TLS variables, and, where whole is set, Apache's whole
// CGI environment (CONTENT_TYPE, PATH, HTTP_<NAME> of each header). known is set when
// the name is one of the computed variables, whose answer stands even when null.
const char* apacheVariable(request_rec* r, std::string_view form, bool whole, bool& known) {
    const char* value = computed(r, form, known);
    if (known) return value;
    if ((value = apr_table_get(r->subprocess_env, form.data()))) return value;
    if ((value = tlsVariable(r, form))) return value;
    return whole ? apr_table_get(environment(r), form.data()) : nullptr;
}

// Apache's answer for a name in variable form, never a header.
const char* variableAnswer(request_rec* r, const char* name) {
    bool known = false;
    return apacheVariable(r, variableForm(r->pool, name), true, known);
}

// A header's name: a variable of that very name that a module set (Shib-Session-ID) or
// of its variable form (SERVER-NAME, SSL-Client-S-DN) comes first; then the client's
// header, unless the name reads as one of Apache's variables. The whole CGI environment
// is not made for a header: the table's filter asks for Host before Apache has mapped the
// request to storage.
const char* headerAnswer(request_rec* r, const char* name) {
    if (const char* value = apr_table_get(r->subprocess_env, name)) return value;
    const std::string_view form = variableForm(r->pool, name);
    bool known = false;
    const char* value = apacheVariable(r, form, false, known);
    if (value || known || apacheName(form)) return value;
    return apr_table_get(r->headers_in, name);
}

bool secret(const char* name) {
    for (std::string_view s : kSecrets)
        if (namesVariable(name, s)) return true;
    return false;
}
}  // namespace

// A name in variable form is answered by Apache alone; a header's name by a variable
// of that name or form that Apache has, else the client's header. REMOTE_HOST falls back
// to the client's address.
const char* getHeader(quon_request* req, const char* name) {
    request_rec* r = req->request;
    if (!r || !name) return nullptr;
    const char* value = writtenAsVariable(name) ? variableAnswer(r, name) : headerAnswer(r, name);
    if (!value && strcasecmp(name, "REMOTE_HOST") == 0) return getHeader(req, "REMOTE_ADDR");
    req->trace(req, "   %s: %s", name, shownValue(name, value));
    return value;
}

const char* shownValue(const char* name, const char* value) {
    if (!value) return "<null>";
    return secret(name) ? kRedacted : value;
}
