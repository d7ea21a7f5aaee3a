// store.cpp - interning, marks and copies of the store.
#include "store/store.hpp"

#include <algorithm>
#include <atomic>

#include <boost/container/small_vector.hpp>

#include "common/lookahead.hpp"

namespace korvane {

namespace {

uint64_t next_serial() {
  static std::atomic<uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

// The first input that is not below `count`, if any.
const NodeId* first_bad_input(std::span<const NodeId> inputs, uint64_t count) {
  for (const NodeId& u : inputs) {
    if (u >= count) return &u;
  }
  return nullptr;
}

}  // namespace

Store::Store() : Store(std::make_unique<Pools>()) {}

Store::Store(std::unique_ptr<Pools> pools)
    : pools_(std::move(pools)), index_(table_, pools_->data()), serial_(next_serial()) {}

Result<NodeId, BadNodeId> Store::intern_node(const NodeSpec& node_spec, PoolIds* ids) {
  auto hold = mutex_.lock();
  return intern_locked(node_spec, ids);
}

Result<NodeId, BadNodeId> Store::intern_locked(const NodeSpec& node_spec, PoolIds* ids) {
  if (const NodeId* bad = first_bad_input(node_spec.inputs, table_.size())) return BadNodeId{*bad};
  const auto [payload, params] = resolve_locked(node_spec, ids);
  return insert_locked(node_spec.kind, payload, params, node_spec.inputs);
}

std::pair<uint32_t, uint32_t> Store::resolve_locked(const NodeSpec& node_spec, PoolIds* ids) {
  uint32_t payload = 0;
  switch (node_spec.kind) {
    case NodeKind::Source:
    case NodeKind::Op:
    case NodeKind::Reduction:
      if (node_spec.name_id == kUnresolved) {
        payload = pools_->intern_string(node_spec.name);
      } else {
        check(node_spec.name_id < pools_->data().string_count(), "cached name id out of range");
        payload = node_spec.name_id;
      }
      break;
    case NodeKind::External:
      check(node_spec.descriptor != nullptr, "an External node needs a descriptor");
      payload = pools_->intern_descriptor(*node_spec.descriptor);
      break;
    case NodeKind::Stage:
      payload = pools_->intern_members(node_spec.members);
      break;
    case NodeKind::Exchange:
    case NodeKind::Join:
      break;
  }
  uint32_t params = node_spec.params_id;
  if (params == kUnresolved) {
    params = pools_->intern_params(node_spec.params);
  } else {
    check(params < pools_->data().param_maps.size(), "cached parameter map id out of range");
  }
  if (ids != nullptr) *ids = PoolIds{has_name(node_spec.kind) ? payload : kUnresolved, params};
  return {payload, params};
}

NodeId Store::append_unindexed_locked(const NodeSpec& node_spec, PoolIds* ids) {
  check(first_bad_input(node_spec.inputs, table_.size()) == nullptr, "appended node with an input out of range");
  const auto [payload, params] = resolve_locked(node_spec, ids);
  boost::container::small_vector<uint32_t, 8> in(node_spec.inputs.begin(), node_spec.inputs.end());
  return NodeId{table_.append(node_spec.kind, payload, params, in)};
}

bool Store::index_appended_locked() {
  const size_t first = index_.size();
  const size_t end = table_.size();
  const PoolData& pools = pools_->data();
  index_.reserve(end);
  // The hashes of the next kAhead nodes are computed early and their index
  // lines prefetched, so the probes' cache misses overlap instead of
  // following one another.
  constexpr size_t kAhead = lookahead::kIndexProbe;
  uint32_t ahead[kAhead];
  auto start = [&](size_t id) {
    const uint32_t hash = NodeIndex::hash32(NodeIndex::key_of(table_, pools, static_cast<uint32_t>(id)));
    index_.prefetch(hash);
    ahead[id % kAhead] = hash;
  };
  for (size_t id = first; id < std::min(end, first + kAhead); ++id) start(id);
  for (size_t id = first; id < end; ++id) {
    const uint32_t hash = ahead[id % kAhead];
    if (id + kAhead < end) start(id + kAhead);
    const auto node = static_cast<uint32_t>(id);
    if (index_.find(NodeIndex::key_of(table_, pools, node), hash)) return false;
    index_.insert(node, hash);
  }
  return true;
}

Result<NodeId, BadNodeId> Store::intern_rec(NodeKind kind, uint32_t payload, uint32_t params,
                                            std::span<const NodeId> inputs) {
  auto hold = mutex_.lock();
  if (const NodeId* bad = first_bad_input(inputs, table_.size())) return BadNodeId{*bad};
  return insert_locked(kind, payload, params, inputs);
}

Result<NodeId, BadNodeId> Store::insert_locked(NodeKind kind, uint32_t payload, uint32_t params,
                                               std::span<const NodeId> inputs) {
  // Every input is below the node count, which is below 2^32.
  boost::container::small_vector<uint32_t, 8> in(inputs.begin(), inputs.end());
  const NodeKey key{kind, payload, pools_->canonical_params(params), in};
  const uint32_t hash = NodeIndex::hash32(key);
  if (auto found = index_.find(key, hash)) return NodeId{*found};
  const uint32_t id = table_.append(kind, payload, params, in);
  index_.insert(id, hash);
  return NodeId{id};
}

Result<NodeId, BadNodeId> Store::mark_output(NodeId id) {
  auto hold = mutex_.lock();
  return mark_locked(id);
}

Result<NodeId, BadNodeId> Store::mark_locked(NodeId id) {
  if (id >= table_.size()) return BadNodeId{id};
  if (marked_.size() <= id) marked_.resize(table_.size());
  if (marked_[id]) return id;
  outputs_.push_back(id);
  marked_[id] = true;
  return id;
}

uint64_t Store::node_count() const {
  auto hold = mutex_.read_lock();
  return table_.size();
}

Snapshot Store::snapshot() const {
  auto hold = mutex_.read_lock();
  return Snapshot{Graph{pools_->data(), table_}, outputs_};
}

NodeTable Store::nodes_since(uint64_t k, PoolData& pools) const {
  auto hold = mutex_.read_lock();
  pools.extend_from(pools_->data());
  return table_.slice(std::min<uint64_t>(k, table_.size()));
}

std::vector<NodeId> Store::outputs() const {
  auto hold = mutex_.read_lock();
  return outputs_;
}

std::vector<NodeMapEntry> Store::node_map() const {
  auto hold = mutex_.read_lock();
  return node_map_;
}

bool Store::adopt(Store& source) {
  auto hold = mutex_.lock();
  auto source_hold = source.mutex_.lock();
  if (!table_.recs.empty() || !outputs_.empty() || !node_map_.empty() || !pools_->data().initial()) return false;
  // The index looks records up in the table and pool data in place: the
  // tables trade contents, and the index takes the source's entries with
  // this store's table and the source's pools.
  std::swap(pools_, source.pools_);
  std::swap(table_, source.table_);
  index_.take(std::move(source.index_), table_, pools_->data());
  source.index_ = NodeIndex(source.table_, source.pools_->data());
  std::swap(outputs_, source.outputs_);
  std::swap(marked_, source.marked_);
  std::swap(node_map_, source.node_map_);
  return true;
}

void Store::set_node_map(std::vector<NodeMapEntry> map) {
  auto hold = mutex_.lock();
  node_map_ = std::move(map);
}

}  // namespace korvane
