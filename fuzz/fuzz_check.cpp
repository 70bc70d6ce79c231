// The health check's reading of a server's answer (qnCheckFeed): any bytes, in pieces of
// any size, either leave the check waiting or decide it as answered or as a protocol
// error; a check once decided takes no more bytes. The first byte of each piece gives its
// length. The same bytes fed whole must decide the same way: the pieces' cut changes
// nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "check.h"
#include "fuzz_support.h"
#include "health_types.h"

namespace {
using fuzz::check;

struct Outcome {
    bool done;
    int error;
};

Outcome feedWhole(const uint8_t* data, size_t size) {
    qnCheck whole;
    const bool done = qnCheckFeed(whole, data, size);
    return {done, whole.error};
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qnCheck pieces;
    std::basic_string<uint8_t> joined;
    bool done = false;
    for (size_t at = 0; at < size && !done;) {
        const size_t length = std::min<size_t>(1 + data[at] % 64, size - at - 1);
        done = qnCheckFeed(pieces, data + at + 1, length);
        joined.append(data + at + 1, length);
        at += 1 + length;
    }
    check(!done || pieces.error == 0 || pieces.error == QN_CHECK_PROTOCOL);
    check(pieces.wordHave >= 0 && pieces.wordHave < 4);
    check(pieces.skip >= 0 && pieces.skip <= QN_CHECK_MAX_TEXT);
    const Outcome whole = feedWhole(joined.data(), joined.size());
    check(whole.done == done && (!done || whole.error == pieces.error));
    return 0;
}
