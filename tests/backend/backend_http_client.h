// A small HTTP/1.1 client for the back-end's HTTP port: one request at a time on a
// keep-alive connection, responses framed by Content-Length or chunked coding.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "wire_client.h"

namespace backend_test {

struct HttpResponse {
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool chunked = false;

    // Every value of a header, in order (names compared exactly).
    std::vector<std::string> all(const std::string& name) const;
    std::string header(const std::string& name) const;
};

class HttpClient {
public:
    bool connect(const std::string& address) { return socket_.connect(address); }
    bool send(const std::string& bytes) { return socket_.send(bytes); }
    // Sends a GET (or the given method, with a body) and reads the response.
    std::optional<HttpResponse> request(const std::string& target,
                                        const std::string& method = "GET",
                                        const std::string& body = "",
                                        const std::string& extraHeaders = "");
    std::optional<HttpResponse> readResponse();
    Client& socket() { return socket_; }

private:
    std::optional<std::string> line();
    std::optional<std::string> bytes(size_t n);

    Client socket_;
    std::string buffer_;
};

}  // namespace backend_test
