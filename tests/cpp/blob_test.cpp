// The blob writer and reader: exact bytes, round trips, every reader error
// in stream order, forged counts, and the records the reader mends.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "common/utf8.hpp"
#include "graph_builder.hpp"
#include "store/blob.hpp"
#include "store/dot.hpp"

namespace korvane {
namespace {

/// Builds blob bytes field by field, little-endian.
struct Bytes {
  std::string s;

  Bytes& raw(std::string_view b) {
    s += b;
    return *this;
  }
  Bytes& u8(uint8_t v) { return raw(std::string(1, static_cast<char>(v))); }
  Bytes& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i));
    return *this;
  }
  Bytes& u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) s += static_cast<char>(v >> (8 * i));
    return *this;
  }
  Bytes& str(std::string_view v) { return u32(static_cast<uint32_t>(v.size())).raw(v); }
};

Bytes header(uint32_t nodes) { return Bytes{}.raw("KIR1").u32(nodes); }

using testing_support::add;

std::string write(const Store& s, std::optional<std::vector<NodeId>> outputs = std::nullopt) {
  const Snapshot snap = s.snapshot();
  auto blob = write_blob(snap.graph.pools, snap.graph.nodes, outputs ? *outputs : snap.outputs);
  EXPECT_TRUE(blob.ok());
  return blob.ok() ? blob.value() : std::string();
}

/// The DOT text shows every node's kind, name, parameters and inputs.
std::string dot_of(const Store& s) {
  return s.read_locked([](const PoolData& pools, const NodeTable& nodes, const std::vector<NodeId>& outputs) {
    return render_dot(pools, nodes, outputs);
  });
}

std::unique_ptr<Store> read(std::string_view data) {
  auto store = read_blob(data);
  EXPECT_TRUE(store.ok()) << store.error().message();
  return store.ok() ? std::move(store.value()) : std::make_unique<Store>();
}

std::string error_of(std::string_view data) {
  auto store = read_blob(data);
  return store.ok() ? "(read without error)" : store.error().message();
}

ParamRef int_param(std::string_view k, int64_t v) { return {k, ParamTag::Int, static_cast<uint64_t>(v), {}}; }
ParamRef float_bits(std::string_view k, uint64_t bits) { return {k, ParamTag::Float, bits, {}}; }

/// A store with one node of every kind, parameters of every variant, a
/// descriptor with and without preprocessing_ref, a stage, and marks.
std::unique_ptr<Store> every_kind() {
  auto s = std::make_unique<Store>();
  const NodeId x = add(*s, NodeKind::Source, "x", {}, {{"path", ParamTag::Str, 0, "/data/é"}});
  const NodeId f = add(*s, NodeKind::Op, "add", {x, x},
                       {float_bits("scalar", double_bits(-0.0)), {"on", ParamTag::Bool, 1, {}}, int_param("axis", -3),
                        float_bits("nan", 0x7FF0000000000123ULL)});
  const NodeId r = add(*s, NodeKind::Reduction, "sum", {f}, {int_param("axis", 0)});
  DescriptorRef d{"onnx", "sha256:1", "ort", "1.2", "f32->f32", std::nullopt};
  DescriptorRef with_pre = d;
  with_pre.preprocessing_ref = "";
  NodeSpec ext;
  ext.kind = NodeKind::External;
  ext.descriptor = &d;
  const std::vector<NodeId> ext_in{r};
  ext.inputs = ext_in;
  const NodeId e1 = s->intern_node(ext).value();
  ext.descriptor = &with_pre;
  const NodeId e2 = s->intern_node(ext).value();
  const std::vector<StageRef> in0{{StageRef::Kind::Input, 0}};
  const std::vector<StageRef> both{{StageRef::Kind::Input, 1}, {StageRef::Kind::Member, 0}};
  const std::vector<MemberSpec> members{{"op|neg", in0}, {"op|mul|k=i2", both}};
  NodeSpec stage;
  stage.kind = NodeKind::Stage;
  const std::vector<NodeId> stage_in{e1, e2};
  stage.inputs = stage_in;
  stage.members = members;
  const NodeId st = s->intern_node(stage).value();
  const NodeId ex = add(*s, NodeKind::Exchange, "", {st}, {{"scheme", ParamTag::Str, 0, "hash"}});
  add(*s, NodeKind::Join, "", {ex, x, x});
  add(*s, NodeKind::Exchange, "", {});
  add(*s, NodeKind::Source, "late");  // a record without inputs after one with inputs
  EXPECT_TRUE(s->mark_output(ex).ok());
  EXPECT_TRUE(s->mark_output(x).ok());
  return s;
}

