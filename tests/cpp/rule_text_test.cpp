// rule_text_test.cpp - the rule text reader: grammar, errors, triples, writing back, cost keys.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "optimizer/rule_text.hpp"

namespace korvane {
namespace {

RuleNode var(std::string name) {
  RuleNode n;
  n.is_var = true;
  n.var = std::move(name);
  return n;
}

RuleNode node(NodeKind kind, std::string name, std::vector<RuleParam> params = {}, std::vector<RuleNode> children = {}) {
  RuleNode n;
  n.kind = kind;
  n.name = std::move(name);
  n.params = std::move(params);
  n.children = std::move(children);
  return n;
}

RuleNode op(std::string name, std::vector<RuleNode> children = {}) {
  return node(NodeKind::Op, std::move(name), {}, std::move(children));
}

RuleParam scalar(std::string key, ParamTag tag, uint64_t bits) {
  RuleParam p;
  p.key = std::move(key);
  p.tag = tag;
  p.bits = bits;
  return p;
}
RuleParam int_param(std::string key, int64_t v) { return scalar(std::move(key), ParamTag::Int, static_cast<uint64_t>(v)); }
RuleParam str_param(std::string key, std::string v) {
  RuleParam p = scalar(std::move(key), ParamTag::Str, 0);
  p.str = std::move(v);
  return p;
}
RuleParam var_param(std::string key, std::string v) {
  RuleParam p;
  p.key = std::move(key);
  p.is_var = true;
  p.var = std::move(v);
  return p;
}

/// The node a pattern reads as (as the searcher and applier of one rule).
RuleNode read(const std::string& pattern) {
  auto parsed = parse_rule_text("r: " + pattern + " => " + pattern);
  if (!parsed.ok()) {
    ADD_FAILURE() << pattern << ": " << parsed.error();
    return {};
  }
  EXPECT_EQ(parsed.value().size(), 1u);
  return parsed.value()[0].searcher;
}

std::string error_of(std::string_view text) {
  auto parsed = parse_rule_text(text);
  return parsed.ok() ? "<parsed>" : parsed.error();
}

struct HeadCase {
  std::string pattern;
  RuleNode expected;
};

class HeadTest : public testing::TestWithParam<HeadCase> {};

TEST_P(HeadTest, ReadsAs) { EXPECT_EQ(read(GetParam().pattern), GetParam().expected) << GetParam().pattern; }

INSTANTIATE_TEST_SUITE_P(
    RuleText, HeadTest,
    testing::Values(
        HeadCase{"(add ?x ?y)", op("add", {var("x"), var("y")})},
        HeadCase{"neg", op("neg")},
        HeadCase{"(neg)", op("neg")},
        HeadCase{"(  log1p   ?x_1  )", op("log1p", {var("x_1")})},
        HeadCase{"(a.b-c_9 ?x)", op("a.b-c_9", {var("x")})},
        HeadCase{"(op:sub ?a ?b)", op("sub", {var("a"), var("b")})},
        HeadCase{"(op:\"my op\" ?x)", op("my op", {var("x")})},
        HeadCase{"(op:\"exchange\" ?x)", op("exchange", {var("x")})},
        HeadCase{"(op ?x)", op("op", {var("x")})},
        HeadCase{"source:x", node(NodeKind::Source, "x")},
        HeadCase{"source:\"in 1\"{k=1}", node(NodeKind::Source, "in 1", {int_param("k", 1)})},
        HeadCase{"(reduction:sum ?x)", node(NodeKind::Reduction, "sum", {}, {var("x")})},
        HeadCase{"(exchange ?x)", node(NodeKind::Exchange, "", {}, {var("x")})},
        HeadCase{"join", node(NodeKind::Join, "")},
        HeadCase{"(join{} ?a ?b)", node(NodeKind::Join, "", {}, {var("a"), var("b")})},
        HeadCase{"(f (g (h ?x)) ?x)", op("f", {op("g", {op("h", {var("x")})}), var("x")})},
        HeadCase{"(f{ b = 1 ,a=2 } ?x)", node(NodeKind::Op, "f", {int_param("a", 2), int_param("b", 1)}, {var("x")})},
        HeadCase{"f{\"k y\"=1, \"\"=2}", node(NodeKind::Op, "f", {int_param("", 2), int_param("k y", 1)})},
        HeadCase{"(f{k=?p} ?x)", node(NodeKind::Op, "f", {var_param("k", "p")}, {var("x")})},
        HeadCase{"f{s=\"a#b\"}", node(NodeKind::Op, "f", {str_param("s", "a#b")})}));

struct LiteralCase {
  std::string text;
  ParamTag tag;
  uint64_t bits;
  std::string str = {};
};

class LiteralTest : public testing::TestWithParam<LiteralCase> {};

TEST_P(LiteralTest, ReadsAs) {
  const LiteralCase& c = GetParam();
  const RuleNode n = read("f{k=" + c.text + "}");
  ASSERT_EQ(n.params.size(), 1u) << c.text;
  EXPECT_EQ(n.params[0].tag, c.tag) << c.text;
  EXPECT_EQ(n.params[0].bits, c.bits) << c.text;
  EXPECT_EQ(n.params[0].str, c.str) << c.text;
}

uint64_t fb(double d) { return std::bit_cast<uint64_t>(d); }
uint64_t ib(int64_t v) { return static_cast<uint64_t>(v); }

INSTANTIATE_TEST_SUITE_P(
    RuleText, LiteralTest,
    testing::Values(
        LiteralCase{"1", ParamTag::Int, 1}, LiteralCase{"-3", ParamTag::Int, ib(-3)}, LiteralCase{"-0", ParamTag::Int, 0},
        LiteralCase{"007", ParamTag::Int, 7}, LiteralCase{"9223372036854775807", ParamTag::Int, ib(INT64_MAX)},
        LiteralCase{"-9223372036854775808", ParamTag::Int, ib(INT64_MIN)},
        LiteralCase{"1.0", ParamTag::Float, fb(1.0)}, LiteralCase{"0.0", ParamTag::Float, 0},
        LiteralCase{"-0.0", ParamTag::Float, 0x8000000000000000ULL}, LiteralCase{"1e-3", ParamTag::Float, fb(1e-3)},
        LiteralCase{"2.5E+10", ParamTag::Float, fb(2.5e10)}, LiteralCase{"0.1", ParamTag::Float, fb(0.1)},
        LiteralCase{"4.9e-324", ParamTag::Float, 1}, LiteralCase{"1e-400", ParamTag::Float, 0},
        LiteralCase{"-1e-400", ParamTag::Float, 0x8000000000000000ULL},
        LiteralCase{"1.7976931348623157e308", ParamTag::Float, fb(std::numeric_limits<double>::max())},
        LiteralCase{"inf", ParamTag::Float, fb(std::numeric_limits<double>::infinity())},
        LiteralCase{"-inf", ParamTag::Float, fb(-std::numeric_limits<double>::infinity())},
        LiteralCase{"nan", ParamTag::Float, kCanonicalNaN}, LiteralCase{"true", ParamTag::Bool, 1},
        LiteralCase{"false", ParamTag::Bool, 0}, LiteralCase{"\"1\"", ParamTag::Str, 0, "1"},
        LiteralCase{"\"\"", ParamTag::Str, 0, ""},
        LiteralCase{"\"a\\\"b\\\\c\\n\\t\\r\\0\"", ParamTag::Str, 0, std::string("a\"b\\c\n\t\r\0", 9)},
        LiteralCase{"\"\\u{41}\\u{e9}\\u{1F600}\\u{0}\"", ParamTag::Str, 0, std::string("A\xC3\xA9\xF0\x9F\x98\x80\0", 8)},
        LiteralCase{"\"\xC3\xA9t\xC3\xA9\"", ParamTag::Str, 0, "\xC3\xA9t\xC3\xA9"}));

TEST(RuleText, LinesCommentsAndBothWays) {
  const auto parsed = parse_rule_text(
      "# identities\n"
      "\n"
      "  one: (mul ?x one) => ?x   # drop it\r\n"
      "\t \n"
      "swap: (f{k=?k} ?a ?b) <=> (g{j=?k} ?b ?a)\n"
      "last: (neg (neg ?x)) => ?x");
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  const auto& s = parsed.value();
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0].name, "one");
  EXPECT_EQ(s[0].line, 3u);
  EXPECT_EQ(s[0].searcher, op("mul", {var("x"), op("one")}));
  EXPECT_EQ(s[0].applier, var("x"));
  EXPECT_EQ(s[1].name, "swap");
  EXPECT_EQ(s[2].name, "swap-rev");
  EXPECT_EQ(s[1].line, 5u);
  EXPECT_EQ(s[2].line, 5u);
  EXPECT_EQ(s[1].searcher, s[2].applier);
  EXPECT_EQ(s[1].applier, s[2].searcher);
  EXPECT_EQ(s[1].applier.params[0].var, "k");
  EXPECT_EQ(s[3].name, "last");
  EXPECT_EQ(s[3].line, 6u);
}

