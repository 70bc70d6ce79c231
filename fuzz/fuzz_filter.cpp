// Request filtering and sticky sessions over a table of fuzzed patterns. The input is
// split at NULs into a settings byte, the mapping patterns (one per line), the URI, the
// file name, the HOST header and the cookie header; a missing part leaves its value
// null (the URI: empty). The entry matched must start as the URI does (the matching
// rules themselves are the unit tests' tables), and so must the server chosen for the
// session (the session id's own rules are fuzz_session's).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>
#include <vector>

#include "balance.h"
#include "filter.h"
#include "fuzz_support.h"
#include "memory.h"
#include "property.h"
#include "proxy.h"
#include "table.h"
#include "table_lists.h"

namespace {
using fuzz::check;
constexpr int kMostPatterns = 64;
constexpr int kServers = 3;
const char* const kReplicationIds[kServers] = {"AAAA", "BBBB", "C"};
const int32_t kWeights[kServers] = {3, 0, -1};

struct Input {
    unsigned settings = 0;
    std::vector<std::string> patterns;
    const char* uri = "";
    const char* filterPath = nullptr;
    const char* host = nullptr;
    const char* cookie = nullptr;
};

Input* current = nullptr;  // what the web-server slots answer from

const char* getHeader(quon_request*, const char* name) {
    if (strcasecmp(name, "Host") == 0) return current->host;
    if (strcmp(name, "cookie") == 0) return current->cookie;
    return nullptr;
}
void freeHeader(quon_request*, const char*) {}

Input split(const uint8_t* data, size_t size, std::string& text) {
    text.assign(reinterpret_cast<const char*>(data), size);
    const std::vector<const char*> parts = fuzz::parts(text, 6);
    Input in;
    in.settings = parts[0] ? static_cast<unsigned char>(parts[0][0]) : 0;
    std::string_view lines = parts[1] ? parts[1] : "";
    while (!lines.empty() && int(in.patterns.size()) < kMostPatterns) {
        size_t end = lines.find('\n');
        std::string line(lines.substr(0, end));
        // A repeated pattern would not make a second entry: the model skips it too.
        bool known = false;
        for (const std::string& p : in.patterns) known |= p == line;
        if (!line.empty() && !known) in.patterns.push_back(line);
        lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
    }
    in.uri = parts[2] ? parts[2] : "";
    in.filterPath = parts[3];
    in.host = parts[4];
    in.cookie = parts[5];
    return in;
}

// Three servers, never due for a probe or a refresh, so the upkeep runs without network.
void addServers(mappingsTable* table, quon_request* req) {
    for (int i = 0; i < kServers; ++i) {
        quonProxy* proxy = quonProxyNew(req);
        snprintf(proxy->name, sizeof proxy->name, "127.0.0.%d:1", i + 2);
        proxy->nextMapCheckTime = QN_TIME_NEVER;
        proxy->serverInfo = permNew<proxyServerInfo>(req);
        proxy->serverInfo->weight = kWeights[i];
        proxy->serverInfo->replicationId = req->permStrdup(req, kReplicationIds[i]);
        check(appendToList(req, &table->servers, proxy, 1, QN_MASTER_LIST) == i);
    }
}

// One table for the process, as a child keeps one per virtual server; the servers stay,
// each input brings its own entries and takes them out again.
mappingsTable* sharedTable(quon_request* req) {
    static mappingsTable* table = nullptr;
    if (table) return table;
    fuzz::startOnce();
    table = mappingsTableNew(req, nullptr, nullptr, 0);
    check(table != nullptr);
    addServers(table, req);
    return table;
}

// Which servers are up comes from the settings byte.
void setServers(mappingsTable* table, unsigned settings) {
    for (int i = 0; i < kServers; ++i) {
        quonProxy* proxy = table->servers.proxies[i];
        int32_t active = int32_t(settings >> (i + 2) & 1);
        proxy->serverInfo->active = active;
        proxy->serverInfo->weightLeft = kWeights[i];
        table->servers.active[i] = active;
    }
}

void clearEntries(mappingsTable* table, quon_request* req) {
    for (int32_t index = table->mappings->count - 1; index >= 0; --index) {
        removePropertyByIndex(req, table->mappings, index);
        if (proxyList* list = table->mappingProxies[index]) {
            releaseListSlots(req, list);
            req->permFree(req, list);
        }
        if (mappingInfo* info = table->mappingInfos[index]) {
            req->permFree(req, info->weightTable);
            req->permFree(req, info);
        }
        table->mappingProxies[index] = nullptr;
        table->mappingInfos[index] = nullptr;
    }
    table->lastMappingIndex = 0;
}

void addEntries(mappingsTable* table, quon_request* req, const Input& in) {
    for (const std::string& pattern : in.patterns) {
        int index = makeEntryRoom(table, req)
                        ? setProperty(req, table->mappings, pattern.c_str(), "v")
                        : -1;
        if (index < 0) continue;
        auto* list = permNew<proxyList>(req);
        auto* info = permNew<mappingInfo>(req);
        const proxyList& servers = table->servers;
        for (int32_t slot = 0; slot < servers.count; ++slot)
            appendToList(req, list, servers.proxies[slot], servers.active[slot], "fuzz");
        info->algorithm = int32_t(in.settings >> 5);  // 0 to 7: the five and unknown codes
        info->sticky = 1;
        info->position = -1;
        info->weightsDirty = 1;
        table->mappingProxies[index] = list;
        table->mappingInfos[index] = info;
        table->lastMappingIndex = index;
    }
}

// The server chosen for the session, at first and on a retry, is one of the entry's.
void checkSession(mappingsTable* table, quon_request* req, int index) {
    req->sessionId = getSessionId(req);
    const proxyList* list = table->mappingProxies[index];
    auto listed = [&](const quonProxy* p) {
        for (int32_t slot = 0; list && slot < list->count; ++slot)
            if (list->proxies[slot] == p) return true;
        return p == nullptr;
    };
    if (list) check(listed(resolveServerId(table, req, index, nullptr)));
    quonProxy* first = selectProxy(table, req, index, nullptr);
    check(listed(first));
    // A retry never gets the server already tried, unless it is the entry's only one.
    quonProxy* const tried[] = {first, nullptr};
    quonProxy* retry = selectProxy(table, req, index, tried);
    check(listed(retry) && (retry != first || !first || list->count == 1));
    req->free(req, req->sessionId);
    req->sessionId = nullptr;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text;
    Input in = split(data, size, text);
    current = &in;
    quon_request req;
    init_allocators(&req);
    fuzz::quiet(&req);
    req.getHeader = getHeader;
    req.freeHeader = freeHeader;
    req.uri = in.uri;
    req.filterPath = in.filterPath;

    mappingsTable* table = sharedTable(&req);
    table->ignoreSuffixes = int32_t(in.settings & 1);
    setServers(table, in.settings);
    addEntries(table, &req, in);
    int32_t apply = int32_t(in.settings >> 1 & 1);
    int32_t index = filterRequest(table, &req, apply);
    check(index >= -1 && index < int(in.patterns.size()));
    if (index >= 0) {
        std::string rule = in.patterns[size_t(index)];
        if (rule.rfind("//", 0) == 0) rule = rule.substr(std::min(rule.find('/', 2), rule.size()));
        check(std::string_view(in.uri).starts_with(rule.substr(0, rule.find('*'))));
    }
    checkSession(table, &req, index < 0 ? 0 : index);
    clearEntries(table, &req);
    current = nullptr;
    return 0;
}
