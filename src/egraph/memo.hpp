// memo.hpp - the hash-cons table of an e-graph: node -> class id.
//
// Two kinds of keys: the node added under each id (stored at that id, so
// parent and repair entries need only the id to reach their node), and the
// re-canonicalised nodes that rebuild inserts. The hash index stores 8-byte
// (reference, hash) pairs and never reads a key again when it grows.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "common/internal_error.hpp"
#include "egraph/chunked_vector.hpp"
#include "egraph/node.hpp"

namespace korvane::egraph {

/// Map from node to class id. Owns its keys; entries are never removed, a key
/// never changes, a value may be overwritten. An entry is named by a Ref: the
/// id its node was added under, or an extra key's index with kExtra set. Not
/// movable: the index refers back to the memo (hold it behind a pointer).
class Memo {
 public:
  using Ref = std::uint32_t;
  static constexpr Ref kExtra = 0x80000000u;

  Memo() : index_(0, EntryHash{}, EntryEq{this}) {}
  Memo(const Memo&) = delete;
  Memo& operator=(const Memo&) = delete;

  /// Number of entries.
  std::size_t size() const noexcept { return added_.size() + extra_keys_.size(); }
  /// Number of entries added under ids (ids 0 to this minus one).
  std::size_t added_count() const noexcept { return added_.size(); }

  /// The entry for `key`, if present.
  std::optional<Ref> find(const SymbolLang& key) const {
    auto found = index_.find(key);
    if (found == index_.end()) return std::nullopt;
    return found->ref;
  }

  /// Records `key` as the node added under `id` (the next id, equal to
  /// added_count()) with value `id`. False, and nothing changed, when the key
  /// is already present.
  bool insert_added(ClassId id, SymbolLang key) {
    const std::uint32_t hash = short_hash(key);
    added_.push_back(std::move(key));
    if (!index_.insert(Entry{id, hash}).second) {
      added_.pop_back();
      return false;
    }
    added_values_.push_back(id);
    return true;
  }

  /// Adds an extra `key` with `value`; false, and nothing changed, when the
  /// key is already present.
  bool insert_extra(SymbolLang key, ClassId value) {
    const auto index = static_cast<std::uint32_t>(extra_keys_.size());
    check(index < kExtra, "Too many memo entries");
    const std::uint32_t hash = short_hash(key);
    extra_keys_.push_back(std::move(key));
    if (!index_.insert(Entry{index | kExtra, hash}).second) {
      extra_keys_.pop_back();
      return false;
    }
    extra_values_.push_back(value);
    return true;
  }

  const SymbolLang& key(Ref ref) const noexcept {
    return (ref & kExtra) ? extra_keys_[ref & ~kExtra] : added_[ref];
  }
  ClassId value(Ref ref) const noexcept { return (ref & kExtra) ? extra_values_[ref & ~kExtra] : added_values_[ref]; }
  void set_value(Ref ref, ClassId value) noexcept {
    if (ref & kExtra) {
      extra_values_[ref & ~kExtra] = value;
    } else {
      added_values_[ref] = value;
    }
  }

  /// The entry at position `slot` of the order: added nodes by id, then
  /// extra keys in insertion order.
  Ref ref_at(std::size_t slot) const noexcept {
    return slot < added_.size() ? static_cast<Ref>(slot) : static_cast<Ref>(slot - added_.size()) | kExtra;
  }

  void reserve(std::size_t count) {
    added_.reserve(count);
    added_values_.reserve(count);
    index_.reserve(count);
  }

 private:
  /// An entry's reference and the high half of its hash (better mixed than
  /// the low half); the hash is kept so that growing the index never reads
  /// keys.
  struct Entry {
    Ref ref;
    std::uint32_t hash;
  };

  static std::uint32_t short_hash(const SymbolLang& key) noexcept {
    return static_cast<std::uint32_t>(hash_node(key) >> 32);
  }

  struct EntryHash {
    using is_transparent = void;
    std::size_t operator()(const Entry& entry) const noexcept { return entry.hash; }
    std::size_t operator()(const SymbolLang& key) const noexcept { return short_hash(key); }
  };

  struct EntryEq {
    using is_transparent = void;
    const Memo* memo;
    bool operator()(const Entry& a, const Entry& b) const noexcept {
      return a.ref == b.ref || (a.hash == b.hash && memo->key(a.ref) == memo->key(b.ref));
    }
    bool operator()(const SymbolLang& key, const Entry& entry) const noexcept { return memo->key(entry.ref) == key; }
    bool operator()(const Entry& entry, const SymbolLang& key) const noexcept { return memo->key(entry.ref) == key; }
  };

  /// Chunked: keys never move, and growing never copies them.
  ChunkedVector<SymbolLang> added_;
  std::vector<ClassId> added_values_;
  ChunkedVector<SymbolLang> extra_keys_;
  std::vector<ClassId> extra_values_;
  boost::unordered_flat_set<Entry, EntryHash, EntryEq> index_;
};

}  // namespace korvane::egraph
