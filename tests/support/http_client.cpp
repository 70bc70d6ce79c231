#include "http_client.h"

#include <algorithm>
#include <cstring>

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The body of an unsized upload, handed out as curl asks for it.
struct BodySource {
    const std::string* body;
    size_t sent;
};

size_t giveBody(char* buffer, size_t size, size_t count, void* source) {
    auto* s = static_cast<BodySource*>(source);
    const size_t n = std::min(size * count, s->body->size() - s->sent);
    memcpy(buffer, s->body->data() + s->sent, n);
    s->sent += n;
    return n;
}

struct BodySink {
    std::string* body;
    size_t hangUpAfter;
};

// Returning less than was given makes curl give up and close the connection.
size_t collectBody(char* data, size_t size, size_t count, void* target) {
    auto* sink = static_cast<BodySink*>(target);
    sink->body->append(data, size * count);
    return sink->hangUpAfter && sink->body->size() >= sink->hangUpAfter ? 0 : size * count;
}

std::string trim(const std::string& text) {
    const size_t start = text.find_first_not_of(" \r\n"), end = text.find_last_not_of(" \r\n");
    return start == std::string::npos ? "" : text.substr(start, end - start + 1);
}

// Every header line of the last response (a 100 Continue starts over).
size_t collectHeader(char* data, size_t size, size_t count, void* target) {
    auto* response = static_cast<HttpResponse*>(target);
    std::string line = trim(std::string(data, size * count));
    if (line.rfind("HTTP/", 0) == 0) {
        response->statusLine = line;
        response->headers.clear();
    } else if (size_t colon = line.find(':'); colon != std::string::npos) {
        response->headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    }
    return size * count;
}
}  // namespace

std::string HttpResponse::header(const std::string& name) const {
    std::vector<std::string> values = headersNamed(name);
    return values.empty() ? "" : values[0];
}

std::vector<std::string> HttpResponse::headersNamed(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& [key, value] : headers)
        if (strcasecmp(key.c_str(), name.c_str()) == 0) values.push_back(value);
    return values;
}

HttpResponse httpRequest(const HttpRequest& request) {
    [[maybe_unused]] static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
    HttpResponse response;
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    for (const std::string& header : request.headers)
        headers = curl_slist_append(headers, header.c_str());
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");           // tests only ever talk to loopback
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);  // with the test's own certificates
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, request.timeoutMs);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);  // dot segments go out as written
    if (!request.clientCert.empty()) {
        curl_easy_setopt(curl, CURLOPT_SSLCERT, request.clientCert.c_str());
        curl_easy_setopt(curl, CURLOPT_SSLKEY, request.clientKey.c_str());
    }
    if (request.http2)
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE));
    BodySource source{&request.body, 0};
    if (request.method == "POST" && request.unsized) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, giveBody);
        curl_easy_setopt(curl, CURLOPT_READDATA, &source);
    } else if (request.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
    BodySink sink{&response.body, request.hangUpAfter};
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response);
    CURLcode result = curl_easy_perform(curl);
    if (result == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    else
        response.error = curl_easy_strerror(result);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return response;
}

HttpResponse httpGet(const std::string& url, const std::vector<std::string>& headers) {
    return httpRequest({.url = url, .headers = headers});
}

HttpResponse httpPost(const std::string& url, const std::string& body,
                      const std::vector<std::string>& headers) {
    return httpRequest({.url = url, .method = "POST", .headers = headers, .body = body});
}

std::map<std::string, std::string> keyValues(const std::string& body, const std::string& sep) {
    std::map<std::string, std::string> values;
    std::istringstream lines(body);
    for (std::string line; std::getline(lines, line);)
        if (size_t at = line.find(sep); at != std::string::npos)
            values[line.substr(0, at)] = line.substr(at + sep.size());
    return values;
}

std::string rawExchange(int port, const std::string& bytes, int timeoutMs) {
    std::string answer;
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sock < 0 || connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(sock, bytes.data(), bytes.size(), MSG_NOSIGNAL) != ssize_t(bytes.size())) {
        if (sock >= 0) close(sock);
        return answer;
    }
    pollfd entry{sock, POLLIN, 0};
    char buffer[16384];
    while (poll(&entry, 1, timeoutMs) > 0) {
        const ssize_t n = recv(sock, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, size_t(n));
    }
    close(sock);
    return answer;
}

std::string RawResponse::header(const std::string& name) const {
    return HttpResponse{.headers = headers}.header(name);
}

namespace {
// The body after the head at `at`, by the response's framing; npos when it is cut.
size_t readBody(const std::string& stream, size_t at, RawResponse& r) {
    if (const std::string length = r.header("Content-Length"); !length.empty()) {
        const size_t n = std::stoul(length);
        r.body = stream.substr(at, n);
        return stream.size() - at >= n ? at + n : std::string::npos;
    }
    if (strcasecmp(r.header("Transfer-Encoding").c_str(), "chunked") != 0) {
        r.body = stream.substr(at);
        return std::string::npos;  // ends with the connection: never known complete
    }
    for (;;) {
        const size_t lineEnd = stream.find("\r\n", at);
        if (lineEnd == std::string::npos) return std::string::npos;
        const size_t n = std::stoul(stream.substr(at, lineEnd - at), nullptr, 16);
        at = lineEnd + 2;
        if (n == 0) return stream.compare(at, 2, "\r\n") == 0 ? at + 2 : std::string::npos;
        if (stream.size() - at < n + 2) {
            r.body += stream.substr(at);
            return std::string::npos;
        }
        r.body += stream.substr(at, n);
        at += n + 2;
    }
}
}  // namespace

std::vector<RawResponse> parseResponses(const std::string& stream) {
    std::vector<RawResponse> responses;
    for (size_t at = 0; at < stream.size();) {
        RawResponse r;
        const size_t headEnd = stream.find("\r\n\r\n", at);
        if (stream.compare(at, 5, "HTTP/") != 0 || headEnd == std::string::npos) break;
        std::istringstream head(stream.substr(at, headEnd - at));
        std::string line;
        std::getline(head, line);
        r.status = std::atoi(line.c_str() + line.find(' ') + 1);
        while (std::getline(head, line))
            if (size_t colon = line.find(':'); colon != std::string::npos)
                r.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
        at = readBody(stream, headEnd + 4, r);
        r.complete = at != std::string::npos;
        responses.push_back(r);
        if (!r.complete) break;
    }
    return responses;
}
