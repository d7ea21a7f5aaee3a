// pattern.cpp - sharing, searching, instantiating and rule creation.
//
// Searching walks the candidate classes and runs the pattern's program on
// each until the limit is used up; applying instantiates the applier for
// each substitution and merges it into the matched class.
#include "egraph/pattern.hpp"

#include <algorithm>
#include <map>

#include <boost/container/small_vector.hpp>

#include "common/internal_error.hpp"
#include "common/lookahead.hpp"
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

Pattern::Pattern(const FlatTerm<PatternNode>& term) : shape_(share_nodes(term)), program_(compile(shape_)) {
  // A root operator over distinct variables compiles to a single Bind, and
  // its variables take that Bind's output registers.
  if (program_.instructions.size() == 1) {
    if (const Bind* bind = std::get_if<Bind>(&program_.instructions[0])) {
      single_bind_ = bind->i == 0 && program_.subst.size() == bind->node.children.size();
      for (const auto& [var, reg] : program_.subst) {
        single_bind_ = single_bind_ && reg >= bind->out && reg - bind->out < bind->node.children.size();
      }
    }
  }
  one_node_ = !shape_.root().is_var() &&
              std::all_of(shape_.begin(), shape_.end() - 1, [](const PatternNode& node) { return node.is_var(); });
}

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
  return ClassMatches{.class_id = class_id, .substitutions = std::move(found)};
}

std::vector<ClassMatches> Pattern::search_with_limit(const EGraph& egraph, std::uint64_t limit,
                                                     const Pattern* applier) const {
  std::vector<ClassMatches> matches;
  MatchMachine machine;
  Substitutions found;
  auto visit = [&](ClassId class_id) {
    machine.run(program_, egraph, class_id, limit, found);
    if (found.empty()) return;
    limit -= found.size();
    matches.push_back(ClassMatches{.class_id = class_id, .substitutions = std::move(found)});
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
  if (limit == 0 || egraph.kind_index_empty()) return matches;
  if (!egraph.is_clean()) throw InternalError("Tried to search a dirty e-graph!");
  const std::span<const ClassId> candidates = egraph.classes_with_op(shape_.root().as_enode().op);
  // At most one entry per candidate, and at most `limit` entries.
  matches.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(candidates.size(), limit)));
  // The candidates are sparse in the class table: fetch each one's record
  // well ahead, then its node list (and for the machine, which finds the
  // root first, the union-find entry).
  const std::size_t count = candidates.size();
  auto hint = [&](std::size_t k) {
    if (const ClassId* next = ahead(candidates, k, lookahead::kSearchRecord)) egraph.prefetch_class(*next);
    if (const ClassId* next = ahead(candidates, k, lookahead::kSearchNodes)) egraph.prefetch_nodes(*next);
  };
  if (!single_bind_) {
    for (std::size_t k = 0; k < count && limit > 0; ++k) {
      if (const ClassId* next = ahead(candidates, k, lookahead::kSearchRecord)) egraph.prefetch_id(*next);
      hint(k);
      visit(candidates[k]);
    }
    return matches;
  }

  // One Bind of the root, every child a distinct variable: what the machine
  // would do, without its interpretation. Each node of the root's op and
  // arity yields the substitution of its children. Running such patterns on
  // the machine instead, without the present marks, made reduce of the 1M
  // traced graph 1.20x slower in a fresh process after recording.
  const Bind& bind = std::get<Bind>(program_.instructions[0]);
  // A one-node applier's instance has the matched node's children in some
  // order: `picks` says which, so its presence in the class (whose nodes
  // are hot here) is a lookup in the sorted node list.
  constexpr std::size_t kMostPicks = 4;
  std::uint32_t picks[kMostPicks];
  std::size_t pick_count = 0;
  const bool mark = applier != nullptr && applier->one_node_ && applier->shape_.root().children().size() <= kMostPicks;
  if (mark) {
    for (ClassId position : applier->shape_.root().children()) {
      const Var var = applier->shape_[position].as_var();
      auto reg = std::find_if(program_.subst.begin(), program_.subst.end(),
                              [&](const auto& entry) { return entry.first == var; });
      check(reg != program_.subst.end(), "applier variable not bound by the searcher");
      picks[pick_count++] = reg->second - bind.out;
    }
  }
  const Symbol applier_op = mark ? applier->shape_.root().as_enode().op : Symbol();
  auto holds = [&](const ClassRecord& record, const SymbolLang& node) {
    ClassId children[kMostPicks];
    for (std::size_t j = 0; j < pick_count; ++j) children[j] = node.children[picks[j]];
    const std::span<const ClassId> wanted(children, pick_count);
    auto is_wanted = [&](const SymbolLang& held) {
      return held.op == applier_op && std::ranges::equal(held.children.span(), wanted, std::equal_to<>());
    };
    // Most classes hold a node or two: a scan beats a binary search.
    constexpr std::uint32_t kScan = 8;
    if (record.nodes.size() <= kScan) return std::ranges::any_of(record.nodes, is_wanted);
    auto at = std::lower_bound(record.nodes.begin(), record.nodes.end(), wanted, [&](const SymbolLang& held, auto) {
      if (held.op != applier_op) return held.op < applier_op;
      return std::lexicographical_compare(held.children.begin(), held.children.end(), wanted.begin(), wanted.end());
    });
    return at != record.nodes.end() && is_wanted(*at);
  };
  for (std::size_t k = 0; k < count && limit > 0; ++k) {
    hint(k);
    // A clean e-graph lists only roots by operator.
    const ClassRecord& record = egraph.root_class(candidates[k]);
    ClassMatches* match = nullptr;
    bind_nodes(record, bind, [&](const SymbolLang& node) {
      if (match == nullptr) {
        match = &matches.emplace_back();
        match->class_id = candidates[k];
      }
      const std::uint32_t index = match->substitutions.size();
      if (mark && index < 32 && holds(record, node)) match->present |= std::uint32_t{1} << index;
      Substitution& subst = match->substitutions.emplace_back();
      subst.reserve(program_.subst.size());
      for (const auto& [var, reg] : program_.subst) subst.insert(var, node.children[reg - bind.out]);
      return --limit == 0;
    });
  }
  return matches;
}

