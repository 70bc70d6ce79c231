#include "filter.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <strings.h>

#include "lock_wait.h"
#include "mapping_order.h"
#include "pool.h"
#include "proxy.h"
#include "proxy_types.h"
#include "sync.h"
#include "table.h"
#include "upkeep.h"

namespace {
// "%.*s" caps the path without its parameters at 200 bytes, as "%.200s" does the URI:
// the path is a view into the target, not a string of its own.
constexpr const char* kFiltering = "filtering %.200s (%.*s) HOST=%s";
constexpr const char* kIgnoredSuffix = "filtering ignored suffix: %s";
constexpr const char* kIgnoredAfterParms = "filterRequest: ignoring extension match after \";\"";
constexpr const char* kMatched = "filterRequest:   matched %s";
constexpr const char* kNoMatch = "filterRequest:   no match";
constexpr int kTracedPathBytes = 200;
constexpr const char* kFallToServer =
    "%s: no server has answered yet and the server store knows no URL patterns of it: its "
    "mapped URIs fall to the web server's own handling (404) until a server answers; "
    "\"QuonConfig claim /path/*\" names URIs to claim meanwhile";

// What matching reads of the request. Both texts are views into the request's own
// strings: matching copies nothing.
struct RequestView {
    std::string_view uri;
    std::string_view path;  // the target (file name, else URI) before its first ";"
    const char* host;       // the HOST header, or null
    bool cut;               // the target carried path parameters
    bool ignoreSuffixes;    // extension entries are skipped in this call
};

// One mapping pattern taken apart: "//host" qualifier, literal prefix before the first
// "*", and the text after it (the suffix, or the contained text of "a*t*").
struct Pattern {
    bool qualified = false;
    std::string_view host;
    const char* path = nullptr;  // the pattern without its qualifier
    std::string_view prefix;
    std::string_view suffix;
    bool contains = false;
};

Pattern parsePattern(const char* key) {
    Pattern p;
    p.path = key;
    if (key[0] == '/' && key[1] == '/') {
        const char* slash = strchr(key + 2, '/');
        const char* end = slash ? slash : key + strlen(key);
        p.qualified = true;
        p.host = std::string_view(key + 2, size_t(end - (key + 2)));
        p.path = end;
    }
    std::string_view path(p.path);
    size_t star = path.find('*');
    if (star == std::string_view::npos) {
        p.prefix = path;
        return p;
    }
    p.prefix = path.substr(0, star);
    p.suffix = path.substr(star + 1);
    if (!p.suffix.empty() && p.suffix.back() == '*') {
        p.suffix.remove_suffix(1);
        p.contains = true;
    }
    return p;
}

// The header must equal the qualifier in any letter case and end with it, so a header
// with a port matches only a qualifier with the same port.
bool hostPasses(const Pattern& p, const char* host) {
    if (!p.qualified) return true;
    if (!host) return false;
    size_t n = p.host.size();
    return strncasecmp(host, p.host.data(), n) == 0 && host[n] == '\0';
}

// The suffix at the end of the URI, else at the end of the path; an empty one passes.
bool suffixPasses(const Pattern& p, const RequestView& r) {
    return p.suffix.empty() || r.uri.ends_with(p.suffix) || r.path.ends_with(p.suffix);
}

// The contained text at or after the prefix's length; find() never looks past the end
// of a text shorter than that.
bool containsPasses(const Pattern& p, const RequestView& r) {
    size_t from = p.prefix.size();
    return r.uri.find(p.suffix, from) != std::string_view::npos ||
           r.path.find(p.suffix, from) != std::string_view::npos;
}

// The prefix must end where the URI ends or at one of "/", "&", "#".
bool boundaryPasses(const Pattern& p, const RequestView& r) {
    size_t n = p.prefix.size();
    if (r.uri.size() <= n) return true;
    char next = r.uri[n];
    return next == '/' || next == '&' || next == '#';
}

// An extension found only in the path parameters (after the URI's last ";") does not
// count when the target had parameters cut: /a/page;id=x.jsp is no JSP request.
bool extensionInParameters(const Pattern& p, const RequestView& r) {
    if (!r.cut || p.suffix.empty()) return false;
    size_t lastSemicolon = r.uri.rfind(';');
    if (lastSemicolon == std::string_view::npos) return false;
    size_t first = r.uri.find(p.suffix);
    return first != std::string_view::npos && first > lastSemicolon;
}

// Entries of the contains kind must pass the host and prefix tests as every other kind
// does: a qualifier or prefix that the request fails never leaves the entry matching.
bool entryMatches(quon_request* req, const char* key, const RequestView& r) {
    // Most entries differ from the URI within their first characters: a literal prefix
    // that the URI does not share ends the test before the pattern is taken apart. The
    // URI is NUL-terminated, so the walk stops at its end.
    if (key[0] != '/' || key[1] != '/') {
        const char* uri = r.uri.data();
        size_t i = 0;
        while (key[i] != '\0' && key[i] != '*' && key[i] == uri[i]) ++i;
        if (key[i] != '\0' && key[i] != '*') return false;
    }
    Pattern p = parsePattern(key);
    if (r.ignoreSuffixes && p.path[0] == '*' && p.path[1] == '.') {
        req->trace(req, kIgnoredSuffix, p.path);
        return false;
    }
    if (!hostPasses(p, r.host) || !r.uri.starts_with(p.prefix)) return false;
    if (!(p.contains ? containsPasses(p, r) : suffixPasses(p, r))) return false;
    if (!boundaryPasses(p, r)) return false;
    if (extensionInParameters(p, r)) {
        req->trace(req, kIgnoredAfterParms);
        return false;
    }
    return true;
}

RequestView viewOf(quon_request* req, const char* host, bool ignoreSuffixes) {
    RequestView r;
    r.uri = req->uri ? req->uri : "";
    const char* target = req->filterPath ? req->filterPath : r.uri.data();
    const char* semicolon = strchr(target, ';');
    r.cut = semicolon != nullptr;
    r.path = semicolon ? std::string_view(target, size_t(semicolon - target)) : target;
    r.host = host;
    r.ignoreSuffixes = ignoreSuffixes;
    return r;
}

int32_t firstMatch(const propertyTable* mappings, quon_request* req, const RequestView& r) {
    int32_t count = mappings ? mappings->count : 0;
    for (int32_t index = 0; index < count; ++index) {
        const char* key = mappings->entries[index].key;
        if (entryMatches(req, key, r)) {
            req->trace(req, kMatched, key);
            return index;
        }
    }
    return -1;
}
}  // namespace

