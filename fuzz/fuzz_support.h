// What the fuzz targets share: a check that stops the run where it fails, the start of
// APR and the core's locks, the input cut into parts at its NULs, per-call allocation
// slots that count live blocks, and log slots that format every message (a bad format or
// argument shows up under the sanitizers) and then drop it.
#pragma once

#include <apr_general.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "request.h"
#include "sync.h"

namespace fuzz {
inline void check(bool holds) {
    if (!holds) __builtin_trap();
}

// APR and the core's lock pool, started once per process.
inline void startOnce() {
    static bool ready = (apr_initialize(), initQuonMutexPool(), true);
    check(ready);
}

// Larger per-call blocks are refused, as a web server's pool may: lengths near 2 GiB
// then cost an ENOBUFS instead of slowing every run down.
constexpr int kLargestBlock = 1 << 20;
inline int liveBlocks = 0;  // per-call blocks not freed yet

// Points the request's per-call allocation slots at a counting malloc and free.
inline void counted(quon_request* req) {
    req->malloc = [](quon_request*, int size) -> void* {
        if (size > kLargestBlock) return nullptr;
        ++liveBlocks;
        return ::malloc(size_t(size < 1 ? 1 : size));
    };
    req->free = [](quon_request*, void* block) {
        liveBlocks -= block != nullptr;
        ::free(block);
    };
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
