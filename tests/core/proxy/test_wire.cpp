// The protocol primitives and the props exchange against a scripted peer, byte for byte.
#include <gtest/gtest.h>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#include "loopback_peer.h"
#include "property.h"
#include "proxy_helpers.h"
#include "recording_request.h"
#include "wire.h"
#include "wire_bytes.h"
#include "wire_codes.h"

namespace {
const std::string kPing = be32(PROXY_PING);

// A connected pair of sockets for the primitives that need no pool.
struct SocketPair {
    int ours = -1, theirs = -1;
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) ours = fds[0], theirs = fds[1];
    }
    ~SocketPair() {
        if (ours >= 0) close(ours);
        if (theirs >= 0) close(theirs);
    }
    std::string drain(size_t n) {
        std::string bytes(n, '\0');
        size_t got = 0;
        while (got < n) {
            ssize_t r = read(theirs, bytes.data() + got, n - got);
            if (r <= 0) break;
            got += size_t(r);
        }
        bytes.resize(got);
        return bytes;
    }
};
}  // namespace

TEST(WireStrings, NullAndEmptyGoOutAsALengthOfZero) {
    RecordingRequest req;
    SocketPair pair;
    EXPECT_EQ(writeString(req.get(), pair.ours, nullptr), 0);
    EXPECT_EQ(writeString(req.get(), pair.ours, ""), 0);
    EXPECT_EQ(writeString(req.get(), pair.ours, "ab"), 0);
    EXPECT_EQ(pair.drain(14), be32(0) + be32(0) + wireString("ab"));
    char buffer[16];
    EXPECT_EQ(appendString(buffer, 2, "xyz"), 9);
    EXPECT_EQ(std::string(buffer + 2, 7), wireString("xyz"));
}

