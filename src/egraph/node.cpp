// node.cpp - storage, identity and text form of e-nodes.
//
// Children keep two ids inline and spill longer lists to a heap block sized
// to the next power of two; equality, order and hash are defined once here
// for every table of the engine.
#include "egraph/node.hpp"

#include <algorithm>
#include <bit>
#include <ostream>

#include "common/hash.hpp"

namespace korvane::egraph {

std::uint32_t Children::capacity_for(std::uint32_t size) noexcept {
  return size <= kInline ? kInline : std::bit_ceil(size);
}

void Children::spill(std::span<const ClassId> ids) {
  set_heap(new ClassId[capacity_for(size_)]);
  std::copy(ids.begin(), ids.end(), heap());
}

Children& Children::operator=(const Children& other) {
  if (this == &other) return *this;
  Children copy(other);
  return *this = std::move(copy);
}

Children& Children::operator=(Children&& other) noexcept {
  if (this == &other) return *this;
  if (size_ > kInline) delete[] heap();
  size_ = other.size_;
  std::memcpy(words_, other.words_, sizeof words_);
  other.size_ = 0;
  return *this;
}

void Children::push_back(ClassId id) {
  if (size_ < kInline) {
    words_[size_++] = id;
    return;
  }
  if (size_ == capacity_for(size_)) {
    // Full (inline or a power-of-two block): move to a block twice as large.
    auto* block = new ClassId[std::size_t{size_} * 2];
    std::copy(begin(), end(), block);
    if (size_ > kInline) delete[] heap();
    set_heap(block);
  }
  heap()[size_++] = id;
}

std::strong_ordering operator<=>(const Children& a, const Children& b) noexcept {
  return std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
}

std::uint64_t hash_node(Symbol op, std::span<const ClassId> children) noexcept {
  WordHasher hasher;
  hasher.add(op.raw());
  hasher.add(children.size());
  for (ClassId child : children) hasher.add(child);
  return hasher.value();
}

std::string to_string(const SymbolLang& node) {
  if (node.children.empty()) return std::string(resolve(node.op));
  std::string text = "(";
  text += resolve(node.op);
  for (ClassId child : node.children) {
    text += ' ';
    text += std::to_string(child);
  }
  text += ')';
  return text;
}

std::ostream& operator<<(std::ostream& out, const SymbolLang& node) { return out << to_string(node); }

}  // namespace korvane::egraph
