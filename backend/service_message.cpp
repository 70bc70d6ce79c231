#include "service_message.h"

#include "core/proxy/wire_codes.h"
#include "wire.h"

namespace quon_backend {
namespace {

struct CgiItem {
    int32_t code;
    const char* name;
};

constexpr CgiItem kCgiItems[] = {
    {SERVICE_QUERY_STRING, "QUERY_STRING"},
    {SERVICE_REQUEST_METHOD, "REQUEST_METHOD"},
    {SERVICE_SCRIPT_NAME, "SCRIPT_NAME"},
    {SERVICE_PATH_INFO, "PATH_INFO"},
    {SERVICE_REMOTE_HOST, "REMOTE_HOST"},
    {SERVICE_REMOTE_ADDR, "REMOTE_ADDR"},
    {SERVICE_SERVER_NAME, "SERVER_NAME"},
    {SERVICE_SERVER_PORT, "SERVER_PORT"},
    {SERVICE_SERVER_PROTOCOL, "SERVER_PROTOCOL"},
    {SERVICE_PATH_TRANSLATED, "PATH_TRANSLATED"},
    {SERVICE_SERVER_PORT_SECURE, "SERVER_PORT_SECURE"},
    {SERVICE_REMOTE_USER, "REMOTE_USER"},
    {SERVICE_AUTH_TYPE, "AUTH_TYPE"},
};

// Walks the items with the code of the item at hand in `code`.
class ItemReader {
public:
    ItemReader(std::string_view items, std::string& error) : cursor_(items), error_(error) {}

    bool next() { return cursor_.readInt32(code) || fail("truncated item code"); }
    bool string(std::string& out) {
        return cursor_.readString(out) || fail("bad string in item " + std::to_string(code));
    }
    bool pair(NameValue& out) { return string(out.name) && string(out.value); }
    bool fail(const std::string& why) {
        if (error_.empty()) error_ = why;
        return false;
    }
    size_t remaining() const { return cursor_.remaining(); }

    int32_t code = 0;

private:
    ByteCursor cursor_;
    std::string& error_;
};

bool readCgiItems(ItemReader& in, AppRequest& request) {
    for (const CgiItem& item : kCgiItems) {
        if (in.code != item.code)
            return in.fail("expected item " + std::to_string(item.code) + " (" + item.name +
                           "), got " + std::to_string(in.code));
        NameValue variable{item.name, {}};
        if (!in.string(variable.value)) return false;
        if (item.code == SERVICE_QUERY_STRING) request.queryString = variable.value;
        if (item.code == SERVICE_REQUEST_METHOD) request.method = variable.value;
        request.cgi.push_back(std::move(variable));
        if (!in.next()) return false;
    }
    return true;
}

}  // namespace

bool parseServiceItems(std::string_view items, AppRequest& request, std::string& error) {
    ItemReader in(items, error);
    if (!in.next()) return false;
    while (in.code == SERVICE_ATTRIBUTE) {
        NameValue attribute;
        if (!in.pair(attribute) || !in.next()) return false;
        request.attributes.push_back(std::move(attribute));
    }
    if (!readCgiItems(in, request)) return false;
    if (in.code != SERVICE_URI)
        return in.fail("expected item 23 (URI), got " + std::to_string(in.code));
    if (!in.string(request.uri) || !in.next()) return false;
    if (in.code == SERVICE_ARG) {
        request.arg.emplace();
        if (!in.string(*request.arg) || !in.next()) return false;
    }
    while (in.code == SERVICE_HEADER) {
        NameValue header;
        if (!in.pair(header) || !in.next()) return false;
        request.headers.push_back(std::move(header));
    }
    if (in.code == SERVICE_SESSION_ID) {
        request.sessionId.emplace();
        if (!in.string(*request.sessionId) || !in.next()) return false;
    }
    if (in.code != SERVICE_END)
        return in.fail("expected item 31 (END), got " + std::to_string(in.code));
    if (in.remaining() != 0)
        return in.fail(std::to_string(in.remaining()) + " bytes after item 31 (END)");
    return true;
}

}  // namespace quon_backend
