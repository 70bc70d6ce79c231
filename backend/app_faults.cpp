// Hostile answers that look like responses: what a broken or malicious server might send
// through a connector that trusts it. Each is played instead of the requested action.
#include <cstdint>
#include <string>

#include "app_internal.h"
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

}  // namespace

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