TEST(RuleText, EmptyTextsHoldNoRules) {
  for (std::string_view text : {"", "\n", "# only a comment", "  \n\t\r\n# x\n"}) {
    const auto parsed = parse_rule_text(text);
    ASSERT_TRUE(parsed.ok()) << parsed.error();
    EXPECT_TRUE(parsed.value().empty());
  }
}

TEST(RuleText, DistinctLiteralTypesMakeDistinctNodes) {
  const std::vector<RuleNode> nodes = {read("f{k=1}"), read("f{k=1.0}"), read("f{k=true}"), read("f{k=\"1\"}"),
                                       read("f{k=0.0}"), read("f{k=-0.0}")};
  for (size_t i = 0; i < nodes.size(); ++i) {
    for (size_t j = i + 1; j < nodes.size(); ++j) EXPECT_FALSE(nodes[i] == nodes[j]) << i << " " << j;
  }
}

struct ErrorCase {
  std::string text;
  std::string message;
};

class TextErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(TextErrorTest, Reports) { EXPECT_EQ(error_of(GetParam().text), GetParam().message) << GetParam().text; }

INSTANTIATE_TEST_SUITE_P(
    Syntax, TextErrorTest,
    testing::Values(
        ErrorCase{"r: (add ?x ?y", "rule 'r' (line 1, column 14): expected ')'"},
        ErrorCase{"r: (add ?x ?y # (", "rule 'r' (line 1, column 15): expected ')'"},
        ErrorCase{"r: (add ?x ?y => ?x", "rule 'r' (line 1, column 15): expected a pattern or ')'"},
        ErrorCase{"r: (add ?x 1) => ?x", "rule 'r' (line 1, column 12): expected a pattern or ')'"},
        ErrorCase{"r: (add ?x)) => ?x", "rule 'r' (line 1, column 12): unbalanced ')'"},
        ErrorCase{"r: (add ?x) => (neg ?x))", "rule 'r' (line 1, column 24): unbalanced ')'"},
        ErrorCase{"r: ) => f", "rule 'r' (line 1, column 4): unbalanced ')'"},
        ErrorCase{"r: f} => g", "rule 'r' (line 1, column 5): unbalanced '}'"},
        ErrorCase{"r: (f ?x}", "rule 'r' (line 1, column 9): unbalanced '}'"},
        ErrorCase{"r: (foo:x ?y) => ?y", "rule 'r' (line 1, column 5): unknown kind prefix 'foo'"},
        ErrorCase{"r: (external:x ?y) => ?y", "rule 'r' (line 1, column 5): unknown kind prefix 'external'"},
        ErrorCase{"r: stage:s => f", "rule 'r' (line 1, column 4): unknown kind prefix 'stage'"},
        ErrorCase{"r: (exchange:x ?y) => ?y", "rule 'r' (line 1, column 5): unknown kind prefix 'exchange'"},
        ErrorCase{"r: (op: ?x) => ?x", "rule 'r' (line 1, column 8): expected a name after 'op:'"},
        ErrorCase{"r: (op:\"\" ?x) => ?x", "rule 'r' (line 1, column 8): a node name cannot be empty"},
        ErrorCase{"r: (?f ?x) => ?x", "rule 'r' (line 1, column 5): a variable cannot be a node head"},
        ErrorCase{"r: () => f", "rule 'r' (line 1, column 5): expected a node head"},
        ErrorCase{"r: (f ? ) => f", "rule 'r' (line 1, column 7): expected a variable name after '?'"},
        ErrorCase{"r: (f {k=1} ?x) => ?x", "rule 'r' (line 1, column 7): a parameter list must follow its head directly"},
        ErrorCase{"r: (f ?x) (g ?x)", "rule 'r' (line 1, column 11): expected '=>' or '<=>'"},
        ErrorCase{"r: (f ?x) = (g ?x)", "rule 'r' (line 1, column 11): expected '=>' or '<=>'"},
        ErrorCase{"r: (f ?x) # => ?x", "rule 'r' (line 1, column 11): expected '=>' or '<=>'"},
        ErrorCase{"r: f => g h", "rule 'r' (line 1, column 11): expected the end of the line"},
        ErrorCase{"r: f =>", "rule 'r' (line 1, column 8): expected a pattern"},
        ErrorCase{"r (f ?x) => ?x", "rule 'r' (line 1, column 3): expected ':'"},
        ErrorCase{"1r: f => g", "line 1, column 1: expected a rule name"},
        ErrorCase{"ok: f => g\n  (f ?x) => ?x", "line 2, column 3: expected a rule name"},
        ErrorCase{"\xC3\xA9: f => g", "line 1, column 1: expected a rule name"}));

