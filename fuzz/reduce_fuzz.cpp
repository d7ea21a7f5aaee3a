// reduce_fuzz.cpp - libFuzzer target for the reduction.
//
// After a first byte that picks the fusion modes, the bytes are a small
// recording program: sources, operators (the commutative ones, identities
// and look-alikes among them), reductions, externals, exchanges and joins
// over earlier nodes, output marks, and steps of an incremental reducer fed
// along the way. The graph is reduced, once in one go and once by the
// incremental reducer, and then again after recording further nodes on top
// of the reduced graph (which holds stages). Every reduction must compute
// what the graph it came from computes: each output, and each node the node
// map places, means the same term once identity operators are dropped and
// the operands of commutative ones put in order. It must also hold
// together: counters that add up, a node map that places every node the
// outputs depend on (and no other), a blob that reads back to the same
// bytes, a reduced graph that reduces to itself, and the incremental
// reducer agreeing with the one-shot reduction.
//
// A bit of the first byte adds user rules from a small menu whose meaning
// the checker knows (a double negation means its operand): the reduction
// then extracts the cheapest terms, which may be terms a rule made, and may
// leave a node the outputs depend on unplaced when its class is no longer
// needed.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "optimizer/incremental.hpp"
#include "optimizer/node_symbol.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/rule_text.hpp"
#include "optimizer/saturation_engine.hpp"
#include "optimizer/user_rules.hpp"
#include "store/blob.hpp"
#include "store/store.hpp"
#include "require.hpp"

namespace {

using korvane::NodeId;
using korvane::NodeKind;
using korvane::ParamRef;
using korvane::ParamTag;
using korvane::ReductionCounters;
using korvane::ReductionResult;
using korvane::Store;


// Nodes recorded per half of the program. A reduction's time grows with
// the graph, and the rules, fusion and stages over stages all meet within
// a few dozen nodes: small graphs let the fuzzer try many more programs.
constexpr uint64_t kMaxNodes = 24;

/// Reads the program's bytes; past the end every read gives 0.
class Bytes {
 public:
  explicit Bytes(std::span<const uint8_t> data) : data_(data) {}
  bool done() const { return at_ >= data_.size(); }
  uint8_t next() { return at_ < data_.size() ? data_[at_++] : 0; }

 private:
  std::span<const uint8_t> data_;
  size_t at_ = 0;
};

// The eight commutative operators, three others, and a look-alike of "add".
constexpr std::array<std::string_view, 12> kNames = {
    "add", "mul", "and", "or", "eq", "ne", "maximum", "minimum", "sub", "neg", "exp", "Add"};

/// A parameter map: none, an identity's (or a look-alike's), or another.
std::vector<ParamRef> params_for(uint8_t choice) {
  const auto scalar = [](double v) { return ParamRef{"scalar", ParamTag::Float, korvane::double_bits(v), {}}; };
  switch (choice % 8) {
    case 1: return {scalar(0.0), {"side", ParamTag::Str, 0, "r"}};
    case 2: return {scalar(1.0), {"side", ParamTag::Str, 0, "l"}};
    case 3: return {scalar(-0.0), {"side", ParamTag::Str, 0, "r"}};
    case 4: return {scalar(0.0)};
    case 5: return {{"axis", ParamTag::Int, choice / 8u, {}}};
    case 6: return {scalar(1.0), {"side", ParamTag::Str, 0, "r"}, {"x", ParamTag::Bool, 1, {}}};
    default: return {};
  }
}

/// What the nodes of a graph compute, as terms over the node symbols modulo
/// the rewrite rules: an identity operator means its input, and a
/// commutative operator without parameters means the same whichever order
/// its two operands come in. A stage means its last member, each member
/// being its token applied to its refs. Equal numbers mean equal terms.
class Meanings {
 public:
  /// Per node of `graph`, and per stage member (at `member_base[node]`).
  struct OfGraph {
    std::vector<uint32_t> node;
    std::vector<uint32_t> member_base;
    std::vector<uint32_t> member;
  };

