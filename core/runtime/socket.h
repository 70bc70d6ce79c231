// Default network operations of quon_request: non-blocking TCP sockets (IPv4 or IPv6) with a
// poll-based time-out per wait. Every outcome is left in req->errorCode.
#pragma once

#include <netinet/in.h>

#include "export.h"
#include "request_types.h"

// Default time-outs in milliseconds: connect, send, receive.
inline constexpr int QN_DEFAULT_CONNECT_TIMEOUT = 15000;
inline constexpr int QN_DEFAULT_SEND_TIMEOUT = 15000;
inline constexpr int QN_DEFAULT_RECV_TIMEOUT = 300000;

// Writes the three defaults, connect, send, receive, into destination[0..2].
QN_EXPORT void initializeSocketTimeouts(quon_request* req, int* destination);

// Starts the record's response deadline responseTimeout milliseconds from now; none
// (0) when responseTimeout is 0.
void startResponseDeadline(quon_request* req);

// The deadline of one exchange: started before the message goes out (before the
// connection is taken, so a connect that one needs counts against it) and cleared on
// every way out, so that what the record does afterwards (a mapping refresh, another
// server's exchange) runs under no deadline or one of its own. It also starts the
// exchange's watch for the health checks: until its first byte arrives, the exchange
// gives up when the checks take its server out (qnRecv).
class ExchangeDeadline {
public:
    ExchangeDeadline(quon_request* req, const quonProxy* proxy);
    ~ExchangeDeadline() {
        req_->responseDeadline = 0;
        req_->watching = 0;
    }
    ExchangeDeadline(const ExchangeDeadline&) = delete;
    ExchangeDeadline& operator=(const ExchangeDeadline&) = delete;

private:
    quon_request* req_;
};

// Text of an error number (system or connector code) for messages; the text lives in
// a buffer of the calling thread that its next call overwrites.
QN_EXPORT const char* describeError(int error);

// Each wait is one poll bounded by the record's time-out for it; a signal resumes the wait
// with the time left. errorCode ends 0 or the reason: a system error number, ETIMEDOUT when
// a wait ran out, ECONNREFUSED for a refused connect, ECONNRESET when the peer hung up.

// A non-blocking TCP socket without Nagle's delay, connected to the first of the addresses
// that takes the connection (tried in order, all within the record's connect time-out), or
// -1 (every socket closed): each address that failed is then logged, "host:port connect
// failed[sock]: ...", with an IPv6 host in brackets.
// Its failure lines are limited by the proxy's (null: none).
int qnConnect(quon_request* req, const qnAddress* addresses, int count, quonProxy* proxy);
// length, or -1; a length of 0 or less returns 0 without touching sock.
int qnSend(quon_request* req, int sock, const char* buffer, int length);
// The bytes that have arrived (at least one, at most length; 0 when the peer closed the
// connection first), or -1.
// When a wait runs out and proxy's ping still reaches its server, the receive waits on;
// once gShutdown is set it gives up instead. A watched exchange (ExchangeDeadline) that
// has received nothing yet gives up with ETIMEDOUT once the health checks take proxy out. Under a response deadline no wait goes past
// it and a receive after it fails at once, with EQUON_RESPONSE_TIMEOUT. Never closes sock.
int qnRecv(quon_request* req, int sock, char* buffer, int length, quonProxy* proxy);
// Without waiting: 1 when bytes wait to be read on sock, -1 when the peer has closed it or
// it failed, 0 when nothing happened.
int qnPending(quon_request* req, int sock);
// Shuts sock down for writing (unless errorCode is EPIPE) and closes it; errorCode stays.
void qnCloseSocket(quon_request* req, int sock);
