#include "strutil.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {
int replaceAll(char* text, char from, char to) {
    if (!text) return 0;
    int replaced = 0;
    for (; *text; ++text)
        if (*text == from) *text = to, replaced = 1;
    return replaced;
}

char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }
char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// Copies source into destination, from becoming to and letters mapped by caseOf.
void mapCopy(const char* source, char* destination, char from, char to, char (*caseOf)(char)) {
    for (; *source; ++source, ++destination) *destination = *source == from ? to : caseOf(*source);
    *destination = '\0';
}
}  // namespace

const char* normalizeURI(quon_request*, const char* uri) { return uri; }

int fromDashesToUnderscores(quon_request*, char* text) { return replaceAll(text, '-', '_'); }

int fromUnderscoresToDashes(quon_request*, char* text) { return replaceAll(text, '_', '-'); }

void toUpperCaseWithDashes(quon_request*, const char* source, char* destination) {
    mapCopy(source, destination, '_', '-', asciiUpper);
}

void toUpperCaseWithUnderscores(quon_request*, const char* source, char* destination) {
    mapCopy(source, destination, '-', '_', asciiUpper);
}

void toLowerCaseWithDashes(quon_request*, const char* source, char* destination) {
    mapCopy(source, destination, '_', '-', asciiLower);
}

void toLowerCaseWithUnderscores(quon_request*, const char* source, char* destination) {
    mapCopy(source, destination, '-', '_', asciiLower);
}

// Base 16 with the standard conversion's rules; anything after the number gives 0,
// and values beyond int32 saturate.
int32_t hexstrtol(const char* text) {
    if (!text || !*text) return 0;
    char* end = nullptr;
    long value = strtol(text, &end, 16);
    if (*end != '\0') return 0;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return int32_t(value);
}

int64_t parseContentLength(const char* text) {
    if (!text) return -1;
    std::string_view rest(text);
    constexpr std::string_view kBlanks = " \t";
    rest.remove_prefix(std::min(rest.find_first_not_of(kBlanks), rest.size()));
    if (rest.empty() || rest.front() < '0' || rest.front() > '9') return -1;
    int64_t value = -1;
    auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (error != std::errc()) return -1;
    rest.remove_prefix(size_t(end - rest.data()));
    return rest.find_first_not_of(kBlanks) == std::string_view::npos ? value : -1;
}

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

// One pass over the decoded path: only the first three characters of a segment before its
// parameters matter, to tell "." and ".." from every other segment.
bool hasDotSegment(const char* path) {
    if (!path) return false;
    char segment[3];
    size_t length = 0;
    bool parameters = false;
    for (const char* at = path;;) {
        const bool end = *at == '\0';
        char c = '\0';
        if (!end && at[0] == '%' && hexDigit(at[1]) >= 0 && hexDigit(at[2]) >= 0) {
            c = char(hexDigit(at[1]) * 16 + hexDigit(at[2]));
            at += 3;
        } else if (!end) {
            c = *at++;
        }
        if (end || c == '/' || c == '\\') {
            if ((length == 1 || length == 2) && segment[0] == '.' && (length == 1 || segment[1] == '.'))
                return true;
            if (end) return false;
            length = 0;
            parameters = false;
        } else if (c == ';') {
            parameters = true;
        } else if (!parameters) {
            if (length < sizeof segment) segment[length] = c;
            ++length;
        }
    }
}

bool hasControlCharacter(const char* path) {
    for (const char* at = path; at && *at;) {
        char c = *at++;
        if (c == '%' && hexDigit(at[0]) >= 0 && hexDigit(at[1]) >= 0) {
            c = char(hexDigit(at[0]) * 16 + hexDigit(at[1]));
            at += 2;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return true;
    }
    return false;
}

void spanText(int64_t ms, char* out, size_t size) {
    constexpr struct {
        int64_t seconds;
        const char* unit;
    } kUnits[] = {{86400, "d"}, {3600, "h"}, {60, "m"}};
    int64_t left = std::max<int64_t>(0, ms / 1000);
    size_t used = 0;
    for (const auto& [seconds, unit] : kUnits)
        if ((left >= seconds || used > 0) && used < size) {
            used += snprintf(out + used, size - used, "%lld %s ", (long long)(left / seconds), unit);
            left %= seconds;
        }
    if (used < size) snprintf(out + used, size - used, "%lld s", (long long)left);
}
