// dot.hpp - the DOT text of a graph and the parameter text of its labels.
//
// One node line per node (label, doublecircle for outputs), one edge line
// per input, in id order. Labels show kind, name or descriptor, and the
// parameters as "{key=value, ...}" with floats in their shortest
// round-trip decimal form and strings as escaped, double-quoted literals.
// A drawing of a neighbourhood uses the same node and edge lines for the
// nodes it draws, and summarises what it leaves out.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/graph.hpp"
#include "store/params.hpp"

namespace korvane {

/// Appends `text` as a double-quoted literal: backslash, double quote, tab,
/// carriage return, line feed and NUL as \\ \" \t \r \n \0, every other
/// control character (U+0000-U+001F, U+007F-U+009F) as \u{hex} in lowercase
/// hex without leading zeros; everything else as it is.
void append_quoted(std::string& out, std::string_view text);

/// Appends the shortest decimal that reads back as `value`, never with an
/// exponent ("1", "0.5", "100000000000000000000", "-0"); "inf", "-inf",
/// and "NaN" for every NaN.
void append_float(std::string& out, double value);

/// Appends one parameter value as labels show it: Int in decimal, Float as
/// append_float, Bool as true/false, Str as append_quoted.
void append_param_text(std::string& out, const ParamRef& value);

/// Appends "{k=v, ...}" for the parameters of `map` in map order; keys as
/// they are.
void append_params_text(std::string& out, const PoolData& pools, std::span<const ParamSlot> map);

/// Appends `text` with every backslash doubled and every double quote
/// preceded by a backslash; nothing else changes.
void append_label_escaped(std::string& out, std::string_view text);

/// Appends the label of node `i` of `nodes` before escaping.
void append_label(std::string& out, const PoolData& pools, const NodeTable& nodes, size_t i);

/// The whole DOT text of `nodes`, ids in `outputs` drawn as double circles.
/// Every id in `outputs` must be below the node count.
std::string render_dot(const PoolData& pools, const NodeTable& nodes, std::span<const NodeId> outputs);

/// The consumers of every node of a table: for node i, the ids of the nodes
/// that read it, ascending, a node that reads i twice listed twice. Built
/// in two passes over the inputs; it does not follow later appends.
class ConsumerIndex {
 public:
  explicit ConsumerIndex(const NodeTable& nodes);
  std::span<const uint32_t> of(size_t i) const {
    return {ids_.data() + starts_[i], static_cast<size_t>(starts_[i + 1] - starts_[i])};
  }

 private:
  std::vector<uint64_t> starts_;  ///< node i's consumers are ids_[starts_[i], starts_[i + 1])
  std::vector<uint32_t> ids_;
};

/// The nodes at most `depth` input steps above any of `seeds` or at most
/// `depth` consumer steps below any of them, the seeds included, ascending.
/// The two directions are walked apart: a node reached from below is still
/// followed upwards, and the reverse. The walk ends early once neither
/// direction finds a new node. Every seed must be below the node count.
std::vector<uint32_t> neighbourhood(const NodeTable& nodes, const ConsumerIndex& consumers,
                                    std::span<const NodeId> seeds, uint64_t depth);

/// The DOT text of the neighbourhood of `seeds` (see `neighbourhood`):
/// the node lines of the nodes drawn and the edge lines between them,
/// exactly as `render_dot` writes them, in the same order; and for each
/// drawn node with inputs (consumers) that are not drawn, a grey summary
/// node "+N inputs" ("+N consumers", N the number of distinct such nodes,
/// with thousands separated by commas) tied to it by a dashed edge. With
/// every node drawn, the text is that of `render_dot`.
std::string render_dot_around(const PoolData& pools, const NodeTable& nodes, std::span<const NodeId> outputs,
                              std::span<const NodeId> seeds, uint64_t depth);

}  // namespace korvane
