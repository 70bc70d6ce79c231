// The connection pool: checkout order, the marker of stale candidates, reachability
// bookkeeping and probes, and the flush of idle connections by error class.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cerrno>

#include "flags.h"
#include "loopback_peer.h"
#include "pool.h"
#include "proxy_helpers.h"
#include "recording_request.h"
#include "wire_bytes.h"
#include "wire_codes.h"

namespace {
// A proxy that knows its server's settings, as after initProxy.
class PoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.listening());
        proxy->proxyRetryInterval = 30;
        proxy->serverInfo = new proxyServerInfo{};
        proxy->serverInfo->active = 1;
    }
    void TearDown() override {
        delete proxy->serverInfo;
        proxy->serverInfo = nullptr;
    }
    quonConnection* checkout() { return getQuonConnectionFromPool(proxy.get(), req.get()); }

    RecordingRequest req;
    LoopbackPeer peer;  // connections complete into its backlog; nothing needs accepting
    BareProxy proxy{req.get(), peer.address()};
};
}  // namespace

TEST_F(PoolTest, IdleConnectionsAreAStackAndCarryTheirMarker) {
    quonConnection* first = checkout();
    quonConnection* second = checkout();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->next, nullptr);  // opened for this checkout
    EXPECT_NE(first->sock, second->sock);
    returnQuonConnectionToPool(req.get(), proxy.get(), first);
    returnQuonConnectionToPool(req.get(), proxy.get(), second);
    EXPECT_EQ(proxy.idle(), 2);
    quonConnection* again = checkout();
    EXPECT_EQ(again, second);        // the one returned last comes first
    EXPECT_EQ(again->next, again);   // taken from the idle list
    returnQuonConnectionToPool(req.get(), proxy.get(), again);
    EXPECT_TRUE(req.contains("trace", "pooled socket [")) << req.dump();
}

TEST_F(PoolTest, RefusedConnectMarksTheServerUnreachable) {
    RefusingPort refusing;
    BareProxy refused(req.get(), refusing.address());
    refused->proxyRetryInterval = 30;
    proxyServerInfo info{};
    info.active = 1;
    refused->serverInfo = &info;
    int32_t before = nowSeconds();
    EXPECT_EQ(getQuonConnectionFromPool(refused.get(), req.get()), nullptr);
    EXPECT_EQ(req->errorCode, ECONNREFUSED);
    EXPECT_GE(refused->nextProxyRetryTime.load(), before + 30);
    EXPECT_EQ(info.active.load(), 0);
    EXPECT_TRUE(req.contains("trace", "connect failed: " + std::to_string(ECONNREFUSED)));
    // A call that already failed is deferred until the retry time...
    req.clear();
    EXPECT_EQ(getQuonConnectionFromPool(refused.get(), req.get()), nullptr);
    EXPECT_TRUE(req.contains("traceE", "connect deferred")) << req.dump();
    // ...a fresh call tries all the same.
    req->errorCode = 0;
    req.clear();
    EXPECT_EQ(getQuonConnectionFromPool(refused.get(), req.get()), nullptr);
    EXPECT_FALSE(req.contains("traceE", "connect deferred"));
    // Without an interval there is no retry time.
    refused->proxyRetryInterval = 0;
    refused->nextProxyRetryTime = 0;
    req->errorCode = 0;
    EXPECT_EQ(getQuonConnectionFromPool(refused.get(), req.get()), nullptr);
    EXPECT_EQ(refused->nextProxyRetryTime.load(), 0);
    refused->serverInfo = nullptr;
}

TEST_F(PoolTest, ConnectTimingOutMarksTheServerUnreachable) {
    FullBacklogListener backlog;
    BareProxy slow(req.get(), backlog.address());
    slow->proxyRetryInterval = 30;
    req->connectTimeout = 100;
    EXPECT_EQ(getQuonConnectionFromPool(slow.get(), req.get()), nullptr);
    EXPECT_EQ(req->errorCode, ETIMEDOUT);
    EXPECT_GE(slow->nextProxyRetryTime.load(), nowSeconds() + 29);
}

