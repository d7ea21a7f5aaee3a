// egraph_runner_test.cpp - the saturation loop and the back-off scheduler.
//
// Stop reasons with their payloads, where limits are checked, the exact
// match threshold and ban lengths, fast-forwarded bans, the duplicated-name
// warning, and the optimizer's twelve rules on a small traced graph.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/internal_error.hpp"
#include "egraph/runner.hpp"

namespace korvane::egraph {
namespace {

Rewrite rule(const char* name, const char* searcher, const char* applier) {
  auto made = Rewrite::parse(name, searcher, applier);
  if (!made) throw InternalError(made.error());
  return std::move(made).value();
}

/// Concatenates texts (written out to keep g++ 12's -Wrestrict quiet).
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view part : parts) text.append(part);
  return text;
}

SymbolLang node(const std::string& op, std::initializer_list<ClassId> children = {}) {
  return SymbolLang{intern(op), Children(children)};
}

/// A rule that adds two nodes in every iteration, forever.
Rewrite grower() { return rule("grow", "(h ?x)", "(h (k ?x))"); }

/// `count` leaves wrapped in `op`, plus h(seed) for the grower.
EGraph wrapped_leaves(const std::string& op, int count) {
  EGraph egraph;
  for (int i = 0; i < count; ++i) egraph.add(node(op, {egraph.add(node(cat({"leaf", std::to_string(i)})))}));
  egraph.add(node("h", {egraph.add(node("seed"))}));
  return egraph;
}

std::vector<std::pair<std::string, std::uint64_t>> applied(const Iteration& iteration) {
  std::vector<std::pair<std::string, std::uint64_t>> named;
  for (const auto& [name, count] : iteration.applied) named.emplace_back(std::string(resolve(name)), count);
  return named;
}

using Applied = std::vector<std::pair<std::string, std::uint64_t>>;

TEST(Runner, Defaults) {
  Runner runner;
  EXPECT_EQ(runner.iteration_limit(), 30u);
  EXPECT_EQ(runner.node_limit(), 10000u);
  EXPECT_EQ(runner.time_limit(), std::chrono::seconds(5));
}

TEST(Runner, SaturatesWhenNothingMatches) {
  Runner runner;
  runner.set_egraph(wrapped_leaves("f", 3));
  runner.run({rule("none", "(g ?x)", "(f ?x)")});
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason(Saturated{}));
  EXPECT_EQ(runner.iterations()[0].stop_reason, StopReason(Saturated{}));
  EXPECT_EQ(runner.iterations()[0].memo_size, 8u);
  EXPECT_EQ(runner.iterations()[0].class_count, 8u);
}

TEST(Runner, StopsAtTheIterationLimit) {
  Runner runner;
  runner.set_egraph(wrapped_leaves("f", 1)).set_iteration_limit(12);
  runner.run({grower()});
  EXPECT_EQ(runner.iterations().size(), 12u);
  EXPECT_EQ(runner.stop_reason(), StopReason(IterationLimit{12}));
  EXPECT_EQ(to_string(*runner.stop_reason()), "IterationLimit(12)");
  EXPECT_FALSE(runner.iterations().back().stop_reason.has_value()) << "the limit is found after the iteration";
  for (const Iteration& iteration : runner.iterations()) EXPECT_EQ(applied(iteration), (Applied{{"grow", 1}}));
}

TEST(Runner, NodeLimitAtTheStartSkipsSearchButRebuilds) {
  Runner runner;
  EGraph egraph = wrapped_leaves("f", 2);
  egraph.union_(0, 2);
  runner.set_egraph(std::move(egraph)).set_node_limit(3);
  runner.run({grower()});
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason(NodeLimit{6}));
  EXPECT_EQ(runner.iterations()[0].stop_reason, StopReason(NodeLimit{6}));
  EXPECT_TRUE(runner.egraph().is_clean());
  EXPECT_TRUE(runner.scheduler().stats().empty()) << "no rule was searched";
}

TEST(Runner, NodeLimitInsideApplyStillRebuilds) {
  Runner runner;
  runner.set_egraph(wrapped_leaves("f", 1)).set_node_limit(4);
  const Rewrite never = rule("never", "(f ?x)", "(h (k (k ?x)))");
  runner.run({grower(), never});
  ASSERT_EQ(runner.iterations().size(), 1u);
  EXPECT_EQ(runner.stop_reason(), StopReason(NodeLimit{6}));
  EXPECT_EQ(applied(runner.iterations()[0]), (Applied{{"grow", 1}})) << "the second rule is not applied";
  EXPECT_TRUE(runner.egraph().is_clean());
  EXPECT_EQ(runner.egraph().memo_size(), 6u);
}

