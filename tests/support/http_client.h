// A small HTTP(S) client for tests (libcurl): status, every response header in order
// (repeated ones included) and the body, with a bounded time.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

struct HttpResponse {
    long status = 0;  // 0 when no response came
    std::string statusLine;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string error;  // curl's text when the transfer failed

    // First value of the header (case-insensitive name), or "" when absent.
    std::string header(const std::string& name) const;
    std::vector<std::string> headersNamed(const std::string& name) const;
};

struct HttpRequest {
    std::string url;
    std::string method = "GET";
    std::vector<std::string> headers;  // "Name: value"
    std::string body;                  // sent with POST
    long timeoutMs = 20000;
    size_t hangUpAfter = 0;  // the client hangs up once this many body bytes came (0: never)
    bool http2 = false;      // HTTP/2 without TLS, by prior knowledge (h2c)
    // The body goes out without a declared length: chunked over HTTP/1.1, with no
    // content-length over HTTP/2.
    bool unsized = false;
    // A client certificate and its key (PEM files) for a TLS handshake that asks for one.
    std::string clientCert, clientKey;
};

HttpResponse httpRequest(const HttpRequest& request);
HttpResponse httpGet(const std::string& url, const std::vector<std::string>& headers = {});
HttpResponse httpPost(const std::string& url, const std::string& body,
                      const std::vector<std::string>& headers = {});

// Writes bytes as they are (pipelined requests, say) to 127.0.0.1:port and returns all
// that comes back until the server closes the connection or timeoutMs of silence pass.
std::string rawExchange(int port, const std::string& bytes, int timeoutMs = 2000);

// One HTTP/1.1 response read off a byte stream by its own framing (Content-Length, else
// chunked, else to the end). complete is false when the stream ended inside it.
struct RawResponse {
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool complete = false;
    std::string header(const std::string& name) const;
};
// The responses of the stream in order; parsing stops at the first incomplete one.
std::vector<RawResponse> parseResponses(const std::string& stream);

// The "key=value" lines of a body, as the probe handler writes them; with ": ", the lines
// of a back-end answer.
std::map<std::string, std::string> keyValues(const std::string& body, const std::string& sep = "=");
