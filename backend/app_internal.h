// Pieces shared by the application's dispatcher and its actions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app.h"

namespace quon_backend {

// Decoded query parameters in their order ('+' is a blank, %XX a byte).
class Query {
public:
    explicit Query(std::string_view text);
    const std::string* get(std::string_view name) const;
    // The parameter as a number within [least, most], else `fallback`.
    int64_t number(std::string_view name, int64_t fallback, int64_t least, int64_t most) const;
    const std::vector<NameValue>& params() const { return params_; }

private:
    std::vector<NameValue> params_;
};

std::string urlDecode(std::string_view text);

// The action a URI names: its last path segment, without a ";..." path parameter.
std::string_view actionOf(std::string_view uri);

// FNV-1a, 64 bits: the checksum the body action reports.
uint64_t fnv1a64(uint64_t hash, std::string_view bytes);
inline constexpr uint64_t kFnvOffset = 14695981039346656037ull;

// Byte `offset` of every sized response: 'a' + offset mod 23.
inline char patternByte(uint64_t offset) { return static_cast<char>('a' + offset % 23); }

struct ActionCall {
    const AppRequest& request;
    const Query& query;
    Exchange& exchange;
    const AppContext& context;
};

// Status, content type, the header naming the server and, when known (>= 0), the
// Content-Length, in one PUT_HEADER block.
void startResponse(const ActionCall& call, int32_t status, std::string_view reason,
                   std::string_view contentType = "text/plain", int64_t contentLength = -1);
// The whole text as one PUT_CLIENT message.
void sendText(Exchange& exchange, std::string_view text);
void appendLine(std::string& out, std::string_view key, std::string_view value);

// Plays a fault that answers with a hostile response (bad status, CR LF in a header,
// endless headers, a pause mid-body) and tells how the action would have ended; false
// when `fault` is none of them.
bool playResponseFault(Fault fault, const ActionCall& call, After& after);
// "fault-read=N": before a fault, N bytes of the request body are asked for (so that the
// fault strikes after the connector has read some of the body from its client).
void readBeforeFault(const ActionCall& call);

After actionEcho(const ActionCall& call);
After actionHeader(const ActionCall& call);
After actionRealPath(const ActionCall& call);
After actionBody(const ActionCall& call);
After actionSize(const ActionCall& call);
After actionStatus(const ActionCall& call);
After actionHeaders(const ActionCall& call);
After actionSession(const ActionCall& call);
After actionAttributes(const ActionCall& call);
After actionLoad(const ActionCall& call);
After actionSeq(const ActionCall& call);
After actionSlow(const ActionCall& call);
After actionRaw(const ActionCall& call);

}  // namespace quon_backend
