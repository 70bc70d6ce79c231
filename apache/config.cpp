// The per-server configuration record and the QuonConfig directive. Each key is one row
// of kKeys: the kind of value it takes, its bounds and default, whether it marks the
// server configured, and its effect. A line whose key or value does not fit stops
// Apache's start (and `apache2 -t`) with a message that says what is allowed.
#include "quon_apache.h"  // httpd.h first: the other httpd headers need it

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include <apr_file_info.h>
#include <apr_strings.h>
#include <apr_uri.h>
#include <http_core.h>

#include "address.h"
#include "app_check.h"
#include "flags.h"
#include "health_types.h"
#include "network.h"
#include "socket.h"

namespace {
constexpr const char* kApiAllocOn = "apialloc is true so using request's memory pool";
constexpr const char* kCheckInVirtualHost =
    "QuonConfig %s ignored in a virtual host: the health checks are the whole server's, set "
    "it in the main server";
constexpr const char* kBadCount =
    "a whole number from %" APR_INT64_T_FMT " to %" APR_INT64_T_FMT " expected";
constexpr const char* kMetricsInVirtualHost =
    "\"QuonConfig Metrics\" ignored for virtual server since it must be set at the global "
    "level.";
// A refused line: the key and the value as written, then what is allowed.
constexpr const char* kRefused = "QuonConfig %s \"%s\": %s";
constexpr const char* kUnknownKey = "unknown key; the keys (in any case) are %s";
constexpr const char* kMisplaced = "allowed only in the main server and in <VirtualHost> (%s)";
constexpr const char* kBadFlag = "true or false expected (or on or off, in any case)";
constexpr const char* kBadMask =
    "a hexadecimal mask of at most 8 digits expected, such as 3 or 0x3";
constexpr const char* kBadSeconds =
    "whole seconds from %" APR_INT64_T_FMT " to %" APR_INT64_T_FMT " expected";
constexpr const char* kBadTimeout =
    "a time from %s to %s expected: seconds, or a number with the unit ms, s, mi or h "
    "(such as 500ms or 2mi)";
constexpr const char* kOrOff = "; or 0 or off for no bound";
constexpr const char* kBadBytes = "a size from %" APR_INT64_T_FMT " to %" APR_INT64_T_FMT
                                  " bytes expected, in bytes or with K (1024) or M (1048576)";
constexpr const char* kBadServer =
    "<host>:<port 1-65535> expected, the host a name of at most 253 characters, an IPv4 "
    "address or an IPv6 address in brackets, such as app1.example:7001, 127.0.0.1:7001 or "
    "[::1]:7001";
constexpr const char* kUnresolvedHost = "the host %s does not resolve: %s";
constexpr const char* kStartsAnyway =
    "QuonConfig %s \"%s\": %s; Apache starts all the same, and the connector looks the name "
    "up again whenever it tries the server";
constexpr const char* kBadUrl =
    "an absolute path (/...) or an absolute http:// or https:// URL expected, without "
    "blanks or control characters";
constexpr const char* kBadNetworks =
    "networks expected, at most %d, separated by commas or blanks: IPv4 or IPv6 addresses, "
    "each with an optional prefix length (such as 10.1.0.0/16, 192.0.2.7 or fd00::/8)";
constexpr const char* kBadPath = "not a valid path";
constexpr const char* kBadCheckPath =
    "an absolute path (/...) of at most %d characters expected, with an optional query, "
    "without blanks or control characters";
constexpr const char* kBadPattern =
    "a URL pattern as the servers send them expected: a path from / (such as /app/* or "
    "/app/login), or *.suffix (such as *.jsp), without blanks or control characters";
constexpr const char* kNoFolder = "the folder %s does not exist";
constexpr const char* kIsFolder = "%s is a folder; a file in a folder that exists expected";
constexpr const char* kRepeated =
    "QuonConfig %s on %s repeats the one on %s in the same server: the last one counts";
constexpr const char* kWhere = "line %d of %s";

// The connector keeps time-outs in int32 milliseconds; a day is far more than any wait
// for a back-end server needs.
constexpr int64_t kLeastTimeoutMs = 1;
constexpr int64_t kMostTimeoutMs = 86'400'000;
constexpr int64_t kMostRetrySeconds = 86'400;
// Below 1 KiB a status line with a few headers, or a server's properties, would no
// longer fit and every answer would be refused; above 1 GiB one answer could take most
// of a child's memory, and the length arithmetic must stay inside int.
constexpr int64_t kLeastBytes = 1024;
constexpr int64_t kMostBytes = int64_t(1) << 30;

// Bound: a time-out that may also be off.
enum class Kind {
    Flag, Mask, Seconds, Count, Timeout, Bound, Bytes, Server, Url, Path, File, Networks, Pattern
};

// A line's value once read: a number in the unit stored (flags 0 or 1, milliseconds,
// seconds, bytes), or a text from the configuration pool.
struct Value {
    int64_t number;  // for networks, their count
    const char* text;
    const qnNetwork* networks;
    const char* warning;  // said at a start that goes on, such as a name that did not resolve
};

struct KeyContext {
    quon_request* req;
    QuonServerConfig* conf;
    server_rec* server;
    Value value;
};

// One QuonConfig key. A number goes to `field` (which starts at `byDefault`), then
// `effect` runs; texts and process-wide flags have no field and their effect stores them
// (texts default to unset). Bounds apply to seconds, time-outs and sizes, in the unit
// stored; flags default to false.
struct ConfigKey {
    const char* name;
    Kind kind;
    int64_t least, most;
    int64_t byDefault;
    bool marksConfigured;
    int QuonServerConfig::*field;
    void (*effect)(const KeyContext&);
};

using Conf = QuonServerConfig;

// A setting of the whole server written in a virtual host is said and left alone.
void mainServerOnly(const KeyContext& k, const char* name) {
    if (k.server->is_virtual) k.req->logAt(k.req, QN_LOG_WARN, kCheckInVirtualHost, name);
}

constexpr ConfigKey kKeys[] = {
    {"Verbose", Kind::Flag, 0, 0, 0, false, &Conf::verbose,
     [](const KeyContext& k) {
         if (k.value.number) k.conf->traceFlags = -1;
     }},
    {"traceflags", Kind::Mask, 0, 0, 0, false, &Conf::traceFlags, nullptr},
    {"serverstore", Kind::File, 0, 0, 0, true, nullptr,
     [](const KeyContext& k) { k.conf->serverStore = k.value.text; }},
    {"bootstrap", Kind::Server, 0, 0, 0, true, nullptr,
     [](const KeyContext& k) { k.conf->bootstrap = k.value.text; }},
    {"errorurl", Kind::Url, 0, 0, 0, true, nullptr,
     [](const KeyContext& k) { k.conf->errorUrl = k.value.text; }},
    {"apialloc", Kind::Flag, 0, 0, 0, true, &Conf::apiAlloc,
     [](const KeyContext& k) {
         if (k.value.number) k.req->trace(k.req, "%s", kApiAllocOn);
     }},
    {"ignoresuffixmap", Kind::Flag, 0, 0, 0, true, &Conf::ignoreSuffixMap, nullptr},
    // 0: the server's own property, else the connector's default.
    {"proxyretryinterval", Kind::Seconds, 0, kMostRetrySeconds, 0, true, &Conf::proxyRetryInterval,
     nullptr},
    {"connecttimeout", Kind::Timeout, kLeastTimeoutMs, kMostTimeoutMs, QN_DEFAULT_CONNECT_TIMEOUT,
     true, &Conf::connectTimeout, nullptr},
    {"recvtimeout", Kind::Timeout, kLeastTimeoutMs, kMostTimeoutMs, QN_DEFAULT_RECV_TIMEOUT, true,
     &Conf::recvTimeout, nullptr},
    {"sendtimeout", Kind::Timeout, kLeastTimeoutMs, kMostTimeoutMs, QN_DEFAULT_SEND_TIMEOUT, true,
     &Conf::sendTimeout, nullptr},
    // Off (0) by default: a receive waits on for as long as the server answers pings.
    {"responsetimeout", Kind::Bound, kLeastTimeoutMs, kMostTimeoutMs, 0, true,
     &Conf::responseTimeout, nullptr},
    {"maxheadersize", Kind::Bytes, kLeastBytes, kMostBytes, QN_DEFAULT_MAX_HEADER_SIZE, true,
     &Conf::maxHeaderSize, nullptr},
    {"maxpropssize", Kind::Bytes, kLeastBytes, kMostBytes, QN_DEFAULT_MAX_PROPS_SIZE, true,
     &Conf::maxPropsSize, nullptr},
    // The networks members must be in; by default any, but the kinds of address no server
    // is at. The bootstrap server and the store are the operator's and stay as written.
    {"membernetworks", Kind::Networks, 0, 0, 0, false, nullptr,
     [](const KeyContext& k) {
         k.conf->memberNetworks = k.value.networks;
         k.conf->memberNetworkCount = int(k.value.number);
     }},
    // Off by default: a claimed request skips Apache's directory walk (<Directory>,
    // .htaccess), as Apache's own proxy does; on, it goes through it as before.
    {"directorywalk", Kind::Flag, 0, 0, 0, false, &Conf::directoryWalk, nullptr},
    // Process-wide flags: metrics only from the main server; any server's debugger turns
    // the debugger flag on, so that a later "false" elsewhere cannot undo it.
    {"metrics", Kind::Flag, 0, 0, 0, false, nullptr,
     [](const KeyContext& k) {
         if (k.server->is_virtual)
             k.req->logAt(k.req, QN_LOG_WARN, "%s", kMetricsInVirtualHost);
         else
             qnMetrics = int(k.value.number);
     }},
    {"debugger", Kind::Flag, 0, 0, 0, true, nullptr,
     [](const KeyContext& k) {
         if (k.value.number) qnDebugger = 1;
     }},
    // Unset (-1) by default: the status page's changes are off only where an .htaccess
    // file was read for it.
    {"statuschanges", Kind::Flag, 0, 0, -1, false, &Conf::statusChanges, nullptr},
    // The health checks of the whole server (the main server's lines): how often each
    // back-end server is checked, how long a check may take, how many misses in a row take
    // a server out and how many answers bring it back.
    {"checkinterval", Kind::Timeout, 100, 60'000, QN_CHECK_INTERVAL_MS, false, &Conf::checkInterval,
     [](const KeyContext& k) { mainServerOnly(k, "checkinterval"); }},
    {"checktimeout", Kind::Timeout, 100, 60'000, QN_CHECK_TIMEOUT_MS, false, &Conf::checkTimeout,
     [](const KeyContext& k) { mainServerOnly(k, "checktimeout"); }},
    {"checkfall", Kind::Count, 1, 10, QN_CHECK_FALL, false, &Conf::checkFall,
     [](const KeyContext& k) { mainServerOnly(k, "checkfall"); }},
    {"checkrise", Kind::Count, 1, 10, QN_CHECK_RISE, false, &Conf::checkRise,
     [](const KeyContext& k) { mainServerOnly(k, "checkrise"); }},
    // Repeatable: URL patterns claimed while no server has answered yet, besides those the
    // server store remembers, so that a first start during an outage answers them with the
    // error page rather than Apache's 404. Once a server answers, its mappings rule.
    {"claim", Kind::Pattern, 0, 0, 0, false, nullptr,
     [](const KeyContext& k) {
         apr_array_header_t*& claims = k.conf->claims;
         if (!claims) claims = apr_array_make(k.server->process->pconf, 4, sizeof(const char*));
         APR_ARRAY_PUSH(claims, const char*) = k.value.text;
     }},
    // Off by default: the checks ask for the server's properties, which a stalled
    // application still answers; a path makes each check a GET of it as well.
    {"healthcheckuri", Kind::Path, 0, 0, 0, false, nullptr,
     [](const KeyContext& k) { k.conf->healthCheckUri = k.value.text; }},
    // Off (0) by default; at most an hour.
    {"slowstart", Kind::Seconds, 0, 3600, 0, false, &Conf::slowStart, nullptr},
};
constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];
static_assert(kKeyCount <= sizeof QuonServerConfig::keyLines / sizeof(const char*),
              "every key has its line in QuonServerConfig::keyLines");

