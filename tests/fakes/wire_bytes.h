// Protocol byte sequences written by hand in tests: int32 in network order, strings.
#pragma once

#include <cstdint>
#include <string>

inline std::string be32(int32_t value) {
    uint32_t bits = static_cast<uint32_t>(value);
    return {char(bits >> 24), char(bits >> 16), char(bits >> 8), char(bits)};
}

inline std::string wireString(const std::string& text) {
    return be32(int32_t(text.size())) + text;
}

// A message code followed by its fields.
inline std::string message(int32_t code, const std::string& fields = "") {
    return be32(code) + fields;
}
