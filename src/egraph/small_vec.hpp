// small_vec.hpp - the layout of a list that keeps its first few elements
// inside itself.
//
// SmallVecStorage holds up to N elements in the object and one block
// pointer beyond that, with 32-bit size and capacity, so the per-class
// lists of the e-graph stay compact: a list of two ClassIds is 16 bytes.
// The lists that take their blocks from a pool (block_pool.hpp) build on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

namespace korvane::egraph {

/// Up to N elements inside the object, more in one block that a derived
/// list allocates and frees. Owns the elements (a derived list destroys
/// them); pointers into it are invalidated by growth, as with std::vector.
template <class T, std::uint32_t N>
class SmallVecStorage {
  static_assert(N >= 1, "a small vector keeps at least one element inline");

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  std::uint32_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::uint32_t capacity() const noexcept { return capacity_; }

  T* data() noexcept { return on_heap() ? heap_ : inline_data(); }
  const T* data() const noexcept { return on_heap() ? heap_ : inline_data(); }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size_; }
  T& operator[](std::size_t i) noexcept { return data()[i]; }
  const T& operator[](std::size_t i) const noexcept { return data()[i]; }
  T& back() noexcept { return data()[size_ - 1]; }
  const T& back() const noexcept { return data()[size_ - 1]; }
  std::span<const T> span() const noexcept { return {data(), size_}; }

  /// Drops the elements from position `count` on; a no-op when count >= size.
  void truncate(std::uint32_t count) noexcept {
    if (count >= size_) return;
    std::destroy(data() + count, data() + size_);
    size_ = count;
  }
  void pop_back() noexcept { truncate(size_ - 1); }
  /// Drops every element, keeping the storage.
  void clear() noexcept { truncate(0); }

 protected:
  SmallVecStorage() noexcept {}
  ~SmallVecStorage() = default;
  SmallVecStorage(const SmallVecStorage&) = delete;
  SmallVecStorage& operator=(const SmallVecStorage&) = delete;

  bool on_heap() const noexcept { return capacity_ > N; }
  T* heap_block() const noexcept { return heap_; }

  /// Moves the elements into `block`, which holds `capacity` of them, and
  /// returns the block they left (null if they were inline); the caller
  /// frees it, knowing its capacity from before.
  T* move_to(T* block, std::uint32_t capacity) noexcept {
    T* old = data();
    std::uninitialized_move(old, old + size_, block);
    std::destroy(old, old + size_);
    T* left = on_heap() ? heap_ : nullptr;
    heap_ = block;
    capacity_ = capacity;
    return left;
  }

  /// Back to no elements and inline storage; the caller destroyed the
  /// elements and freed the block.
  void forget() noexcept {
    size_ = 0;
    capacity_ = N;
  }

  /// Takes the elements of `other`, leaving it empty with inline storage.
  /// Expects this list to hold no elements and no block.
  void take(SmallVecStorage& other) noexcept {
    size_ = other.size_;
    capacity_ = other.capacity_;
    if (other.on_heap()) {
      heap_ = other.heap_;
    } else {
      std::uninitialized_move(other.begin(), other.end(), inline_data());
      std::destroy(other.begin(), other.end());
    }
    other.forget();
  }

  /// Appends the moved elements of `other` behind room made by the caller.
  void append_moved_into_room(SmallVecStorage& other) noexcept {
    std::uninitialized_move(other.begin(), other.end(), data() + size_);
    size_ += other.size_;
  }

  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = N;

 private:
  T* inline_data() noexcept { return std::launder(reinterpret_cast<T*>(inline_)); }
  const T* inline_data() const noexcept { return std::launder(reinterpret_cast<const T*>(inline_)); }

  union {
    alignas(T) unsigned char inline_[sizeof(T) * N];
    T* heap_;
  };
};

}  // namespace korvane::egraph