bool isDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// A whole decimal number of digits only (no sign, no blank), beyond int64 refused.
bool readDecimal(std::string_view text, int64_t& number) {
    if (!isDigits(text)) return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc() && end == text.data() + text.size();
}

const char* readFlag(const char* text, Value& out) {
    for (const char* on : {"true", "on"})
        if (strcasecmp(text, on) == 0) return out.number = 1, nullptr;
    for (const char* off : {"false", "off"})
        if (strcasecmp(text, off) == 0) return out.number = 0, nullptr;
    return kBadFlag;
}

// 1 to 8 hexadecimal digits after an optional 0x: every bit of the int32 mask can be set
// (ffffffff is -1, as Verbose sets it), and nothing else is read. Not std::from_chars:
// in base 16 it brings a libstdc++ table that the module would export.
const char* readMask(const char* text, Value& out) {
    std::string_view digits(text);
    if (digits.starts_with("0x") || digits.starts_with("0X")) digits.remove_prefix(2);
    if (digits.empty() || digits.size() > 8 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
        return kBadMask;
    out.number = int32_t(uint32_t(strtoul(digits.data(), nullptr, 16)));
    return nullptr;
}

const char* millisText(apr_pool_t* pool, int64_t ms) {
    return ms % 1000 ? apr_psprintf(pool, "%" APR_INT64_T_FMT "ms", ms)
                     : apr_psprintf(pool, "%" APR_INT64_T_FMT "s", ms / 1000);
}

// Apache's reading of a time-out, seconds by default. It looks only at the first letters
// of the unit and multiplies without an overflow check, so the text is first held to at
// most 9 digits and one whole unit: 999999999h still fits in int64 microseconds.
const char* readTimeout(apr_pool_t* pool, const ConfigKey& key, const char* text, Value& out) {
    std::string_view whole(text);
    std::string_view unit =
        whole.substr(std::min(whole.find_first_not_of("0123456789"), whole.size()));
    std::string_view digits = whole.substr(0, whole.size() - unit.size());
    apr_interval_time_t micros = 0;
    bool known =
        unit.empty() || unit == "ms" || unit == "s" || unit == "mi" || unit == "min" || unit == "h";
    if (!isDigits(digits) || digits.size() > 9 || !known ||
        ap_timeout_parameter_parse(text, &micros, "s") != APR_SUCCESS ||
        micros / 1000 < key.least || micros / 1000 > key.most)
        return apr_psprintf(pool, kBadTimeout, millisText(pool, key.least),
                            millisText(pool, key.most));
    out.number = micros / 1000;
    return nullptr;
}

// A time-out, or 0 or off (any case) for none.
const char* readBound(apr_pool_t* pool, const ConfigKey& key, const char* text, Value& out) {
    if (strcmp(text, "0") == 0 || strcasecmp(text, "off") == 0) return out.number = 0, nullptr;
    const char* allowed = readTimeout(pool, key, text, out);
    return allowed ? apr_pstrcat(pool, allowed, kOrOff, nullptr) : nullptr;
}

const char* readCount(apr_pool_t* pool, const ConfigKey& key, const char* text, Value& out) {
    if (!readDecimal(text, out.number) || out.number < key.least || out.number > key.most)
        return apr_psprintf(pool, kBadCount, key.least, key.most);
    return nullptr;
}

const char* readSeconds(apr_pool_t* pool, const ConfigKey& key, const char* text, Value& out) {
    if (!readDecimal(text, out.number) || out.number < key.least || out.number > key.most)
        return apr_psprintf(pool, kBadSeconds, key.least, key.most);
    return nullptr;
}

// Bytes, or kibibytes and mebibytes with K or M (either case).
const char* readBytes(apr_pool_t* pool, const ConfigKey& key, const char* text, Value& out) {
    std::string_view digits(text);
    int64_t unit = 1;
    if (!digits.empty() && strchr("kKmM", digits.back())) {
        unit = tolower(digits.back()) == 'k' ? 1024 : 1024 * 1024;
        digits.remove_suffix(1);
    }
    int64_t count = 0;
    if (!readDecimal(digits, count) || count > key.most / unit || count * unit < key.least)
        return apr_psprintf(pool, kBadBytes, key.least, key.most);
    out.number = count * unit;
    return nullptr;
}

// Where a back-end server is reached, read as the connector reads it: a name, an IPv4
// address or an IPv6 address in brackets, and a port. A name that does not resolve is
// refused by `apache2 -t`, which an operator runs to find such mistakes (and which
// apache2ctl runs before a graceful restart, leaving the running server as it is); a real
// start only warns and goes on: a resolver that is down for a moment must not keep every
// site of the server from starting, and the connector resolves the name again whenever
// it tries the server.
const char* checkServerAddress(apr_pool_t* pool, const char* text, Value& out) {
    ServerAddress parsed;
    if (parseServerAddress(text, parsed) != AddressText::ok) return kBadServer;
    if (parsed.family != AF_UNSPEC) return nullptr;
    const char* host = apr_pstrmemdup(pool, parsed.host.data(), parsed.host.size());
    qnAddress addresses[QN_MAX_ADDRESSES];
    const char* reason = nullptr;
    if (resolveHost(host, parsed.port, addresses, QN_MAX_ADDRESSES, &reason) > 0) return nullptr;
    const char* why = apr_psprintf(pool, kUnresolvedHost, host, reason);
    if (ap_state_query(AP_SQ_RUN_MODE) == AP_SQ_RM_CONFIG_TEST) return why;
    out.warning = why;
    return nullptr;
}

// The 503 redirect's target, sent as a Location header.
const char* checkErrorUrl(apr_pool_t* pool, const char* text) {
    for (const char* c = text; *c; ++c)
        if (static_cast<unsigned char>(*c) <= ' ' || *c == 0x7f) return kBadUrl;
    if (*text == '/') return nullptr;
    apr_uri_t uri{};
    if (apr_uri_parse(pool, text, &uri) != APR_SUCCESS || !uri.scheme || !uri.hostname ||
        !*uri.hostname ||
        (strcasecmp(uri.scheme, "http") != 0 && strcasecmp(uri.scheme, "https") != 0))
        return kBadUrl;
    return nullptr;
}

// The path of the application's health check: it goes into the check's request as it is.
const char* checkCheckPath(apr_pool_t* pool, const char* text) {
    const size_t length = strlen(text);
    bool plain = *text == '/' && length <= size_t(QN_APP_CHECK_MAX_URI);
    for (const char* c = text; plain && *c; ++c)
        plain = static_cast<unsigned char>(*c) > ' ' && *c != 0x7f;
    return plain ? nullptr : apr_psprintf(pool, kBadCheckPath, QN_APP_CHECK_MAX_URI);
}

// The server store, relative to ServerRoot unless absolute: a file whose folder exists
// (the child writes the file; whether it may is known only then).
const char* readStoreFile(cmd_parms* cmd, const char* text, Value& out) {
    const char* path = ap_server_root_relative(cmd->pool, text);
    if (!path) return kBadPath;
    apr_finfo_t info;
    if (apr_stat(&info, path, APR_FINFO_TYPE, cmd->temp_pool) == APR_SUCCESS &&
        info.filetype == APR_DIR)
        return apr_psprintf(cmd->pool, kIsFolder, path);
    const char* slash = strrchr(path, '/');
    const char* folder = !slash          ? "."
                         : slash == path ? "/"
                                         : apr_pstrmemdup(cmd->temp_pool, path, slash - path);
    if (apr_stat(&info, folder, APR_FINFO_TYPE, cmd->temp_pool) != APR_SUCCESS ||
        info.filetype != APR_DIR)
        return apr_psprintf(cmd->pool, kNoFolder, folder);
    out.text = path;
    return nullptr;
}

// A pattern to claim: "/..." or "*.suffix", printable and without blanks.
const char* checkPattern(const char* text) {
    bool fits = *text == '/' || (text[0] == '*' && text[1] == '.' && text[2]);
    for (const char* c = text; fits && *c; ++c)
        fits = static_cast<unsigned char>(*c) > ' ' && *c != 0x7f;
    return fits ? nullptr : kBadPattern;
}

// Networks for the member check, in the configuration pool.
const char* readNetworks(apr_pool_t* pool, const char* text, Value& out) {
    auto* networks =
        static_cast<qnNetwork*>(apr_pcalloc(pool, sizeof(qnNetwork) * QN_MAX_NETWORKS));
    const int count = parseNetworks(text, networks, QN_MAX_NETWORKS);
    if (count < 0) return apr_psprintf(pool, kBadNetworks, QN_MAX_NETWORKS);
    out.networks = networks;
    out.number = count;
    return nullptr;
}

// Reads text as the key's kind into out; null, or what the key allows.
const char* readValue(cmd_parms* cmd, const ConfigKey& key, const char* text, Value& out) {
    out.text = text;
    switch (key.kind) {
        case Kind::Flag:
            return readFlag(text, out);
        case Kind::Mask:
            return readMask(text, out);
        case Kind::Seconds:
            return readSeconds(cmd->pool, key, text, out);
        case Kind::Count:
            return readCount(cmd->pool, key, text, out);
        case Kind::Timeout:
            return readTimeout(cmd->pool, key, text, out);
        case Kind::Bound:
            return readBound(cmd->pool, key, text, out);
        case Kind::Bytes:
            return readBytes(cmd->pool, key, text, out);
        case Kind::Server:
            return checkServerAddress(cmd->pool, text, out);
        case Kind::Url:
            return checkErrorUrl(cmd->temp_pool, text);
        case Kind::Path:
            return checkCheckPath(cmd->pool, text);
        case Kind::File:
            return readStoreFile(cmd, text, out);
        case Kind::Networks:
            return readNetworks(cmd->pool, text, out);
        case Kind::Pattern:
            return checkPattern(text);
    }
    return kBadPath;
}

// Apache's text for a line outside the main server and <VirtualHost>. One section at a
// time, so that the text names it (all at once Apache says only "directory context").
const char* misplacedIn(cmd_parms* cmd) {
    for (unsigned section : {NOT_IN_HTACCESS, NOT_IN_LIMIT, NOT_IN_DIRECTORY, NOT_IN_LOCATION,
                             NOT_IN_FILES, NOT_IN_PROXY})
        if (const char* text = ap_check_cmd_context(cmd, section)) return text;
    return ap_check_cmd_context(cmd, NOT_IN_DIR_CONTEXT | NOT_IN_HTACCESS);
}

const ConfigKey* findKey(const char* name) {
    for (const ConfigKey& key : kKeys)
        if (strcasecmp(name, key.name) == 0) return &key;
    return nullptr;
}

const char* keyNames(apr_pool_t* pool) {
    const char* names = kKeys[0].name;
    for (size_t i = 1; i < kKeyCount; ++i)
        names = apr_pstrcat(pool, names, ", ", kKeys[i].name, nullptr);
    return names;
}
// Remembers where the key was set in this server's record, and warns when it was set there
// before: the earlier line is taken silently otherwise.
void noteKeyLine(cmd_parms* cmd, quon_request* req, QuonServerConfig* conf, const ConfigKey& entry,
                 const char* key) {
    if (entry.kind == Kind::Pattern) return;  // a list: each line adds one
    const ap_directive_t* line = cmd->directive;
    const char* here = line ? apr_psprintf(cmd->pool, kWhere, line->line_num,
                                           line->filename ? line->filename : "?")
                            : "?";
    const char*& before = conf->keyLines[&entry - kKeys];
    if (before) req->logAt(req, QN_LOG_WARN, kRepeated, key, here, before);
    before = here;
}
}  // namespace