INSTANTIATE_TEST_SUITE_P(
    Literals, TextErrorTest,
    testing::Values(
        ErrorCase{"r: (f{k=1.2.3} ?x) => ?x", "rule 'r' (line 1, column 9): malformed parameter value '1.2.3'"},
        ErrorCase{"r: f{k=+7} => g", "rule 'r' (line 1, column 8): malformed parameter value '+7'"},
        ErrorCase{"r: f{k=.5} => g", "rule 'r' (line 1, column 8): malformed parameter value '.5'"},
        ErrorCase{"r: f{k=1.} => g", "rule 'r' (line 1, column 8): malformed parameter value '1.'"},
        ErrorCase{"r: f{k=1e} => g", "rule 'r' (line 1, column 8): malformed parameter value '1e'"},
        ErrorCase{"r: f{k=abc} => g", "rule 'r' (line 1, column 8): malformed parameter value 'abc'"},
        ErrorCase{"r: f{k=-nan} => g", "rule 'r' (line 1, column 8): malformed parameter value '-nan'"},
        ErrorCase{"r: f{k=9223372036854775808} => g", "rule 'r' (line 1, column 8): integer out of range"},
        ErrorCase{"r: f{k=-9223372036854775809} => g", "rule 'r' (line 1, column 8): integer out of range"},
        ErrorCase{"r: f{k=1e999} => g", "rule 'r' (line 1, column 8): float out of range"},
        ErrorCase{"r: f{k=} => g", "rule 'r' (line 1, column 8): expected a parameter value"},
        ErrorCase{"r: f{=1} => g", "rule 'r' (line 1, column 6): expected a parameter key"},
        ErrorCase{"r: f{k=1,} => g", "rule 'r' (line 1, column 10): expected a parameter key"},
        ErrorCase{"r: f{k 1} => g", "rule 'r' (line 1, column 8): expected '='"},
        ErrorCase{"r: (f{k=1 ?x) => f", "rule 'r' (line 1, column 11): expected ',' or '}'"},
        ErrorCase{"r: (f{k=1", "rule 'r' (line 1, column 10): expected '}'"},
        ErrorCase{"r: f{k=1, k=2} => g", "rule 'r' (line 1, column 11): duplicate parameter key 'k'"},
        ErrorCase{"r: f{\"k\"=1, k=2} => g", "rule 'r' (line 1, column 13): duplicate parameter key 'k'"},
        ErrorCase{"r: f{\"a b\"=1, \"a b\"=2} => g", "rule 'r' (line 1, column 15): duplicate parameter key '\"a b\"'"},
        ErrorCase{"r: f{k=\"ab} => g", "rule 'r' (line 1, column 8): unterminated string literal"},
        ErrorCase{"r: f{k=\"ab\\", "rule 'r' (line 1, column 8): unterminated string literal"},
        ErrorCase{"r: f{k=\"a\\qb\"} => g", "rule 'r' (line 1, column 10): bad escape '\\q'"},
        ErrorCase{"r: f{k=\"\\u{d800}\"} => g", "rule 'r' (line 1, column 9): \\u{d800} is not a Unicode scalar value"},
        ErrorCase{"r: f{k=\"\\u{110000}\"} => g", "rule 'r' (line 1, column 9): \\u{110000} is not a Unicode scalar value"},
        ErrorCase{"r: f{k=\"\\u{}\"} => g", "rule 'r' (line 1, column 9): malformed \\u{...} escape"},
        ErrorCase{"r: f{k=\"\\u41\"} => g", "rule 'r' (line 1, column 9): malformed \\u{...} escape"},
        ErrorCase{"r: f{k=\"\\u{1234567}\"} => g", "rule 'r' (line 1, column 9): malformed \\u{...} escape"},
        ErrorCase{"r: f{k=\"a\xFF\"} => g", "rule 'r' (line 1, column 10): invalid UTF-8 in a string literal"},
        ErrorCase{"r: f{k=\"\xED\xA0\x80\"} => g", "rule 'r' (line 1, column 9): invalid UTF-8 in a string literal"},
        // Columns count characters: the two-byte é is one.
        ErrorCase{"r: (f{k=\"\xC3\xA9\" ?x) => ?x", "rule 'r' (line 1, column 13): expected ',' or '}'"}));

