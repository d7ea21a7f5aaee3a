// user_rules.hpp - rewrite rules that users state, compiled once and
// instantiated over the symbols of each reduction.
//
// A rule's patterns name nodes by kind, name and parameters. A pattern node
// whose parameters are all literals names exactly one node symbol, so the
// rule becomes one rewrite of the engine as it stands. A parameter variable
// instead stands for every value recorded under that key: such a rule is
// instantiated once per consistent binding of its parameter variables to
// the symbols that one reduction holds, found through an index of those
// symbols by kind and name, so no match ever parses a symbol.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "egraph/pattern.hpp"
#include "egraph/symbol_scope.hpp"
#include "optimizer/rule_text.hpp"
#include "optimizer/terms.hpp"

namespace korvane {

/// The limits a reduction with user rules runs under.
struct RuleLimits {
  uint64_t iteration_limit = 12;
  std::optional<uint64_t> node_limit;      ///< none: 4 nodes per term plus 1024
  std::optional<double> time_limit = 5.0;  ///< seconds; none: the run has no time limit
};

/// What a node costs when a class's representative is chosen: 1 unless its
/// kind and name are listed. A stage costs what its members cost.
class CostTable {
 public:
  /// Sets the cost of nodes of `kind` named `name` (empty for the kinds
  /// without a name). Costs are positive and finite.
  void set(NodeKind kind, std::string_view name, double cost);
  double cost(NodeKind kind, std::string_view name) const;
  double cost(const NodeHead& head) const;
  /// The listed costs in the order they were set.
  const std::vector<std::pair<std::pair<NodeKind, std::string>, double>>& listed() const { return listed_; }

 private:
  static std::string key(NodeKind kind, std::string_view name);

  boost::unordered_flat_map<std::string, size_t> position_;  ///< by key: the cost's place in `listed_`
  std::vector<std::pair<std::pair<NodeKind, std::string>, double>> listed_;
};

/// A compiled rule set: the rules in order, their costs and limits.
/// Immutable, so reductions on many threads share one.
class UserRules {
 public:
  UserRules(std::vector<ParsedRule> rules, CostTable costs, RuleLimits limits)
      : rules_(std::move(rules)), costs_(std::move(costs)), limits_(limits) {}

  const std::vector<ParsedRule>& rules() const { return rules_; }
  const CostTable& costs() const { return costs_; }
  const RuleLimits& limits() const { return limits_; }

 private:
  std::vector<ParsedRule> rules_;
  CostTable costs_;
  RuleLimits limits_;
};

/// A rule set's rewrites over the symbols of one reduction.
struct RuleInstances {
  std::vector<egraph::Rewrite> rewrites;
  /// Per rewrite: the position of the user rule it instantiates.
  std::vector<uint32_t> owner;
  /// Heads of the symbols the appliers name that `heads` did not hold.
  std::vector<std::pair<egraph::Symbol, NodeHead>> made;
};

/// Most instances one rule gets in one reduction; the bindings past it are
/// not tried (the rule then merges less, never anything unsound).
inline constexpr size_t kMaxInstancesPerRule = 4096;

/// Instantiates `rules` over `scope`: the patterns' symbols are interned in
/// it, and parameter variables are bound through `heads` (per symbol value
/// of the scope, the head of the recorded nodes with that symbol).
RuleInstances instantiate(const UserRules& rules, egraph::SymbolScope& scope,
                          const std::vector<std::optional<NodeHead>>& heads);

/// The node symbol of `head` (an Op, Source, Reduction, Exchange or Join):
/// the text the pipeline gives a recorded node with that head.
std::string head_symbol(const NodeHead& head);

/// The name a rewrite instance of rule `name` carries in the runner: the
/// rule's name for the first, "name#k" for the others.
std::string instance_name(std::string_view name, size_t k);
/// The user rule's name of an instance name.
std::string_view rule_of_instance(std::string_view instance);

}  // namespace korvane
