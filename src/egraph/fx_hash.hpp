// fx_hash.hpp - the word-at-a-time hash used by the engine's tables.
//
// Each word is folded in as h = (rotl(h, 5) ^ word) * 0x517cc1b727220a95.
// It is fast for the small integer keys of the engine (symbols, class ids,
// nodes) and has no seed, so every run hashes alike.
#pragma once

#include <bit>
#include <cstdint>

namespace korvane::egraph {

/// Accumulates words into one 64-bit hash value; starts at 0.
class FxHasher {
 public:
  /// Folds one word into the hash.
  constexpr void add(std::uint64_t word) noexcept {
    hash_ = (std::rotl(hash_, 5) ^ word) * kSeed;
  }
  /// The hash of every word added so far.
  constexpr std::uint64_t finish() const noexcept { return hash_; }

 private:
  static constexpr std::uint64_t kSeed = 0x517cc1b727220a95ULL;
  std::uint64_t hash_ = 0;
};

}  // namespace korvane::egraph
