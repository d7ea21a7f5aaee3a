// program.hpp - matching programs and the compiler that builds them.
//
// A pattern compiles to a short list of instructions for a backtracking
// machine over e-classes: Bind enumerates a class's nodes of one shape,
// Compare tests two registers for the same class, and Lookup checks a fully
// bound subterm through the hash-cons table instead of enumerating.
#pragma once

#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "egraph/node.hpp"
#include "egraph/term.hpp"

namespace korvane::egraph {

/// Index into the matching machine's register list; register 0 holds the
/// class being searched.
using Reg = std::uint32_t;

/// One entry of a Lookup term: an operator node whose children are positions
/// of earlier entries, or a register whose class stands at this position.
class TermEntry {
 public:
  static TermEntry enode(SymbolLang node) { return TermEntry(std::move(node)); }
  static TermEntry reg(Reg reg) { return TermEntry(reg); }

  bool is_reg() const noexcept { return std::holds_alternative<Reg>(value_); }
  Reg as_reg() const noexcept { return std::get<Reg>(value_); }
  const SymbolLang& as_enode() const noexcept { return std::get<SymbolLang>(value_); }

  friend bool operator==(const TermEntry&, const TermEntry&) = default;

 private:
  explicit TermEntry(SymbolLang node) : value_(std::move(node)) {}
  explicit TermEntry(Reg reg) : value_(reg) {}
  std::variant<SymbolLang, Reg> value_;
};

/// For each node of the class in register `i` with `node`'s op and child
/// count, load its children into registers `out`, `out`+1, ... and go on.
/// `node`'s children are all 0; only its shape matters.
struct Bind {
  SymbolLang node;
  Reg i;
  Reg out;
  friend bool operator==(const Bind&, const Bind&) = default;
};

/// Go on only if registers `i` and `j` hold ids of the same class.
struct Compare {
  Reg i;
  Reg j;
  friend bool operator==(const Compare&, const Compare&) = default;
};

/// Go on only if the fully bound `term` (root last) exists in the e-graph
/// and its class is the class in register `i`.
struct Lookup {
  std::vector<TermEntry> term;
  Reg i;
  friend bool operator==(const Lookup&, const Lookup&) = default;
};

using Instruction = std::variant<Bind, Compare, Lookup>;

/// A compiled pattern: instructions run in order, and the register holding
/// each variable's class, in the order the variables got their registers.
struct Program {
  std::vector<Instruction> instructions;
  std::vector<std::pair<Var, Reg>> subst;
  friend bool operator==(const Program&, const Program&) = default;
};

/// Compiles `shape` (a flat term with no two equal nodes, root last).
/// Fully bound subterms become Lookups; otherwise nodes that bind the most
/// new variables, then smaller subterms, are matched first.
Program compile(const FlatTerm<PatternNode>& shape);

}  // namespace korvane::egraph
