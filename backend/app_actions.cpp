// The actions of the built-in application. Each writes its status, headers and body;
// the dispatcher ends the exchange.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <tuple>

#include "app_internal.h"
#include "sessions.h"
#include "server_context.h"

namespace quon_backend {
namespace {

constexpr int64_t kMaxSizeBytes = int64_t{1} << 30;
constexpr int64_t kMaxMessages = 1000000;
constexpr size_t kPatternChunk = 64 * 1024;
constexpr int32_t kDefaultWant = 8192;

std::string toText(int64_t n) { return std::to_string(n); }

std::string hex64(uint64_t n) {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, n);
    return text;
}

// Names listed in a parameter, separated by commas.
std::vector<std::string> listOf(const std::string* text) {
    std::vector<std::string> names;
    if (!text) return names;
    size_t start = 0;
    while (start <= text->size()) {
        size_t comma = text->find(',', start);
        if (comma == std::string::npos) comma = text->size();
        if (comma > start) names.push_back(text->substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

// Sends `length` bytes of the pattern starting at `offset` as one PUT_CLIENT message.
void sendPattern(Exchange& exchange, uint64_t offset, uint64_t length) {
    exchange.beginClient(length);
    char chunk[kPatternChunk];
    while (length > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, sizeof chunk));
        for (size_t i = 0; i < n; ++i) chunk[i] = patternByte(offset + i);
        exchange.clientBytes(std::string_view(chunk, n));
        offset += n;
        length -= n;
        if (exchange.broken()) return;
    }
}

}  // namespace

After actionEcho(const ActionCall& call) {
    const AppRequest& r = call.request;
    std::string body;
    appendLine(body, "action", "echo");
    appendLine(body, "server", call.context.server);
    appendLine(body, "rep_id", call.context.settings.repId);
    appendLine(body, "method", r.method);
    appendLine(body, "uri", r.uri);
    appendLine(body, "query", r.queryString);
    if (r.arg) appendLine(body, "arg", *r.arg);
    if (r.sessionId) appendLine(body, "session", *r.sessionId);
    for (const NameValue& v : r.cgi) appendLine(body, "cgi." + v.name, v.value);
    for (const NameValue& h : r.headers) appendLine(body, "header." + h.name, h.value);
    for (const NameValue& a : r.attributes) appendLine(body, "attribute." + a.name, a.value);
    for (const std::string& name : listOf(call.query.get("get"))) {
        std::optional<std::string> value = call.exchange.getHeader(name);
        if (!value) return After::Close;
        appendLine(body, "get." + name, *value);
    }
    startResponse(call, 200, "OK");
    sendText(call.exchange, body);
    return After::KeepOpen;
}

After actionHeader(const ActionCall& call) {
    const std::string* name = call.query.get("name");
    std::optional<std::string> value = call.exchange.getHeader(name ? *name : "");
    if (!value) return After::Close;
    startResponse(call, 200, "OK", "application/octet-stream");
    sendText(call.exchange, *value);
    return After::KeepOpen;
}

After actionRealPath(const ActionCall& call) {
    const std::string* uri = call.query.get("uri");
    std::optional<std::string> value = call.exchange.getRealPath(uri ? *uri : "");
    if (!value) return After::Close;
    startResponse(call, 200, "OK", "application/octet-stream");
    sendText(call.exchange, *value);
    return After::KeepOpen;
}

// Asks for the count it is given, whatever the connector's own cap: any from 1 up.
After actionBody(const ActionCall& call) {
    const std::string* wantText = call.query.get("want");
    const auto want =
        static_cast<int32_t>(wantText ? call.query.number("want", 0, 1, INT32_MAX) : kDefaultWant);
    if (want == 0) {
        startResponse(call, 400, "Bad Request");
        sendText(call.exchange, "bad want: " + *wantText + "\n");
        return After::KeepOpen;
    }
    uint64_t length = 0;
    uint64_t checksum = kFnvOffset;
    int64_t reads = 0;
    std::string bytes;
    BodyChunk chunk;
    do {
        chunk = call.exchange.readBody(want, bytes);
        if (!chunk.ok) return After::Close;
        ++reads;
        if (chunk.count > 0) {
            length += static_cast<uint64_t>(chunk.count);
            checksum = fnv1a64(checksum, bytes);
        }
    } while (chunk.count > 0);
    std::string text;
    appendLine(text, "length", toText(static_cast<int64_t>(length)));
    appendLine(text, "checksum", hex64(checksum));
    appendLine(text, "reads", toText(reads));
    if (chunk.count < 0) {
        appendLine(text, "failed", toText(chunk.count));
        startResponse(call, 400, "Bad Request");
    } else {
        startResponse(call, 200, "OK");
    }
    sendText(call.exchange, text);
    return After::KeepOpen;
}

After actionSize(const ActionCall& call) {
    const auto total = static_cast<uint64_t>(call.query.number("n", 0, 0, kMaxSizeBytes));
    const auto messages = static_cast<uint64_t>(call.query.number("m", 1, 1, kMaxMessages));
    // The length is known before the first byte, as a servlet container knows it for a
    // buffered answer: the web server need not chunk the body.
    startResponse(call, 200, "OK", "application/octet-stream", int64_t(total));
    // The first total % messages messages carry one byte more than the others.
    uint64_t offset = 0;
    for (uint64_t i = 0; i < messages && !call.exchange.broken(); ++i) {
        const uint64_t length = total / messages + (i < total % messages ? 1 : 0);
        sendPattern(call.exchange, offset, length);
        offset += length;
    }
    return After::KeepOpen;
}

After actionStatus(const ActionCall& call) {
    const auto code = static_cast<int32_t>(call.query.number("code", 200, 100, 999));
    const std::string* reason = call.query.get("reason");
    startResponse(call, code, reason ? *reason : "Status");
    sendText(call.exchange, "status: " + toText(code) + "\n");
    return After::KeepOpen;
}

After actionHeaders(const ActionCall& call) {
    startResponse(call, 200, "OK");
    call.exchange.putHeaderBlock(
        "X-Quon-Folded: first part\r\n"
        "\tsecond part\r\n"
        "Set-Cookie: quon_a=1; Path=/\r\n"
        "Set-Cookie: quon_b=2; Path=/\r\n");
    const std::string* value = call.query.get("value");
    call.exchange.putHeaderValue("X-Quon-Value", value ? *value : "by-header-value");
    sendText(call.exchange, "headers\n");
    return After::KeepOpen;
}

After actionSession(const ActionCall& call) {
    const Settings& s = call.context.settings;
    const std::string mine = replicationId4(s.repId);
    std::string id(call.request.sessionId ? sessionIdOf(*call.request.sessionId) : "");
    int64_t hits = id.empty() ? 0 : call.context.sessions.hit(id);
    std::string state = "known";
    if (hits == 0 && !id.empty() && id.compare(0, 4, mine) != 0) {
        // A buddy named in the id takes the session over when its holder is down, and
        // holds it from then on under an id of its own, as a server that kept a replica
        // of it does: the session stays here when its old holder comes back without it.
        const std::vector<std::string> buddies = sessionBuddies(id);
        if (std::find(buddies.begin(), buddies.end(), mine) != buddies.end()) {
            std::tie(id, hits) = call.context.sessions.adopt(id, s.repId, s.buddies);
            state = "adopted";
        }
    }
    if (hits == 0) {
        id = call.context.sessions.create(s.repId, s.buddies);
        hits = 1;
        state = "new";
    }
    startResponse(call, 200, "OK");
    if (state != "known")
        call.exchange.putHeaderBlock("Set-Cookie: JSESSIONID=" + id + "; Path=/\r\n");
    std::string text;
    appendLine(text, "session", id);
    appendLine(text, "state", state);
    appendLine(text, "hits", toText(hits));
    appendLine(text, "rep_id", s.repId);
    appendLine(text, "server", call.context.server);
    sendText(call.exchange, text);
    return After::KeepOpen;
}

After actionAttributes(const ActionCall& call) {
    std::string text;
    for (const NameValue& p : call.query.params()) {
        if (p.name == "fault" || p.name == "sleep") continue;
        call.exchange.setAttribute(p.name, p.value);
        appendLine(text, "set." + p.name, p.value);
    }
    startResponse(call, 200, "OK");
    sendText(call.exchange, text);
    return After::KeepOpen;
}

After actionLoad(const ActionCall& call) {
    const auto value = static_cast<int32_t>(call.query.number("value", 0, INT32_MIN, INT32_MAX));
    call.exchange.putLoadValue(value);
    startResponse(call, 200, "OK");
    sendText(call.exchange, "load: " + toText(value) + "\n");
    return After::KeepOpen;
}

After actionSeq(const ActionCall& call) {
    const auto value = static_cast<int32_t>(call.query.number("value", 0, INT32_MIN, INT32_MAX));
    call.exchange.putClusterSeq(value);
    startResponse(call, 200, "OK");
    sendText(call.exchange, "seq: " + toText(value) + "\n");
    return After::KeepOpen;
}

After actionSlow(const ActionCall& call) {
    const int64_t ms = call.query.number("ms", 0, 0, 600000);
    if (ms > 0 && !call.context.stopper.sleepFor(static_cast<int>(ms))) return After::Close;
    startResponse(call, 200, "OK");
    sendText(call.exchange, "slept: " + toText(ms) + "\n");
    return After::KeepOpen;
}

}  // namespace quon_backend
