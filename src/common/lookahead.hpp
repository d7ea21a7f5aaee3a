// lookahead.hpp - how far ahead the hot loops hint the cache lines they read.
//
// Each distance is the number of loop steps between a prefetch hint and the
// read it serves. A hint stays where taking it out costs a whole operation
// at least 3% (reduce, or deserialize, of 1M traced nodes as bench/reduce.py
// runs them; interleaved builds with and without it, median of the paired
// ratios over 10-12 rounds):
//   search: record, node list, union-find entry   reduce 1.32x
//   loading terms                                 reduce 1.25x
//   apply: classes and memo slots                 reduce 1.14x
//   rebuild: memo slot                            reduce 1.09x
//   apply: union-find entries                     reduce 1.07x
//   rebuild: memo key and children, together      reduce 1.03-1.06x
//   normalising: record, nodes, children          reduce 1.01x in a fresh
//                                  process, 1.09x in the one that recorded
//   indexing appended store nodes                 deserialize 1.5x
// Those in term building, extraction and emission made no measurable
// difference and were taken out.
#pragma once

#include <cstddef>

namespace korvane::lookahead {

inline constexpr std::size_t kRepairKey = 24;         ///< rebuild: a queued node's memo key
inline constexpr std::size_t kRepairChildren = 12;    ///< rebuild: its children's union-find entries
inline constexpr std::size_t kRepairSlot = 6;         ///< rebuild: its memo slot
inline constexpr std::size_t kNormalizeRecord = 12;   ///< normalising: a class record
inline constexpr std::size_t kNormalizeNodes = 8;     ///< normalising: its node list
inline constexpr std::size_t kNormalizeChildren = 4;  ///< normalising: its nodes' children
inline constexpr std::size_t kSearchRecord = 16;      ///< search: a candidate class record
inline constexpr std::size_t kSearchNodes = 8;        ///< search: its node list
inline constexpr std::size_t kApplyIds = 12;          ///< apply: a substitution's union-find entries
inline constexpr std::size_t kApplyRecords = 6;       ///< apply: the classes and memo slots it touches
inline constexpr std::size_t kLoadTerm = 16;          ///< loading: a term's memo slot (its children's ids at twice this)
inline constexpr std::size_t kIndexProbe = 16;        ///< store: an appended node's intern index slot

}  // namespace korvane::lookahead