INSTANTIATE_TEST_SUITE_P(
    Validation, TextErrorTest,
    testing::Values(
        ErrorCase{"r: ?x => (neg ?x)", "rule 'r' (line 1): the searcher is a bare variable"},
        ErrorCase{"r: (f ?x) => (g ?y)", "rule 'r' (line 1): the applier uses ?y, which the searcher does not bind"},
        ErrorCase{"r: (f ?x) => (g{k=?k} ?x)",
                  "rule 'r' (line 1): the applier uses parameter variable ?k, which the searcher does not bind"},
        ErrorCase{"r: (f{k=?x} ?x) => ?x", "rule 'r' (line 1): ?x is both a class and a parameter variable"},
        ErrorCase{"r: (f ?x) => g{k=?x}", "rule 'r' (line 1): ?x is both a class and a parameter variable"},
        ErrorCase{"a: f => g\nb: f => g\na: h => g", "rule 'a' (line 3): a rule named 'a' comes earlier (line 1)"},
        ErrorCase{"r: (f ?x) <=> (g ?x)\nr-rev: f => g", "rule 'r-rev' (line 2): a rule named 'r-rev' comes earlier (line 1)"},
        ErrorCase{"r-rev: f => g\nr: (f ?x) <=> (g ?x)", "rule 'r' (line 2): a rule named 'r-rev' comes earlier (line 1)"},
        ErrorCase{"r: f <=> g\nr: g => f", "rule 'r' (line 2): a rule named 'r' comes earlier (line 1)"},
        ErrorCase{"commute-add: (add ?x ?y) => (add ?y ?x)", "rule 'commute-add' (line 1): 'commute-add' is a built-in rule"},
        ErrorCase{"x: f => g\nidentity-3: f => g", "rule 'identity-3' (line 2): 'identity-3' is a built-in rule"},
        ErrorCase{"r: ?x <=> (f ?x)", "rule 'r' (line 1): the left side is a bare variable"},
        ErrorCase{"r: (f ?x) <=> ?x", "rule 'r' (line 1): the right side is a bare variable"},
        ErrorCase{"r: (f ?x ?y) <=> (g ?x)", "rule 'r' (line 1): the left side uses ?y, which the right side does not bind"},
        ErrorCase{"r: (f ?x) <=> (g ?x ?y)", "rule 'r' (line 1): the right side uses ?y, which the left side does not bind"},
        ErrorCase{"r: (f{k=?p} ?x) <=> (g ?x)",
                  "rule 'r' (line 1): the left side uses parameter variable ?p, which the right side does not bind"},
        // The first error in reading order wins, across lines and within one.
        ErrorCase{"a: f => g\nb: (f ?x) => ?y\nc: (f", "rule 'b' (line 2): the applier uses ?y, which the searcher does not bind"},
        ErrorCase{"r: (f ?x) => (g ?y", "rule 'r' (line 1): the applier uses ?y, which the searcher does not bind"},
        ErrorCase{"r: (f ?x) => (g ?x", "rule 'r' (line 1, column 19): expected ')'"},
        ErrorCase{"commute-or: (f", "rule 'commute-or' (line 1): 'commute-or' is a built-in rule"}));

