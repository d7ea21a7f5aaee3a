// symbol.hpp - process-wide interned strings as 32-bit handles.
//
// Pattern operators and variables and rule names are interned once into a
// table shared by the whole process and then handled as a Symbol: equal
// texts give equal symbols, and comparing, hashing or copying one never
// touches its text. The table only grows; resolved texts live forever, so
// it holds fixed texts only (texts of one job go into a SymbolScope).
#pragma once

#include <compare>
#include <cstdint>
#include <iosfwd>
#include <string_view>

namespace korvane::egraph {

/// Handle of an interned text. Bits 28-31 hold the shard of the symbol table,
/// bits 0-27 the text's position in that shard plus one, so a symbol returned
/// by `intern` is never 0. Two symbols are equal exactly when their texts
/// are; they order by their numeric value (not by text).
class Symbol {
 public:
  /// The null symbol (0); no text resolves to it.
  constexpr Symbol() noexcept = default;
  /// A symbol from its numeric value, as returned by `raw`.
  constexpr explicit Symbol(std::uint32_t raw) noexcept : raw_(raw) {}

  /// The numeric value.
  constexpr std::uint32_t raw() const noexcept { return raw_; }
  /// The shard of the table holding the text (0 to 15).
  constexpr std::uint32_t shard() const noexcept { return raw_ >> kPositionBits; }
  /// The text's index in its shard's list; meaningless for the null symbol.
  constexpr std::uint32_t position() const noexcept { return (raw_ & kPositionMask) - 1; }

  friend constexpr bool operator==(Symbol, Symbol) noexcept = default;
  friend constexpr std::strong_ordering operator<=>(Symbol, Symbol) noexcept = default;

  static constexpr std::uint32_t kPositionBits = 28;
  static constexpr std::uint32_t kPositionMask = (1u << kPositionBits) - 1;

 private:
  std::uint32_t raw_ = 0;
};

/// The symbol of `text`, interning it on first sight. Thread-safe; the table
/// is created by the first call from any thread. Throws InternalError
/// "Can't represent index {} in a Symbol" when a shard is full.
Symbol intern(std::string_view text);

/// The text of `symbol`, valid for the rest of the process. Thread-safe.
/// Throws InternalError for a symbol that `intern` never returned.
std::string_view resolve(Symbol symbol);

/// Writes the symbol's text.
std::ostream& operator<<(std::ostream& out, Symbol symbol);

/// Hash functor for maps keyed by Symbol.
struct SymbolHash {
  std::size_t operator()(Symbol symbol) const noexcept;
};

namespace detail {
/// Packs a shard number and a position into a symbol; throws InternalError
/// "Can't represent index {} in a Symbol" when position + 1 is 0x0FFFFFFF or
/// more (the 28-bit field's all-ones value is reserved).
Symbol make_symbol(std::uint32_t shard, std::uint64_t position);
/// The 64-bit hash of a text that picks its shard and keys the shard's map.
std::uint64_t text_hash(std::string_view text) noexcept;
}  // namespace detail

}  // namespace korvane::egraph
