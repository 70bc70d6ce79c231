// The connection pool: reachability bookkeeping and probes, and the flush of idle
// connections by error class.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "flags.h"
#include "loopback_peer.h"
#include "memory.h"
#include "pool.h"
#include "proxy_helpers.h"
#include "recording_request.h"
#include "socket.h"
#include "wire_codes.h"

namespace {
// A proxy that knows its server's settings, as after initProxy.
class PoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.listening());
        proxy->proxyRetryInterval = 30;
        info.active = 1;
        proxy->serverInfo = &info;
    }
    void TearDown() override { proxy->serverInfo = nullptr; }
    quonConnection* checkout() { return getQuonConnectionFromPool(proxy.get(), req.get()); }
    void giveBack(quonConnection* conn) {
        returnQuonConnectionToPool(req.get(), proxy.get(), conn);
    }

    RecordingRequest req;
    LoopbackPeer peer;  // connections complete into its backlog; nothing needs accepting
    BareProxy proxy{req.get(), peer.address()};
    proxyServerInfo info{};
};
}  // namespace

// A refused connect marks the server unreachable until its retry time (ErrorPages'
// ConnectFaults; the server out of rotation: test_filter's Upkeep); only a fresh call
// connects before then.
TEST_F(PoolTest, RefusedConnectDefersTheCallsThatFailed) {
    RefusingPort refusing;
    BareProxy refused(req.get(), refusing.address());
    refused->proxyRetryInterval = 30;
    EXPECT_EQ(getQuonConnectionFromPool(refused.get(), req.get()), nullptr);
    EXPECT_EQ(req->errorCode, ECONNREFUSED);
    const std::string refusedText =
        std::to_string(ECONNREFUSED) + " " + describeError(ECONNREFUSED);
    EXPECT_TRUE(
        req.contains("trace", " connect failed: " + refusedText + ", no sock added to pool"))
        << req.dump();
    // A call that already failed is deferred until the retry time...
    req.clear();
    EXPECT_EQ(getQuonConnectionFromPool(refused.get(), req.get()), nullptr);
    EXPECT_TRUE(req.contains("traceE", "connect deferred")) << req.dump();
    // ...a fresh call tries all the same.
    req->errorCode = 0;
    req.clear();
    EXPECT_EQ(getQuonConnectionFromPool(refused.get(), req.get()), nullptr);
    EXPECT_FALSE(req.contains("traceE", "connect deferred"));
}

// While a server refuses, its connect failure is written once per interval, at error, and
// the next line tells how many were left out; another server's failures are its own.
TEST_F(PoolTest, ConnectFailuresAreWrittenOncePerIntervalForEachServer) {
    RefusingPort refusing;
    BareProxy first(req.get(), refusing.address()), second(req.get(), refusing.address());
    auto fresh = [&](quonProxy* proxy) {
        req->errorCode = 0;
        return getQuonConnectionFromPool(proxy, req.get());
    };
    for (int k = 0; k < 3; ++k) EXPECT_EQ(fresh(first.get()), nullptr);
    EXPECT_EQ(fresh(second.get()), nullptr);
    const std::string line = serverName(refusing.address()) + " connect failed[";
    int lines = 0;
    for (const RecordedLine& l : req.lines) lines += l.channel == "log" && l.text.starts_with(line);
    EXPECT_EQ(lines, 2) << req.dump();
    EXPECT_EQ(req.levelOf(line), QN_LOG_ERROR);
    first->logLimits.kinds[QN_LIMIT_CONNECT].nextAt = 0;  // the interval has passed
    req.clear();
    EXPECT_EQ(fresh(first.get()), nullptr);
    EXPECT_TRUE(req.contains("log", "Connection refused (2 similar lines left out)")) << req.dump();
    EXPECT_EQ(req.levelOf("similar lines left out"), QN_LOG_ERROR);
}

// A new connection on which the ping cannot be sent (the send side shut, as by a reset) is
// closed, not left open: attempt after attempt keeps the process's descriptors as they were.
TEST_F(PoolTest, ConnectionWhosePingFailsIsClosed) {
    req->send = [](quon_request* r, int sock, const char* buffer, int length) {
        shutdown(sock, SHUT_WR);
        return qnSend(r, sock, buffer, length);
    };
    const long before = openDescriptors();
    for (int attempt = 0; attempt < 50; ++attempt) {
        req->errorCode = 0;  // a fresh call each time, never deferred
        ASSERT_EQ(checkout(), nullptr);
        EXPECT_EQ(req->errorCode, EPIPE);
        ASSERT_TRUE(peer.accept());  // keeps the listener's queue from filling
    }
    peer.close();
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_TRUE(req.contains("traceE", std::string(proxy->name) + " couldn't ping via ["));
}

