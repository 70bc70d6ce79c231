// The back-end's log: one line per message received and per connection event, written
// with a single append so that lines from concurrent connections never interleave and a
// test can read the file at any moment.
#pragma once

#include <string>
#include <string_view>

namespace quon_backend {

class EventLog {
public:
    EventLog() = default;
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // An empty path leaves the log off, which costs nothing per message. With times, each
    // line starts with the wall-clock time in epoch milliseconds and a blank, so that a
    // benchmark can line the server's events up with its own.
    bool open(const std::string& path, bool times, std::string& error);
    bool enabled() const { return fd_ >= 0; }
    void write(std::string_view line);
    void printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    int fd_ = -1;
    bool times_ = false;
};

// Printable form of received bytes for a log line or an echo: control bytes, backslash
// and bytes above 0x7E become \xNN; at most `limit` input bytes are shown.
std::string printable(std::string_view bytes, size_t limit = 200);

}  // namespace quon_backend
