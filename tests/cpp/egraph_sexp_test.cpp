// egraph_sexp_test.cpp - the s-expression reader and the pattern-text parser.
//
// Reader values and errors with their exact positions, and every parser
// error variant with what it carries.
#include <gtest/gtest.h>

#include <string>

#include "egraph/sexp.hpp"
#include "egraph/term.hpp"

namespace korvane::egraph {
namespace {

Sexp atom(const char* text) { return Sexp::string(text); }

struct ReadCase {
  const char* input;
  Sexp expected;
};

class ReadValue : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadValue, Reads) {
  auto result = read_sexp(GetParam().input);
  ASSERT_TRUE(result.ok()) << to_string(result.error());
  EXPECT_EQ(result.value(), GetParam().expected) << to_string(result.value());
}

INSTANTIATE_TEST_SUITE_P(
    Reader, ReadValue,
    testing::Values(ReadCase{"", Sexp::empty()},
                    // Everything after the first expression is ignored.
                    ReadCase{"f g", atom("f")}, ReadCase{"(f a) junk)", Sexp::make_list({atom("f"), atom("a")})},
                    // Tabs and quotation marks inside an atom belong to it.
                    ReadCase{"(f a\tb)", Sexp::make_list({atom("f"), atom("a\tb")})},
                    ReadCase{"a\"b c", atom("a\"b")},
                    // Quoted strings keep backslashes; an escaped quote does not close them.
                    ReadCase{"\"a\\\"b\"", atom("a\\\"b")}, ReadCase{"\"x y\"", atom("x y")},
                    ReadCase{"\"a\\\\\"b\"", atom("a\\\\\"b")},
                    ReadCase{"(f\r\n\t (g  b)\n)", Sexp::make_list({atom("f"), Sexp::make_list({atom("g"), atom("b")})})},
                    ReadCase{"\t ()", Sexp::make_list({})}));

struct ReadErrorCase {
  const char* input;
  const char* msg;
  std::size_t line;
  std::size_t col;
};

class ReadError : public testing::TestWithParam<ReadErrorCase> {};

TEST_P(ReadError, ReportsPosition) {
  auto result = read_sexp(GetParam().input);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().parse, (ParseError{GetParam().msg, GetParam().line, GetParam().col}));
}

INSTANTIATE_TEST_SUITE_P(Reader, ReadError,
                         testing::Values(ReadErrorCase{")", "Unexpected )", 1, 1},
                                         ReadErrorCase{"(f a", "End of file reached", 1, 5},
                                         ReadErrorCase{"  ", "End of file reached", 1, 3},
                                         ReadErrorCase{"(f\n  (g", "End of file reached", 2, 5},
                                         ReadErrorCase{"(f (a )", "End of file reached", 1, 8},
                                         ReadErrorCase{"\"abc", "End of file reached", 1, 5},
                                         ReadErrorCase{"\"ab\\\"", "End of file reached", 1, 6},
                                         // Columns count characters, not bytes.
                                         ReadErrorCase{"(\xC3\xA9\xE2\x82\xAC a", "End of file reached", 1, 6},
                                         // A byte that starts no well-formed sequence is one
                                         // character: a stray continuation byte, each byte of
                                         // an overlong form, a lead cut short by the end.
                                         ReadErrorCase{"(\x80 a", "End of file reached", 1, 5},
                                         ReadErrorCase{"(\xC0\xA0 a", "End of file reached", 1, 6},
                                         ReadErrorCase{"\"\xE2\x82", "End of file reached", 1, 4}));

PatternNode var(const char* text) { return PatternNode::var(Var{intern(text)}); }
PatternNode op(const char* text, std::initializer_list<ClassId> children = {}) {
  return PatternNode::enode(SymbolLang{intern(text), Children(children)});
}