// The first entry of mappings that the request matches, or -1; traced when trace is set.
int32_t matchIn(const propertyTable* mappings, quon_request* req, bool ignoreSuffixes, bool trace) {
    const char* host = req->getHeader ? req->getHeader(req, "HOST") : nullptr;
    RequestView r = viewOf(req, host, ignoreSuffixes);
    if (trace) {
        int tracedPath = int(std::min(r.path.size(), size_t(kTracedPathBytes)));
        req->trace(req, kFiltering, r.uri.data(), tracedPath, r.path.data(), host ? host : "null");
    }
    int32_t index = firstMatch(mappings, req, r);
    if (req->freeHeader) req->freeHeader(req, host);
    return index;
}

int32_t matchRequest(mappingsTable* table, quon_request* req, int32_t applyIgnoreSuffixes) {
    bool ignore = applyIgnoreSuffixes != 0 && table->ignoreSuffixes != 0;
    int32_t index = matchIn(table->mappings, req, ignore, true);
    req->mappingGeneration = table->generation;
    if (index < 0) req->trace(req, kNoMatch);
    return index;
}

int32_t filterRequest(mappingsTable* table, quon_request* req, int32_t applyIgnoreSuffixes) {
    TimedSyncGuard hold(req, table->tableLock);
    table->lastActivity = QN_ACTIVITY_REQUEST;
    return matchRequest(table, req, applyIgnoreSuffixes);
}

int32_t claimWhileCold(mappingsTable* table, quon_request* req) {
    if (table->initialized.load(std::memory_order_acquire)) return 0;
    wantInitialisation(table);
    TimedSyncGuard hold(req, table->tableLock);
    if (!table->knownPatterns) {
        if (!table->coldTold) {
            table->coldTold = 1;
            req->logAt(req, QN_LOG_WARN, kFallToServer, table->label ? table->label : "-");
        }
        return 0;
    }
    return matchIn(table->knownPatterns, req, table->ignoreSuffixes != 0, false) >= 0 ? 1 : 0;
}

qnMappingCounters* coldCountersOf(mappingsTable* table, quon_request* req) {
    TimedSyncGuard hold(req, table->tableLock);
    if (!table->knownPatterns || !table->knownCounters) return nullptr;
    const int32_t index = matchIn(table->knownPatterns, req, table->ignoreSuffixes != 0, false);
    return index >= 0 ? table->knownCounters[index] : nullptr;
}

char* removePathParms(quon_request* req, const char* path) {
    const char* semicolon = path ? strchr(path, ';') : nullptr;
    if (!semicolon) return nullptr;
    size_t length = size_t(semicolon - path);
    auto* copy = static_cast<char*>(req->malloc(req, int(length + 1)));
    if (!copy) return nullptr;
    memcpy(copy, path, length);
    copy[length] = '\0';
    return copy;
}