std::string nested(size_t depth) {
  std::string s;
  for (size_t i = 1; i < depth; ++i) s += "(f ";
  s += "?x";
  for (size_t i = 1; i < depth; ++i) s += ')';
  return s;
}

std::string wide(size_t nodes) {
  std::string s = "(f";
  for (size_t i = 1; i < nodes; ++i) s += " ?x";
  return s + ")";
}

TEST(RuleText, PatternSizeIsBounded) {
  EXPECT_TRUE(parse_rule_text("r: " + nested(64) + " => ?x").ok());
  EXPECT_EQ(error_of("r: " + nested(65) + " => ?x"), "rule 'r' (line 1, column 196): patterns nest at most 64 levels deep");
  EXPECT_EQ(error_of("r: (f ?x) => " + nested(65)), "rule 'r' (line 1, column 206): patterns nest at most 64 levels deep");
  EXPECT_TRUE(parse_rule_text("r: " + wide(4096) + " => ?x").ok());
  EXPECT_EQ(error_of("r: " + wide(4097) + " => ?x"), "rule 'r' (line 1, column " + std::to_string(4 + 2 + 3 * 4095 + 1) +
                                                        "): a pattern has at most 4096 nodes");
  // Hostile depth does not reach the stack.
  std::string deep = "r: ";
  for (int i = 0; i < 100000; ++i) deep += "(f ";
  EXPECT_NE(error_of(deep).find("64 levels"), std::string::npos);
}