TEST(ParseTerm, BuildsFlatTermsBottomUp) {
  auto term = parse_term("(op|add ?a ?b)");
  ASSERT_TRUE(term.ok());
  EXPECT_EQ(term.value(), FlatTerm<PatternNode>({var("?a"), var("?b"), op("op|add", {0, 1})}));

  // Identical subterms are not shared yet.
  auto twice = parse_term("(op|add ?a ?a)");
  ASSERT_TRUE(twice.ok());
  EXPECT_EQ(twice.value(), FlatTerm<PatternNode>({var("?a"), var("?a"), op("op|add", {0, 1})}));

  auto nested = parse_term(" (f (g x) ?y)\n");
  ASSERT_TRUE(nested.ok());
  EXPECT_EQ(nested.value(), FlatTerm<PatternNode>({op("x"), op("g", {0}), var("?y"), op("f", {1, 2})}));
  EXPECT_EQ(to_string(nested.value()), "(f (g x) ?y)");
}

TEST(ParseTerm, LeavesVariablesAndTrimming) {
  EXPECT_EQ(parse_term("?").value(), FlatTerm<PatternNode>({op("?")}));
  EXPECT_EQ(parse_term("?x").value(), FlatTerm<PatternNode>({var("?x")}));
  EXPECT_EQ(parse_term("f g").value(), FlatTerm<PatternNode>({op("f")}));
  // Unicode white space (no-break space, ideographic space) is trimmed.
  EXPECT_EQ(parse_term("\xC2\xA0 (f a)\xE3\x80\x80").value(), FlatTerm<PatternNode>({op("a"), op("f", {0})}));
  EXPECT_EQ(trim_unicode_space("\xE2\x80\x82x\xC2\x85"), "x");
  EXPECT_EQ(trim_unicode_space("\x85x\xC2"), "\x85x\xC2");
  // An overlong form of a space, or a surrogate, is no white space.
  EXPECT_EQ(trim_unicode_space("\xC0\xA0x\xE0\x80\xA0"), "\xC0\xA0x\xE0\x80\xA0");
  EXPECT_EQ(trim_unicode_space("\xED\xA0\x80x"), "\xED\xA0\x80x");
}

TEST(ParseVar, RequiresQuestionMarkAndAName) {
  EXPECT_EQ(parse_var("?x").value(), Var{intern("?x")});
  EXPECT_EQ(parse_var("x").error(), MissingQuestionMark{"x"});
  EXPECT_EQ(parse_var("?").error(), MissingQuestionMark{"?"});
  EXPECT_EQ(to_string(parse_var("?abc").value()), "?abc");
}

TEST(NodeFromOp, VariablesTakeNoChildren) {
  const ClassId kids[] = {0};
  EXPECT_EQ(node_from_op("?x", kids).error(), PatternNodeError(UnexpectedVar{"?x"}));
  EXPECT_EQ(node_from_op("?", kids).value(), op("?", {0}));
  EXPECT_EQ(node_from_op("?x", {}).value(), var("?x"));
}

struct ParseErrorCase {
  const char* input;
  TermParseError expected;
};

class ParseTermError : public testing::TestWithParam<ParseErrorCase> {};

TEST_P(ParseTermError, FailsWithVariant) {
  auto term = parse_term(GetParam().input);
  ASSERT_FALSE(term.ok()) << to_string(term.value());
  EXPECT_EQ(term.error(), GetParam().expected) << to_string(term.error());
}

INSTANTIATE_TEST_SUITE_P(
    Parser, ParseTermError,
    testing::Values(ParseErrorCase{"", EmptySexp{}}, ParseErrorCase{" \t\n ", EmptySexp{}},
                    ParseErrorCase{"()", EmptySexp{}}, ParseErrorCase{"(f a ())", EmptySexp{}},
                    ParseErrorCase{"((f) a)", HeadList{Sexp::make_list({Sexp::string("f")})}},
                    ParseErrorCase{"(?x a)", BadOp{UnexpectedVar{"?x"}}},
                    ParseErrorCase{"(f (?y b))", BadOp{UnexpectedVar{"?y"}}},
                    ParseErrorCase{")", BadSexp{ReaderError{ParseError{"Unexpected )", 1, 1}}}},
                    ParseErrorCase{"(f a", BadSexp{ReaderError{ParseError{"End of file reached", 1, 5}}}}));

}  // namespace
}  // namespace korvane::egraph
