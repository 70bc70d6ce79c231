// Expansion of "{name}" references in property values, with defaults and the two
// built-in names of a server.
//
// Values refer to each other, so a table can make the lookup endless (a={a}, or a={b}
// with b={a}) or explode (each value naming the previous one twice). One top-level call
// therefore keeps a budget:
//   - a reference to a property that is being expanded further up the same chain is a
//     cycle: it resolves to nothing and disappears, so a=x{a} yields x;
//   - lookups nest at most kMaxDepth deep; a reference below that disappears as well;
//   - at most kMaxReferences references are resolved in all, and no string grows beyond
//     kMaxGrownLength; once either limit is reached expansion stops and each string is
//     returned as it stands, its remaining references unresolved. This also ends a
//     built-in value that names itself, which is re-read where it was inserted.
// Results come from the heap through a record of init_allocators; release with doFree.
#include <climits>
#include <cstring>

#include "memory.h"
#include "property.h"

namespace {
constexpr const char* kDefaultMarker = "{default}";
constexpr const char* kServerName = "quon.server.name";
constexpr const char* kServerRootDir = "quon.server.rootdir";

constexpr int kMaxDepth = 32;
constexpr int kMaxReferences = 256;
constexpr size_t kMaxGrownLength = 64 * 1024;

class Expansion {
public:
    Expansion(const propertyTable* props, const propertyTable* defaults,
              const propertyTable* rootDirs, const char* serverName, bool builtins)
        : props_(props),
          defaults_(defaults),
          rootDirs_(rootDirs),
          serverName_(serverName),
          builtins_(builtins) {
        init_allocators(&heap_);
    }
    Expansion(const Expansion&) = delete;
    Expansion& operator=(const Expansion&) = delete;

    char* lookup(const char* key);
    char* expand(const char* text);

private:
    char* resolve(const char* name);
    char* heapCopy(const char* text) { return heap_.strdup(&heap_, text); }
    void release(char* text) {
        if (text) heap_.free(&heap_, text);
    }
    bool onChain(const char* name) const;
    char* splice(const char* text, const char* open, const char* close, const char* value);

    quon_request heap_;
    const propertyTable* props_;
    const propertyTable* defaults_;
    const propertyTable* rootDirs_;
    const char* serverName_;
    bool builtins_;
    const char* chain_[kMaxDepth] = {};
    int depth_ = 0;
    int references_ = 0;
    bool stopped_ = false;
};

bool Expansion::onChain(const char* name) const {
    for (int i = 0; i < depth_; ++i)
        if (strcmp(chain_[i], name) == 0) return true;
    return false;
}

// The value of key from props, or from defaults when props lacks it or defers with
// "{default}"; expanded. Null when there is nothing, or when the guard cuts it off.
char* Expansion::lookup(const char* key) {
    if (!key || depth_ >= kMaxDepth || onChain(key)) return nullptr;
    const char* value = getPropertyValue(props_, key);
    if ((!value || strcmp(value, kDefaultMarker) == 0) && defaults_)
        value = getPropertyValue(defaults_, key);
    if (!value) return nullptr;
    chain_[depth_++] = key;
    char* expanded = expand(value);
    --depth_;
    return expanded;
}

// The built-in values are inserted as they are; the caller's rescan expands them.
char* Expansion::resolve(const char* name) {
    if (builtins_ && strcmp(name, kServerRootDir) == 0) {
        const char* dir = serverName_ ? getPropertyValue(rootDirs_, serverName_) : nullptr;
        return dir ? heapCopy(dir) : nullptr;
    }
    if (builtins_ && strcmp(name, kServerName) == 0)
        return serverName_ ? heapCopy(serverName_) : nullptr;
    return lookup(name);
}

// text with open..close replaced by value (nothing for null); null when the result
// would grow beyond the limit or cannot be allocated.
char* Expansion::splice(const char* text, const char* open, const char* close,
                        const char* value) {
    size_t prefix = size_t(open - text);
    size_t inserted = value ? strlen(value) : 0;
    size_t suffix = strlen(close + 1);
    size_t length = prefix + inserted + suffix;
    size_t before = prefix + size_t(close - open) + 1 + suffix;
    if ((length > kMaxGrownLength && length > before) || length >= size_t(INT_MAX))
        return nullptr;
    auto* result = static_cast<char*>(heap_.malloc(&heap_, int(length) + 1));
    if (!result) return nullptr;
    memcpy(result, text, prefix);
    if (inserted) memcpy(result + prefix, value, inserted);
    memcpy(result + prefix + inserted, close + 1, suffix + 1);
    return result;
}

char* Expansion::expand(const char* text) {
    char* current = heapCopy(text ? text : "");
    if (!current) return nullptr;
    // Nothing before the first "{" changes, so each search resumes there; it finds what
    // a search from the beginning would find.
    size_t from = 0;
    const char* open;
    const char* close;
    while (!stopped_ && find_variable(current + from, &open, &close)) {
        if (references_++ >= kMaxReferences) {
            stopped_ = true;
            break;
        }
        // The name is ended in place for the lookup and restored after it.
        char* end = current + (close - current);
        *end = '\0';
        char* value = resolve(open + 1);
        *end = '}';
        char* next = splice(current, open, close, value);
        release(value);
        if (!next) {
            stopped_ = true;
            break;
        }
        from = size_t(open - current);
        release(current);
        current = next;
    }
    return current;
}
}  // namespace

int find_variable(const char* text, const char** open, const char** close) {
    if (!text) return 0;
    const char* first = strchr(text, '{');
    const char* last = first ? strchr(first + 1, '}') : nullptr;
    if (!last) return 0;
    *open = first;
    *close = last;
    return 1;
}

char* getPropertyValue2(const propertyTable* props, const propertyTable* defaults,
                        const char* key) {
    Expansion expansion(props, defaults, nullptr, nullptr, false);
    return expansion.lookup(key);
}

char* getPropertyValue3(const propertyTable* props, const propertyTable* defaults,
                        const propertyTable* rootDirs, const char* key,
                        const char* serverName) {
    Expansion expansion(props, defaults, rootDirs, serverName, true);
    return expansion.lookup(key);
}

char* expand_vars(const char* text, const propertyTable* props, const propertyTable* defaults) {
    Expansion expansion(props, defaults, nullptr, nullptr, false);
    return expansion.expand(text);
}

char* expand_vars2(const char* text, const propertyTable* props, const propertyTable* defaults,
                   const propertyTable* rootDirs, const char* serverName) {
    Expansion expansion(props, defaults, rootDirs, serverName, true);
    return expansion.expand(text);
}