TEST(RuleText, LongParameterListsFindRepeatedKeys) {
  std::string params;
  for (int i = 0; i < 40; ++i) {
    const std::string n = std::to_string(i);
    params.append("k").append(n).append("=").append(n).append(",");
  }
  EXPECT_TRUE(parse_rule_text("r: f{" + params + "z=1} => g").ok());
  const std::string text = "r: f{" + params + "k33=1} => g";
  EXPECT_EQ(error_of(text), "rule 'r' (line 1, column " + std::to_string(text.find("k33=1}") + 1) +
                                "): duplicate parameter key 'k33'");
  const RuleNode n = read("f{" + params + "z=1}");
  ASSERT_EQ(n.params.size(), 41u);
  EXPECT_TRUE(std::is_sorted(n.params.begin(), n.params.end(), [](auto& a, auto& b) { return a.key < b.key; }));
}

TEST(RuleTriples, ReadOneDirectionEach) {
  const std::vector<RuleTriple> triples = {{"a", "(add ?x zero)", "?x"}, {"a-rev", " (mul{k=?k} ?x) ", "(g{j=?k} ?x)"}};
  const auto parsed = parse_rule_triples(triples);
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  ASSERT_EQ(parsed.value().size(), 2u);
  EXPECT_EQ(parsed.value()[0].name, "a");
  EXPECT_EQ(parsed.value()[0].line, 1u);
  EXPECT_EQ(parsed.value()[0].applier, var("x"));
  EXPECT_EQ(parsed.value()[1].line, 2u);
  EXPECT_EQ(parsed.value()[1].searcher.params[0].var, "k");
  EXPECT_TRUE(parse_rule_triples({}).ok());
}

