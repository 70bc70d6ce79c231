#include "recording_request.h"

#include <cstdarg>
#include <cstdio>
#include <type_traits>

#include "request.h"

static_assert(std::is_standard_layout_v<RecordingRequest>);

namespace {
std::string format(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string text(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0) vsnprintf(text.data(), text.size() + 1, fmt, args);
    return text;
}

void recordLog(quon_request* req, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    recorderOf(req)->lines.push_back({"log", 0, format(fmt, args)});
    va_end(args);
}

void recordTrace(quon_request* req, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    recorderOf(req)->lines.push_back({"trace", 0, format(fmt, args)});
    va_end(args);
}

void recordTraceE(quon_request* req, int flags, const char* fmt, ...) {
    RecordingRequest* recorder = recorderOf(req);
    if (!(flags & recorder->traceMask)) return;
    va_list args;
    va_start(args, fmt);
    recorder->lines.push_back({"traceE", flags, format(fmt, args)});
    va_end(args);
}
}  // namespace

RecordingRequest::RecordingRequest(int mask) : traceMask(mask) {
    init_quon_request(&req);
    req.log = recordLog;
    req.trace = recordTrace;
    req.traceE = recordTraceE;
}

int RecordingRequest::count(std::string_view channel, std::string_view text) const {
    int n = 0;
    for (const RecordedLine& line : lines)
        if ((channel.empty() || line.channel == channel) && line.text == text) ++n;
    return n;
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
