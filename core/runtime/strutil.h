// Small string utilities of the adapter and the configuration code. The req argument
// is unused; it keeps the signature of every core operation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "export.h"
#include "request_types.h"

QN_EXPORT const char* normalizeURI(quon_request* req, const char* uri);
QN_EXPORT int fromDashesToUnderscores(quon_request* req, char* text);
QN_EXPORT int fromUnderscoresToDashes(quon_request* req, char* text);
QN_EXPORT void toUpperCaseWithDashes(quon_request* req, const char* source, char* destination);
QN_EXPORT void toUpperCaseWithUnderscores(quon_request* req, const char* source,
                                          char* destination);
QN_EXPORT void toLowerCaseWithDashes(quon_request* req, const char* source, char* destination);
QN_EXPORT void toLowerCaseWithUnderscores(quon_request* req, const char* source,
                                          char* destination);
QN_EXPORT int32_t hexstrtol(const char* text);

// True when path holds a "." or ".." segment once it is decoded one more time (%XX) and
// each segment is cut at its first ";" (path parameters); "/" and "\\" separate segments.
bool hasDotSegment(const char* path);
// True when path holds a control character (below 0x20, or 0x7f), as it is or decoded one
// more time: a server that decodes again would read a NUL or a line end in its path.
bool hasControlCharacter(const char* path);
// A response's Content-Length as a 64-bit offset: decimal digits, blanks around them
// allowed; -1 for anything else, a sign or a number beyond int64 included.
int64_t parseContentLength(const char* text);
// A span of time for people, its largest unit first: "1 m 20 s", "2 d 3 h 0 m 5 s"; a
// negative span as "0 s". Written into out (size bytes, its end included).
void spanText(int64_t ms, char* out, size_t size);