QuonServerConfig* quonConfigOf(server_rec* server) {
    return static_cast<QuonServerConfig*>(
        ap_get_module_config(server->module_config, &quon_module));
}

void* make_quon_conf(apr_pool_t* pool, server_rec*) {
    auto* conf = new (apr_pcalloc(pool, sizeof(QuonServerConfig))) QuonServerConfig{};
    for (const ConfigKey& key : kKeys)
        if (key.field) conf->*key.field = int(key.byDefault);
    return conf;
}

// Applies one line to the record of the server being configured, or refuses it: Apache
// then reports the text returned, with the file and line, and does not start.
const char* quon_config(cmd_parms* cmd, void*, const char* key, const char* value) {
    const auto refuse = [&](const char* allowed) {
        return apr_psprintf(cmd->pool, kRefused, key, value, allowed);
    };
    if (const char* misplaced = misplacedIn(cmd))
        return refuse(apr_psprintf(cmd->pool, kMisplaced, misplaced));
    const ConfigKey* entry = findKey(key);
    if (!entry) return refuse(apr_psprintf(cmd->pool, kUnknownKey, keyNames(cmd->pool)));
    Value parsed{};
    if (const char* allowed = readValue(cmd, *entry, value, parsed)) return refuse(allowed);

    quon_request req;
    QuonServerConfig* conf = init_apache_request(&req, nullptr, cmd->server);
    if (entry->field) conf->*entry->field = int(parsed.number);
    if (entry->effect) entry->effect({&req, conf, cmd->server, parsed});
    if (entry->marksConfigured) conf->configured = 1;
    if (parsed.warning) req.logAt(&req, QN_LOG_WARN, kStartsAnyway, key, value, parsed.warning);
    noteKeyLine(cmd, &req, conf, *entry, key);
    return nullptr;
}

// Accepted by Apache in every context, even .htaccess (any AllowOverride), so that
// quon_config itself refuses a misplaced line with a message naming the key and value;
// Apache's own refusal would name neither.
const command_rec quon_commands[] = {
    AP_INIT_TAKE2("QuonConfig",  // cmd_func is untyped in C++; the cast through void(*)() says so.
                  reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(quon_config)), nullptr,
                  RSRC_CONF | ACCESS_CONF | OR_ALL, "a variable to set followed by its value"),
    {nullptr, {nullptr}, nullptr, 0, RAW_ARGS, nullptr},
};