TEST(BlobWriter, EmptyStoreAndOneSourceHaveTheDocumentedBytes) {
  Store s;
  EXPECT_EQ(write(s), header(0).u32(0).s);
  add(s, NodeKind::Source, "x");
  const std::string expected("KIR1\x01\0\0\0\0\x01\0\0\0x\0\0\0\0\0\0\0\0", 22);
  EXPECT_EQ(write(s), expected);
}

TEST(BlobWriter, ExplicitOutputsAreWrittenAsGivenIncludingDuplicates) {
  Store s;
  add(s, NodeKind::Source, "x");
  ASSERT_TRUE(s.mark_output(0).ok());
  EXPECT_EQ(write(s, std::vector<NodeId>{0, 0}), header(1).u8(0).str("x").u32(0).u32(2).u64(0).u64(0).s);
  EXPECT_EQ(write(s, std::vector<NodeId>{}), header(1).u8(0).str("x").u32(0).u32(0).s);
}

TEST(BlobWriter, RefusesCountsBeyondTheLimit) {
  Store s;
  add(s, NodeKind::Source, "ab");
  const Snapshot snap = s.snapshot();
  const std::vector<NodeId> outputs{0, 0, 0};
  auto too_long = write_blob(snap.graph.pools, snap.graph.nodes, {}, 1);
  ASSERT_FALSE(too_long.ok());
  EXPECT_EQ(too_long.error().message, "cannot serialize: name length 2 does not fit in a 32-bit blob field");
  auto too_many = write_blob(snap.graph.pools, snap.graph.nodes, outputs, 2);
  ASSERT_FALSE(too_many.ok());
  EXPECT_EQ(too_many.error().message, "cannot serialize: output count 3 does not fit in a 32-bit blob field");
  EXPECT_TRUE(write_blob(snap.graph.pools, snap.graph.nodes, std::span(outputs).first(2), 2).ok());
}

TEST(BlobRoundTrip, EveryKindReadsBackToTheSameIdsAndBytes) {
  const auto s = every_kind();
  const std::string blob = write(*s);
  const auto back = read(blob);
  EXPECT_EQ(back->node_count(), s->node_count());
  EXPECT_EQ(back->outputs(), s->outputs());
  EXPECT_EQ(write(*back), blob);
  EXPECT_EQ(dot_of(*back), dot_of(*s));
  // The NaN keeps its payload bits through the round trip.
  const Snapshot snap = back->snapshot();
  bool found = false;
  for (const ParamSlot& p : snap.graph.params(1)) found |= p.bits == 0x7FF0000000000123ULL;
  EXPECT_TRUE(found);
}

TEST(BlobRoundTrip, DuplicateOutputsCollapseToTheFirstMark) {
  Store s;
  add(s, NodeKind::Source, "x");
  add(s, NodeKind::Source, "y");
  const auto back = read(write(s, std::vector<NodeId>{1, 0, 1}));
  EXPECT_EQ(back->outputs(), (std::vector<NodeId>{1, 0}));
}

