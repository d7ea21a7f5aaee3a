// egraph_pattern_test.cpp - compiling, searching and applying patterns.
//
// The compiler's exact programs, the matcher on small e-graphs (repeated
// variables, Lookup subterms, limits), instantiation and rule creation.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/internal_error.hpp"
#include "egraph/pattern.hpp"

namespace korvane::egraph {
namespace {

Pattern pattern(const char* text) {
  auto parsed = Pattern::parse(text);
  if (!parsed) throw InternalError(to_string(parsed.error()));
  return std::move(parsed).value();
}

SymbolLang node(const char* op, std::initializer_list<ClassId> children = {}) {
  return SymbolLang{intern(op), Children(children)};
}

Var var(const char* text) { return Var{intern(text)}; }

std::vector<Substitution> listed(const ClassMatches& match) {
  return {match.substitutions.begin(), match.substitutions.end()};
}

struct CompileCase {
  const char* text;
  Program expected;
};

class CompileExample : public testing::TestWithParam<CompileCase> {};

TEST_P(CompileExample, ProducesExactProgram) {
  const Pattern compiled = pattern(GetParam().text);
  const Program& program = compiled.program();
  EXPECT_EQ(program.instructions, GetParam().expected.instructions) << GetParam().text;
  EXPECT_EQ(program.subst, GetParam().expected.subst) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Compiler, CompileExample,
    testing::Values(
        CompileCase{"(op|add ?a ?b)", Program{{Bind{node("op|add", {0, 0}), 0, 1}}, {{var("?a"), 1}, {var("?b"), 2}}}},
        CompileCase{"(op|add ?a ?a)",
                    Program{{Bind{node("op|add", {0, 0}), 0, 1}, Compare{2, 1}}, {{var("?a"), 1}}}},
        CompileCase{"(f ?x (g ?x))",
                    Program{{Bind{node("f", {0, 0}), 0, 1},
                             Lookup{{TermEntry::reg(1), TermEntry::enode(node("g", {0}))}, 2}},
                            {{var("?x"), 1}}}},
        CompileCase{"?x", Program{{}, {{var("?x"), 0}}}},
        // Leaves are matched by a Bind with no outputs; the unbound side first.
        CompileCase{"(f c ?y)", Program{{Bind{node("f", {0, 0}), 0, 1}, Bind{node("c"), 1, 3}}, {{var("?y"), 2}}}},
        CompileCase{"(f (g ?x) (h ?y ?z))",
                    Program{{Bind{node("f", {0, 0}), 0, 1}, Bind{node("h", {0, 0}), 2, 3}, Bind{node("g", {0}), 1, 5}},
                            {{var("?y"), 3}, {var("?z"), 4}, {var("?x"), 5}}}}));

TEST(Pattern, SharesEqualNodesAndListsVars) {
  const Pattern p = pattern("(op|add ?a ?a)");
  ASSERT_EQ(p.shape().size(), 2u);
  EXPECT_TRUE(p.shape()[0].is_var());
  EXPECT_EQ(p.shape()[1].as_enode(), node("op|add", {0, 0}));

  const Pattern q = pattern("(f (g ?b) ?a (g ?b) ?b)");
  EXPECT_EQ(q.shape().size(), 4u);
  EXPECT_EQ(q.vars(), (std::vector<Var>{var("?b"), var("?a")}));
  EXPECT_EQ(q.to_string(), "(f (g ?b) ?a (g ?b) ?b)");
}

class Search : public testing::Test {
 protected:
  void SetUp() override {
    p = egraph.add(node("p"));
    q = egraph.add(node("q"));
    add_pq = egraph.add(node("op|add", {p, q}));
    mul_pq = egraph.add(node("op|mul", {p, q}));
    egraph.rebuild();
  }
  EGraph egraph;
  ClassId p = 0, q = 0, add_pq = 0, mul_pq = 0;
};

TEST_F(Search, FindsTheOneInstance) {
  const auto matches = pattern("(op|add ?a ?b)").search(egraph);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches[0].class_id, add_pq);
  EXPECT_EQ(listed(matches[0]), (std::vector<Substitution>{{{var("?a"), p}, {var("?b"), q}}}));
}

TEST_F(Search, RepeatedVariableNeedsOneClass) {
  const Pattern same = pattern("(op|add ?a ?a)");
  EXPECT_TRUE(same.search(egraph).empty());
  egraph.union_(p, q);
  egraph.rebuild();
  const auto matches = same.search(egraph);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches[0].substitutions[0].at(var("?a")), egraph.find(p));
}

TEST_F(Search, VariableMatchesEveryClassOnce) {
  const auto matches = pattern("?x").search(egraph);
  ASSERT_EQ(matches.size(), 4u);
  for (std::size_t k = 0; k < matches.size(); ++k) {
    EXPECT_EQ(matches[k].class_id, k);
    EXPECT_EQ(listed(matches[k]), (std::vector<Substitution>{{{var("?x"), static_cast<ClassId>(k)}}}));
  }
}

