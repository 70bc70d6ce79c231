// Parsing and first-match lookup on property tables of 10, 1000 and 8192 entries. Keys
// share a long prefix, as a server's property names do, so each comparison of the linear
// scan reads past it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "memory.h"
#include "property.h"

namespace {
std::string keyAt(int i) { return "quon.server.property." + std::to_string(i); }

std::string textOf(int entries) {
    std::string text;
    for (int i = 0; i < entries; ++i)
        text += keyAt(i) + "=/opt/quon/value-" + std::to_string(i) + "\n";
    return text;
}

// One parse and the release of its table per iteration.
void BM_ParseProperties(benchmark::State& state) {
    int entries = int(state.range(0));
    std::string text = textOf(entries);
    quon_request req;
    init_allocators(&req);
    for (auto _ : state) {
        propertyTable* table = parseProperties(&req, text.c_str());
        benchmark::DoNotOptimize(table);
        freeProperties(&req, table);
    }
    state.SetItemsProcessed(state.iterations() * entries);
    state.SetBytesProcessed(state.iterations() * int64_t(text.size()));
}
BENCHMARK(BM_ParseProperties)->ArgName("entries")->Arg(10)->Arg(1000)->Arg(8192);

enum KeyPosition { kFirst, kMiddle, kMissing };

void BM_GetPropertyValue(benchmark::State& state) {
    int entries = int(state.range(0));
    std::string text = textOf(entries);
    quon_request req;
    init_allocators(&req);
    propertyTable* table = parseProperties(&req, text.c_str());
    std::string key = state.range(1) == kFirst    ? keyAt(0)
                      : state.range(1) == kMiddle ? keyAt(entries / 2)
                                                  : "quon.server.property.missing";
    for (auto _ : state) benchmark::DoNotOptimize(getPropertyValue(table, key.c_str()));
    if (state.range(1) != kMissing && !getPropertyValue(table, key.c_str()))
        state.SkipWithError("key not found");
    freeProperties(&req, table);
    static const char* const positions[] = {"first", "middle", "missing"};
    state.SetLabel(positions[state.range(1)]);
}
BENCHMARK(BM_GetPropertyValue)
    ->ArgNames({"entries", "key"})
    ->ArgsProduct({{10, 1000, 8192}, {kFirst, kMiddle, kMissing}});
}  // namespace

BENCHMARK_MAIN();
