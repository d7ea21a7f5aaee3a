// saturation_engine.cpp - the rewrite engine.
#include "optimizer/saturation_engine.hpp"

#include <algorithm>
#include <string>

#include "common/internal_error.hpp"
#include "common/lap.hpp"
#include "egraph/load.hpp"
#include "egraph/runner.hpp"
#include "optimizer/extraction.hpp"

namespace korvane {

using egraph::ClassId;
using egraph::Symbol;

namespace {

egraph::Rewrite make_rule(const std::string& name, const std::string& searcher, const std::string& applier) {
  auto rule = egraph::Rewrite::parse(name, searcher, applier);
  if (!rule) throw InternalError(std::string("bad built-in rewrite rule: ").append(rule.error()));
  return std::move(rule).value();
}

// Concatenates its arguments (appending keeps g++ 12's -Wrestrict quiet,
// which misfires on `"literal" + std::string`).
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (out.append(parts), ...);
  return out;
}

// The rules' operators, in the order in which a seeded scope holds them.
const std::vector<std::string>& rule_operators() {
  static const std::vector<std::string> ops = [] {
    std::vector<std::string> texts;
    for (std::string_view op : kCommutativeOps) texts.push_back(cat("op|", op));
    for (std::string_view identity : kIdentitySymbols) texts.emplace_back(identity);
    return texts;
  }();
  return ops;
}

void seed(egraph::SymbolScope& symbols) {
  check(symbols.size() == 0, "the engine's operators go first into a fresh scope");
  for (const std::string& op : rule_operators()) symbols.intern(op);
}

// The twelve rules, parsed once per process, with the operators they have
// in every seeded scope.
std::vector<egraph::Rewrite> make_rules() {
  std::vector<egraph::Rewrite> parsed;
  for (std::string_view op : kCommutativeOps) {
    parsed.push_back(make_rule(cat("commute-", op), cat("(op|", op, " ?a ?b)"), cat("(op|", op, " ?b ?a)")));
  }
  int i = 0;
  for (std::string_view identity : kIdentitySymbols) {
    parsed.push_back(make_rule(cat("identity-", std::to_string(i++)), cat("(", identity, " ?x)"), "?x"));
  }
  egraph::SymbolScope layout;
  seed(layout);
  std::vector<egraph::Rewrite> rules;
  for (const egraph::Rewrite& rule : parsed) rules.push_back(egraph::scoped(rule, layout));
  check(layout.size() == rule_operators().size(), "a rule operator outside the seeded ones");
  return rules;
}

// The runner's records and the scheduler's statistics, for a caller that
// asked how the run went.
void record_run(egraph::Runner& runner, RewriteRun& run) {
  run.stop_reason = runner.stop_reason();
  run.iteration_limit = runner.iteration_limit();
  run.node_limit = runner.node_limit();
  if (runner.time_limit() != std::chrono::nanoseconds::max()) {
    run.time_limit = std::chrono::duration<double>(runner.time_limit()).count();
  }
  run.iterations = runner.iterations();
  for (const auto& [name, stats] : runner.scheduler().stats()) run.rules.emplace_back(egraph::resolve(name), stats);
  std::sort(run.rules.begin(), run.rules.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
}

// Folds the records of a user rule's instances ("name#k") into the rule's
// own name: matches and bans add up, the iterations passed on are those of
// its busiest instance, and a ban ends when its last instance's ends.
void merge_instances(RewriteRun& run) {
  for (egraph::Iteration& it : run.iterations) {
    std::vector<std::pair<Symbol, std::uint64_t>> merged;
    for (const auto& [rule, changes] : it.applied) {
      const std::string_view text = egraph::resolve(rule);
      const Symbol owner = egraph::intern(rule_of_instance(text));
      auto found = std::find_if(merged.begin(), merged.end(), [&](const auto& e) { return e.first == owner; });
      if (found == merged.end()) {
        merged.emplace_back(owner, changes);
      } else {
        found->second += changes;
      }
    }
    it.applied = std::move(merged);
  }
  std::vector<std::pair<std::string, egraph::RuleStats>> merged;
  for (auto& [name, stats] : run.rules) {
    const std::string_view owner = rule_of_instance(name);
    auto found = std::find_if(merged.begin(), merged.end(), [&](const auto& e) { return e.first == owner; });
    if (found == merged.end()) {
      merged.emplace_back(std::string(owner), stats);
      continue;
    }
    found->second.times_applied = std::max(found->second.times_applied, stats.times_applied);
    found->second.times_banned += stats.times_banned;
    found->second.banned_until = std::max(found->second.banned_until, stats.banned_until);
  }
  run.rules = std::move(merged);
}

// Loads every term into one e-graph (ids[i] is the class of term i) and
// saturates it with `rules` under `limits`. Whatever ends the run, the
// merges it made are sound.
egraph::Runner saturate(const TermList& in, const std::vector<egraph::Rewrite>& rules, const RuleLimits& limits,
                        std::vector<ClassId>& ids, RewriteRun* run, Lap& lap) {
  egraph::EGraph graph;
  ids = egraph::add_terms(
      graph, in.size(), [&](size_t i) { return in.symbols[i]; }, [&](size_t i) { return in.children_of(i); });
  egraph::Runner runner;
  runner.set_egraph(std::move(graph))
      .set_iteration_limit(limits.iteration_limit)
      .set_node_limit(limits.node_limit ? *limits.node_limit : 4 * in.size() + 1024)
      .set_time_limit(limits.time_limit ? std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::duration<double>(*limits.time_limit))
                                        : std::chrono::nanoseconds::max());
  if (run != nullptr) run->load_time = lap.next();
  runner.run(rules);
  if (run != nullptr) {
    run->saturation_time = lap.next();
    record_run(runner, *run);
  }
  return runner;
}

}  // namespace

