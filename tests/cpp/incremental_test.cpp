// The incremental reducer: what a step makes of each node, watermarks,
// binding to one store, and finalize against the one-shot pipeline.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/internal_error.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/saturation_engine.hpp"

namespace korvane {
namespace {

ParamRef f(std::string_view key, double v) { return {key, ParamTag::Float, double_bits(v), {}}; }
ParamRef s(std::string_view key, std::string_view v) { return {key, ParamTag::Str, 0, v}; }

NodeId add(Store& store, NodeKind kind, std::string_view name, std::vector<NodeId> inputs,
           std::vector<ParamRef> params = {}) {
  sort_params(params);
  NodeSpec spec;
  spec.kind = kind;
  spec.name = name;
  spec.inputs = inputs;
  spec.params = params;
  return store.intern_node(spec).value();
}
NodeId op(Store& st, std::string_view name, std::vector<NodeId> in, std::vector<ParamRef> p = {}) {
  return add(st, NodeKind::Op, name, std::move(in), std::move(p));
}
NodeId src(Store& st, std::string_view name) { return add(st, NodeKind::Source, name, {}); }

const std::vector<ParamRef> kAddZeroR = {f("scalar", 0.0), s("side", "r")};

TEST(IncrementalReducer, StartsEmptyAndCountsEveryNodeOnce) {
  Store store;
  IncrementalReducer r;
  EXPECT_EQ(r.watermark(), 0u);
  EXPECT_EQ(r.step(store).value(), 0u);
  NodeId last = src(store, "x");
  for (int i = 0; i < 9; ++i) last = op(store, "neg", {last}, {{"i", ParamTag::Int, static_cast<uint64_t>(i), {}}});
  // Steps see whatever is new, however the recording was split.
  EXPECT_EQ(r.step(store).value(), 10u);
  EXPECT_EQ(r.step(store).value(), 0u);
  EXPECT_EQ(r.watermark(), 10u);
  EXPECT_EQ(r.total_work(), 10u);
  EXPECT_EQ(r.canonical_count(), 10u);
}

TEST(IncrementalReducer, CanonicalisesIdentitiesTwinsAndDuplicates) {
  Store store;
  IncrementalReducer r;
  const NodeId x = src(store, "x");
  const NodeId y = src(store, "y");
  r.step(store);
  ASSERT_EQ(r.canonical_count(), 2u);

  op(store, "add", {x}, kAddZeroR);  // vanishes into x
  r.step(store);
  EXPECT_EQ(r.canonical_count(), 2u);

  op(store, "add", {x, y});
  op(store, "add", {y, x});  // the twin of the previous node
  r.step(store);
  EXPECT_EQ(r.canonical_count(), 3u);

  op(store, "sub", {x, y});
  op(store, "sub", {y, x});  // not commutative
  op(store, "add", {x, y}, {s("side", "r")});
  op(store, "add", {y, x}, {s("side", "r")});  // commutativity needs no parameters
  r.step(store);
  EXPECT_EQ(r.canonical_count(), 7u);

  const NodeId nx = op(store, "neg", {x});
  op(store, "neg", {op(store, "mul", {x}, {f("scalar", 1.0), s("side", "l")})});  // neg(x) again
  r.step(store);
  EXPECT_EQ(r.canonical_count(), 8u);
  (void)nx;
}

TEST(IncrementalReducer, IdentitySymbolWithOtherArityIsAnOrdinaryNode) {
  Store store;
  IncrementalReducer r;
  const NodeId x = src(store, "x");
  const NodeId y = src(store, "y");
  const NodeId two = op(store, "add", {x, y}, kAddZeroR);
  const NodeId none = op(store, "add", {}, kAddZeroR);
  r.step(store);
  EXPECT_EQ(r.canonical_count(), 4u);
  // And finalize keeps both, as the rewrite rules do.
  auto done = r.finalize(store, std::vector<NodeId>{two, none}, false);
  ASSERT_TRUE(done.ok());
  EXPECT_EQ(done.value().counters.canonical_nodes, 4u);
}

TEST(IncrementalReducer, BoundToTheFirstStore) {
  Store first;
  Store second;
  src(first, "x");
  src(second, "y");
  src(second, "z");
  IncrementalReducer r;
  ASSERT_TRUE(r.step(first).ok());
  EXPECT_FALSE(r.step(second).ok());
  EXPECT_FALSE(r.finalize(second, {}, false).ok());
  EXPECT_EQ(r.watermark(), 1u);
  EXPECT_TRUE(r.finalize(first, std::vector<NodeId>{0}, false).ok());
}

TEST(IncrementalReducer, FinalizeMatchesTheOneShotReduction) {
  Store store;
  IncrementalReducer r;
  const NodeId x = src(store, "x");
  const NodeId y = src(store, "y");
  const NodeId a = op(store, "mul", {x, y});
  r.step(store);
  const NodeId b = op(store, "mul", {y, x});
  const NodeId z = op(store, "add", {b}, kAddZeroR);
  const NodeId e = op(store, "exp", {z});
  const NodeId sum = add(store, NodeKind::Reduction, "sum", {e, a});
  src(store, "dead");

  auto inc = r.finalize(store, std::vector<NodeId>{sum, z}, false);
  ASSERT_TRUE(inc.ok());
  const std::vector<NodeId> outs{sum, z};
  auto oneshot = build_reduced_store(reduce_nodes(store.snapshot().graph, outs, SaturationEngine(), false));
  const Snapshot a_snap = inc.value().store->snapshot();
  const Snapshot b_snap = oneshot->snapshot();
  ASSERT_EQ(a_snap.graph.size(), b_snap.graph.size());
  for (size_t i = 0; i < a_snap.graph.size(); ++i) {
    EXPECT_EQ(a_snap.graph.kind(i), b_snap.graph.kind(i));
    EXPECT_TRUE(std::ranges::equal(a_snap.graph.inputs(i), b_snap.graph.inputs(i)));
  }
  EXPECT_EQ(a_snap.outputs, b_snap.outputs);
  EXPECT_EQ(inc.value().store->node_map(), oneshot->node_map());
  EXPECT_EQ(inc.value().counters.input_nodes, r.canonical_count());

  // Still usable: more recording, another finalize covering everything.
  const NodeId later = op(store, "neg", {sum});
  auto again = r.finalize(store, std::vector<NodeId>{later}, true);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value().store->node_map().size(), store.node_count());
  EXPECT_EQ(r.total_work(), store.node_count());
}

TEST(IncrementalReducer, PoisonedReducerRefusesEveryCall) {
  // A store whose lock is poisoned makes the reducer's step fail while the
  // reducer's own lock is held, which poisons the reducer as well.
  Store store;
  src(store, "x");
  EXPECT_THROW(store.read_locked([](const auto&, const auto&, const auto&) -> int { throw InternalError("x"); }),
               InternalError);
  IncrementalReducer r;
  EXPECT_THROW(r.step(store), InternalError);
  try {
    r.watermark();
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "incremental reducer poisoned");
  }
}

TEST(IncrementalReducer, ConcurrentStepsConsumeEachNodeOnce) {
  Store store;
  IncrementalReducer r;
  NodeId last = src(store, "x");
  std::atomic<bool> done{false};
  std::thread recorder([&] {
    for (int i = 0; i < 5000; ++i) last = op(store, i % 3 ? "neg" : "exp", {last});
    done = true;
  });
  std::thread stepper([&] {
    while (!done) r.step(store);
  });
  recorder.join();
  stepper.join();
  r.step(store);
  EXPECT_EQ(r.watermark(), store.node_count());
  EXPECT_EQ(r.total_work(), store.node_count());
}

}  // namespace
}  // namespace korvane
