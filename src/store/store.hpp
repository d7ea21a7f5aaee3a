// store.hpp - the interning store behind one GraphStore object.
//
// An append-only, hash-consed node arena: recording a node equal to one
// already present returns the existing id and changes nothing. Beside the
// nodes the store keeps the output marks and, for a store built by a
// reduction, the node map. One mutex guards everything: every operation
// holds it for its whole duration and hands out copies, never references
// into the arena (`read_locked` runs the caller's function under it, and a
// Batch holds it across a run of operations). A failure escaping an
// operation that changes the store poisons the mutex; one escaping a read
// (an allocation failure while copying, say) leaves the store in service.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "common/poison_mutex.hpp"
#include "common/result.hpp"
#include "store/graph.hpp"
#include "store/node_index.hpp"
#include "store/pools.hpp"

namespace korvane {

/// The store's one error: an id that is not below the node count.
struct BadNodeId {
  NodeId id;
};

/// A node described by borrowed content, to be interned. A caller that knows
/// the pool ids of the name or the parameters (from an earlier call) passes
/// them instead, and the store skips interning that content.
struct NodeSpec {
  NodeKind kind = NodeKind::Source;
  std::string_view name;                      ///< Source, Op, Reduction
  std::span<const ParamRef> params;           ///< sorted by key; empty for a Stage
  const DescriptorRef* descriptor = nullptr;  ///< External
  std::span<const MemberSpec> members;        ///< Stage
  std::span<const NodeId> inputs;
  uint32_t name_id = kUnresolved;    ///< string id of `name`, if known
  uint32_t params_id = kUnresolved;  ///< map id of `params`, if known
};

/// The pool ids an interned node's name and parameters ended up with.
struct PoolIds {
  uint32_t name = kUnresolved;
  uint32_t params = kUnresolved;
};

/// A consistent copy of a store's nodes and output marks.
struct Snapshot {
  Graph graph;
  std::vector<NodeId> outputs;
};

/// The store: pools, node table, intern index, output marks, node map.
/// Not movable (the index refers to the table in place).
class Store {
 public:
  Store();
  /// A store over pools prepared elsewhere (the reduced-store builder).
  explicit Store(std::unique_ptr<Pools> pools);
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  /// Records a node, or returns the id of the equal node already present.
  /// Fails with the first input id that is not below the node count. On
  /// success, `ids` (if given) receives the pool ids of name and params.
  Result<NodeId, BadNodeId> intern_node(const NodeSpec& node_spec, PoolIds* ids = nullptr);
  /// The same for a node whose payload and params are ids of this store's pools.
  Result<NodeId, BadNodeId> intern_rec(NodeKind kind, uint32_t payload, uint32_t params,
                                       std::span<const NodeId> inputs);
  /// Appends `id` to the output marks unless it is marked already; constant
  /// time, however many marks there are.
  Result<NodeId, BadNodeId> mark_output(NodeId id);

  uint64_t node_count() const;
  Snapshot snapshot() const;
  /// The nodes from position min(k, node count) on. `pools`, a copy of an
  /// earlier state of this store's pools (or empty), is brought up to date
  /// under the same hold of the lock, so the nodes can be read through it.
  NodeTable nodes_since(uint64_t k, PoolData& pools) const;
  std::vector<NodeId> outputs() const;
  std::vector<NodeMapEntry> node_map() const;
  void set_node_map(std::vector<NodeMapEntry> map);
  /// Takes over the whole content of `source` (nodes, pools, marks, node
  /// map) if this store is still empty, as it was made; false, changing
  /// nothing, if it is not. The store keeps its identity (its lock and its
  /// serial), so a caller that holds it meanwhile sees it either empty or
  /// filled, never freed. `source` is left empty.
  bool adopt(Store& source);

  /// Runs `fn(graph_pools, table, outputs)` under the lock, for readers that
  /// must render one consistent state without copying it.
  template <class Fn>
  auto read_locked(Fn&& fn) const {
    auto hold = mutex_.read_lock();
    return fn(pools_->data(), table_, outputs_);
  }
  /// The same with the node map as a fourth argument, for readers that take
  /// the whole store (nodes, marks and node map) as it is at one moment.
  template <class Fn>
  auto read_all_locked(Fn&& fn) const {
    auto hold = mutex_.read_lock();
    return fn(pools_->data(), table_, outputs_, node_map_);
  }

  /// A serial number unique among the stores of this process.
  uint64_t serial() const { return serial_; }

  class Batch;

 private:
  Result<NodeId, BadNodeId> intern_locked(const NodeSpec& node_spec, PoolIds* ids);
  /// Interns the node's name (or descriptor, or members) and parameters;
  /// returns the record's payload and parameter ids.
  std::pair<uint32_t, uint32_t> resolve_locked(const NodeSpec& node_spec, PoolIds* ids);
  NodeId append_unindexed_locked(const NodeSpec& node_spec, PoolIds* ids);
  bool index_appended_locked();
  Result<NodeId, BadNodeId> mark_locked(NodeId id);
  Result<NodeId, BadNodeId> insert_locked(NodeKind kind, uint32_t payload, uint32_t params,
                                          std::span<const NodeId> inputs);

  PoisonMutex mutex_{"korvane-core store mutex poisoned"};
  std::unique_ptr<Pools> pools_;
  NodeTable table_;
  NodeIndex index_;
  std::vector<NodeId> outputs_;        ///< in order of first marking
  std::vector<bool> marked_;           ///< by node id: whether outputs_ holds it
  std::vector<NodeMapEntry> node_map_;
  uint64_t serial_;
};

/// A run of store operations under one hold of the store's lock, for a
/// writer that fills a whole store at once (the blob reader): the lock is
/// taken once instead of once per node. Each operation behaves exactly as
/// the store's method of the same name. Nothing else can use the store
/// while a Batch lives, so it must not outlive a short, self-contained job.
class Store::Batch {
 public:
  explicit Batch(Store& store) : store_(store), hold_(store.mutex_.lock()) {}
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  Result<NodeId, BadNodeId> intern_node(const NodeSpec& node_spec, PoolIds* ids = nullptr) {
    return store_.intern_locked(node_spec, ids);
  }
  Result<NodeId, BadNodeId> mark_output(NodeId id) { return store_.mark_locked(id); }
  /// Appends a node without looking for an equal one, which saves the
  /// random probe of the intern index per node; its inputs must be below
  /// the node count. Call `index_appended` before any other operation.
  NodeId append_unindexed(const NodeSpec& node_spec, PoolIds* ids = nullptr) {
    return store_.append_unindexed_locked(node_spec, ids);
  }
  /// Indexes the nodes appended by `append_unindexed`, a bulk pass whose
  /// probes overlap. False when one of them equals an earlier node: the
  /// store then holds a node twice and must be thrown away.
  [[nodiscard]] bool index_appended() { return store_.index_appended_locked(); }
  /// Makes room for `nodes` more nodes in the table and the intern index.
  void reserve(size_t nodes) {
    store_.table_.recs.reserve(store_.table_.size() + nodes);
    store_.index_.reserve(store_.index_.size() + nodes);
  }

 private:
  Store& store_;
  PoisonMutex::Guard hold_;
};

}  // namespace korvane
