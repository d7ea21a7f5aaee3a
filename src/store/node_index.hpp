// node_index.hpp - the hash-consing index of a node table.
//
// Identity lives here: two nodes are equal when kind, payload id,
// canonical parameter id and input list are equal. Since the pools intern
// by content, that is equality over the whole content (strings, parameters
// with all NaNs alike, descriptors, stage members, inputs).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include <boost/unordered/unordered_flat_set.hpp>

#include "common/hash.hpp"
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
  NodeIndex(const NodeTable& table, const PoolData& pools)
      : set_(0, Hash{{&table, &pools}}, Eq{{&table, &pools}}) {}

  std::optional<uint32_t> find(const NodeKey& key) const {
    auto it = set_.find(key);
    if (it == set_.end()) return std::nullopt;
    return *it;
  }
  /// Indexes node `id` of the table; no equal node may be indexed already.
  void insert(uint32_t id) { set_.insert(id); }
  void reserve(size_t n) { set_.reserve(n); }
  size_t size() const { return set_.size(); }

  /// The key of node `id` of `table`.
  static NodeKey key_of(const NodeTable& table, const PoolData& pools, uint32_t id) {
    const NodeRec& r = table.recs[id];
    return NodeKey{r.kind, r.payload, pools.param_maps[r.params].canon, table.inputs_of(id)};
  }
  static size_t hash(const NodeKey& k);
  static bool same(const NodeKey& a, const NodeKey& b) {
    return a.kind == b.kind && a.payload == b.payload && a.canon_params == b.canon_params &&
           a.inputs.size() == b.inputs.size() && std::equal(a.inputs.begin(), a.inputs.end(), b.inputs.begin());
  }

 private:
  struct Ref {
    using is_transparent = void;
    const NodeTable* table;
    const PoolData* pools;
    NodeKey key(uint32_t id) const { return key_of(*table, *pools, id); }
  };
  struct Hash : Ref {
    size_t operator()(uint32_t id) const { return hash(key(id)); }
    size_t operator()(const NodeKey& k) const { return hash(k); }
  };
  struct Eq : Ref {
    bool operator()(uint32_t a, uint32_t b) const { return same(key(a), key(b)); }
    bool operator()(const NodeKey& k, uint32_t id) const { return same(k, key(id)); }
    bool operator()(uint32_t id, const NodeKey& k) const { return same(k, key(id)); }
  };

  boost::unordered_flat_set<uint32_t, Hash, Eq> set_;
};

inline size_t NodeIndex::hash(const NodeKey& k) {
  WordHasher h;
  h.add((uint64_t{static_cast<uint8_t>(k.kind)} << 32) | k.payload);
  h.add((uint64_t{k.canon_params} << 32) | k.inputs.size());
  for (uint32_t in : k.inputs) h.add(in);
  return h.value();
}

}  // namespace korvane
