#include "check.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "health_types.h"
#include "wire.h"
#include "wire_codes.h"

namespace {
// What the check waits for.
constexpr int kConnecting = 1;
constexpr int kSending = 2;
constexpr int kReceiving = 3;
constexpr int kDone = 4;

// What the int32 being read is: a command, the length of a string, the value of
// PROXY_PUT_CLUSTER_SEQ or PROXY_PUT_LOAD_VALUE, or the status of PROXY_PUT_STATUS.
constexpr int kCode = 0;
constexpr int kLength = 1;
constexpr int kValue = 2;
constexpr int kStatus = 3;

constexpr char kSetName[] = "server-props";

//  00 00 00 0C | 00 00 00 0D | 00 00 00 0C "server-props"
int buildMessage(char* out) {
    const int name = int(sizeof kSetName) - 1;
    putInt32(out, PROXY_PING);
    putInt32(out + 4, PROXY_GET_PROPS);
    putInt32(out + 8, name);
    memcpy(out + 12, kSetName, size_t(name));
    return 12 + name;
}

bool finish(qnCheck& check, int error) {
    if (check.sock >= 0) close(check.sock);
    check.sock = -1;
    check.phase = kDone;
    check.error = error;
    return true;
}

// A connect to the current address begun, with an equal share of the time left for
// each address still to try; false when none could be begun.
bool connectNext(qnCheck& check, int64_t nowMono) {
    int error = EDESTADDRREQ;
    for (; check.at < check.count; ++check.at) {
        check.connectUntil = nowMono + (check.deadlineMono - nowMono) / (check.count - check.at);
        const qnAddress& address = check.addresses[check.at];
        int sock = socket(address.any.sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (sock < 0) {
            finish(check, errno);
            return false;
        }
        int on = 1;
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (connect(sock, &address.any, address.length) == 0 || errno == EINPROGRESS) {
            check.sock = sock;
            check.phase = kConnecting;
            return true;
        }
        error = errno;
        close(sock);
    }
    finish(check, error);
    return false;
}

// The connect to the current address failed (error) or ran out of its share: the next
// address, if any, gets what is left of the time.
bool tryNext(qnCheck& check, int error, int64_t nowMono) {
    close(check.sock);
    check.sock = -1;
    ++check.at;
    if (check.at < check.count && connectNext(check, nowMono)) return false;
    return check.phase == kDone || finish(check, error);
}

bool connected(qnCheck& check, short revents, int64_t nowMono) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(check.sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0 && (revents & POLLOUT)) {
        check.phase = kSending;
        return false;
    }
    return tryNext(check, error ? error : ECONNREFUSED, nowMono);
}

bool sendSome(qnCheck& check) {
    const ssize_t sent = send(check.sock, check.out + check.outSent,
                              size_t(check.outLength - check.outSent), MSG_NOSIGNAL);
    if (sent < 0) return errno == EAGAIN || errno == EINTR ? false : finish(check, errno);
    check.outSent += int(sent);
    if (check.outSent == check.outLength) check.phase = kReceiving;
    return false;
}

// The next word is the length of the first of strings strings, skipped.
bool skipStrings(qnCheck& check, int strings) {
    check.wordKind = kLength;
    check.stringsLeft = strings - 1;
    return false;
}

// A command of the application's answer: its status is kept, the rest skipped. A server
// that asks for anything (a header, the body) fails the check: it gets no answer.
bool takeAppCommand(qnCheck& check, int32_t code) {
    switch (code) {
        case PROXY_PUT_STATUS:
            check.wordKind = kStatus;
            return false;
        case PROXY_PUT_HEADER:
        case PROXY_PUT_CLIENT:
            return skipStrings(check, 1);
        case PROXY_PUT_HEADER_VALUE:
        case PROXY_SET_ATTRIBUTE:
            return skipStrings(check, 2);
        case PROXY_PUT_LOAD_VALUE:
            check.wordKind = kValue;
            return false;
        case PROXY_FINISH:
            return finish(check, qnAppCheckOutcome(check.status));
        default:
            return finish(check, QN_CHECK_PROTOCOL);
    }
}

// One int32 of the answer read whole: true when the check is done.
bool takeWord(qnCheck& check) {
    const int32_t value = int32_t(uint32_t(check.word[0]) << 24 | uint32_t(check.word[1]) << 16 |
                                  uint32_t(check.word[2]) << 8 | check.word[3]);
    check.wordHave = 0;
    switch (check.wordKind) {
        case kLength:
            if (value < 0 || value > QN_CHECK_MAX_TEXT) return finish(check, QN_CHECK_PROTOCOL);
            check.skip = value;
            if (check.stringsLeft-- <= 0) check.wordKind = kCode;
            return false;
        case kValue:
            check.wordKind = kCode;
            return false;
        case kStatus:
            check.status = value;
            return skipStrings(check, 1);  // the reason
    }
    if (check.app && value != PROXY_BUSY && value != PROXY_PUT_CLUSTER_SEQ)
        return takeAppCommand(check, value);
    switch (value) {
        case PROXY_FINISH:
        case PROXY_BUSY:  // a busy server answers: it is alive
            return finish(check, 0);
        case PROXY_PUT_PROPS:
            return skipStrings(check, 1);
        case PROXY_PUT_CLUSTER_SEQ:
            check.wordKind = kValue;
            return false;
        default:
            return finish(check, QN_CHECK_PROTOCOL);
    }
}

// Reads what has arrived and walks through it; the text is skipped, not kept. A step reads
// at most kStepBytes, so that a server that sends without end meets the check's deadline
// between steps (and the whole answer is bounded, qnCheckFeed).
bool receiveSome(qnCheck& check) {
    constexpr int64_t kStepBytes = 64 * 1024;
    unsigned char buffer[4096];
    for (int64_t read = 0; read < kStepBytes;) {
        const ssize_t got = recv(check.sock, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0) return finish(check, ECONNRESET);
        if (got < 0) return errno == EAGAIN || errno == EINTR ? false : finish(check, errno);
        read += got;
        if (qnCheckFeed(check, buffer, size_t(got))) return true;
    }
    return false;
}
}  // namespace

