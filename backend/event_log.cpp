#include "event_log.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quon_backend {

EventLog::~EventLog() {
    if (fd_ >= 0) ::close(fd_);
}

bool EventLog::open(const std::string& path, bool times, std::string& error) {
    times_ = times;
    if (path.empty()) return true;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = "could not open log " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void EventLog::write(std::string_view line) {
    if (fd_ < 0) return;
    std::string out;
    out.reserve(line.size() + 16);
    if (times_) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        out.append(
            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()));
        out.push_back(' ');
    }
    out.append(line);
    out.push_back('\n');
    // O_APPEND makes each write land whole at the end of the file.
    ssize_t ignored = ::write(fd_, out.data(), out.size());
    (void)ignored;
}

void EventLog::printf(const char* format, ...) {
    if (fd_ < 0) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0) return;
    write(std::string_view(line, std::min(static_cast<size_t>(n), sizeof line - 1)));
}

std::string printable(std::string_view bytes, size_t limit) {
    std::string out;
    const size_t shown = std::min(bytes.size(), limit);
    out.reserve(shown);
    for (size_t i = 0; i < shown; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x20 || c > 0x7E || c == '\\') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out.append(hex);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    if (shown < bytes.size()) out.append("...");
    return out;
}

}  // namespace quon_backend
