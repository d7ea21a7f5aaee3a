// egraph_memo_bench.cpp - the hash-cons table against boost's flat tables.
//
// One million nodes of up to two children (as most e-nodes are), inserted
// once, then looked up in random order: with boost::unordered_flat_set of
// (key reference, hash) entries over a key arena and a value array (the
// memo's former design), with boost::unordered_flat_map holding the key and
// value inline, and with the memo, alone and hinted eight lookups ahead.
// Each lookup is followed by the dependent reads an e-graph operation makes
// with the id it found. Prints the time per node; every lookup must hit.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "common/internal_error.hpp"
#include "common/hash.hpp"
#include "egraph/memo.hpp"
#include "egraph/symbol.hpp"

namespace {

using korvane::egraph::ClassId;
using korvane::egraph::Memo;
using korvane::egraph::SymbolLang;

constexpr std::size_t kNodes = 1'000'000;

/// Distinct nodes over 40 operators, children drawn from earlier positions,
/// and a random lookup order.
struct Workload {
  std::vector<SymbolLang> nodes;
  std::vector<std::uint32_t> order;
};

const Workload& workload() {
  static const Workload made = [] {
    Workload w;
    std::mt19937_64 rng(7);
    std::vector<korvane::egraph::Symbol> ops;
    for (int k = 0; k < 40; ++k) ops.push_back(korvane::egraph::intern(std::string("op|").append(std::to_string(k))));
    boost::unordered_flat_set<std::uint64_t> seen;
    while (w.nodes.size() < kNodes) {
      SymbolLang node{ops[rng() % ops.size()], {}};
      const std::size_t arity = w.nodes.size() < 16 ? 0 : rng() % 3;
      for (std::size_t k = 0; k < arity; ++k) node.children.push_back(static_cast<ClassId>(rng() % w.nodes.size()));
      if (seen.insert(korvane::egraph::hash_node(node)).second) w.nodes.push_back(std::move(node));
    }
    w.order.resize(kNodes);
    for (std::uint32_t k = 0; k < kNodes; ++k) w.order[k] = k;
    std::shuffle(w.order.begin(), w.order.end(), rng);
    return w;
  }();
  return made;
}

/// The former design: 8-byte entries naming a key in an arena, values apart.
class ReferenceSet {
 public:
  ReferenceSet() : index_(0, Hash{}, Eq{this}) {}
  ReferenceSet(const ReferenceSet&) = delete;
  ReferenceSet& operator=(const ReferenceSet&) = delete;

  void insert(const SymbolLang& key, ClassId value) {
    keys_.push_back(key);
    values_.push_back(value);
    index_.insert(Entry{static_cast<std::uint32_t>(keys_.size() - 1), short_hash(key)});
  }
  const ClassId* find(const SymbolLang& key) const {
    auto found = index_.find(key);
    return found == index_.end() ? nullptr : &values_[found->ref];
  }

 private:
  struct Entry {
    std::uint32_t ref;
    std::uint32_t hash;
  };
  static std::uint32_t short_hash(const SymbolLang& key) {
    return static_cast<std::uint32_t>(korvane::egraph::hash_node(key) >> 32);
  }
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(const Entry& entry) const { return entry.hash; }
    std::size_t operator()(const SymbolLang& key) const { return short_hash(key); }
  };
  struct Eq {
    using is_transparent = void;
    const ReferenceSet* set;
    bool operator()(const Entry& a, const Entry& b) const { return a.ref == b.ref; }
    bool operator()(const SymbolLang& key, const Entry& entry) const { return set->keys_[entry.ref] == key; }
    bool operator()(const Entry& entry, const SymbolLang& key) const { return set->keys_[entry.ref] == key; }
  };
  std::vector<SymbolLang> keys_;
  std::vector<ClassId> values_;
  boost::unordered_flat_set<Entry, Hash, Eq> index_;
};

/// Boost's map with the key (op and two children) and the value inline.
struct Packed {
  std::uint32_t op, a, b;
  friend bool operator==(const Packed&, const Packed&) = default;
};
struct PackedHash {
  std::size_t operator()(const Packed& key) const {
    korvane::WordHasher hasher;
    hasher.add(key.op);
    hasher.add(key.a);
    hasher.add(key.b);
    return hasher.value();
  }
};
Packed pack(const SymbolLang& node) {
  const std::uint32_t size = node.children.size();
  return {node.op.raw(), size > 0 ? node.children[0] : UINT32_MAX, size > 1 ? node.children[1] : UINT32_MAX};
}
using InlineMap = boost::unordered_flat_map<Packed, ClassId, PackedHash>;

