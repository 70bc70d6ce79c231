// The test's side of the binary protocol, written from the message layouts: byte
// builders for hand-made messages, a socket whose every read has a time-out, and a
// decoder of the server's commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace backend_test {

// int32 in network order, and a string as its length and its bytes.
std::string be32(int32_t value);
std::string str(std::string_view text);
// One item of a request message: its code and one string.
std::string item(int32_t code, std::string_view value);
// The thirteen CGI-variable items in their fixed order.
std::string cgiItems(std::string_view method, std::string_view query);
// PROXY_SERVICE_40: code 39, the length of the items, the items.
std::string service40(std::string_view items);
// A whole request for `uri` with no attributes, headers or session: ends with item 31.
std::string simpleRequest(std::string_view uri, std::string_view query = "",
                          std::string_view method = "GET");

// A server command with its fields, decoded by its code's layout.
struct Command {
    int32_t code = 0;
    int32_t number = 0;  // status, count, sequence number or load value
    std::string first;   // the first string field
    std::string second;  // the second string field
};

class Client {
public:
    Client() = default;
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects to host:port; false when the connection is refused or fails.
    bool connect(const std::string& address);
    bool send(std::string_view bytes);
    // Exactly n bytes, or nothing on a close, an error or the time-out.
    std::optional<std::string> read(size_t n);
    std::optional<int32_t> readInt32();
    std::optional<std::string> readString();
    // One command with its payload.
    std::optional<Command> readCommand();
    // Commands up to and including PROXY_FINISH or PROXY_BUSY; stops at anything unreadable.
    std::vector<Command> readUntilEnd();
    // True when the server closes the connection (before the time-out) without sending
    // more bytes than `allowed`.
    bool closedByPeer(size_t allowed = 0);
    // True when nothing arrives within `ms` milliseconds and the connection stays open.
    bool silentFor(int ms);
    void close();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// A command list rendered as "code:number:first:second" entries, for readable failures.
std::string describe(const std::vector<Command>& commands);

// The body of a response: the bytes of its PROXY_PUT_CLIENT commands in order.
std::string bodyOf(const std::vector<Command>& commands);

// The value of a "key: value" line of an application text, or nullopt.
std::optional<std::string> lineValue(const std::string& text, const std::string& key);

}  // namespace backend_test