  OfGraph of(const korvane::Graph& graph) {
    OfGraph out;
    const korvane::NodeTable& nodes = graph.nodes;
    out.node.reserve(nodes.size());
    out.member_base.reserve(nodes.size());
    // Symbols by node content and by token string id, for this graph's pools.
    std::map<std::tuple<NodeKind, uint32_t, uint32_t>, Symbol> node_symbols;
    std::map<uint32_t, Symbol> token_symbols;
    std::vector<uint32_t> args;
    for (size_t i = 0; i < nodes.size(); ++i) {
      const korvane::NodeRec& rec = nodes.recs[i];
      const auto inputs = nodes.inputs_of(i);
      out.member_base.push_back(static_cast<uint32_t>(out.member.size()));
      if (rec.kind != NodeKind::Stage) {
        const auto content = std::make_tuple(rec.kind, rec.payload, graph.pools.param_maps[rec.params].canon);
        auto it = node_symbols.find(content);
        if (it == node_symbols.end()) {
          it = node_symbols.emplace(content, symbol(korvane::node_symbol(graph.pools, rec))).first;
        }
        args.clear();
        for (uint32_t in : inputs) args.push_back(out.node[in]);
        out.node.push_back(term(it->second, args));
        continue;
      }
      const auto members = graph.pools.member_list(rec.payload);
      require(!members.empty());
      const size_t base = out.member.size();
      for (const korvane::MemberRec& m : members) {
        auto it = token_symbols.find(m.token);
        if (it == token_symbols.end()) it = token_symbols.emplace(m.token, symbol(graph.pools.str(m.token))).first;
        args.clear();
        for (const korvane::StageRef& ref : graph.pools.member_refs(m)) {
          if (ref.kind == korvane::StageRef::Kind::Input) {
            require(ref.index < inputs.size());
            args.push_back(out.node[inputs[ref.index]]);
          } else {
            require(base + ref.index < out.member.size());
            args.push_back(out.member[base + ref.index]);
          }
        }
        out.member.push_back(term(it->second, args));
      }
      out.node.push_back(out.member.back());
    }
    return out;
  }

 private:
  struct Symbol {
    uint32_t id;
    bool identity;     ///< drops out when applied to one operand
    bool commutative;  ///< takes two operands in either order
    bool negation;     ///< applied twice, means its operand
  };

  Symbol symbol(std::string_view text) {
    static constexpr std::string_view kIdentities[] = {
        "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
        "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
    static constexpr std::string_view kCommutative[] = {"op|add", "op|mul", "op|and",     "op|or",
                                                        "op|eq",  "op|ne",  "op|maximum", "op|minimum"};
    const uint32_t id = symbols_.try_emplace(std::string(text), symbols_.size()).first->second;
    return {id, std::ranges::find(kIdentities, text) != std::end(kIdentities),
            std::ranges::find(kCommutative, text) != std::end(kCommutative), text == "op|neg"};
  }

  uint32_t term(const Symbol& symbol, std::vector<uint32_t>& args) {
    if (symbol.identity && args.size() == 1) return args[0];
    if (symbol.commutative && args.size() == 2) std::ranges::sort(args);
    if (symbol.negation && args.size() == 1 && negated_[args[0]] != kNoTerm) return negated_[args[0]];
    std::vector<uint32_t> key{symbol.id};
    key.insert(key.end(), args.begin(), args.end());
    const auto [it, fresh] = terms_.try_emplace(std::move(key), static_cast<uint32_t>(terms_.size()));
    if (fresh) negated_.push_back(symbol.negation && args.size() == 1 ? args[0] : kNoTerm);
    return it->second;
  }

  static constexpr uint32_t kNoTerm = UINT32_MAX;
  std::vector<uint32_t> negated_;  ///< per term: the operand of a negation, else kNoTerm

  std::unordered_map<std::string, uint32_t> symbols_;
  std::map<std::vector<uint32_t>, uint32_t> terms_;
};

/// A rule set from the menu the checker understands: double negations
/// removed, negations tripled or wrapped around a difference (the same
/// meaning), at two costs of a negation.
std::unique_ptr<korvane::UserRules> menu_rules(unsigned choice) {
  static constexpr std::string_view kTexts[] = {
      "neg2: (neg (neg ?x)) => ?x",
      "neg3: (neg ?x) => (neg (neg (neg ?x)))",
      "neg2: (neg (neg ?x)) => ?x\nneg3: (neg ?x) => (neg (neg (neg ?x)))",
      "wrap: (sub ?a ?b) => (neg (neg (sub ?a ?b)))\nneg2: (neg (neg ?x)) => ?x",
  };
  auto rules = korvane::parse_rule_text(kTexts[choice % 4]);
  require(rules.ok());
  korvane::CostTable costs;
  if (choice & 4) costs.set(NodeKind::Op, "neg", 3);
  korvane::RuleLimits limits;
  limits.time_limit = std::nullopt;
  return std::make_unique<korvane::UserRules>(std::move(rules).value(), std::move(costs), limits);
}

/// The nodes `outputs` depend on, their own included.
std::vector<bool> reached_from(const korvane::NodeTable& nodes, const std::vector<NodeId>& outputs) {
  std::vector<bool> reached(nodes.size());
  std::vector<NodeId> stack(outputs);
  while (!stack.empty()) {
    const NodeId id = stack.back();
    stack.pop_back();
    if (reached[id]) continue;
    reached[id] = true;
    for (uint32_t in : nodes.inputs_of(id)) stack.push_back(in);
  }
  return reached;
}

/// Checks that `reduced`, reduced from a graph whose nodes mean `before`
/// against `outputs`, computes the same: its node map places every node the
/// outputs depend on (and, from a one-shot reduction, no other), each on a
/// node or stage member meaning what it meant, every output on a node that
/// is not inside a stage, and the reduced outputs are those nodes, each
/// once. The incremental reducer places a dead node too when it is equal to
/// a live one.
void check_meanings(Meanings& meanings, const korvane::Snapshot& source, const Meanings::OfGraph& before,
                    const std::vector<NodeId>& outputs, const Store& reduced, bool incremental, bool rules) {
  const korvane::Snapshot snap = reduced.snapshot();
  const Meanings::OfGraph after = meanings.of(snap.graph);
  const std::vector<korvane::NodeMapEntry> map = reduced.node_map();
  const std::vector<bool> reached = reached_from(source.graph.nodes, outputs);
  require(map.size() == before.node.size());
  for (size_t i = 0; i < map.size(); ++i) {
    const korvane::NodeMapEntry& e = map[i];
    require(e.present() == reached[i] || (incremental && e.present()) || (rules && !e.present()));
    if (!e.present()) continue;
    require(e.node < after.node.size());
    if (!e.has_member()) {
      require(after.node[e.node] == before.node[i]);
      continue;
    }
    require(snap.graph.kind(e.node) == NodeKind::Stage && e.member < snap.graph.members(e.node).size());
    require(after.member[after.member_base[e.node] + e.member] == before.node[i]);
  }
  std::vector<NodeId> expected;
  for (NodeId out : outputs) {
    const korvane::NodeMapEntry& e = map[out];
    require(!e.has_member() || e.member + 1 == snap.graph.members(e.node).size());
    if (std::ranges::find(expected, e.node) == expected.end()) expected.push_back(e.node);
  }
  require(snap.outputs == expected);
}

/// Carries out the program's instructions: record a node, choose an output,
/// or feed the incremental reducer.
struct Recorder {
  Store& store;
  korvane::IncrementalReducer* reducer;
  std::vector<NodeId> outputs;

