// symbol.cpp - the sharded, lock-per-shard symbol table.
//
// Sixteen shards, picked by the low four bits of a fixed 64-bit hash of the
// text, each with its own mutex, list of texts and text -> position map.
// Texts are copied into a monotonic buffer that never frees nor moves them.
#include "egraph/symbol.hpp"

#include <array>
#include <cstring>
#include <memory_resource>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "common/hash.hpp"
#include "common/internal_error.hpp"

namespace korvane::egraph {
namespace detail {

std::uint64_t text_hash(std::string_view text) noexcept {
  return hash_bytes(text);
}

Symbol make_symbol(std::uint32_t shard, std::uint64_t position) {
  const std::uint64_t index = position + 1;
  if (index >= Symbol::kPositionMask) [[unlikely]] {
    throw InternalError("Can't represent index " + std::to_string(index) + " in a Symbol");
  }
  return Symbol((shard << Symbol::kPositionBits) | static_cast<std::uint32_t>(index));
}

}  // namespace detail

namespace {

constexpr std::size_t kShardCount = 16;

/// Hashes texts for a shard's map with the same function that picks the shard.
struct TextHash {
  using is_avalanching = void;
  std::size_t operator()(std::string_view text) const noexcept { return detail::text_hash(text); }
};

/// One shard: its lock, its texts in insertion order and the map back, and
/// the storage of the texts, which never moves nor frees them.
struct Shard {
  std::mutex mutex;
  std::vector<std::string_view> texts;
  boost::unordered_flat_map<std::string_view, std::uint32_t, TextHash> positions;
  std::pmr::monotonic_buffer_resource arena;

  std::string_view store(std::string_view text) {
    if (text.empty()) return std::string_view();
    char* copy = static_cast<char*>(arena.allocate(text.size(), 1));
    std::memcpy(copy, text.data(), text.size());
    return std::string_view(copy, text.size());
  }
};

/// The process-wide table. Created on first use and never destroyed, so that
/// resolved texts outlive every static destructor that might still read them.
class SymbolTable {
 public:
  static SymbolTable& instance() {
    static SymbolTable* const table = new SymbolTable();
    return *table;
  }

  Symbol intern(std::string_view text) {
    const std::uint64_t hash = detail::text_hash(text);
    const auto shard_number = static_cast<std::uint32_t>(hash & (kShardCount - 1));
    Shard& shard = shards_[shard_number];
    std::uint64_t position;
    {
      std::lock_guard<std::mutex> lock(shard.mutex);
      auto found = shard.positions.find(text);
      if (found != shard.positions.end()) {
        position = found->second;
      } else {
        position = shard.texts.size();
        // Refuse before storing, so a full shard stays unchanged.
        detail::make_symbol(shard_number, position);
        std::string_view copy = shard.store(text);
        shard.texts.push_back(copy);
        shard.positions.emplace(copy, static_cast<std::uint32_t>(position));
      }
    }
    return detail::make_symbol(shard_number, position);
  }

  std::string_view resolve(Symbol symbol) {
    Shard& shard = shards_[symbol.shard()];
    const std::uint32_t position = symbol.position();
    std::lock_guard<std::mutex> lock(shard.mutex);
    if (symbol.raw() == 0 || position >= shard.texts.size()) [[unlikely]] {
      throw InternalError("Unknown symbol " + std::to_string(symbol.raw()));
    }
    return shard.texts[position];
  }

 private:
  SymbolTable() = default;
  std::array<Shard, kShardCount> shards_;
};

}  // namespace

Symbol intern(std::string_view text) { return SymbolTable::instance().intern(text); }

std::string_view resolve(Symbol symbol) { return SymbolTable::instance().resolve(symbol); }

std::ostream& operator<<(std::ostream& out, Symbol symbol) { return out << resolve(symbol); }

std::size_t SymbolHash::operator()(Symbol symbol) const noexcept {
  WordHasher hasher;
  hasher.add(symbol.raw());
  return hasher.value();
}

}  // namespace korvane::egraph
