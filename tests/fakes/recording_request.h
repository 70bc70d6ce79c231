// A quon_request with the core's defaults whose three message channels are recorded,
// so that tests can check the exact lines an operation writes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "request_types.h"

struct RecordedLine {
    std::string channel;  // "log" (logAt), "trace" or "traceE"
    std::string text;
    int level;  // logAt's level (QN_LOG_*); 0 for the others
};

class RecordingRequest {
public:
    // traceE lines whose flag shares no bit with traceMask are dropped, as the web-server
    // adapter drops those the configuration does not ask for.
    explicit RecordingRequest(int traceMask = -1);
    RecordingRequest(const RecordingRequest&) = delete;
    RecordingRequest& operator=(const RecordingRequest&) = delete;

    quon_request* get() { return &req; }
    quon_request* operator->() { return &req; }

    // Lines on channel ("" for any) whose text is text exactly / contains part.
    int count(std::string_view channel, std::string_view text) const;
    // The level of the first logAt line whose text contains part; 0 when there is none.
    int levelOf(std::string_view part) const;
    bool contains(std::string_view channel, std::string_view part) const;
    std::string dump() const;  // every line, for failure messages
    void clear() { lines.clear(); }

    quon_request req;  // first member: the recording slots find their recorder from it
    std::vector<RecordedLine> lines;
    int traceMask;
    void* owner = nullptr;  // a fake built around the recorder finds itself through this
};

inline RecordingRequest* recorderOf(quon_request* req) {
    return reinterpret_cast<RecordingRequest*>(req);
}

// A malloc slot that refuses blocks of exactly refusedBlockSize bytes and hands out the
// others as the core's own slot does: for the paths where one allocation fails.
inline int refusedBlockSize = -1;
void* refusingMalloc(quon_request* req, int size);