TEST_F(Search, LimitStopsEarly) {
  const ClassId r = egraph.add(node("r"));
  egraph.add(node("op|add", {q, r}));
  egraph.rebuild();
  const Pattern add = pattern("(op|add ?a ?b)");
  EXPECT_EQ(add.search(egraph).size(), 2u);
  const auto one = add.search_with_limit(egraph, 1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].substitutions.size(), 1u);
  EXPECT_TRUE(add.search_with_limit(egraph, 0).empty());
  // Two matches inside one class count against the limit one by one.
  egraph.union_(add_pq, egraph.add(node("op|add", {q, p})));
  egraph.rebuild();
  const auto in_class = add.search_class(egraph, add_pq, 1);
  ASSERT_TRUE(in_class.has_value());
  EXPECT_EQ(in_class->substitutions.size(), 1u);
  EXPECT_EQ(add.search_class(egraph, add_pq, 10)->substitutions.size(), 2u);
  EXPECT_FALSE(add.search_class(egraph, p, 10).has_value());
}

TEST_F(Search, LookupChecksFullyBoundSubterms) {
  const Pattern p_gx = pattern("(f ?x (g ?x))");
  const ClassId gp = egraph.add(node("g", {p}));
  const ClassId f_good = egraph.add(node("f", {p, gp}));
  const ClassId gq = egraph.add(node("g", {q}));
  const ClassId f_other = egraph.add(node("f", {p, gq}));
  egraph.rebuild();
  auto matches = p_gx.search(egraph);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches[0].class_id, f_good);

  // Once q = p, f(p, g(q)) is an instance too.
  egraph.union_(q, p);
  egraph.rebuild();
  matches = p_gx.search(egraph);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(egraph.find(f_other), egraph.find(f_good));
}

TEST_F(Search, NestedBindsBacktrack) {
  // Class of p holds p and s; the pattern's inner Bind must try both.
  const ClassId s = egraph.add(node("s"));
  const ClassId t = egraph.add(node("t", {s}));
  egraph.union_(p, t);
  const ClassId top = egraph.add(node("top", {p, q}));
  egraph.rebuild();
  const auto matches = pattern("(top (t ?x) ?y)").search(egraph);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches[0].class_id, egraph.find(top));
  EXPECT_EQ(listed(matches[0]), (std::vector<Substitution>{{{var("?y"), q}, {var("?x"), s}}}));
}

TEST(SearchUnrebuilt, FindsNothingBeforeTheFirstRebuild) {
  // Nothing is indexed before the first rebuild, so an operator pattern
  // finds no class (without refusing the dirty e-graph); afterwards it does.
  EGraph egraph;
  const ClassId p = egraph.add(node("p"));
  egraph.add(node("op|add", {p, p}));
  const Pattern add = pattern("(op|add ?a ?b)");
  EXPECT_TRUE(add.search(egraph).empty());
  egraph.rebuild();
  EXPECT_EQ(add.search(egraph).size(), 1u);
  egraph.add(node("q"));
  EXPECT_THROW(add.search(egraph), InternalError);
}

TEST_F(Search, DirtyEGraphIsRefused) {
  egraph.add(node("new"));
  try {
    pattern("(op|add ?a ?b)").search(egraph);
    FAIL() << "expected InternalError";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "Tried to search a dirty e-graph!");
  }
}

TEST_F(Search, ApplyCommutesOnceThenChangesNothing) {
  const Pattern lhs = pattern("(op|add ?a ?b)");
  const Pattern rhs = pattern("(op|add ?b ?a)");
  const auto matches = lhs.search(egraph);
  const auto changed = rhs.apply_matches(egraph, matches);
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(egraph.added_node(changed[0]), node("op|add", {q, p}));
  EXPECT_EQ(egraph.find(changed[0]), egraph.find(add_pq));
  EXPECT_EQ(rhs.apply_matches(egraph, matches), std::vector<ClassId>{});
  EXPECT_FALSE(egraph.is_clean());
}

TEST_F(Search, VariableApplierMergesTheBoundClass) {
  const Pattern lhs = pattern("(op|mul ?x ?y)");
  const Pattern rhs = pattern("?y");
  const auto matches = lhs.search(egraph);
  const std::size_t memo = egraph.memo_size();
  EXPECT_EQ(rhs.apply_matches(egraph, matches), std::vector<ClassId>{q});
  EXPECT_EQ(egraph.memo_size(), memo) << "a variable applier adds no node";
  EXPECT_EQ(egraph.find(mul_pq), egraph.find(q));
  EXPECT_TRUE(rhs.apply_matches(egraph, matches).empty());
}

