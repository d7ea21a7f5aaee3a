// incremental.hpp - reduction while the graph is still being recorded.
//
// The reducer is fed one store again and again. Each step canonicalises only
// the nodes recorded since the last one, node by node and without an
// e-graph: identity operators vanish into their input, a commutative
// operator whose swapped twin exists maps onto it, and equal nodes are
// hash-consed. `finalize` runs the full pipeline over that small canonical
// form instead of the whole recorded history.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "common/poison_mutex.hpp"
#include "common/result.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/user_rules.hpp"
#include "store/node_index.hpp"
#include "store/store.hpp"

namespace korvane {

/// Feeding a reducer a store other than the one it is bound to.
struct WrongStore {};

/// A reduced store and the counters of its reduction.
struct Reduction {
  std::unique_ptr<Store> store;
  ReductionCounters counters;
};

/// The incremental reducer. Owns its canonical form and one mutex that
/// serialises its methods; a failure escaping while the canonical form is
/// being extended poisons the reducer ("incremental reducer poisoned"), one
/// escaping a copy or the final reduction does not. Lock order: the reducer's
/// mutex, then the store's. Not movable.
class IncrementalReducer {
 public:
  IncrementalReducer();
  IncrementalReducer(const IncrementalReducer&) = delete;
  IncrementalReducer& operator=(const IncrementalReducer&) = delete;

  /// Consumes the nodes `store` recorded since the watermark; returns how
  /// many. The first store fed binds the reducer; another one is refused.
  Result<uint64_t, WrongStore> step(const Store& store);

  /// Consumes the rest of `store`, then reduces the canonical form against
  /// `outputs` (store ids, each below the store's node count: the caller
  /// checks them; an id beyond is a broken invariant, which poisons the
  /// reducer). The node map of the result is indexed by store id. The
  /// reducer stays usable.
  Result<Reduction, WrongStore> finalize(const Store& store, std::span<const NodeId> outputs, bool maximal_fusion,
                                         const UserRules* rules = nullptr);

  uint64_t watermark() const;
  uint64_t total_work() const;
  uint64_t canonical_count() const;

 private:
  /// What an Op's name and parameters make of it.
  enum class OpClass : uint8_t { Plain, Identity, Commutative };

  bool bind(const Store& store);
  void consume_from(const Store& store, PoisonMutex::Guard& hold);
  void consume(const NodeTable& delta);
  OpClass classify(const NodeRec& rec);

  PoisonMutex mutex_{"incremental reducer poisoned"};
  // Everything below is guarded by mutex_.
  PoolData pools_;       ///< copy of the bound store's pools, kept up to date
  NodeTable canonical_;  ///< inputs are positions in this table
  NodeIndex index_;      ///< every canonical node, by content
  std::vector<uint32_t> remap_;  ///< per consumed store node, its canonical position
  uint64_t total_work_ = 0;
  uint64_t bound_serial_ = 0;  ///< serial of the store fed first; 0 while unbound
  boost::unordered_flat_map<uint64_t, OpClass> op_classes_;  ///< by (name id, canonical params id)
};

}  // namespace korvane
