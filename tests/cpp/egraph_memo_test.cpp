// egraph_memo_test.cpp - the hash-cons table on its own.
//
// Nodes that share an operator and a prefix of children (a leaf, a unary
// node, a binary node, longer nodes stored apart) must stay distinct
// entries through growth, value updates, extra keys and moves.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "egraph/memo.hpp"

namespace korvane::egraph {
namespace {

/// Nodes over two operators, every arity from 0 to `max_arity`, children
/// drawn from a few ids so that prefixes and repeats are common.
std::vector<SymbolLang> overlapping_nodes(unsigned seed, std::size_t count, unsigned max_arity) {
  std::mt19937 rng(seed);
  const Symbol ops[] = {intern("f"), intern("g")};
  std::map<SymbolLang, bool> seen;
  std::vector<SymbolLang> nodes;
  while (nodes.size() < count) {
    SymbolLang node{ops[rng() % 2], {}};
    const unsigned arity = rng() % (max_arity + 1);
    for (unsigned k = 0; k < arity; ++k) node.children.push_back(rng() % 10);
    if (seen.emplace(node, true).second) nodes.push_back(std::move(node));
  }
  return nodes;
}

/// Every entry as a map, through for_each; fails on a key visited twice.
std::map<SymbolLang, ClassId> entries(const Memo& memo) {
  std::map<SymbolLang, ClassId> all;
  memo.for_each([&](const SymbolLang& key, ClassId value) {
    EXPECT_TRUE(all.emplace(key, value).second) << "visited twice: " << to_string(key);
  });
  EXPECT_EQ(all.size(), memo.size());
  return all;
}

struct MemoCase {
  unsigned seed;
  std::size_t count;
  unsigned max_arity;
};

class MemoEntries : public testing::TestWithParam<MemoCase> {};

TEST_P(MemoEntries, KeepsNodesApartThroughGrowthUpdatesAndMoves) {
  const MemoCase param = GetParam();
  const std::vector<SymbolLang> nodes = overlapping_nodes(param.seed, param.count, param.max_arity);
  Memo memo;
  std::map<SymbolLang, ClassId> expected;
  // The first half as added nodes (value = id), the rest as extra keys.
  const std::size_t added = nodes.size() / 2;
  for (std::size_t k = 0; k < added; ++k) {
    SymbolLang copy = nodes[k];
    const auto [id, fresh] = memo.find_or_add(std::move(copy), Memo::hash(nodes[k]));
    ASSERT_TRUE(fresh);
    ASSERT_EQ(id, k);
    expected[nodes[k]] = id;
  }
  for (std::size_t k = added; k < nodes.size(); ++k) {
    const auto value = static_cast<ClassId>(1000 + k);
    auto [stored, inserted] = memo.find_or_insert(nodes[k], Memo::hash(nodes[k]), value);
    ASSERT_TRUE(inserted);
    ASSERT_EQ(stored, value);
    expected[nodes[k]] = value;
  }
  ASSERT_EQ(memo.size(), nodes.size());

  // Present keys are found, not inserted again; values can be overwritten.
  for (std::size_t k = 0; k < nodes.size(); k += 3) {
    SymbolLang copy = nodes[k];
    EXPECT_FALSE(memo.find_or_add(std::move(copy), Memo::hash(nodes[k])).second);
    auto [value, inserted] = memo.find_or_insert(nodes[k], Memo::hash(nodes[k]), 7);
    EXPECT_FALSE(inserted);
    EXPECT_EQ(value, expected[nodes[k]]);
    value = static_cast<ClassId>(k + 5);
    expected[nodes[k]] = value;
  }
  EXPECT_EQ(memo.size(), nodes.size());
  for (std::size_t k = 0; k < added; ++k) EXPECT_EQ(memo.key(static_cast<ClassId>(k)), nodes[k]);

  const Memo moved = std::move(memo);
  EXPECT_EQ(entries(moved), expected);
  for (const auto& [key, value] : expected) {
    const ClassId* found = moved.find(key, Memo::hash(key));
    ASSERT_NE(found, nullptr) << to_string(key);
    EXPECT_EQ(*found, value) << to_string(key);
  }
  // A node differing from a present one only in its last child is absent.
  SymbolLang absent{intern("f"), {0, 1, 2, 3, 4, 99}};
  EXPECT_EQ(moved.find(absent, Memo::hash(absent)), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Arities, MemoEntries,
                         testing::Values(MemoCase{1, 14, 1},   // leaves and unary nodes only
                                         MemoCase{2, 80, 2},   // all stored in their slots
                                         MemoCase{3, 400, 5},  // longer ones stored apart
                                         MemoCase{4, 20000, 5}));

TEST(Memo, ReserveKeepsEntries) {
  Memo memo;
  const std::vector<SymbolLang> nodes = overlapping_nodes(9, 300, 4);
  for (std::size_t k = 0; k < 100; ++k) memo.find_or_insert(nodes[k], Memo::hash(nodes[k]), static_cast<ClassId>(k));
  memo.reserve(5000);
  for (std::size_t k = 100; k < nodes.size(); ++k) {
    memo.find_or_insert(nodes[k], Memo::hash(nodes[k]), static_cast<ClassId>(k));
  }
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    const ClassId* found = memo.find(nodes[k], Memo::hash(nodes[k]));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, k);
  }
}

}  // namespace
}  // namespace korvane::egraph
