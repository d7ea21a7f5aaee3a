// terms.hpp - the terms the reduction pipeline exchanges with a rewrite engine.
//
// One term per live node: its operator symbol, the terms it consumes (all
// earlier in the list), and whether it is a boundary (anything but an Op).
// The engine answers with one representative term per class of equal terms.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "egraph/runner.hpp"

#include "egraph/symbol.hpp"
#include "egraph/symbol_scope.hpp"
#include "store/node.hpp"
#include "store/params.hpp"

namespace korvane {

/// A list of terms in dependency order: every child index of term i is
/// below i. Children are stored back to back (term i's children are
/// children[offsets[i] .. offsets[i+1])).
struct TermList {
  std::vector<egraph::Symbol> symbols;
  std::vector<uint8_t> boundary;
  std::vector<uint64_t> offsets{0};
  std::vector<uint32_t> children;

  size_t size() const { return symbols.size(); }
  std::span<const uint32_t> children_of(size_t i) const {
    return {children.data() + offsets[i], static_cast<size_t>(offsets[i + 1] - offsets[i])};
  }
  void push(egraph::Symbol symbol, bool is_boundary, std::span<const uint32_t> kids) {
    symbols.push_back(symbol);
    boundary.push_back(is_boundary);
    children.insert(children.end(), kids.begin(), kids.end());
    offsets.push_back(children.size());
  }
  void reserve(size_t terms, size_t child_count) {
    symbols.reserve(terms);
    boundary.reserve(terms);
    offsets.reserve(terms + 1);
    children.reserve(child_count);
  }
};

/// A node's kind, name and parameters as rule patterns name them (the
/// name unescaped); a stage lists its members' kinds and names instead.
struct NodeHead {
  NodeKind kind = NodeKind::Op;
  std::string name;
  ParamMap params;
  std::vector<std::pair<NodeKind, std::string>> members;
};

/// The engine's input: the terms and the root terms (the requested outputs,
/// in request order, duplicates kept).
struct TermGraph {
  TermList records;
  std::vector<uint32_t> roots;
  /// Filled only for an engine that `wants_heads`: the head of each symbol
  /// of the terms, indexed by the symbol's value (empty for the others).
  std::vector<std::optional<NodeHead>> heads;
};

/// The engine's answer: the representative of every class, in input order
/// with children rewritten to output indices; for each input root and each
/// input term, the output index of its class's representative.
struct CanonicalTerms {
  TermList records;
  std::vector<uint32_t> roots;
  std::vector<uint32_t> class_of;
  /// Set by an engine that never gives two equal records (same symbol, same
  /// children); the pipeline then takes the records as they are instead of
  /// hash-consing them again.
  bool distinct = false;
  /// The heads of symbols that rules made and no input term carries, for
  /// the boundary nodes the pipeline builds from them.
  std::vector<std::pair<egraph::Symbol, NodeHead>> made;
};

/// How an engine's rewrite run went, for a caller that asks: the times of
/// its phases in seconds, the runner's stop reason and iteration records,
/// and the scheduler's statistics per rule name, in name order.
struct RewriteRun {
  double load_time = 0;
  double saturation_time = 0;
  double extraction_time = 0;
  std::optional<egraph::StopReason> stop_reason;
  std::vector<egraph::Iteration> iterations;
  std::vector<std::pair<std::string, egraph::RuleStats>> rules;
  /// The limits the run was given (no time limit: nullopt).
  uint64_t iteration_limit = 0;
  uint64_t node_limit = 0;
  std::optional<double> time_limit;
};

/// Canonicalises a term graph whose symbols come from `symbols`, a scope
/// that `add_operators` prepared before the terms' symbols went in. The
/// answer must keep every child below its term, have one root per input
/// root and one class_of entry per input term, flag exactly the terms whose
/// symbol does not begin "op|" as boundaries, and give boundary terms only
/// symbols of input terms. With `run` given, the engine also reports how
/// its run went there.
class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  /// Adds the engine's own operators to `symbols`, a fresh scope.
  virtual void add_operators(egraph::SymbolScope&) const {}
  /// Whether the engine reads the input's `heads`.
  virtual bool wants_heads() const { return false; }
  virtual CanonicalTerms canonicalize(const TermGraph& input, egraph::SymbolScope& symbols,
                                      RewriteRun* run) const = 0;
};

}  // namespace korvane
