// params.cpp - parameter values, canonical keys and their parsers.
#include "store/params.hpp"

#include <algorithm>
#include <bit>
#include <charconv>

namespace korvane {

uint64_t double_bits(double value) noexcept { return std::bit_cast<uint64_t>(value); }
double bits_double(uint64_t bits) noexcept { return std::bit_cast<double>(bits); }

uint64_t canonical_float_bits(uint64_t bits) noexcept {
  const bool is_nan = (bits & 0x7FF0000000000000ULL) == 0x7FF0000000000000ULL &&
                      (bits & 0x000FFFFFFFFFFFFFULL) != 0;
  return is_nan ? kCanonicalNaN : bits;
}

void sort_params(std::span<ParamRef> params) {
  // Parameter maps are small: an insertion sort (stable, no allocation)
  // beats std::stable_sort's temporary buffer by far below 16 entries.
  if (params.size() > 16) {
    std::stable_sort(params.begin(), params.end(),
                     [](const ParamRef& a, const ParamRef& b) { return a.key < b.key; });
    return;
  }
  for (size_t i = 1; i < params.size(); ++i) {
    ParamRef item = params[i];
    size_t j = i;
    for (; j > 0 && item.key < params[j - 1].key; --j) params[j] = params[j - 1];
    params[j] = item;
  }
}

void sort_params(ParamMap& params) {
  std::stable_sort(params.begin(), params.end(),
                   [](const Param& a, const Param& b) { return a.key < b.key; });
}

// One pass does the four replacements at once: each escaped
// character maps to its own code, and "%" is escaped before it can appear
// in a replacement, so the result equals four sequential replace-all passes.
void append_escaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '%': out += "%25"; break;
      case ';': out += "%3B"; break;
      case '=': out += "%3D"; break;
      case '|': out += "%7C"; break;
      default: out += c;
    }
  }
}

namespace {

void replace_all(std::string& s, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(s.size());
  size_t pos = 0;
  for (size_t hit; (hit = s.find(from, pos)) != std::string::npos; pos = hit + from.size()) {
    out.append(s, pos, hit - pos);
    out += to;
  }
  out.append(s, pos);
  s = std::move(out);
}

}  // namespace

// Four replace-all passes, in the reverse order of escaping.
std::string unescape_name(std::string_view text) {
  std::string s(text);
  if (s.find('%') == std::string::npos) return s;
  replace_all(s, "%7C", "|");
  replace_all(s, "%3D", "=");
  replace_all(s, "%3B", ";");
  replace_all(s, "%25", "%");
  return s;
}

namespace {

// Appends the encoded value ("i3", "f3ff0000000000000", "btrue", "sa%3Bb").
void append_param_value(std::string& out, const ParamRef& value) {
  char buf[32];
  switch (value.tag) {
    case ParamTag::Int: {
      out += 'i';
      auto r = std::to_chars(buf, buf + sizeof buf, static_cast<int64_t>(value.bits));
      out.append(buf, r.ptr);
      break;
    }
    case ParamTag::Float: {
      static constexpr char kHex[] = "0123456789abcdef";
      const uint64_t bits = canonical_float_bits(value.bits);
      out += 'f';
      for (int shift = 60; shift >= 0; shift -= 4) out += kHex[(bits >> shift) & 0xF];
      break;
    }
    case ParamTag::Bool:
      out += value.bits ? "btrue" : "bfalse";
      break;
    case ParamTag::Str:
      out += 's';
      append_escaped(out, value.str);
      break;
  }
}

}  // namespace

std::string param_key(std::span<const ParamRef> params) {
  std::string out;
  bool first = true;
  for (const ParamRef& p : params) {
    if (!first) out += ';';
    first = false;
    append_escaped(out, p.key);
    out += '=';
    append_param_value(out, p);
  }
  return out;
}

namespace {

// Decimal with an optional leading "+" or "-", in the int64 range.
std::optional<uint64_t> parse_int_payload(std::string_view s) {
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    if (s.empty() || s.front() == '-') return std::nullopt;
  }
  int64_t v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, 10);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return static_cast<uint64_t>(v);
}

// Hexadecimal with an optional leading "+", at most 64 bits.
std::optional<uint64_t> parse_hex_payload(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '+' || s.front() == '-') return std::nullopt;
  uint64_t v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, 16);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

}  // namespace

std::optional<ParamMap> parse_param_key(std::string_view text) {
  ParamMap map;
  if (text.empty()) return map;
  size_t start = 0;
  while (true) {
    const size_t end = std::min(text.find(';', start), text.size());
    const std::string_view piece = text.substr(start, end - start);
    const size_t eq = piece.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view value = piece.substr(eq + 1);
    if (value.empty()) return std::nullopt;
    const std::string_view payload = value.substr(1);
    Param p;
    p.key = unescape_name(piece.substr(0, eq));
    switch (value.front()) {
      case 'i': {
        auto v = parse_int_payload(payload);
        if (!v) return std::nullopt;
        p.tag = ParamTag::Int;
        p.bits = *v;
        break;
      }
      case 'f': {
        auto v = parse_hex_payload(payload);
        if (!v) return std::nullopt;
        p.tag = ParamTag::Float;
        p.bits = *v;
        break;
      }
      case 'b':
        if (payload != "true" && payload != "false") return std::nullopt;
        p.tag = ParamTag::Bool;
        p.bits = payload == "true";
        break;
      case 's':
        p.tag = ParamTag::Str;
        p.str = unescape_name(payload);
        break;
      default:
        return std::nullopt;
    }
    map.push_back(std::move(p));
    if (end == text.size()) break;
    start = end + 1;
  }
  sort_params(map);
  return map;
}

}  // namespace korvane
