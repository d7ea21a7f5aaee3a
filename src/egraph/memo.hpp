// memo.hpp - the hash-cons table of an e-graph: node -> class id.
//
// Keys live in an append-only arena in insertion order, next to their
// values; the hash index stores only (arena position, hash) pairs, 8 bytes
// each, and never has to look at a key again when it grows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "egraph/node.hpp"

namespace korvane::egraph {

/// Map from node to class id with stable positions ("slots"). Owns its keys;
/// entries are never removed, a key never changes, a value may be
/// overwritten. Not movable: the index refers to the key arena by address
/// (hold it behind a pointer).
class Memo {
 public:
  Memo() : index_(0, EntryHash{}, EntryEq{&keys_}) {}
  Memo(const Memo&) = delete;
  Memo& operator=(const Memo&) = delete;

  /// Number of entries.
  std::size_t size() const noexcept { return keys_.size(); }

  /// The slot of `key`, if present.
  std::optional<std::uint32_t> find(const SymbolLang& key) const {
    auto found = index_.find(key);
    if (found == index_.end()) return std::nullopt;
    return found->slot;
  }

  /// Adds `key` with `value`; returns its slot, or nothing when the key was
  /// already present (the table is then unchanged).
  std::optional<std::uint32_t> insert_new(SymbolLang key, ClassId value) {
    const auto slot = static_cast<std::uint32_t>(keys_.size());
    const std::uint32_t hash = short_hash(key);
    keys_.push_back(std::move(key));
    if (!index_.insert(Entry{slot, hash}).second) {
      keys_.pop_back();
      return std::nullopt;
    }
    values_.push_back(value);
    return slot;
  }

  const SymbolLang& key(std::uint32_t slot) const noexcept { return keys_[slot]; }
  ClassId value(std::uint32_t slot) const noexcept { return values_[slot]; }
  void set_value(std::uint32_t slot, ClassId value) noexcept { values_[slot] = value; }

  /// Every key and value, in insertion order (parallel spans).
  std::span<const SymbolLang> keys() const noexcept { return keys_; }
  std::span<const ClassId> values() const noexcept { return values_; }

  void reserve(std::size_t count) {
    keys_.reserve(count);
    values_.reserve(count);
    index_.reserve(count);
  }

 private:
  /// A key's slot and the high half of its hash (better mixed than the low
  /// half); the hash is kept so that growing the index never reads keys.
  struct Entry {
    std::uint32_t slot;
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
    const std::vector<SymbolLang>* keys;
    bool operator()(const Entry& a, const Entry& b) const noexcept {
      return a.slot == b.slot || (a.hash == b.hash && (*keys)[a.slot] == (*keys)[b.slot]);
    }
    bool operator()(const SymbolLang& key, const Entry& entry) const noexcept { return (*keys)[entry.slot] == key; }
    bool operator()(const Entry& entry, const SymbolLang& key) const noexcept { return (*keys)[entry.slot] == key; }
  };

  std::vector<SymbolLang> keys_;
  std::vector<ClassId> values_;
  boost::unordered_flat_set<Entry, EntryHash, EntryEq> index_;
};

}  // namespace korvane::egraph
