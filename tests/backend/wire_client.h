// The test's side of the binary protocol, written from the message layouts: builders of
// the bytes each side sends, and a socket whose every read has a time-out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace backend_test {

// int32 in network order; a string as its length and its bytes; a request item.
inline std::string be32(int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    return {char(u >> 24), char(u >> 16), char(u >> 8), char(u)};
}
inline std::string str(const std::string& text) { return be32(int32_t(text.size())) + text; }
inline std::string item(int32_t code, const std::string& value) { return be32(code) + str(value); }

// Messages without a payload: PROXY_PING, PROXY_FINISH.
inline const std::string kPing = be32(12), kFinish = be32(9);

// PROXY_GET_PROPS: 00 00 00 0D, the set's name.
inline std::string getProps(const std::string& name) { return be32(13) + str(name); }
// The thirteen CGI-variable items in their fixed order.
inline std::string cgiItems(const std::string& method, const std::string& query) {
    return item(19, query) + item(22, method) + item(29, "/app") + item(28, "") + item(20, "") +
           item(21, "127.0.0.1") + item(24, "localhost") + item(25, "80") + item(26, "HTTP/1.1") +
           item(27, "") + item(33, "0") + item(34, "") + item(35, "");
}
// PROXY_SERVICE_40: 00 00 00 27, the length of the items, the items.
inline std::string service40(const std::string& items) {
    return be32(39) + be32(int32_t(items.size())) + items;
}
// A request for `uri` with no attributes, headers or session: ends with item 31.
inline std::string request(const std::string& uri, const std::string& query = "",
                           const std::string& method = "GET") {
    return service40(cgiItems(method, query) + item(23, uri) + be32(31));
}

// PROXY_PUT_STATUS and the PROXY_PUT_HEADER block that open every application answer.
inline std::string head(const std::string& server, int32_t status = 200,
                        const std::string& reason = "OK", const std::string& type = "text/plain") {
    return be32(6) + be32(status) + str(reason) + be32(7) +
           str("Content-Type: " + type + "\r\nX-Quon-Server: " + server + "\r\n");
}
// PROXY_PUT_CLIENT: 00 00 00 08, the bytes.
inline std::string putClient(const std::string& bytes) { return be32(8) + str(bytes); }

class Client {
public:
    Client() = default;
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connect(const std::string& address);
    bool send(const std::string& bytes);
    // Exactly n bytes, or nothing on a close, an error or the time-out.
    std::optional<std::string> read(size_t n);
    // True when the server closes within kWait without sending anything more.
    bool closedByPeer();
    // True when nothing arrives, not even a close, within `ms` milliseconds.
    bool silentFor(int ms);
    void close();

private:
    int fd_ = -1;
};

}  // namespace backend_test
