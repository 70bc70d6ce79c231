// The response of one exchange as a server states it: status and headers are held until
// its body begins or the exchange ends, then handed to the web server in one go, cleaned
// of everything that would let the server frame the client's connection; the body is
// counted against the length the head declared.
#pragma once

#include <cstdint>

#include "proxy_types.h"
#include "request_types.h"
#include "wire.h"

// Longest status reason kept; the rest of a longer one is dropped.
inline constexpr int QN_MAX_REASON = 256;

class ResponseHead {
public:
    // headRequest: the request's method is HEAD, so no body may follow whatever the head says.
    ResponseHead(quon_request* req, const quonProxy* proxy, bool headRequest)
        : req_(req), proxy_(proxy), headers_(req), bodyAllowed_(!headRequest) {}
    ResponseHead(const ResponseHead&) = delete;
    ResponseHead& operator=(const ResponseHead&) = delete;

    // The last status sent counts. Its reason is kept up to its first control character
    // and at most QN_MAX_REASON bytes.
    void setStatus(int32_t status, const char* reason);
    // One header as sent; false without memory (errorCode ENOBUFS).
    bool addHeader(const char* name, const char* value);
    // Hands status and the headers that may reach the client to the web server, once, and
    // marks the response started. False, with the protocol error logged, for a status that
    // cannot end a response.
    bool commit();
    bool committed() const { return committed_; }
    // How many of a body piece's length bytes may reach the client: none beyond the
    // declared length (logged once per exchange), none where no body may follow.
    int admit(int length);
    // At the end of the exchange: false, logged, when the body ended short of the length
    // the head declared; the client's connection cannot then be reused.
    bool bodyComplete();
    // Body bytes admitted so far.
    int64_t passed() const { return written_; }

private:
    quon_request* req_;
    const quonProxy* proxy_;
    ExchangeBuffer headers_;  // "name\0value\0" pairs in the order sent
    int used_ = 0;
    int32_t status_ = 0;  // 0: none sent, the web server's default stands
    char reason_[QN_MAX_REASON + 1] = "";
    int64_t declared_ = -1;  // the Content-Length passed on, -1 without one
    int64_t written_ = 0;
    bool bodyAllowed_;
    bool cutLogged_ = false;
    bool committed_ = false;
};
