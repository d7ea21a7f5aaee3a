// egraph_saturation_bench.cpp - loading and saturating traced dataflow graphs.
//
// Builds N terms shaped like a traced program (sources, unary chains,
// commutative operators with swapped duplicates, identity operators, shared
// subterms), loads them into an e-graph and runs the optimizer's twelve
// rules with iteration limit 12 and node limit 4N + 1024, as a reduction
// does. Prints ns per term for loading alone and for load + run, their
// ratio, the growth from N = 1e5 to 1e6, the bytes held per term, and
// the time to destroy the saturated e-graph.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/internal_error.hpp"
#include "egraph/egraph.hpp"
#include "egraph/load.hpp"
#include "egraph/pattern.hpp"
#include "egraph/runner.hpp"

namespace {

using korvane::egraph::ClassId;
using korvane::egraph::EGraph;
using korvane::egraph::intern;
using korvane::egraph::Rewrite;
using korvane::egraph::Runner;
using korvane::egraph::Symbol;
using korvane::egraph::SymbolLang;

std::string cat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view part : parts) text.append(part);
  return text;
}

/// The optimizer's rule set: eight commutativity rules, four identities.
std::vector<Rewrite> optimizer_rules() {
  std::vector<Rewrite> rules;
  auto add = [&](const std::string& name, const std::string& lhs, const std::string& rhs) {
    auto made = Rewrite::parse(name, lhs, rhs);
    if (!made) throw korvane::InternalError(made.error());
    rules.push_back(std::move(made).value());
  };
  for (const char* op : {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}) {
    add(cat({"commute-", op}), cat({"(op|", op, " ?a ?b)"}), cat({"(op|", op, " ?b ?a)"}));
  }
  const char* identities[] = {"op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
                              "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
  for (int k = 0; k < 4; ++k) add(cat({"identity-", std::to_string(k)}), cat({"(", identities[k], " ?x)"}), "?x");
  return rules;
}

/// N terms in recording order; children are indices of earlier terms.
std::vector<SymbolLang> traced_graph(std::size_t n) {
  std::mt19937_64 rng(0x6b6f7276616e65ULL);
  auto symbols = [](std::initializer_list<const char*> texts) {
    std::vector<Symbol> out;
    for (const char* text : texts) out.push_back(intern(text));
    return out;
  };
  const auto unary = symbols({"op|neg", "op|exp", "op|log", "op|abs", "op|sqrt", "op|tanh", "op|sigmoid", "op|relu"});
  const auto commutative = symbols({"op|add", "op|mul", "op|and", "op|or", "op|eq", "op|ne", "op|maximum", "op|minimum"});
  const auto binary = symbols({"op|sub", "op|div", "op|pow"});
  const auto identity = symbols({"op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
                                 "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"});
  const auto scalar = symbols({"op|add|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f0000000000000000;side=sl"});
  const auto reductions = symbols({"red|sum|axis=i0", "red|mean|axis=i1"});
  const Symbol external = intern("ext|model|9f2c|torch|2.1|f32[n]|-");
  const Symbol join = intern("join|how=sinner");
  const Symbol exchange = intern("exch|scheme=shash");

  std::vector<SymbolLang> terms;
  std::vector<ClassId> commuted;
  terms.reserve(n + 4);
  auto below = [&](std::size_t bound) { return static_cast<ClassId>(rng() % bound); };
  // Mostly recent values (chains), sometimes any earlier one (fan-out).
  auto pick = [&]() -> ClassId {
    const std::size_t size = terms.size();
    if (rng() % 4 == 0) return below(size);
    return static_cast<ClassId>(size - 1 - below(std::min<std::size_t>(size, 32)));
  };
  std::size_t sources = 0;
  while (terms.size() < n) {
    const unsigned roll = terms.size() < 8 ? 0 : static_cast<unsigned>(rng() % 100);
    if (roll < 5) {
      terms.push_back({intern(cat({"src|input", std::to_string(sources++), "|dtype=sf32"})), {}});
    } else if (roll < 35) {
      terms.push_back({unary[rng() % unary.size()], {pick()}});
    } else if (roll < 60) {
      commuted.push_back(static_cast<ClassId>(terms.size()));
      terms.push_back({commutative[rng() % commutative.size()], {pick(), pick()}});
    } else if (roll < 65 && !commuted.empty()) {
      const SymbolLang& original = terms[commuted[rng() % commuted.size()]];
      terms.push_back({original.op, {original.children[1], original.children[0]}});
    } else if (roll < 70) {
      terms.push_back({binary[rng() % binary.size()], {pick(), pick()}});
    } else if (roll < 77) {
      terms.push_back({identity[rng() % identity.size()], {pick()}});
    } else if (roll < 80) {
      terms.push_back({scalar[rng() % scalar.size()], {pick()}});
    } else if (roll < 84) {
      terms.push_back(terms[below(terms.size())]);  // recorded twice
    } else if (roll < 90) {
      // u(identity(x)) and u(x): equal once the identity is eliminated.
      const ClassId x = pick();
      const Symbol u = unary[rng() % unary.size()];
      terms.push_back({identity[rng() % identity.size()], {x}});
      terms.push_back({u, {static_cast<ClassId>(terms.size() - 1)}});
      terms.push_back({u, {x}});
    } else if (roll < 95) {
      terms.push_back({reductions[rng() % reductions.size()], {pick()}});
    } else if (roll < 97) {
      terms.push_back({external, {pick(), pick(), pick()}});
    } else if (roll < 99) {
      terms.push_back({join, {pick(), pick()}});
    } else {
      terms.push_back({exchange, {pick()}});
    }
  }
  terms.resize(n);
  return terms;
}

const std::vector<SymbolLang>& workload(std::size_t n) {
  static std::map<std::size_t, std::vector<SymbolLang>> cache;
  auto it = cache.find(n);
  if (it == cache.end()) it = cache.emplace(n, traced_graph(n)).first;
  return it->second;
}

/// Adds every term, as the rewrite engine does; ids[i] is term i's class.
EGraph load(const std::vector<SymbolLang>& terms, std::vector<ClassId>& ids) {
  EGraph egraph;
  ids = korvane::egraph::add_terms(
      egraph, terms.size(), [&](std::size_t i) { return terms[i].op; },
      [&](std::size_t i) { return terms[i].children.span(); });
  return egraph;
}

std::size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

/// Best (lowest) figures per N, for the summary.
struct Figures {
  double load_ns = 1e300;
  double total_ns = 1e300;
  double loaded_bytes = 0;
  double final_bytes = 0;
  // Phases of the best run, ns per term.
  double first_rebuild_ns = 0;
  double search_ns = 0;
  double apply_ns = 0;
  double rebuild_ns = 0;
  // Destroying the saturated e-graph (not part of the total), ns per term.
  double destroy_ns = 1e300;
};
std::map<std::size_t, Figures> g_figures;

void BM_LoadAndSaturate(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<SymbolLang>& terms = workload(n);
  const std::vector<Rewrite> rules = optimizer_rules();
  Figures& best = g_figures[n];
  std::string stop;
  std::size_t iterations = 0, memo = 0, classes = 0;
  for (auto _ : state) {
    std::vector<ClassId> ids;
    const std::size_t heap_before = heap_in_use();
    const auto start = std::chrono::steady_clock::now();
    EGraph egraph = load(terms, ids);
    const auto loaded = std::chrono::steady_clock::now();
    const std::size_t heap_loaded = heap_in_use();

    Runner runner;
    runner.set_egraph(std::move(egraph)).set_iteration_limit(12).set_node_limit(4 * n + 1024);
    runner.run(rules);
    const auto ran = std::chrono::steady_clock::now();
    const std::size_t heap_run = heap_in_use();
    EGraph result = std::move(runner.egraph());
    for (ClassId& id : ids) id = result.find(id);
    benchmark::DoNotOptimize(ids.data());
    const auto done = std::chrono::steady_clock::now();

    state.SetIterationTime(seconds(done - start));
    best.load_ns = std::min(best.load_ns, seconds(loaded - start) * 1e9 / n);
    if (seconds(done - start) * 1e9 / n < best.total_ns) {
      best.total_ns = seconds(done - start) * 1e9 / n;
      double search = 0, apply = 0, rebuild = 0, iterating = 0;
      for (const auto& iteration : runner.iterations()) {
        search += iteration.search_time;
        apply += iteration.apply_time;
        rebuild += iteration.rebuild_time;
        iterating += iteration.total_time;
      }
      best.search_ns = search * 1e9 / n;
      best.apply_ns = apply * 1e9 / n;
      best.rebuild_ns = rebuild * 1e9 / n;
      best.first_rebuild_ns = (seconds(ran - loaded) - iterating) * 1e9 / n;
    }
    best.loaded_bytes = static_cast<double>(heap_loaded - heap_before) / n;
    best.final_bytes = static_cast<double>(heap_run - heap_before) / n;
    stop = to_string(*runner.stop_reason());
    iterations = runner.iterations().size();
    memo = result.memo_size();
    classes = result.class_count();
    const auto destroying = std::chrono::steady_clock::now();
    { EGraph dead = std::move(result); }
    best.destroy_ns = std::min(best.destroy_ns, seconds(std::chrono::steady_clock::now() - destroying) * 1e9 / n);
  }
  state.counters["load_ns/term"] = best.load_ns;
  state.counters["total_ns/term"] = best.total_ns;
  state.counters["total/load"] = best.total_ns / best.load_ns;
  state.counters["B/term_loaded"] = best.loaded_bytes;
  state.counters["B/term_final"] = best.final_bytes;
  state.counters["iterations"] = static_cast<double>(iterations);
  state.counters["memo/N"] = static_cast<double>(memo) / n;
  state.counters["classes/N"] = static_cast<double>(classes) / n;
  state.SetLabel(stop);
}

BENCHMARK(BM_LoadAndSaturate)->Arg(100000)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadAndSaturate)->Arg(1000000)->Iterations(4)->UseManualTime()->Unit(benchmark::kMillisecond);

