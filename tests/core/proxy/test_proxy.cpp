// The proxy's life without a server to fetch from: bad server texts, repeated
// initialisation, references, metrics and destruction.
#include <gtest/gtest.h>

#include <string>

#include "flags.h"
#include "loopback_peer.h"
#include "pool.h"
#include "proxy_helpers.h"
#include "recording_request.h"
#include "sync.h"

TEST(ProxyInit, BadServerTextsRepeatedInitialisationAndReferences) {
    RecordingRequest req;
    quonProxy* proxy = quonProxyNew(req.get());
    EXPECT_EQ(proxy->initProxy(proxy, req.get(), "127.0.0.2-8009", 0, 0), -1);
    EXPECT_EQ(req.count("log", "Invalid server 127.0.0.2-8009. Please use <ip>:<port> notation"),
              1);
    EXPECT_EQ(proxy->pool, nullptr);
    std::string longHost(40, '1');
    EXPECT_EQ(proxy->initProxy(proxy, req.get(), (longHost + ":1").c_str(), 0, 0), -1);
    EXPECT_EQ(proxy->pool, nullptr);
    // A temporary proxy stops after its pool; a second initialisation only traces.
    ASSERT_EQ(proxy->initProxy(proxy, req.get(), "127.0.0.2:8009", 0, 1), 0);
    EXPECT_EQ(std::string(proxy->name), "127.0.0.2:8009");
    EXPECT_EQ(ntohs(proxy->pool->address.sin_port), 8009);
    EXPECT_EQ(proxy->serverInfo, nullptr);
    req.clear();
    EXPECT_EQ(proxy->initProxy(proxy, req.get(), "127.0.0.3:1", 0, 0), 0);
    EXPECT_EQ(req.count("trace", "initialized proxy for 127.0.0.2:8009"), 1) << req.dump();
    // Destruction drops one reference at a time; the last one tears the proxy down.
    EXPECT_EQ(proxy->addRef(proxy, req.get()), 2);
    proxy->destroy(proxy, req.get());
    EXPECT_EQ(proxy->refCount, 1);
    EXPECT_FALSE(req.contains("trace", " destroyed."));
    proxy->destroy(proxy, req.get());
    EXPECT_EQ(req.count("trace", "127.0.0.2:8009 destroyed."), 1) << req.dump();
}

TEST(ProxyInit, UnreachableServerFailsAndIsDestroyedWholly) {
    RecordingRequest req;
    RefusingPort refusing("127.0.0.2");
    quonProxy* proxy = quonProxyNew(req.get());
    EXPECT_EQ(proxy->initProxy(proxy, req.get(), serverName(refusing.address()).c_str(), 0, 0), -1);
    EXPECT_TRUE(req.contains("trace", "initProxy failed to fetch server properties"));
    EXPECT_EQ(req.count("log", "could not initialize proxy for " + serverName(refusing.address())),
              1);
    proxy->destroy(proxy, req.get());  // ASan checks that the pool went with it
}

// Requests of 10, 20, 30 ms, or none; sums past 2^31 ms (25 days) and a count at its limit.
TEST(ProxyMetrics, AverageAndCountAtDestruction) {
    struct Row {
        int requests;
        int64_t total;
        int32_t count;
        const char *average, *handled;
    };
    for (const Row& row :
         {Row{3, 0, 0, "20", "3"}, Row{0, 0, 0, "0", "0"}, Row{1, 2147483642, 1, "1073741826", "2"},
          Row{1, 2147483647, 2147483647, "1", "2147483647"}}) {
        RecordingRequest req;
        quonProxy* proxy = quonProxyNew(req.get());
        proxy->initProxy(proxy, req.get(), "127.0.0.2:9", 0, 1);
        proxy->metrics = new (malloc(sizeof(proxyMetrics))) proxyMetrics{};
        initLock(req.get(), proxy->metrics->lock);
        proxy->metrics->totalResponseMillis = row.total;
        proxy->metrics->requestCount = row.count;
        qnMetrics = 1;
        for (int i = 1; i <= row.requests; ++i) {
            req->startTime = nowMillis() - unsigned(10 * i);
            proxy->requestEnded(proxy, req.get());
        }
        qnMetrics = 0;
        proxy->destroy(proxy, req.get());
        EXPECT_EQ(req.count("log", "\tAverage response time: " + std::string(row.average) + " ms"),
                  1)
            << req.dump();
        EXPECT_EQ(req.count("log", "\tTotal Requests handled: " + std::string(row.handled)), 1);
        EXPECT_EQ(req.count("log", "proxy metrics for 127.0.0.2:9"), 1);
    }
}
