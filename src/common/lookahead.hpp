// lookahead.hpp - cache hints for the hot loops: one primitive, one way to
// name the item a loop will reach, and how far ahead each loop looks.
//
// The large tables (class records, the memo, the union-find, the store's
// index) are read at scattered positions. A loop over a list of ids hints,
// at step k, the lines that step k + d will read, so that the misses of
// several steps overlap:
//
//   for (std::size_t k = 0; k < ids.size(); ++k) {
//     if (const ClassId* next = ahead(ids, k, lookahead::kSearchRecord)) egraph.prefetch_class(*next);
//     visit(ids[k]);
//   }
//
// A hint stays where taking it out costs a whole operation at least 3%
// (reduce, or deserialize, of 1M traced nodes in a fresh process that
// recorded them, as bench/reduce.py runs them; interleaved builds with and
// without it). Those in term building, extraction and emission made no
// measurable difference and were taken out.
#pragma once

#include <cstddef>
#include <span>

namespace korvane {

/// Hints that the cache line holding `address` is about to be read. Never
/// faults. An asm statement rather than __builtin_prefetch: g++ 12 judged a
/// lambda that only prefetched free of effects and dropped its calls, which
/// took the hints out of the search loop.
inline void prefetch_line(const void* address) noexcept {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
  __builtin_prefetch(address);
#endif
}

/// The item `distance` steps after step `k` of a loop over `items`, or null
/// past the end: what step `k` hints.
template <class T>
const T* ahead(std::span<const T> items, std::size_t k, std::size_t distance) noexcept {
  return k + distance < items.size() ? &items[k + distance] : nullptr;
}

/// The same for a stack worked from its back: the item `distance` pops
/// from now, or null if the stack holds no more.
template <class T>
const T* ahead_of_top(std::span<const T> stack, std::size_t distance) noexcept {
  return distance < stack.size() ? &stack[stack.size() - 1 - distance] : nullptr;
}

namespace lookahead {

// Distances in loop steps between a hint and the read it serves. What taking
// each group out cost (median of 10 paired rounds):
//   search: record, node list, union-find entry   reduce 1.13x
//   loading terms                                 reduce 1.12x
//   rebuild: memo slot                            reduce 1.09x
//   apply: union-find entries                     reduce 1.09x
//   apply: classes and memo slots                 reduce 1.08x
//   normalising: record, nodes, children          reduce 1.04x
//   rebuild: memo key and children, together      reduce 1.035x
//   indexing appended store nodes                 deserialize 1.25x
inline constexpr std::size_t kSearchRecord = 16;      ///< search: a candidate's record and union-find entry
inline constexpr std::size_t kSearchNodes = 8;        ///< search: its node list
inline constexpr std::size_t kApplyIds = 12;          ///< apply: a substitution's union-find entries
inline constexpr std::size_t kApplyRecords = 6;       ///< apply: the classes and memo slots it touches
inline constexpr std::size_t kRepairKey = 24;         ///< rebuild: a queued node's memo key
inline constexpr std::size_t kRepairChildren = 12;    ///< rebuild: its children's union-find entries
inline constexpr std::size_t kRepairSlot = 6;         ///< rebuild: its memo slot
inline constexpr std::size_t kNormalizeRecord = 12;   ///< normalising: a class record
inline constexpr std::size_t kNormalizeNodes = 8;     ///< normalising: its node list
inline constexpr std::size_t kNormalizeChildren = 4;  ///< normalising: its nodes' children
inline constexpr std::size_t kLoadTerm = 16;          ///< loading: a term's memo slot (its children's ids at twice this)
inline constexpr std::size_t kIndexProbe = 16;        ///< store: an appended node's index slot

}  // namespace lookahead
}  // namespace korvane
