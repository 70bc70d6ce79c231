// What back ends send, served to proxy_handleRequest through an in-memory transport, one
// request after another on one proxy, against a model of what the client's connection
// may carry.
//
// Input: a settings byte, four chunk-size bytes, a request byte, then up to four segments:
// segment k is a 16-bit length and that many bytes, all that servers send while request k
// is served, on whichever connection it uses; then a byte count and that many bytes that
// arrive late on that connection. Settings: bits 0-2 how many sends succeed before they
// fail (7: all), bits 3-5 from which client write on they fail (7: none), bit 6 a failing
// request-body read, bit 7 an argument and deferred errors. Chunk byte k sizes every
// fourth receive and every fourth send (0: all that is asked), so short reads and sends
// come everywhere. Request byte: bit 0 the method is HEAD; bits 1-7 the moment the late
// bytes arrive, counted in calls of the transport (connect, look, send, receive) after
// the request has ended: 0 at once, while the connection is idle, later while the next
// request takes it, sends its message in parts, or reads its answer.
//
// The model: request k never reads a byte of another segment, unless those bytes are
// late ones that arrived once the connector had looked for the last time before the last
// part of its message went out (from then on they cannot be told from the answer); no
// header that frames a connection reaches the web server, nor a CR or LF; a final status
// is 200-599; the body never goes beyond the Content-Length passed on, and a response cut
// short (body short of its length, or a failure after it began) is marked broken, and
// only then; an error page never follows a started answer. Also checked: per-call memory
// all freed and every socket closed.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <strings.h>

#include "forward.h"
#include "fuzz_support.h"
#include "memory.h"
#include "proxy.h"
#include "request.h"

