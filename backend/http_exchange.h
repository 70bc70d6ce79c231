// The application's operations over HTTP/1.1. Status and headers wait for the body;
// a body that stays small goes out with a Content-Length, a large one is streamed with
// chunked coding once it passes the buffer. Protocol extras become response headers:
// attributes as X-Quon-Attribute, load values as X-Quon-Load-Value, sequence numbers as
// X-Quon-Cluster-Seq.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app.h"
#include "http_request.h"
#include "wire.h"

namespace quon_backend {

class HttpExchange : public Exchange {
public:
    HttpExchange(SocketReader& in, SocketWriter& out, const HttpRequestHead& head, HttpBody& body,
                 const std::vector<NameValue>& cgi, std::string_view docRoot, bool keepAlive)
        : in_(in),
          out_(out),
          head_(head),
          body_(body),
          cgi_(cgi),
          docRoot_(docRoot),
          keepAlive_(keepAlive) {}

    std::optional<std::string> getHeader(std::string_view name) override;
    std::optional<std::string> getRealPath(std::string_view uri) override;
    BodyChunk readBody(int32_t want, std::string& bytes) override;
    void putStatus(int32_t status, std::string_view reason) override;
    void putHeaderBlock(std::string_view block) override;
    void putHeaderValue(std::string_view name, std::string_view value) override;
    void beginClient(size_t length) override {}
    void clientBytes(std::string_view bytes) override;
    void setAttribute(std::string_view name, std::string_view value) override;
    void putLoadValue(int32_t value) override;
    void putClusterSeq(int32_t value) override;
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

private:
    void addHeader(std::string_view name, std::string_view value);
    // Writes the status line and headers; with `length` < 0 the body is chunked.
    void writeHead(int64_t length);

    SocketReader& in_;
    SocketWriter& out_;
    const HttpRequestHead& head_;
    HttpBody& body_;
    const std::vector<NameValue>& cgi_;
    std::string_view docRoot_;
    bool keepAlive_;
    bool broken_ = false;
    bool committed_ = false;
    int32_t status_ = 200;
    std::string reason_ = "OK";
    std::vector<NameValue> headers_;
    std::string bodyBytes_;
};

}  // namespace quon_backend
