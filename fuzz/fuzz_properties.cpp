// Property parser over any text: every pair it keeps must come from a "key=" in the text
// (the line rules themselves are the unit tests' table). Then the table operations on
// the parsed table against the same operations on a list.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "memory.h"
#include "property.h"

namespace {
using fuzz::check;
using Pairs = std::vector<std::pair<std::string, std::string>>;

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
    fuzz::quiet(&req);
    propertyTable* table = parseProperties(&req, text.c_str());
    check(table != nullptr);
    Pairs pairs = pairsOf(table);
    check(pairs.size() <= size_t(QN_PROPERTY_CAPACITY));
    for (const auto& [key, value] : pairs)
        check(!key.empty() && key.find_first_of("\r\n") == std::string::npos &&
              key.find('=', 1) == std::string::npos &&
              untilNul.find(key + "=") != std::string_view::npos);
    exerciseTable(&req, table, pairs);
    freeProperties(&req, table);
    return 0;
}
