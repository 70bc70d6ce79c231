#include "socket.h"
#include "clock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "address.h"
#include "flags.h"
#include "log_limit.h"
#include "proxy_types.h"

namespace {
// Every text this file writes.
constexpr char kOutOfSync[] = "Quon connector protocol out of sync";
constexpr char kBusy[] = "Quon too busy or out of memory";
constexpr char kResponseTimeout[] = "Quon server did not finish its response in time";
constexpr char kNoServer[] = "no server of the mapping could take the request";
constexpr char kNoSystemText[] = "null";
constexpr char kErrorText[] = "%d %s";
constexpr char kSocketFailed[] = "socket() %s";
constexpr char kNoFlags[] = "Warning: could not get socket flags: %s";
constexpr char kNoNonBlocking[] = "Warning: could not set socket to non-blocking: %s";
constexpr char kNoNoDelay[] = "Warning: could not set TCP_NODELAY: %s";
constexpr char kNoBlocking[] = "Warning: could not make socket [%d] wait in the kernel: %s";
constexpr char kNoSoError[] = "Warning: could not get SO_ERROR: %s";
constexpr char kConnectPollHup[] = "qnConnect: POLLHUP so ECONNREFUSED";
constexpr char kConnectFailed[] = "%s:%d connect failed[%d]: %d %s";
constexpr char kConnected[] = "%s:%d qnConnect [%d]";
constexpr char kSendPollHup[] = "qnSend: POLLHUP so ECONNRESET";
constexpr char kSendNoPollOut[] = "qnSend: POLLOUT not set so ECONNRESET";
constexpr char kSendFailed[] = "send failed[%d]: %d %s";
constexpr char kRecvShutdown[] = "qnRecv [%d] shutdown";
constexpr char kRecvReachable[] = "qnRecv [%d] timeout but server reachable so recv again";
constexpr char kRecvPollHup[] = "qnRecv: POLLHUP so ECONNRESET";
constexpr char kRecvNoPollIn[] = "qnRecv: POLLIN not set so ECONNRESET";
constexpr char kRecvFailed[] = "recv failed[%d]: %d %s";
constexpr char kClosing[] = "qnCloseSocket [%d]";
constexpr char kShutdownFailed[] = "socket shutdown failed[%d]: %d, %s";
constexpr char kCloseFailed[] = "socket close fail[%d]: %d, %s";

using Clock = std::chrono::steady_clock;

// Milliseconds left before the record's response deadline: INT_MAX without one, 0 once
// it has come.
int beforeDeadline(const quon_request* req) {
    if (req->responseDeadline == 0) return INT_MAX;
    const long long left = req->responseDeadline - qnMonoMillis();
    return left > 0 ? int(std::min<long long>(left, INT_MAX)) : 0;
}

// A wait that may be given up from another thread looks at the record's flag this often.
constexpr int kCancelCheckMs = 100;
// An exchange waiting for its server's first byte looks at the health checks' verdict
// this often: the socket's own receive time-out in the kernel is no longer than this,
// so an answer that comes sooner costs no extra system call.
constexpr int kWatchSliceMs = 250;
constexpr char kAbandoned[] = "%s taken out by the health checks: exchange [%d] given up";

// Waits at most timeoutMs (a negative time-out counts as 0) for events on sock. A signal
// resumes the wait with the time that is left, so signals never stretch it; a record
// whose cancelled flag is set (a thread being stopped) gives up within kCancelCheckMs.
// Returns poll's result: above 0 with the reported events in revents, 0 when the time
// ran out or the wait was given up, -1 with errno.
int waitFor(quon_request* req, int sock, short events, int timeoutMs, short& revents) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd entry{sock, events, 0};
    for (;;) {
        if (req->cancelled && req->cancelled->load(std::memory_order_relaxed)) return 0;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        int slice = left.count() > 0 ? int(left.count()) : 0;
        if (req->cancelled) slice = std::min(slice, kCancelCheckMs);
        int ready = poll(&entry, 1, slice);
        if (ready == 0 && slice < left.count()) continue;
        if (ready >= 0 || errno != EINTR) {
            revents = entry.revents;
            return ready;
        }
    }
}

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// Non-blocking mode and no Nagle delay; a failure is a warning that does not stop the
// connect. When the flags cannot be read, non-blocking mode is set alone.
void prepareSocket(quon_request* req, int sock) {
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0) {
        req->errorCode = errno;
        req->logAt(req, QN_LOG_WARN, kNoFlags, describeError(req->errorCode));
        flags = 0;
    }
    if (fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) {
        req->errorCode = errno;
        req->logAt(req, QN_LOG_WARN, kNoNonBlocking, describeError(req->errorCode));
    }
    int on = 1;
    if (setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        req->logAt(req, QN_LOG_WARN, kNoNoDelay, describeError(errno));
}

