// A proxy against the reference back-end: initialisation from "server-props" and
// "servlet-mappings", the settings' defaults, references, metrics and destruction.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backend_process.h"
#include "flags.h"
#include "loopback_peer.h"
#include "property_types.h"
#include "pool.h"
#include "proxy.h"
#include "proxy_helpers.h"
#include "recording_request.h"
#include "sync.h"

using backend_test::BackendProcess;

namespace {
struct Settings {
    const char* name;
    std::string serverProps;
    int defaultRetry;
    int mapCheck, retry, weight, algorithm, sticky;
    const char* repId;  // nullptr: none
    const char* logLine;
};

void PrintTo(const Settings& s, std::ostream* out) { *out << s.name; }

class ProxySettings : public ::testing::TestWithParam<Settings> {};

int idleOf(const quonProxy* proxy) {
    int count = 0;
    for (quonConnection* c = proxy->pool ? proxy->pool->freeList : nullptr; c; c = c->next) ++count;
    return count;
}

std::vector<std::string> mappingKeys(const quonProxy* proxy) {
    std::vector<std::string> keys;
    for (int i = 0; proxy->mappings && i < proxy->mappings->count; ++i)
        keys.emplace_back(proxy->mappings->entries[i].key);
    return keys;
}
}  // namespace

TEST_P(ProxySettings, InitialiseFromTheServersProperties) {
    const Settings& s = GetParam();
    BackendProcess backend("127.0.0.2");
    std::string props = backend.writeFile("server.props", s.serverProps);
    std::string mappings = backend.writeFile(
        "mappings.props", "*.jsp=j\n/app/*=a\n/app/admin/*=adm\n//host/x/*=h\n");
    ASSERT_TRUE(backend.start({"--server-props", props, "--mappings", mappings}));
    RecordingRequest req;
    quonProxy* proxy = quonProxyNew(req.get());
    ASSERT_EQ(proxy->initProxy(proxy, req.get(), backend.quonAddress().c_str(), s.defaultRetry, 0), 0)
        << req.dump();
    EXPECT_EQ(std::string(proxy->name), backend.quonAddress());
    EXPECT_EQ(proxy->mapCheckInterval, s.mapCheck);
    EXPECT_EQ(proxy->proxyRetryInterval, s.retry);
    EXPECT_EQ(proxy->nextProxyRetryTime.load(), 0);
    EXPECT_EQ(proxy->nextMapCheckTime.load() == QN_TIME_NEVER, s.mapCheck == 0);
    ASSERT_NE(proxy->serverInfo, nullptr);
    EXPECT_EQ(proxy->serverInfo->weight.load(), s.weight);
    EXPECT_EQ(proxy->serverInfo->weightLeft, s.weight);
    EXPECT_EQ(proxy->serverInfo->algorithm, s.algorithm);
    EXPECT_EQ(proxy->serverInfo->sticky, s.sticky);
    EXPECT_EQ(proxy->serverInfo->active.load(), 1);
    if (s.repId)
        EXPECT_STREQ(proxy->serverInfo->replicationId, s.repId);
    else
        EXPECT_EQ(proxy->serverInfo->replicationId, nullptr);
    if (*s.logLine) {
        EXPECT_EQ(req.count("log", s.logLine), 1) << req.dump();
    }
    EXPECT_EQ(mappingKeys(proxy),
              (std::vector<std::string>{"//host/x*", "/app/admin*", "/app*", "*.jsp"}));
    EXPECT_EQ(idleOf(proxy), 1) << "the exchanges share one connection";
    proxy->destroy(proxy, req.get());
}

INSTANTIATE_TEST_SUITE_P(
    Props, ProxySettings,
    ::testing::Values(
        Settings{"Defaults", "rep_id=SRV1\n", 0, 10, 600, 1, 1, 1, "SRV1", ""},
        Settings{"CallersRetryInterval", "weight=3\n", 300, 10, 300, 3, 1, 1, nullptr, ""},
        Settings{"AllGiven",
                 "mapcheck=0\nproxyretryinterval=5\nweight=7\nalgorithm=RANDOM_WEIGHTED\nsticky=false\n"
                 "rep_id=ABCD\n",
                 300, 0, 5, 7, 5, 0, "ABCD", ""},
        Settings{"UnknownAlgorithmAndStickyOnlyOffForFalse", "algorithm=roundrobin\nsticky=False\n",
                 0, 10, 600, 1, 1, 1, nullptr,
                 "unrecognized load balancing algorithm roundrobin, defaulting to Round Robin"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProxyInit, BadServerTextsRepeatedInitialisationAndReferences) {
    RecordingRequest req;
    quonProxy* proxy = quonProxyNew(req.get());
    EXPECT_EQ(proxy->initProxy(proxy, req.get(), "127.0.0.2-8009", 0, 0), -1);
    EXPECT_EQ(req.count("log", "Invalid server 127.0.0.2-8009. Please use <ip>:<port> notation"), 1);
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
    EXPECT_EQ(req.count("log", "could not initialize proxy for " + serverName(refusing.address())), 1);
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
    for (const Row& row : {Row{3, 0, 0, "20", "3"}, Row{0, 0, 0, "0", "0"},
                           Row{1, 2147483642, 1, "1073741826", "2"},
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
        EXPECT_EQ(req.count("log", "\tAverage response time: " + std::string(row.average) + " ms"), 1)
            << req.dump();
        EXPECT_EQ(req.count("log", "\tTotal Requests handled: " + std::string(row.handled)), 1);
        EXPECT_EQ(req.count("log", "proxy metrics for 127.0.0.2:9"), 1);
    }
}

TEST(ProxyRefresh, NewMappingsReplaceTheOldOnesAndAnEmptySetKeepsThem) {
    BackendProcess backend("127.0.0.3");
    std::string props = backend.writeFile("server.props", "mapcheck=1\n");
    std::string mappings = backend.writeFile("mappings.props", "/a/*=1\n");
    ASSERT_TRUE(backend.start({"--server-props", props, "--mappings", mappings}));
    RecordingRequest req;
    quonProxy* proxy = quonProxyNew(req.get());
    ASSERT_EQ(proxy->initProxy(proxy, req.get(), backend.quonAddress().c_str(), 0, 0), 0);
    EXPECT_EQ(mappingKeys(proxy), std::vector<std::string>{"/a*"});
    EXPECT_EQ(proxy->refreshMappings(proxy, req.get()), 1);  // not due yet
    backend.writeFile("mappings.props", "/b/*=2\n*.jsp=3\n/b/c/*=4\n");
    ASSERT_TRUE(backend.reload());
    proxy->nextMapCheckTime = 0;
    EXPECT_EQ(proxy->refreshMappings(proxy, req.get()), 0) << req.dump();
    EXPECT_EQ(mappingKeys(proxy), (std::vector<std::string>{"/b/c*", "/b*", "*.jsp"}));
    EXPECT_GE(proxy->nextMapCheckTime.load(), nowSeconds());
    backend.writeFile("mappings.props", "");
    ASSERT_TRUE(backend.reload());
    proxy->nextMapCheckTime = 0;
    EXPECT_EQ(proxy->refreshMappings(proxy, req.get()), -1);
    EXPECT_EQ(mappingKeys(proxy).size(), 3u) << "the installed table stays";
    EXPECT_EQ(req.count("traceE", "could not get mappings, checking again in 1 seconds"), 1)
        << req.dump();
    proxy->destroy(proxy, req.get());
}
