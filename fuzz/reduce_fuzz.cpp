// reduce_fuzz.cpp - libFuzzer target for the reduction.
//
// The bytes are a small recording program: sources, operators (the
// commutative ones, identities and look-alikes among them), reductions,
// externals, exchanges and joins over earlier nodes, output marks, and
// steps of an incremental reducer fed along the way. The graph is reduced
// in both fusion modes, and then once more after recording further nodes
// on top of the reduced graph (which holds stages). Every reduction must
// hold together: counters that add up, outputs and node-map entries that
// point into the reduced graph, a blob that reads back to the same bytes,
// a reduced graph that reduces to itself, and the incremental reducer
// agreeing with the one-shot reduction on what it produced.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "optimizer/incremental.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"
#include "store/blob.hpp"
#include "store/store.hpp"

namespace {

using korvane::NodeId;
using korvane::NodeKind;
using korvane::ParamRef;
using korvane::ParamTag;
using korvane::ReductionCounters;
using korvane::ReductionResult;
using korvane::Store;

// Stops the run with the failed check's text.
#define require(ok)                                                 \
  do {                                                              \
    if (!(ok)) {                                                    \
      std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #ok); \
      __builtin_trap();                                             \
    }                                                               \
  } while (false)

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

/// Reduces `store` against `outputs` and checks the result; returns the
/// reduced store.
std::unique_ptr<Store> reduce_and_check(const Store& store, const std::vector<NodeId>& outputs, bool maximal,
                                        bool holds_stages, ReductionCounters& counters) {
  const korvane::SaturationEngine engine;
  ReductionResult result = korvane::reduce_nodes(store.snapshot().graph, outputs, engine, maximal);
  counters = result.counters;
  const ReductionCounters& c = result.counters;
  require(c.input_nodes == store.node_count());
  require(c.reachable_nodes <= c.input_nodes && c.canonical_nodes <= c.reachable_nodes);
  require(c.reduced_nodes == c.stages + c.boundary_nodes && c.reduced_nodes == result.nodes.size());
  require(result.outputs.size() == outputs.size() && result.node_map.size() == c.input_nodes);
  for (uint64_t out : result.outputs) require(out < result.nodes.size());
  for (NodeId out : outputs) require(result.node_map[out].present());
  for (const korvane::NodeMapEntry& entry : result.node_map) require(!entry.present() || entry.node < result.nodes.size());
  std::unique_ptr<Store> reduced = korvane::build_reduced_store(std::move(result));
  // Emitted nodes are distinct, except that a stage of the input can come
  // out again equal to one fused here: the store then holds it once.
  require(reduced->node_count() == c.reduced_nodes || (holds_stages && reduced->node_count() < c.reduced_nodes));

  // The blob reads back to the same bytes.
  const std::string blob = blob_of(*reduced);
  auto back = korvane::read_blob(blob);
  require(back.ok() && blob_of(*back.value()) == blob);

  // A reduced graph reduces to itself.
  const korvane::Snapshot snap = reduced->snapshot();
  ReductionResult again = korvane::reduce_nodes(snap.graph, snap.outputs, engine, maximal);
  require(blob_of(*korvane::build_reduced_store(std::move(again))) == blob);
  return reduced;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;  // graphs of a few hundred nodes say everything
  Store store;
  korvane::IncrementalReducer reducer;
  Recorder recorder{store, &reducer, {}};
  // The program's first half records the graph, the rest records on top of
  // its reduction.
  Bytes first({data, size / 2});
  while (!first.done()) recorder.step(first);
  if (store.node_count() == 0) return 0;
  if (recorder.outputs.empty()) recorder.outputs.push_back(store.node_count() - 1);

  ReductionCounters one_shot[2];
  std::unique_ptr<Store> reduced;
  for (bool maximal : {false, true}) reduced = reduce_and_check(store, recorder.outputs, maximal, false, one_shot[maximal]);
  require(one_shot[1].stages <= one_shot[0].stages);

  auto finalized = reducer.finalize(store, recorder.outputs, false);
  require(finalized.ok());
  const ReductionCounters& inc = finalized.value().counters;
  require(inc.canonical_nodes == one_shot[0].canonical_nodes && inc.stages == one_shot[0].stages &&
          inc.reduced_nodes == one_shot[0].reduced_nodes && inc.boundary_nodes == one_shot[0].boundary_nodes);

  // Recording goes on over the reduced graph: stages now feed new nodes.
  Recorder on_top{*reduced, nullptr, reduced->outputs()};
  Bytes rest({data + size / 2, size - size / 2});
  while (!rest.done()) on_top.step(rest);
  if (on_top.outputs.empty()) on_top.outputs.push_back(reduced->node_count() - 1);
  ReductionCounters counters;
  for (bool maximal : {false, true}) reduce_and_check(*reduced, on_top.outputs, maximal, true, counters);
  return 0;
}
