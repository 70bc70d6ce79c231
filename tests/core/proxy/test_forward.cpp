// Forwarding one request against a scripted peer: the PROXY_SERVICE_40 bytes, every
// command of the exchange, the receive side's bounds, a connection out of step, body data
// in pieces, and the failures with their error pages. The bound on a property text:
// test_wire.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "error_page.h"
#include "fake_web_server.h"
#include "forward.h"
#include "loopback_peer.h"
#include "memory.h"
#include "proxy_helpers.h"
#include "socket.h"
#include "wire.h"
#include "wire_codes.h"

namespace {
const char* const kVariables[] = {
    "QUERY_STRING",       "REQUEST_METHOD", "SCRIPT_NAME", "PATH_INFO",       "REMOTE_HOST",
    "REMOTE_ADDR",        "SERVER_NAME",    "SERVER_PORT", "SERVER_PROTOCOL", "PATH_TRANSLATED",
    "SERVER_PORT_SECURE", "REMOTE_USER",    "AUTH_TYPE"};
const int32_t kVariableCodes[] = {19, 22, 29, 28, 20, 21, 24, 25, 26, 27, 33, 34, 35};

// A GET as the handler hook prepares it: some variables set, the rest missing.
void plainGet(FakeWebServer& web) {
    web.uri = "/app/x";
    web.variables = {{"REQUEST_METHOD", "GET"},    {"QUERY_STRING", "a=1"},
                     {"SERVER_NAME", "www.test"},  {"SERVER_PORT", "80"},
                     {"REMOTE_ADDR", "127.0.0.1"}, {"SERVER_PROTOCOL", "HTTP/1.1"}};
    web.headers = {{"Host", "www.test"}, {"Accept", "*/*"}};
    web.prepare();
}

// The message written out item by item from the layout.
std::string expected(const FakeWebServer& web, const std::string& attributes = "",
                     const std::string& afterUri = "", const std::string& beforeEnd = "",
                     bool withHeaders = true) {
    std::string items = attributes;
    for (int i = 0; i < 13; ++i) {
        auto found = web.variables.find(kVariables[i]);
        items +=
            be32(kVariableCodes[i]) + wireString(found == web.variables.end() ? "" : found->second);
    }
    items += be32(23) + wireString(web.uri) + afterUri;
    for (const auto& [name, value] : web.headers)
        if (withHeaders) items += be32(32) + wireString(name) + wireString(value);
    items += beforeEnd + be32(31);
    return be32(39) + be32(int32_t(items.size())) + items;
}

std::string chunks(int count) {
    std::string answer;
    for (int i = 0; i < count; ++i) answer += message(PROXY_PUT_CLIENT, wireString("chunk"));
    return answer + message(PROXY_FINISH);
}

std::string protocolError(const std::string& server, const char* command, long length, int limit) {
    return "protocol error: " + server + " sent " + command + " of " + std::to_string(length) +
           " bytes, limit " + std::to_string(limit);
}
}  // namespace

class ForwardPeer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.listening());
        info.active = 1;
        proxy->serverInfo = &info;
        plainGet(web);
    }
    void TearDown() override { proxy->serverInfo = nullptr; }

    // Forwards in the background while the peer reads the request and answers; counted, if
    // given, starts again from 0 before the answer goes out.
    int exchange(const std::string& answer, int32_t* seq = nullptr,
                 std::atomic<long>* counted = nullptr) {
        auto result =
            inBackground([&] { return proxy_handleRequest(web.get(), proxy.get(), nullptr, seq); });
        EXPECT_TRUE(peer.accept());
        request = receiveRequest(peer);
        if (counted) *counted = 0;
        peer.send(answer);
        return result.get();
    }

    FakeWebServer web;
    LoopbackPeer peer;
    BareProxy proxy{web.get(), peer.address()};
    proxyServerInfo info{};
    std::string request;
};