TEST_F(Search, InstantiateNeedsEveryVariable) {
  const Pattern rhs = pattern("(op|add ?a ?b)");
  EXPECT_EQ(rhs.instantiate(egraph, {{var("?a"), p}, {var("?b"), q}}), add_pq);
  EXPECT_THROW(rhs.instantiate(egraph, {{var("?a"), p}}), InternalError);
}

// ---------------------------------------------------------------------------
// The search of a root operator over distinct variables takes a shortcut
// around the matching machine; it must find what the machine finds, class by
// class, in the same order and within the same limit.

/// `steps` random binary, unary and leaf nodes of f, g and k, with a random
/// merge one step in `merge_one_in`, the same for the same arguments. With
/// `twins`, some nodes are merged with what the rules of the tests below
/// would add for them: their commuted form, g of their second child, k, or
/// f(x, x) for a unary node of x.
EGraph random_egraph(unsigned seed, int steps, unsigned merge_one_in, bool twins) {
  std::mt19937 rng(seed);
  EGraph egraph;
  std::vector<ClassId> ids;
  const char* ops[] = {"f", "g", "k"};
  for (int step = 0; step < steps; ++step) {
    if (ids.size() < 4 || rng() % 6 == 0) {
      ids.push_back(egraph.add(node(ops[rng() % 3])));
      continue;
    }
    SymbolLang made{intern(ops[rng() % 3]), {}};
    const unsigned arity = rng() % 3;
    for (unsigned k = 0; k < arity; ++k) made.children.push_back(ids[rng() % ids.size()]);
    ids.push_back(egraph.add(made));
    if (twins) {
      const ClassId at = ids.back();
      if (arity == 2 && rng() % 2 == 0) egraph.union_(at, egraph.add(SymbolLang{made.op, {made.children[1], made.children[0]}}));
      if (arity == 2 && rng() % 4 == 0) egraph.union_(at, egraph.add(node("g", {made.children[1]})));
      if (arity == 2 && rng() % 16 == 0) egraph.union_(at, egraph.add(node("k")));
      if (arity == 1 && rng() % 4 == 0) egraph.union_(at, egraph.add(node("f", {made.children[0], made.children[0]})));
    }
    if (rng() % merge_one_in == 0) egraph.union_(ids[rng() % ids.size()], ids[rng() % ids.size()]);
  }
  egraph.rebuild();
  return egraph;
}

struct ShortcutCase {
  const char* text;
  std::uint64_t limit;
};

class SearchShortcut : public testing::TestWithParam<ShortcutCase> {};

TEST_P(SearchShortcut, FindsWhatTheMachineFinds) {
  // Binary, unary and leaf nodes of the same operators in merged classes, so
  // that classes hold several nodes of one operator and other arities.
  const EGraph egraph = random_egraph(5, 600, 5, false);

  const Pattern searched = pattern(GetParam().text);
  const auto found = searched.search_with_limit(egraph, GetParam().limit);
  std::vector<ClassMatches> expected;
  std::uint64_t left = GetParam().limit;
  for (ClassId candidate : egraph.classes_with_op(searched.shape().root().as_enode().op)) {
    if (left == 0) break;
    if (auto match = searched.search_class(egraph, candidate, left)) {
      left -= match->substitutions.size();
      expected.push_back(std::move(*match));
    }
  }
  ASSERT_FALSE(expected.empty()) << "the e-graph should hold instances";
  ASSERT_EQ(found.size(), expected.size());
  for (std::size_t k = 0; k < found.size(); ++k) {
    EXPECT_EQ(found[k].class_id, expected[k].class_id);
    EXPECT_EQ(listed(found[k]), listed(expected[k]));
  }
}

INSTANTIATE_TEST_SUITE_P(Patterns, SearchShortcut,
                         testing::Values(ShortcutCase{"(f ?a ?b)", UINT64_MAX}, ShortcutCase{"(f ?b ?a)", UINT64_MAX},
                                         ShortcutCase{"(g ?x)", UINT64_MAX}, ShortcutCase{"(k)", UINT64_MAX},
                                         ShortcutCase{"(f ?a ?b)", 7},
                                         // Not a shortcut: the machine runs, with Compare.
                                         ShortcutCase{"(f ?a ?a)", UINT64_MAX}));

// ---------------------------------------------------------------------------
// A rule's search marks the substitutions whose one-node instance the class
// already holds, and apply skips those while their classes are still roots.
// Marked or not, applying must change the e-graph in exactly the same way.

struct MarkCase {
  const char* lhs;
  const char* rhs;
  friend void PrintTo(const MarkCase& c, std::ostream* out) { *out << c.lhs << " => " << c.rhs; }
};

class PresentMarks : public testing::TestWithParam<MarkCase> {};

