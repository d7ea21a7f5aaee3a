// hash.hpp - the hash functions of the core's lookup tables.
//
// Strings hash with a fixed-seed 64-bit function, so nothing depends on a
// per-process seed. Fixed-size records (store records, e-graph nodes,
// symbols) hash word by word with a cheap rotate-xor-multiply combiner;
// the tables that use it either mix the result further or place entries
// by its top bits, which the final multiply mixes best.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace korvane {

/// 64-bit hash of a byte string; the same in every process.
inline uint64_t hash_bytes(std::string_view bytes) noexcept {
  return XXH3_64bits(bytes.data(), bytes.size());
}

/// Word-by-word hash combiner (rotate, xor, multiply).
class WordHasher {
 public:
  static constexpr uint64_t kSeed = 0x517cc1b727220a95ULL;

  void add(uint64_t word) noexcept { h_ = (std::rotl(h_, 5) ^ word) * kSeed; }
  uint64_t value() const noexcept { return h_; }

 private:
  uint64_t h_ = 0;
};

}  // namespace korvane
