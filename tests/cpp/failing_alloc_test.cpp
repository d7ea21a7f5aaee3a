// Allocation failures in the middle of reads: the caller sees std::bad_alloc,
// and the store and the incremental reducer stay in service with their
// contents unchanged. This program replaces the global operator new, so it
// builds on its own, apart from the other suites.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "graph_builder.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"

namespace {

// Allocations left before one fails; negative while no failure is armed.
std::atomic<long> g_allocations_left{-1};

}  // namespace

void* operator new(std::size_t size) {
  if (g_allocations_left.load(std::memory_order_relaxed) >= 0 &&
      g_allocations_left.fetch_sub(1, std::memory_order_relaxed) == 0) {
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace korvane {
namespace {

using testing_support::Builder;

// Runs `call` with the k-th allocation failing, for k = 0, 1, ... until a
// call gets through; `check` runs after every failure. Returns how many
// calls failed.
template <class Call, class Check>
int fail_each_allocation(Call call, Check check) {
  for (long k = 0;; ++k) {
    g_allocations_left = k;
    try {
      call();
      g_allocations_left = -1;
      return static_cast<int>(k);
    } catch (const std::bad_alloc&) {
      g_allocations_left = -1;
      check();
    }
  }
}

// x + 0.0 and commuted twins over a few sources: the reduction has work to do.
NodeId record(Builder& b) {
  const NodeId x = b.src("x");
  const NodeId y = b.src("y");
  const NodeId z = b.op("add", {x}, {testing_support::f("scalar", 0.0), testing_support::s("side", "r")});
  const NodeId m = b.op("mul", {z, y});
  const NodeId m2 = b.op("mul", {y, z});
  return b.red("sum", {b.op("add", {m, m2})});
}

TEST(FailingAllocation, ReadsLeaveTheStoreInService) {
  Builder b;
  const NodeId out = record(b);
  ASSERT_TRUE(b.store.mark_output(out).ok());
  const uint64_t count = b.store.node_count();
  auto in_service = [&] {
    EXPECT_EQ(b.store.node_count(), count);
    EXPECT_EQ(b.store.outputs(), std::vector<NodeId>{out});
  };
  EXPECT_GT(fail_each_allocation([&] { b.store.snapshot(); }, in_service), 0);
  EXPECT_GT(fail_each_allocation([&] { b.store.outputs(); }, in_service), 0);
  PoolData mirror;
  EXPECT_GT(fail_each_allocation([&] { b.store.nodes_since(0, mirror); }, in_service), 0);
  const SaturationEngine engine;
  EXPECT_GT(fail_each_allocation(
                [&] {
                  Snapshot snap = b.store.snapshot();
                  build_reduced_store(reduce_nodes(std::move(snap.graph), snap.outputs, engine, false));
                },
                in_service),
            0);
  // Still recording: a new node gets the next id.
  EXPECT_EQ(b.src("w"), count);
}

TEST(FailingAllocation, FinalizeLeavesTheReducerInService) {
  Builder b;
  const NodeId out = record(b);
  IncrementalReducer r;
  ASSERT_TRUE(r.step(b.store).ok());
  const uint64_t canonical = r.canonical_count();
  auto reference = r.finalize(b.store, std::vector<NodeId>{out}, false);
  ASSERT_TRUE(reference.ok());
  const std::vector<NodeMapEntry> expected = reference.value().store->node_map();
  auto in_service = [&] {
    EXPECT_EQ(r.watermark(), b.store.node_count());
    EXPECT_EQ(r.canonical_count(), canonical);
  };
  const int failures = fail_each_allocation(
      [&] {
        auto again = r.finalize(b.store, std::vector<NodeId>{out}, false);
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(again.value().store->node_map(), expected);
      },
      in_service);
  EXPECT_GT(failures, 10);
}

}  // namespace
}  // namespace korvane
