// param_key_fuzz.cpp - libFuzzer target for the parameter key and the stage
// member token, in both directions.
//
// Read as text, the bytes go to parse_param_key and parse_member_symbol.
// Each must accept exactly the texts of the key grammar, written out here a
// second time, and read the same map from them; whatever they accept
// re-encodes to a canonical text that reads back to the same value and
// re-encodes to itself. Read as a recording program, the same bytes build a
// name and a parameter map: its key, and the symbols of an Op and of a
// Reduction carrying it, must parse back to that name and map.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "optimizer/node_symbol.hpp"
#include "store/member_token.hpp"
#include "store/params.hpp"
#include "store/store.hpp"
#include "require.hpp"

namespace {

using korvane::Param;
using korvane::ParamMap;
using korvane::ParamRef;
using korvane::ParamTag;


std::vector<ParamRef> refs_of(const ParamMap& map) {
  std::vector<ParamRef> refs;
  for (const Param& p : map) refs.push_back(p.ref());
  return refs;
}

/// Equal values as node identity compares them: same variant, and for
/// floats the same bits once NaNs are made canonical (0.0 and -0.0 differ).
bool same_value(const ParamRef& a, const ParamRef& b) {
  if (a.tag != b.tag) return false;
  if (a.tag == ParamTag::Str) return a.str == b.str;
  if (a.tag == ParamTag::Float) return korvane::canonical_float_bits(a.bits) == korvane::canonical_float_bits(b.bits);
  return a.bits == b.bits;
}

std::string escaped(std::string_view text) {
  std::string out;
  korvane::append_escaped(out, text);
  return out;
}

/// Equal maps: the same keys in the same order, values equal as node
/// identity compares them (NaNs alike).
bool same_map(std::span<const ParamRef> a, std::span<const ParamRef> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].key != b[i].key || !same_value(a[i], b[i])) return false;
  }
  return true;
}

/// Equal as read from text: the same bits, NaN payloads included.
bool identical_map(const ParamMap& a, const ParamMap& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].key != b[i].key || a[i].tag != b[i].tag || a[i].bits != b[i].bits || a[i].str != b[i].str) return false;
  }
  return true;
}

// The key grammar once more, written for clarity rather than speed.

// Wide enough to hold a 64-bit value times 16 plus a digit.
using Wide = unsigned __int128;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal with an optional sign, in the int64 range.
std::optional<uint64_t> expected_int(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  const Wide limit = negative ? Wide{1} << 63 : (Wide{1} << 63) - 1;
  Wide v = 0;
  for (char c : s) {
    if (!is_digit(c)) return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > limit) return std::nullopt;
  }
  const auto magnitude = static_cast<uint64_t>(v);
  return negative ? 0 - magnitude : magnitude;
}

// Hexadecimal with an optional "+", at most 64 bits.
std::optional<uint64_t> expected_hex(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  Wide v = 0;
  for (char c : s) {
    const int d = hex_digit(c);
    if (d < 0) return std::nullopt;
    v = v * 16 + static_cast<unsigned>(d);
    if (v > UINT64_MAX) return std::nullopt;
  }
  return static_cast<uint64_t>(v);
}

