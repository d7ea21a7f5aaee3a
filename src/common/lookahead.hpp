// lookahead.hpp - how far ahead the hot loops hint the cache lines they read.
//
// Each distance is the number of loop steps between a prefetch hint and the
// read it serves. The hints stay where taking them out costs a whole
// operation more than 3% (bench/reduce.py and a deserialize at 1M traced
// nodes, interleaved builds with and without the group's hints):
//   matching (search and apply)   reduce 529-602 -> 702-860 ms
//   rebuild and normalising       reduce 493-547 -> 540-590 ms
//   loading terms                 reduce 500-575 -> 544-616 ms
//   indexing appended store nodes deserialize 66-69 -> 98-112 ms
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