// Once connected: blocking mode, with the record's send time-out and its receive time-out
// (at most kWatchSliceMs) as the socket's own, so that a receive or send that must wait
// is one system call, ended by the kernel (EAGAIN) when its time-out runs out; a longer
// receive wait goes on in slices (qnRecv). The time-outs are the configuration's, the
// same for every record that uses the connection. A socket left non-blocking after a
// failure here still works: its waits poll.
void waitInTheKernel(quon_request* req, int sock) {
    const int flags = fcntl(sock, F_GETFL, 0);
    bool done = flags >= 0 && fcntl(sock, F_SETFL, flags & ~O_NONBLOCK) == 0;
    for (auto [option, ms] : {std::pair{SO_RCVTIMEO, std::min(req->recvTimeout, kWatchSliceMs)},
                              std::pair{SO_SNDTIMEO, req->sendTimeout}}) {
        timeval limit{ms / 1000, (ms % 1000) * 1000};
        done = done && setsockopt(sock, SOL_SOCKET, option, &limit, sizeof limit) == 0;
    }
    if (!done) req->logAt(req, QN_LOG_WARN, kNoBlocking, sock, describeError(errno));
}

// Waits that must end before the socket's own time-out poll: a response deadline, or a
// record whose thread may be stopped.
bool pollsItsWaits(const quon_request* req) { return req->responseDeadline || req->cancelled; }

// The health checks took the exchange's server out while it still waited for the first
// byte of the answer: nothing will come, and the request may go elsewhere.
bool abandoned(const quon_request* req, const quonProxy* proxy) {
    return proxy && req->watching && req->answerBytes == 0 &&
           proxy->outEpoch.load(std::memory_order_relaxed) != req->watchedEpoch;
}

// waitFor in slices of kWatchSliceMs while the exchange is watched; kAbandonedWait
// (below 0, beside poll's results) once the checks took its server out.
constexpr int kAbandonedWait = -2;
int waitWatched(quon_request* req, int sock, short events, int timeoutMs, short& revents,
                const quonProxy* proxy) {
    if (!proxy || !req->watching) return waitFor(req, sock, events, timeoutMs, revents);
    const long long until = qnMonoMillis() + std::max(timeoutMs, 0);
    for (;;) {
        if (abandoned(req, proxy)) return kAbandonedWait;
        const long long left = until - qnMonoMillis();
        const int slice = int(std::clamp<long long>(left, 0, kWatchSliceMs));
        const int ready = waitFor(req, sock, events, slice, revents);
        if (ready != 0 || left <= kWatchSliceMs) return ready;
    }
}

// The error the kernel keeps for a connect that neither completed nor was refused
// outright; ECONNREFUSED when it cannot be read.
int pendingError(quon_request* req, int sock) {
    int error = ECONNREFUSED;
    socklen_t size = sizeof error;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) == 0) return error;
    req->logAt(req, QN_LOG_WARN, kNoSoError, describeError(errno));
    return ECONNREFUSED;
}

// Connects sock to address within timeoutMs; returns 0 or the reason of the failure.
int connectWithin(quon_request* req, int sock, const qnAddress& address, int timeoutMs,
                  const quonProxy* proxy) {
    if (connect(sock, &address.any, address.length) == 0) return 0;
    // An interrupted connect goes on in the background: it is waited for like one in progress.
    if (errno != EINPROGRESS && errno != EINTR && !wouldBlock(errno)) return errno;
    short revents = 0;
    int ready = waitWatched(req, sock, POLLOUT, timeoutMs, revents, proxy);
    if (ready == 0 || ready == kAbandonedWait) return ETIMEDOUT;
    if (ready < 0) return errno;
    if (revents & POLLHUP) {
        req->trace(req, kConnectPollHup);
        return ECONNREFUSED;
    }
    // POLLERR beside POLLOUT is a failed connect: its reason is the pending error.
    if ((revents & POLLOUT) && !(revents & POLLERR)) return 0;
    return pendingError(req, sock);
}

