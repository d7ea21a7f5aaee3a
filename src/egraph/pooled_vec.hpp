// pooled_vec.hpp - the e-graph's per-class lists: a few elements inline,
// the rest in one block of the e-graph's BlockPool.
//
// Kept over boost::container::small_vector: with it, on the general heap,
// reduce of 1M traced nodes (bench/reduce.py) took 1.09x as long (1.14x with
// a std::pmr::unsynchronized_pool_resource), its class records being 80 and
// 96 bytes against 48 here (32-bit size and capacity, no allocator pointer).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>

#include "common/internal_error.hpp"
#include "egraph/block_pool.hpp"

namespace korvane::egraph {

/// A list keeping its first N elements inside itself and the rest in one
/// block of a BlockPool. Operations that may allocate or free take the
/// pool, which must be the same for the list's whole life and outlive it.
/// Destroying the list destroys its elements; its block goes back only
/// with the pool (or, if larger than the pool's blocks, right away).
/// Pointers into it are invalidated by growth, as with std::vector.
template <class T, std::uint32_t N>
class PooledVec {
  static_assert(N >= 1, "a pooled list keeps at least one element inline");
  static_assert(alignof(T) <= BlockPool::kSmallest);

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  PooledVec() noexcept {}
  PooledVec(PooledVec&& other) noexcept { take(other); }
  PooledVec& operator=(PooledVec&&) = delete;
  PooledVec(const PooledVec&) = delete;
  PooledVec& operator=(const PooledVec&) = delete;
  ~PooledVec() { release(); }

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

  /// Appends a copy of `item`, which must not be an element of this list.
  void push_back(BlockPool& pool, const T& item) {
    if (size_ == capacity_) [[unlikely]] grow(pool, capacity_ * 2);
    std::construct_at(data() + size_, item);
    ++size_;
  }

  /// Moves every element of `other` to the end of this list; `other` ends
  /// up empty with its block given back.
  void append_moved(BlockPool& pool, PooledVec& other) {
    if (std::size_t{size_} + other.size_ > capacity_) {
      check(std::size_t{size_} + other.size_ <= UINT32_MAX / 2, "PooledVec capacity exceeds 32 bits");
      grow(pool, std::max(capacity_ * 2, size_ + other.size_));
    }
    std::uninitialized_move(other.begin(), other.end(), data() + size_);
    size_ += other.size_;
    other.reset(pool);
  }

  /// Drops the elements from position `count` on; a no-op when count >= size.
  void truncate(std::uint32_t count) noexcept {
    if (count >= size_) return;
    std::destroy(data() + count, data() + size_);
    size_ = count;
  }

  /// Forgets the elements without destroying them, keeping the block; only
  /// for elements whose destructor would do nothing.
  void forget_elements() noexcept { size_ = 0; }

  /// Drops every element and gives the block back.
  void reset(BlockPool& pool) noexcept {
    std::destroy(begin(), end());
    if (on_heap()) pool.deallocate(heap_, bytes(capacity_));
    forget();
  }

  friend void swap(PooledVec& a, PooledVec& b) noexcept {
    PooledVec tmp(std::move(a));
    a.take(b);
    b.take(tmp);
  }

 private:
  static constexpr std::size_t bytes(std::uint32_t capacity) noexcept { return std::size_t{capacity} * sizeof(T); }

  bool on_heap() const noexcept { return capacity_ > N; }
  T* inline_data() noexcept { return std::launder(reinterpret_cast<T*>(inline_)); }
  const T* inline_data() const noexcept { return std::launder(reinterpret_cast<const T*>(inline_)); }

  void grow(BlockPool& pool, std::uint32_t capacity) {
    auto* block = static_cast<T*>(pool.allocate(bytes(capacity)));
    T* old = data();
    std::uninitialized_move(old, old + size_, block);
    std::destroy(old, old + size_);
    if (on_heap()) pool.deallocate(heap_, bytes(capacity_));
    heap_ = block;
    capacity_ = capacity;
  }

  /// Destroys the elements and frees a block larger than the pool's; a
  /// pooled block goes back with the pool.
  void release() noexcept {
    std::destroy(begin(), end());
    if (on_heap() && !BlockPool::pooled(bytes(capacity_))) BlockPool::free_large(heap_);
  }

  /// Back to no elements and inline storage; the caller destroyed the
  /// elements and freed the block.
  void forget() noexcept {
    size_ = 0;
    capacity_ = N;
  }

  /// Takes the elements of `other`, leaving it empty with inline storage.
  /// Expects this list to hold no elements and no block.
  void take(PooledVec& other) noexcept {
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

  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = N;
  union {
    alignas(T) unsigned char inline_[sizeof(T) * N];
    T* heap_;
  };
};

}  // namespace korvane::egraph
