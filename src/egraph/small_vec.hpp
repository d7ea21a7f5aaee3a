// small_vec.hpp - a vector that keeps its first few elements inside itself.
//
// SmallVec<T, N> stores up to N elements in the object and moves them to one
// heap block beyond that. Size and capacity are 32-bit, so the per-class
// lists of the e-graph stay compact: a SmallVec<ClassId, 2> is 16 bytes.
// SmallVecStorage is the layout and read access it shares with the lists
// that take their blocks from a pool (block_pool.hpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <utility>

#include "common/internal_error.hpp"

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

/// A sequence of T owning its elements, up to N of them without allocating;
/// beyond that, in one block from the general heap.
template <class T, std::uint32_t N>
class SmallVec : public SmallVecStorage<T, N> {
  using Base = SmallVecStorage<T, N>;
  using Base::capacity_;
  using Base::size_;

 public:
  SmallVec() noexcept {}
  SmallVec(std::initializer_list<T> items) { append(items.begin(), items.end()); }
  SmallVec(const SmallVec& other) : Base() { append(other.begin(), other.end()); }
  SmallVec(SmallVec&& other) noexcept { this->take(other); }
  SmallVec& operator=(const SmallVec& other) {
    if (this != &other) {
      this->clear();
      append(other.begin(), other.end());
    }
    return *this;
  }
  SmallVec& operator=(SmallVec&& other) noexcept {
    if (this != &other) {
      release();
      this->take(other);
    }
    return *this;
  }
  ~SmallVec() { release(); }

  /// Appends one element.
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == capacity_) [[unlikely]] {
      // The arguments may refer into this vector; build the element first.
      T item(std::forward<Args>(args)...);
      grow(capacity_ * 2);
      T* slot = std::construct_at(this->data() + size_, std::move(item));
      ++size_;
      return *slot;
    }
    T* slot = std::construct_at(this->data() + size_, std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }
  void push_back(const T& item) { emplace_back(item); }
  void push_back(T&& item) { emplace_back(std::move(item)); }

  /// Appends copies of [first, last).
  template <class It>
  void append(It first, It last) {
    reserve(size_ + static_cast<std::size_t>(std::distance(first, last)));
    T* out = this->data() + size_;
    for (; first != last; ++first, ++out, ++size_) std::construct_at(out, *first);
  }

  /// Moves every element of `other` to the end of this vector; `other` ends
  /// up empty.
  void append_moved(SmallVec& other) {
    reserve(size_ + other.size_);
    this->append_moved_into_room(other);
    other.clear();
  }

  /// Drops every element and gives a heap block back.
  void reset() noexcept {
    release();
    this->forget();
  }

  /// Makes room for `count` elements without further growth.
  void reserve(std::size_t count) {
    if (count <= capacity_) return;
    check(count <= UINT32_MAX, "SmallVec capacity exceeds 32 bits");
    std::size_t doubled = std::size_t{capacity_} * 2;
    grow(static_cast<std::uint32_t>(std::min<std::size_t>(std::max(count, doubled), UINT32_MAX)));
  }

  friend void swap(SmallVec& a, SmallVec& b) noexcept {
    SmallVec tmp(std::move(a));
    a = std::move(b);
    b = std::move(tmp);
  }

  friend bool operator==(const SmallVec& a, const SmallVec& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  void grow(std::uint32_t capacity) {
    const std::uint32_t old_capacity = capacity_;
    if (T* left = this->move_to(std::allocator<T>().allocate(capacity), capacity)) {
      std::allocator<T>().deallocate(left, old_capacity);
    }
  }

  void release() noexcept {
    std::destroy(this->begin(), this->end());
    if (this->on_heap()) std::allocator<T>().deallocate(this->heap_block(), capacity_);
  }
};

}  // namespace korvane::egraph
