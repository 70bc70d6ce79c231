// HTTP/1.1 requests as the back-end's second port reads them: the request line and
// headers, and a body framed by Content-Length or chunked transfer coding.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app.h"
#include "wire.h"

namespace quon_backend {

struct HttpRequestHead {
    std::string method;
    std::string target;
    std::string version;
    std::vector<NameValue> headers;

    // The first header of that name, compared without regard to case; null if absent.
    const std::string* header(std::string_view name) const;
    bool keepAlive() const;
};

enum class HeadStatus { Ok, Closed, TimedOut, Bad };

// Reads one request head; Bad (with a reason in `error`) for a malformed or oversized one.
HeadStatus readRequestHead(SocketReader& in, HttpRequestHead& head, int idleMs, std::string& error);

// The request body, read on demand.
class HttpBody {
public:
    // False (with a reason) when the framing headers cannot be understood.
    bool start(const HttpRequestHead& head, std::string& error);
    // Up to `want` bytes; a count of 0 at the end; ok false on a broken or bad body.
    BodyChunk read(SocketReader& in, int32_t want, std::string& bytes);
    // Reads what the application left unread; false when that is not possible.
    bool drain(SocketReader& in);

private:
    bool nextChunkSize(SocketReader& in);

    bool chunked_ = false;
    bool ended_ = true;
    uint64_t left_ = 0;  // bytes left of the body or of the current chunk
};

}  // namespace quon_backend
