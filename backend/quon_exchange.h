// The application's operations over the binary protocol: commands are buffered and go
// out together when the server needs an answer or ends the exchange.
//
// What the server sends (int32 in network order; string = int32 length, bytes):
//   3  PROXY_GET_HEADER        string name        -> the client answers a bare string
//   4  PROXY_GET_REALPATH      string uri         -> the client answers a bare string
//   6  PROXY_PUT_STATUS        int32 status, string reason
//   7  PROXY_PUT_HEADER        string "Name: value\r\n"...
//   8  PROXY_PUT_CLIENT        string body bytes
//   9  PROXY_FINISH
//   14 PROXY_PUT_PROPS         string property text
//   15 PROXY_GET_DATA          int32 bytes wanted -> the client answers
//                                                    16 PROXY_POST_DATA int32 n, n bytes
//   18 PROXY_SET_ATTRIBUTE     string name, string value
//   37 PROXY_PUT_HEADER_VALUE  string name, string value
//   38 PROXY_BUSY
//   40 PROXY_PUT_CLUSTER_SEQ   int32
//   41 PROXY_PUT_LOAD_VALUE    int32
#pragma once

#include <cstdint>
#include <string>

#include "app.h"
#include "wire.h"

namespace quon_backend {

// A code no message of the protocol has, sent by the unknown-code fault.
inline constexpr int32_t kUnknownCode = 99;

class QuonExchange : public Exchange {
public:
    QuonExchange(SocketReader& in, SocketWriter& out, EventLog& log, std::string_view tag)
        : in_(in), out_(out), log_(log), tag_(tag) {}

    std::optional<std::string> getHeader(std::string_view name) override;
    std::optional<std::string> getRealPath(std::string_view uri) override;
    BodyChunk readBody(int32_t want, std::string& bytes) override;
    void putStatus(int32_t status, std::string_view reason) override;
    void putHeaderBlock(std::string_view block) override;
    void putHeaderValue(std::string_view name, std::string_view value) override;
    void beginClient(size_t length) override;
    void clientBytes(std::string_view bytes) override;
    void setAttribute(std::string_view name, std::string_view value) override;
    void putLoadValue(int32_t value) override;
    void putClusterSeq(int32_t value) override;
    void putProps(std::string_view text);
    void finish() override;
    void busy() override;
    void sendUnknownCode() override;
    void sendTruncatedString() override;
    void sendGarbage() override;
    void sendBadLength(int32_t length) override;
    void push() override;
    void rawBytes(std::string_view bytes) override;
    void hang() override;
    bool broken() const override { return broken_ || out_.failed(); }

    // The message whose string the close-mid-string fault cuts short.
    void setTruncatedCode(int32_t code) { truncatedCode_ = code; }

private:
    void command(int32_t code);
    void flush();
    std::optional<std::string> ask(int32_t code, const char* name, std::string_view what);
    void fail(const char* what, ReadStatus status);

    SocketReader& in_;
    SocketWriter& out_;
    EventLog& log_;
    std::string_view tag_;
    bool broken_ = false;
    int32_t truncatedCode_ = 0;
};

}  // namespace quon_backend