SaturationEngine::SaturationEngine(const UserRules* user) {
  static const std::vector<egraph::Rewrite> rules = make_rules();
  rules_ = &rules;
  if (user != nullptr && !user->rules().empty()) user_ = user;
}

void SaturationEngine::add_operators(egraph::SymbolScope& symbols) const { seed(symbols); }

CanonicalTerms SaturationEngine::canonicalize(const TermGraph& input, egraph::SymbolScope& symbols,
                                              RewriteRun* run) const {
  // The rules carry the operators of a seeded scope.
  check(symbols.size() >= rule_operators().size() && symbols.resolve(Symbol(1)) == rule_operators().front(),
        "terms from a scope the engine did not seed");
  if (user_ != nullptr) return with_user_rules(input, symbols, run);

  const TermList& in = input.records;
  const size_t n = in.size();
  Lap lap(run != nullptr);
  std::vector<ClassId> ids;
  const egraph::Runner runner = saturate(in, *rules_, RuleLimits{kIterationLimit, std::nullopt, 5.0}, ids, run, lap);
  const egraph::EGraph& saturated = runner.egraph();

  // The first term of each class in input order represents it.
  CanonicalTerms out;
  std::vector<uint32_t> index_of_class(saturated.id_count(), UINT32_MAX);
  std::vector<ClassId> kids;
  out.class_of.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const ClassId c = saturated.find(ids[i]);
    uint32_t& index = index_of_class[c];
    if (index == UINT32_MAX) {
      kids.clear();
      // A child is an earlier term (add_terms checked), whose class already
      // has its index.
      for (uint32_t child : in.children_of(i)) kids.push_back(out.class_of[child]);
      index = static_cast<uint32_t>(out.records.size());
      out.records.push(in.symbols[i], in.boundary[i] != 0, kids);
    }
    out.class_of[i] = index;
  }
  out.roots.reserve(input.roots.size());
  for (uint32_t r : input.roots) out.roots.push_back(out.class_of[r]);
  // Every run ends with a rebuild, after which no two classes hold equal
  // nodes; a record is a node of its class over its children's classes.
  out.distinct = true;
  if (run != nullptr) run->extraction_time = lap.next();
  return out;
}

// The built-in rules and the user's instances under one runner, then the
// cheapest terms by the user's costs.
CanonicalTerms SaturationEngine::with_user_rules(const TermGraph& input, egraph::SymbolScope& symbols,
                                                 RewriteRun* run) const {
  Lap lap(run != nullptr);
  RuleInstances instances = instantiate(*user_, symbols, input.heads);
  std::vector<egraph::Rewrite> rules = *rules_;
  rules.insert(rules.end(), instances.rewrites.begin(), instances.rewrites.end());
  std::vector<ClassId> ids;
  const egraph::Runner runner = saturate(input.records, rules, user_->limits(), ids, run, lap);
  if (run != nullptr) merge_instances(*run);

  // Costs per operator: recorded heads, then the heads the rules made.
  std::vector<double> costs(symbols.size() + 1, 1.0);
  for (size_t s = 0; s < input.heads.size() && s < costs.size(); ++s) {
    if (input.heads[s]) costs[s] = user_->costs().cost(*input.heads[s]);
  }
  for (const auto& [symbol, head] : instances.made) costs[symbol.raw()] = user_->costs().cost(head);
  CanonicalTerms out = extract_cheapest(
      runner.egraph(), input.records, ids, input.roots,
      [&](Symbol op) { return op.raw() < costs.size() ? costs[op.raw()] : 1.0; }, symbols);
  out.made = std::move(instances.made);
  if (run != nullptr) run->extraction_time = lap.next();
  return out;
}

CanonicalTerms PassThroughEngine::canonicalize(const TermGraph& input, egraph::SymbolScope&, RewriteRun*) const {
  CanonicalTerms out;
  out.records = input.records;
  out.roots = input.roots;
  out.class_of.resize(input.records.size());
  for (size_t i = 0; i < out.class_of.size(); ++i) out.class_of[i] = static_cast<uint32_t>(i);
  return out;
}

}  // namespace korvane
