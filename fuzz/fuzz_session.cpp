// Session ids from a fuzzed cookie header and URI. The input is split at NULs into a
// settings byte, the cookie header, the URI path, a session id and a tail (more path
// parameters or a query); bit 0 of the settings gives the request a cookie header, bit 1
// puts ";JSESSIONID=" with the id and the tail after the path. The id found, its buddies
// and the path without parameters are checked against the rules restated on strings.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "balance.h"
#include "filter.h"
#include "fuzz_support.h"
#include "request.h"

namespace {
using fuzz::check;
const char* cookieHeader = nullptr;  // what the getHeader slot answers for "cookie"
int handedBack = 0;                  // freeHeader calls

const char* getHeader(quon_request*, const char* name) {
    return strcmp(name, "cookie") == 0 ? cookieHeader : nullptr;
}

// The id from a cookie runs to the header's end; from the URI, to the next ";". One
// character after the name (normally "=") is skipped; a text that ends there has none.
bool modelId(std::string_view text, bool toSemicolon, std::string& id) {
    size_t name = text.find("JSESSIONID");
    if (name == std::string_view::npos || name + 10 >= text.size()) return false;
    std::string_view rest = text.substr(name + 11);
    id = rest.substr(0, toSemicolon ? rest.find(';') : std::string_view::npos);
    return true;
}

std::vector<size_t> modelBuddies(const std::string& id) {
    std::vector<size_t> offsets;
    size_t mark = id.find("TR");
    if (mark == std::string::npos || id.size() - mark <= 5) return offsets;
    for (size_t at = mark + 2;; at += 4) {
        offsets.push_back(at);
        if (id.size() - at <= 7) return offsets;
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> parts;
    for (const char* part : fuzz::parts(text, 5)) parts.emplace_back(part ? part : "");
    unsigned settings = parts[0].empty() ? 0 : static_cast<unsigned char>(parts[0][0]);
    std::string cookie(parts[1]), uri(parts[2]);
    if (settings & 2) uri += ";JSESSIONID=" + std::string(parts[3]) + std::string(parts[4]);

    quon_request req;
    init_quon_request(&req);
    req.getHeader = getHeader;
    req.freeHeader = [](quon_request*, const char*) { ++handedBack; };
    fuzz::counted(&req);
    req.uri = uri.c_str();
    cookieHeader = settings & 1 ? cookie.c_str() : nullptr;
    handedBack = fuzz::liveBlocks = 0;

    char* id = getSessionId(&req);
    check(handedBack == (cookieHeader ? 1 : 0));
    std::string expected;
    bool found = cookieHeader ? modelId(cookie, false, expected) : modelId(uri, true, expected);
    check((id != nullptr) == found && (!id || expected == id));
    // A path without the name of its own carries the id it was given, up to the tail's ";".
    if (!cookieHeader && (settings & 2) && uri.find("JSESSIONID") == parts[2].size() + 1) {
        std::string given = std::string(parts[3]) + std::string(parts[4]);
        check(id && given.substr(0, given.find(';')) == id);
    }

    req.sessionId = id;
    std::vector<size_t> buddies;
    for (const char* buddy = getNextBuddy(&req, nullptr); buddy; buddy = getNextBuddy(&req, buddy))
        buddies.push_back(size_t(buddy - id));
    check(buddies == (id ? modelBuddies(id) : std::vector<size_t>{}));
    req.sessionId = nullptr;
    req.free(&req, id);

    char* path = removePathParms(&req, uri.c_str());
    size_t semicolon = uri.find(';');
    check((path != nullptr) == (semicolon != std::string::npos));
    if (path) check(uri.compare(0, semicolon, path) == 0 && strlen(path) == semicolon);
    req.free(&req, path);
    check(fuzz::liveBlocks == 0);
    return 0;
}
