// A quon_request filled by a fake web server: request headers, CGI variables and body from
// tables; the response recorded piece by piece; per-call memory counted.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "recording_request.h"

class FakeWebServer {
public:
    explicit FakeWebServer(int traceMask = -1);

    quon_request* get() { return recorder.get(); }
    quon_request* operator->() { return recorder.get(); }

    // After the request side is filled: the header arrays, the URI and the body's read
    // position, as the handler hook sets them before dispatch.
    void prepare();
    // Releases the header arrays and attributes, as the handler hook does afterwards.
    void finish();
    int liveBlocks() const { return liveBlocks_; }  // per-call blocks not released yet

    RecordingRequest recorder;  // the slots find the server through its owner field

    std::string uri = "/";
    std::map<std::string, std::string> variables;              // CGI variables, exact names
    std::vector<std::pair<std::string, std::string>> headers;  // request headers, in order
    std::map<std::string, std::string> realPaths;              // URI -> path
    std::string body;
    bool failRead = false;  // getPostData reports a failed read

    int status = 0;
    std::string reason;
    std::vector<std::pair<std::string, std::string>> responseHeaders;
    std::string responseBody;
    std::vector<int> writes;             // length of every writeClient call, flushes (0) included
    int failWritesFrom = -1;             // writes from this index on fail, as to a client gone
    std::map<std::string, int> lookups;  // getHeader calls per name
    int headersHandedBack = 0;           // freeHeader calls

    size_t bodyOffset = 0;
    int liveBlocks_ = 0;
    std::vector<const char*> headerNames_, headerValues_;
};