// A connect to one address that failed, told once the outcome of the whole connect is
// known: as a log line when no address connected, as routine detail when a later one did.
struct FailedAttempt {
    char host[QN_HOST_TEXT_SIZE];
    int port;
    int sock;  // the descriptor the attempt had, closed since
    int error;
};

// A socket of the address's family connected within timeoutMs, or -1 (closed) with the
// failure recorded when a socket was made at all.
int connectOne(quon_request* req, const qnAddress& address, int timeoutMs, FailedAttempt& failed,
               bool& recorded, const quonProxy* proxy) {
    recorded = false;
    // Close-on-exec: processes that the web server starts must not inherit back-end sockets.
    int sock = socket(address.any.sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        req->errorCode = errno;
        req->logAt(req, QN_LOG_ERROR, kSocketFailed, describeError(req->errorCode));
        return -1;
    }
    prepareSocket(req, sock);
    req->errorCode = connectWithin(req, sock, address, timeoutMs, proxy);
    if (req->errorCode == 0) return sock;
    failed = {{}, portOf(address), sock, req->errorCode};
    hostText(address, failed.host);
    recorded = true;
    close(sock);
    return -1;
}

void tellFailure(quon_request* req, const FailedAttempt& failed, bool connected, quonProxy* proxy) {
    if (connected) {
        req->traceE(req, QN_TRACE_DETAIL, kConnectFailed, failed.host, failed.port, failed.sock,
                    failed.error, describeError(failed.error));
        return;
    }
    // While another server may still take the request (its errors are deferred) the failure
    // is worked around: a warning. A request that fails for good writes its error line then.
    qnLogLimit* limit = proxy ? &proxy->logLimits.kinds[QN_LIMIT_CONNECT] : nullptr;
    logLimited(req, limit, req->deferErrors ? QN_LOG_WARN : QN_LOG_ERROR, kConnectFailed,
               failed.host, failed.port, failed.sock, failed.error, describeError(failed.error));
}

// Waits until sock takes more bytes; returns 0 or the reason to give up.
int waitToSend(quon_request* req, int sock) {
    short revents = 0;
    int ready = waitFor(req, sock, POLLOUT, req->sendTimeout, revents);
    if (ready == 0) return ETIMEDOUT;
    if (ready < 0) return errno;
    if (revents & POLLHUP) {
        req->trace(req, kSendPollHup);
        return ECONNRESET;
    }
    if (revents & POLLOUT) return 0;
    req->trace(req, kSendNoPollOut);
    return ECONNRESET;
}

// A wait for data ran out: the receive goes on only while the server answers pings,
// and never once the process is shutting down. Returns 0 to go on, else ETIMEDOUT.
int afterRecvTimeout(quon_request* req, int sock, quonProxy* proxy) {
    if (gShutdown.load(std::memory_order_relaxed)) {
        req->traceE(req, QN_TRACE_DETAIL, kRecvShutdown, sock);
        return ETIMEDOUT;
    }
    // The ping does socket work of its own on this record: what it leaves in errorCode
    // is overwritten with this receive's outcome.
    if (!proxy || !proxy->sendPing || !proxy->sendPing(proxy, req)) return ETIMEDOUT;
    req->traceE(req, QN_TRACE_DETAIL, kRecvReachable, sock);
    return 0;
}

