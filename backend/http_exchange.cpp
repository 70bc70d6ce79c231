#include "http_exchange.h"

#include <strings.h>

#include "event_log.h"

namespace quon_backend {
namespace {

constexpr size_t kStreamAt = 64 * 1024;

void appendChunk(std::string& out, std::string_view bytes) {
    char size[20];
    const int n = std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
    out.append(size, static_cast<size_t>(n)).append(bytes).append("\r\n");
}

}  // namespace

std::optional<std::string> HttpExchange::getHeader(std::string_view name) {
    for (const NameValue& v : cgi_)
        if (v.name == name) return v.value;
    const std::string* value = head_.header(name);
    return value ? *value : std::string();
}

std::optional<std::string> HttpExchange::getRealPath(std::string_view uri) {
    if (uri.empty()) return std::string();
    return std::string(docRoot_).append(uri);
}

BodyChunk HttpExchange::readBody(int32_t want, std::string& bytes) {
    const BodyChunk chunk = body_.read(in_, want, bytes);
    if (!chunk.ok) broken_ = true;
    return chunk;
}

void HttpExchange::putStatus(int32_t status, std::string_view reason) {
    status_ = status;
    reason_ = reason;
}

// Lines "Name: value" ended by CR LF; a continuation line joins the one before it.
void HttpExchange::putHeaderBlock(std::string_view block) {
    while (!block.empty()) {
        size_t end = block.find("\r\n");
        std::string_view line = block.substr(0, end);
        block = end == std::string_view::npos ? std::string_view() : block.substr(end + 2);
        if (line.empty()) continue;
        if ((line[0] == ' ' || line[0] == '\t') && !headers_.empty()) {
            while (!line.empty() && (line[0] == ' ' || line[0] == '\t')) line.remove_prefix(1);
            headers_.back().value.append(" ").append(line);
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && value[0] == ' ') value.remove_prefix(1);
        addHeader(line.substr(0, colon), value);
    }
}

void HttpExchange::putHeaderValue(std::string_view name, std::string_view value) {
    addHeader(name, value);
}

// The HTTP port frames the body itself (Content-Length or chunked): a length the
// application announces is not repeated.
void HttpExchange::addHeader(std::string_view name, std::string_view value) {
    if (strcasecmp(std::string(name).c_str(), "Content-Length") == 0) return;
    if (!committed_) headers_.push_back({std::string(name), std::string(value)});
}

void HttpExchange::setAttribute(std::string_view name, std::string_view value) {
    addHeader("X-Quon-Attribute", std::string(name) + "=" + printable(value));
}

void HttpExchange::putLoadValue(int32_t value) {
    addHeader("X-Quon-Load-Value", std::to_string(value));
}

void HttpExchange::putClusterSeq(int32_t value) {
    addHeader("X-Quon-Cluster-Seq", std::to_string(value));
}

void HttpExchange::writeHead(int64_t length) {
    std::string& out = out_.buffer();
    out.append("HTTP/1.1 ").append(std::to_string(status_)).append(" ").append(reason_);
    out.append("\r\n");
    for (const NameValue& h : headers_)
        out.append(h.name).append(": ").append(h.value).append("\r\n");
    if (length >= 0)
        out.append("Content-Length: ").append(std::to_string(length)).append("\r\n");
    else
        out.append("Transfer-Encoding: chunked\r\n");
    if (!keepAlive_) out.append("Connection: close\r\n");
    out.append("\r\n");
    committed_ = true;
}

void HttpExchange::clientBytes(std::string_view bytes) {
    if (broken()) return;
    if (!committed_ && bodyBytes_.size() + bytes.size() <= kStreamAt) {
        bodyBytes_.append(bytes);
        return;
    }
    if (!committed_) {
        writeHead(-1);
        if (!bodyBytes_.empty()) appendChunk(out_.buffer(), bodyBytes_);
        bodyBytes_.clear();
    }
    if (!bytes.empty()) appendChunk(out_.buffer(), bytes);
    out_.flushIfLarge();
}

void HttpExchange::finish() {
    if (broken()) return;
    if (committed_) {
        out_.buffer().append("0\r\n\r\n");
    } else {
        writeHead(static_cast<int64_t>(bodyBytes_.size()));
        if (head_.method != "HEAD") out_.buffer().append(bodyBytes_);
    }
    out_.flush();
}

void HttpExchange::busy() {
    status_ = 503;
    reason_ = "Service Unavailable";
    headers_ = {{"Content-Type", "text/plain"}};
    bodyBytes_ = "busy\n";
    finish();
}

void HttpExchange::sendUnknownCode() {
    // Four bytes of a code no HTTP client can read as a response.
    out_.buffer().append("\0\0\0\x63", 4);
    out_.flush();
}

void HttpExchange::sendTruncatedString() {
    keepAlive_ = false;
    headers_ = {{"Content-Type", "text/plain"}};
    writeHead(100);
    out_.buffer().append("cut short");
    out_.flush();
}

void HttpExchange::sendGarbage() {
    keepAlive_ = false;
    out_.buffer().append("GARBAGE\x01\xff\xfe\x00 is no response");
    out_.flush();
}

// The length goes out as the Content-Length, however wrong it is.
void HttpExchange::sendBadLength(int32_t length) {
    keepAlive_ = false;
    std::string& out = out_.buffer();
    out.append("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: ");
    out.append(std::to_string(length)).append("\r\nConnection: close\r\n\r\npartial");
    out_.flush();
    committed_ = true;
}

void HttpExchange::push() {
    if (broken()) return;
    if (!committed_) {
        writeHead(-1);
        if (!bodyBytes_.empty()) appendChunk(out_.buffer(), bodyBytes_);
        bodyBytes_.clear();
    }
    out_.flush();
}

void HttpExchange::rawBytes(std::string_view bytes) {
    push();
    out_.buffer().append(bytes);
    out_.flush();
}

void HttpExchange::hang() {
    out_.flush();
    in_.drainUntilClosed();
}

}  // namespace quon_backend