namespace {
using fuzz::check;
constexpr int kMostExchanges = 4;
constexpr int kMostSockets = 64;

struct Segment {
    const uint8_t* bytes = nullptr;
    size_t size = 0, read = 0;
    const uint8_t* lateBytes = nullptr;
    size_t late = 0;  // bytes that arrive once the request has ended
    size_t left() const { return size - read; }
};

constexpr size_t kNever = SIZE_MAX;

// A connection remembers the segment it last carried, from which call of the transport
// on that segment's late bytes are there, the call of its last look (pending) and of
// its last send.
struct Socket {
    bool open = false;
    int segment = -1;
    size_t lateAt = kNever;
    size_t lookedAt = 0, sentAt = 0;
    // Late bytes still to be read before the current segment's, once allowed.
    const uint8_t* before = nullptr;
    size_t beforeSize = 0;
    bool lateThere() const;
    // Bytes of an earlier request wait on the connection.
    bool stale() const;
};

struct Transport {
    Segment segments[kMostExchanges];
    int current = 0;
    Socket sockets[kMostSockets];
    uint8_t chunks[4];
    unsigned recvs, sends, sendsOk, writes, failWritesFrom;
    bool failRead, head;
    int open;
    size_t bodyOffset;
    size_t calls;   // calls of the transport so far
    size_t moment;  // calls after a request's end at which its late bytes arrive
} t;

// What reached the web server in the current request.
struct Seen {
    bool wrote = false;  // bytes or a flush of the server's answer
    int status = 0;
    int64_t declared = -1;  // the last Content-Length passed on
    int64_t body = 0;
} seen;

// Reads both ends of a buffer, so that ASan sees one that is shorter than its length.
void touch(const char* buffer, int length) {
    check(length >= 0);
    if (length == 0) return;
    volatile char ends = char(buffer[0] ^ buffer[length - 1]);
    (void)ends;
}

bool Socket::lateThere() const {
    return segment >= 0 && t.segments[segment].late > 0 && t.calls >= lateAt;
}

bool Socket::stale() const {
    return segment >= 0 && (t.segments[segment].left() > 0 || lateThere());
}

Socket& socketOf(int sock) {
    check(sock >= 0 && sock < kMostSockets && t.sockets[sock].open);
    return t.sockets[sock];
}

// The current request reads a connection for the first time. Bytes still unread of the
// segment it carried before would be another exchange's bytes in this one's answer; so
// would late bytes that were there when the connector last looked, or when it sent a
// part of its message after that look. Late bytes that came later are read first.
void takeOver(Socket& s) {
    check(s.segment < 0 || t.segments[s.segment].left() == 0);
    const bool late = s.lateThere();
    check(!late || (s.lateAt > s.lookedAt && s.lateAt >= s.sentAt));
    const Segment* earlier = late ? &t.segments[s.segment] : nullptr;
    s = Socket{true, t.current, kNever, s.lookedAt, s.sentAt};
    if (earlier) {
        s.before = earlier->lateBytes;
        s.beforeSize = earlier->late;
    }
}

int recvChunk(quon_request*, int sock, char* buffer, int length, quonProxy*) {
    ++t.calls;
    Socket& s = socketOf(sock);
    if (s.segment != t.current) takeOver(s);
    size_t chunk = t.chunks[t.recvs++ % 4];
    chunk = std::min(size_t(length), chunk ? chunk : size_t(length));
    if (s.beforeSize > 0) {
        const size_t n = std::min(chunk, s.beforeSize);
        memcpy(buffer, s.before, n);
        s.before += n;
        s.beforeSize -= n;
        return int(n);
    }
    Segment& segment = t.segments[t.current];
    const size_t n = std::min(chunk, segment.left());
    memcpy(buffer, segment.bytes + segment.read, n);
    segment.read += n;
    return int(n);  // 0 once the segment is used up: the server has closed
}
int pending(quon_request*, int sock) {
    ++t.calls;
    Socket& s = socketOf(sock);
    s.lookedAt = t.calls;
    return s.stale() ? 1 : 0;
}
int sendSink(quon_request* req, int sock, const char* buffer, int length) {
    ++t.calls;
    socketOf(sock).sentAt = t.calls;
    const size_t chunk = t.chunks[t.sends % 4];
    if (t.sends++ >= t.sendsOk) {
        req->errorCode = EPIPE;
        return -1;
    }
    touch(buffer, length);
    return chunk ? int(std::min(size_t(length), chunk)) : length;
}

bool hopByHop(const char* name) {
    for (const char* h :
         {"connection", "keep-alive", "transfer-encoding", "te", "trailer", "upgrade"})
        if (strcasecmp(name, h) == 0) return true;
    return strncasecmp(name, "proxy-", 6) == 0;
}
void addHeader(quon_request*, const char* name, const char* value) {
    check(strlen(name) + strlen(value) < size_t(fuzz::kLargestBlock));
    check(!hopByHop(name) && !strpbrk(name, "\r\n") && !strpbrk(value, "\r\n"));
    if (strcasecmp(name, "content-length") == 0) {
        check(*value && strspn(value, "0123456789 \t") == strlen(value));
        seen.declared = strtoll(value, nullptr, 10);
    }
}
void setStatus(quon_request*, int status, const char* reason) {
    check(reason != nullptr && strlen(reason) <= 256 && !strpbrk(reason, "\r\n"));
    check(status >= 200 && status <= 599);
    check(!seen.wrote);  // neither a second head nor the error page after an answer began
    seen.status = status;
}
int writeClient(quon_request* req, const char* buffer, int length) {
    touch(buffer, length);
    // The core marks the response started before the server's first bytes; the error
    // page is written before it does.
    if (req->responseStarted && buffer) {
        seen.wrote = true;
        seen.body += length;
        check(seen.declared < 0 || seen.body <= seen.declared);
    }
    if (t.writes++ >= t.failWritesFrom) {
        ++req->clientWriteFailures;
        return -1;
    }
    req->clientWriteFailures = 0;
    return 0;
}
int getPostData(quon_request*, char* buffer, int length) {
    static const char kBody[] = "name=value&more=data";
    if (t.failRead) return -1;
    size_t n = std::min(size_t(length), sizeof kBody - 1 - t.bodyOffset);
    memcpy(buffer, kBody + t.bodyOffset, n);
    t.bodyOffset += n;
    return int(n);
}
const char* getHeader(quon_request*, const char* name) {
    if (strcmp(name, "REQUEST_METHOD") == 0) return t.head ? "HEAD" : "POST";
    return strcmp(name, "Host") == 0 ? "www.test" : nullptr;
}
char* getRealPath(quon_request* req, const char* path) {
    return *path == '/' ? req->strdup(req, path) : nullptr;
}

void fillRequest(quon_request* req) {
    static const char* names[] = {"Host", "Accept", nullptr};
    static const char* values[] = {"www.test", "*/*", nullptr};
    init_quon_request(req);
    fuzz::quiet(req);
    req->connect = [](quon_request*, const qnAddress*, int, quonProxy*) {
        ++t.calls;
        for (int sock = 3; sock < kMostSockets; ++sock)
            if (!t.sockets[sock].open) {
                t.sockets[sock] = Socket{true, -1};
                ++t.open;
                return sock;
            }
        return -1;
    };
    req->closeSocket = [](quon_request*, int sock) {
        socketOf(sock).open = false;
        --t.open;
    };
    req->send = sendSink;
    req->recv = recvChunk;
    req->pending = pending;
    req->getHeader = getHeader;
    req->getRealPath = getRealPath;
    req->getPostData = getPostData;
    req->setStatus = setStatus;
    req->addHeader = addHeader;
    req->writeClient = writeClient;
    fuzz::counted(req);
    req->headerNames = names;
    req->headerValues = values;
    req->uri = "/app/x";
    req->firstPostRead = req->morePostData = 1;
    req->setAttribute(req, "client.cert", "\0bytes", 6);
}

// Whether the response that reached the client was cut: the model's own verdict.
void checkEnd(const quon_request& req, int result) {
    const bool bodyAllowed = !t.head && seen.status != 204 && seen.status != 304;
    if (result == 0) {
        const bool shortBody = bodyAllowed && seen.declared >= 0 && seen.body < seen.declared;
        check(req.responseBroken == (shortBody ? 1 : 0));
    } else if (seen.wrote) {
        check(req.responseBroken == 1);
    }
    if (!bodyAllowed) check(seen.body == 0);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::startOnce();
    if (size < 6) return 0;
    unsigned settings = data[0];
    t = Transport{};
    memcpy(t.chunks, data + 1, 4);
    t.head = data[5] & 1;
    t.moment = data[5] >> 1;
    t.sendsOk = (settings & 7) == 7 ? ~0u : settings & 7;
    t.failWritesFrom = (settings >> 3 & 7) == 7 ? ~0u : settings >> 3 & 7;
    t.failRead = settings & 64;
    int exchanges = 0;
    for (size_t at = 6; exchanges < kMostExchanges && at + 2 <= size; ++exchanges) {
        const size_t length = std::min<size_t>(size_t(data[at]) << 8 | data[at + 1], size - at - 2);
        Segment& segment = t.segments[exchanges];
        segment = Segment{data + at + 2, length, 0, nullptr, 0};
        at += 2 + length;
        if (at < size) {
            segment.late = std::min<size_t>(data[at], size - at - 1);
            segment.lateBytes = data + at + 1;
        }
        at += 1 + segment.late;
    }

    quon_request setup;
    fillRequest(&setup);
    quonProxy* proxy = quonProxyNew(&setup);
    check(proxy->initProxy(proxy, &setup, "127.0.0.2:9", 0, 1) == 0);
    proxy->serverInfo = permNew<proxyServerInfo>(&setup);
    proxy->serverInfo->active = 1;
    for (t.current = 0; t.current < exchanges; ++t.current) {
        quon_request req;
        fillRequest(&req);
        req.deferErrors = settings >> 7;
        seen = Seen{};
        int32_t seq = 0;
        const int result = proxy_handleRequest(&req, proxy, settings & 128 ? "arg" : nullptr, &seq);
        check(result == 0 || result == -1);
        checkEnd(req, result);
        for (Socket& s : t.sockets)
            if (s.segment == t.current) s.lateAt = t.calls + t.moment;
        req.freeAttributes(&req);
        req.freeAttributeNames(&req);
        t.bodyOffset = 0;
    }
    proxy->destroy(proxy, &setup);
    setup.freeAttributes(&setup);
    setup.freeAttributeNames(&setup);
    check(fuzz::liveBlocks == 0 && t.open == 0);
    return 0;
}