TEST_F(PoolTest, PingReplacesAStaleIdleConnection) {
    quonConnection* stale = checkout();
    ASSERT_NE(stale, nullptr);
    shutdown(stale->sock, SHUT_WR);  // nothing can be sent on it any more
    giveBack(stale);
    EXPECT_EQ(proxy->sendPing(proxy.get(), req.get()), 1) << req.dump();
    EXPECT_EQ(proxy.idle(), 1);
    ASSERT_TRUE(peer.accept() && peer.accept());  // the stale connection, then its successor
    EXPECT_EQ(peer.receive(8), be32(PROXY_PING) + be32(PROXY_PING));
}

// An idle connection that the server closed is closed at the next checkout, which opens a
// new one instead (late bytes on an idle connection: security_test.cpp, through Apache).
TEST_F(PoolTest, AnIdleConnectionTheServerClosedIsNeverHandedOut) {
    quonConnection* conn = checkout();
    ASSERT_TRUE(conn && peer.accept());
    ASSERT_EQ(peer.receive(4), be32(PROXY_PING));
    giveBack(conn);
    peer.close();
    pollfd closed{conn->sock, POLLIN, 0};
    ASSERT_EQ(poll(&closed, 1, kPeerWaitMs), 1);
    quonConnection* fresh = checkout();
    ASSERT_NE(fresh, nullptr);
    EXPECT_TRUE(peer.accept(1000) && peer.receive(4) == be32(PROXY_PING)) << req.dump();
    EXPECT_TRUE(req.contains("trace", " closed by the server while idle")) << req.dump();
    EXPECT_EQ(proxy.idle(), 0);
    giveBack(fresh);
}

// A destroyed connection books its error; system errors but a time-out or a lack of
// memory flush the idle ones too, and the mappings are due at once.
TEST_F(PoolTest, DestroyBooksTheErrorAndFlushesByItsClass) {
    const struct {
        int error;
        bool flushesIdle, unreachable;
    } rows[] = {{ECONNRESET, true, false},
                {ECONNREFUSED, true, true},
                {ETIMEDOUT, false, false},
                {ENOBUFS, false, false},
                {EQUON_BUSY, false, false}};
    proxy->mapCheckInterval = 60;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.error);
        info.active = 1;
        quonConnection* idle = checkout();
        quonConnection* broken = checkout();
        ASSERT_TRUE(idle && broken);
        giveBack(idle);
        proxy->nextMapCheckTime = nowSeconds() + 60;
        proxy->nextProxyRetryTime = nowSeconds() + 500;
        req->errorCode = row.error;
        destroyQuonConnection(req.get(), proxy.get(), broken);
        EXPECT_EQ(proxy.idle(), row.flushesIdle ? 0 : 1);
        EXPECT_LT(proxy->nextMapCheckTime.load(), nowSeconds() + 1);
        EXPECT_EQ(proxy->nextProxyRetryTime.load() >= nowSeconds() + 29, row.unreachable);
        EXPECT_EQ(info.active.load(), row.unreachable ? 0 : 1);
        proxy->destroyPooledSockets(req.get(), proxy.get());
        req->errorCode = 0;
    }
}

// A checked-out connection has a receive buffer, an idle one none. Without memory for
// the buffer nothing is handed out (ENOBUFS), and the idle connection stays for later.
TEST_F(PoolTest, OnlyACheckedOutConnectionHoldsAReceiveBuffer) {
    quonConnection* conn = checkout();
    ASSERT_NE(conn, nullptr);
    EXPECT_NE(conn->buffer, nullptr);
    giveBack(conn);
    ASSERT_EQ(proxy->pool->freeList, conn);
    EXPECT_EQ(conn->buffer, nullptr);
    refusedBlockSize = QN_RECV_BUFFER_SIZE;
    req->permMalloc = refusingMalloc;
    EXPECT_EQ(checkout(), nullptr);
    req->permMalloc = qnMalloc;
    EXPECT_EQ(req->errorCode, ENOBUFS);
    EXPECT_EQ(proxy.idle(), 1);
    req->errorCode = 0;
    EXPECT_EQ(checkout(), conn);
    EXPECT_NE(conn->buffer, nullptr);
    giveBack(conn);
}