bool qnCheckFeed(qnCheck& check, const unsigned char* bytes, size_t count) {
    check.received += int64_t(count);
    if (check.received > QN_CHECK_MAX_ANSWER) return finish(check, QN_CHECK_PROTOCOL);
    for (size_t i = 0; i < count && check.phase != kDone;) {
        if (check.skip > 0) {
            const int64_t step = std::min<int64_t>(check.skip, int64_t(count - i));
            check.skip -= step;
            i += size_t(step);
            continue;
        }
        check.word[check.wordHave++] = bytes[i++];
        if (check.wordHave == 4 && takeWord(check)) return true;
    }
    return check.phase == kDone;
}

bool qnCheckStart(qnCheck& check, const qnAddress* addresses, int count, int64_t nowMono,
                  int timeoutMs, const char* appUri) {
    check = qnCheck{};
    check.count = std::clamp(count, 0, QN_MAX_ADDRESSES);
    std::copy_n(addresses, check.count, check.addresses);
    check.startedMono = nowMono;
    check.deadlineMono = nowMono + timeoutMs;
    check.app = appUri != nullptr;
    check.outLength = check.app ? qnAppCheckMessage(check.out, appUri) : buildMessage(check.out);
    if (check.outLength == 0) {
        finish(check, EINVAL);
        return false;
    }
    return connectNext(check, nowMono);
}

int qnCheckSocket(const qnCheck& check) { return check.phase == kDone ? -1 : check.sock; }

short qnCheckEvents(const qnCheck& check) { return check.phase == kReceiving ? POLLIN : POLLOUT; }

bool qnCheckStep(qnCheck& check, short revents, int64_t nowMono) {
    if (check.phase == kDone) return true;
    bool done = false;
    if (check.phase == kConnecting && revents) done = connected(check, revents, nowMono);
    if (!done && check.phase == kConnecting && nowMono >= check.connectUntil &&
        check.at + 1 < check.count)
        done = tryNext(check, ETIMEDOUT, nowMono);
    if (!done && check.phase == kSending && (revents & (POLLOUT | POLLERR | POLLHUP)))
        done = sendSome(check);
    if (!done && check.phase == kReceiving && (revents & (POLLIN | POLLERR | POLLHUP)))
        done = receiveSome(check);
    if (done) return true;
    if (nowMono < check.deadlineMono) return false;
    // A connect that never completed is ETIMEDOUT; a server that took the connection and
    // never answered is the response time-out.
    return finish(check, check.phase == kConnecting ? ETIMEDOUT : EQUON_RESPONSE_TIMEOUT);
}

void qnCheckCancel(qnCheck& check) {
    if (check.phase != kDone) finish(check, ECANCELED);
}