// Waits at most limitMs, and never past the response deadline, until sock has data;
// returns 0, ETIMEDOUT when the limit ran out, or the reason to give up.
int waitToReceive(quon_request* req, int sock, int limitMs, const quonProxy* proxy) {
    const int left = beforeDeadline(req);
    if (left == 0) return EQUON_RESPONSE_TIMEOUT;
    short revents = 0;
    int ready = waitWatched(req, sock, POLLIN, std::min(limitMs, left), revents, proxy);
    if (ready == kAbandonedWait) {
        req->logAt(req, QN_LOG_INFO, kAbandoned, proxy->name, sock);
        return ETIMEDOUT;
    }
    if (ready == 0) return beforeDeadline(req) == 0 ? EQUON_RESPONSE_TIMEOUT : ETIMEDOUT;
    if (ready < 0) return errno;
    if (revents & POLLHUP) {
        req->trace(req, kRecvPollHup);
        return ECONNRESET;
    }
    if (revents & POLLIN) return 0;
    req->trace(req, kRecvNoPollIn);
    return ECONNRESET;
}

// strerror_r comes in two forms: GNU's returns the text, POSIX's fills the buffer.
[[maybe_unused]] const char* systemText(const char* text, const char*) { return text; }
[[maybe_unused]] const char* systemText(int status, const char* buffer) {
    return status == 0 ? buffer : nullptr;
}
}  // namespace

void initializeSocketTimeouts(quon_request*, int* destination) {
    destination[0] = QN_DEFAULT_CONNECT_TIMEOUT;
    destination[1] = QN_DEFAULT_SEND_TIMEOUT;
    destination[2] = QN_DEFAULT_RECV_TIMEOUT;
}

void startResponseDeadline(quon_request* req) {
    req->responseDeadline = req->responseTimeout > 0 ? qnMonoMillis() + req->responseTimeout : 0;
}

ExchangeDeadline::ExchangeDeadline(quon_request* req, const quonProxy* proxy) : req_(req) {
    startResponseDeadline(req_);
    req_->watching = proxy != nullptr;
    req_->watchedEpoch = proxy ? proxy->outEpoch.load(std::memory_order_relaxed) : 0;
    req_->answerBytes = 0;
}

const char* describeError(int error) {
    if (error == EQUON_OUT_OF_SYNC) return kOutOfSync;
    if (error == EQUON_BUSY) return kBusy;
    if (error == EQUON_RESPONSE_TIMEOUT) return kResponseTimeout;
    if (error == EQUON_NO_SERVER) return kNoServer;
    // One buffer per thread: worker threads describe their errors at the same time.
    thread_local char text[256];
    char scratch[256];
    const char* system = systemText(strerror_r(error, scratch, sizeof scratch), scratch);
    snprintf(text, sizeof text, kErrorText, error, system ? system : kNoSystemText);
    return text;
}

// The connect time-out bounds the whole connect, across every address: each address in
// turn gets an equal share of the time left, so that one that never answers cannot keep
// the next from its try, and one that refuses at once leaves its share to the rest. A
// single address gets the whole time-out.
int qnConnect(quon_request* req, const qnAddress* addresses, int count, quonProxy* proxy) {
    count = std::clamp(count, 0, QN_MAX_ADDRESSES);
    // Under an exchange's deadline, the connect is part of the exchange.
    const long long deadline = qnMonoMillis() + std::min(req->connectTimeout, beforeDeadline(req));
    FailedAttempt failed[QN_MAX_ADDRESSES];
    int failures = 0;
    int sock = -1, at = 0;
    req->errorCode = count > 0 ? 0 : EDESTADDRREQ;
    for (; at < count; ++at) {
        const long long left = std::max(deadline - qnMonoMillis(), 1LL);
        const int share = int(std::clamp<long long>(left / (count - at), 1, INT_MAX));
        bool recorded = false;
        sock = connectOne(req, addresses[at], share, failed[failures], recorded, proxy);
        if (sock >= 0) break;
        failures += recorded;
    }
    for (int i = 0; i < failures; ++i) tellFailure(req, failed[i], sock >= 0, proxy);
    if (sock < 0) return -1;
    char host[QN_HOST_TEXT_SIZE];
    hostText(addresses[at], host);
    req->traceE(req, QN_TRACE_DETAIL, kConnected, host, portOf(addresses[at]), sock);
    waitInTheKernel(req, sock);
    return sock;
}

