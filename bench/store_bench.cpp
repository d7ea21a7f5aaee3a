// Cost of interning one node: misses (new nodes) and hits (re-recordings),
// on stores of growing size.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "store/store.hpp"

namespace korvane {
namespace {

constexpr int kSources = 1000;
const char* const kNames[] = {"add", "mul", "neg", "exp", "relu", "sub", "maximum"};

struct Call {
  const char* name;
  NodeId inputs[2];
  ParamRef params[2];
};

// The k-th node of the benchmark graph: an op over two of the sources.
Call call(uint64_t k) {
  return Call{kNames[k % 7],
              {k % kSources, (k / kSources) % kSources},
              {ParamRef{"axis", ParamTag::Int, k % 4, {}}, ParamRef{"scale", ParamTag::Float, 0x3FE0000000000000ULL, {}}}};
}

NodeId intern(Store& store, const Call& c) {
  NodeSpec node_spec;
  node_spec.kind = NodeKind::Op;
  node_spec.name = c.name;
  node_spec.inputs = c.inputs;
  node_spec.params = c.params;
  return store.intern_node(node_spec).value();
}

void fill_sources(Store& store) {
  for (int i = 0; i < kSources; ++i) {
    const std::string name = std::string("s").append(std::to_string(i));
    NodeSpec node_spec;
    node_spec.name = name;
    store.intern_node(node_spec);
  }
}

void BM_InternMiss(benchmark::State& state) {
  const int64_t n = state.range(0);
  for (auto _ : state) {
    state.PauseTiming();
    Store store;
    fill_sources(store);
    state.ResumeTiming();
    for (int64_t k = 0; k < n; ++k) benchmark::DoNotOptimize(intern(store, call(k)));
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["ns_per_node"] = benchmark::Counter(static_cast<double>(state.iterations() * n),
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_InternHit(benchmark::State& state) {
  const int64_t n = state.range(0);
  Store store;
  fill_sources(store);
  for (int64_t k = 0; k < n; ++k) intern(store, call(k));
  uint64_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(intern(store, call(k)));
    k = (k + 7919) % n;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["ns_per_node"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_InternMiss)->Arg(10'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InternHit)->Arg(10'000)->Arg(1'000'000);

}  // namespace
}  // namespace korvane

BENCHMARK_MAIN();
