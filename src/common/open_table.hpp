// open_table.hpp - the one open-addressing table behind every hash-consing
// index: the store's node index, the optimizer's canonical records and the
// e-graph's memo.
//
// A power-of-two array of slots, linear probing, at most 3/4 full, placed by
// the top bits of a 64-bit hash, on 64-byte aligned memory so that a slot
// never straddles two lines. The caller chooses the slot: whatever lets a
// lookup reject most candidates without leaving the slot (an id with 32 bits
// of its content's hash, or a short node held whole). A caller that knows
// its next keys hints their home lines with `prefetch`, which library flat
// tables give no way to do (see the figures in memo.hpp and
// hashed_id_set.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "common/lookahead.hpp"

namespace korvane {

/// Slots of type `Slot`, which has a static `free()` value and `is_free()`.
/// Owns the array; entries are never removed. Movable, not copyable.
template <class Slot>
class OpenTable {
 public:
  OpenTable() = default;
  OpenTable(OpenTable&& other) noexcept { swap(other); }
  OpenTable& operator=(OpenTable&& other) noexcept {
    if (this != &other) {
      OpenTable gone(std::move(other));
      swap(gone);
    }
    return *this;
  }
  OpenTable(const OpenTable&) = delete;
  OpenTable& operator=(const OpenTable&) = delete;
  ~OpenTable() { release(); }

  std::size_t size() const noexcept { return count_; }
  std::size_t capacity() const noexcept { return slots_ == nullptr ? 0 : std::size_t{1} << bits_; }
  bool empty() const noexcept { return count_ == 0; }

  /// Hints the line where a lookup of `hash` starts.
  void prefetch(std::uint64_t hash) const noexcept {
    if (slots_ != nullptr) prefetch_line(&slots_[home(hash)]);
  }

  /// The slot for which `holds(slot)` is true, or else the free slot where
  /// such an entry belongs. The table must have a slot (see `reserve`).
  template <class Holds>
  Slot* probe(std::uint64_t hash, Holds&& holds) const noexcept {
    const std::size_t mask = capacity() - 1;
    for (std::size_t pos = home(hash);; pos = (pos + 1) & mask) {
      Slot* slot = &slots_[pos];
      if (slot->is_free() || holds(*slot)) return slot;
    }
  }

  /// Counts the entry just written into a free slot that `probe` returned.
  void occupied() noexcept { ++count_; }

  /// Makes room for `count` entries in all; `hash_of(slot)` gives the hash
  /// of an entry when the table grows and moves them.
  template <class HashOf>
  void reserve(std::size_t count, HashOf&& hash_of) {
    if (count > max_load(capacity())) rehash(bits_for(count), hash_of);
  }

  /// Calls `visit(slot)` for every entry, in table order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t pos = 0; pos < capacity(); ++pos) {
      if (!slots_[pos].is_free()) visit(std::as_const(slots_[pos]));
    }
  }

 private:
  static constexpr unsigned kMinBits = 4;
  static constexpr std::align_val_t kAlign{64};

  /// Up to 3/4 full: the load at which a miss still scans about one line.
  static std::size_t max_load(std::size_t capacity) noexcept { return capacity / 4 * 3; }
  static unsigned bits_for(std::size_t count) noexcept {
    unsigned bits = kMinBits;
    while (max_load(std::size_t{1} << bits) < count) ++bits;
    return bits;
  }
  /// The hash's top bits: the multiply that ends each hash mixes them best.
  std::size_t home(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash >> (64 - bits_)); }

  template <class HashOf>
  void rehash(unsigned bits, HashOf& hash_of) {
    Slot* old = slots_;
    const std::size_t old_capacity = capacity();
    const std::size_t new_capacity = std::size_t{1} << bits;
    slots_ = static_cast<Slot*>(::operator new(new_capacity * sizeof(Slot), kAlign));
    bits_ = bits;
    for (std::size_t pos = 0; pos < new_capacity; ++pos) new (&slots_[pos]) Slot(Slot::free());
    const std::size_t mask = new_capacity - 1;
    for (std::size_t k = 0; k < old_capacity; ++k) {
      if (old[k].is_free()) continue;
      std::size_t pos = home(hash_of(std::as_const(old[k])));
      while (!slots_[pos].is_free()) pos = (pos + 1) & mask;
      slots_[pos] = old[k];
    }
    if (old != nullptr) ::operator delete(old, kAlign);
  }

  void release() noexcept {
    if (slots_ != nullptr) ::operator delete(slots_, kAlign);
    slots_ = nullptr;
  }

  void swap(OpenTable& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(bits_, other.bits_);
    std::swap(count_, other.count_);
  }

  Slot* slots_ = nullptr;
  unsigned bits_ = kMinBits;
  std::size_t count_ = 0;
};

}  // namespace korvane