std::optional<ParamMap> expected_map(std::string_view text) {
  ParamMap map;
  if (text.empty()) return map;
  for (size_t start = 0;;) {
    size_t end = text.find(';', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view piece = text.substr(start, end - start);
    const size_t eq = piece.find('=');
    if (eq == std::string_view::npos || eq + 1 == piece.size()) return std::nullopt;
    Param p;
    p.key = korvane::unescape_name(piece.substr(0, eq));
    const std::string_view payload = piece.substr(eq + 2);
    std::optional<uint64_t> bits;
    switch (piece[eq + 1]) {
      case 'i':
        p.tag = ParamTag::Int;
        bits = expected_int(payload);
        break;
      case 'f':
        p.tag = ParamTag::Float;
        bits = expected_hex(payload);
        break;
      case 'b':
        p.tag = ParamTag::Bool;
        if (payload == "true") bits = 1;
        if (payload == "false") bits = 0;
        break;
      case 's':
        p.tag = ParamTag::Str;
        p.str = korvane::unescape_name(payload);
        bits = 0;
        break;
      default:
        break;
    }
    if (!bits) return std::nullopt;
    p.bits = *bits;
    map.push_back(std::move(p));
    if (end == text.size()) break;
    start = end + 1;
  }
  korvane::sort_params(map);
  return map;
}

/// escape_name as four replace-all passes, the way it is defined.
std::string escaped_in_passes(std::string_view text) {
  std::string s(text);
  const std::pair<std::string_view, std::string_view> passes[] = {
      {"%", "%25"}, {";", "%3B"}, {"=", "%3D"}, {"|", "%7C"}};
  for (const auto& [from, to] : passes) {
    std::string out;
    for (char c : s) {
      if (c == from.front()) {
        out += to;
      } else {
        out += c;
      }
    }
    s = std::move(out);
  }
  return s;
}

/// The canonical token of a parsed member.
std::string member_token(const korvane::MemberSymbol& m) {
  std::string token = m.head + "|" + escaped(m.name);
  if (!m.params.empty()) token += "|" + korvane::param_key(refs_of(m.params));
  return token;
}

void check_text(std::string_view text) {
  // Escaping is undone whatever the text holds.
  const std::string once = escaped(text);
  require(once == escaped_in_passes(text));
  require(korvane::unescape_name(once) == text);

  // The key parser accepts exactly the grammar and reads the same map.
  const std::optional<ParamMap> map = korvane::parse_param_key(text);
  const std::optional<ParamMap> expected = expected_map(text);
  require(map.has_value() == expected.has_value());
  if (map) {
    require(identical_map(*map, *expected));
    // Its canonical key reads back to the same value and is a fixed point.
    const std::string key = korvane::param_key(refs_of(*map));
    const std::optional<ParamMap> again = korvane::parse_param_key(key);
    require(again && same_map(refs_of(*again), refs_of(*map)));
    require(korvane::param_key(refs_of(*again)) == key);
  }

  // The member token: "op" or "red", a name, and an optional key.
  const std::optional<korvane::MemberSymbol> member = korvane::parse_member_symbol(text);
  std::optional<korvane::MemberSymbol> expected_member;
  if (const size_t bar1 = text.find('|'); bar1 != std::string_view::npos) {
    const std::string_view head = text.substr(0, bar1);
    const std::string_view rest = text.substr(bar1 + 1);
    const size_t bar2 = rest.find('|');
    std::optional<ParamMap> params = ParamMap{};
    if (bar2 != std::string_view::npos) params = expected_map(rest.substr(bar2 + 1));
    if ((head == "op" || head == "red") && params) {
      expected_member = korvane::MemberSymbol{std::string(head), korvane::unescape_name(rest.substr(0, bar2)),
                                              std::move(*params)};
    }
  }
  require(member.has_value() == expected_member.has_value());
  if (member) {
    require(member->head == expected_member->head && member->name == expected_member->name);
    require(identical_map(member->params, expected_member->params));
    const std::string token = member_token(*member);
    const std::optional<korvane::MemberSymbol> again = korvane::parse_member_symbol(token);
    require(again && again->head == member->head && again->name == member->name);
    require(same_map(refs_of(again->params), refs_of(member->params)));
    require(member_token(*again) == token);
  }
}

/// Float bits worth meeting often: zeros, one, infinities, NaNs.
uint64_t float_bits(FuzzedDataProvider& in) {
  static constexpr uint64_t kSpecial[] = {0x0000000000000000, 0x8000000000000000, 0x3ff0000000000000,
                                          0x7ff0000000000000, 0xfff0000000000000, 0x7ff8000000000000,
                                          0x7ff0000000000001, 0xffffffffffffffff};
  if (in.ConsumeBool()) return in.PickValueInArray(kSpecial);
  return in.ConsumeIntegral<uint64_t>();
}

/// A map built from the bytes, sorted as recording sorts it (duplicate keys
/// are possible, as in a map read from a blob), and the name beside it.
void check_produced(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string name = in.ConsumeRandomLengthString(24);
  std::vector<std::string> texts;  // keys and string values, kept alive
  texts.reserve(16);
  std::vector<ParamRef> params(in.ConsumeIntegralInRange<size_t>(0, 6));
  for (ParamRef& p : params) {
    p.key = texts.emplace_back(in.ConsumeRandomLengthString(12));
    p.tag = static_cast<ParamTag>(in.ConsumeIntegralInRange<uint8_t>(0, 3));
    switch (p.tag) {
      case ParamTag::Int: p.bits = in.ConsumeIntegral<uint64_t>(); break;
      case ParamTag::Float: p.bits = float_bits(in); break;
      case ParamTag::Bool: p.bits = in.ConsumeBool(); break;
      case ParamTag::Str: p.str = texts.emplace_back(in.ConsumeRandomLengthString(12)); break;
    }
  }
  korvane::sort_params(params);

  const std::string key = korvane::param_key(params);
  const std::optional<ParamMap> map = korvane::parse_param_key(key);
  require(map && same_map(refs_of(*map), params));

  // The symbols the optimizer gives an Op and a Reduction are member tokens
  // that read back to the node's name and parameters.
  korvane::Store store;
  for (korvane::NodeKind kind : {korvane::NodeKind::Op, korvane::NodeKind::Reduction}) {
    korvane::NodeSpec node;
    node.kind = kind;
    node.name = name;
    node.params = params;
    require(store.intern_node(node).ok());
  }
  const korvane::Snapshot snap = store.snapshot();
  for (size_t i = 0; i < snap.graph.size(); ++i) {
    const std::string symbol = korvane::node_symbol(snap.graph.pools, snap.graph.nodes.recs[i]);
    const std::optional<korvane::MemberSymbol> member = korvane::parse_member_symbol(symbol);
    require(member && member->head == (i == 0 ? "op" : "red") && member->name == name);
    require(same_map(refs_of(member->params), params));
    require(member_token(*member) == symbol);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1024) return 0;  // keys and tokens are short
  check_text(std::string_view(reinterpret_cast<const char*>(data), size));
  check_produced(data, size);
  return 0;
}
