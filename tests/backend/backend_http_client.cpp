#include "backend_http_client.h"

#include <sys/socket.h>

namespace backend_test {

std::vector<std::string> HttpResponse::all(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& [n, v] : headers)
        if (n == name) values.push_back(v);
    return values;
}

std::string HttpResponse::header(const std::string& name) const {
    const std::vector<std::string> values = all(name);
    return values.empty() ? "" : values.front();
}

std::optional<std::string> HttpClient::bytes(size_t n) {
    while (buffer_.size() < n) {
        char chunk[16384];
        const ssize_t got = ::recv(socket_.fd(), chunk, sizeof chunk, 0);
        if (got <= 0) return std::nullopt;
        buffer_.append(chunk, static_cast<size_t>(got));
    }
    std::string out = buffer_.substr(0, n);
    buffer_.erase(0, n);
    return out;
}

std::optional<std::string> HttpClient::line() {
    for (;;) {
        const size_t end = buffer_.find("\r\n");
        if (end != std::string::npos) {
            std::string out = buffer_.substr(0, end);
            buffer_.erase(0, end + 2);
            return out;
        }
        char chunk[16384];
        const ssize_t got = ::recv(socket_.fd(), chunk, sizeof chunk, 0);
        if (got <= 0) return std::nullopt;
        buffer_.append(chunk, static_cast<size_t>(got));
    }
}

std::optional<HttpResponse> HttpClient::readResponse() {
    HttpResponse r;
    std::optional<std::string> status = line();
    if (!status || status->rfind("HTTP/1.1 ", 0) != 0) return std::nullopt;
    r.status = std::stoi(status->substr(9, 3));
    while (std::optional<std::string> h = line()) {
        if (h->empty()) break;
        const size_t colon = h->find(": ");
        if (colon == std::string::npos) return std::nullopt;
        r.headers.emplace_back(h->substr(0, colon), h->substr(colon + 2));
    }
    r.chunked = r.header("Transfer-Encoding") == "chunked";
    if (!r.chunked) {
        std::optional<std::string> body = bytes(std::stoul(r.header("Content-Length")));
        if (!body) return std::nullopt;
        r.body = *body;
        return r;
    }
    for (;;) {
        std::optional<std::string> size = line();
        if (!size) return std::nullopt;
        const size_t n = std::stoul(*size, nullptr, 16);
        std::optional<std::string> data = bytes(n + 2);
        if (!data) return std::nullopt;
        if (n == 0) return r;
        r.body += data->substr(0, n);
    }
}

std::optional<HttpResponse> HttpClient::request(const std::string& target,
                                                const std::string& method, const std::string& body,
                                                const std::string& extraHeaders) {
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: test\r\n" + extraHeaders;
    if (!body.empty() || method == "POST")
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    text += "\r\n" + body;
    if (!socket_.send(text)) return std::nullopt;
    return readResponse();
}

}  // namespace backend_test
