// The incremental reducer: what a step makes of each node, watermarks,
// binding to one store, and finalize against the one-shot pipeline.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/internal_error.hpp"
#include "graph_builder.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/saturation_engine.hpp"

namespace korvane {
namespace {

using testing_support::f;
using testing_support::s;

using testing_support::Builder;

const std::vector<ParamRef> kAddZeroR = {f("scalar", 0.0), s("side", "r")};

TEST(IncrementalReducer, StartsEmptyAndCountsEveryNodeOnce) {
  Builder b;
  Store& store = b.store;
  IncrementalReducer r;
  EXPECT_EQ(r.watermark(), 0u);
  EXPECT_EQ(r.step(store).value(), 0u);
  NodeId last = b.src("x");
  for (int i = 0; i < 9; ++i) last = b.op("neg", {last}, {{"i", ParamTag::Int, static_cast<uint64_t>(i), {}}});
  // Steps see whatever is new, however the recording was split.
  EXPECT_EQ(r.step(store).value(), 10u);
  EXPECT_EQ(r.step(store).value(), 0u);
  EXPECT_EQ(r.watermark(), 10u);
  EXPECT_EQ(r.total_work(), 10u);
  EXPECT_EQ(r.canonical_count(), 10u);
}

TEST(IncrementalReducer, CanonicalisesIdentitiesTwinsAndDuplicates) {
  Builder b;
  Store& store = b.store;
  IncrementalReducer r;
  const NodeId x = b.src("x");
  const NodeId y = b.src("y");
  r.step(store);
  ASSERT_EQ(r.canonical_count(), 2u);

  b.op("add", {x}, kAddZeroR);  // vanishes into x
  r.step(store);
  EXPECT_EQ(r.canonical_count(), 2u);

  b.op("add", {x, y});
  b.op("add", {y, x});  // the twin of the previous node
  r.step(store);
  EXPECT_EQ(r.canonical_count(), 3u);

  b.op("sub", {x, y});
  b.op("sub", {y, x});  // not commutative
  b.op("add", {x, y}, {s("side", "r")});
  b.op("add", {y, x}, {s("side", "r")});  // commutativity needs no parameters
  r.step(store);
  EXPECT_EQ(r.canonical_count(), 7u);

  const NodeId nx = b.op("neg", {x});
  b.op("neg", {b.op("mul", {x}, {f("scalar", 1.0), s("side", "l")})});  // neg(x) again
  r.step(store);
  EXPECT_EQ(r.canonical_count(), 8u);
  (void)nx;
}

TEST(IncrementalReducer, IdentitySymbolWithOtherArityIsAnOrdinaryNode) {
  Builder b;
  Store& store = b.store;
  IncrementalReducer r;
  const NodeId x = b.src("x");
  const NodeId y = b.src("y");
  const NodeId two = b.op("add", {x, y}, kAddZeroR);
  const NodeId none = b.op("add", {}, kAddZeroR);
  r.step(store);
  EXPECT_EQ(r.canonical_count(), 4u);
  // And finalize keeps both, as the rewrite rules do.
  auto done = r.finalize(store, std::vector<NodeId>{two, none}, false);
  ASSERT_TRUE(done.ok());
  EXPECT_EQ(done.value().counters.canonical_nodes, 4u);
}

TEST(IncrementalReducer, BoundToTheFirstStore) {
  Builder first;
  Builder second;
  first.src("x");
  second.src("y");
  second.src("z");
  IncrementalReducer r;
  ASSERT_TRUE(r.step(first.store).ok());
  EXPECT_FALSE(r.step(second.store).ok());
  EXPECT_FALSE(r.finalize(second.store, {}, false).ok());
  EXPECT_EQ(r.watermark(), 1u);
  EXPECT_TRUE(r.finalize(first.store, std::vector<NodeId>{0}, false).ok());
}

TEST(IncrementalReducer, FinalizeMatchesTheOneShotReduction) {
  Builder b;
  Store& store = b.store;
  IncrementalReducer r;
  const NodeId x = b.src("x");
  const NodeId y = b.src("y");
  const NodeId a = b.op("mul", {x, y});
  r.step(store);
  const NodeId yx = b.op("mul", {y, x});
  const NodeId z = b.op("add", {yx}, kAddZeroR);
  const NodeId e = b.op("exp", {z});
  const NodeId sum = b.add(NodeKind::Reduction, "sum", {e, a});
  b.src("dead");

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
  const NodeId later = b.op("neg", {sum});
  auto again = r.finalize(store, std::vector<NodeId>{later}, true);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value().store->node_map().size(), store.node_count());
  EXPECT_EQ(r.total_work(), store.node_count());
}

TEST(IncrementalReducer, AFailedCopyLeavesTheReducerInService) {
  // A poisoned store makes the reducer's step fail while it copies, before
  // the reducer changed anything: the reducer answers on.
  Builder b;
  Store& store = b.store;
  b.src("x");
  IncrementalReducer r;
  ASSERT_TRUE(r.step(store).ok());
  b.src("y");
  NodeSpec broken;
  broken.kind = NodeKind::External;  // no descriptor: a broken invariant
  EXPECT_THROW(store.intern_node(broken), InternalError);
  EXPECT_THROW(r.step(store), InternalError);
  EXPECT_EQ(r.watermark(), 1u);
  EXPECT_EQ(r.canonical_count(), 1u);
}

TEST(IncrementalReducer, ConcurrentStepsConsumeEachNodeOnce) {
  Builder b;
  Store& store = b.store;
  IncrementalReducer r;
  NodeId last = b.src("x");
  std::atomic<bool> done{false};
  std::thread recorder([&] {
    for (int i = 0; i < 5000; ++i) last = b.op(i % 3 ? "neg" : "exp", {last});
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
