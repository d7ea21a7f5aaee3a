// dot.hpp - the DOT text of a graph and the parameter text of its labels.
//
// One node line per node (label, doublecircle for outputs), one edge line
// per input, in id order. Labels show kind, name or descriptor, and the
// parameters as "{key=value, ...}" with floats in their shortest
// round-trip decimal form and strings as escaped, double-quoted literals.
#pragma once

#include <span>
#include <string>
#include <string_view>

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

}  // namespace korvane
