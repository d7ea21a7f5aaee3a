// block_pool.hpp - small heap blocks that live and die with one e-graph.
//
// An e-graph holds hundreds of thousands of short lists that spill out of
// their inline storage. Taken from the general heap, each costs a header,
// and destroying the e-graph frees them one by one, which the allocator
// answers by coalescing them one by one (a scattered memory access each).
// A BlockPool hands out blocks of power-of-two sizes carved from large
// slabs, keeps freed blocks on a list per size, and returns whole slabs
// when it is destroyed. PooledVec (pooled_vec.hpp) is the list type that
// draws from it. The lists on the general heap (boost's small_vector) made
// reduce of 1M traced nodes take 1.09x as long, and 1.14x drawing from a
// std::pmr::unsynchronized_pool_resource (bench/reduce.py, 8 rounds).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

namespace korvane::egraph {

/// Owns slabs of memory and the blocks carved from them. Blocks of up to
/// kLargest bytes come from the slabs; larger ones from operator new, one
/// by one (the caller frees those with `deallocate` or `free_large`).
/// Movable, not copyable; blocks stay valid across a move.
class BlockPool {
 public:
  static constexpr std::size_t kSmallest = 16;
  static constexpr std::size_t kLargest = 1024;

  BlockPool() = default;
  BlockPool(BlockPool&& other) noexcept { *this = std::move(other); }
  BlockPool& operator=(BlockPool&& other) noexcept {
    if (this != &other) {
      release();
      slabs_ = std::exchange(other.slabs_, {});
      next_ = std::exchange(other.next_, nullptr);
      end_ = std::exchange(other.end_, nullptr);
      std::copy(std::begin(other.free_), std::end(other.free_), std::begin(free_));
      std::fill(std::begin(other.free_), std::end(other.free_), nullptr);
    }
    return *this;
  }
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;
  ~BlockPool() { release(); }

  /// True when a block of `bytes` comes from the slabs.
  static constexpr bool pooled(std::size_t bytes) noexcept { return bytes <= kLargest; }

  /// A block of at least `bytes` bytes, aligned to 16 bytes.
  void* allocate(std::size_t bytes) {
    if (!pooled(bytes)) return ::operator new(bytes);
    const unsigned size_class = class_of(bytes);
    if (FreeBlock* block = free_[size_class]) {
      free_[size_class] = block->next;
      return block;
    }
    const std::size_t size = kSmallest << size_class;
    if (static_cast<std::size_t>(end_ - next_) < size) add_slab();
    void* block = next_;
    next_ += size;
    return block;
  }

  /// Gives back a block that `allocate(bytes)` returned.
  void deallocate(void* block, std::size_t bytes) noexcept {
    if (!pooled(bytes)) {
      free_large(block);
      return;
    }
    const unsigned size_class = class_of(bytes);
    free_[size_class] = ::new (block) FreeBlock{free_[size_class]};
  }

  /// Frees a block of more than kLargest bytes.
  static void free_large(void* block) noexcept { ::operator delete(block); }

 private:
  static constexpr std::size_t kSlabBytes = std::size_t{1} << 18;
  static constexpr unsigned kClasses = std::countr_zero(kLargest / kSmallest) + 1;
  struct FreeBlock {
    FreeBlock* next;
  };

  static unsigned class_of(std::size_t bytes) noexcept {
    return static_cast<unsigned>(std::countr_zero(std::bit_ceil(std::max(bytes, kSmallest)) / kSmallest));
  }

  void add_slab() {
    // The tail of the previous slab is too short for the block asked for;
    // it is left unused (at most kLargest bytes per slab).
    slabs_.reserve(slabs_.size() + 1);
    auto* slab = static_cast<char*>(::operator new(kSlabBytes, std::align_val_t{kSmallest}));
    slabs_.push_back(slab);
    next_ = slab;
    end_ = slab + kSlabBytes;
  }

  void release() noexcept {
    for (char* slab : slabs_) ::operator delete(slab, std::align_val_t{kSmallest});
    slabs_.clear();
    next_ = end_ = nullptr;
    std::fill(std::begin(free_), std::end(free_), nullptr);
  }

  std::vector<char*> slabs_;
  char* next_ = nullptr;
  char* end_ = nullptr;
  FreeBlock* free_[kClasses] = {};
};

}  // namespace korvane::egraph