TEST(WireStrings, ReadDataKeepsBytesAndRefusesImpossibleLengths) {
    RecordingRequest req;
    SocketPair pair;
    std::string bytes = wireString("") + wireString(std::string("a\0b", 3)) + be32(-5);
    ASSERT_EQ(write(pair.theirs, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    int length = -1;
    char* empty = readData(pair.ours, req.get(), &length, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_STREQ(empty, "");
    req->free(req.get(), empty);
    char* binary = readData(pair.ours, req.get(), &length, nullptr);
    ASSERT_NE(binary, nullptr);
    EXPECT_EQ(std::string(binary, size_t(length)), std::string("a\0b", 3));
    EXPECT_EQ(binary[3], '\0');
    req->free(req.get(), binary);
    req->errorCode = 1234;
    EXPECT_EQ(readData(pair.ours, req.get(), &length, nullptr), nullptr);  // negative length
    EXPECT_EQ(req->errorCode, 0);  // the receive of the length word cleared it; nothing else set it
    std::string absurd = be32(0x7fffffff);
    ASSERT_EQ(write(pair.theirs, absurd.data(), 4), 4);
    EXPECT_EQ(readData(pair.ours, req.get(), &length, nullptr), nullptr);
    EXPECT_EQ(req->errorCode, ENOBUFS);
}

TEST(WireStrings, PeerClosingInTheMiddleOfAStringIsAReset) {
    RecordingRequest req;
    SocketPair pair;
    std::string partial = be32(10) + "abc";
    ASSERT_EQ(write(pair.theirs, partial.data(), partial.size()), ssize_t(partial.size()));
    close(pair.theirs);
    pair.theirs = -1;
    EXPECT_EQ(readData(pair.ours, req.get(), nullptr, nullptr), nullptr);
    EXPECT_EQ(req->errorCode, ECONNRESET);
    EXPECT_EQ(req.count("traceE", "readFully: [" + std::to_string(pair.ours) +
                                      "] peer closed connection"),
              1)
        << req.dump();
}

TEST(WireExchange, NewConnectionIsPingedThenThePropsRequestGoesOut) {
    RecordingRequest req;
    LoopbackPeer peer;
    BareProxy proxy(req.get(), peer.address());
    int32_t seq = 0;
    auto fetched = inBackground([&] { return fetchProps(req.get(), proxy.get(), "server-props", &seq); });
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.receive(4), kPing);
    EXPECT_EQ(peer.receive(20), std::string("\x00\x00\x00\x0D\x00\x00\x00\x0C", 8) + "server-props");
    peer.send(message(PROXY_PUT_PROPS, wireString("mapcheck=5\nweight=2\n")) +
              message(PROXY_PUT_CLUSTER_SEQ, be32(7)) + message(PROXY_FINISH));
    propertyTable* table = fetched.get();
    ASSERT_NE(table, nullptr);
    EXPECT_STREQ(getPropertyValue(table, "weight"), "2");
    EXPECT_EQ(table->count, 2);
    EXPECT_EQ(seq, 7);
    EXPECT_EQ(proxy.idle(), 1);  // the connection went back to the pool
    freeProperties(req.get(), table);
}

struct PropsAnswer {
    const char* name;
    std::string bytes;     // what the server answers after the request
    bool table;            // a table comes back
    bool returned;         // the connection goes back to the pool
    const char* logLine;   // "" when none is expected
    int error = 0;         // errorCode the exchange leaves, when not 0
};

void PrintTo(const PropsAnswer& a, std::ostream* out) { *out << a.name; }

class WirePropsAnswers : public ::testing::TestWithParam<PropsAnswer> {};

TEST_P(WirePropsAnswers, EndTheExchangeAsTheyShould) {
    const PropsAnswer& answer = GetParam();
    RecordingRequest req;
    LoopbackPeer peer;
    BareProxy proxy(req.get(), peer.address());
    auto fetched = inBackground([&] { return fetchProps(req.get(), proxy.get(), "server-props", nullptr); });
    ASSERT_TRUE(peer.accept());
    peer.receive(24);
    peer.send(answer.bytes);
    if (!answer.returned) peer.close();
    propertyTable* table = fetched.get();
    EXPECT_EQ(table != nullptr, answer.table) << req.dump();
    EXPECT_EQ(proxy.idle(), answer.returned ? 1 : 0);
    EXPECT_EQ(req.contains("traceE", "fetchProps aborting"), !answer.returned) << req.dump();
    if (*answer.logLine) {
        EXPECT_TRUE(req.contains("log", answer.logLine)) << req.dump();
    }
    EXPECT_FALSE(answer.bytes.substr(0, 4) == be32(0) && req.contains("log", "Unexpected command"));
    if (answer.error) {
        EXPECT_EQ(req->errorCode, answer.error);
    }
    if (table) freeProperties(req.get(), table);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, WirePropsAnswers,
    ::testing::Values(
        PropsAnswer{"FinishAlone", message(PROXY_FINISH), false, true, ""},
        PropsAnswer{"EmptyText", message(PROXY_PUT_PROPS, be32(0)) + message(PROXY_FINISH), true,
                    true, ""},
        PropsAnswer{"SecondTextWins",
                    message(PROXY_PUT_PROPS, wireString("a=1\n")) +
                        message(PROXY_PUT_PROPS, wireString("b=2\n")) + message(PROXY_FINISH),
                    true, true, ""},
        PropsAnswer{"CodeZero", be32(0), false, false, ""},
        PropsAnswer{"UnknownCode", message(5), false, false,
                    "Unexpected command 5 <- ["},
        PropsAnswer{"Busy", message(PROXY_BUSY), false, false,
                    "Quon unable to fetch server-props <- [", EQUON_BUSY},
        PropsAnswer{"ClosedInAString", message(PROXY_PUT_PROPS, be32(50) + "a=1"), false, false,
                    "", ECONNRESET},
        PropsAnswer{"ClosedInASequence", message(PROXY_PUT_CLUSTER_SEQ, "\x01"), false, false,
                    "Failed to read cluster update from 127.0.0.1:"}),
    [](const auto& info) { return std::string(info.param.name); });

// A stale idle connection (the server closed it meanwhile) costs the caller nothing:
// the message goes out again on a fresh connection, and only that attempt is seen.
TEST(WireExchange, StaleIdleConnectionIsReplacedOnce) {
    RecordingRequest req;
    LoopbackPeer peer;
    BareProxy proxy(req.get(), peer.address());
    auto first = inBackground([&] { return fetchProps(req.get(), proxy.get(), "s", nullptr); });
    ASSERT_TRUE(peer.accept());
    peer.receive(13);
    peer.send(message(PROXY_FINISH));
    EXPECT_EQ(first.get(), nullptr);
    ASSERT_EQ(proxy.idle(), 1);
    peer.close();  // the server drops the idle connection
    req.clear();
    auto second = inBackground([&] { return fetchProps(req.get(), proxy.get(), "s", nullptr); });
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.receive(4), kPing);
    EXPECT_EQ(peer.receive(9), message(PROXY_GET_PROPS, wireString("s")));
    peer.send(message(PROXY_PUT_PROPS, wireString("k=v\n")) + message(PROXY_FINISH));
    propertyTable* table = second.get();
    ASSERT_NE(table, nullptr) << req.dump();
    EXPECT_STREQ(getPropertyValue(table, "k"), "v");
    EXPECT_FALSE(req.contains("log", "dropped while sending command")) << req.dump();
    EXPECT_EQ(proxy.idle(), 1);
    freeProperties(req.get(), table);
}

TEST(WireExchange, FreshConnectionClosedBeforeTheAnswerIsNotRetried) {
    RecordingRequest req;
    LoopbackPeer peer;
    BareProxy proxy(req.get(), peer.address());
    auto fetched = inBackground([&] { return fetchProps(req.get(), proxy.get(), "s", nullptr); });
    ASSERT_TRUE(peer.accept());
    peer.receive(13);
    peer.close();
    EXPECT_EQ(fetched.get(), nullptr);
    EXPECT_TRUE(req.contains("log", "Quon closed connection. [")) << req.dump();
    EXPECT_TRUE(req.contains("log", "] dropped while sending command"));
    EXPECT_TRUE(req.contains("trace", "could not fetch s"));
    EXPECT_FALSE(peer.accept(200));  // no second attempt
}
