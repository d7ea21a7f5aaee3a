// graph_stats.cpp - the figures of a graph's shape.
#include "store/graph_stats.hpp"

#include <algorithm>
#include <string_view>

#include "common/internal_error.hpp"

namespace korvane {

namespace {

/// The histogram of `value(i)` for i below `count`. Every value is at most
/// the graph's edge count, so a counting array indexed by value is small.
template <class Value>
Spread spread_of(size_t count, Value value) {
  uint64_t top = 0;
  for (size_t i = 0; i < count; ++i) top = std::max<uint64_t>(top, value(i));
  std::vector<uint64_t> counts(count == 0 ? 0 : top + 1, 0);
  for (size_t i = 0; i < count; ++i) ++counts[value(i)];
  Spread s;
  for (uint64_t v = 0; v < counts.size(); ++v) {
    if (counts[v] != 0) s.histogram.emplace_back(v, counts[v]);
  }
  return s;
}

}  // namespace

std::optional<uint64_t> Spread::max() const {
  if (histogram.empty()) return std::nullopt;
  return histogram.back().first;
}

std::optional<uint64_t> Spread::percentile(unsigned share) const {
  uint64_t total = 0;
  for (const auto& [value, count] : histogram) total += count;
  if (total == 0) return std::nullopt;
  // ceil(share * total / 100), at least 1; share * total cannot overflow for
  // any population that fits in memory.
  const uint64_t rank = std::max<uint64_t>(1, (share * total + 99) / 100);
  uint64_t seen = 0;
  for (const auto& [value, count] : histogram) {
    seen += count;
    if (seen >= rank) return value;
  }
  return histogram.back().first;
}

GraphStats graph_stats(const PoolData& pools, const NodeTable& nodes, std::span<const NodeId> outputs) {
  const size_t n = nodes.size();
  GraphStats st;
  st.nodes = n;
  st.edges = 0;

  // Kinds, operator names (by string id: names are interned, equal ids are
  // equal names), stage sizes, edges and consumer counts, in one pass.
  std::vector<uint64_t> name_counts(pools.string_count(), 0);
  std::vector<uint64_t> consumers(n, 0);
  std::vector<uint32_t> stage_sizes;
  for (size_t i = 0; i < n; ++i) {
    const NodeRec& r = nodes.recs[i];
    ++st.kinds[static_cast<unsigned>(r.kind)];
    if (r.kind == NodeKind::Op) ++name_counts[r.payload];
    if (r.kind == NodeKind::Stage) stage_sizes.push_back(pools.member_lists[r.payload].count);
    st.edges += r.input_count;
    for (uint32_t input : nodes.inputs_of(i)) ++consumers[input];
  }

  // The most common names. Counting went by string id; merging by text
  // keeps the figures right even for pools that hold a text twice.
  std::vector<std::pair<std::string_view, uint64_t>> names;
  for (uint32_t id = 0; id < name_counts.size(); ++id) {
    if (name_counts[id] != 0) names.emplace_back(pools.str(id), name_counts[id]);
  }
  std::sort(names.begin(), names.end());
  size_t kept = 0;
  for (size_t k = 0; k < names.size(); ++k) {
    if (kept > 0 && names[kept - 1].first == names[k].first) {
      names[kept - 1].second += names[k].second;
    } else {
      names[kept++] = names[k];
    }
  }
  names.resize(kept);
  st.distinct_ops = names.size();
  const auto by_count = [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  };
  const size_t shown = std::min(kTopOps, names.size());
  std::partial_sort(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(shown), names.end(), by_count);
  for (size_t k = 0; k < shown; ++k) st.top_ops.emplace_back(std::string(names[k].first), names[k].second);

  // Reachability: inputs come before their consumers, so one sweep from the
  // last id down sees every node's mark before it passes the mark on.
  std::vector<uint8_t> seen(n, 0);
  for (NodeId id : outputs) {
    check(id < n, "output mark outside the graph");
    if (seen[id] == 0) ++st.outputs;
    seen[id] = 1;
  }
  for (size_t i = n; i-- > 0;) {
    if (seen[i] == 0) continue;
    ++st.reachable;
    for (uint32_t input : nodes.inputs_of(i)) seen[input] = 1;
  }

  // The longest chain: a node lies one edge below its deepest input.
  std::vector<uint32_t> depth(n, 0);
  for (size_t i = 0; i < n; ++i) {
    uint32_t d = 0;
    for (uint32_t input : nodes.inputs_of(i)) d = std::max(d, depth[input] + 1);
    depth[i] = d;
    st.longest_path = std::max<uint64_t>(st.longest_path, d);
  }

  st.fan_in = spread_of(n, [&](size_t i) { return nodes.recs[i].input_count; });
  st.fan_out = spread_of(n, [&](size_t i) { return consumers[i]; });
  st.stage_members = spread_of(stage_sizes.size(), [&](size_t i) { return stage_sizes[i]; });
  return st;
}

}  // namespace korvane
