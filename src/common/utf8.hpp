// utf8.hpp - well-formed UTF-8, for the store and the e-graph alike.
//
// One function tells how long the well-formed sequence at a position is,
// by the table of well-formed byte sequences: no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequences (exactly what
// the interpreter's strict decoder accepts). The blob reader validates
// strings with it; the pattern parser decodes characters and the
// s-expression reader counts them with it, a malformed byte counting as
// one character of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace korvane {

/// Whether `byte` continues a multi-byte sequence (10xxxxxx).
constexpr bool utf8_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

/// The length (1 to 4) of the well-formed sequence that starts at `pos`,
/// which must be inside `text`; 0 when the bytes there are not one.
inline std::size_t utf8_sequence_length(std::string_view text, std::size_t pos) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  // The ranges of the second byte: E0 and F0 exclude overlong forms, ED
  // excludes surrogates, F4 stops at U+10FFFF.
  std::size_t length;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - pos < length) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (!utf8_continuation(p[k])) return 0;
  }
  return length;
}

/// Whether `bytes` is well-formed UTF-8. ASCII runs are checked eight bytes
/// at a time.
inline bool valid_utf8(std::string_view bytes) noexcept {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos >= 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + pos, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        pos += 8;
        continue;
      }
    }
    const std::size_t length = utf8_sequence_length(bytes, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

}  // namespace korvane