struct BanCase {
  int matches;
  std::size_t applied_in;
};

class MatchLimit : public testing::TestWithParam<BanCase> {};

TEST_P(MatchLimit, OverLimitRulesAreBannedForFiveIterations) {
  Runner runner;
  runner.set_egraph(wrapped_leaves("f", GetParam().matches)).set_iteration_limit(7);
  const Rewrite wrap = rule("wrap", "(f ?x)", "(g ?x)");
  runner.run({wrap, grower()});
  ASSERT_EQ(runner.iterations().size(), 7u);
  const auto wrapped = static_cast<std::uint64_t>(GetParam().matches);
  for (std::size_t i = 0; i < 7; ++i) {
    const Applied expected = i == GetParam().applied_in ? Applied{{"wrap", wrapped}, {"grow", 1}} : Applied{{"grow", 1}};
    EXPECT_EQ(applied(runner.iterations()[i]), expected) << "iteration " << i;
  }
  const RuleStats& stats = runner.scheduler().stats().at(intern("wrap"));
  const bool banned = GetParam().applied_in > 0;
  EXPECT_EQ(stats.times_banned, banned ? 1u : 0u);
  EXPECT_EQ(stats.banned_until, banned ? 5u : 0u);
  // Searched in every iteration it was not banned; applied each time.
  EXPECT_EQ(stats.times_applied, banned ? 2u : 7u);
}

INSTANTIATE_TEST_SUITE_P(Scheduler, MatchLimit, testing::Values(BanCase{1000, 0}, BanCase{1001, 5}));

TEST(Runner, BansAreFastForwardedWhenAllElseIsQuiet) {
  EGraph egraph;
  for (int i = 0; i < 3000; ++i) {
    const ClassId leaf = egraph.add(node(cat({"leaf", std::to_string(i)})));
    if (i < 1001) egraph.add(node("f", {leaf}));
    egraph.add(node("p", {leaf}));
  }
  Runner runner;
  runner.set_egraph(std::move(egraph)).set_node_limit(100000);
  runner.run({rule("a", "(f ?x)", "(g ?x)"), rule("b", "(p ?x)", "(q ?x)")});
  // Both are banned at 0 until 5; fast-forwarded, a passes at 1 (threshold
  // 2000) while b is banned again until 11; fast-forwarded again, b passes
  // at 3 (threshold 4000).
  std::vector<Applied> expected = {{}, {{"a", 1001}}, {}, {{"b", 3000}}, {}};
  ASSERT_EQ(runner.iterations().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(applied(runner.iterations()[i]), expected[i]) << i;
  EXPECT_EQ(runner.stop_reason(), StopReason(Saturated{}));
  const auto& stats = runner.scheduler().stats();
  EXPECT_EQ(stats.at(intern("b")).times_banned, 2u);
  EXPECT_EQ(stats.at(intern("b")).banned_until, 2u);
}

TEST(BackoffScheduler, CanStopMovesBansForward) {
  // 2001 matches exceed the default limit of 1000 and, doubled, of 2000.
  BackoffScheduler scheduler;
  EGraph egraph = wrapped_leaves("f", 2001);
  egraph.rebuild();
  const Rewrite wrap = rule("wrap", "(f ?x)", "(g ?x)");
  EXPECT_TRUE(scheduler.can_stop(0)) << "nothing banned";
  EXPECT_TRUE(scheduler.search_rewrite(4, egraph, wrap).empty());
  EXPECT_EQ(scheduler.stats().at(wrap.name()).banned_until, 9u);
  EXPECT_FALSE(scheduler.can_stop(6));
  EXPECT_EQ(scheduler.stats().at(wrap.name()).banned_until, 6u);
  EXPECT_TRUE(scheduler.can_stop(6));
  // Second ban: threshold 2000, length 10.
  EXPECT_TRUE(scheduler.search_rewrite(6, egraph, wrap).empty());
  EXPECT_EQ(scheduler.stats().at(wrap.name()).banned_until, 16u);
}

TEST(Runner, DuplicatedNamesWarnAndShareStats) {
  Runner runner;
  runner.set_egraph(wrapped_leaves("f", 3)).set_iteration_limit(1);
  testing::internal::CaptureStderr();
  runner.run({rule("dup", "(f ?x)", "(g ?x)"), rule("solo", "(g ?x)", "(f ?x)"),
                                  rule("again", "(z ?x)", "?x"), rule("dup", "(g ?x)", "(u ?x)"),
                                  rule("again", "(y ?x)", "?x")});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
            "Rule 'dup' appears 2 times\n"
            "Rule 'again' appears 2 times\n");
  const auto& stats = runner.scheduler().stats();
  EXPECT_EQ(stats.size(), 3u);
  EXPECT_EQ(stats.at(intern("dup")).times_applied, 2u);
  // The second "dup" rule found g nodes only after the first applied: in
  // the same iteration it searched before anything was applied.
  EXPECT_EQ(applied(runner.iterations()[0]), (Applied{{"dup", 3}}));
}