/// Reports seconds per node (printed as e.g. "85n").
void per_node(benchmark::State& state) {
  state.counters["per_node"] = benchmark::Counter(static_cast<double>(kNodes),
                                                  benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
}

void require(bool found) {
  if (!found) throw korvane::InternalError("memo bench: a node was not found");
}

void BM_Insert_ReferenceSet(benchmark::State& state) {
  const Workload& w = workload();
  for (auto _ : state) {
    ReferenceSet set;
    for (std::size_t k = 0; k < kNodes; ++k) set.insert(w.nodes[k], static_cast<ClassId>(k));
    benchmark::DoNotOptimize(&set);
  }
  per_node(state);
}

void BM_Insert_InlineMap(benchmark::State& state) {
  const Workload& w = workload();
  for (auto _ : state) {
    InlineMap map;
    for (std::size_t k = 0; k < kNodes; ++k) map.emplace(pack(w.nodes[k]), static_cast<ClassId>(k));
    benchmark::DoNotOptimize(&map);
  }
  per_node(state);
}

void BM_Insert_Memo(benchmark::State& state) {
  const Workload& w = workload();
  for (auto _ : state) {
    Memo memo;
    for (const SymbolLang& node : w.nodes) {
      SymbolLang copy = node;
      const std::uint64_t hash = Memo::hash(copy);
      memo.find_or_add(std::move(copy), hash);
    }
    benchmark::DoNotOptimize(&memo);
  }
  per_node(state);
}

/// What the e-graph does with a found id before its next lookup, reduced
/// to its memory traffic: a read of that id's record in a table as large as
/// the class table, and some arithmetic, as a rule application does.
class Followup {
 public:
  Followup() : table_(kNodes * 8) {
    std::mt19937_64 rng(11);
    for (std::uint64_t& word : table_) word = rng();
  }
  std::uint64_t operator()(ClassId found) {
    std::uint64_t word = table_[found * std::size_t{8}];
    for (int k = 0; k < 16; ++k) word = word * 0x9e3779b97f4a7c15ULL + (word >> 29);
    sum_ += word;
    return sum_;
  }

 private:
  std::vector<std::uint64_t> table_;
  std::uint64_t sum_ = 0;
};

template <class Find>
void hits(benchmark::State& state, Find&& find) {
  const Workload& w = workload();
  Followup followup;
  for (auto _ : state) {
    for (std::size_t k = 0; k < kNodes; ++k) benchmark::DoNotOptimize(followup(find(k, w.nodes[w.order[k]])));
  }
  per_node(state);
}

void BM_Hit_ReferenceSet(benchmark::State& state) {
  const Workload& w = workload();
  ReferenceSet set;
  for (std::size_t k = 0; k < kNodes; ++k) set.insert(w.nodes[k], static_cast<ClassId>(k));
  hits(state, [&](std::size_t, const SymbolLang& node) {
    const ClassId* found = set.find(node);
    require(found != nullptr);
    return *found;
  });
}

void BM_Hit_InlineMap(benchmark::State& state) {
  const Workload& w = workload();
  InlineMap map;
  for (std::size_t k = 0; k < kNodes; ++k) map.emplace(pack(w.nodes[k]), static_cast<ClassId>(k));
  hits(state, [&](std::size_t, const SymbolLang& node) {
    auto found = map.find(pack(node));
    require(found != map.end());
    return found->second;
  });
}

void hit_memo(benchmark::State& state, std::size_t ahead) {
  const Workload& w = workload();
  Memo memo;
  for (const SymbolLang& node : w.nodes) {
    SymbolLang copy = node;
    const std::uint64_t hash = Memo::hash(copy);
    memo.find_or_add(std::move(copy), hash);
  }
  hits(state, [&](std::size_t k, const SymbolLang& node) {
    if (ahead > 0 && k + ahead < kNodes) memo.prefetch(Memo::hash(w.nodes[w.order[k + ahead]]));
    const ClassId* found = memo.find(node, Memo::hash(node));
    require(found != nullptr);
    return *found;
  });
}

void BM_Hit_Memo(benchmark::State& state) { hit_memo(state, 0); }
void BM_Hit_MemoPrefetched(benchmark::State& state) { hit_memo(state, 8); }

BENCHMARK(BM_Insert_ReferenceSet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Insert_InlineMap)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Insert_Memo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Hit_ReferenceSet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Hit_InlineMap)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Hit_Memo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Hit_MemoPrefetched)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
