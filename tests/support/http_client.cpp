#include "http_client.h"

#include <sstream>
#include <curl/curl.h>
#include <strings.h>

namespace {
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
    if (request.method == "POST") {
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
