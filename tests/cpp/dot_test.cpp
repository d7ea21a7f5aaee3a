// DOT text: float and string formatting of parameter values, label
// escaping, and whole renderings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

#include "graph_builder.hpp"
#include "store/dot.hpp"
#include "store/store.hpp"

namespace korvane {
namespace {

std::string float_text(double v) {
  std::string out;
  append_float(out, v);
  return out;
}

std::string quote_text(std::string_view s) {
  std::string out;
  append_quoted(out, s);
  return out;
}

struct FloatCase {
  double value;
  const char* text;
};

class FloatText : public testing::TestWithParam<FloatCase> {};

TEST_P(FloatText, IsTheShortestRoundTripWithoutExponent) { EXPECT_EQ(float_text(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Values, FloatText,
    testing::Values(FloatCase{1.0, "1"}, FloatCase{0.5, "0.5"}, FloatCase{1.5, "1.5"}, FloatCase{0.1, "0.1"},
                    FloatCase{-2.25, "-2.25"}, FloatCase{1e20, "100000000000000000000"},
                    FloatCase{1e-7, "0.0000001"}, FloatCase{0.0, "0"}, FloatCase{-0.0, "-0"},
                    FloatCase{123.456, "123.456"}, FloatCase{-0.001953125, "-0.001953125"},
                    // Shortest digits padded with zeros, not the exact integer.
                    FloatCase{9.223372036854775808e18, "9223372036854776000"},
                    FloatCase{18446744073709551616.0, "18446744073709552000"},
                    FloatCase{1e23, "100000000000000000000000"},
                    FloatCase{std::numeric_limits<double>::infinity(), "inf"},
                    FloatCase{-std::numeric_limits<double>::infinity(), "-inf"},
                    FloatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                    FloatCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"}));

TEST(FloatText, ExtremesReadBack) {
  for (double v : {std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                   -std::numeric_limits<double>::min(), 123456.789e-300}) {
    const std::string text = float_text(v);
    EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
  }
}

struct QuoteCase {
  std::string text;
  std::string quoted;
};

class Quoting : public testing::TestWithParam<QuoteCase> {};

TEST_P(Quoting, EscapesSpecialAndControlCharacters) { EXPECT_EQ(quote_text(GetParam().text), GetParam().quoted); }

INSTANTIATE_TEST_SUITE_P(
    Texts, Quoting,
    testing::Values(QuoteCase{"", "\"\""}, QuoteCase{"r", "\"r\""}, QuoteCase{"a\"b", "\"a\\\"b\""},
                    QuoteCase{"back\\slash", "\"back\\\\slash\""}, QuoteCase{"\t\r\n", "\"\\t\\r\\n\""},
                    QuoteCase{std::string("\0", 1), "\"\\0\""}, QuoteCase{"\x01\x1b\x7f", "\"\\u{1}\\u{1b}\\u{7f}\""},
                    QuoteCase{"\xc2\x85\xc2\x9f", "\"\\u{85}\\u{9f}\""},  // C1 controls
                    QuoteCase{"\xc2\xa0\xc3\xa9\xe2\x82\xac", "\"\xc2\xa0\xc3\xa9\xe2\x82\xac\""},
                    QuoteCase{"op|f|k=q1", "\"op|f|k=q1\""}));

TEST(LabelEscaping, DoublesBackslashesThenEscapesQuotes) {
  std::string out;
  append_label_escaped(out, "a\\\"b\n{}");
  EXPECT_EQ(out, "a\\\\\\\"b\n{}");
}

using testing_support::add;

std::string dot_of(const Store& s) {
  return s.read_locked([](const PoolData& pools, const NodeTable& nodes, const std::vector<NodeId>& outputs) {
    return render_dot(pools, nodes, outputs);
  });
}

TEST(RenderDot, EmptyAndSingleSource) {
  Store s;
  EXPECT_EQ(dot_of(s), "digraph korvane {\n}\n");
  add(s, NodeKind::Source, "x");
  EXPECT_EQ(dot_of(s), "digraph korvane {\n  n0 [label=\"Source x\"];\n}\n");
}

TEST(RenderDot, LabelsOfEveryKindWithParametersEdgesAndOutputs) {
  Store s;
  const NodeId x = add(s, NodeKind::Source, "a\"b");
  const NodeId f = add(s, NodeKind::Op, "add", {x, x},
                       {{"side", ParamTag::Str, 0, "r\"q"}, {"scalar", ParamTag::Float, double_bits(1.5), {}}});
  const NodeId r = add(s, NodeKind::Reduction, "sum", {f},
                       {{"axis", ParamTag::Int, static_cast<uint64_t>(-1), {}}, {"keep", ParamTag::Bool, 1, {}}});
  DescriptorRef d{"onnx", "sha:1", "ort", "1.2", "io", std::string_view("pre")};
  NodeSpec ext;
  ext.kind = NodeKind::External;
  ext.descriptor = &d;
  const std::vector<NodeId> ext_in{r};
  ext.inputs = ext_in;
  const NodeId e = s.intern_node(ext).value();
  const std::vector<StageRef> in0{{StageRef::Kind::Input, 0}};
  const std::vector<MemberSpec> members{{"op|neg", in0}, {"op|exp", in0}};
  NodeSpec stage;
  stage.kind = NodeKind::Stage;
  const std::vector<NodeId> stage_in{e};
  stage.inputs = stage_in;
  stage.members = members;
  const NodeId st = s.intern_node(stage).value();
  const NodeId ex = add(s, NodeKind::Exchange, "", {st}, {{"by", ParamTag::Str, 0, "key"}});
  add(s, NodeKind::Join, "", {ex, x});
  ASSERT_TRUE(s.mark_output(ex).ok());
  ASSERT_TRUE(s.mark_output(x).ok());
  EXPECT_EQ(dot_of(s),
            "digraph korvane {\n"
            "  n0 [label=\"Source a\\\"b\", shape=doublecircle];\n"
            "  n1 [label=\"Op add {scalar=1.5, side=\\\"r\\\\\\\"q\\\"}\"];\n"
            "  n2 [label=\"Reduction sum {axis=-1, keep=true}\"];\n"
            "  n3 [label=\"External onnx:sha:1 [ort 1.2]\"];\n"
            "  n4 [label=\"Stage[2 members]\"];\n"
            "  n5 [label=\"Exchange {by=\\\"key\\\"}\", shape=doublecircle];\n"
            "  n6 [label=\"Join\"];\n"
            "  n0 -> n1;\n"
            "  n0 -> n1;\n"
            "  n1 -> n2;\n"
            "  n2 -> n3;\n"
            "  n3 -> n4;\n"
            "  n4 -> n5;\n"
            "  n5 -> n6;\n"
            "  n0 -> n6;\n"
            "}\n");
}

using testing_support::Builder;

TEST(ConsumerIndex, ListsReadersAscendingWithRepeats) {
  Builder b;
  const NodeId x = b.src("x");
  const NodeId y = b.op("f", {x, x});
  const NodeId z = b.op("g", {y, x, x, y});  // more inputs than a record holds inline
  const NodeTable table = b.store.read_locked(
      [](const PoolData&, const NodeTable& nodes, const std::vector<NodeId>&) { return nodes; });
  const ConsumerIndex index(table);
  EXPECT_EQ(std::vector<uint32_t>(index.of(x).begin(), index.of(x).end()),
            (std::vector<uint32_t>{uint32_t(y), uint32_t(y), uint32_t(z), uint32_t(z)}));
  EXPECT_EQ(std::vector<uint32_t>(index.of(y).begin(), index.of(y).end()),
            (std::vector<uint32_t>{uint32_t(z), uint32_t(z)}));
  EXPECT_TRUE(index.of(z).empty());
}

// a -> p -> q -> r and s -> q: with seeds r and s at depth 2, the walk down
// from s reaches q, and the walk up from r reaches q too, and goes on to p.
TEST(Neighbourhood, FollowsEachDirectionOnItsOwn) {
  Builder b;
  const NodeId a = b.src("a"), s = b.src("s");
  const NodeId p = b.op("p", {a});
  const NodeId q = b.op("q", {p, s});
  const NodeId r = b.op("r", {q});
  const NodeId t = b.op("t", {r});
  const NodeTable table = b.store.read_locked(
      [](const PoolData&, const NodeTable& nodes, const std::vector<NodeId>&) { return nodes; });
  const ConsumerIndex index(table);
  const auto around = [&](std::vector<NodeId> seeds, uint64_t depth) {
    return neighbourhood(table, index, seeds, depth);
  };
  EXPECT_EQ(around({r, s}, 2), (std::vector<uint32_t>{uint32_t(s), uint32_t(p), uint32_t(q), uint32_t(r),
                                                      uint32_t(t)}));
  EXPECT_EQ(around({r, s}, 3).size(), 6u);
  EXPECT_EQ(around({q}, 0), (std::vector<uint32_t>{uint32_t(q)}));
  EXPECT_EQ(around({t, t}, UINT64_MAX).size(), 6u);  // stops once nothing is left to follow
  EXPECT_TRUE(around({}, 3).empty());
}

TEST(RenderDotAround, SameLinesAsTheWholeDrawingAndSummariesOfTheCut) {
  Builder b;
  const NodeId x = b.src("x\"y");
  const NodeId f = b.op("f", {x, x});
  const NodeId g = b.op("g", {f});
  for (int k = 0; k < 1500; ++k) b.op("h", {g}, {testing_support::i("k", k)});
  ASSERT_TRUE(b.store.mark_output(g).ok());
  const auto around = [&](std::vector<NodeId> seeds, uint64_t depth) {
    return b.store.read_locked(
        [&](const PoolData& pools, const NodeTable& nodes, const std::vector<NodeId>& outputs) {
          return render_dot_around(pools, nodes, outputs, seeds, depth);
        });
  };
  EXPECT_EQ(around({f}, 1),
            "digraph korvane {\n"
            "  n0 [label=\"Source x\\\"y\"];\n"
            "  n1 [label=\"Op f\"];\n"
            "  n2 [label=\"Op g\", shape=doublecircle];\n"
            "  c2 [label=\"+1,500 consumers\", shape=plaintext, fontcolor=gray40];\n"
            "  n0 -> n1;\n"
            "  n0 -> n1;\n"
            "  n1 -> n2;\n"
            "  n2 -> c2 [style=dashed, color=gray40];\n"
            "}\n");
  EXPECT_EQ(around({3}, 0),
            "digraph korvane {\n"
            "  n3 [label=\"Op h {k=0}\"];\n"
            "  i3 [label=\"+1 inputs\", shape=plaintext, fontcolor=gray40];\n"
            "  i3 -> n3 [style=dashed, color=gray40];\n"
            "}\n");
  EXPECT_EQ(around({x}, 3), dot_of(b.store));
}

}  // namespace
}  // namespace korvane
