// dot.cpp - DOT rendering and parameter text.
#include "store/dot.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <utility>
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

namespace {

/// Whether each node is an output.
std::vector<bool> output_flags(size_t count, std::span<const NodeId> outputs) {
  std::vector<bool> marked(count, false);
  for (NodeId id : outputs) {
    check(id < count, "output mark outside the graph");
    marked[id] = true;
  }
  return marked;
}

/// Appends the node line of node `i`; `label` is scratch space.
void append_node_line(std::string& out, std::string& label, const PoolData& pools, const NodeTable& nodes, size_t i,
                      bool output) {
  label.clear();
  append_label(label, pools, nodes, i);
  out += "  n";
  append_int(out, i);
  out += " [label=\"";
  append_label_escaped(out, label);
  out += '"';
  if (output) out += ", shape=doublecircle";
  out += "];\n";
}

void append_edge_line(std::string& out, uint64_t input, uint64_t consumer) {
  out += "  n";
  append_int(out, input);
  out += " -> n";
  append_int(out, consumer);
  out += ";\n";
}

/// Appends `value` in decimal with a comma between groups of three digits.
void append_grouped(std::string& out, uint64_t value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  const auto digits = static_cast<size_t>(r.ptr - buf);
  for (size_t k = 0; k < digits; ++k) {
    if (k > 0 && (digits - k) % 3 == 0) out += ',';
    out += buf[k];
  }
}

/// Appends the summary node for `hidden` left-out nodes on one side of
/// node `node`; `prefix` is 'i' for inputs, 'c' for consumers.
void append_summary_line(std::string& out, char prefix, uint64_t node, uint64_t hidden, std::string_view side) {
  out += "  ";
  out += prefix;
  append_int(out, node);
  out += " [label=\"+";
  append_grouped(out, hidden);
  out += ' ';
  out += side;
  out += "\", shape=plaintext, fontcolor=gray40];\n";
}

}  // namespace

std::string render_dot(const PoolData& pools, const NodeTable& nodes, std::span<const NodeId> outputs) {
  const std::vector<bool> marked = output_flags(nodes.size(), outputs);
  std::string out;
  out.reserve(32 + nodes.size() * 40 + nodes.inputs.size() * 16);
  out += "digraph korvane {\n";
  std::string label;
  for (size_t i = 0; i < nodes.size(); ++i) append_node_line(out, label, pools, nodes, i, marked[i]);
  for (size_t i = 0; i < nodes.size(); ++i) {
    for (uint32_t input : nodes.inputs_of(i)) append_edge_line(out, input, i);
  }
  out += "}\n";
  return out;
}

ConsumerIndex::ConsumerIndex(const NodeTable& nodes) : starts_(nodes.size() + 1, 0) {
  // Count the readers of each node, turn the counts into start offsets, then
  // place each consumer; consumers are visited in id order, so each list
  // comes out ascending.
  for (size_t i = 0; i < nodes.size(); ++i) {
    for (uint32_t input : nodes.inputs_of(i)) ++starts_[input + 1];
  }
  for (size_t i = 0; i < nodes.size(); ++i) starts_[i + 1] += starts_[i];
  ids_.resize(starts_.back());
  std::vector<uint64_t> next(starts_.begin(), starts_.end() - 1);
  for (size_t i = 0; i < nodes.size(); ++i) {
    for (uint32_t input : nodes.inputs_of(i)) ids_[next[input]++] = static_cast<uint32_t>(i);
  }
}

