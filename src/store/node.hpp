// node.hpp - the vocabulary of the IR graph: ids, kinds, stage refs and
// node-map entries.
//
// A graph is an append-only arena of nodes addressed by dense ids in
// recording order; every input id is smaller than its consumer's id.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

namespace korvane {

/// Index of a node in its store's arena, from 0 in recording order.
using NodeId = uint64_t;

/// The seven node kinds, numbered by the tag the blob format writes.
enum class NodeKind : uint8_t {
  Source = 0,
  Op = 1,
  Reduction = 2,
  External = 3,
  Stage = 4,
  Exchange = 5,
  Join = 6,
};
inline constexpr unsigned kNodeKindCount = 7;

/// The word the node views use for a kind ("source", "op", ...).
std::string_view kind_word(NodeKind kind) noexcept;

/// Whether nodes of this kind carry a name (Source, Op, Reduction).
constexpr bool has_name(NodeKind kind) noexcept {
  return kind == NodeKind::Source || kind == NodeKind::Op || kind == NodeKind::Reduction;
}

/// One operand of a stage member: a position in the stage's inputs, or the
/// position of an earlier member of the same stage.
struct StageRef {
  enum class Kind : uint8_t { Input = 0, Member = 1 };
  Kind kind;
  uint32_t index;

  friend bool operator==(const StageRef&, const StageRef&) = default;
};

/// Where a node of a reduced-from graph landed: absent (dropped as dead), or
/// a node of the reduced store and, for a stage member, its member position.
struct NodeMapEntry {
  static constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
  uint64_t node = kNone;
  uint64_t member = kNone;

  bool present() const noexcept { return node != kNone; }
  bool has_member() const noexcept { return member != kNone; }
  friend bool operator==(const NodeMapEntry&, const NodeMapEntry&) = default;
};

}  // namespace korvane
