#include "quon_exchange.h"

#include "core/proxy/wire_codes.h"
#include "event_log.h"
#include "server_context.h"

namespace quon_backend {
namespace {

// Log lines, after the connection's tag in brackets.
constexpr char kLogSendFailed[] = "[%.*s] send failed";
constexpr char kLogReadFailed[] = "[%.*s] %s%s: %s, closing";
constexpr char kLogAnswer[] = "[%.*s] answer to %s %s: %zu bytes \"%s\"";
constexpr char kLogNotPostData[] =
    "[%.*s] bad input: code %d where PROXY_POST_DATA was due, closing";
constexpr char kLogPostData[] = "[%.*s] PROXY_POST_DATA %d";
constexpr char kLogPostDataTooLarge[] =
    "[%.*s] bad input: PROXY_POST_DATA count %d above %d, closing";
constexpr char kLogNotAnswering[] = "[%.*s] not answering";
constexpr char kLogPeerGone[] = "[%.*s] peer closed while not answered";

}  // namespace

void QuonExchange::command(int32_t code) { putInt32(out_.buffer(), code); }

void QuonExchange::flush() {
    if (!broken() && !out_.flush()) log_.printf(kLogSendFailed, int(tag_.size()), tag_.data());
}

void QuonExchange::fail(const char* what, ReadStatus status) {
    broken_ = true;
    const char* kind = status == ReadStatus::BadLength ? "bad input: " : "";
    log_.printf(kLogReadFailed, int(tag_.size()), tag_.data(), kind, what, describe(status));
}

// Sends a question and reads the bare string that answers it.
std::optional<std::string> QuonExchange::ask(int32_t code, const char* name,
                                             std::string_view what) {
    if (broken()) return std::nullopt;
    command(code);
    putString(out_.buffer(), what);
    flush();
    if (broken()) return std::nullopt;
    std::string answer;
    const ReadStatus status = in_.readString(answer, kMaxPeerString, kAnswerTimeoutMs);
    if (status != ReadStatus::Ok) {
        fail(name, status);
        return std::nullopt;
    }
    log_.printf(kLogAnswer, int(tag_.size()), tag_.data(), name, printable(what).c_str(),
                answer.size(), printable(answer).c_str());
    return answer;
}

std::optional<std::string> QuonExchange::getHeader(std::string_view name) {
    return ask(PROXY_GET_HEADER, "PROXY_GET_HEADER", name);
}

std::optional<std::string> QuonExchange::getRealPath(std::string_view uri) {
    return ask(PROXY_GET_REALPATH, "PROXY_GET_REALPATH", uri);
}

BodyChunk QuonExchange::readBody(int32_t want, std::string& bytes) {
    BodyChunk chunk;
    if (broken()) return chunk;
    command(PROXY_GET_DATA);
    putInt32(out_.buffer(), want);
    flush();
    if (broken()) return chunk;
    auto failed = [&](const char* what, ReadStatus status) {
        fail(what, status);
        return BodyChunk{};
    };
    int32_t code = 0;
    ReadStatus status = in_.readInt32(code, kAnswerTimeoutMs);
    if (status != ReadStatus::Ok) return failed("PROXY_POST_DATA", status);
    if (code != PROXY_POST_DATA) {
        broken_ = true;
        log_.printf(kLogNotPostData, int(tag_.size()), tag_.data(), code);
        return chunk;
    }
    status = in_.readInt32(chunk.count, kAnswerTimeoutMs);
    if (status != ReadStatus::Ok) return failed("PROXY_POST_DATA", status);
    log_.printf(kLogPostData, int(tag_.size()), tag_.data(), chunk.count);
    if (chunk.count > PROXY_POST_DATA_MAX) {
        broken_ = true;
        log_.printf(kLogPostDataTooLarge, int(tag_.size()), tag_.data(), chunk.count,
                    PROXY_POST_DATA_MAX);
        return chunk;
    }
    bytes.resize(chunk.count > 0 ? static_cast<size_t>(chunk.count) : 0);
    status = in_.readExact(bytes.data(), bytes.size(), kAnswerTimeoutMs);
    if (status != ReadStatus::Ok) return failed("PROXY_POST_DATA bytes", status);
    chunk.ok = true;
    return chunk;
}

void QuonExchange::putStatus(int32_t status, std::string_view reason) {
    command(PROXY_PUT_STATUS);
    putInt32(out_.buffer(), status);
    putString(out_.buffer(), reason);
}

void QuonExchange::putHeaderBlock(std::string_view block) {
    command(PROXY_PUT_HEADER);
    putString(out_.buffer(), block);
}

void QuonExchange::putHeaderValue(std::string_view name, std::string_view value) {
    command(PROXY_PUT_HEADER_VALUE);
    putString(out_.buffer(), name);
    putString(out_.buffer(), value);
}

void QuonExchange::beginClient(size_t length) {
    command(PROXY_PUT_CLIENT);
    putInt32(out_.buffer(), static_cast<int32_t>(length));
}

void QuonExchange::clientBytes(std::string_view bytes) {
    out_.buffer().append(bytes);
    if (!broken() && !out_.flushIfLarge())
        log_.printf(kLogSendFailed, int(tag_.size()), tag_.data());
}

void QuonExchange::setAttribute(std::string_view name, std::string_view value) {
    command(PROXY_SET_ATTRIBUTE);
    putString(out_.buffer(), name);
    putString(out_.buffer(), value);
}

void QuonExchange::putLoadValue(int32_t value) {
    command(PROXY_PUT_LOAD_VALUE);
    putInt32(out_.buffer(), value);
}

void QuonExchange::putClusterSeq(int32_t value) {
    command(PROXY_PUT_CLUSTER_SEQ);
    putInt32(out_.buffer(), value);
}

void QuonExchange::putProps(std::string_view text) {
    command(PROXY_PUT_PROPS);
    putString(out_.buffer(), text);
}

void QuonExchange::finish() {
    command(PROXY_FINISH);
    flush();
}

void QuonExchange::busy() {
    command(PROXY_BUSY);
    flush();
}

void QuonExchange::sendUnknownCode() {
    command(kUnknownCode);
    flush();
}

void QuonExchange::sendTruncatedString() {
    if (truncatedCode_ == 0) {
        putStatus(200, "OK");
        putHeaderBlock("Content-Type: text/plain\r\nX-Quon-Cut: 1\r\n");
        command(PROXY_PUT_CLIENT);
    } else {
        command(truncatedCode_);
    }
    putInt32(out_.buffer(), 100);
    out_.buffer().append("cut short");
    flush();
}

// Text where a command code belongs: the first four bytes read as a code of 1195463234.
void QuonExchange::sendGarbage() {
    out_.buffer().append("GARBAGE\x01\xff\xfe\x00 is no command");
    flush();
}

void QuonExchange::sendBadLength(int32_t length) {
    putStatus(200, "OK");
    command(PROXY_PUT_HEADER);
    putInt32(out_.buffer(), length);
    out_.buffer().append("X-Quon-Partial: 1\r\n");
    flush();
}

void QuonExchange::push() { flush(); }

void QuonExchange::rawBytes(std::string_view bytes) {
    out_.buffer().append(bytes);
    flush();
}

void QuonExchange::hang() {
    flush();
    log_.printf(kLogNotAnswering, int(tag_.size()), tag_.data());
    in_.drainUntilClosed();
    log_.printf(kLogPeerGone, int(tag_.size()), tag_.data());
}

}  // namespace quon_backend
