// memo.hpp - the hash-cons table of an e-graph: node -> class id.
//
// Open addressing over 16-byte slots that hold a node of up to two children
// whole, with its value: a lookup reads one cache line and no key storage.
// Longer nodes sit in the slot as a reference to their stored key. The node
// added under each id is also kept by id, for parent and repair entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "common/internal_error.hpp"
#include "egraph/chunked_vector.hpp"
#include "egraph/node.hpp"
#include "common/lookahead.hpp"

namespace korvane::egraph {

/// Map from node to class id. Owns its keys; entries are never removed, a key
/// never changes, a value may be overwritten. Movable, not copyable.
///
/// A table of its own because the e-graph's hot loops know their next
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
  };
  static constexpr std::uint32_t kNone = UINT32_MAX;

  Memo() = default;
  Memo(Memo&& other) noexcept { swap(other); }
  Memo& operator=(Memo&& other) noexcept {
    if (this != &other) {
      Memo gone(std::move(other));
      swap(gone);
    }
    return *this;
  }
  Memo(const Memo&) = delete;
  Memo& operator=(const Memo&) = delete;
  ~Memo() { release(); }

  /// Number of entries.
  std::size_t size() const noexcept { return count_; }

  /// The hash that places `key`.
  static std::uint64_t hash(const SymbolLang& key) noexcept { return hash_node(key); }

  /// Hints that `key`, hashing to `hash`, is about to be looked up.
  void prefetch(std::uint64_t hash) const noexcept {
    if (slots_ != nullptr) prefetch_line(&slots_[position(hash)]);
  }

  /// The value of `key`'s entry, or nullptr. The pointer stays valid until
  /// the next insertion.
  const ClassId* find(const SymbolLang& key, std::uint64_t hash) const noexcept {
    if (slots_ == nullptr) return nullptr;
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
    ++count_;
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
    ++count_;
    return {id, true};
  }

  /// The node added under `id`.
  const SymbolLang& key(ClassId id) const noexcept { return added_[id]; }

  /// Calls `visit(key, value)` for every entry, in table order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    SymbolLang node;
    for (std::size_t pos = 0; pos < capacity(); ++pos) {
      const Slot& slot = slots_[pos];
      if (slot.value == kNone) continue;
      if (slot.a == kNone && slot.b != kNone) {
        visit(stored(slot.b), slot.value);
        continue;
      }
      node.op = Symbol(slot.op);
      node.children = Children();
      if (slot.a != kNone) node.children.push_back(slot.a);
      if (slot.b != kNone) node.children.push_back(slot.b);
      visit(std::as_const(node), slot.value);
    }
  }

  /// Makes room for `count` entries in all.
  void reserve(std::size_t count) {
    if (count > max_load(capacity())) rehash(capacity_for(count));
  }

 private:
  /// Marks a reference to an extra key (inserted by rebuild) rather than a
  /// node added under an id.
  static constexpr std::uint32_t kExtra = 0x80000000u;
  static constexpr unsigned kMinBits = 4;

  std::size_t capacity() const noexcept { return slots_ == nullptr ? 0 : std::size_t{1} << bits_; }
  /// Up to 3/4 full: the load at which a miss still scans about one line.
  static std::size_t max_load(std::size_t capacity) noexcept { return capacity / 4 * 3; }
  static unsigned capacity_for(std::size_t count) noexcept {
    unsigned bits = kMinBits;
    while (max_load(std::size_t{1} << bits) < count) ++bits;
    return bits;
  }
  /// The hash's top bits: the multiply that ends it mixes them best.
  std::size_t position(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash >> (64 - bits_)); }

  const SymbolLang& stored(std::uint32_t ref) const noexcept {
    return (ref & kExtra) ? extra_keys_[ref & ~kExtra] : added_[ref];
  }

  /// The slot holding `key`, or the free slot where it belongs.
  Slot* probe(const SymbolLang& key, std::uint64_t hash) const noexcept {
    const std::size_t mask = capacity() - 1;
    const std::uint32_t op = key.op.raw();
    const std::uint32_t size = key.children.size();
    std::size_t pos = position(hash);
    if (size <= 2) {
      const std::uint32_t a = size > 0 ? key.children[0] : kNone;
      const std::uint32_t b = size > 1 ? key.children[1] : kNone;
      for (;; pos = (pos + 1) & mask) {
        Slot* slot = &slots_[pos];
        if (slot->value == kNone || (slot->op == op && slot->a == a && slot->b == b)) return slot;
      }
    }
    for (;; pos = (pos + 1) & mask) {
      Slot* slot = &slots_[pos];
      if (slot->value == kNone) return slot;
      if (slot->op == op && slot->a == kNone && slot->b != kNone && stored(slot->b) == key) return slot;
    }
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

  void make_room() {
    if (count_ + 1 > max_load(capacity())) rehash(capacity_for(count_ + 1));
  }

  void rehash(unsigned bits) {
    Slot* old = slots_;
    const std::size_t old_capacity = capacity();
    const std::size_t new_capacity = std::size_t{1} << bits;
    slots_ = static_cast<Slot*>(::operator new(new_capacity * sizeof(Slot), std::align_val_t{64}));
    bits_ = bits;
    for (std::size_t pos = 0; pos < new_capacity; ++pos) slots_[pos].value = kNone;
    const std::size_t mask = new_capacity - 1;
    for (std::size_t k = 0; k < old_capacity; ++k) {
      if (old[k].value == kNone) continue;
      std::size_t pos = position(slot_hash(old[k]));
      while (slots_[pos].value != kNone) pos = (pos + 1) & mask;
      slots_[pos] = old[k];
    }
    if (old != nullptr) ::operator delete(old, std::align_val_t{64});
  }

  void release() noexcept {
    if (slots_ != nullptr) ::operator delete(slots_, std::align_val_t{64});
    slots_ = nullptr;
  }

  void swap(Memo& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(bits_, other.bits_);
    std::swap(count_, other.count_);
    std::swap(added_, other.added_);
    std::swap(extra_keys_, other.extra_keys_);
  }

  Slot* slots_ = nullptr;
  unsigned bits_ = kMinBits;
  std::size_t count_ = 0;
  /// Chunked: keys never move, and growing never copies them.
  ChunkedVector<SymbolLang> added_;
  /// Keys of more than two children that rebuild inserted.
  ChunkedVector<SymbolLang> extra_keys_;
};

}  // namespace korvane::egraph
