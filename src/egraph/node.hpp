// node.hpp - e-nodes: an operator symbol applied to ordered child classes.
//
// SymbolLang is the one node type of the engine. Its identity (equality,
// order and hash) is defined here and used by every table. Up to two children
// are stored inside the node, so a node of arity 0 to 2 is 16 bytes and
// needs no allocation of its own.
#pragma once

#include <compare>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iosfwd>
#include <span>
#include <string>

#include "egraph/symbol.hpp"

namespace korvane::egraph {

/// Id of an e-class (or, inside a pattern's flat term, of a position).
using ClassId = std::uint32_t;

/// The ordered child ids of a node. Holds two ids inline; a longer list lives
/// in a heap block whose capacity is implied by the size (the next power of
/// two), which keeps the header to a single 32-bit size. Kept over
/// boost::container::small_vector<ClassId, 2>, which makes a node 40 bytes
/// instead of 16: reduce of 1M traced nodes (bench/reduce.py) took 1.10x.
class Children {
 public:
  Children() noexcept : size_(0), words_{0, 0} {}
  Children(std::initializer_list<ClassId> ids) : Children(std::span<const ClassId>(ids.begin(), ids.size())) {}
  explicit Children(std::span<const ClassId> ids) : size_(static_cast<std::uint32_t>(ids.size())), words_{0, 0} {
    // Nodes of two children or fewer are the common case: no heap, no copy
    // loop.
    if (size_ <= kInline) {
      for (std::uint32_t k = 0; k < size_; ++k) words_[k] = ids[k];
    } else {
      spill(ids);
    }
  }
  Children(const Children& other) : Children(other.span()) {}
  Children(Children&& other) noexcept : size_(other.size_) {
    std::memcpy(words_, other.words_, sizeof words_);
    other.size_ = 0;
  }
  Children& operator=(const Children& other);
  Children& operator=(Children&& other) noexcept;
  ~Children() {
    if (size_ > kInline) delete[] heap();
  }

  /// Children held inline; a longer list owns a heap block.
  static constexpr std::uint32_t kInline = 2;

  std::uint32_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  ClassId* data() noexcept { return size_ > kInline ? heap() : words_; }
  const ClassId* data() const noexcept { return size_ > kInline ? heap() : words_; }
  ClassId* begin() noexcept { return data(); }
  ClassId* end() noexcept { return data() + size_; }
  const ClassId* begin() const noexcept { return data(); }
  const ClassId* end() const noexcept { return data() + size_; }
  ClassId& operator[](std::size_t i) noexcept { return data()[i]; }
  ClassId operator[](std::size_t i) const noexcept { return data()[i]; }
  std::span<const ClassId> span() const noexcept { return {data(), size_}; }

  /// Appends one child.
  void push_back(ClassId id);

  friend bool operator==(const Children& a, const Children& b) noexcept {
    if (a.size_ != b.size_) return false;
    const ClassId* x = a.data();
    const ClassId* y = b.data();
    for (std::uint32_t k = 0; k < a.size_; ++k) {
      if (x[k] != y[k]) return false;
    }
    return true;
  }
  /// Element by element as unsigned numbers; a proper prefix sorts first.
  friend std::strong_ordering operator<=>(const Children& a, const Children& b) noexcept;

 private:
  static std::uint32_t capacity_for(std::uint32_t size) noexcept;
  /// Puts more than kInline ids into a new heap block.
  void spill(std::span<const ClassId> ids);
  ClassId* heap() const noexcept {
    ClassId* block;
    std::memcpy(&block, words_, sizeof block);
    return block;
  }
  void set_heap(ClassId* block) noexcept { std::memcpy(words_, &block, sizeof block); }

  std::uint32_t size_;
  /// The children themselves while size_ <= 2, else the heap block's address.
  ClassId words_[kInline];
  static_assert(sizeof(ClassId*) <= sizeof(ClassId) * kInline);
};

/// One e-node: operator `op` applied to `children`, which may be empty (a
/// leaf) and may repeat an id. Nodes are equal when op and children are;
/// they order by op's numeric value, then by children.
struct SymbolLang {
  /// Operator name.
  Symbol op;
  /// Operand classes, in order.
  Children children;

  friend bool operator==(const SymbolLang& a, const SymbolLang& b) noexcept {
    return a.op == b.op && a.children == b.children;
  }
  friend std::strong_ordering operator<=>(const SymbolLang& a, const SymbolLang& b) noexcept {
    if (auto by_op = a.op <=> b.op; by_op != 0) return by_op;
    return a.children <=> b.children;
  }
};

/// The node's 64-bit hash: its op, then its child count, then each child.
std::uint64_t hash_node(Symbol op, std::span<const ClassId> children) noexcept;
inline std::uint64_t hash_node(const SymbolLang& node) noexcept { return hash_node(node.op, node.children.span()); }

/// The node as text: "op" for a leaf, "(op c1 c2 ...)" otherwise.
std::string to_string(const SymbolLang& node);
std::ostream& operator<<(std::ostream& out, const SymbolLang& node);

}  // namespace korvane::egraph