TEST_P(PresentMarks, NameHeldInstancesAndChangeNothingInApply) {
  auto made = Rewrite::parse("rule", GetParam().lhs, GetParam().rhs);
  ASSERT_TRUE(made);
  const Rewrite rule = std::move(made).value();
  for (unsigned seed = 1; seed <= 6; ++seed) {
    EGraph marked = random_egraph(seed, 400, 50, true);
    EGraph plain = random_egraph(seed, 400, 50, true);
    const auto matches = rule.search_with_limit(marked, UINT64_MAX);
    std::size_t present = 0;
    for (const ClassMatches& match : matches) {
      for (std::uint32_t k = 0; k < match.substitutions.size() && k < 32; ++k) {
        SymbolLang instance{rule.applier().shape().root().as_enode().op, {}};
        for (ClassId position : rule.applier().shape().root().children()) {
          instance.children.push_back(match.substitutions[k].at(rule.applier().shape()[position].as_var()));
        }
        const bool in_class = marked.lookup(instance) == std::optional<ClassId>{match.class_id};
        EXPECT_EQ(match.marked_present(k), in_class) << "seed " << seed << ", class " << match.class_id;
        present += in_class;
      }
    }
    EXPECT_GT(present, 0u) << "the e-graph should hold instances already";

    // Merges between search and apply turn some classes bound in marked
    // substitutions into non-roots.
    std::vector<ClassMatches> unmarked = matches;
    std::vector<ClassId> bound;
    for (ClassMatches& match : unmarked) {
      for (std::uint32_t k = 0; k < match.substitutions.size() && k < 32; ++k) {
        if (match.marked_present(k)) bound.push_back(match.substitutions[k].begin()->id);
      }
      match.present = 0;
    }
    std::mt19937 rng(seed);
    for (std::size_t k = 0; k < bound.size(); k += 3) {
      const auto other = static_cast<ClassId>(rng() % marked.id_count());
      EXPECT_EQ(marked.union_(other, bound[k]), plain.union_(other, bound[k]));
    }
    EXPECT_EQ(rule.apply(marked, matches), rule.apply(plain, unmarked));
    EXPECT_FALSE(marked.is_clean());
    EXPECT_EQ(marked.memo_size(), plain.memo_size());
    EXPECT_EQ(marked.rebuild(), plain.rebuild());
    ASSERT_EQ(marked.class_count(), plain.class_count());
    for (auto a = marked.classes().begin(), b = plain.classes().begin(); a != marked.classes().end(); ++a, ++b) {
      EXPECT_EQ(a->id, b->id);
      EXPECT_TRUE(std::ranges::equal(a->nodes, b->nodes));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(OneNodeAppliers, PresentMarks,
                         testing::Values(MarkCase{"(f ?a ?b)", "(f ?b ?a)"}, MarkCase{"(f ?a ?b)", "(f ?a ?b)"},
                                         MarkCase{"(f ?a ?b)", "(g ?b)"}, MarkCase{"(g ?x)", "(f ?x ?x)"},
                                         MarkCase{"(f ?a ?b)", "(k)"}));

TEST(PresentMarksOf, SearchesWithoutAnApplierOrWithADeeperOne) {
  const EGraph egraph = random_egraph(3, 400, 50, true);
  for (const auto& [lhs, rhs] : {std::pair{"(f ?a ?b)", "(g (f ?b ?a))"}, std::pair{"(f ?a ?b)", "?a"}}) {
    auto made = Rewrite::parse("rule", lhs, rhs);
    ASSERT_TRUE(made);
    for (const ClassMatches& match : made.value().search_with_limit(egraph, UINT64_MAX)) EXPECT_EQ(match.present, 0u);
  }
  for (const ClassMatches& match : pattern("(f ?a ?b)").search(egraph)) EXPECT_EQ(match.present, 0u);
}

TEST(Rewrite, RejectsUnboundApplierVariables) {
  auto bad = Rewrite::make("bad-rule", pattern("(f ?a)"), pattern("(g ?b)"));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "Rewrite bad-rule refers to unbound var ?b");
  auto good = Rewrite::parse("swap", "(op|add ?a ?b)", "(op|add ?b ?a)");
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(resolve(good.value().name()), "swap");
  EXPECT_FALSE(Rewrite::parse("broken", "(f ?a", "?a").ok());
}

TEST(Substitution, HoldsOnePairPerVariable) {
  Substitution subst;
  for (ClassId k = 0; k < 5; ++k) subst.insert(Var{intern("?v" + std::to_string(k))}, k);
  subst.insert(var("?v1"), 40);
  EXPECT_EQ(subst.size(), 5u);
  EXPECT_EQ(subst.get(var("?v1")), 40u);
  EXPECT_EQ(subst.get(var("?v4")), 4u);
  EXPECT_EQ(subst.get(var("?none")), std::nullopt);
}

}  // namespace
}  // namespace korvane::egraph
