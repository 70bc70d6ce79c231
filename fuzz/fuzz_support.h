// What the fuzz targets share: a check that stops the run where it fails, the input cut
// into parts at its NULs, and log slots that format every message (a bad format or
// argument shows up under the sanitizers) and then drop it.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "request.h"

namespace fuzz {
inline void check(bool holds) {
    if (!holds) __builtin_trap();
}

// At most count parts of text, cut at its NULs; a part the text lacks is null.
inline std::vector<const char*> parts(const std::string& text, size_t count) {
    std::vector<const char*> found;
    for (size_t at = 0; at <= text.size() && found.size() < count; at += strlen(&text[at]) + 1)
        found.push_back(&text[at]);
    found.resize(count, nullptr);
    return found;
}

#define QN_FUZZ_FORMAT(last)                  \
    char line[1024];                          \
    va_list args;                             \
    va_start(args, last);                     \
    vsnprintf(line, sizeof line, last, args); \
    va_end(args)
inline void formatLine(quon_request*, const char* text, ...) { QN_FUZZ_FORMAT(text); }
inline void formatAt(quon_request*, int, const char* text, ...) { QN_FUZZ_FORMAT(text); }
inline void formatEvent(quon_request*, int, const char* text, ...) { QN_FUZZ_FORMAT(text); }
#undef QN_FUZZ_FORMAT

// Points the request's log, trace and event slots at the formatters above.
inline void quiet(quon_request* req) {
    req->logAt = formatAt;
    req->trace = formatLine;
    req->traceE = formatEvent;
}
}  // namespace fuzz