// A body that cannot be read from the client: the server learns it, and the exchange ends
// there, with nothing of the server's answer for the client and the connection closed.
TEST_F(ForwardPeer, AFailedBodyReadEndsTheExchange) {
    web.body = "bb";
    web.failRead = true;
    web.prepare();
    EXPECT_EQ(
        exchange(message(PROXY_GET_DATA, be32(10)) +
                 message(PROXY_PUT_STATUS, be32(400) + wireString("Bad")) + message(PROXY_FINISH)),
        -1);
    EXPECT_FALSE(request.empty());
    EXPECT_EQ(peer.receive(8), be32(PROXY_POST_DATA) + be32(-1));
    EXPECT_TRUE(web.recorder.contains("log", "sendPostData: error reading from client"));
    EXPECT_EQ(web.status, 0);
    EXPECT_TRUE(web.writes.empty());
    EXPECT_EQ(proxy.idle(), 0);
    web.finish();
}

TEST_F(ForwardPeer, ServesEveryCommandOfTheExchange) {
    web.realPaths["/docs/x"] = "/srv/docs/x";
    web.body = std::string(40963, 'b');
    web.prepare();
    // Attributes newest first with their bytes, the argument after the URI, the session
    // last; header names without their value array count as no headers.
    const char binary[] = {'x', '\0', 'y'};
    web->setAttribute(web.get(), "bin", binary, 3);
    web->setAttribute(web.get(), "cipher", "AES", 3);
    char session[] = "ABCDxyzTRWXYZ";
    web->sessionId = session;
    web->headerValues = nullptr;
    int32_t seq = 0;
    auto result =
        inBackground([&] { return proxy_handleRequest(web.get(), proxy.get(), "the-arg", &seq); });
    ASSERT_TRUE(peer.accept());
    std::string attributes = be32(18) + wireString("cipher") + wireString("AES") + be32(18) +
                             wireString("bin") + wireString(std::string(binary, 3));
    EXPECT_EQ(receiveRequest(peer), expected(web, attributes, be32(30) + wireString("the-arg"),
                                             be32(42) + wireString(session), false));
    peer.send(message(PROXY_GET_HEADER, wireString("X-Missing")) +
              message(PROXY_GET_HEADER, wireString("Accept")));
    EXPECT_EQ(peer.receive(11), be32(0) + wireString("*/*"));
    peer.send(message(PROXY_GET_REALPATH, wireString("/docs/x")));
    EXPECT_EQ(peer.receive(15), wireString("/srv/docs/x"));
    // At most 40960 bytes an answer, then what is left, then the end; a failed read is sent.
    peer.send(message(PROXY_GET_DATA, be32(100000)));
    EXPECT_EQ(peer.receive(8), be32(PROXY_POST_DATA) + be32(40960));
    EXPECT_EQ(peer.receive(40960), std::string(40960, 'b'));
    peer.send(message(PROXY_GET_DATA, be32(10)) + message(PROXY_GET_DATA, be32(10)));
    EXPECT_EQ(peer.receive(19),
              be32(PROXY_POST_DATA) + be32(3) + "bbb" + be32(PROXY_POST_DATA) + be32(0));
    peer.send(message(PROXY_PUT_STATUS, be32(201) + wireString("Made")) +
              message(PROXY_PUT_HEADER, wireString("A: 1\r\nSet-Cookie: c=1\r\n x\r\nB: dropped")) +
              message(PROXY_PUT_HEADER_VALUE, wireString("Set-Cookie") + wireString("d=2")) +
              message(PROXY_SET_ATTRIBUTE, wireString("attr") + wireString("val")) +
              message(PROXY_PUT_LOAD_VALUE, be32(77)) + message(PROXY_PUT_CLUSTER_SEQ, be32(9)) +
              message(PROXY_PUT_CLIENT, wireString("hello ")) +
              message(PROXY_PUT_CLIENT, wireString("")) +
              message(PROXY_PUT_CLIENT, wireString("world")) + message(PROXY_FINISH));
    EXPECT_EQ(result.get(), 0) << web.recorder.dump();
    for (const char* name : kVariables) EXPECT_EQ(web.lookups[name], 1) << name;
    EXPECT_EQ(web.headersHandedBack, 13 + 2);  // the variables, then the two headers asked for
    EXPECT_EQ(web.status, 201);
    EXPECT_EQ(web.reason, "Made");
    using Headers = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(web.responseHeaders,
              (Headers{{"A", "1"}, {"Set-Cookie", "c=1 x"}, {"Set-Cookie", "d=2"}}));
    EXPECT_EQ(web.responseBody, "hello world");
    // Each piece as it came (the server's empty one a flush), then a flush.
    EXPECT_EQ(web.writes, (std::vector<int>{6, 0, 5, 0}));
    EXPECT_EQ(info.weight.load(), 77);
    EXPECT_EQ(seq, 9);
    EXPECT_EQ(web->responseStarted, 1);
    EXPECT_EQ(proxy.idle(), 1);
    web->sessionId = nullptr;
    web.finish();
    EXPECT_EQ(web.liveBlocks(), 0);  // the attributes' buffers went with the request
}

