// Property parser against a plain restatement of the line rules, then the table
// operations on the parsed table against the same operations on a list.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "memory.h"
#include "property.h"

namespace {
using Pairs = std::vector<std::pair<std::string, std::string>>;

void check(bool holds) {
    if (!holds) __builtin_trap();
}

// Formats every message, so that a bad format or argument shows up under the sanitizers.
void formatLine(quon_request*, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
}

// A backslash or CR escapes the next character; a trailing one vanishes.
std::string decode(std::string_view raw) {
    std::string value;
    bool escaping = false;
    for (char c : raw) {
        if (!escaping && (c == '\\' || c == '\r')) {
            escaping = true;
            continue;
        }
        escaping = false;
        value += c;
    }
    return value;
}

// text holds no NUL: its end is the text's end.
Pairs model(std::string_view text) {
    Pairs pairs;
    size_t i = 0;
    auto at = [&](size_t k) { return k < text.size() ? text[k] : '\0'; };
    for (;;) {
        while (at(i) == '\r' || at(i) == '\n') ++i;
        if (at(i) == '\0' || at(i) == '\x1A') return pairs;
        if (at(i) == '#') {
            size_t lf = text.find('\n', i);
            if (lf == std::string_view::npos) return pairs;
            i = lf + 1;
            continue;
        }
        size_t k = i + 1;
        while (at(k) != '\0' && at(k) != '=' && at(k) != '\r' && at(k) != '\n') ++k;
        if (at(k) == '\0') return pairs;
        if (at(k) != '=') {
            i = k;
            continue;
        }
        size_t end = k + 1;
        while (at(end) != '\0' && at(end) != '\r' && at(end) != '\n') ++end;
        while (at(end) == '\r') ++end;
        // A full table refuses the pair; parsing goes on.
        if (pairs.size() < size_t(QN_PROPERTY_CAPACITY))
            pairs.emplace_back(text.substr(i, k - i), decode(text.substr(k + 1, end - k - 1)));
        if (at(end) == '\0' || at(end + 1) == '\0') return pairs;
        i = end + 1;
    }
}

Pairs pairsOf(const propertyTable* table) {
    Pairs pairs;
    for (int i = 0; i < table->count; ++i)
        pairs.emplace_back(table->entries[i].key, table->entries[i].value);
    return pairs;
}

int firstIndex(const Pairs& pairs, const std::string& key) {
    for (size_t i = 0; i < pairs.size(); ++i)
        if (pairs[i].first == key) return int(i);
    return -1;
}

// Lookup, set, remove by key and by index, each mirrored on the list.
void exerciseTable(quon_request* req, propertyTable* table, Pairs& pairs) {
    for (size_t r = 0; r < pairs.size() && r < 16; ++r) {
        std::string key = pairs[r].first;
        int first = firstIndex(pairs, key);
        const char* found = getPropertyValue(table, key.c_str());
        check(found && pairs[size_t(first)].second == found);
        std::string value = "v" + std::to_string(r);
        check(setProperty(req, table, key.c_str(), value.c_str()) == first);
        pairs[size_t(first)].second = value;
        if (r % 3 == 1) {
            check(removeProperty(req, table, key.c_str(), "gone") == int(pairs.size()) - 1);
            pairs.erase(pairs.begin() + first);
        }
    }
    check(removeProperty(req, table, "no\nkey", "x") == int(pairs.size()));
    if (!pairs.empty()) {
        size_t middle = pairs.size() / 2;
        check(removePropertyByIndex(req, table, int(middle)) == int(pairs.size()) - 1);
        pairs.erase(pairs.begin() + long(middle));
    }
    check(pairsOf(table) == pairs);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string_view untilNul(text.c_str());
    quon_request req;
    init_allocators(&req);
    req.log = req.trace = formatLine;
    propertyTable* table = parseProperties(&req, text.c_str());
    check(table != nullptr);
    Pairs pairs = model(untilNul);
    check(pairsOf(table) == pairs);
    exerciseTable(&req, table, pairs);
    freeProperties(&req, table);
    return 0;
}
