// term.hpp - pattern variables, flat terms and the pattern-text parser.
//
// `parse_term` turns a pattern text such as "(op|add ?a ?b)" into a FlatTerm
// of PatternNode: nodes listed bottom-up, children as positions of earlier
// nodes, the root last. Texts beginning with '?' (and longer than that) are
// variables; every other text is an operator.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/result.hpp"
#include "egraph/node.hpp"
#include "egraph/sexp.hpp"
#include "egraph/symbol.hpp"

namespace korvane::egraph {

/// A pattern variable: the symbol of a text of at least two bytes that
/// begins with '?'. Its text form is that text.
struct Var {
  Symbol symbol;
  friend constexpr bool operator==(Var, Var) noexcept = default;
  friend constexpr std::strong_ordering operator<=>(Var, Var) noexcept = default;
};

/// The variable's text, question mark included.
inline std::string_view to_string(Var var) { return resolve(var.symbol); }

/// A text that is not a variable.
struct MissingQuestionMark {
  std::string text;
  friend bool operator==(const MissingQuestionMark&, const MissingQuestionMark&) = default;
};

/// The variable named by `text`, or MissingQuestionMark.
Result<Var, MissingQuestionMark> parse_var(std::string_view text);

/// One node of a pattern's flat term: an operator node whose children are
/// positions in the term, or a variable.
class PatternNode {
 public:
  /// An operator node.
  static PatternNode enode(SymbolLang node) { return PatternNode(std::move(node)); }
  /// A variable.
  static PatternNode var(Var var) { return PatternNode(var); }

  bool is_var() const noexcept { return std::holds_alternative<Var>(value_); }
  /// The variable; asking an operator node is an internal error.
  Var as_var() const;
  /// The operator node; asking a variable is an internal error.
  const SymbolLang& as_enode() const;
  SymbolLang& as_enode();
  /// The children's positions (none for a variable).
  std::span<const ClassId> children() const noexcept;

  friend bool operator==(const PatternNode&, const PatternNode&) = default;
  friend std::strong_ordering operator<=>(const PatternNode& a, const PatternNode& b);

 private:
  explicit PatternNode(SymbolLang node) : value_(std::move(node)) {}
  explicit PatternNode(Var var) : value_(var) {}
  std::variant<SymbolLang, Var> value_;
};

/// A term as a list of nodes in which every child is the position of an
/// earlier node; the root is the last node.
template <class L>
class FlatTerm {
 public:
  FlatTerm() = default;
  explicit FlatTerm(std::vector<L> nodes) : nodes_(std::move(nodes)) {}

  /// Appends `node` and returns its position.
  ClassId add(L node) {
    nodes_.push_back(std::move(node));
    return static_cast<ClassId>(nodes_.size() - 1);
  }

  std::size_t size() const noexcept { return nodes_.size(); }
  bool empty() const noexcept { return nodes_.empty(); }
  const L& operator[](std::size_t i) const noexcept { return nodes_[i]; }
  const L& root() const noexcept { return nodes_.back(); }
  const std::vector<L>& nodes() const noexcept { return nodes_; }
  auto begin() const noexcept { return nodes_.begin(); }
  auto end() const noexcept { return nodes_.end(); }

  friend bool operator==(const FlatTerm&, const FlatTerm&) = default;

 private:
  std::vector<L> nodes_;
};

/// The pattern term as an s-expression text, e.g. "(op|add ?a ?b)".
std::string to_string(const FlatTerm<PatternNode>& term);

/// A variable text headed a list with arguments; carries the operator text.
struct UnexpectedVar {
  std::string op;
  friend bool operator==(const UnexpectedVar&, const UnexpectedVar&) = default;
};
/// A text was not a valid variable.
struct BadVar {
  MissingQuestionMark error;
  friend bool operator==(const BadVar&, const BadVar&) = default;
};
/// Failure to build a pattern node from an operator text.
using PatternNodeError = std::variant<UnexpectedVar, BadVar>;

/// The input is empty after trimming, or a list is empty.
struct EmptySexp {
  friend bool operator==(const EmptySexp&, const EmptySexp&) = default;
};
/// The first element of a list is itself a list; carries that element.
struct HeadList {
  Sexp head;
  friend bool operator==(const HeadList&, const HeadList&) = default;
};
/// Building a node from an operator text failed.
struct BadOp {
  PatternNodeError error;
  friend bool operator==(const BadOp&, const BadOp&) = default;
};
/// The reader failed.
struct BadSexp {
  ReaderError error;
  friend bool operator==(const BadSexp&, const BadSexp&) = default;
};
/// Failure of `parse_term`.
using TermParseError = std::variant<EmptySexp, HeadList, BadOp, BadSexp>;

/// A one-line description of the error.
std::string to_string(const PatternNodeError& error);
std::string to_string(const TermParseError& error);

/// The pattern node for operator text `op` with child positions `children`:
/// a variable when `op` is longer than one byte and begins with '?' (which
/// must then have no children), otherwise an operator node.
Result<PatternNode, PatternNodeError> node_from_op(std::string_view op, std::span<const ClassId> children);

/// Parses a pattern text into a flat term (identical subterms not shared).
Result<FlatTerm<PatternNode>, TermParseError> parse_term(std::string_view text);

/// `text` without leading and trailing Unicode white space.
std::string_view trim_unicode_space(std::string_view text) noexcept;

}  // namespace korvane::egraph
