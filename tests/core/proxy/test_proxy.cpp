// The proxy: initialisation from a real back-end's properties or from bad server texts,
// the refresh of the mappings, references and metrics. Threads through a proxy are run
// by the cluster's dispatch tests.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "backend_process.h"
#include "flags.h"
#include "loopback_peer.h"
#include "proxy_helpers.h"
#include "property_types.h"
#include "recording_request.h"
#include "socket.h"
#include "sync.h"
#include "pool.h"
#include "mapping_order.h"

using backend_test::BackendProcess;

namespace {
std::vector<std::string> mappingKeys(const quonProxy* proxy) {
    std::vector<std::string> keys;
    for (int i = 0; proxy->mappings && i < proxy->mappings->count; ++i)
        keys.emplace_back(proxy->mappings->entries[i].key);
    return keys;
}

// One back-end for the suite; each test says what it serves.
class Backend : public ::testing::Test {
protected:
    static void SetUpTestSuite() { backend = std::make_unique<BackendProcess>("127.0.0.2"); }
    static void TearDownTestSuite() { backend.reset(); }
    // Starts the server at the first call; later calls load the new texts into it.
    static void serve(const std::string& props, const std::string& mappings) {
        std::string propsFile = backend->writeFile("server.props", props);
        std::string mappingsFile = backend->writeFile("mappings.props", mappings);
        ASSERT_TRUE(backend->running() ? backend->reload()
                                       : backend->start({"--server-props", propsFile, "--mappings",
                                                         mappingsFile}));
    }
    // A proxy initialised from the server; destroyed by the test.
    quonProxy* initialised(int defaultRetry = 0) {
        quonProxy* proxy = quonProxyNew(req.get());
        EXPECT_EQ(
            proxy->initProxy(proxy, req.get(), backend->quonAddress().c_str(), defaultRetry, 0), 0)
            << req.dump();
        return proxy;
    }

    static inline std::unique_ptr<BackendProcess> backend;
    RecordingRequest req;
};

struct Settings {
    std::string serverProps;
    int defaultRetry;
    int mapCheck, retry, weight, algorithm, sticky;
    const char* repId;  // nullptr: none
    const char* logLine;
};
}  // namespace

TEST_F(Backend, ProxyTakesItsSettingsFromTheServersProperties) {
    const Settings rows[] = {
        {"rep_id=SRV1\n", 0, 10, 600, 1, 1, 1, "SRV1", ""},
        {"mapcheck=0\nproxyretryinterval=5\nweight=7\nalgorithm=RANDOM_WEIGHTED\nsticky=false\n"
         "rep_id=ABCD\n",
         300, 0, 5, 7, 5, 0, "ABCD", ""},
        // The caller's retry interval stands in for a missing one; sticky is off only for "false".
        {"weight=3\nalgorithm=roundrobin\nsticky=False\n", 300, 10, 300, 3, 1, 1, nullptr,
         "unrecognized load balancing algorithm roundrobin, defaulting to Round Robin"}};
    for (const Settings& s : rows) {
        SCOPED_TRACE(s.serverProps);
        serve(s.serverProps, "/app/*=a\n");
        req.clear();
        quonProxy* proxy = initialised(s.defaultRetry);
        EXPECT_EQ(std::string(proxy->name), backend->quonAddress());
        EXPECT_EQ(proxy->mapCheckInterval, s.mapCheck);
        EXPECT_EQ(proxy->proxyRetryInterval, s.retry);
        EXPECT_EQ(proxy->nextProxyRetryTime.load(), 0);
        EXPECT_EQ(proxy->nextMapCheckTime.load() == QN_TIME_NEVER, s.mapCheck == 0);
        ASSERT_NE(proxy->serverInfo, nullptr);
        proxyServerInfo& info = *proxy->serverInfo;
        EXPECT_EQ(std::vector<int>(
                      {info.weight, info.weightLeft, info.algorithm, info.sticky, info.active}),
                  std::vector<int>({s.weight, s.weight, s.algorithm, s.sticky, 1}));
        EXPECT_STREQ(info.replicationId, s.repId);
        EXPECT_TRUE(!*s.logLine || req.count("log", s.logLine) == 1) << req.dump();
        EXPECT_EQ(mappingKeys(proxy), std::vector<std::string>{"/app*"});
        EXPECT_EQ(idleCount(proxy), 1) << "the exchanges share one connection";
        proxy->destroy(proxy, req.get());
    }
}

