#include "http_request.h"

#include <algorithm>
#include <charconv>
#include <strings.h>

#include "server_context.h"

namespace quon_backend {
namespace {

constexpr size_t kMaxLine = 16 * 1024;
constexpr size_t kMaxHeaders = 200;
constexpr uint64_t kMaxDrain = 1024 * 1024;
constexpr uint64_t kMaxBodyRead = 64 * 1024;

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool containsToken(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        if (equalsNoCase(item, token)) return true;
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
    return false;
}

bool parseRequestLine(const std::string& line, HttpRequestHead& head) {
    const size_t sp1 = line.find(' ');
    const size_t sp2 = line.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1) return false;
    head.method = line.substr(0, sp1);
    head.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    head.version = line.substr(sp2 + 1);
    return !head.method.empty() && !head.target.empty() &&
           (head.version == "HTTP/1.1" || head.version == "HTTP/1.0");
}

}  // namespace

const std::string* HttpRequestHead::header(std::string_view name) const {
    for (const NameValue& h : headers)
        if (equalsNoCase(h.name, name)) return &h.value;
    return nullptr;
}

bool HttpRequestHead::keepAlive() const {
    const std::string* connection = header("Connection");
    if (version == "HTTP/1.0") return connection && containsToken(*connection, "keep-alive");
    return !connection || !containsToken(*connection, "close");
}

HeadStatus readRequestHead(SocketReader& in, HttpRequestHead& head, int idleMs,
                           std::string& error) {
    auto bad = [&error](const char* why) {
        error = why;
        return HeadStatus::Bad;
    };
    std::string line;
    ReadStatus status;
    // Blank lines before a request are tolerated.
    do {
        status = in.readLine(line, kMaxLine, idleMs);
    } while (status == ReadStatus::Ok && line.empty());
    if (status == ReadStatus::TimedOut) return HeadStatus::TimedOut;
    if (status == ReadStatus::BadLength) return bad("request line too long");
    if (status != ReadStatus::Ok) return HeadStatus::Closed;
    if (!parseRequestLine(line, head)) return bad("bad request line");
    for (;;) {
        status = in.readLine(line, kMaxLine, kAnswerTimeoutMs);
        if (status != ReadStatus::Ok) return bad("bad header line");
        if (line.empty()) return HeadStatus::Ok;
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0 || line[0] == ' ' || line[0] == '\t')
            return bad("bad header line");
        if (head.headers.size() == kMaxHeaders) return bad("too many headers");
        size_t start = colon + 1;
        while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
        size_t end = line.size();
        while (end > start && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
        head.headers.push_back({line.substr(0, colon), line.substr(start, end - start)});
    }
}

bool HttpBody::start(const HttpRequestHead& head, std::string& error) {
    const std::string* coding = head.header("Transfer-Encoding");
    const std::string* length = head.header("Content-Length");
    chunked_ = coding && containsToken(*coding, "chunked");
    left_ = 0;
    if (chunked_) {
        ended_ = false;
        return true;
    }
    if (coding) {
        error = "unsupported transfer coding";
        return false;
    }
    if (length) {
        const char* end = length->data() + length->size();
        auto [ptr, ec] = std::from_chars(length->data(), end, left_);
        if (ec != std::errc() || ptr != end) {
            error = "bad Content-Length";
            return false;
        }
    }
    ended_ = left_ == 0;
    return true;
}

// Reads a chunk-size line (and the trailer after the last chunk).
bool HttpBody::nextChunkSize(SocketReader& in) {
    std::string line;
    if (in.readLine(line, kMaxLine, kAnswerTimeoutMs) != ReadStatus::Ok) return false;
    const std::string_view digits = std::string_view(line).substr(0, line.find_first_of("; \t"));
    const char* end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, left_, 16);
    if (ec != std::errc() || ptr != end || digits.empty()) return false;
    if (left_ > 0) return true;
    do {
        if (in.readLine(line, kMaxLine, kAnswerTimeoutMs) != ReadStatus::Ok) return false;
    } while (!line.empty());
    ended_ = true;
    return true;
}

BodyChunk HttpBody::read(SocketReader& in, int32_t want, std::string& bytes) {
    BodyChunk chunk;
    if (!ended_ && chunked_ && left_ == 0 && !nextChunkSize(in)) return chunk;
    if (ended_ || want <= 0) {
        chunk.ok = true;
        return chunk;
    }
    // However much is wanted, one read takes at most kMaxBodyRead bytes into memory.
    const uint64_t take = std::min<uint64_t>({left_, static_cast<uint64_t>(want), kMaxBodyRead});
    bytes.resize(static_cast<size_t>(take));
    if (in.readExact(bytes.data(), bytes.size(), kAnswerTimeoutMs) != ReadStatus::Ok) return chunk;
    left_ -= take;
    if (left_ == 0) {
        if (chunked_) {
            std::string crlf;
            if (in.readLine(crlf, 2, kAnswerTimeoutMs) != ReadStatus::Ok || !crlf.empty())
                return chunk;
        } else {
            ended_ = true;
        }
    }
    chunk.ok = true;
    chunk.count = static_cast<int32_t>(take);
    return chunk;
}

bool HttpBody::drain(SocketReader& in) {
    std::string bytes;
    uint64_t drained = 0;
    while (!ended_) {
        const BodyChunk chunk = read(in, 40960, bytes);
        if (!chunk.ok || (drained += static_cast<uint64_t>(chunk.count)) > kMaxDrain) return false;
        if (chunk.count == 0) break;
    }
    return true;
}

}  // namespace quon_backend