// What the server sets lives until the request ends: a second attempt, as the dispatch
// makes after a failure, carries it to the next server. A finish at once only flushes
// and leaves the sequence unset.
TEST_F(ForwardPeer, ServerAttributesLiveUntilTheEndOfTheRequest) {
    web->deferErrors = 1;
    EXPECT_EQ(exchange(message(PROXY_SET_ATTRIBUTE, wireString("node") + wireString("A")) +
                       message(PROXY_BUSY)),
              -1);
    int32_t seq = 5;
    EXPECT_EQ(exchange(message(PROXY_FINISH), &seq), 0);
    EXPECT_EQ(request, expected(web, be32(18) + wireString("node") + wireString("A")));
    EXPECT_EQ(seq, -1);
    EXPECT_EQ(web.writes, std::vector<int>{0});
    EXPECT_EQ(web.status, 0);
    web.finish();
    EXPECT_EQ(web.liveBlocks(), 0);
}

// Without memory for the attribute's node its name and value are released at once.
TEST_F(ForwardPeer, AttributeWithoutANodeFreesItsBuffers) {
    static qnMallocFn counted = web->malloc;
    web->malloc = [](quon_request* req, int size) {
        return size == int(sizeof(qnAttribute)) ? nullptr : counted(req, size);
    };
    EXPECT_EQ(exchange(message(PROXY_SET_ATTRIBUTE, wireString("n") + wireString("v")) +
                       message(PROXY_FINISH)),
              0);
    EXPECT_EQ(web->attributes, nullptr);
    web.finish();
    EXPECT_EQ(web.liveBlocks(), 0);
}

// Four failed writes in a row are absorbed, the final flush failing too.
TEST_F(ForwardPeer, FourFailedWritesAreAbsorbed) {
    web.failWritesFrom = 0;
    EXPECT_EQ(exchange(chunks(4)), 0);
    EXPECT_EQ(web->errorCode, EQUON_CLIENT_DOWN);
    EXPECT_EQ(proxy.idle(), 1);
}

// A server that answers nothing within the response bound (the receive time-out is far
// longer): the 504 page byte for byte, the connection closed rather than pooled, the
// server not marked down, no deadline left on the record.
TEST_F(ForwardPeer, TheResponseBoundGivesTheTimeoutPage) {
    web->responseTimeout = 200;
    EXPECT_EQ(exchange(""), -1);
    EXPECT_EQ(web->errorCode, EQUON_RESPONSE_TIMEOUT);
    EXPECT_EQ(web.status, 504);
    EXPECT_EQ(web.reason, "Gateway Timeout");
    EXPECT_EQ(web.responseBody,
              "<H2>Gateway Timeout</H2>The application server did not complete its response in "
              "time.<P><B>Quon Server response timed out.</B>");
    EXPECT_EQ(proxy.idle(), 0);
    EXPECT_TRUE(proxy->nextProxyRetryTime.load() == 0 && info.active.load() == 1);
    EXPECT_EQ(web->responseDeadline, 0);
}

struct Bound {
    const char* name;
    std::string answer;   // before PROXY_FINISH
    const char* command;  // in the log line; nullptr when the answer is within bounds
    long length;          // as the line reports it
    int limit;
};

void PrintTo(const Bound& b, std::ostream* out) { *out << b.name; }

// A server's lengths within and beyond the record's bounds.
class Bounds : public ForwardPeer, public ::testing::WithParamInterface<Bound> {
protected:
    void SetUp() override {
        ForwardPeer::SetUp();
        web->maxHeaderSize = 64;
        web->maxPropsSize = 16;
    }
};