TEST(Runner, UniqueNamesWriteNothing) {
  Runner runner;
  testing::internal::CaptureStderr();
  runner.run({rule("one", "(f ?x)", "?x"), rule("two", "(g ?x)", "?x")});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(runner.iterations().size(), 1u);
}

TEST(Runner, AlreadyMergedMatchesAreNotReported) {
  EGraph egraph;
  const ClassId p = egraph.add(node("p"));
  const ClassId q = egraph.add(node("q"));
  egraph.add(node("op|add", {p, q}));
  Runner runner;
  runner.set_egraph(std::move(egraph));
  runner.run(
      {rule("first", "(op|add ?a ?b)", "(op|add ?b ?a)"), rule("second", "(op|add ?a ?b)", "(op|add ?b ?a)")});
  ASSERT_EQ(runner.iterations().size(), 2u);
  EXPECT_EQ(applied(runner.iterations()[0]), (Applied{{"first", 1}}));
  EXPECT_EQ(runner.stop_reason(), StopReason(Saturated{}));
}

// ---------------------------------------------------------------------------
// The optimizer's rule set on a small traced graph.

std::vector<Rewrite> optimizer_rules() {
  std::vector<Rewrite> rules;
  for (const char* op : {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}) {
    rules.push_back(rule(cat({"commute-", op}).c_str(), cat({"(op|", op, " ?a ?b)"}).c_str(),
                         cat({"(op|", op, " ?b ?a)"}).c_str()));
  }
  const char* identities[] = {"op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
                              "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
  for (int k = 0; k < 4; ++k) {
    rules.push_back(rule(cat({"identity-", std::to_string(k)}).c_str(), cat({"(", identities[k], " ?x)"}).c_str(), "?x"));
  }
  return rules;
}

TEST(Runner, OptimizerRulesOnATracedGraph) {
  EGraph egraph;
  const ClassId x = egraph.add(node("src|x"));
  const ClassId y = egraph.add(node("src|y"));
  const ClassId add_xy = egraph.add(node("op|add", {x, y}));
  const ClassId add_yx = egraph.add(node("op|add", {y, x}));
  const ClassId sub_xy = egraph.add(node("op|sub", {x, y}));
  const ClassId sub_yx = egraph.add(node("op|sub", {y, x}));
  const ClassId add0 = egraph.add(node("op|add|scalar=f0000000000000000;side=sr", {x}));
  const ClassId mul1 = egraph.add(node("op|mul|scalar=f3ff0000000000000;side=sl", {add0}));
  const ClassId add1 = egraph.add(node("op|add|scalar=f3ff0000000000000;side=sr", {x}));
  const ClassId neg_id = egraph.add(node("op|neg", {mul1}));
  const ClassId neg_x = egraph.add(node("op|neg", {x}));
  const ClassId red_a = egraph.add(node("red|sum", {add_xy}));
  const ClassId red_b = egraph.add(node("red|sum", {add_yx}));
  const ClassId side_only = egraph.add(node("op|add|side=sr", {x, y}));
  const ClassId side_swapped = egraph.add(node("op|add|side=sr", {y, x}));

  Runner runner;
  runner.set_egraph(std::move(egraph)).set_iteration_limit(12).set_node_limit(4 * 15 + 1024);
  runner.run(optimizer_rules());
  EXPECT_EQ(runner.stop_reason(), StopReason(Saturated{}));
  const EGraph& result = runner.egraph();
  auto same = [&](ClassId a, ClassId b) { return result.find(a) == result.find(b); };
  EXPECT_TRUE(same(add_xy, add_yx));
  EXPECT_FALSE(same(sub_xy, sub_yx));
  EXPECT_TRUE(same(add0, x));
  EXPECT_TRUE(same(mul1, x));
  EXPECT_FALSE(same(add1, x));
  EXPECT_TRUE(same(neg_id, neg_x)) << "congruence after identity elimination";
  EXPECT_TRUE(same(red_a, red_b)) << "congruence over merged inputs";
  EXPECT_FALSE(same(side_only, side_swapped)) << "an add with parameters does not commute";
  EXPECT_EQ(result.class_count(), 10u);
}

}  // namespace
}  // namespace korvane::egraph
