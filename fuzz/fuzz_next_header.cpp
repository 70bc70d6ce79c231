// The header splitter over a fuzzed block, up to its first NUL: every pair it returns
// is checked against a plain restatement of the line rules, and every pointer it hands
// out against the block's bounds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "forward.h"

namespace {
using Pairs = std::vector<std::pair<std::string, std::string>>;

void check(bool holds) {
    if (!holds) __builtin_trap();
}

// Name up to the first ": ", value up to the first CR LF not followed by a blank or tab;
// a block that runs out of either ends the list.
Pairs model(std::string_view text) {
    Pairs pairs;
    for (size_t at = 0;;) {
        size_t colon = text.find(": ", at);
        if (colon == std::string_view::npos) return pairs;
        size_t start = colon + 2;
        size_t end = text.find("\r\n", start);
        while (end != std::string_view::npos && end + 2 < text.size() &&
               (text[end + 2] == ' ' || text[end + 2] == '\t'))
            end = text.find("\r\n", end + 2);
        if (end == std::string_view::npos) return pairs;
        pairs.emplace_back(text.substr(at, colon - at), text.substr(start, end - start));
        at = end + 2;
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string block(reinterpret_cast<const char*>(data), size);
    const Pairs expected = model(std::string_view(block.c_str()));
    char* const first = block.data();
    char* const last = first + strlen(first);  // the terminating NUL
    Pairs found;
    char *name = nullptr, *value = nullptr;
    for (char* at = first; at;) {
        char* next = nextHeader(at, &name, &value);
        if (!next) break;
        check(name == at && value > name && value < next && next <= last);
        size_t nameLength = strlen(name), valueLength = strlen(value);
        // The colon and the CR became the NULs that end name and value.
        check(name + nameLength + 2 == value && value + valueLength + 2 == next);
        check(next[-1] == '\n' && std::string_view(name).find(": ") == std::string_view::npos);
        found.emplace_back(std::string(name, nameLength), std::string(value, valueLength));
        check(found.size() <= size / 4 + 1);
        at = next;
    }
    check(found == expected);
    return 0;
}
