// incremental.cpp - the incremental reducer.
#include "optimizer/incremental.hpp"

#include <algorithm>

#include <boost/container/small_vector.hpp>

#include "optimizer/node_symbol.hpp"
#include "optimizer/saturation_engine.hpp"

namespace korvane {

IncrementalReducer::IncrementalReducer() : index_(canonical_, pools_) {}

uint64_t IncrementalReducer::watermark() const {
  auto hold = mutex_.read_lock();
  return remap_.size();
}

uint64_t IncrementalReducer::total_work() const {
  auto hold = mutex_.read_lock();
  return total_work_;
}

uint64_t IncrementalReducer::canonical_count() const {
  auto hold = mutex_.read_lock();
  return canonical_.size();
}

bool IncrementalReducer::bind(const Store& store) {
  if (bound_serial_ == 0) bound_serial_ = store.serial();
  return bound_serial_ == store.serial();
}

Result<uint64_t, WrongStore> IncrementalReducer::step(const Store& store) {
  auto hold = mutex_.read_lock();
  if (!bind(store)) return WrongStore{};
  const uint64_t before = remap_.size();
  consume_from(store, hold);
  return remap_.size() - before;
}

void IncrementalReducer::consume_from(const Store& store, PoisonMutex::Guard& hold) {
  // The store's lock is held only for the copy. A failure while copying
  // leaves pools_ a consistent prefix of the store's pools; one while
  // consuming may leave the canonical form half-updated.
  const NodeTable delta = store.nodes_since(remap_.size(), pools_);
  hold.set_writing(true);
  consume(delta);
  hold.set_writing(false);
}

// Identity operators and commutative ones are recognised by their symbol;
// the answer depends only on name and parameters, so it is computed once
// per pair.
IncrementalReducer::OpClass IncrementalReducer::classify(const NodeRec& rec) {
  const uint32_t canon = pools_.param_maps[rec.params].canon;
  const uint64_t key = uint64_t{rec.payload} << 32 | canon;
  if (auto it = op_classes_.find(key); it != op_classes_.end()) return it->second;
  OpClass cls = OpClass::Plain;
  const std::string symbol = node_symbol(pools_, rec);
  if (std::find(std::begin(kIdentitySymbols), std::end(kIdentitySymbols), symbol) != std::end(kIdentitySymbols)) {
    cls = OpClass::Identity;
  } else if (canon == 0 && std::find(std::begin(kCommutativeOps), std::end(kCommutativeOps),
                                     pools_.str(rec.payload)) != std::end(kCommutativeOps)) {
    cls = OpClass::Commutative;
  }
  op_classes_.emplace(key, cls);
  return cls;
}

void IncrementalReducer::consume(const NodeTable& delta) {
  boost::container::small_vector<uint32_t, 8> inputs;
  for (size_t i = 0; i < delta.size(); ++i) {
    const NodeRec& rec = delta.recs[i];
    inputs.clear();
    for (uint32_t u : delta.inputs_of(i)) {
      check(u < remap_.size(), "store node reads a node that was not consumed");
      inputs.push_back(remap_[u]);
    }
    const NodeKey key{rec.kind, rec.payload, pools_.param_maps[rec.params].canon, inputs};
    if (rec.kind == NodeKind::Op) {
      const OpClass cls = classify(rec);
      // An identity with one input is its input (with any other arity the
      // operator means something else and stays).
      if (cls == OpClass::Identity && inputs.size() == 1) {
        remap_.push_back(inputs[0]);
        continue;
      }
      // A commutative operator maps onto its twin in either orientation;
      // the first one seen is kept as it was recorded.
      if (cls == OpClass::Commutative && inputs.size() == 2) {
        const uint32_t swapped_inputs[2] = {inputs[1], inputs[0]};
        NodeKey swapped = key;
        swapped.inputs = swapped_inputs;
        auto found = index_.find(key);
        if (!found) found = index_.find(swapped);
        if (found) {
          remap_.push_back(*found);
          continue;
        }
      }
    }
    if (auto found = index_.find(key)) {
      remap_.push_back(*found);
      continue;
    }
    const uint32_t c = canonical_.append(rec.kind, rec.payload, rec.params, inputs);
    index_.insert(c, key);
    remap_.push_back(c);
  }
  total_work_ += delta.size();
}

Result<Reduction, WrongStore> IncrementalReducer::finalize(const Store& store, std::span<const NodeId> outputs,
                                                           bool maximal_fusion, const UserRules* rules) {
  auto hold = mutex_.read_lock();
  if (!bind(store)) return WrongStore{};
  consume_from(store, hold);

  std::vector<NodeId> mapped;
  mapped.reserve(outputs.size());
  for (NodeId o : outputs) {
    check(o < remap_.size(), "finalize output beyond the consumed nodes");
    mapped.push_back(remap_[o]);
  }
  const SaturationEngine engine(rules);
  ReductionResult result = reduce_nodes(Graph{pools_, canonical_}, mapped, engine, maximal_fusion);

  // Re-index the node map by store id: a store node lands where its
  // canonical node did.
  std::vector<NodeMapEntry> by_store_id(remap_.size());
  for (size_t k = 0; k < remap_.size(); ++k) by_store_id[k] = result.node_map[remap_[k]];
  result.node_map = std::move(by_store_id);

  Reduction out;
  out.counters = result.counters;
  out.store = build_reduced_store(std::move(result));
  return out;
}

}  // namespace korvane
