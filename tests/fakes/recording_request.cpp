#include "recording_request.h"

#include <cstdarg>
#include <algorithm>
#include <cstdio>
#include <type_traits>

#include "memory.h"
#include "request.h"

static_assert(std::is_standard_layout_v<RecordingRequest>);

namespace {
void record(quon_request* req, const char* channel, int level, const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string text(size_t(std::max(length, 0)), '\0');
    if (length > 0) vsnprintf(text.data(), text.size() + 1, fmt, args);
    recorderOf(req)->lines.push_back({channel, text, level});
}

#define QN_RECORD(channel, level)           \
    va_list args;                           \
    va_start(args, fmt);                    \
    record(req, channel, level, fmt, args); \
    va_end(args)

void recordLog(quon_request* req, int level, const char* fmt, ...) { QN_RECORD("log", level); }
void recordTrace(quon_request* req, const char* fmt, ...) { QN_RECORD("trace", 0); }
void recordTraceE(quon_request* req, int flags, const char* fmt, ...) {
    if (flags & recorderOf(req)->traceMask) {
        QN_RECORD("traceE", 0);
    }
}
}  // namespace

RecordingRequest::RecordingRequest(int mask) : traceMask(mask) {
    init_quon_request(&req);
    req.logAt = recordLog;
    req.trace = recordTrace;
    req.traceE = recordTraceE;
}

int RecordingRequest::count(std::string_view channel, std::string_view text) const {
    int n = 0;
    for (const RecordedLine& line : lines)
        n += (channel.empty() || line.channel == channel) && line.text == text;
    return n;
}

int RecordingRequest::levelOf(std::string_view part) const {
    for (const RecordedLine& line : lines)
        if (line.channel == "log" && line.text.find(part) != std::string::npos) return line.level;
    return 0;
}

bool RecordingRequest::contains(std::string_view channel, std::string_view part) const {
    for (const RecordedLine& line : lines)
        if ((channel.empty() || line.channel == channel) &&
            line.text.find(part) != std::string::npos)
            return true;
    return false;
}

std::string RecordingRequest::dump() const {
    std::string all;
    for (const RecordedLine& line : lines) all += line.channel + ": " + line.text + "\n";
    return all;
}

void* refusingMalloc(quon_request* req, int size) {
    return size == refusedBlockSize ? nullptr : qnMalloc(req, size);
}
