// params.hpp - parameter values, their canonical text key, and the parser
// that reads such text back.
//
// A parameter map is a list of (key, value) entries sorted by key bytes.
// Its canonical key ("scalar=f0000000000000000;side=sr") names the map in
// node symbols; append_escaped keeps names and keys free of the separators.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

/// The four value variants, numbered by the tag the blob format writes.
enum class ParamTag : uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };

/// Bits of the quiet NaN that every NaN is compared and keyed as.
inline constexpr uint64_t kCanonicalNaN = 0x7FF8000000000000ULL;

/// A double's bit pattern with every NaN replaced by kCanonicalNaN.
uint64_t canonical_float_bits(uint64_t bits) noexcept;
uint64_t double_bits(double value) noexcept;
double bits_double(uint64_t bits) noexcept;

/// One parameter whose key and string value are borrowed from the caller.
/// `bits` holds the scalar: an int64 in two's complement, a double's bit
/// pattern, or 0/1 for a bool; `str` is used for Str only.
struct ParamRef {
  std::string_view key;
  ParamTag tag = ParamTag::Int;
  uint64_t bits = 0;
  std::string_view str;
};

/// One parameter that owns its strings (the result of parsing text).
struct Param {
  std::string key;
  ParamTag tag = ParamTag::Int;
  uint64_t bits = 0;
  std::string str;

  ParamRef ref() const { return {key, tag, bits, str}; }
};
using ParamMap = std::vector<Param>;

/// Sorts parameters by key bytes, stably (equal keys keep their order).
void sort_params(std::span<ParamRef> params);
void sort_params(ParamMap& params);

/// Appends `text` with "%", ";", "=" and "|" percent-escaped (in that order).
void append_escaped(std::string& out, std::string_view text);
/// Undoes append_escaped.
std::string unescape_name(std::string_view text);

/// The canonical key of a sorted map; empty for an empty map.
std::string param_key(std::span<const ParamRef> params);

/// Parses a canonical key back into a sorted map; nullopt when malformed.
std::optional<ParamMap> parse_param_key(std::string_view text);

}  // namespace korvane
