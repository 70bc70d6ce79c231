// The byte level of the protocol as the back-end speaks it: int32 in network order,
// strings as an int32 length and that many bytes, a bounds-checked cursor over a
// received message, and a buffered reader and writer over a connected socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quon_backend {

// Longest string the back-end accepts from a peer; longer or negative lengths are bad input.
inline constexpr int32_t kMaxPeerString = 16 * 1024 * 1024;

void putInt32(std::string& out, int32_t value);
void putString(std::string& out, std::string_view text);
int32_t getInt32(const char* bytes);

// Reads fields from a message already in memory; every read checks the bytes left.
class ByteCursor {
public:
    explicit ByteCursor(std::string_view bytes) : bytes_(bytes) {}
    bool readInt32(int32_t& value);
    // Fails on a negative length or one that runs past the end of the message.
    bool readString(std::string& text);
    size_t remaining() const { return bytes_.size() - offset_; }

private:
    std::string_view bytes_;
    size_t offset_ = 0;
};

enum class ReadStatus {
    Ok,
    Closed,     // the peer closed (or the server shut the socket down)
    TimedOut,   // nothing arrived within the time allowed
    Failed,     // a socket error
    BadLength,  // a string length that is negative or above the limit
};

const char* describe(ReadStatus status);

// Buffered reads from a blocking socket. A time-out of 0 waits without bound.
class SocketReader {
public:
    explicit SocketReader(int fd) : fd_(fd) {}
    ReadStatus readExact(char* out, size_t length, int timeoutMs = 0);
    ReadStatus readInt32(int32_t& value, int timeoutMs = 0);
    ReadStatus readString(std::string& text, int32_t maxLength, int timeoutMs = 0);
    // One line ended by LF (a CR before it is dropped); BadLength past maxLength bytes.
    ReadStatus readLine(std::string& line, size_t maxLength, int timeoutMs = 0);
    // Reads and drops bytes until the peer closes or the socket is shut down.
    void drainUntilClosed();
    bool hasBuffered() const { return begin_ < end_; }

private:
    ReadStatus fill(int timeoutMs);

    int fd_;
    char buffer_[16 * 1024];
    size_t begin_ = 0;
    size_t end_ = 0;
};

// Collects outgoing bytes so that a whole answer leaves in as few writes as possible.
class SocketWriter {
public:
    explicit SocketWriter(int fd) : fd_(fd) {}
    std::string& buffer() { return out_; }
    // Sends what is buffered; false once a write has failed.
    bool flush();
    bool flushIfLarge() { return out_.size() < kFlushAt || flush(); }
    bool failed() const { return failed_; }

private:
    static constexpr size_t kFlushAt = 256 * 1024;
    int fd_;
    std::string out_;
    bool failed_ = false;
};

}  // namespace quon_backend
