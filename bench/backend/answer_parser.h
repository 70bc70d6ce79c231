// The load driver's view of the protocol: the request it sends and an incremental
// reader of the server's commands.
#pragma once

#include <cstdint>
#include <string>

namespace quon_bench {

// PROXY_SERVICE_40 for `uri` with the given query string, as a connector would build it.
std::string serviceRequest(const std::string& uri, const std::string& query);
std::string ping();

struct Progress {
    int finished = 0;  // PROXY_FINISH read
    int busy = 0;      // PROXY_BUSY read
    int bad = 0;       // an unknown code: the stream cannot be read further
    int ends = 0;      // exchanges ended either way
};

// Removes every whole command from the front of `in`; answers questions into `out`.
Progress consume(std::string& in, std::string& out);

}  // namespace quon_bench
