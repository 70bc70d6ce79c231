// The log slots of the fuzz targets: every message is formatted, so that a bad format or
// argument shows up under the sanitizers, and then dropped.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "request.h"

namespace fuzzlog {
inline void format(const char* format, va_list args) {
    char line[1024];
    vsnprintf(line, sizeof line, format, args);
}
inline void formatLine(quon_request*, const char* text, ...) {
    va_list args;
    va_start(args, text);
    format(text, args);
    va_end(args);
}
inline void formatAt(quon_request*, int, const char* text, ...) {
    va_list args;
    va_start(args, text);
    format(text, args);
    va_end(args);
}
inline void formatEvent(quon_request*, int, const char* text, ...) {
    va_list args;
    va_start(args, text);
    format(text, args);
    va_end(args);
}
// Points the request's log, trace and event slots at the formatters above.
inline void quiet(quon_request* req) {
    req->logAt = formatAt;
    req->trace = formatLine;
    req->traceE = formatEvent;
}
}  // namespace fuzzlog