int qnSend(quon_request* req, int sock, const char* buffer, int length) {
    req->errorCode = 0;
    int sent = 0;
    const int flags = MSG_NOSIGNAL | (pollsItsWaits(req) ? MSG_DONTWAIT : 0);
    while (sent < length && req->errorCode == 0) {
        const long long start = qnMonoMillis();
        // MSG_NOSIGNAL: a peer that went away is an error code here, never a SIGPIPE.
        ssize_t count = send(sock, buffer + sent, size_t(length - sent), flags);
        if (count >= 0)
            sent += int(count);
        else if (wouldBlock(errno) && qnMonoMillis() - start >= req->sendTimeout)
            req->errorCode = ETIMEDOUT;  // the socket's own time-out ran out
        else if (wouldBlock(errno))
            req->errorCode = waitToSend(req, sock);
        else if (errno != EINTR)
            req->errorCode = errno;
    }
    if (req->errorCode == 0) return sent;
    req->trace(req, kSendFailed, sock, req->errorCode, describeError(req->errorCode));
    return -1;
}

// Returns as soon as some bytes have arrived: the caller's receive buffer takes whatever
// the server has sent so far, and a caller that needs more asks again. The first receive
// waits in the kernel, bounded by the socket's own time-out: one system call when the
// answer comes in time. Later waits of the call (after a signal, past the socket's
// time-out, or for a record whose waits must end sooner) poll, for what is left of the
// time-out, and give up when the health checks take the server of a watched exchange
// out before its first byte came.
int qnRecv(quon_request* req, int sock, char* buffer, int length, quonProxy* proxy) {
    req->errorCode = 0;
    int received = 0;
    int flags = pollsItsWaits(req) ? MSG_DONTWAIT : 0;
    long long waitBegan = qnMonoMillis();
    while (received == 0 && length > 0 && req->errorCode == 0) {
        // Past the deadline the exchange is over even while bytes still flow: the bound
        // is on the whole response, not on each wait.
        if (beforeDeadline(req) == 0) {
            req->errorCode = EQUON_RESPONSE_TIMEOUT;
            break;
        }
        ssize_t count = recv(sock, buffer, size_t(length), flags);
        if (count > 0) {
            received = int(count);
        } else if (count == 0) {
            break;  // the peer closed the connection: what came so far is the answer
        } else if (!wouldBlock(errno) && errno != EINTR) {
            req->errorCode = errno;
        } else if (abandoned(req, proxy)) {
            req->logAt(req, QN_LOG_INFO, kAbandoned, proxy->name, sock);
            req->errorCode = ETIMEDOUT;
        } else {
            flags = MSG_DONTWAIT;
            const long long waited = qnMonoMillis() - waitBegan;
            int outcome = waited < req->recvTimeout
                              ? waitToReceive(req, sock, int(req->recvTimeout - waited), proxy)
                              : ETIMEDOUT;
            if (outcome == ETIMEDOUT && !abandoned(req, proxy)) {
                outcome = afterRecvTimeout(req, sock, proxy);
                waitBegan = qnMonoMillis();
            }
            req->errorCode = outcome;
        }
    }
    if (req->errorCode == 0) return received;
    req->trace(req, kRecvFailed, sock, req->errorCode, describeError(req->errorCode));
    return -1;
}

int qnPending(quon_request*, int sock) {
    char byte;
    for (;;) {
        ssize_t count = recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (count > 0) return 1;
        if (count == 0) return -1;
        if (errno != EINTR) return wouldBlock(errno) ? 0 : -1;
    }
}

void qnCloseSocket(quon_request* req, int sock) {
    req->traceE(req, QN_TRACE_DETAIL, kClosing, sock);
    // After EPIPE the connection is gone in both directions: nothing is left to shut down.
    if (req->errorCode != EPIPE && shutdown(sock, SHUT_WR) != 0 && errno != ENOTCONN) {
        const int error = errno;
        req->logAt(req, QN_LOG_WARN, kShutdownFailed, sock, error, describeError(error));
    }
    // close is not repeated after EINTR: the descriptor is released either way.
    if (close(sock) != 0) {
        const int error = errno;
        req->logAt(req, QN_LOG_WARN, kCloseFailed, sock, error, describeError(error));
    }
}