struct TripleErrorCase {
  std::vector<RuleTriple> triples;
  std::string message;
};

class TripleErrorTest : public testing::TestWithParam<TripleErrorCase> {};

TEST_P(TripleErrorTest, Reports) {
  const auto parsed = parse_rule_triples(GetParam().triples);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    RuleTriples, TripleErrorTest,
    testing::Values(
        TripleErrorCase{{{"a", "(add ?x", "?x"}}, "rule 'a' (item 1, searcher column 8): expected ')'"},
        TripleErrorCase{{{"a", "(f ?x)", "(g ?x"}}, "rule 'a' (item 1, applier column 6): expected ')'"},
        TripleErrorCase{{{"a", "(f ?x) => ?x", "?x"}}, "rule 'a' (item 1, searcher column 8): expected the end of the pattern"},
        TripleErrorCase{{{"a", "", "?x"}}, "rule 'a' (item 1, searcher column 1): expected a pattern"},
        TripleErrorCase{{{"a", "f", "g)"}}, "rule 'a' (item 1, applier column 2): unbalanced ')'"},
        TripleErrorCase{{{"a", "(add ?x)", "(neg ?y)"}}, "rule 'a' (item 1): the applier uses ?y, which the searcher does not bind"},
        TripleErrorCase{{{"a", "?x", "(f ?x)"}}, "rule 'a' (item 1): the searcher is a bare variable"},
        TripleErrorCase{{{"a", "f", "g"}, {"b", "f", "g"}, {"a", "f", "g"}}, "rule 'a' (item 3): a rule named 'a' comes earlier (item 1)"},
        TripleErrorCase{{{"commute-mul", "f", "g"}}, "rule 'commute-mul' (item 1): 'commute-mul' is a built-in rule"},
        TripleErrorCase{{{"ok", "f", "g"}, {"a b", "f", "g"}}, "item 2: malformed rule name 'a b'"},
        TripleErrorCase{{{"", "f", "g"}}, "item 1: malformed rule name ''"},
        TripleErrorCase{{{"a\n\xFF", "f", "g"}}, "item 1: malformed rule name 'a\\n\\u{fffd}'"}));

struct TextCase {
  std::string pattern;
  std::string canonical;
};

class ToTextTest : public testing::TestWithParam<TextCase> {};

TEST_P(ToTextTest, WritesCanonicallyAndReadsBack) {
  const RuleNode n = read(GetParam().pattern);
  const std::string text = to_text(n);
  EXPECT_EQ(text, GetParam().canonical);
  EXPECT_EQ(read(text), n) << text;
}

INSTANTIATE_TEST_SUITE_P(
    RuleText, ToTextTest,
    testing::Values(TextCase{"( add  ?x ?y )", "(add ?x ?y)"}, TextCase{"(f)", "f"},
                    TextCase{"(f{b=1,a=2.50} ?x)", "(f{a=2.5, b=1} ?x)"}, TextCase{"f{k=1.0}", "f{k=1.0}"},
                    TextCase{"f{k=1e5}", "f{k=1e+05}"}, TextCase{"f{k=12345.0}", "f{k=12345.0}"}, TextCase{"f{k=1e300}", "f{k=1e+300}"},
                    TextCase{"f{k=-0.0}", "f{k=-0.0}"}, TextCase{"f{k=0.1}", "f{k=0.1}"},
                    TextCase{"f{a=nan, b=inf, c=-inf}", "f{a=nan, b=inf, c=-inf}"},
                    TextCase{"f{k=-9223372036854775808, t=true, u=false}", "f{k=-9223372036854775808, t=true, u=false}"},
                    TextCase{"f{k=\"a\\\"b\\\\c\\n\\u{1}\\u{7f}\xC3\xA9\\0\"}", "f{k=\"a\\\"b\\\\c\\n\\u{1}\\u{7f}\xC3\xA9\\0\"}"},
                    TextCase{"(op:\"exchange\" ?x)", "(op:\"exchange\" ?x)"}, TextCase{"(op:add ?x)", "(add ?x)"},
                    TextCase{"(op:\"my op\" ?x)", "(op:\"my op\" ?x)"}, TextCase{"source:\"a b\"", "source:\"a b\""},
                    TextCase{"source:join", "source:join"}, TextCase{"(reduction:sum{axis=0} ?x)", "(reduction:sum{axis=0} ?x)"},
                    TextCase{"(exchange (join ?a ?b))", "(exchange (join ?a ?b))"},
                    TextCase{"f{\"k y\"=1, \"z\"=2}", "f{\"k y\"=1, z=2}"}, TextCase{"(f{k=?p} ?x)", "(f{k=?p} ?x)"}));

