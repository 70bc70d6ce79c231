// Hostile answers that look like responses: what a broken or malicious server might send
// through a connector that trusts it. Each is played instead of the requested action.
#include <algorithm>
#include <cstdint>
#include <string>

#include "app_internal.h"
#include "event_log.h"
#include "server_context.h"

namespace quon_backend {
namespace {

constexpr int64_t kDefaultBadStatus = 1000;
constexpr int64_t kDefaultPauseMs = 1000;
constexpr int64_t kMaxPauseMs = 600000;
// Each block of the endless stream, and where the stream ends when nobody stops it
// (so that a connector without a bound costs the test memory, not the machine).
constexpr size_t kEndlessBlock = 64 * 1024;
constexpr size_t kEndlessCap = 32 * 1024 * 1024;
// Bounds of the raw action's repeats and lengths.
constexpr int64_t kMaxRawRepeat = 100000;
constexpr int64_t kMaxRawBytes = 16 * 1024 * 1024;

After badStatus(const ActionCall& call) {
    const int64_t code = call.query.number("code", kDefaultBadStatus, INT32_MIN, INT32_MAX);
    startResponse(call, static_cast<int32_t>(code), "Bad Status");
    sendText(call.exchange, "bad status\n");
    return After::KeepOpen;
}

// "in=name" puts the CR LF into the header's name instead of its value.
After crlfHeader(const ActionCall& call) {
    startResponse(call, 200, "OK");
    const std::string* in = call.query.get("in");
    if (in && *in == "name")
        call.exchange.putHeaderValue("X-Quon-Split\r\nX-Quon-Injected", "1");
    else
        call.exchange.putHeaderValue("X-Quon-Split", "a\r\nX-Quon-Injected: 1");
    sendText(call.exchange, "crlf\n");
    return After::KeepOpen;
}

After endlessHeaders(const ActionCall& call) {
    startResponse(call, 200, "OK");
    for (size_t sent = 0, n = 0; sent < kEndlessCap && !call.exchange.broken(); ++n) {
        std::string block = "X-Quon-Endless-" + std::to_string(n) + ": ";
        block.append(kEndlessBlock - block.size() - 2, 'h').append("\r\n");
        call.exchange.putHeaderBlock(block);
        call.exchange.push();
        sent += block.size();
    }
    sendText(call.exchange, "endless\n");
    return After::KeepOpen;
}

// The connection stays open and silent between the pieces.
After pauseMidResponse(const ActionCall& call) {
    startResponse(call, 200, "OK");
    sendText(call.exchange, "first\n");
    call.exchange.push();
    const int64_t ms = call.query.number("ms", kDefaultPauseMs, 0, kMaxPauseMs);
    if (!call.context.stopper.sleepFor(static_cast<int>(ms))) return After::Close;
    sendText(call.exchange, "second\n");
    return After::KeepOpen;
}

std::string filled(char c, int64_t length) { return std::string(size_t(length), c); }

}  // namespace

// Exactly what the parameters say, in this order, however wrong: the status (reasons=K
// times, the reason padded to reasonlen), K attributes of attrlen bytes, K real-path
// questions for paths of pathlen bytes, each h=Name:value as a header, each b=text as a
// body message (bn=N: one of N bytes), then PROXY_FINISH (or, with end=close, the connection's close), then
// late=text as bytes after the end, latems later.
After actionRaw(const ActionCall& call) {
    const Query& q = call.query;
    Exchange& x = call.exchange;
    const std::string* reasonText = q.get("reason");
    std::string reason = reasonText ? *reasonText : "OK";
    reason.resize(size_t(std::max<int64_t>(int64_t(reason.size()),
                                           q.number("reasonlen", 0, 0, kMaxRawBytes))),
                  'r');
    for (int64_t k = q.number("reasons", 1, 0, kMaxRawRepeat); k > 0 && !x.broken(); --k)
        x.putStatus(int32_t(q.number("status", 200, INT32_MIN, INT32_MAX)), reason);
    const int64_t attrLength = q.number("attrlen", 1, 0, kMaxRawBytes);
    for (int64_t k = q.number("attrs", 0, 0, kMaxRawRepeat); k > 0 && !x.broken(); --k)
        x.setAttribute("a" + std::to_string(k), filled('v', attrLength));
    const std::string path = "/" + filled('p', q.number("pathlen", 1, 0, kMaxRawBytes));
    for (int64_t k = q.number("realpaths", 0, 0, kMaxRawRepeat); k > 0; --k)
        if (!x.getRealPath(path)) return After::Close;
    for (const NameValue& p : q.params()) {
        const size_t colon = p.value.find(':');
        if (p.name == "h" && colon != std::string::npos) {
            std::string_view value = std::string_view(p.value).substr(colon + 1);
            value.remove_prefix(std::min(value.find_first_not_of(' '), value.size()));
            x.putHeaderValue(std::string_view(p.value).substr(0, colon), value);
        } else if (p.name == "b") {
            sendText(x, p.value);
        } else if (p.name == "bn") {
            sendText(x, filled('x', q.number("bn", 0, 0, kMaxRawBytes)));
        }
    }
    const std::string* end = q.get("end");
    if (end && *end == "close") {
        x.push();
        return After::Close;
    }
    x.finish();
    if (const std::string* late = q.get("late")) {
        if (!call.context.stopper.sleepFor(int(q.number("latems", 50, 0, kMaxPauseMs))))
            return After::Close;
        x.rawBytes(*late);
        call.context.log.printf("[%.*s] late bytes sent", int(call.context.tag.size()),
                                call.context.tag.data());
    }
    return x.broken() ? After::Close : After::Finished;
}

void readBeforeFault(const ActionCall& call) {
    const int64_t want = call.query.number("fault-read", 0, 0, INT32_MAX);
    std::string bytes;
    if (want > 0) call.exchange.readBody(static_cast<int32_t>(want), bytes);
}

bool playResponseFault(Fault fault, const ActionCall& call, After& after) {
    switch (fault) {
        case Fault::BadStatus:
            after = badStatus(call);
            return true;
        case Fault::CrlfHeader:
            after = crlfHeader(call);
            return true;
        case Fault::EndlessHeaders:
            after = endlessHeaders(call);
            return true;
        case Fault::PauseMidResponse:
            after = pauseMidResponse(call);
            return true;
        default:
            return false;
    }
}

}  // namespace quon_backend
