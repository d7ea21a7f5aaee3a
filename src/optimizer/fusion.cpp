// fusion.cpp - the two grouping rules and the emission order.
#include "optimizer/fusion.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace korvane {

namespace {

/// Consumers of every record, one entry per operand use, ascending.
struct Users {
  std::vector<uint32_t> offsets;
  std::vector<uint32_t> list;

  explicit Users(const TermList& records) : offsets(records.size() + 1, 0) {
    // Positions in `list` are 32-bit.
    if (records.children.size() >= UINT32_MAX) throw std::length_error("graph too large: 2^32 operand uses or more");
    const size_t m = records.size();
    for (size_t r = 0; r < m; ++r) {
      for (uint32_t c : records.children_of(r)) ++offsets[c + 1];
    }
    for (size_t i = 0; i < m; ++i) offsets[i + 1] += offsets[i];
    list.resize(offsets[m]);
    std::vector<uint32_t> next(offsets.begin(), offsets.end() - 1);
    for (size_t r = 0; r < m; ++r) {
      for (uint32_t c : records.children_of(r)) list[next[c]++] = static_cast<uint32_t>(r);
    }
  }
  std::span<const uint32_t> of(size_t r) const { return {list.data() + offsets[r], offsets[r + 1] - offsets[r]}; }
};

// Single-use rule, with a union-find in which the smaller root wins, so a
// group's id is its smallest member.
void group_single_use(const TermList& records, const Users& users, const std::vector<uint8_t>& is_output,
                      std::vector<uint32_t>& group) {
  const size_t m = records.size();
  std::vector<uint32_t>& parent = group;  // the union-find, finally the group table
  auto find = [&parent](uint32_t x) {
    uint32_t root = x;
    while (parent[root] != root) root = parent[root];
    while (parent[x] != root) x = std::exchange(parent[x], root);  // path compression
    return root;
  };
  for (size_t l = 0; l < m; ++l) {
    if (records.boundary[l] || is_output[l]) continue;
    const auto used_by = users.of(l);
    if (used_by.size() != 1 || records.boundary[used_by[0]]) continue;
    const uint32_t a = find(static_cast<uint32_t>(l));
    const uint32_t b = find(used_by[0]);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  }
  for (size_t r = 0; r < m; ++r) group[r] = records.boundary[r] ? static_cast<uint32_t>(r) : find(static_cast<uint32_t>(r));
}

// Fan-out rule: consumers are decided first, so a group's id is its sink.
void group_fan_out(const TermList& records, const Users& users, const std::vector<uint8_t>& is_output,
                   std::vector<uint32_t>& group) {
  for (size_t k = records.size(); k-- > 0;) {
    if (records.boundary[k] || is_output[k]) continue;
    const auto used_by = users.of(k);
    if (used_by.empty()) continue;
    const uint32_t g = group[used_by[0]];
    bool fuse = true;
    for (uint32_t u : used_by) {
      if (records.boundary[u] || group[u] != g) {
        fuse = false;
        break;
      }
    }
    if (fuse) group[k] = g;
  }
}

}  // namespace

FusionPlan plan_fusion(const TermList& records, std::span<const uint32_t> roots, bool maximal) {
  const size_t m = records.size();
  FusionPlan plan;
  std::vector<uint8_t> is_output(m, 0);
  for (uint32_t r : roots) is_output[r] = 1;
  plan.group.resize(m);
  for (size_t r = 0; r < m; ++r) plan.group[r] = static_cast<uint32_t>(r);
  {
    const Users users(records);
    if (maximal) {
      group_fan_out(records, users, is_output, plan.group);
    } else {
      group_single_use(records, users, is_output, plan.group);
    }
  }

  // Members per group, ascending; the sink of a group is its last member.
  plan.member_offsets.assign(m + 1, 0);
  for (uint32_t g : plan.group) ++plan.member_offsets[g + 1];
  for (size_t i = 0; i < m; ++i) plan.member_offsets[i + 1] += plan.member_offsets[i];
  plan.members.resize(m);
  std::vector<uint32_t> next(plan.member_offsets.begin(), plan.member_offsets.end() - 1);
  for (size_t r = 0; r < m; ++r) plan.members[next[plan.group[r]]++] = static_cast<uint32_t>(r);

  // Emission order: groups by ascending sink. Walking the records upwards
  // meets every sink once, in that order.
  for (size_t r = 0; r < m; ++r) {
    const uint32_t g = plan.group[r];
    if (plan.members[plan.member_offsets[g + 1] - 1] == r) plan.order.push_back(g);
  }
  return plan;
}

}  // namespace korvane
