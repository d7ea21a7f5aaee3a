// graph_stats.hpp - figures about a graph's shape, for tools that look at big graphs.
//
// One pass over kinds and names, one reverse sweep for the nodes the outputs
// reach, one forward sweep for the longest input chain, and histograms of
// fan-in, fan-out and stage sizes, all over the node table as it is: no copy
// of the nodes, no per-node allocation.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "store/graph.hpp"

namespace korvane {

/// How many of the most common operator names GraphStats keeps.
inline constexpr size_t kTopOps = 20;

/// A distribution of non-negative counts over a population (nodes, stages).
struct Spread {
  /// (value, how many members have it), values ascending, counts above 0.
  std::vector<std::pair<uint64_t, uint64_t>> histogram;

  /// The largest value; nullopt for an empty population.
  std::optional<uint64_t> max() const;
  /// The nearest-rank percentile: the smallest value v such that at least
  /// `share`% of the members have a value of at most v (rank ceil(share *
  /// size / 100), at least 1); nullopt for an empty population.
  std::optional<uint64_t> percentile(unsigned share) const;
};

/// The figures of one graph and its output marks.
struct GraphStats {
  uint64_t nodes = 0;
  uint64_t edges = 0;  ///< input slots: a node reading x twice counts two
  std::array<uint64_t, kNodeKindCount> kinds{};  ///< by kind tag
  /// The kTopOps most common Op names with their counts: count descending,
  /// then name ascending (byte order).
  std::vector<std::pair<std::string, uint64_t>> top_ops;
  uint64_t distinct_ops = 0;  ///< how many different Op names there are
  uint64_t outputs = 0;       ///< marks, each id once
  uint64_t reachable = 0;     ///< nodes the marks reach through inputs, themselves included
  uint64_t longest_path = 0;  ///< edges on the longest chain of inputs
  Spread fan_in;              ///< over nodes: inputs, repeats counted
  Spread fan_out;             ///< over nodes: input slots that name the node
  Spread stage_members;       ///< over Stage nodes: member count
};

/// The figures of `nodes` with output marks `outputs`; every mark must be
/// below the node count.
GraphStats graph_stats(const PoolData& pools, const NodeTable& nodes, std::span<const NodeId> outputs);

}  // namespace korvane
