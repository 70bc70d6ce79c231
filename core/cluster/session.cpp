// Sticky sessions. A session id begins with the four-character id of the server that
// holds the session; after its first "TR" come the ids of its buddy servers, four
// characters each, in order of preference ("*..." standing for any active server).
#include <atomic>
#include <cstdio>
#include <cstring>

#include "balance.h"
#include "counters.h"

namespace {
constexpr const char* kCookieHeader = "cookie";
constexpr const char* kSessionName = "JSESSIONID";
constexpr size_t kSessionNameLength = 10;
constexpr const char* kBuddyMark = "TR";
constexpr int kIdLength = 4;

// Ids agree in their first four characters; a shorter id agrees only with an id that
// ends at the same place.
bool idsAgree(const char* a, const char* b) { return strncmp(a, b, kIdLength) == 0; }

bool serverActive(const quonProxy* proxy) {
    return proxy->serverInfo && proxy->serverInfo->active.load(std::memory_order_relaxed) == 1;
}

bool holdsId(const quonProxy* proxy, const char* id) {
    const char* replicationId = proxy->serverInfo ? proxy->serverInfo->replicationId : nullptr;
    return replicationId && idsAgree(replicationId, id);
}

// The first active proxy of the list, not tried yet, that the buddy id names, in slot
// order. A server the operator drained or disabled takes no session of another.
quonProxy* activeBuddy(const proxyList* list, const char* buddy, quonProxy* const* tried) {
    for (int32_t slot = 0; slot < list->count; ++slot) {
        quonProxy* proxy = list->proxies[slot];
        if (serverActive(proxy) && !wasTried(tried, proxy) &&
            qnAdminState(proxy) == QN_ADMIN_NORMAL && (buddy[0] == '*' || holdsId(proxy, buddy)))
            return proxy;
    }
    return nullptr;
}

// The list of the entry at mappingIndex, or null. tableLock held.
const proxyList* entryList(const mappingsTable* table, int32_t mappingIndex) {
    const bool known = mappingIndex >= 0 && mappingIndex < table->mappingCapacity;
    return known ? table->mappingProxies[mappingIndex] : nullptr;
}

// The holder of session id is looked for in every slot, active or not.
quonProxy* holderOf(const proxyList* list, const char* id) {
    for (int32_t slot = 0; slot < list->count; ++slot)
        if (holdsId(list->proxies[slot], id)) return list->proxies[slot];
    return nullptr;
}

// The text after "JSESSIONID" and the character that follows the name (normally "=");
// null when the text ends before that character.
const char* sessionStart(const char* text) {
    const char* name = strstr(text, kSessionName);
    if (!name || name[kSessionNameLength] == '\0') return nullptr;
    return name + kSessionNameLength + 1;
}

// From the URI, the id ends at the next ";" or with the URI.
char* sessionFromUri(quon_request* req) {
    const char* start = req->uri ? sessionStart(req->uri) : nullptr;
    if (!start) return nullptr;
    const char* end = strchr(start, ';');
    size_t length = end ? size_t(end - start) : strlen(start);
    auto* id = static_cast<char*>(req->malloc(req, int(length + 1)));
    if (!id) return nullptr;
    memcpy(id, start, length);
    id[length] = '\0';
    return id;
}
}  // namespace

// The cookie header decides alone when there is one: a header without the name hides
// an id in the URI. From a cookie, the id runs to the end of the header, later cookies
// included.
char* getSessionId(quon_request* req) {
    const char* cookie = req->getHeader ? req->getHeader(req, kCookieHeader) : nullptr;
    if (!cookie) return sessionFromUri(req);
    const char* start = sessionStart(cookie);
    char* id = start ? req->strdup(req, start) : nullptr;
    if (req->freeHeader) req->freeHeader(req, cookie);
    return id;
}

void showSessionId(const char* id, char (&shown)[QN_SHOWN_SESSION_SIZE]) {
    size_t at = 0;
    int n = 0;
    for (; id[n] && n < kIdLength; ++n) {
        const auto c = static_cast<unsigned char>(id[n]);
        if (c > 0x20 && c < 0x7f && c != '\\')
            shown[at++] = char(c);
        else
            at += size_t(snprintf(shown + at, sizeof shown - at, "\\x%02x", c));
    }
    snprintf(shown + at, sizeof shown - at, "%s", id[n] ? "..." : "");
}

// Every buddy returned has at least four characters before the end of the id.
const char* getNextBuddy(quon_request* req, const char* previous) {
    const char* id = req->sessionId;
    if (!id) return nullptr;
    if (!previous) {
        const char* mark = strstr(id, kBuddyMark);
        return mark && strnlen(mark, 6) > 5 ? mark + 2 : nullptr;
    }
    return strnlen(previous, 8) > 7 ? previous + kIdLength : nullptr;
}

void noteSessionHolder(mappingsTable* table, quon_request* req, int32_t mappingIndex) {
    const proxyList* list = entryList(table, mappingIndex);
    const bool known = mappingIndex >= 0 && mappingIndex < table->mappingCapacity;
    const mappingInfo* info = known ? table->mappingInfos[mappingIndex] : nullptr;
    req->sessionHolder = list && info && info->sticky == 1 && req->sessionId
                             ? holderOf(list, req->sessionId)
                             : nullptr;
}

quonProxy* resolveServerId(mappingsTable* table, quon_request* req, int32_t mappingIndex,
                           quonProxy* const* tried) {
    const proxyList* list = entryList(table, mappingIndex);
    if (!list || list->count <= 0) return nullptr;
    if (list->count == 1 && qnAdminState(list->proxies[0]) == QN_ADMIN_NORMAL)
        return list->proxies[0];
    const char* id = req->sessionId;
    if (!id) return nullptr;
    req->sessionBroken = 1;
    quonProxy* holder = holderOf(list, id);
    if (!holder) return nullptr;
    // A holder that failed in this request counts as down: its buddies take the session.
    // So does a holder the operator disabled; a drained one still serves its sessions.
    quonProxy* chosen = serverActive(holder) && !wasTried(tried, holder) &&
                                qnAdminState(holder) != QN_ADMIN_DISABLE
                            ? holder
                            : nullptr;
    for (const char* buddy = getNextBuddy(req, nullptr); buddy && !chosen;
         buddy = getNextBuddy(req, buddy))
        chosen = activeBuddy(list, buddy, tried);
    if (chosen) req->sessionBroken = 0;
    return chosen;
}