  void step(Bytes& in) {
    const uint8_t op = in.next();
    const auto count = store.node_count();
    // A node is named by its distance from the newest one, so graphs of any
    // size keep reading recent values, as a trace does.
    auto pick = [&] { return count - 1 - in.next() % count; };
    if (op % 16 == 15) {
      if (count > 0) outputs.push_back(pick());
      return;
    }
    if (op % 16 == 14) {
      if (reducer != nullptr) require(reducer->step(store).ok());
      return;
    }
    std::vector<NodeId> inputs;
    const unsigned arity = count == 0 ? 0 : in.next() % 4;
    for (unsigned k = 0; k < arity; ++k) inputs.push_back(pick());
    std::vector<ParamRef> params = params_for(in.next());
    korvane::sort_params(params);
    const std::string name(kNames[in.next() % kNames.size()]);
    const korvane::DescriptorRef descriptor{"onnx", "sha256:0", "ort", "1", "f32->f32",
                                            op & 0x80 ? std::optional<std::string_view>("-") : std::nullopt};
    korvane::NodeSpec node_spec;
    node_spec.params = params;
    node_spec.inputs = inputs;
    switch (inputs.empty() ? 0 : op % 7) {
      case 0:
        node_spec.kind = NodeKind::Source;
        node_spec.name = name;
        node_spec.inputs = {};
        break;
      case 1:
      case 2:
      case 3:
        node_spec.kind = NodeKind::Op;
        node_spec.name = name;
        break;
      case 4:
        node_spec.kind = NodeKind::Reduction;
        node_spec.name = name;
        break;
      case 5:
        node_spec.kind = NodeKind::External;
        node_spec.descriptor = &descriptor;
        break;
      default:
        node_spec.kind = op & 0x40 ? NodeKind::Exchange : NodeKind::Join;
        break;
    }
    require(store.intern_node(node_spec).ok());
  }
};

std::string blob_of(const Store& store) {
  const korvane::Snapshot snap = store.snapshot();
  auto blob = korvane::write_blob(snap.graph.pools, snap.graph.nodes, snap.outputs);
  require(blob.ok());
  return std::move(blob.value());
}

/// Reduces the graph of `source`, whose nodes mean `before`, against
/// `outputs` and checks the result; returns the reduced store.
std::unique_ptr<Store> reduce_and_check(Meanings& meanings, const korvane::Snapshot& source,
                                        const Meanings::OfGraph& before, const std::vector<NodeId>& outputs,
                                        bool maximal, bool holds_stages, bool reduce_again,
                                        const korvane::UserRules* rules, ReductionCounters& counters) {
  const korvane::SaturationEngine engine(rules);
  ReductionResult result = korvane::reduce_nodes(source.graph, outputs, engine, maximal);
  counters = result.counters;
  const ReductionCounters& c = result.counters;
  require(c.input_nodes == source.graph.size());
  require(c.reachable_nodes <= c.input_nodes && c.canonical_nodes <= c.reachable_nodes);
  require(c.reduced_nodes == c.stages + c.boundary_nodes && c.reduced_nodes == result.nodes.size());
  require(result.outputs.size() == outputs.size() && result.node_map.size() == c.input_nodes);
  std::unique_ptr<Store> reduced = korvane::build_reduced_store(std::move(result));
  // Emitted nodes are distinct, except that a stage of the input can come
  // out again equal to one fused here: the store then holds it once.
  require(reduced->node_count() == c.reduced_nodes || (holds_stages && reduced->node_count() < c.reduced_nodes));
  check_meanings(meanings, source, before, outputs, *reduced, false, rules != nullptr);

  // The blob reads back to the same bytes.
  const std::string blob = blob_of(*reduced);
  auto back = korvane::read_blob(blob);
  require(back.ok() && blob_of(*back.value()) == blob);

  // A reduced graph reduces to itself (without rules: with them a class may
  // come back as another term of the same cost).
  if (!reduce_again || rules != nullptr) return reduced;
  const korvane::Snapshot snap = reduced->snapshot();
  ReductionResult again = korvane::reduce_nodes(snap.graph, snap.outputs, engine, maximal);
  require(blob_of(*korvane::build_reduced_store(std::move(again))) == blob);
  return reduced;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the fusion mode of each reduction, and which of
  // the two reduced graphs is reduced once more.
  const bool maximal = data[0] & 1;
  const bool maximal_on_top = data[0] & 2;
  const bool again_on_top = data[0] & 4;
  const std::unique_ptr<korvane::UserRules> rules = data[0] & 8 ? menu_rules(data[0] >> 4) : nullptr;
  ++data;
  --size;
  Store store;
  korvane::IncrementalReducer reducer;
  Recorder recorder{store, &reducer, {}};
  // The program's first half records the graph, the rest records on top of
  // its reduction.
  Bytes first({data, size / 2});
  while (!first.done() && store.node_count() < kMaxNodes) recorder.step(first);
  if (store.node_count() == 0) return 0;
  if (recorder.outputs.empty()) recorder.outputs.push_back(store.node_count() - 1);

  Meanings meanings;
  const korvane::Snapshot recorded = store.snapshot();
  const Meanings::OfGraph before = meanings.of(recorded.graph);
  ReductionCounters one_shot;
  std::unique_ptr<Store> reduced =
      reduce_and_check(meanings, recorded, before, recorder.outputs, maximal, false, !again_on_top, rules.get(),
                       one_shot);

  auto finalized = reducer.finalize(store, recorder.outputs, maximal, rules.get());
  require(finalized.ok());
  const ReductionCounters& inc = finalized.value().counters;
  require(rules != nullptr ||
          (inc.canonical_nodes == one_shot.canonical_nodes && inc.stages == one_shot.stages &&
           inc.reduced_nodes == one_shot.reduced_nodes && inc.boundary_nodes == one_shot.boundary_nodes));
  check_meanings(meanings, recorded, before, recorder.outputs, *finalized.value().store, true, rules != nullptr);

  // Recording goes on over the reduced graph: stages now feed new nodes.
  Recorder on_top{*reduced, nullptr, reduced->outputs()};
  const uint64_t limit = reduced->node_count() + kMaxNodes;
  Bytes rest({data + size / 2, size - size / 2});
  while (!rest.done() && reduced->node_count() < limit) on_top.step(rest);
  if (on_top.outputs.empty()) on_top.outputs.push_back(reduced->node_count() - 1);
  const korvane::Snapshot grown = reduced->snapshot();
  const Meanings::OfGraph grown_before = meanings.of(grown.graph);
  ReductionCounters counters;
  reduce_and_check(meanings, grown, grown_before, on_top.outputs, maximal_on_top, true, again_on_top, rules.get(),
                   counters);
  return 0;
}