std::vector<uint32_t> neighbourhood(const NodeTable& nodes, const ConsumerIndex& consumers,
                                    std::span<const NodeId> seeds, uint64_t depth) {
  // Bit 1: reached going up (through inputs); bit 2: reached going down.
  constexpr uint8_t kUp = 1, kDown = 2;
  std::vector<uint8_t> reached(nodes.size(), 0);
  std::vector<uint32_t> up, down;
  for (NodeId seed : seeds) {
    check(seed < nodes.size(), "neighbourhood seed outside the graph");
    if (reached[seed] != 0) continue;
    reached[seed] = kUp | kDown;
    up.push_back(static_cast<uint32_t>(seed));
    down.push_back(static_cast<uint32_t>(seed));
  }
  // One step of a walk: the neighbours of `frontier` not yet reached in
  // direction `way` become the new frontier.
  std::vector<uint32_t> next;
  auto advance = [&](std::vector<uint32_t>& frontier, uint8_t way, auto neighbours) {
    next.clear();
    for (uint32_t node : frontier) {
      for (uint32_t other : neighbours(node)) {
        if ((reached[other] & way) != 0) continue;
        reached[other] |= way;
        next.push_back(other);
      }
    }
    frontier.swap(next);
  };
  for (uint64_t step = 0; step < depth && !(up.empty() && down.empty()); ++step) {
    advance(up, kUp, [&](uint32_t node) { return nodes.inputs_of(node); });
    advance(down, kDown, [&](uint32_t node) { return consumers.of(node); });
  }
  std::vector<uint32_t> drawn;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (reached[i] != 0) drawn.push_back(static_cast<uint32_t>(i));
  }
  return drawn;
}

std::string render_dot_around(const PoolData& pools, const NodeTable& nodes, std::span<const NodeId> outputs,
                              std::span<const NodeId> seeds, uint64_t depth) {
  const std::vector<bool> marked = output_flags(nodes.size(), outputs);
  const ConsumerIndex consumers(nodes);
  const std::vector<uint32_t> drawn = neighbourhood(nodes, consumers, seeds, depth);
  std::vector<bool> is_drawn(nodes.size(), false);
  for (uint32_t node : drawn) is_drawn[node] = true;

  // Distinct left-out neighbours: `counted_for[x]` is 1 + the drawn node
  // that last counted x, so a neighbour listed twice counts once.
  std::vector<uint64_t> counted_for(nodes.size(), 0);
  const auto hidden = [&](uint32_t node, std::span<const uint32_t> around) {
    uint64_t count = 0;
    for (uint32_t x : around) {
      if (is_drawn[x] || counted_for[x] == node + uint64_t{1}) continue;
      counted_for[x] = node + uint64_t{1};
      ++count;
    }
    return count;
  };
  std::vector<std::pair<uint64_t, uint64_t>> cut(drawn.size());  // (inputs, consumers) left out
  for (size_t k = 0; k < drawn.size(); ++k) {
    cut[k].first = hidden(drawn[k], nodes.inputs_of(drawn[k]));
    cut[k].second = hidden(drawn[k], consumers.of(drawn[k]));
  }

  std::string out;
  out += "digraph korvane {\n";
  std::string label;
  for (uint32_t node : drawn) append_node_line(out, label, pools, nodes, node, marked[node]);
  for (size_t k = 0; k < drawn.size(); ++k) {
    if (cut[k].first != 0) append_summary_line(out, 'i', drawn[k], cut[k].first, "inputs");
    if (cut[k].second != 0) append_summary_line(out, 'c', drawn[k], cut[k].second, "consumers");
  }
  for (uint32_t node : drawn) {
    for (uint32_t input : nodes.inputs_of(node)) {
      if (is_drawn[input]) append_edge_line(out, input, node);
    }
  }
  for (size_t k = 0; k < drawn.size(); ++k) {
    if (cut[k].first != 0) {
      out += "  i";
      append_int(out, drawn[k]);
      out += " -> n";
      append_int(out, drawn[k]);
      out += " [style=dashed, color=gray40];\n";
    }
    if (cut[k].second != 0) {
      out += "  n";
      append_int(out, drawn[k]);
      out += " -> c";
      append_int(out, drawn[k]);
      out += " [style=dashed, color=gray40];\n";
    }
  }
  out += "}\n";
  return out;
}

}  // namespace korvane
