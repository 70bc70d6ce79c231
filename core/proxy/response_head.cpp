#include "response_head.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <strings.h>

#include "strutil.h"

namespace {
constexpr const char* kBadStatus =
    "protocol error: %s sent status %d, which cannot end a response (200-599)";
constexpr const char* kTooManyTokens = "protocol error: %s named more than %d headers in Connection";
constexpr const char* kHeaderDropped =
    "addHeader: header %.*s from the server dropped: CR or LF in it";
constexpr const char* kBadLength = "%s sent Content-Length \"%.40s\", not a length: dropped";
constexpr const char* kBeyondLength =
    "%s sent more body than its Content-Length of %lld bytes: the rest is not passed on";
constexpr const char* kShortBody =
    "%s ended the body after %lld of its Content-Length of %lld bytes: the client's connection "
    "is closed";
constexpr const char* kNoBody = "%s sent a body where none may follow: not passed on";
// A server has no reason to name more than a few headers in Connection.
constexpr int kMostTokens = 16;

// Headers that describe one connection, never the response: passing them on would let
// the server decide how the client's connection is framed or kept.
constexpr std::string_view kHopByHop[] = {"connection", "keep-alive", "transfer-encoding",
                                         "te",         "trailer",    "upgrade"};
constexpr std::string_view kProxyPrefix = "proxy-";

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool hopByHop(std::string_view name) {
    if (name.size() >= kProxyPrefix.size() && sameName(name.substr(0, 6), kProxyPrefix))
        return true;
    return std::any_of(std::begin(kHopByHop), std::end(kHopByHop),
                       [&](std::string_view h) { return sameName(name, h); });
}

// The names a Connection value lists, comma-separated, blanks around them ignored.
struct Tokens {
    std::string_view names[kMostTokens];
    int count = 0;
    bool overflow = false;

    void add(std::string_view value) {
        while (!value.empty()) {
            size_t comma = value.find(',');
            std::string_view token = value.substr(0, comma);
            value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
            size_t first = token.find_first_not_of(" \t");
            if (first == std::string_view::npos) continue;
            token = token.substr(first, token.find_last_not_of(" \t") - first + 1);
            if (count == kMostTokens) {
                overflow = true;
                return;
            }
            names[count++] = token;
        }
    }
    bool lists(std::string_view name) const {
        return std::any_of(names, names + count, [&](std::string_view t) { return sameName(t, name); });
    }
};

// Joins a folded value (CR LF then blanks) into one line, in place. False when a CR or
// LF remains that is no fold: such a value would split the response.
bool unfold(char* value) {
    char* out = value;
    for (const char* in = value; *in; ++in) {
        if (in[0] == '\r' && in[1] == '\n' && (in[2] == ' ' || in[2] == '\t')) {
            *out++ = ' ';
            for (in += 2; in[1] == ' ' || in[1] == '\t';) ++in;
        } else if (*in == '\r' || *in == '\n') {
            return false;
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
    return true;
}
}  // namespace

void ResponseHead::setStatus(int32_t status, const char* reason) {
    status_ = status;
    size_t n = 0;
    while (n < size_t(QN_MAX_REASON) && reason[n] && static_cast<unsigned char>(reason[n]) >= 0x20 &&
           reason[n] != 0x7f)
        ++n;
    memcpy(reason_, reason, n);
    reason_[n] = '\0';
}

bool ResponseHead::addHeader(const char* name, const char* value) {
    const size_t nameLength = strlen(name), valueLength = strlen(value);
    char* pairs = headers_.reserve(used_ + int(nameLength + valueLength) + 2, used_);
    if (!pairs) return false;
    memcpy(pairs + used_, name, nameLength + 1);
    used_ += int(nameLength) + 1;
    memcpy(pairs + used_, value, valueLength + 1);
    used_ += int(valueLength) + 1;
    return true;
}

bool ResponseHead::commit() {
    if (status_ != 0 && (status_ < 200 || status_ > 599)) {
        req_->errorCode = EQUON_OUT_OF_SYNC;
        req_->logAt(req_, QN_LOG_ERROR, kBadStatus, proxy_->name, status_);
        return false;
    }
    if (status_ == 204 || status_ == 304) bodyAllowed_ = false;
    char* pairs = used_ > 0 ? headers_.reserve(used_, used_) : nullptr;  // held already
    Tokens tokens;
    for (int at = 0; at < used_;) {
        const char* name = pairs + at;
        const char* value = name + strlen(name) + 1;
        if (sameName(name, "connection")) tokens.add(value);
        at = int(value - pairs) + int(strlen(value)) + 1;
    }
    if (tokens.overflow) {
        req_->errorCode = EQUON_OUT_OF_SYNC;
        req_->logAt(req_, QN_LOG_ERROR, kTooManyTokens, proxy_->name, kMostTokens);
        return false;
    }
    for (int at = 0; at < used_;) {
        char* name = pairs + at;
        char* value = name + strlen(name) + 1;
        at = int(value - pairs) + int(strlen(value)) + 1;
        if (hopByHop(name) || tokens.lists(name)) continue;
        if (strpbrk(name, "\r\n") || !unfold(value)) {
            req_->logAt(req_, QN_LOG_WARN, kHeaderDropped, int(strcspn(name, "\r\n")), name);
            continue;
        }
        if (sameName(name, "content-length")) {
            const int64_t length = parseContentLength(value);
            if (length < 0) {
                req_->logAt(req_, QN_LOG_WARN, kBadLength, proxy_->name, value);
                continue;
            }
            declared_ = length;
        }
        req_->addHeader(req_, name, value);
    }
    // After the headers: a status that the web server turns into a redirect sets its own.
    if (status_ != 0) req_->setStatus(req_, status_, reason_);
    committed_ = true;
    req_->responseStarted = 1;
    return true;
}

int ResponseHead::admit(int length) {
    if (!bodyAllowed_) {
        if (length > 0 && !cutLogged_) req_->trace(req_, kNoBody, proxy_->name);
        cutLogged_ = cutLogged_ || length > 0;
        return 0;
    }
    if (declared_ < 0) {
        written_ += length;
        return length;
    }
    const int pass = int(std::min<int64_t>(length, declared_ - written_));
    if (pass < length && !cutLogged_) {
        req_->logAt(req_, QN_LOG_WARN, kBeyondLength, proxy_->name,
                    static_cast<long long>(declared_));
        cutLogged_ = true;
    }
    written_ += pass;
    return pass;
}

bool ResponseHead::bodyComplete() {
    if (!bodyAllowed_ || declared_ < 0 || written_ >= declared_) return true;
    req_->logAt(req_, QN_LOG_ERROR, kShortBody, proxy_->name, static_cast<long long>(written_),
                static_cast<long long>(declared_));
    return false;
}