TEST(BlobReader, SortsParametersStablyByKey) {
  const std::string blob = header(1)
                               .u8(0)
                               .str("x")
                               .u32(3)
                               .str("b").u8(0).u64(1)
                               .str("a").u8(2).u8(7)
                               .str("b").u8(0).u64(2)
                               .u32(0)
                               .s;
  const auto s = read(blob);
  const Snapshot snap = s->snapshot();
  const auto params = snap.graph.params(0);
  ASSERT_EQ(params.size(), 3u);
  EXPECT_EQ(snap.graph.pools.str(params[0].key), "a");
  EXPECT_EQ(params[0].bits, 1u);  // any nonzero Bool byte reads as true
  EXPECT_EQ(params[1].bits, 1u);
  EXPECT_EQ(params[2].bits, 2u);
  EXPECT_EQ(write(*s), header(1).u8(0).str("x").u32(3)
                           .str("a").u8(2).u8(1)
                           .str("b").u8(0).u64(1)
                           .str("b").u8(0).u64(2)
                           .u32(0).s);
}

TEST(BlobReader, IgnoresTrailingBytes) {
  Store s;
  add(s, NodeKind::Source, "x");
  EXPECT_EQ(read(write(s) + "garbage")->node_count(), 1u);
}

struct ErrorCase {
  const char* what;
  std::string data;
  std::string message;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.what; }

class BlobReaderError : public testing::TestWithParam<ErrorCase> {};

TEST_P(BlobReaderError, ReportsTheFirstFailureInStreamOrder) { EXPECT_EQ(error_of(GetParam().data), GetParam().message); }

const std::string kTruncated = "truncated korvane IR blob";
const std::string kBadMagic = "not a korvane IR blob (bad magic/version)";
const std::string kBadUtf8 = "invalid utf-8 in korvane IR blob";

Bytes op_header(uint32_t nodes) { return header(nodes).u8(0).str("x").u32(0); }  // node 0: Source x

INSTANTIATE_TEST_SUITE_P(
    Cases, BlobReaderError,
    testing::Values(
        ErrorCase{"empty", "", kTruncated}, ErrorCase{"three bytes", "KIR", kTruncated},
        ErrorCase{"bad magic", "KIR2\0\0\0\0", kBadMagic}, ErrorCase{"four other bytes", "abcd", kBadMagic},
        ErrorCase{"magic only", "KIR1", kTruncated}, ErrorCase{"seven bytes", "KIR1\0\0\0", kTruncated},
        ErrorCase{"no output list", header(0).s, kTruncated},
        ErrorCase{"node tag 7", header(1).u8(7).s, "invalid node tag 7"},
        ErrorCase{"node tag 255", header(1).u8(255).s, "invalid node tag 255"},
        ErrorCase{"param tag 4", header(1).u8(0).str("x").u32(1).str("k").u8(4).s, "invalid param tag 4"},
        ErrorCase{"stage-ref tag 2", header(1).u8(4).u32(0).u32(1).str("op|f").u32(1).u8(2).s,
                  "invalid stage-ref tag 2"},
        ErrorCase{"bad utf-8 name", header(1).u8(0).str("\xff").s, kBadUtf8},
        ErrorCase{"utf-8 error before truncation", header(1).u8(0).str("\xc3").u32(5).s, kBadUtf8},
        ErrorCase{"bad utf-8 param value", header(1).u8(0).str("x").u32(1).str("k").u8(3).str("\xed\xa0\x80").s,
                  kBadUtf8},
        ErrorCase{"input is its own record", op_header(2).u8(1).str("f").u32(0).u32(1).u64(1).s,
                  "node reference 1 out of range"},
        ErrorCase{"first bad input wins", op_header(2).u8(1).str("f").u32(0).u32(3).u64(0).u64(7).u64(9).s,
                  "node reference 7 out of range"},
        ErrorCase{"huge input id", op_header(2).u8(5).u32(0).u32(1).u64(~0ULL).s,
                  "node reference 18446744073709551615 out of range"},
        ErrorCase{"output beyond the records", op_header(1).u32(1).u64(1).s, "node reference 1 out of range"},
        ErrorCase{"member ref to itself", header(1).u8(4).u32(0).u32(1).str("op|f").u32(1).u8(1).u32(0).s,
                  "node reference 0 out of range"},
        ErrorCase{"stage input ref beyond its inputs",
                  op_header(2).u8(4).u32(1).u64(0).u32(1).str("op|f").u32(2).u8(0).u32(0).u8(0).u32(1).s,
                  "node reference 1 out of range"},
        ErrorCase{"stage input ref of a stage without inputs", header(1).u8(4).u32(0).u32(1).str("op|f").u32(1).u8(0).u32(0).s,
                  "node reference 0 out of range"},
        ErrorCase{"forged node count", header(0xFFFFFFFF).u8(0).str("x").u32(0).s, kTruncated},
        ErrorCase{"forged input count", op_header(2).u8(1).str("f").u32(0).u32(0xFFFFFFFF).u64(0).s, kTruncated},
        ErrorCase{"forged string length", header(1).u8(0).u32(0xFFFFFFFF).raw("x").s, kTruncated},
        ErrorCase{"forged param count", header(1).u8(0).str("x").u32(0xFFFFFFFF).s, kTruncated},
        ErrorCase{"forged member count", header(1).u8(4).u32(0).u32(0xFFFFFFFF).s, kTruncated},
        ErrorCase{"forged ref count", header(1).u8(4).u32(0).u32(1).str("op|f").u32(0xFFFFFFFF).s, kTruncated},
        ErrorCase{"forged output count", header(0).u32(0xFFFFFFFF).s, kTruncated},
        ErrorCase{"external flag without its string", header(1).u8(3).str("a").str("b").str("c").str("d").str("e").u8(9).s,
                  kTruncated}));

