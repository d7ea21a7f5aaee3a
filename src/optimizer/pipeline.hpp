// pipeline.hpp - the reduction pipeline.
//
// A recorded graph shrinks against its outputs in one pass per step:
// dead-code elimination from the outputs, compaction, one call to the
// rewrite engine over all live nodes, hash-consing of its answer (common
// subexpressions), stage fusion, and emission of the reduced graph in
// dependency order together with the node map from the old graph into it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "optimizer/terms.hpp"
#include "store/graph.hpp"
#include "store/store.hpp"

namespace korvane {

/// The six counters of a reduction.
struct ReductionCounters {
  uint64_t input_nodes = 0;      ///< nodes of the graph that was reduced
  uint64_t reachable_nodes = 0;  ///< of those, the ones the outputs depend on
  uint64_t canonical_nodes = 0;  ///< distinct terms after rewriting and hash-consing
  uint64_t stages = 0;           ///< Stage nodes emitted
  uint64_t reduced_nodes = 0;    ///< nodes emitted
  uint64_t boundary_nodes = 0;   ///< emitted nodes that are not stages
};

/// The reduced graph, its outputs and where every input node landed.
struct ReductionResult {
  std::unique_ptr<Pools> pools;  ///< the pools `nodes` refer to
  NodeTable nodes;               ///< in emission order; inputs index this table
  std::vector<uint64_t> outputs;     ///< one node index per requested output, in order
  std::vector<NodeMapEntry> node_map;  ///< one entry per input node
  ReductionCounters counters;
};

/// Where a reduction's time went, in seconds per phase, and how its rewrite
/// run went. The snapshot and the building of the reduced store are the
/// caller's to time.
struct ReductionProfile {
  double snapshot = 0;
  double reachability = 0;  ///< reachability and compaction
  double symbols = 0;       ///< node symbols, template map and the engine's input
  double hash_consing = 0;
  double fusion = 0;        ///< fusion, emission, outputs and node map
  double build = 0;
  RewriteRun run;           ///< the engine's load, saturation and extraction
};

/// Reduces `graph` against `outputs` (ids below its size, duplicates
/// allowed). Calls `engine` once. Keeps no state between calls: the live
/// nodes' symbols are interned in a scope that ends with the call. With
/// `profile` given, also times the phases and records the rewrite run there.
ReductionResult reduce_nodes(Graph graph, std::span<const NodeId> outputs, const RewriteEngine& engine,
                             bool maximal_fusion, ReductionProfile* profile = nullptr);

/// Interns the result's nodes in order into a new store, marks its outputs
/// and stores its node map.
std::unique_ptr<Store> build_reduced_store(ReductionResult&& result);

}  // namespace korvane
