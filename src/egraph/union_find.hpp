// union_find.hpp - the disjoint sets behind e-class ids.
//
// One parent entry per id ever issued; an id is a root when it is its own
// parent. `find` only reads, so matchers can share an e-graph; `find_halving`
// shortens paths as it goes and is used by the writing operations.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/internal_error.hpp"
#include "egraph/node.hpp"
#include "common/lookahead.hpp"

namespace korvane::egraph {

/// Union-find over consecutively issued ids. Owns the parent list; entries
/// are never removed, so an issued id stays valid as long as the sets live.
class DisjointSets {
 public:
  /// Issues the next id (the current size) as a new singleton set.
  ClassId make_set() {
    check(parents_.size() < UINT32_MAX, "Too many e-class ids");
    const auto id = static_cast<ClassId>(parents_.size());
    parents_.push_back(id);
    return id;
  }

  /// Number of ids issued so far.
  std::size_t size() const noexcept { return parents_.size(); }

  /// True when `id` was issued.
  bool contains(ClassId id) const noexcept { return id < parents_.size(); }

  /// The root of `id`, without modifying anything.
  ClassId find(ClassId id) const {
    require(id);
    while (parents_[id] != id) id = parents_[id];
    return id;
  }

  /// The root of `id`, or `fallback` for an id never issued.
  ClassId find_or(ClassId id, ClassId fallback) const noexcept {
    if (id >= parents_.size()) return fallback;
    while (parents_[id] != id) id = parents_[id];
    return id;
  }

  /// The root of `id`, pointing every visited entry at its grandparent.
  ClassId find_halving(ClassId id) {
    require(id);
    while (parents_[id] != id) {
      parents_[id] = parents_[parents_[id]];
      id = parents_[id];
    }
    return id;
  }

  /// Hints that `id`'s entry is about to be read.
  void prefetch(ClassId id) const noexcept {
    if (id < parents_.size()) prefetch_line(&parents_[id]);
  }

  /// True when `id` is a root (an issued id that is its own parent).
  bool is_root(ClassId id) const noexcept { return id < parents_.size() && parents_[id] == id; }

  /// Links the root `loser` under the root `winner`.
  void link(ClassId winner, ClassId loser) noexcept { parents_[loser] = winner; }

  void reserve(std::size_t count) { parents_.reserve(count); }

 private:
  void require(ClassId id) const {
    if (id >= parents_.size()) [[unlikely]] {
      throw InternalError("Id " + std::to_string(id) + " was never issued (" + std::to_string(parents_.size()) +
                          " ids exist)");
    }
  }

  std::vector<ClassId> parents_;
};

}  // namespace korvane::egraph
