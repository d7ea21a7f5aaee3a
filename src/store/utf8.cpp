// utf8.cpp - strict UTF-8 validation.
#include "store/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace korvane {

namespace {

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

// The ranges of the second byte follow the table of well-formed byte
// sequences: E0 and F0 exclude overlong forms, ED excludes surrogates, F4
// stops at U+10FFFF.
bool valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  while (p < end) {
    if (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= need) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (size_t k = 2; k <= need; ++k) {
      if (!continuation(p[k])) return false;
    }
    p += need + 1;
  }
  return true;
}

}  // namespace korvane
