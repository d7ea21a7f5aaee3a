// The reduction pipeline: dead code, rewriting, hash-consing, fusion in both
// modes, node map and counters, checked on small graphs with known answers.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "graph_builder.hpp"
#include "optimizer/node_symbol.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"

namespace korvane {
namespace {

constexpr uint64_t kNone = NodeMapEntry::kNone;

using testing_support::Builder;
using testing_support::f;
using testing_support::s;

/// A reduced store read back in a form that is easy to compare.
struct Reduced {
  std::unique_ptr<Store> store;
  ReductionCounters counters;
  std::vector<uint64_t> result_outputs;
  Snapshot snap;

  std::string describe(size_t i) const {  // "Stage[op|neg(i0) op|exp(m0)]<-0" etc.
    const Graph& g = snap.graph;
    std::string out;
    if (g.kind(i) == NodeKind::Stage) {
      out = "Stage[";
      bool first = true;
      for (const MemberRec& m : g.members(i)) {
        if (!first) out += ' ';
        first = false;
        out += g.pools.str(m.token);
        out += '(';
        bool first_ref = true;
        for (const StageRef& r : g.pools.member_refs(m)) {
          if (!first_ref) out += ',';
          first_ref = false;
          out += (r.kind == StageRef::Kind::Input ? 'i' : 'm') + std::to_string(r.index);
        }
        out += ')';
      }
      out += ']';
    } else {
      out = node_symbol(g.pools, g.nodes.recs[i]);
    }
    if (!g.inputs(i).empty()) {
      out += "<-";
      for (uint32_t in : g.inputs(i)) out += std::to_string(in) + ",";
      out.pop_back();
    }
    return out;
  }
  std::vector<std::string> describe() const {
    std::vector<std::string> all;
    for (size_t i = 0; i < snap.graph.size(); ++i) all.push_back(describe(i));
    return all;
  }
};

Reduced reduce(const Builder& b, std::vector<NodeId> outputs, bool maximal, const RewriteEngine& engine) {
  ReductionResult result = reduce_nodes(b.store.snapshot().graph, outputs, engine, maximal);
  Reduced r;
  r.counters = result.counters;
  r.result_outputs = result.outputs;
  r.store = build_reduced_store(std::move(result));
  r.snap = r.store->snapshot();
  return r;
}

Reduced reduce(const Builder& b, std::vector<NodeId> outputs, bool maximal = false) {
  return reduce(b, std::move(outputs), maximal, SaturationEngine());
}

void expect_counters(const ReductionCounters& c, uint64_t input, uint64_t reachable, uint64_t canonical,
                     uint64_t stages, uint64_t reduced, uint64_t boundary) {
  EXPECT_EQ(c.input_nodes, input);
  EXPECT_EQ(c.reachable_nodes, reachable);
  EXPECT_EQ(c.canonical_nodes, canonical);
  EXPECT_EQ(c.stages, stages);
  EXPECT_EQ(c.reduced_nodes, reduced);
  EXPECT_EQ(c.boundary_nodes, boundary);
}

TEST(Pipeline, WorkedExample) {
  Builder b;
  const NodeId src = b.src("s");
  const NodeId neg = b.op("neg", {src});
  const NodeId exp = b.op("exp", {neg});
  const NodeId add0 = b.op("add", {exp}, {f("scalar", 0.0), s("side", "r")});
  b.src("t");
  for (bool maximal : {false, true}) {
    const Reduced r = reduce(b, {add0}, maximal);
    EXPECT_EQ(r.describe(), (std::vector<std::string>{"src|s", "Stage[op|neg(i0) op|exp(m0)]<-0"}));
    EXPECT_EQ(r.snap.outputs, std::vector<NodeId>{1});
    EXPECT_EQ(r.store->node_map(), (std::vector<NodeMapEntry>{{0, kNone}, {1, 0}, {1, 1}, {1, 1}, {}}));
    expect_counters(r.counters, 5, 4, 3, 1, 2, 1);
  }
}

TEST(Pipeline, NothingSurvivesWithoutOutputs) {
  Builder b;
  b.op("neg", {b.src("x")});
  const Reduced r = reduce(b, {});
  expect_counters(r.counters, 2, 0, 0, 0, 0, 0);
  EXPECT_EQ(r.store->node_map(), std::vector<NodeMapEntry>(2));
  EXPECT_EQ(r.snap.graph.size(), 0u);
}

TEST(Pipeline, ChainIntoABoundaryFusesInBothModes) {
  Builder b;
  const NodeId x = b.src("x");
  const NodeId p = b.op("p", {x});
  const NodeId q = b.op("q", {p});
  const NodeId sum = b.red("sum", {q});
  for (bool maximal : {false, true}) {
    const Reduced r = reduce(b, {sum}, maximal);
    EXPECT_EQ(r.describe(), (std::vector<std::string>{"src|x", "Stage[op|p(i0) op|q(m0)]<-0", "red|sum<-1"}));
  }
}

TEST(Pipeline, DiamondFusesFullyOnlyInMaximalMode) {
  Builder b;
  const NodeId x = b.src("x");
  const NodeId a = b.op("a", {x});
  const NodeId bb = b.op("b", {a});
  const NodeId c = b.op("c", {a});
  const NodeId d = b.op("d", {bb, c});
  const Reduced single = reduce(b, {d}, false);
  EXPECT_EQ(single.describe(),
            (std::vector<std::string>{"src|x", "Stage[op|a(i0)]<-0", "Stage[op|b(i0) op|c(i0) op|d(m0,m1)]<-1"}));
  const Reduced maximal = reduce(b, {d}, true);
  EXPECT_EQ(maximal.describe(),
            (std::vector<std::string>{"src|x", "Stage[op|a(i0) op|b(m0) op|c(m0) op|d(m1,m2)]<-0"}));
  EXPECT_EQ(single.counters.canonical_nodes, maximal.counters.canonical_nodes);
  EXPECT_LT(maximal.counters.stages, single.counters.stages);
}

TEST(Pipeline, DoubleUseFusesOnlyInMaximalMode) {
  Builder b;
  const NodeId x = b.src("x");
  const NodeId e = b.op("exp", {x});
  const NodeId sq = b.op("mul", {e, e});
  EXPECT_EQ(reduce(b, {sq}, false).describe(),
            (std::vector<std::string>{"src|x", "Stage[op|exp(i0)]<-0", "Stage[op|mul(i0,i0)]<-1"}));
  EXPECT_EQ(reduce(b, {sq}, true).describe(),
            (std::vector<std::string>{"src|x", "Stage[op|exp(i0) op|mul(m0,m0)]<-0"}));
}

TEST(Pipeline, OutputsAndBoundaryConsumersEndStages) {
  Builder b;
  const NodeId x = b.src("x");
  const NodeId p = b.op("p", {x});
  const NodeId q = b.op("q", {p});
  const NodeId r1 = b.op("r", {q});
  const NodeId sum = b.red("sum", {q});
  // q is an output and read by an op and a reduction: it ends its stage.
  for (bool maximal : {false, true}) {
    const Reduced r = reduce(b, {q, r1, sum}, maximal);
    EXPECT_EQ(r.describe(), (std::vector<std::string>{"src|x", "Stage[op|p(i0) op|q(m0)]<-0", "Stage[op|r(i0)]<-1",
                                                      "red|sum<-1"}));
    EXPECT_EQ(r.snap.outputs, (std::vector<NodeId>{1, 2, 3}));
  }
}

TEST(Pipeline, RewritesMergeOutputsAndHashConsConsumers) {
  Builder b;
  const NodeId x = b.src("x");
  const NodeId y = b.src("y");
  const NodeId xy = b.op("add", {x, y});
  const NodeId yx = b.op("add", {y, x});
  const NodeId n1 = b.op("neg", {xy});
  const NodeId n2 = b.op("neg", {yx});
  const NodeId one = b.op("mul", {n2}, {f("scalar", 1.0), s("side", "l")});
  const NodeId r1 = b.red("sum", {n1});
  const NodeId r2 = b.red("sum", {one});
  const Reduced r = reduce(b, {r1, r2, xy}, false);
  EXPECT_EQ(r.describe(),
            (std::vector<std::string>{"src|x", "src|y", "Stage[op|add(i0,i1)]<-0,1", "Stage[op|neg(i0)]<-2", "red|sum<-3"}));
  EXPECT_EQ(r.result_outputs, (std::vector<uint64_t>{4, 4, 2}));
  EXPECT_EQ(r.snap.outputs, (std::vector<NodeId>{4, 2}));
  const auto map = r.store->node_map();
  EXPECT_EQ(map[yx], map[xy]);
  EXPECT_EQ(map[one], map[n1]);
  EXPECT_EQ(map[r2], map[r1]);
  expect_counters(r.counters, 9, 9, 5, 2, 5, 3);
}

TEST(Pipeline, PassThroughEngineOnlyRemovesDeadCodeAndDuplicates) {
  Builder b;
  const NodeId x = b.src("x");
  const NodeId y = b.src("y");
  const NodeId xy = b.op("add", {x, y});
  const NodeId yx = b.op("add", {y, x});
  const NodeId j = b.add(NodeKind::Join, "", {xy, yx});
  b.op("dead", {j});
  const Reduced r = reduce(b, {j}, false, PassThroughEngine());
  expect_counters(r.counters, 6, 5, 5, 2, 5, 3);
}

TEST(Pipeline, ReducingAReducedStoreIsAFixedPoint) {
  Builder b;
  const NodeId x = b.src("x");
  const NodeId y = b.src("y");
  // Two stages of two members each, with different members.
  const NodeId s1 = b.red("sum", {b.op("exp", {b.op("neg", {x})})});
  const NodeId s2 = b.red("sum", {b.op("log", {b.op("abs", {y})})});
  const NodeId s3 = b.red("sum", {b.op("exp", {b.op("neg", {y})})});
  const NodeId j = b.add(NodeKind::Join, "", {s1, s2});
  const Reduced once = reduce(b, {j, s3}, false);
  Builder again;
  const Snapshot snap = once.store->snapshot();
  ReductionResult twice_result = reduce_nodes(snap.graph, snap.outputs, SaturationEngine(), false);
  auto twice = build_reduced_store(std::move(twice_result));
  Reduced r2;
  r2.snap = twice->snapshot();
  EXPECT_EQ(r2.describe(), once.describe());
  EXPECT_EQ(r2.snap.outputs, once.snap.outputs);
}

/// The saturation engine with its promise of distinct records taken back,
/// so that the pipeline hash-conses its answer again.
class RehashedSaturation : public RewriteEngine {
 public:
  void add_operators(egraph::SymbolScope& symbols) const override { SaturationEngine().add_operators(symbols); }
  CanonicalTerms canonicalize(const TermGraph& input, egraph::SymbolScope& symbols,
                              RewriteRun* run) const override {
    CanonicalTerms out = SaturationEngine().canonicalize(input, symbols, run);
    out.distinct = false;
    return out;
  }
};

TEST(Pipeline, SaturationAnswersNeedNoSecondHashConsing) {
  // Commuted twins, identities, chains, reductions and joins over shared
  // values: many classes merge, and consumers of merged classes become equal.
  for (unsigned seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    Builder b;
    std::vector<NodeId> ids;
    for (int k = 0; k < 4; ++k) ids.push_back(b.src(std::string("s").append(std::to_string(k))));
    auto pick = [&] { return ids[rng() % ids.size()]; };
    for (int step = 0; step < 300; ++step) {
      const NodeId x = pick();
      const NodeId y = pick();
      switch (rng() % 7) {
        case 0: ids.push_back(b.op("add", {x, y})); break;
        case 1: ids.push_back(b.op("add", {y, x})); break;
        case 2: ids.push_back(b.op("mul", {x, y})); break;
        case 3: ids.push_back(b.op("mul", {x}, {f("scalar", 1.0), s("side", "l")})); break;
        case 4: ids.push_back(b.op("neg", {x})); break;
        case 5: ids.push_back(b.red("sum", {x})); break;
        default: ids.push_back(b.add(NodeKind::Join, "", {x, y})); break;
      }
    }
    const std::vector<NodeId> outputs(ids.end() - 8, ids.end());
    for (bool maximal : {false, true}) {
      const Reduced taken = reduce(b, outputs, maximal);
      const Reduced rehashed = reduce(b, outputs, maximal, RehashedSaturation());
      EXPECT_EQ(taken.describe(), rehashed.describe()) << "seed " << seed;
      EXPECT_EQ(taken.snap.outputs, rehashed.snap.outputs);
      EXPECT_EQ(taken.store->node_map(), rehashed.store->node_map());
      EXPECT_EQ(taken.counters.canonical_nodes, rehashed.counters.canonical_nodes);
      EXPECT_LT(taken.counters.canonical_nodes, taken.counters.reachable_nodes) << "rewrites should merge classes";
    }
  }
}

TEST(NodeSymbol, KindsAndParameters) {
  Builder b;
  const NodeId x = b.add(NodeKind::Source, "a|b", {}, {s("k", "v;w")});
  const NodeId o = b.op("add", {x}, {s("side", "r"), f("scalar", 0.0)});
  const NodeId e = b.add(NodeKind::Exchange, "", {o}, {{"parts", ParamTag::Int, 64, {}}});
  const NodeId j = b.add(NodeKind::Join, "", {x, o});
  const Snapshot snap = b.store.snapshot();
  auto sym = [&](NodeId id) { return node_symbol(snap.graph.pools, snap.graph.nodes.recs[id]); };
  EXPECT_EQ(sym(x), "src|a%7Cb|k=sv%3Bw");
  EXPECT_EQ(sym(o), "op|add|scalar=f0000000000000000;side=sr");
  EXPECT_EQ(sym(e), "exch|parts=i64");
  EXPECT_EQ(sym(j), "join");
}

TEST(NodeSymbol, DifferentDescriptorsNeverShareASymbol) {
  Store store;
  const std::vector<DescriptorRef> descriptors = {
      {"k", "h", "f", "v", "io", std::nullopt}, {"k", "h", "f", "v", "io", std::string_view("-")},
      {"k", "h", "f", "v", "io", std::string_view("")}, {"k", "h|f", "v", "io", "x", std::nullopt},
      {"k|h", "f", "v", "io", "x", std::nullopt},       {"k", "h", "f", "v", "io", std::string_view("%2D")},
  };
  std::vector<std::string> symbols;
  for (const DescriptorRef& d : descriptors) {
    NodeSpec node_spec;
    node_spec.kind = NodeKind::External;
    node_spec.descriptor = &d;
    const NodeId id = store.intern_node(node_spec).value();
    const Snapshot snap = store.snapshot();
    symbols.push_back(node_symbol(snap.graph.pools, snap.graph.nodes.recs[id]));
  }
  EXPECT_EQ(symbols[0], "ext|k|h|f|v|io|-");
  for (size_t i = 0; i < symbols.size(); ++i) {
    for (size_t j = i + 1; j < symbols.size(); ++j) EXPECT_NE(symbols[i], symbols[j]) << symbols[i];
  }
}

TEST(SaturationEngine, IdentitiesOnlyMatchTheirExactShape) {
  Builder b;
  const NodeId x = b.src("x");
  const NodeId y = b.src("y");
  const std::vector<std::pair<NodeId, bool>> cases = {
      {b.op("add", {x}, {f("scalar", 0.0), s("side", "r")}), true},
      {b.op("add", {x}, {f("scalar", 0.0), s("side", "l")}), true},
      {b.op("mul", {x}, {f("scalar", 1.0), s("side", "r")}), true},
      {b.op("mul", {x}, {f("scalar", 1.0), s("side", "l")}), true},
      {b.op("add", {x}, {f("scalar", 1.0), s("side", "r")}), false},
      {b.op("mul", {x}, {f("scalar", 0.0), s("side", "r")}), false},
      {b.op("add", {x}, {f("scalar", -0.0), s("side", "r")}), false},
      {b.op("add", {x}, {{"scalar", ParamTag::Int, 0, {}}, s("side", "r")}), false},
      {b.op("add", {x, y}, {f("scalar", 0.0), s("side", "r")}), false},
      {b.op("add", {x}, {f("scalar", 0.0), s("side", "r"), s("z", "")}), false},
  };
  for (const auto& [id, vanishes] : cases) {
    const Reduced r = reduce(b, {id}, false);
    EXPECT_EQ(r.store->node_map()[id] == r.store->node_map()[x], vanishes) << "node " << id;
  }
}

TEST(SaturationEngine, CommutativityNeedsANamedBinaryOpWithoutParams) {
  Builder b;
  const NodeId x = b.src("x");
  const NodeId y = b.src("y");
  auto merged = [&](std::string_view name, std::vector<ParamRef> p = {}) {
    const NodeId a = b.op(name, {x, y}, p);
    const NodeId c = b.op(name, {y, x}, p);
    const Reduced r = reduce(b, {a, c}, false);
    return r.store->node_map()[a] == r.store->node_map()[c];
  };
  for (std::string_view op : kCommutativeOps) EXPECT_TRUE(merged(op)) << op;
  EXPECT_FALSE(merged("sub"));
  EXPECT_FALSE(merged("add", {s("side", "r")}));
}

TEST(SaturationEngine, FirstRecordedOrientationSurvives) {
  Builder b;
  const NodeId x = b.src("x");
  const NodeId y = b.src("y");
  const NodeId yx = b.op("mul", {y, x});
  const NodeId xy = b.op("mul", {x, y});
  const Reduced r = reduce(b, {xy, yx}, false);
  EXPECT_EQ(r.describe(), (std::vector<std::string>{"src|x", "src|y", "Stage[op|mul(i0,i1)]<-1,0"}));
}

TEST(SaturationEngine, IdentityRootLandsOnItsInput) {
  Builder b;
  const NodeId x = b.src("x");
  const NodeId i = b.op("mul", {x}, {f("scalar", 1.0), s("side", "r")});
  const Reduced r = reduce(b, {i, i}, false);
  EXPECT_EQ(r.describe(), std::vector<std::string>{"src|x"});
  EXPECT_EQ(r.result_outputs, (std::vector<uint64_t>{0, 0}));
}

TEST(Pipeline, DeepChainNeedsNoRecursion) {
  Builder b;
  NodeId last = b.src("x");
  for (int i = 0; i < 200000; ++i) last = b.op(i % 2 ? "neg" : "exp", {last});
  const Reduced r = reduce(b, {last}, false);
  expect_counters(r.counters, 200001, 200001, 200001, 1, 2, 1);
}

}  // namespace
}  // namespace korvane
