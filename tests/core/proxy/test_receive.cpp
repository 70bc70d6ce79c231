// The receive side of an exchange against a scripted peer: bounded lengths, a connection
// out of step, and body data in pieces. The bound on a property text: test_wire.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>

#include "fake_web_server.h"
#include "forward.h"
#include "loopback_peer.h"
#include "property.h"
#include "proxy_helpers.h"
#include "wire.h"
#include "wire_codes.h"

namespace {
std::atomic<long> bytesAllocated{0};

std::string protocolError(const std::string& server, const char* command, long length, int limit) {
    return "protocol error: " + server + " sent " + command + " of " + std::to_string(length) +
           " bytes, limit " + std::to_string(limit);
}
}  // namespace

class ReceivePeer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.listening());
        web.uri = "/app/x";
        web.prepare();
        web->maxHeaderSize = 64;
        web->maxPropsSize = 16;
        bytesAllocated = 0;
        static qnMallocFn realMalloc = web->malloc;
        web->malloc = [](quon_request* req, int size) {
            bytesAllocated += size;
            return realMalloc(req, size);
        };
    }
    int exchange(const std::string& answer) {
        auto result = inBackground(
            [&] { return proxy_handleRequest(web.get(), proxy.get(), nullptr, nullptr); });
        EXPECT_TRUE(peer.accept());
        EXPECT_FALSE(receiveRequest(peer).empty());
        bytesAllocated = 0;
        peer.send(answer);
        int ended = result.get();
        web.finish();
        return ended;
    }
    std::string name() const { return serverName(peer.address()); }

    FakeWebServer web;
    LoopbackPeer peer;
    BareProxy proxy{web.get(), peer.address()};
};

struct Bound {
    const char* name;
    std::string answer;   // before PROXY_FINISH
    const char* command;  // in the log line; nullptr when the answer is within bounds
    long length;          // as the line reports it
    int limit;
};

void PrintTo(const Bound& b, std::ostream* out) { *out << b.name; }

class Bounds : public ReceivePeer, public ::testing::WithParamInterface<Bound> {};

TEST_P(Bounds, BeyondTheBoundIsAProtocolError) {
    const Bound& b = GetParam();
    int result = exchange(b.answer + message(PROXY_FINISH));
    std::string line = b.command ? protocolError(name(), b.command, b.length, b.limit) : "";
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

// Bytes after PROXY_FINISH mean the server is out of step: the connection is closed.
TEST_F(ReceivePeer, UnreadBytesKeepTheConnectionOutOfThePool) {
    for (bool extra : {false, true}) {
        SCOPED_TRACE(extra);
        std::string answer = message(PROXY_PUT_CLIENT, wireString("body")) + message(PROXY_FINISH);
        auto result = inBackground(
            [&] { return proxy_handleRequest(web.get(), proxy.get(), nullptr, nullptr); });
        ASSERT_TRUE(extra || peer.accept());
        ASSERT_FALSE(receiveRequest(peer, !extra).empty());  // the second reuses the connection
        peer.send(answer + (extra ? message(PROXY_PUT_CLIENT, wireString("stray")) : ""));
        EXPECT_EQ(result.get(), 0) << web.recorder.dump();
        EXPECT_EQ(proxy.idle(), extra ? 0 : 1);
        EXPECT_EQ(web.recorder.contains("log", "bytes sent after the end"), extra);
        EXPECT_EQ(web->errorCode, 0);
    }
}

// Several MiB of body in one message reach the client intact, in pieces of at most 64 KiB,
// without a buffer of the message's size.
TEST_F(ReceivePeer, LargeBodyGoesToTheClientInPieces) {
    std::string body(5 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = char('a' + i % 23);
    EXPECT_EQ(exchange(message(PROXY_PUT_CLIENT, wireString(body)) + message(PROXY_FINISH)), 0);
    EXPECT_TRUE(web.responseBody == body) << web.responseBody.size();
    EXPECT_GT(web.writes.size(), 2u);
    for (int length : web.writes) EXPECT_LE(length, 65536);
    EXPECT_LE(bytesAllocated.load(), 65536);
    EXPECT_EQ(proxy.idle(), 1);
}