TEST_P(Bounds, BeyondTheBoundIsAProtocolError) {
    const Bound& b = GetParam();
    int result = exchange(b.answer + message(PROXY_FINISH));
    web.finish();
    std::string line =
        b.command ? protocolError(serverName(peer.address()), b.command, b.length, b.limit) : "";
    EXPECT_EQ(web.recorder.count("log", line), b.command ? 1 : 0) << web.recorder.dump();
    EXPECT_EQ(result, b.command ? -1 : 0);
    EXPECT_EQ(web->errorCode, b.command ? EQUON_OUT_OF_SYNC : 0);
    EXPECT_EQ(proxy.idle(), b.command ? 0 : 1);
    EXPECT_EQ(web.status, b.command ? 503 : 0);
    EXPECT_EQ(web.liveBlocks(), 0);
}

std::string header(int length) { return "X: " + std::string(size_t(length - 5), 'v') + "\r\n"; }
std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

INSTANTIATE_TEST_SUITE_P(
    Receive, Bounds,
    ::testing::Values(
        Bound{"HeaderAtLimit", message(PROXY_PUT_HEADER, wireString(header(64))), nullptr, 0, 0},
        Bound{"HeaderOverLimit", message(PROXY_PUT_HEADER, wireString(header(65))),
              "PROXY_PUT_HEADER", 65, 64},
        Bound{"EndlessEmptyHeaders", repeated(message(PROXY_PUT_HEADER, be32(0)), 100),
              "PROXY_PUT_HEADER", 65, 64},
        Bound{
            "HeaderValuesSum",
            message(PROXY_PUT_HEADER_VALUE, wireString("A") + wireString(std::string(40, 'v'))) +
                message(PROXY_PUT_HEADER_VALUE, wireString("B") + wireString(std::string(30, 'v'))),
            "PROXY_PUT_HEADER_VALUE", 72, 64},
        Bound{"StatusReason", message(PROXY_PUT_STATUS, be32(200) + be32(65)), "PROXY_PUT_STATUS",
              65, 64},
        Bound{"GetHeaderName", message(PROXY_GET_HEADER, be32(INT_MAX)), "PROXY_GET_HEADER",
              INT_MAX, 64},
        Bound{"RealPathNegative", message(PROXY_GET_REALPATH, be32(INT_MIN)), "PROXY_GET_REALPATH",
              INT_MIN, 64},
        Bound{"NegativeBody", message(PROXY_PUT_CLIENT, be32(-7)), "PROXY_PUT_CLIENT", -7, INT_MAX},
        Bound{"AttributeAtLimit",
              message(PROXY_SET_ATTRIBUTE, wireString("a") + wireString(std::string(16, 'v'))),
              nullptr, 0, 0},
        Bound{"AttributeOverLimit",
              message(PROXY_SET_ATTRIBUTE, wireString("a") + wireString(std::string(17, 'v'))),
              "PROXY_SET_ATTRIBUTE", 17, 16}),
    [](const auto& info) { return std::string(info.param.name); });

// Bytes after PROXY_FINISH, even one, mean the server is out of step: the connection is
// closed.
TEST_F(ForwardPeer, UnreadBytesKeepTheConnectionOutOfThePool) {
    for (bool extra : {false, true}) {
        SCOPED_TRACE(extra);
        std::string answer = message(PROXY_PUT_CLIENT, wireString("body")) + message(PROXY_FINISH);
        auto result = inBackground(
            [&] { return proxy_handleRequest(web.get(), proxy.get(), nullptr, nullptr); });
        ASSERT_TRUE(extra || peer.accept());
        ASSERT_FALSE(receiveRequest(peer, !extra).empty());  // the second reuses the connection
        peer.send(answer + (extra ? "x" : ""));
        EXPECT_EQ(result.get(), 0) << web.recorder.dump();
        EXPECT_EQ(proxy.idle(), extra ? 0 : 1);
        EXPECT_EQ(web.recorder.contains("log", "bytes sent after the end"), extra);
        EXPECT_EQ(web->errorCode, 0);
    }
}

