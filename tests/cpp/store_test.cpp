// The interning store: identity, failures that leave it unchanged, copies,
// poisoning, and concurrent recording.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "common/internal_error.hpp"
#include "store/store.hpp"

namespace korvane {
namespace {

NodeId must(Result<NodeId, BadNodeId> r) {
  if (!r) ADD_FAILURE() << "bad node id " << r.error().id;
  return r ? r.value() : 0;
}

struct Rec {
  NodeKind kind = NodeKind::Op;
  std::string name;
  std::vector<ParamRef> params;
  std::vector<NodeId> inputs;
  const DescriptorRef* descriptor = nullptr;
  std::vector<MemberSpec> members;

  NodeSpec node_spec() const {
    NodeSpec s;
    s.kind = kind;
    s.name = name;
    s.params = params;
    s.inputs = inputs;
    s.descriptor = descriptor;
    s.members = members;
    return s;
  }
};

Rec node(NodeKind kind, std::string name, std::vector<NodeId> inputs = {}, std::vector<ParamRef> params = {}) {
  Rec r;
  r.kind = kind;
  r.name = std::move(name);
  r.inputs = std::move(inputs);
  r.params = std::move(params);
  return r;
}
Rec src(std::string name, std::vector<ParamRef> params = {}) {
  return node(NodeKind::Source, std::move(name), {}, std::move(params));
}
Rec op(std::string name, std::vector<NodeId> inputs, std::vector<ParamRef> params = {}) {
  return node(NodeKind::Op, std::move(name), std::move(inputs), std::move(params));
}
Rec external(const DescriptorRef* d) {
  Rec r = node(NodeKind::External, "");
  r.descriptor = d;
  return r;
}

NodeId add(Store& s, const Rec& r) { return must(s.intern_node(r.node_spec())); }

ParamRef fparam(std::string_view k, uint64_t bits) { return {k, ParamTag::Float, bits, {}}; }

TEST(Store, EqualNodesShareOneId) {
  Store s;
  const NodeId x = add(s, src("x"));
  EXPECT_EQ(add(s, src("x")), x);
  EXPECT_EQ(s.node_count(), 1u);
  const NodeId f = add(s, op("f", {x, x}));
  EXPECT_EQ(add(s, op("f", {x, x})), f);
  EXPECT_EQ(s.node_count(), 2u);
}

TEST(Store, IdentityCoversEveryField) {
  Store s;
  const NodeId x = add(s, src("x"));
  const NodeId y = add(s, src("y"));
  const std::vector<Rec> distinct = {
      op("f", {x, y}),
      op("f", {y, x}),
      op("g", {x, y}),
      node(NodeKind::Reduction, "f", {x, y}),
      node(NodeKind::Exchange, "", {x, y}),
      node(NodeKind::Join, "", {x, y}),
      op("f", {x, y}, {{"a", ParamTag::Int, 1, {}}}),
      op("f", {x, y}, {{"a", ParamTag::Bool, 1, {}}}),
      op("f", {x, y}, {fparam("a", double_bits(1.0))}),
      op("f", {x, y}, {fparam("a", double_bits(0.0))}),
      op("f", {x, y}, {fparam("a", double_bits(-0.0))}),
      op("f", {x, y}, {{"a", ParamTag::Str, 0, "1"}}),
      op("f", {x, y}, {{"b", ParamTag::Str, 0, "1"}}),
  };
  std::vector<NodeId> ids;
  for (const Rec& r : distinct) ids.push_back(add(s, r));
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(ids[i], i + 2) << "case " << i;
    EXPECT_EQ(add(s, distinct[i]), ids[i]) << "case " << i;
  }
}

TEST(Store, AllNaNsAreEqualButKeepTheFirstBits) {
  Store s;
  const NodeId a = add(s, src("x", {fparam("v", 0x7FF8000000000001ULL)}));
  EXPECT_EQ(add(s, src("x", {fparam("v", 0xFFF8000000000000ULL)})), a);
  // A different node holding another NaN keeps its own bits.
  const NodeId b = add(s, src("y", {fparam("v", 0xFFF8000000000000ULL)}));
  const Snapshot snap = s.snapshot();
  EXPECT_EQ(snap.graph.params(a)[0].bits, 0x7FF8000000000001ULL);
  EXPECT_EQ(snap.graph.params(b)[0].bits, 0xFFF8000000000000ULL);
  // And a node equal to `b` up to the NaN payload is still `b`.
  EXPECT_EQ(add(s, src("y", {fparam("v", 0x7FF8000000000000ULL)})), b);
}

TEST(Store, DescriptorsCompareFieldByField) {
  Store s;
  const DescriptorRef absent{"k", "h", "f", "v", "io", std::nullopt};
  const DescriptorRef empty{"k", "h", "f", "v", "io", std::string_view()};
  const DescriptorRef dash{"k", "h", "f", "v", "io", std::string_view("-")};
  const NodeId a = add(s, external(&absent));
  const NodeId b = add(s, external(&empty));
  const NodeId c = add(s, external(&dash));
  EXPECT_NE(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(b, c);
  EXPECT_EQ(add(s, external(&absent)), a);
}

TEST(Store, StagesCompareByMembers) {
  Store s;
  const NodeId x = add(s, src("x"));
  const std::vector<StageRef> in0{{StageRef::Kind::Input, 0}};
  const std::vector<StageRef> m0{{StageRef::Kind::Member, 0}};
  Rec one = node(NodeKind::Stage, "", {x});
  one.members = {{"op|neg", in0}, {"op|exp", m0}};
  Rec other = one;
  other.members = {{"op|neg", in0}, {"op|exp", in0}};
  const NodeId a = add(s, one);
  EXPECT_NE(add(s, other), a);
  EXPECT_EQ(add(s, one), a);
}

TEST(Store, BadInputLeavesTheStoreUnchanged) {
  Store s;
  for (int i = 0; i < 5; ++i) add(s, src(std::to_string(i)));
  auto r = s.intern_node(op("f", {0, 7, 9}).node_spec());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().id, 7u);
  EXPECT_EQ(s.intern_node(op("f", {5}).node_spec()).error().id, 5u);
  EXPECT_EQ(s.node_count(), 5u);
  EXPECT_FALSE(s.mark_output(5));
}

TEST(Store, MarksKeepFirstOccurrenceOrder) {
  Store s;
  for (int i = 0; i < 3; ++i) add(s, src(std::to_string(i)));
  for (NodeId id : {2, 0, 2, 1, 0}) ASSERT_TRUE(s.mark_output(id));
  EXPECT_EQ(s.outputs(), (std::vector<NodeId>{2, 0, 1}));
}

TEST(Store, NodesSinceCopiesTheTailAndCatchesUpPools) {
  Store s;
  const NodeId x = add(s, src("x"));
  PoolData mirror;
  NodeTable first = s.nodes_since(0, mirror);
  EXPECT_EQ(first.size(), 1u);
  add(s, op("neg", {x}));
  add(s, op("exp", {1}, {{"k", ParamTag::Str, 0, "v"}}));
  NodeTable tail = s.nodes_since(1, mirror);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(mirror.str(tail.recs[1].payload), "exp");
  EXPECT_EQ(tail.inputs_of(1)[0], 1u);
  EXPECT_EQ(mirror.param(mirror.params(tail.recs[1].params)[0]).str, "v");
  EXPECT_EQ(s.nodes_since(99, mirror).size(), 0u);
}

TEST(Store, SnapshotIsIndependent) {
  Store s;
  add(s, src("x"));
  ASSERT_TRUE(s.mark_output(0));
  Snapshot snap = s.snapshot();
  add(s, src("y"));
  EXPECT_EQ(snap.graph.size(), 1u);
  EXPECT_EQ(snap.graph.name(0), "x");
  EXPECT_EQ(snap.outputs, std::vector<NodeId>{0});
}

TEST(Store, AFailedReadLeavesTheStoreInService) {
  Store s;
  add(s, src("x"));
  EXPECT_THROW(s.read_locked([](const PoolData&, const NodeTable&, const std::vector<NodeId>&) -> int {
    throw std::bad_alloc();
  }),
               std::bad_alloc);
  EXPECT_EQ(s.node_count(), 1u);
  EXPECT_EQ(add(s, src("y")), 1u);
}

TEST(Store, PoisonedAfterAFailureEscapesAChange) {
  Store s;
  add(s, src("x"));
  Rec broken = node(NodeKind::External, "");  // no descriptor: a broken invariant
  EXPECT_THROW(s.intern_node(broken.node_spec()), InternalError);
  try {
    s.node_count();
    FAIL() << "a poisoned store answered";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "korvane-core store mutex poisoned");
  }
  Store other;
  EXPECT_EQ(other.node_count(), 0u);
}

