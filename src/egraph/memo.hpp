// memo.hpp - the hash-cons table of an e-graph: node -> class id.
//
// An `OpenTable` of 16-byte slots that hold a node of up to two children
// whole, with its value: a lookup reads one cache line and no key storage.
// Longer nodes sit in the slot as a reference to their stored key. The node
// added under each id is also kept by id, for parent and repair entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "common/internal_error.hpp"
#include "common/open_table.hpp"
#include "egraph/chunked_vector.hpp"
#include "egraph/node.hpp"

namespace korvane::egraph {

/// Map from node to class id. Owns its keys; entries are never removed, a key
/// never changes, a value may be overwritten. Movable, not copyable.
///
/// Not a library table because the e-graph's hot loops know their next
/// lookups and boost's flat tables give no way to hint a probe ahead:
/// reduce of 1M traced nodes (bench/reduce.py) takes 1.17-1.33x as long
/// with boost::unordered_flat_map holding the node inline.
class Memo {
 public:
  /// One table slot. A node with at most two children is stored whole: `a`
  /// and `b` are its children, kNone where it has fewer. A longer node has
  /// `a` = kNone and `b` = the reference of its stored key (never kNone).
  /// `value` is kNone in a free slot.
  struct Slot {
    std::uint32_t op;
    std::uint32_t a;
    std::uint32_t b;
    ClassId value;

    static Slot free() noexcept { return Slot{0, 0, 0, UINT32_MAX}; }
    bool is_free() const noexcept { return value == UINT32_MAX; }
  };
  static constexpr std::uint32_t kNone = UINT32_MAX;

  /// Number of entries.
  std::size_t size() const noexcept { return table_.size(); }

  /// The hash that places `key`.
  static std::uint64_t hash(const SymbolLang& key) noexcept { return hash_node(key); }

  /// Hints that `key`, hashing to `hash`, is about to be looked up.
  void prefetch(std::uint64_t hash) const noexcept { table_.prefetch(hash); }

  /// The value of `key`'s entry, or nullptr. The pointer stays valid until
  /// the next insertion.
  const ClassId* find(const SymbolLang& key, std::uint64_t hash) const noexcept {
    if (table_.capacity() == 0) return nullptr;
    Slot* slot = probe(key, hash);
    return slot->value == kNone ? nullptr : &slot->value;
  }

  /// The entry of `key`, inserted with `value` if absent (a longer key is
  /// then stored as an extra key). Returns the entry's value and whether it
  /// was inserted; the reference stays valid until the next insertion.
  std::pair<ClassId&, bool> find_or_insert(const SymbolLang& key, std::uint64_t hash, ClassId value) {
    make_room();
    Slot* slot = probe(key, hash);
    if (slot->value != kNone) return {slot->value, false};
    fill(*slot, key, value, is_long(key) ? store_extra(key) : kNone);
    table_.occupied();
    return {slot->value, true};
  }

  /// The value of `key`'s entry if present. Otherwise records `key` as the
  /// node added under the next id (the number of nodes added so far), with
  /// that id as its value, and returns the id; `inserted` tells which.
  std::pair<ClassId, bool> find_or_add(SymbolLang&& key, std::uint64_t hash) {
    make_room();
    Slot* slot = probe(key, hash);
    if (slot->value != kNone) return {slot->value, false};
    const auto id = static_cast<ClassId>(added_.size());
    check(id < kNone, "Too many e-class ids");
    check(id < kExtra || !is_long(key), "Too many memo entries");
    const SymbolLang& stored = added_.emplace_back(std::move(key));
    fill(*slot, stored, id, id);
    table_.occupied();
    return {id, true};
  }

  /// The node added under `id`.
  const SymbolLang& key(ClassId id) const noexcept { return added_[id]; }

  /// Calls `visit(key, value)` for every entry, in table order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    SymbolLang node;
    table_.for_each([&](const Slot& slot) {
      if (slot.a == kNone && slot.b != kNone) {
        visit(stored(slot.b), slot.value);
        return;
      }
      node.op = Symbol(slot.op);
      node.children = Children();
      if (slot.a != kNone) node.children.push_back(slot.a);
      if (slot.b != kNone) node.children.push_back(slot.b);
      visit(std::as_const(node), slot.value);
    });
  }

  /// Makes room for `count` entries in all.
  void reserve(std::size_t count) {
    table_.reserve(count, [this](const Slot& slot) { return slot_hash(slot); });
  }

 private:
  /// Marks a reference to an extra key (inserted by rebuild) rather than a
  /// node added under an id.
  static constexpr std::uint32_t kExtra = 0x80000000u;

  const SymbolLang& stored(std::uint32_t ref) const noexcept {
    return (ref & kExtra) ? extra_keys_[ref & ~kExtra] : added_[ref];
  }

  /// The slot holding `key`, or the free slot where it belongs.
  Slot* probe(const SymbolLang& key, std::uint64_t hash) const noexcept {
    const std::uint32_t op = key.op.raw();
    const std::uint32_t size = key.children.size();
    if (size <= 2) {
      const std::uint32_t a = size > 0 ? key.children[0] : kNone;
      const std::uint32_t b = size > 1 ? key.children[1] : kNone;
      return table_.probe(hash, [&](const Slot& slot) { return slot.op == op && slot.a == a && slot.b == b; });
    }
    return table_.probe(hash, [&](const Slot& slot) {
      return slot.op == op && slot.a == kNone && slot.b != kNone && stored(slot.b) == key;
    });
  }

  static bool is_long(const SymbolLang& key) noexcept { return key.children.size() > 2; }

  /// Writes `key` with `value` into a free slot; `ref` names the stored
  /// key when the key is long.
  static void fill(Slot& slot, const SymbolLang& key, ClassId value, std::uint32_t ref) noexcept {
    const std::uint32_t size = key.children.size();
    slot.op = key.op.raw();
    if (size <= 2) {
      slot.a = size > 0 ? key.children[0] : kNone;
      slot.b = size > 1 ? key.children[1] : kNone;
    } else {
      slot.a = kNone;
      slot.b = ref;
    }
    slot.value = value;
  }

  std::uint32_t store_extra(const SymbolLang& key) {
    const auto index = static_cast<std::uint32_t>(extra_keys_.size());
    check(index < kExtra, "Too many memo entries");
    extra_keys_.push_back(key);
    return index | kExtra;
  }

  /// The hash of the node in an occupied slot.
  std::uint64_t slot_hash(const Slot& slot) const noexcept {
    if (slot.a == kNone && slot.b != kNone) return hash_node(stored(slot.b));
    const ClassId children[2] = {slot.a, slot.b};
    const std::size_t size = slot.a == kNone ? 0 : slot.b == kNone ? 1 : 2;
    return hash_node(Symbol(slot.op), {children, size});
  }

  void make_room() { reserve(table_.size() + 1); }

  OpenTable<Slot> table_;
  /// Chunked: keys never move, and growing never copies them.
  ChunkedVector<SymbolLang> added_;
  /// Keys of more than two children that rebuild inserted.
  ChunkedVector<SymbolLang> extra_keys_;
};

}  // namespace korvane::egraph