void print_summary() {
  if (g_figures.empty()) return;
  std::printf("\nsummary (best of the repetitions)\n");
  std::printf("%10s %14s %15s %11s %16s %15s\n", "N", "load ns/term", "total ns/term", "total/load", "bytes/term load",
              "bytes/term run");
  for (const auto& [n, f] : g_figures) {
    std::printf("%10zu %14.1f %15.1f %11.2f %16.1f %15.1f\n", n, f.load_ns, f.total_ns, f.total_ns / f.load_ns,
                f.loaded_bytes, f.final_bytes);
  }
  std::printf("%10s %14s %15s %11s %16s %15s\n", "N", "first rebuild", "search", "apply", "rebuilds", "destroy");
  for (const auto& [n, f] : g_figures) {
    std::printf("%10zu %14.1f %15.1f %11.1f %16.1f %15.1f   (ns/term)\n", n, f.first_rebuild_ns, f.search_ns, f.apply_ns,
                f.rebuild_ns, f.destroy_ns);
  }
  auto small = g_figures.find(100000);
  auto large = g_figures.find(1000000);
  if (small != g_figures.end() && large != g_figures.end()) {
    std::printf("growth of ns/term from 1e5 to 1e6: load %.2fx, total %.2fx (target < 1.3x)\n",
                large->second.load_ns / small->second.load_ns, large->second.total_ns / small->second.total_ns);
    std::printf("total/load at 1e6: %.2f (target <= 3)\n", large->second.total_ns / large->second.load_ns);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_summary();
  return 0;
}
