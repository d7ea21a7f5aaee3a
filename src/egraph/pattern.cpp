// pattern.cpp - sharing, searching, instantiating and rule creation.
//
// Searching walks the candidate classes and runs the pattern's program on
// each until the limit is used up; applying instantiates the applier for
// each substitution and merges it into the matched class.
#include "egraph/pattern.hpp"

#include <algorithm>
#include <map>

#include "common/internal_error.hpp"
#include "egraph/machine.hpp"

namespace korvane::egraph {

FlatTerm<PatternNode> share_nodes(const FlatTerm<PatternNode>& term) {
  FlatTerm<PatternNode> shared;
  std::vector<ClassId> moved_to(term.size());
  std::map<PatternNode, ClassId> kept;
  for (std::size_t position = 0; position < term.size(); ++position) {
    PatternNode node = term[position];
    if (!node.is_var()) {
      for (ClassId& child : node.as_enode().children) child = moved_to[child];
    }
    auto found = kept.find(node);
    if (found != kept.end()) {
      moved_to[position] = found->second;
      continue;
    }
    const ClassId at = shared.add(node);
    kept.emplace(std::move(node), at);
    moved_to[position] = at;
  }
  return shared;
}

Pattern::Pattern(const FlatTerm<PatternNode>& term) : shape_(share_nodes(term)), program_(compile(shape_)) {}

Result<Pattern, TermParseError> Pattern::parse(std::string_view text) {
  auto term = parse_term(text);
  if (!term) return Err(std::move(term).error());
  return Pattern(term.value());
}

std::vector<Var> Pattern::vars() const {
  std::vector<Var> vars;
  for (const PatternNode& node : shape_) {
    if (node.is_var() && std::find(vars.begin(), vars.end(), node.as_var()) == vars.end()) {
      vars.push_back(node.as_var());
    }
  }
  return vars;
}

std::optional<ClassMatches> Pattern::search_class(const EGraph& egraph, ClassId class_id, std::uint64_t limit) const {
  Substitutions found;
  MatchMachine().run(program_, egraph, class_id, limit, found);
  if (found.empty()) return std::nullopt;
  return ClassMatches{class_id, std::move(found)};
}

std::vector<ClassMatches> Pattern::search_with_limit(const EGraph& egraph, std::uint64_t limit) const {
  std::vector<ClassMatches> matches;
  MatchMachine machine;
  Substitutions found;
  auto visit = [&](ClassId class_id) {
    machine.run(program_, egraph, class_id, limit, found);
    if (found.empty()) return;
    limit -= found.size();
    matches.push_back(ClassMatches{class_id, std::move(found)});
    found.clear();
  };
  if (shape_.root().is_var()) {
    for (const ClassRecord& record : egraph.classes()) {
      if (limit == 0) break;
      visit(record.id);
    }
    return matches;
  }
  // Only classes holding a node with the root's operator can match, and the
  // per-operator list keeps the node-kind index's order, so the matches are
  // the same as over the whole index. The dirty check is made up front, as
  // the first class of the whole index would have made it.
  if (limit == 0 || egraph.kind_index().empty()) return matches;
  if (!egraph.is_clean()) throw InternalError("Tried to search a dirty e-graph!");
  const std::span<const ClassId> candidates = egraph.classes_with_op(shape_.root().as_enode().op);
  // The candidates are sparse in the class table; fetching a few records
  // ahead hides most of the memory latency.
  constexpr std::size_t kAhead = 8;
  for (std::size_t k = 0; k < std::min(kAhead, candidates.size()); ++k) egraph.prefetch_class(candidates[k]);
  for (std::size_t k = 0; k < candidates.size() && limit > 0; ++k) {
    if (k + kAhead < candidates.size()) egraph.prefetch_class(candidates[k + kAhead]);
    visit(candidates[k]);
  }
  return matches;
}

ClassId Pattern::instantiate(EGraph& egraph, const Substitution& subst) const {
  SmallVec<ClassId, 8> ids;
  for (const PatternNode& node : shape_) {
    if (node.is_var()) {
      ids.push_back(subst.at(node.as_var()));
      continue;
    }
    const SymbolLang& pattern_node = node.as_enode();
    SymbolLang instance{pattern_node.op, pattern_node.children};
    for (ClassId& child : instance.children) child = ids[child];
    ids.push_back(egraph.add(std::move(instance)));
  }
  return ids.back();
}

std::vector<ClassId> Pattern::apply_matches(EGraph& egraph, const std::vector<ClassMatches>& matches) const {
  std::vector<ClassId> changed;
  for (const ClassMatches& match : matches) {
    for (const Substitution& subst : match.substitutions) {
      const ClassId id = instantiate(egraph, subst);
      if (egraph.union_(id, match.class_id)) changed.push_back(id);
    }
  }
  return changed;
}

Result<Rewrite, std::string> Rewrite::make(std::string_view name, Pattern searcher, Pattern applier) {
  const Symbol symbol = intern(name);
  const std::vector<Var> bound = searcher.vars();
  for (Var var : applier.vars()) {
    if (std::find(bound.begin(), bound.end(), var) == bound.end()) {
      return Err("Rewrite " + std::string(name) + " refers to unbound var " + std::string(to_string(var)));
    }
  }
  return Rewrite(symbol, std::move(searcher), std::move(applier));
}

Result<Rewrite, std::string> Rewrite::parse(std::string_view name, std::string_view searcher,
                                            std::string_view applier) {
  auto lhs = Pattern::parse(searcher);
  if (!lhs) return Err(to_string(lhs.error()));
  auto rhs = Pattern::parse(applier);
  if (!rhs) return Err(to_string(rhs.error()));
  return make(name, std::move(lhs).value(), std::move(rhs).value());
}

}  // namespace korvane::egraph
