// A back end's whole byte stream served to proxy_handleRequest through an in-memory
// transport. Input: a settings byte, four chunk-size bytes, then the stream. Settings:
// bits 0-2 how many sends succeed before they fail (7: all), bits 3-5 from which client
// write on they fail (7: none), bit 6 a failing request-body read, bit 7 an argument and
// deferred errors. Chunk byte k sizes every fourth receive (0: all that is asked), so
// short reads come everywhere. Exchanges follow each other on the pooled connection
// while they succeed. Checked: per-call memory all freed, every socket closed, and the
// connection pooled exactly when the exchange succeeded.
#include <apr_general.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "forward.h"
#include "fuzz_log.h"
#include "memory.h"
#include "proxy.h"
#include "request.h"
#include "sync.h"

namespace {
// Larger per-call blocks are refused, as a web server's pool may: lengths near 2 GiB
// then cost an ENOBUFS instead of slowing every run down.
constexpr int kLargestBlock = 1 << 20;
constexpr int kMostExchanges = 4;

void check(bool holds) {
    if (!holds) __builtin_trap();
}

struct Transport {
    const uint8_t* stream;
    size_t left;
    uint8_t chunks[4];
    unsigned recvs, sends, sendsOk, writes, failWritesFrom;
    bool failRead;
    int open, liveBlocks;
    size_t bodyOffset;
} t;


// Reads both ends of a buffer, so that ASan sees one that is shorter than its length.
void touch(const char* buffer, int length) {
    check(length >= 0);
    if (length == 0) return;
    volatile char ends = char(buffer[0] ^ buffer[length - 1]);
    (void)ends;
}

int recvChunk(quon_request*, int, char* buffer, int length, quonProxy*) {
    size_t chunk = t.chunks[t.recvs++ % 4];
    size_t n = std::min({size_t(length), t.left, chunk ? chunk : size_t(length)});
    memcpy(buffer, t.stream, n);
    t.stream += n;
    t.left -= n;
    return int(n);  // 0 once the stream is used up: the server has closed
}
int sendSink(quon_request* req, int, const char* buffer, int length) {
    if (t.sends++ >= t.sendsOk) {
        req->errorCode = EPIPE;
        return -1;
    }
    touch(buffer, length);
    return length;
}
int writeClient(quon_request* req, const char* buffer, int length) {
    touch(buffer, length);
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
    if (strcmp(name, "REQUEST_METHOD") == 0) return "POST";
    return strcmp(name, "Host") == 0 ? "www.test" : nullptr;
}
char* getRealPath(quon_request* req, const char* path) {
    return *path == '/' ? req->strdup(req, path) : nullptr;
}

void* countedMalloc(quon_request*, int size) {
    if (size > kLargestBlock) return nullptr;
    ++t.liveBlocks;
    return ::malloc(size_t(size < 1 ? 1 : size));
}
void countedFree(quon_request*, void* block) {
    t.liveBlocks -= block != nullptr;
    ::free(block);
}
void fillRequest(quon_request* req) {
    static const char* names[] = {"Host", "Accept", nullptr};
    static const char* values[] = {"www.test", "*/*", nullptr};
    init_quon_request(req);
    fuzzlog::quiet(req);
    req->connect = [](quon_request*, const sockaddr_in*) {
        ++t.open;
        return 7;
    };
    req->closeSocket = [](quon_request*, int) { --t.open; };
    req->send = sendSink;
    req->recv = recvChunk;
    req->getHeader = getHeader;
    req->getRealPath = getRealPath;
    req->getPostData = getPostData;
    req->setStatus = [](quon_request*, int, const char* reason) { check(reason != nullptr); };
    req->addHeader = [](quon_request*, const char* name, const char* value) {
        check(strlen(name) + strlen(value) < size_t(kLargestBlock));
    };
    req->writeClient = writeClient;
    req->malloc = countedMalloc;
    req->free = countedFree;
    req->headerNames = names;
    req->headerValues = values;
    req->uri = "/app/x";
    req->firstPostRead = req->morePostData = 1;
    req->setAttribute(req, "client.cert", "\0bytes", 6);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (apr_initialize(), initQuonMutexPool(), true);
    check(ready);
    if (size < 5) return 0;
    unsigned settings = data[0];
    t = Transport{data + 5, size - 5, {data[1], data[2], data[3], data[4]}};
    t.sendsOk = (settings & 7) == 7 ? ~0u : settings & 7;
    t.failWritesFrom = (settings >> 3 & 7) == 7 ? ~0u : settings >> 3 & 7;
    t.failRead = settings & 64;

    quon_request req;
    fillRequest(&req);
    req.deferErrors = settings >> 7;
    quonProxy* proxy = quonProxyNew(&req);
    check(proxy->initProxy(proxy, &req, "127.0.0.2:9", 0, 1) == 0);
    proxy->serverInfo = permNew<proxyServerInfo>(&req);
    proxy->serverInfo->active = 1;
    int result = 0;
    for (int round = 0; round < kMostExchanges && result == 0 && t.left > 0; ++round) {
        int32_t seq = 0;
        result = proxy_handleRequest(&req, proxy, settings & 128 ? "arg" : nullptr, &seq);
        check(result == 0 || result == -1);
        // Only a finished exchange gives its connection back, and not even that one when
        // the server sent bytes past its end (they were read ahead into the buffer).
        check(result == 0 || proxy->pool->freeList == nullptr);
        req.clientWriteFailures = 0;
    }
    req.freeAttributes(&req);
    req.freeAttributeNames(&req);
    proxy->destroy(proxy, &req);
    check(t.liveBlocks == 0 && t.open == 0);
    return 0;
}
