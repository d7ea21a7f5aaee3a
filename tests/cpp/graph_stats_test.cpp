// Graph figures: percentiles of small populations, and the figures of a
// hand-made graph whose numbers are worked out below.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph_builder.hpp"
#include "store/graph_stats.hpp"

namespace korvane {
namespace {

using testing_support::Builder;

Spread spread_of(std::vector<std::pair<uint64_t, uint64_t>> histogram) { return Spread{std::move(histogram)}; }

struct PercentileCase {
  std::vector<std::pair<uint64_t, uint64_t>> histogram;
  unsigned share;
  std::optional<uint64_t> value;
};

class Percentile : public testing::TestWithParam<PercentileCase> {};

TEST_P(Percentile, IsTheNearestRank) {
  EXPECT_EQ(spread_of(GetParam().histogram).percentile(GetParam().share), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Populations, Percentile,
    testing::Values(PercentileCase{{}, 50, std::nullopt},              // empty
                    PercentileCase{{{7, 1}}, 99, 7},                   // one member
                    PercentileCase{{{1, 1}, {2, 1}}, 50, 1},           // rank ceil(1.0) = 1
                    PercentileCase{{{1, 1}, {2, 1}, {3, 1}}, 50, 2},   // rank ceil(1.5) = 2
                    PercentileCase{{{0, 99}, {5, 1}}, 99, 0},          // rank 99 of 100
                    PercentileCase{{{0, 98}, {5, 2}}, 99, 5},          // rank 99 falls in the top
                    PercentileCase{{{0, 1000}, {9, 1}}, 99, 0},        // rank ceil(990.99) = 991
                    PercentileCase{{{3, 2}, {4, 2}}, 0, 3}));          // rank at least 1

TEST(GraphStats, OfAHandMadeGraph) {
  Builder b;
  const NodeId a = b.src("a"), c = b.src("c");
  const NodeId n2 = b.op("add", {a, c});
  const NodeId n3 = b.op("mul", {n2, a});
  const NodeId n4 = b.op("add", {n3, n3});  // reads n3 twice
  const NodeId n5 = b.red("sum", {n4});
  b.op("neg", {c});  // read by no output
  const NodeId n7 = b.op("zeta", {n5, n2});
  ASSERT_TRUE(b.store.mark_output(n7).ok());
  ASSERT_TRUE(b.store.mark_output(n3).ok());
  const GraphStats st = b.store.read_locked(
      [](const PoolData& pools, const NodeTable& nodes, const std::vector<NodeId>& outputs) {
        return graph_stats(pools, nodes, outputs);
      });
  EXPECT_EQ(st.nodes, 8u);
  EXPECT_EQ(st.edges, 10u);
  EXPECT_EQ(st.kinds[static_cast<unsigned>(NodeKind::Source)], 2u);
  EXPECT_EQ(st.kinds[static_cast<unsigned>(NodeKind::Op)], 5u);
  EXPECT_EQ(st.kinds[static_cast<unsigned>(NodeKind::Reduction)], 1u);
  const std::vector<std::pair<std::string, uint64_t>> top{{"add", 2}, {"mul", 1}, {"neg", 1}, {"zeta", 1}};
  EXPECT_EQ(st.top_ops, top);
  EXPECT_EQ(st.distinct_ops, 4u);
  EXPECT_EQ(st.outputs, 2u);
  EXPECT_EQ(st.reachable, 7u);  // all but the neg
  EXPECT_EQ(st.longest_path, 5u);  // a -> n2 -> n3 -> n4 -> n5 -> n7
  // Fan-in: 0, 0, 2, 2, 2, 1, 1, 2. Fan-out: a 2, c 2, n2 2, n3 2, n4 1, n5 1, neg 0, n7 0.
  EXPECT_EQ(st.fan_in.histogram, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 2}, {1, 2}, {2, 4}}));
  EXPECT_EQ(st.fan_out.histogram, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 2}, {1, 2}, {2, 4}}));
  EXPECT_EQ(st.fan_out.max(), 2u);
  EXPECT_EQ(st.fan_out.percentile(50), 1u);
  EXPECT_TRUE(st.stage_members.histogram.empty());
  EXPECT_EQ(st.stage_members.max(), std::nullopt);
}

TEST(GraphStats, KeepsTheTwentyMostCommonNamesTiesByName) {
  Builder b;
  NodeId x = b.src("x");
  // Names n00..n24: name k is recorded 1 + (k % 3) times, each on a new input.
  for (int k = 0; k < 25; ++k) {
    const std::string name = (k < 10 ? "n0" : "n") + std::to_string(k);
    for (int r = 0; r <= k % 3; ++r) x = b.op(name, {x});
  }
  const GraphStats st = b.store.read_locked(
      [](const PoolData& pools, const NodeTable& nodes, const std::vector<NodeId>& outputs) {
        return graph_stats(pools, nodes, outputs);
      });
  ASSERT_EQ(st.top_ops.size(), kTopOps);
  EXPECT_EQ(st.distinct_ops, 25u);
  EXPECT_EQ(st.top_ops.front(), (std::pair<std::string, uint64_t>{"n02", 3}));
  EXPECT_EQ(st.top_ops[8], (std::pair<std::string, uint64_t>{"n01", 2}));  // eight names have 3
  EXPECT_EQ(st.top_ops.back(), (std::pair<std::string, uint64_t>{"n09", 1}));  // then n00, n03, n06
  EXPECT_EQ(st.longest_path, 49u);
  EXPECT_EQ(st.reachable, 0u);
}

}  // namespace
}  // namespace korvane
