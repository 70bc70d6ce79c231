// The test adapter: a quon_request filled by a fake web server. Request headers and CGI
// variables come from tables, the request body from a buffer; status, response headers
// and every piece of the response body are recorded, and per-call memory is counted
// so that tests see what an exchange leaves allocated.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "recording_request.h"

class FakeWebServer {
public:
    explicit FakeWebServer(int traceMask = -1);
    FakeWebServer(const FakeWebServer&) = delete;
    FakeWebServer& operator=(const FakeWebServer&) = delete;

    quon_request* get() { return recorder.get(); }
    quon_request* operator->() { return recorder.get(); }

    // Call after filling the request side: builds the header arrays, the URI and the
    // read position of the body, as the handler hook does before dispatch.
    void prepare();
    // Releases the header arrays and attributes, as the handler hook does afterwards.
    void finish();

    // Blocks from the per-call allocator that are not released yet.
    int liveBlocks() const { return liveBlocks_; }

    RecordingRequest recorder;  // the slots find the server through its owner field

    // Request side.
    std::string uri = "/";
    std::map<std::string, std::string> variables;                // CGI variables, exact names
    std::vector<std::pair<std::string, std::string>> headers;    // request headers, in order
    std::map<std::string, std::string> realPaths;                // URI -> path
    std::string body;
    int maxRead = 1 << 30;  // most bytes one getPostData call returns
    bool failRead = false;  // getPostData reports a failed read

    // Response side.
    int status = 0;
    std::string reason;
    std::vector<std::pair<std::string, std::string>> responseHeaders;
    std::string responseBody;
    std::vector<int> writes;     // length of every writeClient call, flushes (0) included
    int failWritesFrom = -1;     // writes from this index on fail, as to a client gone
    std::map<std::string, int> lookups;  // getHeader calls per name
    int headersHandedBack = 0;           // freeHeader calls

    // State the slots keep.
    size_t bodyOffset = 0;
    int liveBlocks_ = 0;
    std::vector<const char*> headerNames_, headerValues_;
};
