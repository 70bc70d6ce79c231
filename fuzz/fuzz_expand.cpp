// Variable expansion over parsed tables. The input is split at NULs into the props text,
// the defaults text, the root-directory text, the server name and the text to expand;
// a missing part leaves its table or string null.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "memory.h"
#include "property.h"

namespace {
using fuzz::check;
// No expansion grows a string beyond this, and the inputs are shorter.
constexpr size_t kLongestResult = 64 * 1024;
constexpr int kKeysTried = 8;

// Checks the bound and releases a result; returns its text ("" for null).
std::string take(quon_request* heap, char* result) {
    if (!result) return {};
    std::string text(result);
    check(text.size() <= kLongestResult);
    doFree(heap, result);
    return text;
}
bool holdsBuiltIn(const propertyTable* table) {
    return getPropertyValue(table, "quon.server.name") ||
           getPropertyValue(table, "quon.server.rootdir");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::vector<const char*> parts = fuzz::parts(input, 5);
    quon_request heap;
    init_allocators(&heap);
    propertyTable* props = parseProperties(&heap, parts[0]);
    propertyTable* defaults = parts[1] ? parseProperties(&heap, parts[1]) : nullptr;
    propertyTable* rootDirs = parts[2] ? parseProperties(&heap, parts[2]) : nullptr;
    const char* server = parts[3];
    const char* text = parts[4];

    for (int i = 0; i < props->count && i < kKeysTried; ++i) {
        const char* key = props->entries[i].key;
        take(&heap, getPropertyValue2(props, defaults, key));
        take(&heap, getPropertyValue3(props, defaults, rootDirs, key, server));
    }
    char* plain = expand_vars(text, props, defaults);
    check(plain != nullptr);
    char* withServer = expand_vars2(text, props, defaults, rootDirs, server);
    check(withServer != nullptr);
    take(&heap, withServer);
    // Without a server the built-in names resolve to nothing, as they do through tables
    // that lack them: both expansions then agree.
    if (!holdsBuiltIn(props) && !holdsBuiltIn(defaults)) {
        char* noServer = expand_vars2(text, props, defaults, rootDirs, nullptr);
        check(noServer != nullptr && strcmp(plain, noServer) == 0);
        take(&heap, noServer);
    }
    take(&heap, plain);

    freeProperties(&heap, rootDirs);
    freeProperties(&heap, defaults);
    freeProperties(&heap, props);
    return 0;
}
