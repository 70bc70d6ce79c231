// What a server asks of the request by name (PROXY_GET_HEADER), and the thirteen
// variables of every request message. The message's variables are computed from the
// request itself, as Apache's CGI helpers would set them, without making the whole CGI
// environment (which walks and copies every header); any other variable-like name makes
// that environment once, on demand, so that every name gets the answer it always had.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it

#include <string_view>

#include <apr_lib.h>
#include <apr_strings.h>
#include <http_core.h>
#include <http_protocol.h>
#include <util_script.h>

namespace {
constexpr const char* kRedacted = "[redacted]";
constexpr size_t kLongestVariable = 64;

// Names of Apache's request variables that no prefix below covers.
constexpr std::string_view kVariables[] = {"HTTPS", "QUERY_STRING", "GATEWAY_INTERFACE",
                                           "DOCUMENT_ROOT", "UNIQUE_ID"};
// Prefixes of the names Apache and its modules set as request variables: the CGI items,
// the TLS facts, the authenticated user and its kind, the server's own facts.
constexpr std::string_view kVariablePrefixes[] = {"SSL_",    "HTTPS_",   "REMOTE_",  "AUTH_",
                                                  "SERVER_", "REQUEST_", "SCRIPT_",  "PATH_",
                                                  "CONTEXT_", "REDIRECT_", "DOCUMENT_"};
// Credentials that a trace line never shows, in the form of variableForm.
constexpr std::string_view kSecrets[] = {"AUTHORIZATION", "PROXY_AUTHORIZATION", "COOKIE",
                                         "SET_COOKIE", "HTTP_AUTHORIZATION",
                                         "HTTP_PROXY_AUTHORIZATION", "HTTP_COOKIE"};

using Form = char[kLongestVariable + 1];

// name upper-cased with dashes as underscores into form; false when it does not fit.
bool variableForm(const char* name, Form& form) {
    size_t n = 0;
    for (; name[n]; ++n) {
        if (n == kLongestVariable) return false;
        form[n] = name[n] == '-' ? '_' : char(apr_toupper(name[n]));
    }
    form[n] = '\0';
    return true;
}

// A name that Apache sets as a request variable is answered from Apache alone: a client's
// header of that name (REMOTE_USER, HTTPS, SSL_CLIENT_S_DN, ...) never stands in for what
// Apache knows of the request, its connection and its authentication.
bool serverVariable(std::string_view form) {
    for (std::string_view v : kVariables)
        if (form == v) return true;
    for (std::string_view prefix : kVariablePrefixes)
        if (form.starts_with(prefix)) return true;
    return false;
}

// A name written as a variable is (no lower-case letter, no dash): Apache's environment
// may have it (CONTENT_TYPE, HTTP_USER_AGENT, ...).
bool writtenAsVariable(const char* name) {
    for (; *name; ++name)
        if (apr_islower(*name) || *name == '-') return false;
    return true;
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

bool secret(const char* name) {
    Form form;
    if (!variableForm(name, form)) return false;
    for (std::string_view s : kSecrets)
        if (s == form) return true;
    return false;
}
}  // namespace

// Apache's variables for their names; otherwise the variables other modules set, then
// (for a name Apache never sets as a variable) the request headers, then Apache's whole
// environment for a name written as a variable, and the variables with dashes turned
// into underscores; REMOTE_HOST falls back to the client's address.
const char* getHeader(quon_request* req, const char* name) {
    request_rec* r = req->request;
    if (!r || !name) return nullptr;
    Form form;
    const bool fits = variableForm(name, form);
    const bool variable = fits && serverVariable(form);
    bool known = false;
    const char* value = variable ? computed(r, form, known) : nullptr;
    if (!known) {
        const bool fromHeaders = !variable && !std::string_view(form).starts_with("HTTP_");
        value = apr_table_get(r->subprocess_env, name);
        if (!value && fromHeaders) value = apr_table_get(r->headers_in, name);
        if (!value && fits && (variable || writtenAsVariable(name)))
            value = apr_table_get(environment(r), name);
        if (!value && strchr(name, '-')) value = apr_table_get(r->subprocess_env, form);
    }
    if (!value && strcasecmp(name, "REMOTE_HOST") == 0) return getHeader(req, "REMOTE_ADDR");
    req->trace(req, "   %s: %s", name, shownValue(name, value));
    return value;
}

const char* shownValue(const char* name, const char* value) {
    if (!value) return "<null>";
    return secret(name) ? kRedacted : value;
}
