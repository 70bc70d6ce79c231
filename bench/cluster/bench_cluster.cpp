// filterRequest over tables of 10, 100, 1000 and 8192 entries (a match at the first,
// middle and last entry, and none), with the upkeep of a master list of servers that
// are not due; and selectProxy per algorithm over 2, 16 and 128 servers. The traces go
// nowhere, as with Verbose off.
#include <benchmark/benchmark.h>

#include <apr_general.h>

#include <cstdio>
#include <string>

#include "balance.h"
#include "filter.h"
#include "memory.h"
#include "property.h"
#include "proxy.h"
#include "sync.h"
#include "table.h"
#include "table_lists.h"

namespace {
const char* noHeader(quon_request*, const char*) { return nullptr; }

void initRecord(quon_request* req) {
    init_allocators(req);
    req->traceE = qnTraceENoop;
    req->getHeader = noHeader;
    req->freeHeader = qnFreeHeaderNoop;
}

// A table of servers that are neither down nor due for a refresh, and of entries
// /app<i>/servlet* that every server serves. The table owns the servers.
mappingsTable* tableOf(quon_request* req, int entries, int servers, int32_t algorithm) {
    mappingsTable* table = mappingsTableNew(req, nullptr, nullptr, 0);
    for (int i = 0; i < servers; ++i) {
        quonProxy* proxy = quonProxyNew(req);
        snprintf(proxy->name, sizeof proxy->name, "127.0.0.2:%d", 7000 + i);
        proxy->nextMapCheckTime = QN_TIME_NEVER;
        proxy->serverInfo = permNew<proxyServerInfo>(req);
        proxy->serverInfo->weight = 1 + i % 5;
        proxy->serverInfo->weightLeft = proxy->serverInfo->weight;
        proxy->serverInfo->active = 1;
        appendToList(req, &table->servers, proxy, 1, QN_MASTER_LIST);
    }
    for (int i = 0; i < entries; ++i) {
        std::string pattern = "/app" + std::to_string(i) + "/servlet*";
        makeEntryRoom(table, req);
        int index = setProperty(req, table->mappings, pattern.c_str(), "v");
        auto* list = permNew<proxyList>(req);
        auto* info = permNew<mappingInfo>(req);
        for (int slot = 0; slot < servers; ++slot)
            appendToList(req, list, table->servers.proxies[slot], 1, pattern.c_str());
        info->algorithm = algorithm;
        info->position = -1;
        info->weightsDirty = 1;
        table->mappingProxies[index] = list;
        table->mappingInfos[index] = info;
        table->lastMappingIndex = index;
    }
    return table;
}

enum Position { kFirst, kMiddle, kLast, kNone };

void filterBench(benchmark::State& state, int entries, int position, int servers) {
    quon_request req;
    initRecord(&req);
    mappingsTable* table = tableOf(&req, entries, servers, QN_ROUNDROBIN);
    int target = position == kFirst ? 0 : position == kMiddle ? entries / 2 : entries - 1;
    std::string uri = position == kNone ? "/other/servlet/page"
                                        : "/app" + std::to_string(target) + "/servlet/page";
    req.uri = uri.c_str();
    int expected = position == kNone ? -1 : target;
    for (auto _ : state) benchmark::DoNotOptimize(filterRequest(table, &req, 1));
    if (filterRequest(table, &req, 1) != expected) state.SkipWithError("wrong entry");
    mappingsTableDelete(table, &req);
    static const char* const labels[] = {"first", "middle", "last", "none"};
    state.SetLabel(labels[position]);
}

void BM_FilterRequest(benchmark::State& state) {
    filterBench(state, int(state.range(0)), int(state.range(1)), 0);
}
BENCHMARK(BM_FilterRequest)
    ->ArgNames({"entries", "match"})
    ->ArgsProduct({{10, 100, 1000, 8192}, {kFirst, kMiddle, kLast, kNone}});

// The upkeep when nothing is due: one look at each server's due times per request.
void BM_FilterRequestUpkeep(benchmark::State& state) {
    filterBench(state, 100, kMiddle, int(state.range(0)));
}
BENCHMARK(BM_FilterRequestUpkeep)->ArgName("servers")->Arg(0)->Arg(2)->Arg(16)->Arg(128);

void BM_SelectProxy(benchmark::State& state) {
    quon_request req;
    initRecord(&req);
    int32_t algorithm = int32_t(state.range(0));
    mappingsTable* table = tableOf(&req, 1, int(state.range(1)), algorithm);
    for (auto _ : state) benchmark::DoNotOptimize(selectProxy(table, &req, 0, nullptr));
    if (!selectProxy(table, &req, 0, nullptr)) state.SkipWithError("no proxy");
    mappingsTableDelete(table, &req);
    static const char* const names[] = {"", "RR", "RR_WEIGHTED", "MIN", "MAX", "RANDOM_WEIGHTED"};
    state.SetLabel(names[algorithm]);
}
BENCHMARK(BM_SelectProxy)
    ->ArgNames({"algorithm", "servers"})
    ->ArgsProduct({{QN_ROUNDROBIN, QN_ROUNDROBIN_WEIGHTED, QN_MIN, QN_MAX, QN_RANDOM_WEIGHTED},
                   {2, 16, 128}});
}  // namespace

// The locks come from the process-wide pool, as in a web-server child.
int main(int argc, char** argv) {
    apr_initialize();
    initQuonMutexPool();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    freeQuonMutexPool();
    apr_terminate();
    return 0;
}
