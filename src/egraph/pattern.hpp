// pattern.hpp - patterns as searchers and appliers, and rewrite rules.
//
// A Pattern is a flat term whose equal nodes are shared, compiled once into
// a matching program. As a searcher it finds the classes holding instances
// of it with the classes its variables stand for; as an applier it builds
// its instance for such a binding and merges it into the matched class. A
// Rewrite pairs the two under a name.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "egraph/egraph.hpp"
#include "egraph/program.hpp"
#include "egraph/substitution.hpp"
#include "egraph/term.hpp"

namespace korvane::egraph {

/// The matches of a pattern in one class.
struct ClassMatches {
  /// The searched class.
  ClassId class_id;
  /// Bit k set: substitution k's instance of the applier that the search
  /// was given was already a node of the class (only k < 32 are marked).
  /// Applying it changes nothing while its classes are still roots. Marked
  /// while the search holds the class's nodes: without the marks, reduce
  /// and finalize of 1M traced nodes took 1.13x and 1.09x as long (8
  /// interleaved rounds); looking the instance up when applying instead,
  /// 1.05x and 1.06x (12 rounds).
  std::uint32_t present = 0;
  /// Non-empty, in the order found.
  Substitutions substitutions;

  /// True when substitution `index` is marked present.
  bool marked_present(std::uint32_t index) const noexcept { return index < 32 && (present >> index & 1) != 0; }
};

/// `term` with equal nodes kept once (first occurrences, in order) and every
/// child position remapped; the root stays last.
FlatTerm<PatternNode> share_nodes(const FlatTerm<PatternNode>& term);

/// An immutable compiled pattern. May be searched and applied any number of
/// times, on any e-graph, and shared between threads.
class Pattern {
 public:
  /// Shares equal nodes of `term` (non-empty) and compiles it.
  explicit Pattern(const FlatTerm<PatternNode>& term);

  /// Parses, shares and compiles a pattern text.
  static Result<Pattern, TermParseError> parse(std::string_view text);

  /// The shared term: no two equal nodes, children first, root last.
  const FlatTerm<PatternNode>& shape() const noexcept { return shape_; }
  /// The compiled matcher.
  const Program& program() const noexcept { return program_; }
  /// The variables, each once, in order of first position in the shape.
  std::vector<Var> vars() const;

  /// Every match in a clean e-graph.
  std::vector<ClassMatches> search(const EGraph& egraph) const {
    return search_with_limit(egraph, std::numeric_limits<std::uint64_t>::max());
  }
  /// Matches holding at most `limit` substitutions in all. Candidates are
  /// every class when the root is a variable, else the classes holding a
  /// node with the root's operator, in id order.
  /// With an `applier` (the rule's other side), marks the substitutions
  /// whose instance of it the class already holds; see
  /// ClassMatches::present.
  std::vector<ClassMatches> search_with_limit(const EGraph& egraph, std::uint64_t limit,
                                              const Pattern* applier = nullptr) const;
  /// The matches in `class_id`, at most `limit` of them, or nothing.
  std::optional<ClassMatches> search_class(const EGraph& egraph, ClassId class_id, std::uint64_t limit) const;

  /// Adds the pattern's instance under `subst` and returns its class (a
  /// variable root returns the bound id as stored). A variable that `subst`
  /// does not bind is an internal error.
  ClassId instantiate(EGraph& egraph, const Substitution& subst) const;
  /// For every substitution of every match, in order: instantiates and
  /// merges the instance (first) with the matched class. Returns the
  /// instance ids whose merge changed the e-graph. Matches marked present
  /// must come from a search given this pattern as applier.
  std::vector<ClassId> apply_matches(EGraph& egraph, const std::vector<ClassMatches>& matches) const;

  /// The pattern as text, e.g. "(op|add ?a ?b)".
  std::string to_string() const { return egraph::to_string(shape_); }

 private:
  /// Hints the records that applying `subst` to `class_id` will read.
  void prefetch_apply(const EGraph& egraph, const Substitution& subst, ClassId class_id) const;

  FlatTerm<PatternNode> shape_;
  Program program_;
  /// True when the program is one Bind of the root whose outputs are all
  /// the variables, which search runs without the machine.
  bool single_bind_ = false;
  /// True when the root is an operator whose children are all variables:
  /// an instance is one node, known before anything is added.
  bool one_node_ = false;
};

/// A named rewrite rule whose applier only uses variables that its searcher
/// binds. Immutable.
class Rewrite {
 public:
  /// The rule, or the text "Rewrite {name} refers to unbound var {var}" for
  /// the first applier variable the searcher does not bind.
  static Result<Rewrite, std::string> make(std::string_view name, Pattern searcher, Pattern applier);
  /// Like `make`, parsing both pattern texts; a parse error is reported as
  /// text too.
  static Result<Rewrite, std::string> parse(std::string_view name, std::string_view searcher,
                                            std::string_view applier);

  Symbol name() const noexcept { return name_; }
  const Pattern& searcher() const noexcept { return searcher_; }
  const Pattern& applier() const noexcept { return applier_; }

  /// The searcher's matches (see Pattern::search_with_limit).
  std::vector<ClassMatches> search_with_limit(const EGraph& egraph, std::uint64_t limit) const {
    return searcher_.search_with_limit(egraph, limit, &applier_);
  }
  std::vector<ClassMatches> search(const EGraph& egraph) const { return searcher_.search(egraph); }
  /// Applies `matches` with the applier (see Pattern::apply_matches).
  std::vector<ClassId> apply(EGraph& egraph, const std::vector<ClassMatches>& matches) const {
    return applier_.apply_matches(egraph, matches);
  }

 private:
  Rewrite(Symbol name, Pattern searcher, Pattern applier)
      : name_(name), searcher_(std::move(searcher)), applier_(std::move(applier)) {}

  Symbol name_;
  Pattern searcher_;
  Pattern applier_;
};

}  // namespace korvane::egraph
