#include "answer_parser.h"

#include "core/proxy/wire_codes.h"

namespace quon_bench {
namespace {

void put32(std::string& out, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    out += {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
            static_cast<char>(u)};
}

void putStr(std::string& out, const std::string& s) {
    put32(out, static_cast<int32_t>(s.size()));
    out += s;
}

// The int32 at `at`, if the buffer holds it.
bool get32(const std::string& in, size_t at, int32_t& v) {
    if (in.size() < at + 4) return false;
    const auto* b = reinterpret_cast<const unsigned char*>(in.data() + at);
    v = static_cast<int32_t>((uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) |
                             (uint32_t{b[2]} << 8) | uint32_t{b[3]});
    return true;
}

// Skips a string at `at`; false when it is not all there yet.
bool skipString(const std::string& in, size_t& at) {
    int32_t n = 0;
    if (!get32(in, at, n) || n < 0 || in.size() < at + 4 + static_cast<size_t>(n)) return false;
    at += 4 + static_cast<size_t>(n);
    return true;
}

}  // namespace

std::string ping() {
    std::string out;
    put32(out, PROXY_PING);
    return out;
}

std::string serviceRequest(const std::string& uri, const std::string& query) {
    const std::pair<int32_t, std::string> cgi[] = {{SERVICE_QUERY_STRING, query},
                                                   {SERVICE_REQUEST_METHOD, "GET"},
                                                   {SERVICE_SCRIPT_NAME, ""},
                                                   {SERVICE_PATH_INFO, ""},
                                                   {SERVICE_REMOTE_HOST, ""},
                                                   {SERVICE_REMOTE_ADDR, "127.0.0.1"},
                                                   {SERVICE_SERVER_NAME, "localhost"},
                                                   {SERVICE_SERVER_PORT, "80"},
                                                   {SERVICE_SERVER_PROTOCOL, "HTTP/1.1"},
                                                   {SERVICE_PATH_TRANSLATED, ""},
                                                   {SERVICE_SERVER_PORT_SECURE, "0"},
                                                   {SERVICE_REMOTE_USER, ""},
                                                   {SERVICE_AUTH_TYPE, ""}};
    std::string items;
    for (const auto& [code, value] : cgi) {
        put32(items, code);
        putStr(items, value);
    }
    put32(items, SERVICE_URI);
    putStr(items, uri);
    put32(items, SERVICE_HEADER);
    putStr(items, "Host");
    putStr(items, "localhost");
    put32(items, SERVICE_END);
    std::string message;
    put32(message, PROXY_SERVICE_40);
    put32(message, static_cast<int32_t>(items.size()));
    return message + items;
}

Progress consume(std::string& in, std::string& out) {
    Progress p;
    size_t at = 0;
    for (;;) {
        int32_t code = 0;
        size_t next = at + 4;
        if (!get32(in, at, code)) break;
        bool whole = true;
        switch (code) {
            case PROXY_GET_HEADER:
            case PROXY_GET_REALPATH:
                if ((whole = skipString(in, next))) putStr(out, "");
                break;
            case PROXY_GET_DATA:
                if ((whole = in.size() >= next + 4)) {
                    next += 4;
                    put32(out, PROXY_POST_DATA);
                    put32(out, 0);
                }
                break;
            case PROXY_PUT_HEADER:
            case PROXY_PUT_CLIENT:
            case PROXY_PUT_PROPS:
                whole = skipString(in, next);
                break;
            case PROXY_PUT_STATUS:
                next += 4;
                whole = in.size() >= next && skipString(in, next);
                break;
            case PROXY_SET_ATTRIBUTE:
            case PROXY_PUT_HEADER_VALUE:
                whole = skipString(in, next) && skipString(in, next);
                break;
            case PROXY_PUT_CLUSTER_SEQ:
            case PROXY_PUT_LOAD_VALUE:
                next += 4;
                whole = in.size() >= next;
                break;
            case PROXY_FINISH:
                ++p.finished;
                ++p.ends;
                break;
            case PROXY_BUSY:
                ++p.busy;
                ++p.ends;
                break;
            default:
                ++p.bad;
                in.clear();
                return p;
        }
        if (!whole) break;
        at = next;
    }
    in.erase(0, at);
    return p;
}

}  // namespace quon_bench
