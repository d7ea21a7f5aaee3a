// rule_text.hpp - the reader and checker of user-written rewrite rules.
//
// A rule text holds one rule a line, `NAME: SEARCHER => APPLIER` or
// `NAME: A <=> B` (both ways), with `#` comments. Patterns are variables
// `?x` or nodes `(HEAD ARG ...)`, a head being an Op name, `op:`, `source:`
// or `reduction:` with a name, `exchange` or `join`, optionally followed by
// a parameter list `{k=1, f=2.5, b=true, s="x", p=?v}`. The reader builds
// plain trees (ParsedRule) and checks what the engine relies on: every
// applier variable is bound by its searcher, no variable is both a class
// and a parameter variable, names are unique and not built-in, patterns
// stay within a depth and size budget. The first error in reading order is
// returned as the message the binding raises; nothing is returned partly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.hpp"
#include "store/node.hpp"
#include "store/params.hpp"

namespace korvane {

/// A parameter of a pattern node: a literal value or a variable.
struct RuleParam {
  std::string key;
  bool is_var = false;
  std::string var;               ///< the variable's name without '?', when is_var
  ParamTag tag = ParamTag::Int;  ///< the literal's type
  uint64_t bits = 0;             ///< Int (two's complement), Float (IEEE bits, NaN canonical), Bool (0/1)
  std::string str;               ///< a Str literal, unescaped UTF-8

  friend bool operator==(const RuleParam&, const RuleParam&) = default;
};

/// A node of a rule pattern: a class variable, or a head with parameters and argument patterns.
struct RuleNode {
  bool is_var = false;
  std::string var;                ///< without '?'
  NodeKind kind = NodeKind::Op;   ///< Op, Source, Reduction, Exchange or Join
  std::string name;               ///< Op, Source and Reduction; empty for Exchange and Join
  std::vector<RuleParam> params;  ///< sorted by key (byte order), keys distinct
  std::vector<RuleNode> children;

  friend bool operator==(const RuleNode&, const RuleNode&) = default;
};

/// One direction of a rule.
struct ParsedRule {
  std::string name;
  size_t line = 0;  ///< 1-based line of the text, or position of the triple
  RuleNode searcher;
  RuleNode applier;
};

/// A rule given as three strings: its name, searcher and applier patterns.
struct RuleTriple {
  std::string_view name, searcher, applier;
};

/// The rules of a text, in order (a `<=>` rule gives NAME, then NAME-rev), or the first error's message.
Result<std::vector<ParsedRule>, std::string> parse_rule_text(std::string_view text);

/// The same for triples.
Result<std::vector<ParsedRule>, std::string> parse_rule_triples(std::span<const RuleTriple> triples);

/// A pattern written back as text in the grammar above (canonical: params sorted, floats as shortest
/// round-trip text with a '.' or exponent, `inf`/`-inf`/`nan`, strings escaped); parsing it gives an
/// equal node. A node of a kind patterns cannot name (External, Stage) is an InternalError.
std::string to_text(const RuleNode& node);

/// A cost key as the `costs=` mapping names it: "exp", "op:exp", "reduction:sum", "source:x",
/// "exchange", "join"; or an error message "unknown kind prefix 'x'" / "malformed cost key '...'".
Result<std::pair<NodeKind, std::string>, std::string> parse_cost_key(std::string_view key);

}  // namespace korvane