// A refresh that is not due, or for a server out of rotation, fetches nothing; one that
// gets an empty set keeps the installed table. What a refresh installs is tested with the cluster's
// tables.
TEST_F(Backend, RefreshKeepsTheMappingsWhenTheServerSendsNone) {
    serve("mapcheck=1\n", "/a/*=1\n/b/*=2\n");
    quonProxy* proxy = initialised();
    EXPECT_EQ(proxy->refreshMappings(proxy, req.get()), 1);
    proxy->nextMapCheckTime = 0;
    proxy->nextProxyRetryTime = nowSeconds() + 100;  // out of rotation: nothing is due either
    EXPECT_EQ(proxy->refreshMappings(proxy, req.get()), 1);
    proxy->nextProxyRetryTime = 0;
    serve("mapcheck=1\n", "");
    EXPECT_EQ(proxy->refreshMappings(proxy, req.get()), -1);
    EXPECT_EQ(mappingKeys(proxy), (std::vector<std::string>{"/a*", "/b*"}));
    EXPECT_EQ(req.count("traceE", "could not get mappings, checking again in 1 seconds"), 1)
        << req.dump();
    EXPECT_GE(proxy->nextMapCheckTime.load(), nowSeconds());
    proxy->destroy(proxy, req.get());
}

// Under the upkeep's deadline, a server that needs longer for its mappings is not asked
// again at once, and the next refresh gets twice the time, until one is long enough.
TEST(Refresh, ASetSlowerThanTheDeadlineGetsMoreTimeAfterTheInterval) {
    constexpr int kDeadlineMs = 200, kAnswerMs = 260;  // the third try gets 800 ms
    LoopbackPeer peer;
    RecordingRequest req;
    BareProxy proxy(req.get(), peer.address());
    proxy->mapCheckInterval = 30;
    req->responseTimeout = kDeadlineMs;
    const std::string asked =
        be32(PROXY_PING) + message(PROXY_GET_PROPS, wireString("servlet-mappings"));
    int given = kDeadlineMs, tries = 0, result = -1;
    for (; tries < 3 && result != 0; ++tries) {
        proxy->nextMapCheckTime = 0;
        auto refresh = inBackground([&] { return proxy_refreshMappings(proxy.get(), req.get()); });
        ASSERT_TRUE(peer.accept());
        EXPECT_EQ(peer.receive(asked.size()), asked);
        std::this_thread::sleep_for(std::chrono::milliseconds(kAnswerMs));
        peer.send(message(PROXY_PUT_PROPS, wireString("/app/*=a\n")) + message(PROXY_FINISH));
        result = refresh.get();
        EXPECT_EQ(req->responseTimeout, kDeadlineMs) << "the record's own deadline stays";
        if (result == 0) break;
        EXPECT_GE(proxy->nextMapCheckTime.load(), nowSeconds() + 29) << "not due at once";
        EXPECT_EQ(
            req.count("log", serverName(peer.address()) + " did not send its mappings within " +
                                 std::to_string(given) + " ms; the next refresh gets " +
                                 std::to_string(2 * given) + " ms"),
            1)
            << req.dump();
        given *= 2;
    }
    EXPECT_EQ(result, 0) << req.dump();
    EXPECT_GE(tries, 1) << "the first try cannot be in time";
    EXPECT_EQ(mappingKeys(proxy.get()), std::vector<std::string>{"/app*"});
}

TEST(ProxyInit, BadServerTextsRepeatedInitialisationAndReferences) {
    RecordingRequest req;
    quonProxy* proxy = quonProxyNew(req.get());
    EXPECT_EQ(proxy->initProxy(proxy, req.get(), "127.0.0.2-8009", 0, 0), -1);
    EXPECT_EQ(req.count("log", "Invalid server 127.0.0.2-8009. Please use <ip>:<port> notation"),
              1);
    EXPECT_EQ(proxy->pool, nullptr);
    // A temporary proxy stops after its pool; a second initialisation only traces.
    ASSERT_EQ(proxy->initProxy(proxy, req.get(), "127.0.0.2:8009", 0, 1), 0);
    EXPECT_EQ(std::string(proxy->name), "127.0.0.2:8009");
    EXPECT_EQ(proxy->pool->addressCount, 1);
    EXPECT_EQ(ntohs(proxy->pool->addresses[0].v4.sin_port), 8009);
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
    // A server that cannot be reached: the proxy fails and is destroyed wholly (ASan).
    RefusingPort refusing("127.0.0.2");
    const std::string name = serverName(refusing.address());
    proxy = quonProxyNew(req.get());
    EXPECT_EQ(proxy->initProxy(proxy, req.get(), name.c_str(), 0, 0), -1);
    EXPECT_TRUE(req.contains("trace", "initProxy failed to fetch server properties"));
    EXPECT_EQ(req.count("log", "could not initialize proxy for " + name), 1);
    proxy->destroy(proxy, req.get());
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
