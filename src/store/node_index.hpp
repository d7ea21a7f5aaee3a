// node_index.hpp - the hash-consing index of a node table.
//
// Identity lives here: two nodes are equal when kind, payload id,
// canonical parameter id and input list are equal. Since the pools intern
// by content, that is equality over the whole content (strings, parameters
// with all NaNs alike, descriptors, stage members, inputs).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

#include "common/hash.hpp"
#include "common/hashed_id_set.hpp"
#include "store/graph.hpp"

namespace korvane {

/// A node given by pool ids and input positions: the probe of a lookup.
struct NodeKey {
  NodeKind kind;
  uint32_t payload;
  uint32_t canon_params;
  std::span<const uint32_t> inputs;
};

/// A set of node ids of one table, looked up by content. Refers to the
/// table and pool data it was made for; both must stay in place.
class NodeIndex {
 public:
  NodeIndex(const NodeTable& table, const PoolData& pools) : set_(Same{&table, &pools}) {}

  std::optional<uint32_t> find(const NodeKey& key) const { return set_.find(key, hash32(key)); }
  std::optional<uint32_t> find(const NodeKey& key, uint32_t hash) const { return set_.find(key, hash); }
  /// Indexes node `id`, whose key is `key`; no equal node may be indexed already.
  void insert(uint32_t id, const NodeKey& key) { set_.insert(id, hash32(key)); }
  void insert(uint32_t id, uint32_t hash) { set_.insert(id, hash); }
  void reserve(size_t n) { set_.reserve(n); }
  size_t size() const { return set_.size(); }
  /// Takes the entries of `other`, the index of the records that `table`
  /// and `pools` now hold.
  void take(NodeIndex&& other, const NodeTable& table, const PoolData& pools) {
    set_ = std::move(other.set_);
    set_.rebind(Same{&table, &pools});
  }
  /// Asks for the memory a lookup of a key with hash `hash` reads first.
  void prefetch(uint32_t hash) const noexcept { set_.prefetch(hash); }

  /// The key of node `id` of `table`.
  static NodeKey key_of(const NodeTable& table, const PoolData& pools, uint32_t id) {
    const NodeRec& r = table.recs[id];
    return NodeKey{r.kind, r.payload, pools.param_maps[r.params].canon, table.inputs_of(id)};
  }
  static uint32_t hash32(const NodeKey& k) {
    WordHasher h;
    h.add((uint64_t{static_cast<uint8_t>(k.kind)} << 32) | k.payload);
    h.add((uint64_t{k.canon_params} << 32) | k.inputs.size());
    for (uint32_t in : k.inputs) h.add(in);
    return static_cast<uint32_t>(h.value() >> 32);
  }
  static bool same(const NodeKey& a, const NodeKey& b) {
    return a.kind == b.kind && a.payload == b.payload && a.canon_params == b.canon_params &&
           std::ranges::equal(a.inputs, b.inputs);
  }

 private:
  struct Same {
    const NodeTable* table;
    const PoolData* pools;
    bool operator()(const NodeKey& key, uint32_t id) const { return same(key, key_of(*table, *pools, id)); }
  };

  HashedIdSet<NodeKey, Same> set_;
};

}  // namespace korvane