TEST(BlobReader, EveryStrictPrefixOfAValidBlobIsTruncated) {
  const std::string blob = write(*every_kind());
  for (size_t n = 0; n < blob.size(); ++n) {
    EXPECT_EQ(error_of(std::string_view(blob).substr(0, n)), kTruncated) << "prefix of " << n << " bytes";
  }
}

// A record equal to an earlier one interns to the earlier node; references
// to its position, from inputs and outputs, follow it there.
TEST(BlobReader, EqualRecordsShareANodeAndLaterReferencesFollow) {
  const std::string blob = header(4)
                               .u8(0).str("x").u32(0)                  // record 0 -> node 0
                               .u8(0).str("x").u32(0)                  // record 1 -> node 0 again
                               .u8(0).str("y").u32(0)                  // record 2 -> node 1
                               .u8(1).str("f").u32(0).u32(2).u64(1).u64(2)  // record 3 -> node 2, inputs [0, 1]
                               .u32(3).u64(3).u64(1).u64(2)
                               .s;
  const auto s = read(blob);
  EXPECT_EQ(s->node_count(), 3u);
  EXPECT_EQ(s->outputs(), (std::vector<NodeId>{2, 0, 1}));
  const Snapshot snap = s->snapshot();
  const auto in = snap.graph.inputs(2);
  EXPECT_EQ(std::vector<uint32_t>(in.begin(), in.end()), (std::vector<uint32_t>{0, 1}));
  // Record positions are still what references are checked against.
  EXPECT_EQ(error_of(header(3).u8(0).str("x").u32(0).u8(0).str("x").u32(0).u8(1).str("f").u32(0).u32(1).u64(2).s),
            "node reference 2 out of range");
  EXPECT_EQ(error_of(header(2).u8(0).str("x").u32(0).u8(0).str("x").u32(0).u32(1).u64(2).s),
            "node reference 2 out of range");
}

