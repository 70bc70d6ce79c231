#include "wire.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

namespace quon_backend {

void putInt32(std::string& out, int32_t value) {
    const auto u = static_cast<uint32_t>(value);
    const char bytes[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16),
                           static_cast<char>(u >> 8), static_cast<char>(u)};
    out.append(bytes, 4);
}

void putString(std::string& out, std::string_view text) {
    putInt32(out, static_cast<int32_t>(text.size()));
    out.append(text);
}

int32_t getInt32(const char* bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    const uint32_t u =
        (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
    return static_cast<int32_t>(u);
}

bool ByteCursor::readInt32(int32_t& value) {
    if (remaining() < 4) return false;
    value = getInt32(bytes_.data() + offset_);
    offset_ += 4;
    return true;
}

bool ByteCursor::readString(std::string& text) {
    int32_t length = 0;
    if (!readInt32(length)) return false;
    if (length < 0 || static_cast<size_t>(length) > remaining()) return false;
    text.assign(bytes_.substr(offset_, static_cast<size_t>(length)));
    offset_ += static_cast<size_t>(length);
    return true;
}

const char* describe(ReadStatus status) {
    switch (status) {
        case ReadStatus::Ok:
            return "ok";
        case ReadStatus::Closed:
            return "peer closed connection";
        case ReadStatus::TimedOut:
            return "timed out";
        case ReadStatus::Failed:
            return "read failed";
        case ReadStatus::BadLength:
            return "bad length";
    }
    return "?";
}

// Tries the socket without waiting first: in the common case the bytes are there and the
// read costs one call; otherwise it waits for them at most timeoutMs (0: without bound).
ReadStatus SocketReader::fill(int timeoutMs) {
    if (begin_ == end_) begin_ = end_ = 0;
    if (begin_ > 0 && end_ == sizeof buffer_) {
        std::memmove(buffer_, buffer_ + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    const int flags = timeoutMs > 0 ? MSG_DONTWAIT : 0;
    for (;;) {
        const ssize_t got = ::recv(fd_, buffer_ + end_, sizeof buffer_ - end_, flags);
        if (got > 0) {
            end_ += static_cast<size_t>(got);
            return ReadStatus::Ok;
        }
        if (got == 0) return ReadStatus::Closed;
        if (errno == EINTR) continue;
        if (errno == ECONNRESET) return ReadStatus::Closed;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return ReadStatus::Failed;
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready == 0) return ReadStatus::TimedOut;
        if (ready < 0 && errno != EINTR) return ReadStatus::Failed;
    }
}

ReadStatus SocketReader::readExact(char* out, size_t length, int timeoutMs) {
    while (length > 0) {
        if (begin_ == end_) {
            const ReadStatus status = fill(timeoutMs);
            if (status != ReadStatus::Ok) return status;
        }
        const size_t take = std::min(length, end_ - begin_);
        std::memcpy(out, buffer_ + begin_, take);
        begin_ += take;
        out += take;
        length -= take;
    }
    return ReadStatus::Ok;
}

ReadStatus SocketReader::readInt32(int32_t& value, int timeoutMs) {
    char bytes[4];
    const ReadStatus status = readExact(bytes, 4, timeoutMs);
    if (status == ReadStatus::Ok) value = getInt32(bytes);
    return status;
}

ReadStatus SocketReader::readString(std::string& text, int32_t maxLength, int timeoutMs) {
    int32_t length = 0;
    ReadStatus status = readInt32(length, timeoutMs);
    if (status != ReadStatus::Ok) return status;
    if (length < 0 || length > maxLength) return ReadStatus::BadLength;
    text.resize(static_cast<size_t>(length));
    return readExact(text.data(), text.size(), timeoutMs);
}

ReadStatus SocketReader::readLine(std::string& line, size_t maxLength, int timeoutMs) {
    line.clear();
    for (;;) {
        const char* start = buffer_ + begin_;
        const void* lf = std::memchr(start, '\n', end_ - begin_);
        const size_t upto =
            lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) : end_ - begin_;
        if (line.size() + upto > maxLength) return ReadStatus::BadLength;
        line.append(start, upto);
        if (lf) {
            begin_ += upto + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return ReadStatus::Ok;
        }
        begin_ = end_;
        const ReadStatus status = fill(timeoutMs);
        if (status != ReadStatus::Ok) return status;
    }
}

void SocketReader::drainUntilClosed() {
    begin_ = end_ = 0;
    while (fill(0) == ReadStatus::Ok) begin_ = end_ = 0;
}

bool SocketWriter::flush() {
    size_t sent = 0;
    while (!failed_ && sent < out_.size()) {
        const ssize_t n = ::send(fd_, out_.data() + sent, out_.size() - sent, MSG_NOSIGNAL);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            failed_ = true;
    }
    out_.clear();
    return !failed_;
}

}  // namespace quon_backend
