// graph.hpp - the node arena: compact node records over shared pools.
//
// A NodeTable holds one 24-byte record per node; up to two input ids live in
// the record itself, longer input lists in one flat array, so no node owns
// a heap block and most nodes are read in one cache line. A Graph pairs a
// table with the
// pools its records refer to; it is the self-contained copy that readers
// (blob writer, views, optimizer) work on.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "store/node.hpp"
#include "store/pools.hpp"

namespace korvane {

/// One node. `payload` is the name's string id (Source, Op, Reduction), the
/// descriptor id (External), the member list id (Stage), or 0; `params` is a
/// parameter map id (0 for a Stage). Inputs: up to kInlineInputs of them in
/// `inline_inputs`, otherwise at `first_input` in the table's array.
struct NodeRec {
  static constexpr uint32_t kInlineInputs = 2;
  union {
    uint64_t first_input;
    uint32_t inline_inputs[kInlineInputs];
  };
  uint32_t input_count;
  uint32_t payload;
  uint32_t params;
  NodeKind kind;
};

/// Node records and the inputs of nodes with more than two. Input ids are
/// 32-bit: a store holds fewer than 2^32 nodes.
struct NodeTable {
  std::vector<NodeRec> recs;
  std::vector<uint32_t> inputs;

  size_t size() const { return recs.size(); }
  /// The inputs of node i; valid until the table grows.
  std::span<const uint32_t> inputs_of(size_t i) const {
    const NodeRec& r = recs[i];
    if (r.input_count <= NodeRec::kInlineInputs) return {r.inline_inputs, r.input_count};
    return {inputs.data() + r.first_input, r.input_count};
  }
  /// Appends a node; returns its position.
  uint32_t append(NodeKind kind, uint32_t payload, uint32_t params, std::span<const uint32_t> in);
  /// The records from position `from` on, with their own inputs array.
  NodeTable slice(size_t from) const;
};

/// Largest number of nodes a table holds.
inline constexpr uint64_t kMaxNodes = UINT32_MAX - 1;

/// A table and the pools its records refer to. Copyable and independent of
/// any store.
struct Graph {
  PoolData pools;
  NodeTable nodes;

  size_t size() const { return nodes.size(); }
  NodeKind kind(size_t i) const { return nodes.recs[i].kind; }
  std::span<const uint32_t> inputs(size_t i) const { return nodes.inputs_of(i); }
  std::string_view name(size_t i) const {
    return has_name(kind(i)) ? pools.str(nodes.recs[i].payload) : std::string_view();
  }
  std::span<const ParamSlot> params(size_t i) const { return pools.params(nodes.recs[i].params); }
  std::span<const MemberRec> members(size_t i) const { return pools.member_list(nodes.recs[i].payload); }
};

}  // namespace korvane