// A server out of rotation is probed only once its retry time has come; a ping that gets
// through clears the retry time.
TEST_F(PoolTest, IsAlivePingsOnlyOnceTheRetryTimeHasCome) {
    proxy->nextProxyRetryTime = nowSeconds() + 100;
    EXPECT_EQ(proxy->isAlive(proxy.get(), req.get()), 0);
    proxy->nextProxyRetryTime = 0;  // in rotation: nothing to probe
    EXPECT_EQ(proxy->isAlive(proxy.get(), req.get()), 0);
    EXPECT_FALSE(peer.accept(100)) << "no connection was opened";
    proxy->nextProxyRetryTime = nowSeconds() - 1;
    EXPECT_EQ(proxy->isAlive(proxy.get(), req.get()), 1);
    EXPECT_EQ(proxy->nextProxyRetryTime.load(), 0);
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(peer.receive(8), be32(PROXY_PING) + be32(PROXY_PING));  // the new connection's, the probe's
}

TEST_F(PoolTest, PingReplacesAStaleIdleConnection) {
    quonConnection* stale = checkout();
    ASSERT_NE(stale, nullptr);
    shutdown(stale->sock, SHUT_WR);  // nothing can be sent on it any more
    returnQuonConnectionToPool(req.get(), proxy.get(), stale);
    EXPECT_EQ(proxy->sendPing(proxy.get(), req.get()), 1) << req.dump();
    EXPECT_EQ(proxy.idle(), 1);
    ASSERT_TRUE(peer.accept() && peer.accept());  // the stale connection, then its successor
    EXPECT_EQ(peer.receive(8), be32(PROXY_PING) + be32(PROXY_PING));
}

struct DestroyCase {
    const char* name;
    int error;
    bool flushesIdle;
    bool unreachable;
};

class PoolDestroy : public PoolTest, public ::testing::WithParamInterface<DestroyCase> {};

TEST_P(PoolDestroy, BooksTheErrorAndFlushesByItsClass) {
    quonConnection* idle = checkout();
    quonConnection* broken = checkout();
    ASSERT_TRUE(idle && broken);
    returnQuonConnectionToPool(req.get(), proxy.get(), idle);
    proxy->mapCheckInterval = 60;
    proxy->nextMapCheckTime = nowSeconds() + 60;
    proxy->nextProxyRetryTime = nowSeconds() + 500;
    req->errorCode = GetParam().error;
    destroyQuonConnection(req.get(), proxy.get(), broken);
    EXPECT_EQ(proxy.idle(), GetParam().flushesIdle ? 0 : 1);
    EXPECT_LT(proxy->nextMapCheckTime.load(), nowSeconds() + 1);  // mappings due at once
    if (GetParam().unreachable) {
        EXPECT_GE(proxy->nextProxyRetryTime.load(), nowSeconds() + 29);
        EXPECT_EQ(proxy->serverInfo->active.load(), 0);
    } else {
        EXPECT_EQ(proxy->nextProxyRetryTime.load(), 0);
        EXPECT_EQ(proxy->serverInfo->active.load(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Errors, PoolDestroy,
    ::testing::Values(DestroyCase{"Reset", ECONNRESET, true, false},
                      DestroyCase{"Refused", ECONNREFUSED, true, true},
                      DestroyCase{"TimedOut", ETIMEDOUT, false, false},
                      DestroyCase{"NoBuffers", ENOBUFS, false, false},
                      DestroyCase{"Busy", EQUON_BUSY, false, false},
                      DestroyCase{"Clean", 0, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A stop at once hands nothing out; a graceful one still serves the requests in flight.
TEST_F(PoolTest, NothingIsHandedOutDuringShutdown) {
    quonConnection* conn = checkout();
    ASSERT_NE(conn, nullptr);
    returnQuonConnectionToPool(req.get(), proxy.get(), conn);
    gShutdown = QN_SHUTDOWN_NOW;
    quonConnection* during = checkout();
    gShutdown = 0;
    EXPECT_EQ(during, nullptr);
    EXPECT_EQ(proxy.idle(), 1);  // the idle one stays for the destruction to close
    gShutdown = QN_SHUTDOWN_GRACEFUL;
    during = checkout();
    gShutdown = 0;
    EXPECT_NE(during, nullptr);
    if (during) returnQuonConnectionToPool(req.get(), proxy.get(), during);
}