// Several MiB of body in one message reach the client intact, in pieces of at most 64 KiB,
// without a buffer of the message's size.
TEST_F(ForwardPeer, LargeBodyGoesToTheClientInPieces) {
    static std::atomic<long> bytesAllocated{0};
    static qnMallocFn counted = web->malloc;
    web->malloc = [](quon_request* req, int size) {
        bytesAllocated += size;
        return counted(req, size);
    };
    std::string body(5 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = char('a' + i % 23);
    EXPECT_EQ(exchange(message(PROXY_PUT_CLIENT, wireString(body)) + message(PROXY_FINISH), nullptr,
                       &bytesAllocated),
              0);
    EXPECT_TRUE(web.responseBody == body) << web.responseBody.size();
    EXPECT_GT(web.writes.size(), 2u);
    for (int length : web.writes) EXPECT_LE(length, 65536);
    EXPECT_LE(bytesAllocated.load(), 65536);
    EXPECT_EQ(proxy.idle(), 1);
}

// Connect faults, made for real; the others (reset, busy, protocol error, a client gone)
// are met through Apache in the integration tests. A connect that fails marks the server
// down, a lack of memory for the connection record does not; each gives its page byte for
// byte.
TEST(ErrorPages, ConnectFaults) {
    RefusingPort refusing;
    FullBacklogListener backlog;
    LoopbackPeer peer;
    ASSERT_TRUE(refusing.bound() && backlog.full() && peer.listening());
    const char* const noConnect = "Could not connect to Quon Server";
    const std::tuple<const sockaddr_in&, int, const char*> rows[] = {
        {refusing.address(), ECONNREFUSED, noConnect},
        {backlog.address(), ETIMEDOUT, noConnect},
        {peer.address(), ENOBUFS, "Quon Connector Protocol Error"}};
    for (const auto& [address, error, page] : rows) {
        SCOPED_TRACE(error);
        FakeWebServer web;
        web->connectTimeout = 100;
        BareProxy target(web.get(), address);
        target->proxyRetryInterval = 30;
        refusedBlockSize = error == ENOBUFS ? int(sizeof(quonConnection)) : -1;
        web->permMalloc = refusingMalloc;  // with ENOBUFS, no record for the new connection
        EXPECT_EQ(proxy_handleRequest(web.get(), target.get(), nullptr, nullptr), -1);
        web->permMalloc = qnMalloc;
        EXPECT_EQ(web->errorCode, error);
        EXPECT_EQ(target->nextProxyRetryTime.load() != 0, error != ENOBUFS);
        EXPECT_EQ(web.status, 503);
        EXPECT_EQ(web.reason, "Server Error");
        EXPECT_EQ(web.responseHeaders.at(0),
                  (std::pair<std::string, std::string>{"content-type", "text/html"}));
        EXPECT_EQ(web.responseBody,
                  "<H2>Server Error</H2>The server encountered an internal error and was unable "
                  "to complete your request.<P><B>" +
                      std::string(page) + ".</B>");
    }
}

// The class of each error, deferred (the dispatch may call with no server at all: only the
// log line, byte for byte, with the error's number) and answered (the page). A host or
// network that cannot be reached is a connect failure, as the pool takes it, and so is
// the dispatch's own "no server could take it".
TEST(ErrorPage, ClassOfEachErrorDeferredAndAnswered) {
    const char* const noConnect = "Could not connect to Quon Server";
    const char* const protocol = "Quon Connector Protocol Error";
    const std::pair<int, const char*> rows[] = {
        {ETIMEDOUT, noConnect},        {ECONNREFUSED, noConnect},
        {EHOSTUNREACH, noConnect},     {ENETUNREACH, noConnect},
        {EQUON_NO_SERVER, noConnect},  {EHOSTDOWN, protocol},
        {EQUON_OUT_OF_SYNC, protocol}, {ECONNRESET, "Quon closed connection"}};
    for (const auto& [error, page] : rows) {
        SCOPED_TRACE(error);
        for (int deferred : {1, 0}) {
            FakeWebServer web;
            web->errorCode = error;
            web->deferErrors = deferred;
            proxyerror(web.get(), nullptr);
            const std::string line = "<null> deferred error: " + std::string(page) + " : " +
                                     std::to_string(error) + ": " + describeError(error);
            EXPECT_EQ(web.recorder.count("log", line), deferred) << web.recorder.dump();
            EXPECT_EQ(web.writes.empty(), deferred == 1);
            EXPECT_EQ(web.responseBody.find(std::string(page) + ".</B>") != std::string::npos,
                      deferred == 0);
        }
    }
}