TEST(ToText, FloatsKeepTheirBits) {
  for (double d : {5e-324, std::numeric_limits<double>::max(), 0.1 + 0.2, 1.0 / 3, -2.5e-300, 123456789.0, 1e22, 1e-7}) {
    RuleNode n = node(NodeKind::Op, "f", {scalar("k", ParamTag::Float, fb(d))});
    EXPECT_EQ(read(to_text(n)), n) << to_text(n);
  }
  RuleNode odd_nan = node(NodeKind::Op, "f", {scalar("k", ParamTag::Float, 0xFFF0000000000001ULL)});
  EXPECT_EQ(to_text(odd_nan), "f{k=nan}");
}

TEST(ToText, UnsortedParamsAreWrittenSortedAndOtherKindsRefused) {
  RuleNode n = node(NodeKind::Op, "f", {int_param("b", 1), int_param("a", 2)});
  EXPECT_EQ(to_text(n), "f{a=2, b=1}");
  EXPECT_THROW(to_text(node(NodeKind::External, "x")), InternalError);
  EXPECT_THROW(to_text(node(NodeKind::Stage, "x")), InternalError);
}

struct CostKeyCase {
  std::string key;
  NodeKind kind;
  std::string name;
};

class CostKeyTest : public testing::TestWithParam<CostKeyCase> {};

TEST_P(CostKeyTest, Reads) {
  const auto parsed = parse_cost_key(GetParam().key);
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  EXPECT_EQ(parsed.value().first, GetParam().kind);
  EXPECT_EQ(parsed.value().second, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(RuleText, CostKeyTest,
                         testing::Values(CostKeyCase{"exp", NodeKind::Op, "exp"}, CostKeyCase{"op:exp", NodeKind::Op, "exp"},
                                         CostKeyCase{"op:\"my op\"", NodeKind::Op, "my op"},
                                         CostKeyCase{"reduction:sum", NodeKind::Reduction, "sum"},
                                         CostKeyCase{"source:x", NodeKind::Source, "x"},
                                         CostKeyCase{"exchange", NodeKind::Exchange, ""},
                                         CostKeyCase{"join", NodeKind::Join, ""}));

TEST(CostKey, Errors) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"x:y", "unknown kind prefix 'x'"},
      {"external:y", "unknown kind prefix 'external'"},
      {"", "malformed cost key ''"},
      {"op:", "malformed cost key 'op:'"},
      {"exp{}", "malformed cost key 'exp{}'"},
      {" exp", "malformed cost key ' exp'"},
      {"exp ", "malformed cost key 'exp '"},
      {"exp#", "malformed cost key 'exp#'"},
      {"op:\"\"", "malformed cost key 'op:\\\"\\\"'"},
      {"(exp)", "malformed cost key '(exp)'"},
  };
  for (const auto& [key, message] : cases) {
    const auto parsed = parse_cost_key(key);
    ASSERT_FALSE(parsed.ok()) << key;
    EXPECT_EQ(parsed.error(), message);
  }
}

}  // namespace
}  // namespace korvane
