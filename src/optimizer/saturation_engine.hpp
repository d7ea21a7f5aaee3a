// saturation_engine.hpp - the rewrite engine: equality saturation with
// twelve sound rules.
//
// The terms go into one e-graph, the rules run until saturation or a limit
// (12 iterations, 4 nodes per term plus 1024, 5 seconds), and every class is
// read back as the first of its terms in input order. Eight rules commute a
// binary operator (add, mul, and, or, eq, ne, maximum, minimum); four remove
// an add of 0.0 or a multiply by 1.0 on either side.
#pragma once

#include <vector>

#include "egraph/pattern.hpp"
#include "optimizer/terms.hpp"
#include "optimizer/user_rules.hpp"

namespace korvane {

/// The four node symbols of identity operators (add 0.0 and mul 1.0, each
/// with the scalar on the right or the left).
inline constexpr std::string_view kIdentitySymbols[] = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

/// The operators whose two operands commute.
inline constexpr std::string_view kCommutativeOps[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

/// The rewrite engine. Its rules are parsed once per process and shared by
/// every engine; their operators are the first twelve symbols of each scope
/// the engine seeds. Immutable after construction.
class SaturationEngine final : public RewriteEngine {
 public:
  static constexpr uint64_t kIterationLimit = 12;

  /// An engine with the twelve rules, then `user`'s rules (if any) under
  /// the same runner and scheduler, with `user`'s limits and extraction by
  /// its costs. Without user rules every class is read back as today: the
  /// first of its terms in input order.
  explicit SaturationEngine(const UserRules* user = nullptr);
  void add_operators(egraph::SymbolScope& symbols) const override;
  bool wants_heads() const override { return user_ != nullptr; }
  CanonicalTerms canonicalize(const TermGraph& input, egraph::SymbolScope& symbols,
                              RewriteRun* run) const override;

  const std::vector<egraph::Rewrite>& rules() const { return *rules_; }

 private:
  CanonicalTerms with_user_rules(const TermGraph& input, egraph::SymbolScope& symbols, RewriteRun* run) const;

  const std::vector<egraph::Rewrite>* rules_;
  const UserRules* user_ = nullptr;  ///< null when there are no user rules
};

/// An engine that rewrites nothing: its answer is its input.
class PassThroughEngine final : public RewriteEngine {
 public:
  CanonicalTerms canonicalize(const TermGraph& input, egraph::SymbolScope& symbols,
                              RewriteRun* run) const override;
};

}  // namespace korvane
