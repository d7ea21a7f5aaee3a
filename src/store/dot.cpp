// dot.cpp - DOT rendering and parameter text.
#include "store/dot.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "common/internal_error.hpp"

namespace korvane {

namespace {

template <class Int>
void append_int(std::string& out, Int value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

void append_hex_escape(std::string& out, unsigned code) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u{";
  if (code >= 0x10) out += kHex[code >> 4];
  out += kHex[code & 0xF];
  out += '}';
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '\\': out += "\\\\"; continue;
      case '"': out += "\\\""; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      append_hex_escape(out, c);
      continue;
    }
    // U+0080-U+009F, the C1 controls, are C2 80 - C2 9F in UTF-8.
    if (c == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        append_hex_escape(out, next);
        ++i;
        continue;
      }
    }
    out += static_cast<char>(c);
  }
  out += '"';
}

void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // The shortest round-trip digits come from the scientific form
  // ("d.ddde±x"); they are then spelled out without the exponent, padding
  // with zeros. (The shortest fixed form is not the same thing: for 2^63 it
  // ties "9223372036854775808" with "9223372036854776000" on length and
  // picks the exact digits.)
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  check(r.ec == std::errc(), "float text does not fit its buffer");
  const std::string_view text(buf, static_cast<size_t>(r.ptr - buf));
  const size_t e = text.find('e');
  std::string_view mantissa = text.substr(0, e);
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(), exponent);
  if (mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  // The significant digits, without the point (at most 17).
  char digit_buf[32];
  size_t digit_count = 0;
  for (char c : mantissa) {
    if (c != '.') digit_buf[digit_count++] = c;
  }
  const std::string_view digits(digit_buf, digit_count);
  // The value is 0.digits * 10^(exponent + 1): `point` digits before the point.
  const int point = exponent + 1;
  const auto count = static_cast<int>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(point));
    out += '.';
    out.append(digits, static_cast<size_t>(point));
  }
}

void append_param_text(std::string& out, const ParamRef& value) {
  switch (value.tag) {
    case ParamTag::Int:
      append_int(out, static_cast<int64_t>(value.bits));
      return;
    case ParamTag::Float:
      append_float(out, bits_double(value.bits));
      return;
    case ParamTag::Bool:
      out += value.bits != 0 ? "true" : "false";
      return;
    case ParamTag::Str:
      append_quoted(out, value.str);
      return;
  }
}

void append_params_text(std::string& out, const PoolData& pools, std::span<const ParamSlot> map) {
  out += '{';
  bool first = true;
  for (const ParamSlot& slot : map) {
    if (!first) out += ", ";
    first = false;
    const ParamRef p = pools.param(slot);
    out += p.key;
    out += '=';
    append_param_text(out, p);
  }
  out += '}';
}

void append_label_escaped(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
}

void append_label(std::string& out, const PoolData& pools, const NodeTable& nodes, size_t i) {
  const NodeRec& r = nodes.recs[i];
  switch (r.kind) {
    case NodeKind::Source: out += "Source "; break;
    case NodeKind::Op: out += "Op "; break;
    case NodeKind::Reduction: out += "Reduction "; break;
    case NodeKind::External: {
      const DescriptorRec& d = pools.descriptors[r.payload];
      out += "External ";
      out += pools.str(d.fields[0]);
      out += ':';
      out += pools.str(d.fields[1]);
      out += " [";
      out += pools.str(d.fields[2]);
      out += ' ';
      out += pools.str(d.fields[3]);
      out += ']';
      break;
    }
    case NodeKind::Stage:
      out += "Stage[";
      append_int(out, pools.member_lists[r.payload].count);
      out += " members]";
      return;  // a stage has no parameters
    case NodeKind::Exchange: out += "Exchange"; break;
    case NodeKind::Join: out += "Join"; break;
  }
  if (has_name(r.kind)) out += pools.str(r.payload);
  const auto params = pools.params(r.params);
  if (params.empty()) return;
  out += ' ';
  append_params_text(out, pools, params);
}

std::string render_dot(const PoolData& pools, const NodeTable& nodes, std::span<const NodeId> outputs) {
  std::vector<bool> marked(nodes.size(), false);
  for (NodeId id : outputs) {
    check(id < nodes.size(), "output mark outside the graph");
    marked[id] = true;
  }
  std::string out;
  out.reserve(32 + nodes.size() * 40 + nodes.inputs.size() * 16);
  out += "digraph korvane {\n";
  std::string label;
  for (size_t i = 0; i < nodes.size(); ++i) {
    label.clear();
    append_label(label, pools, nodes, i);
    out += "  n";
    append_int(out, i);
    out += " [label=\"";
    append_label_escaped(out, label);
    out += '"';
    if (marked[i]) out += ", shape=doublecircle";
    out += "];\n";
  }
  for (size_t i = 0; i < nodes.size(); ++i) {
    for (uint32_t input : nodes.inputs_of(i)) {
      out += "  n";
      append_int(out, input);
      out += " -> n";
      append_int(out, i);
      out += ";\n";
    }
  }
  out += "}\n";
  return out;
}

}  // namespace korvane
