// Requests per second of proxy_handleRequest in-process against a running back-end, for
// a small and a 16 KiB response, on one pooled connection per thread.
//
//   bench_forward --server HOST:PORT [Google Benchmark flags]
//   bench_forward --server HOST:PORT --requests N     N requests of each size, no timing
//                                                      (for counting system calls)
#include <benchmark/benchmark.h>

#include <apr_general.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "proxy.h"
#include "request.h"
#include "sync.h"

namespace {
const char* gServer = nullptr;
quonProxy* gProxy = nullptr;

// The smallest web server: a GET of the size action with fixed headers, no request
// body, the response bytes counted.
struct BenchRequest {
    quon_request req;  // first member: the slots find the rest from it
    std::string query;
    long bytes = 0;
    const char* names[3] = {"Host", "Accept", nullptr};
    const char* values[3] = {"bench.test", "*/*", nullptr};

    explicit BenchRequest(long size) : query("n=" + std::to_string(size) + "&m=1") {
        init_quon_request(&req);
        req.uri = "/app/size";
        req.headerNames = names;
        req.headerValues = values;
        req.getHeader = [](quon_request* r, const char* name) -> const char* {
            if (strcmp(name, "REQUEST_METHOD") == 0) return "GET";
            if (strcmp(name, "QUERY_STRING") == 0) return of(r)->query.c_str();
            return nullptr;
        };
        req.getPostData = [](quon_request*, char*, int) { return 0; };
        req.setStatus = [](quon_request*, int, const char*) {};
        req.addHeader = [](quon_request*, const char*, const char*) {};
        req.writeClient = [](quon_request* r, const char*, int length) {
            of(r)->bytes += length;
            return 0;
        };
    }
    static BenchRequest* of(quon_request* r) { return reinterpret_cast<BenchRequest*>(r); }
};

// One request for size bytes, answered in one PROXY_PUT_CLIENT message.
bool forwardOnce(long size) {
    BenchRequest one(size);
    return gProxy->handleRequest(&one.req, gProxy, nullptr, nullptr) == 0 && one.bytes == size;
}

void BM_Forward(benchmark::State& state) {
    long size = state.range(0);
    for (auto _ : state) {
        if (!forwardOnce(size)) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_Forward)->Arg(100)->Arg(16384)->UseRealTime();
BENCHMARK(BM_Forward)->Arg(100)->Arg(16384)->Threads(2)->UseRealTime();

bool setUp() {
    apr_initialize();
    initQuonMutexPool();
    quon_request req;
    init_quon_request(&req);
    gProxy = quonProxyNew(&req);
    if (!gProxy || gProxy->initProxy(gProxy, &req, gServer, 0, 0) != 0) {
        fprintf(stderr, "bench_forward: cannot initialise a proxy for %s\n", gServer);
        return false;
    }
    return true;
}

// Fixed work for counting system calls: n small and n 16 KiB requests.
int runFixed(long n) {
    for (long size : {100L, 16384L})
        for (long i = 0; i < n; ++i)
            if (!forwardOnce(size)) {
                fprintf(stderr, "bench_forward: request failed\n");
                return 1;
            }
    printf("requests=%ld\n", 2 * n);
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    long fixed = -1;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--server") == 0 && i + 1 < argc)
            gServer = argv[++i];
        else if (strcmp(argv[i], "--requests") == 0 && i + 1 < argc)
            fixed = atol(argv[++i]);
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    if (!gServer) {
        fprintf(stderr, "usage: bench_forward --server HOST:PORT [--requests N] [benchmark flags]\n");
        return 2;
    }
    if (!setUp()) return 1;
    if (fixed >= 0) return runFixed(fixed);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
