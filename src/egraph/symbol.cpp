// symbol.cpp - the sharded, lock-per-shard symbol table.
//
// Sixteen shards, picked by the low four bits of a fixed 64-bit hash of the
// text, each with its own mutex, list of texts and text -> position map.
// Texts are copied into chunks that are never freed nor moved.
#include "egraph/symbol.hpp"

#include <array>
#include <cstring>
#include <memory>
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
constexpr std::size_t kChunkSize = 64 * 1024;

/// Hashes texts for a shard's map with the same function that picks the shard.
struct TextHash {
  using is_avalanching = void;
  std::size_t operator()(std::string_view text) const noexcept { return detail::text_hash(text); }
};

/// Append-only storage for the texts of one shard. Owns fixed chunks that are
/// never reallocated, so every view it hands out stays valid forever.
class TextArena {
 public:
  /// Copies `text` into the arena and returns a view of the copy.
  std::string_view store(std::string_view text) {
    if (text.empty()) return std::string_view();
    if (text.size() > kChunkSize / 4) {
      // Long texts get a block of their own instead of wasting a chunk's tail.
      own(std::make_unique<char[]>(text.size()));
      return copy_into(chunks_.back().get(), text);
    }
    if (text.size() > kChunkSize - used_ || current_ == nullptr) {
      own(std::make_unique<char[]>(kChunkSize));
      current_ = chunks_.back().get();
      used_ = 0;
    }
    std::string_view copy = copy_into(current_ + used_, text);
    used_ += text.size();
    return copy;
  }

 private:
  void own(std::unique_ptr<char[]> block) { chunks_.push_back(std::move(block)); }
  static std::string_view copy_into(char* dest, std::string_view text) {
    std::memcpy(dest, text.data(), text.size());
    return std::string_view(dest, text.size());
  }

  std::vector<std::unique_ptr<char[]>> chunks_;
  char* current_ = nullptr;
  std::size_t used_ = 0;
};

/// One shard: its lock, its texts in insertion order and the map back.
struct Shard {
  std::mutex mutex;
  std::vector<std::string_view> texts;
  boost::unordered_flat_map<std::string_view, std::uint32_t, TextHash> positions;
  TextArena arena;
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
        std::string_view copy = shard.arena.store(text);
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
