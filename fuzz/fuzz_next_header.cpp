// The header splitter over a fuzzed block, up to its first NUL: every pointer it hands
// out is checked against the block's bounds and the NULs it writes (the line rules
// themselves are the unit tests' and the integration tests' cases).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "forward.h"
#include "fuzz_support.h"

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string block(reinterpret_cast<const char*>(data), size);
    char* const first = block.data();
    char* const last = first + strlen(first);  // the terminating NUL
    size_t found = 0;
    char *name = nullptr, *value = nullptr;
    for (char* at = first; at;) {
        char* next = nextHeader(at, &name, &value);
        if (!next) break;
        check(name == at && value > name && value < next && next <= last);
        size_t nameLength = strlen(name), valueLength = strlen(value);
        // The colon and the CR became the NULs that end name and value.
        check(name + nameLength + 2 == value && value + valueLength + 2 == next);
        check(next[-1] == '\n' && std::string_view(name).find(": ") == std::string_view::npos);
        check(++found <= size / 4 + 1);
        at = next;
    }
    return 0;
}
