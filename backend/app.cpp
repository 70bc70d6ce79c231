// Dispatch of the built-in application: faults and delays common to every action, then
// the action named by the last segment of the URI.
#include <charconv>
#include <climits>

#include "app_internal.h"
#include "event_log.h"
#include "server_context.h"

namespace quon_backend {
namespace {

constexpr int64_t kMaxSleepMs = 600000;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

struct ActionEntry {
    std::string_view name;
    After (*run)(const ActionCall&);
};

constexpr ActionEntry kActions[] = {
    {"echo", actionEcho},       {"header", actionHeader},   {"realpath", actionRealPath},
    {"body", actionBody},       {"size", actionSize},       {"status", actionStatus},
    {"headers", actionHeaders}, {"session", actionSession}, {"attr", actionAttributes},
    {"load", actionLoad},       {"seq", actionSeq},         {"slow", actionSlow},
    {"raw", actionRaw},
};

// The fault for this exchange: the request's own, else the server-wide one.
bool chooseFault(const ActionCall& call, Fault& fault) {
    if (const std::string* name = call.query.get("fault")) {
        std::optional<Fault> parsed = parseFault(*name);
        if (!parsed || *parsed == Fault::Refuse) return false;
        fault = *parsed;
        return true;
    }
    const Settings& s = call.context.settings;
    fault = Fault::None;
    if (s.fault != Fault::None && s.fault != Fault::Refuse && call.context.store.takeFault(false))
        fault = s.fault;
    return true;
}

}  // namespace

Query::Query(std::string_view text) {
    while (!text.empty()) {
        const size_t amp = text.find('&');
        const std::string_view pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
        if (pair.empty()) continue;
        const size_t eq = pair.find('=');
        if (eq == std::string_view::npos)
            params_.push_back({urlDecode(pair), ""});
        else
            params_.push_back({urlDecode(pair.substr(0, eq)), urlDecode(pair.substr(eq + 1))});
    }
}

const std::string* Query::get(std::string_view name) const {
    for (const NameValue& p : params_)
        if (p.name == name) return &p.value;
    return nullptr;
}

int64_t Query::number(std::string_view name, int64_t fallback, int64_t least, int64_t most) const {
    const std::string* text = get(name);
    if (!text) return fallback;
    int64_t n = 0;
    auto [ptr, ec] = std::from_chars(text->data(), text->data() + text->size(), n);
    if (ec != std::errc() || ptr != text->data() + text->size() || n < least || n > most)
        return fallback;
    return n;
}

std::string urlDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out.push_back(' ');
        } else if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
                   hexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string_view actionOf(std::string_view uri) {
    uri = uri.substr(0, uri.find_first_of("?;"));
    const size_t slash = uri.rfind('/');
    return slash == std::string_view::npos ? uri : uri.substr(slash + 1);
}

uint64_t fnv1a64(uint64_t hash, std::string_view bytes) {
    for (char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

void startResponse(const ActionCall& call, int32_t status, std::string_view reason,
                   std::string_view contentType, int64_t contentLength) {
    call.exchange.putStatus(status, reason);
    std::string block;
    block.append("Content-Type: ").append(contentType).append("\r\n");
    if (contentLength >= 0)
        block.append("Content-Length: ").append(std::to_string(contentLength)).append("\r\n");
    block.append("X-Quon-Server: ").append(call.context.server).append("\r\n");
    call.exchange.putHeaderBlock(block);
}

void sendText(Exchange& exchange, std::string_view text) {
    exchange.beginClient(text.size());
    exchange.clientBytes(text);
}

void appendLine(std::string& out, std::string_view key, std::string_view value) {
    out.append(key).append(": ").append(printable(value, value.size())).push_back('\n');
}

bool injectFault(Fault fault, Exchange& exchange, After& after) {
    switch (fault) {
        case Fault::Busy:
            exchange.busy();
            after = After::KeepOpen;
            return true;
        case Fault::UnknownCode:
            exchange.sendUnknownCode();
            after = After::Close;
            return true;
        case Fault::CloseMidString:
            exchange.sendTruncatedString();
            after = After::Close;
            return true;
        case Fault::CloseBeforeCode:
            after = After::Close;
            return true;
        case Fault::NeverAnswer:
            exchange.hang();
            after = After::Close;
            return true;
        // The connector must end these exchanges itself: the server waits for it.
        case Fault::Garbage:
            exchange.sendGarbage();
            exchange.hang();
            after = After::Close;
            return true;
        case Fault::HugeLength:
        case Fault::NegativeLength:
            exchange.sendBadLength(fault == Fault::HugeLength ? INT32_MAX : -5);
            exchange.hang();
            after = After::Close;
            return true;
        default:
            return false;
    }
}

After serveRequest(const AppRequest& request, Exchange& exchange, const AppContext& context) {
    const Query query(request.queryString);
    const ActionCall call{request, query, exchange, context};
    Fault fault = Fault::None;
    if (!chooseFault(call, fault)) {
        startResponse(call, 400, "Bad Request");
        sendText(exchange, "unknown fault: " + *query.get("fault") + "\n");
        exchange.finish();
        return exchange.broken() ? After::Close : After::KeepOpen;
    }
    if (fault != Fault::None)
        context.log.printf("[%.*s] fault %s", int(context.tag.size()), context.tag.data(),
                           faultName(fault));
    After after = After::KeepOpen;
    if (fault != Fault::None) readBeforeFault(call);
    if (injectFault(fault, exchange, after)) return after;

    const int64_t sleepMs = query.number("sleep", 0, 0, kMaxSleepMs);
    if (sleepMs > 0 && !context.stopper.sleepFor(static_cast<int>(sleepMs))) return After::Close;
    if (context.settings.clusterSeq) exchange.putClusterSeq(*context.settings.clusterSeq);
    if (context.settings.loadValue) exchange.putLoadValue(*context.settings.loadValue);

    After (*run)(const ActionCall&) = actionEcho;
    const std::string_view name = actionOf(request.uri);
    for (const ActionEntry& entry : kActions)
        if (entry.name == name) run = entry.run;
    if (!playResponseFault(fault, call, after)) after = run(call);
    if (after == After::Finished) return After::KeepOpen;
    // An action that gives up (stop, broken connection) leaves the exchange unfinished.
    if (after == After::Close || exchange.broken()) return After::Close;
    exchange.finish();
    return exchange.broken() || fault == Fault::CloseIdle ? After::Close : After::KeepOpen;
}

}  // namespace quon_backend
