// Parameter keys, name escaping and the parsers that read keys back.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "store/member_token.hpp"
#include "store/params.hpp"

namespace korvane {
namespace {

ParamRef int_param(std::string_view key, int64_t v) { return {key, ParamTag::Int, static_cast<uint64_t>(v), {}}; }
ParamRef float_param(std::string_view key, double v) { return {key, ParamTag::Float, double_bits(v), {}}; }
ParamRef str_param(std::string_view key, std::string_view v) { return {key, ParamTag::Str, 0, v}; }
ParamRef bool_param(std::string_view key, bool v) { return {key, ParamTag::Bool, v, {}}; }

std::string escaped(std::string_view text) {
  std::string out;
  append_escaped(out, text);
  return out;
}

TEST(EscapeName, RoundTripsAwkwardText) {
  for (std::string s : {"", "plain", "%", "%25", "a;b=c|d", "%7C|%3D", "100%%", "\xff\x00z"}) {
    EXPECT_EQ(unescape_name(escaped(s)), s) << s;
  }
  EXPECT_EQ(escaped("a%;=|"), "a%25%3B%3D%7C");
}

struct KeyCase {
  std::vector<ParamRef> params;
  std::string key;
};

class ParamKeyTest : public testing::TestWithParam<KeyCase> {};

TEST_P(ParamKeyTest, EncodesAndParsesBack) {
  const KeyCase& c = GetParam();
  EXPECT_EQ(param_key(c.params), c.key);
  auto parsed = parse_param_key(c.key);
  ASSERT_TRUE(parsed.has_value());
  ASSERT_EQ(parsed->size(), c.params.size());
  std::vector<ParamRef> refs;
  for (size_t i = 0; i < c.params.size(); ++i) {
    EXPECT_EQ((*parsed)[i].key, c.params[i].key);
    EXPECT_EQ((*parsed)[i].tag, c.params[i].tag);
    refs.push_back((*parsed)[i].ref());
  }
  EXPECT_EQ(param_key(refs), c.key) << "the values read back encode as written";
}

INSTANTIATE_TEST_SUITE_P(
    Values, ParamKeyTest,
    testing::Values(KeyCase{{}, ""}, KeyCase{{int_param("n", 3)}, "n=i3"}, KeyCase{{int_param("n", -12)}, "n=i-12"},
                    KeyCase{{int_param("n", std::numeric_limits<int64_t>::min())}, "n=i-9223372036854775808"},
                    KeyCase{{float_param("x", 1.0)}, "x=f3ff0000000000000"},
                    KeyCase{{float_param("x", -0.0)}, "x=f8000000000000000"},
                    KeyCase{{float_param("x", std::nan(""))}, "x=f7ff8000000000000"},
                    KeyCase{{bool_param("b", true)}, "b=btrue"}, KeyCase{{str_param("s", "a=b|c%")}, "s=sa%3Db%7Cc%25"},
                    KeyCase{{float_param("scalar", 0.0), str_param("side", "r")}, "scalar=f0000000000000000;side=sr"},
                    KeyCase{{str_param("k;=", "")}, "k%3B%3D=s"}));

TEST(ParamKey, NegativeNaNBitsEncodeAsTheQuietNaN) {
  const ParamRef p{"v", ParamTag::Float, 0xFFF0000000000001ULL, {}};
  EXPECT_EQ(param_key(std::span(&p, 1)), "v=f7ff8000000000000");
}

TEST(ParseParamKey, AcceptsSignsAndCaseAndSortsByKey) {
  auto m = parse_param_key("b=i+7;a=f+3FF0000000000000;c=bfalse");
  ASSERT_TRUE(m);
  ASSERT_EQ(m->size(), 3u);
  EXPECT_EQ((*m)[0].key, "a");
  EXPECT_EQ((*m)[0].bits, 0x3FF0000000000000ULL);
  EXPECT_EQ((*m)[1].key, "b");
  EXPECT_EQ((*m)[1].bits, 7u);
  EXPECT_EQ((*m)[2].key, "c");
}

TEST(ParseParamKey, KeepsDuplicateKeysInReadOrder) {
  auto m = parse_param_key("k=i2;k=i1");
  ASSERT_TRUE(m);
  EXPECT_EQ((*m)[0].bits, 2u);
  EXPECT_EQ((*m)[1].bits, 1u);
}

class ParseParamKeyRejects : public testing::TestWithParam<const char*> {};
TEST_P(ParseParamKeyRejects, Malformed) { EXPECT_FALSE(parse_param_key(GetParam()).has_value()) << GetParam(); }
INSTANTIATE_TEST_SUITE_P(Texts, ParseParamKeyRejects,
                         testing::Values("k", "k=", "k=i", "k=q1", "k=i1;", ";k=i1", "k=i9223372036854775808",
                                         "k=i+-1", "k=i1x", "k=f", "k=f-1", "k=f10000000000000000", "k=f0x1",
                                         "k=btrue1", "k=bTrue", "k=i 1"));

TEST(ParseMemberSymbol, SplitsHeadNameAndParams) {
  auto a = parse_member_symbol("op|add");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->head, "op");
  EXPECT_EQ(a->name, "add");
  EXPECT_TRUE(a->params.empty());

  auto b = parse_member_symbol("red|sum|axis=i0");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->head, "red");
  ASSERT_EQ(b->params.size(), 1u);
  EXPECT_EQ(b->params[0].key, "axis");

  auto c = parse_member_symbol("op|");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->name, "");

  auto d = parse_member_symbol("op|a%7Cb|s=sx%7Cy");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->name, "a|b");
  EXPECT_EQ(d->params[0].str, "x|y");
}

TEST(ParseMemberSymbol, RejectsOtherHeadsAndBadParams) {
  for (const char* t : {"op", "src|x", "", "|add", "OP|add", "op|f|k=q1", "op|f|;"}) {
    EXPECT_FALSE(parse_member_symbol(t).has_value()) << t;
  }
}

}  // namespace
}  // namespace korvane
