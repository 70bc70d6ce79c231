// The protocol primitives and the props exchange against a scripted peer, byte for byte.
#include <gtest/gtest.h>

#include <cerrno>

#include "loopback_peer.h"
#include "property.h"
#include "proxy_helpers.h"
#include "recording_request.h"
#include "wire.h"
#include "wire_codes.h"

namespace {
const std::string kPing = be32(PROXY_PING);
}  // namespace

struct PropsAnswer {
    const char* name;
    std::string bytes;    // what the server answers after the request
    bool table;           // a table comes back
    bool returned;        // the connection goes back to the pool
    const char* logLine;  // "" when none is expected
    int error = 0;        // errorCode the exchange leaves, when not 0
    int32_t seq = -1;     // the cluster sequence number it reports
    int maxProps = 16;    // the bound on a property text
};

TEST(WireProps, AnswersEndTheExchangeAsTheyShould) {
    for (const PropsAnswer& answer :
         {PropsAnswer{"FinishAlone", message(PROXY_FINISH), false, true, ""},
          PropsAnswer{"EmptyText", message(PROXY_PUT_PROPS, be32(0)) + message(PROXY_FINISH), true,
                      true, ""},
          PropsAnswer{"WithSequence",
                      message(PROXY_PUT_PROPS, wireString("a=1\n")) +
                          message(PROXY_PUT_CLUSTER_SEQ, be32(7)) + message(PROXY_FINISH),
                      true, true, "", 0, 7},
          PropsAnswer{"SecondTextWins",
                      message(PROXY_PUT_PROPS, wireString("a=1\n")) +
                          message(PROXY_PUT_PROPS, wireString("b=2\n")) + message(PROXY_FINISH),
                      true, true, ""},
          PropsAnswer{"CodeZero", be32(0), false, false, ""},
          PropsAnswer{"UnknownCode", message(5), false, false, "Unexpected command 5 <- ["},
          PropsAnswer{"Busy", message(PROXY_BUSY), false, false,
                      "Quon unable to fetch server-props <- [", EQUON_BUSY},
          PropsAnswer{"ClosedInAString", message(PROXY_PUT_PROPS, be32(50) + "a=1"), false, false,
                      "", ECONNRESET, -1, 64},
          PropsAnswer{"TextAtTheBound",
                      message(PROXY_PUT_PROPS, wireString("k=" + std::string(13, 'v') + "\n")) +
                          message(PROXY_FINISH),
                      true, true, ""},
          PropsAnswer{"TextOverTheBound",
                      message(PROXY_PUT_PROPS, wireString("k=" + std::string(14, 'v') + "\n")),
                      false, false, " sent PROXY_PUT_PROPS of 17 bytes, limit 16"},
          PropsAnswer{"ClosedInASequence", message(PROXY_PUT_CLUSTER_SEQ, "\x01"), false, false,
                      "Failed to read cluster update from 127.0.0.1:"}}) {
        SCOPED_TRACE(answer.name);
        RecordingRequest req;
        req->maxPropsSize = answer.maxProps;
        LoopbackPeer peer;
        BareProxy proxy(req.get(), peer.address());
        int32_t seq = 0;
        auto fetched =
            inBackground([&] { return fetchProps(req.get(), proxy.get(), "server-props", &seq); });
        ASSERT_TRUE(peer.accept());  // a new connection is pinged, then the request goes out
        EXPECT_EQ(peer.receive(24), kPing + message(PROXY_GET_PROPS, wireString("server-props")));
        peer.send(answer.bytes);
        if (!answer.returned) peer.close();
        propertyTable* table = fetched.get();
        EXPECT_EQ(table != nullptr, answer.table) << req.dump();
        EXPECT_EQ(proxy.idle(), answer.returned ? 1 : 0);
        EXPECT_EQ(req.contains("traceE", "fetchProps aborting"), !answer.returned) << req.dump();
        EXPECT_TRUE(!*answer.logLine || req.contains("log", answer.logLine)) << req.dump();
        EXPECT_FALSE(answer.bytes.substr(0, 4) == be32(0) &&
                     req.contains("log", "Unexpected command"));
        EXPECT_TRUE(!answer.error || req->errorCode == answer.error) << req->errorCode;
        EXPECT_EQ(seq, answer.seq);
        if (table) freeProperties(req.get(), table);
    }
}

// A stale idle connection (the server closed it meanwhile) costs the caller nothing: the
// message goes out again on a fresh connection, and only that attempt is seen. A fresh
// connection closed before the answer is not tried again: hostile_test's NothingAtAll.
TEST(WireExchange, AStaleIdleConnectionIsReplaced) {
    RecordingRequest req;
    LoopbackPeer peer;
    BareProxy proxy(req.get(), peer.address());
    auto fetch = [&] {
        return inBackground([&] { return fetchProps(req.get(), proxy.get(), "s", nullptr); });
    };
    auto first = fetch();
    ASSERT_TRUE(peer.accept());
    peer.receive(13);
    peer.send(message(PROXY_FINISH));
    EXPECT_EQ(first.get(), nullptr);
    ASSERT_EQ(proxy.idle(), 1);
    peer.close();  // the server drops the idle connection
    req.clear();
    auto second = fetch();
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