// A stop at once hands nothing out; a graceful one still serves the requests in flight.
TEST_F(PoolTest, NothingIsHandedOutDuringShutdown) {
    giveBack(checkout());
    gShutdown = QN_SHUTDOWN_NOW;
    quonConnection* during = checkout();
    gShutdown = 0;
    EXPECT_EQ(during, nullptr);
    EXPECT_EQ(proxy.idle(), 1);  // the idle one stays for the destruction to close
    gShutdown = QN_SHUTDOWN_GRACEFUL;
    during = checkout();
    gShutdown = 0;
    ASSERT_NE(during, nullptr);
    giveBack(during);
}

namespace {
// A resolver whose answer the test sets: one address, or none ("no such name").
struct FakeResolver {
    static inline const sockaddr_in* answer = nullptr;
    static inline std::string asked;
    static int resolve(quon_request*, const char* host, int port, qnAddress* addresses, int,
                       const char** reason) {
        asked = std::string(host) + " " + std::to_string(port);
        if (!answer) return *reason = "no such name", 0;
        addresses[0] = addressOf(*answer);
        return 1;
    }
};
}  // namespace

// A name is resolved when the pool is made, outside the pool's lock, and again at each
// probe of a server marked down, once its retry time has come: a server that came back at
// another address is found there, and the ping that gets through clears the retry time.
// A name that does not resolve makes no server and says why; at a probe, the addresses
// found last stay, as they do when the name moves to where no server can be.
TEST(PoolNames, ResolvedAtInitAndAgainAtEachProbe) {
    LoopbackPeer first("127.0.0.1"), moved("127.0.0.2");
    ASSERT_TRUE(first.listening() && moved.listening());
    RecordingRequest req;
    req->resolve = FakeResolver::resolve;
    FakeResolver::answer = nullptr;
    quonProxy* proxy = quonProxyNew(req.get());
    EXPECT_EQ(proxy->initProxy(proxy, req.get(), "app.test:7001", 0, 1), -1);
    EXPECT_EQ(FakeResolver::asked, "app.test 7001");
    EXPECT_EQ(req.count("log", "could not resolve server app.test:7001: no such name"), 1)
        << req.dump();
    EXPECT_EQ(req.count("log", "could not initialize proxy for app.test:7001"), 1);
    EXPECT_EQ(proxy->pool, nullptr);

    FakeResolver::answer = &first.address();
    ASSERT_EQ(proxy->initProxy(proxy, req.get(), "app.test:7001", 0, 1), 0) << req.dump();
    proxy->proxyRetryInterval = 30;
    EXPECT_EQ(proxy->sendPing(proxy, req.get()), 1);
    EXPECT_TRUE(first.accept());

    // The name moves while the server is marked down: the probe finds it at the new place,
    // but not while the server is in rotation or before its retry time.
    FakeResolver::answer = &moved.address();
    EXPECT_EQ(proxy->isAlive(proxy, req.get()), 0);
    proxy->nextProxyRetryTime = nowSeconds() + 100;
    EXPECT_EQ(proxy->isAlive(proxy, req.get()), 0);
    EXPECT_FALSE(moved.accept(100)) << "no connection was opened";
    proxy->nextProxyRetryTime = nowSeconds() - 1;
    req.clear();
    EXPECT_EQ(proxy->isAlive(proxy, req.get()), 1) << req.dump();
    EXPECT_EQ(proxy->nextProxyRetryTime.load(), 0);
    ASSERT_TRUE(moved.accept());
    EXPECT_EQ(moved.receive(8),
              be32(PROXY_PING) + be32(PROXY_PING));  // the new connection's, the probe's
    EXPECT_EQ(req.count("log", "app.test:7001 resolves to new addresses, the first " +
                                   serverName(moved.address())),
              1)
        << req.dump();

    // A resolver that fails at a probe leaves the server where it was found last.
    FakeResolver::answer = nullptr;
    proxy->nextProxyRetryTime = nowSeconds() - 1;
    req.clear();
    EXPECT_EQ(proxy->isAlive(proxy, req.get()), 1) << req.dump();
    EXPECT_TRUE(moved.accept());
    EXPECT_EQ(req.count("log", "could not resolve server app.test:7001: no such name"), 1);

    // Nor does a name that moves to where no server can be: its probe stays where it was.
    sockaddr_in nowhere = moved.address();
    inet_pton(AF_INET, "0.0.0.0", &nowhere.sin_addr);
    FakeResolver::answer = &nowhere;
    proxy->nextProxyRetryTime = nowSeconds() - 1;
    req.clear();
    EXPECT_EQ(proxy->isAlive(proxy, req.get()), 1) << req.dump();
    EXPECT_TRUE(moved.accept());
    EXPECT_EQ(req.count("log", "app.test:7001 resolves to 0.0.0.0, which is unspecified: "
                               "its last addresses are kept"),
              1)
        << req.dump();
    proxy->destroy(proxy, req.get());
}
