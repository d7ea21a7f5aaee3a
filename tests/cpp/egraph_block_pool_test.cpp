// Blocks of the e-graph's pool and the lists drawing from it: elements are
// constructed and destroyed exactly once through growth, merging, resets
// and moves, and blocks are reused by size. Leaks and double frees show
// under the sanitizers.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "egraph/pooled_vec.hpp"
#include "egraph/egraph.hpp"

namespace korvane::egraph {
namespace {

/// An element that owns heap memory and counts the live instances.
struct Tracked {
  static inline int live = 0;
  explicit Tracked(int v) : value(std::make_unique<int>(v)) { ++live; }
  Tracked(const Tracked& other) : value(std::make_unique<int>(*other.value)) { ++live; }
  Tracked(Tracked&& other) noexcept : value(std::move(other.value)) { ++live; }
  ~Tracked() { --live; }
  std::unique_ptr<int> value;
};

std::vector<int> values(const PooledVec<Tracked, 2>& list) {
  std::vector<int> out;
  for (const Tracked& item : list) out.push_back(*item.value);
  return out;
}

TEST(BlockPool, ReusesFreedBlocksBySizeAndServesLargeOnes) {
  BlockPool pool;
  void* a = pool.allocate(24);  // a 32-byte block
  void* b = pool.allocate(32);
  EXPECT_NE(a, b);
  pool.deallocate(a, 24);
  EXPECT_EQ(pool.allocate(17), a) << "same size class, last freed first";
  EXPECT_NE(pool.allocate(16), a) << "another size class";
  void* large = pool.allocate(BlockPool::kLargest + 1);
  std::fill_n(static_cast<char*>(large), BlockPool::kLargest + 1, 'x');
  pool.deallocate(large, BlockPool::kLargest + 1);
  // Many blocks: more than one slab, all distinct and writable.
  std::vector<void*> blocks;
  for (int k = 0; k < 20000; ++k) {
    blocks.push_back(pool.allocate(64));
    std::fill_n(static_cast<char*>(blocks.back()), 64, static_cast<char>(k));
  }
  std::sort(blocks.begin(), blocks.end());
  EXPECT_EQ(std::adjacent_find(blocks.begin(), blocks.end()), blocks.end());
}

TEST(PooledVec, KeepsEveryElementOnceThroughGrowthMergesAndMoves) {
  Tracked::live = 0;
  {
    BlockPool pool;
    PooledVec<Tracked, 2> a;
    PooledVec<Tracked, 2> b;
    for (int k = 0; k < 5; ++k) a.push_back(pool, Tracked(k));  // inline, then 4, then 8
    b.push_back(pool, Tracked(10));
    EXPECT_EQ(Tracked::live, 6);
    EXPECT_EQ(a.capacity(), 8u);

    b.append_moved(pool, a);
    EXPECT_EQ(values(b), (std::vector<int>{10, 0, 1, 2, 3, 4}));
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(a.capacity(), 2u) << "the emptied list gave its block back";
    EXPECT_EQ(Tracked::live, 6);

    a.push_back(pool, Tracked(20));
    swap(a, b);
    EXPECT_EQ(values(a), (std::vector<int>{10, 0, 1, 2, 3, 4}));
    EXPECT_EQ(values(b), (std::vector<int>{20}));

    PooledVec<Tracked, 2> moved(std::move(a));
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(values(moved), (std::vector<int>{10, 0, 1, 2, 3, 4}));
    moved.truncate(2);
    EXPECT_EQ(Tracked::live, 3);
    b.reset(pool);
    EXPECT_EQ(Tracked::live, 2);

    // A list past the pool's largest block: its own allocation.
    PooledVec<Tracked, 2> big;
    for (int k = 0; k < 200; ++k) big.push_back(pool, Tracked(k));
    EXPECT_GT(big.capacity() * sizeof(Tracked), BlockPool::kLargest);
    std::vector<int> expected(200);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(values(big), expected);
  }
  EXPECT_EQ(Tracked::live, 0);
}

SymbolLang node(const char* op, std::initializer_list<ClassId> children = {}) {
  return SymbolLang{intern(op), Children(children)};
}

/// An e-graph whose classes hold pooled node and parent lists, with nodes
/// whose children live on the heap.
EGraph merged_egraph(int width) {
  EGraph egraph;
  std::vector<ClassId> leaves;
  for (int k = 0; k < 64; ++k) leaves.push_back(egraph.add(SymbolLang{intern(std::string("l").append(std::to_string(k))), {}}));
  const ClassId leaf = leaves[0];
  std::vector<ClassId> wides;
  for (int k = 0; k < width; ++k) {
    const ClassId other = leaves[static_cast<std::size_t>(k) % leaves.size()];
    const ClassId wide = egraph.add(node("w", {leaf, leaf, leaf, other, static_cast<ClassId>(k % 7)}));
    egraph.union_(wide, egraph.add(node("v", {leaf, other, static_cast<ClassId>(k % 5)})));
    wides.push_back(wide);
  }
  for (std::size_t k = 1; k < wides.size(); k += 2) egraph.union_(wides[k - 1], wides[k]);
  egraph.rebuild();
  return egraph;
}

TEST(EGraph, MovedOverAnotherReleasesItsClassesBeforeTheirBlocks) {
  EGraph target = merged_egraph(300);
  EGraph source = merged_egraph(500);
  const std::size_t classes = source.class_count();
  target = std::move(source);
  EXPECT_EQ(target.class_count(), classes);
  EXPECT_TRUE(target.lookup(node("w", {0, 0, 0, 0, 0})).has_value());
  target.add(node("v", {0, 0}));
  target.rebuild();
}

}  // namespace
}  // namespace korvane::egraph