ClassId Pattern::instantiate(EGraph& egraph, const Substitution& subst) const {
  boost::container::small_vector<ClassId, 8> ids;
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

void Pattern::prefetch_apply(const EGraph& egraph, const Substitution& subst, ClassId class_id) const {
  const PatternNode& root = shape_.root();
  if (root.is_var()) {
    if (auto bound = subst.get(root.as_var())) egraph.prefetch_union(*bound, class_id);
    return;
  }
  egraph.prefetch_class(class_id);
  // The nodes whose children are all variables: their instances' children
  // are known before anything is added.
  ClassId children[4];
  for (const PatternNode& node : shape_) {
    if (node.is_var() || node.children().size() > 4) continue;
    std::size_t k = 0;
    for (ClassId position : node.children()) {
      const PatternNode& child = shape_[position];
      if (!child.is_var()) break;
      auto bound = subst.get(child.as_var());
      if (!bound) break;
      children[k++] = *bound;
    }
    if (k == node.children().size()) egraph.prefetch_add(node.as_enode().op, {children, k});
  }
}

std::vector<ClassId> Pattern::apply_matches(EGraph& egraph, const std::vector<ClassMatches>& matches) const {
  std::vector<ClassId> changed;
  // A substitution marked present whose classes are all still roots would
  // add a node the memo holds, in the matched class, and merge that class
  // with itself: nothing to do.
  auto still_present = [&](const ClassMatches& match, std::uint32_t index) {
    if (!match.marked_present(index)) return false;
    for (const Binding& binding : match.substitutions[index]) {
      if (egraph.find(binding.id) != binding.id) return false;
    }
    return true;
  };
  // Each application reads a few scattered records (memo slot, classes);
  // hinting them a few substitutions ahead overlaps those misses: first the
  // bound ids' union-find entries, then (once those arrived) the records
  // found through them. A present one will most likely only read the
  // union-find.
  struct Application {
    const ClassMatches* match;
    std::uint32_t index;
  };
  std::vector<Application> order;
  for (const ClassMatches& match : matches) {
    for (std::uint32_t index = 0; index < match.substitutions.size(); ++index) order.push_back({&match, index});
  }
  const std::span<const Application> applications(order);
  for (std::size_t k = 0; k < applications.size(); ++k) {
    if (const Application* next = ahead(applications, k, lookahead::kApplyIds)) {
      egraph.prefetch_id(next->match->class_id);
      for (const Binding& binding : next->match->substitutions[next->index]) egraph.prefetch_id(binding.id);
    }
    if (const Application* next = ahead(applications, k, lookahead::kApplyRecords);
        next != nullptr && !next->match->marked_present(next->index)) {
      prefetch_apply(egraph, next->match->substitutions[next->index], next->match->class_id);
    }
    const auto [match, index] = applications[k];
    if (still_present(*match, index)) continue;
    const ClassId id = instantiate(egraph, match->substitutions[index]);
    if (egraph.union_(id, match->class_id)) changed.push_back(id);
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