// Thread t records its own node for every third i and shared ones otherwise.
// (Built with append: g++ 12 misreads "t" + std::to_string(t) under -Wrestrict.)
std::string node_name(int t, int i) {
  std::string name = i % 3 == 0 ? "t" : "shared";
  if (i % 3 == 0) name.append(std::to_string(t)).append("_");
  return name.append(std::to_string(i));
}

TEST(Store, AdoptFillsOnlyAnEmptyStoreAndKeepsItsIdentity) {
  Store source;
  const NodeId x = add(source, src("x"));
  const NodeId f = add(source, op("f", {x}));
  must(source.mark_output(f));
  source.set_node_map({NodeMapEntry{}, NodeMapEntry{}});

  Store used;
  add(used, src("y"));
  EXPECT_FALSE(used.adopt(source));
  EXPECT_EQ(used.node_count(), 1u);
  EXPECT_EQ(source.node_count(), 2u);

  Store target;
  const uint64_t serial = target.serial();
  ASSERT_TRUE(target.adopt(source));
  EXPECT_EQ(target.serial(), serial);
  EXPECT_EQ(target.node_count(), 2u);
  EXPECT_EQ(target.outputs(), std::vector<NodeId>{f});
  EXPECT_EQ(target.node_map().size(), 2u);
  // The index came along: an equal node is found, a new one appended.
  EXPECT_EQ(add(target, op("f", {x})), f);
  EXPECT_EQ(add(target, op("g", {f})), 2u);
  // The source is left empty and in service.
  EXPECT_EQ(source.node_count(), 0u);
  EXPECT_EQ(add(source, src("z")), 0u);
  EXPECT_FALSE(target.adopt(source));
}

TEST(Store, ConcurrentRecordingGivesOneIdPerNode) {
  Store s;
  const NodeId root = add(s, src("root"));
  constexpr int kThreads = 4;
  constexpr int kNodes = 2000;
  std::vector<std::vector<NodeId>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kNodes; ++i) {
        // Every thread records the shared nodes and some of its own.
        const std::string name = node_name(t, i);
        seen[t].push_back(add(s, op(name, {root})));
      }
    });
  }
  for (auto& th : threads) th.join();
  const Snapshot snap = s.snapshot();
  EXPECT_EQ(snap.graph.size(), 1u + (kNodes - (kNodes + 2) / 3) + kThreads * ((kNodes + 2) / 3));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kNodes; ++i) {
      const NodeId id = seen[t][i];
      ASSERT_LT(id, snap.graph.size());
      const std::string expected = node_name(t, i);
      EXPECT_EQ(snap.graph.name(id), expected);
      if (i % 3 != 0) {
        EXPECT_EQ(id, seen[0][i]);
      }
    }
  }
}

}  // namespace
}  // namespace korvane
