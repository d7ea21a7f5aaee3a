// fusion.hpp - grouping of operator records into stages.
//
// Every operator record joins a group; each group becomes one Stage whose
// members are its records in ascending order and whose value is its last
// member (the sink). Boundary records stay alone. Two rules decide the
// groups: by default an operator fuses into its one consumer (single-use
// rule); in maximal mode an operator fuses when all its consumers are
// operators already in one group (fan-out rule). Outputs never fuse into a
// consumer.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "optimizer/terms.hpp"

namespace korvane {

/// The groups of a list of canonical records and the order to emit them in.
struct FusionPlan {
  /// Per record, its group id: the index of one of its members (the
  /// smallest by default, the sink in maximal mode).
  std::vector<uint32_t> group;
  /// Group ids ordered by their sinks; every group reads only groups
  /// emitted before it.
  std::vector<uint32_t> order;
  /// Members of each group, ascending: members[member_offsets[g] ..
  /// member_offsets[g+1]) for the group with id g (empty for other ids).
  std::vector<uint32_t> member_offsets;
  std::vector<uint32_t> members;

  std::span<const uint32_t> members_of(uint32_t g) const {
    return {members.data() + member_offsets[g], member_offsets[g + 1] - member_offsets[g]};
  }
};

/// Groups `records` (children before parents) whose requested outputs are
/// `roots`, by the single-use rule or, with `maximal`, the fan-out rule.
FusionPlan plan_fusion(const TermList& records, std::span<const uint32_t> roots, bool maximal);

}  // namespace korvane