// The reader first appends records unchecked and looks for equal ones in a
// bulk pass; an equal pair far apart, equal only through NaNs that differ in
// their bits, must still be found, and the result be the interned store.
TEST(BlobReader, EqualRecordsFarApartAreFoundThroughCanonicalParameters) {
  auto nan_params = [](uint64_t bits) { return Bytes{}.u32(1).str("k").u8(1).u64(bits).s; };
  Bytes blob = header(302);
  for (uint32_t i = 0; i < 300; ++i) {
    if (i == 3) {
      blob.u8(0).str("dup").raw(nan_params(0x7ff8000000000001));
    } else {
      std::string name = "s";
      name += std::to_string(i);
      blob.u8(0).str(name).u32(0);
    }
  }
  blob.u8(0).str("dup").raw(nan_params(0x7ff8000000000002));  // record 300 -> node 3
  blob.u8(1).str("f").u32(0).u32(2).u64(300).u64(299);        // record 301 -> node 300
  blob.u32(2).u64(301).u64(300);
  const auto s = read(blob.s);
  EXPECT_EQ(s->node_count(), 301u);
  EXPECT_EQ(s->outputs(), (std::vector<NodeId>{300, 3}));
  const Snapshot snap = s->snapshot();
  const auto in = snap.graph.inputs(300);
  EXPECT_EQ(std::vector<uint32_t>(in.begin(), in.end()), (std::vector<uint32_t>{3, 299}));
  // A store read without meeting equal records indexes every node too.
  const auto again = read(write(*s));
  EXPECT_EQ(add(*again, NodeKind::Source, "s299"), 299u);
  EXPECT_EQ(add(*again, NodeKind::Op, "f", {3, 299}), 300u);
  EXPECT_EQ(again->node_count(), 301u);
}

TEST(BlobReader, RepeatedParameterSectionsResolveToOneMap) {
  Store s;
  const NodeId x = add(s, NodeKind::Source, "x", {}, {int_param("k", 1)});
  add(s, NodeKind::Op, "f", {x}, {int_param("k", 1)});
  add(s, NodeKind::Op, "g", {x}, {int_param("k", 2)});
  add(s, NodeKind::Op, "h", {x}, {int_param("k", 1)});
  const std::string blob = write(s);
  const auto back = read(blob);
  const Snapshot snap = back->snapshot();
  EXPECT_EQ(snap.graph.nodes.recs[0].params, snap.graph.nodes.recs[3].params);
  EXPECT_NE(snap.graph.nodes.recs[0].params, snap.graph.nodes.recs[2].params);
  EXPECT_EQ(write(*back), blob);
}

struct Utf8Case {
  std::string bytes;
  bool valid;
};

class Utf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, MatchesTheStrictDecoder) { EXPECT_EQ(valid_utf8(GetParam().bytes), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(
    Bytes, Utf8,
    testing::Values(Utf8Case{"", true}, Utf8Case{"plain ascii, longer than a word", true},
                    Utf8Case{std::string("nul\0inside", 10), true}, Utf8Case{"\xc3\xa9", true},
                    Utf8Case{"\xe2\x82\xac", true}, Utf8Case{"\xf0\x9f\x98\x80", true},
                    Utf8Case{"\xf4\x8f\xbf\xbf", true}, Utf8Case{"\xed\x9f\xbf", true},
                    Utf8Case{"\x80", false}, Utf8Case{"\xc0\xaf", false}, Utf8Case{"\xc1\xbf", false},
                    Utf8Case{"\xe0\x80\xaf", false}, Utf8Case{"\xed\xa0\x80", false},
                    Utf8Case{"\xf0\x80\x80\xaf", false}, Utf8Case{"\xf4\x90\x80\x80", false},
                    Utf8Case{"\xf5\x80\x80\x80", false}, Utf8Case{"abcdefgh\xc3", false},
                    Utf8Case{"\xe2\x82", false}, Utf8Case{"\xe2\x28\xa1", false}, Utf8Case{"\xff", false}));

}  // namespace
}  // namespace korvane
