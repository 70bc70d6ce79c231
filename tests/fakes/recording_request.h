// A quon_request with the core's defaults whose three message channels are recorded,
// so that tests can check the exact lines an operation writes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "request_types.h"

struct RecordedLine {
    std::string channel;  // "log", "trace" or "traceE"
    int flags;            // traceE's flag; 0 for the others
    std::string text;
};

class RecordingRequest {
public:
    // traceMask plays the configured trace flags: traceE lines whose flag shares no
    // bit with it are dropped, as the web-server adapter drops them.
    explicit RecordingRequest(int traceMask = -1);
    RecordingRequest(const RecordingRequest&) = delete;
    RecordingRequest& operator=(const RecordingRequest&) = delete;

    quon_request* get() { return &req; }
    quon_request* operator->() { return &req; }

    // Number of recorded lines on channel ("" for any) whose text equals text exactly.
    int count(std::string_view channel, std::string_view text) const;
    // True when some line on channel ("" for any) contains part.
    bool contains(std::string_view channel, std::string_view part) const;
    // Every line, one per row, for failure messages.
    std::string dump() const;
    void clear() { lines.clear(); }

    quon_request req;  // first member: the recording slots find their recorder from it
    std::vector<RecordedLine> lines;
    int traceMask;
    void* owner = nullptr;  // a fake built around the recorder finds itself through this
};

// The recorder of a record that a RecordingRequest made.
inline RecordingRequest* recorderOf(quon_request* req) {
    return reinterpret_cast<RecordingRequest*>(req);
}
