// node_symbol.hpp - the text that names a node's operator.
//
// A node symbol holds a node's kind, escaped name, descriptor or stage
// members, and canonical parameter key, but not its inputs:
// "op|add|scalar=f0000000000000000;side=sr". Equal symbols mean equal nodes
// up to their inputs, so the symbol serves as the e-graph operator, as the
// key of the pipeline's template map and as the incremental reducer's
// identity test. The symbol of an Op or a Reduction is also the token of a
// stage member (store/member_token.hpp).
#pragma once

#include <cstdint>
#include <string>

#include <boost/unordered/unordered_flat_map.hpp>

#include "egraph/symbol.hpp"
#include "egraph/symbol_scope.hpp"
#include "store/graph.hpp"

namespace korvane {

/// The symbol of a node given by its record and the pools it refers to.
///
/// Externals escape their descriptor fields (and write a present
/// preprocessing_ref "-" as "%2D", an absent one as "-") so that different
/// descriptors never share a symbol. A Stage's symbol lists its members, so
/// that stages with different members never share one.
std::string node_symbol(const PoolData& pools, const NodeRec& rec);

/// Node symbols of one graph interned in a scope, computed once per
/// distinct (kind, payload, parameters): nodes that differ only in their
/// inputs share one.
class SymbolCache {
 public:
  SymbolCache(const PoolData& pools, egraph::SymbolScope& scope) : pools_(pools), scope_(scope) {}

  egraph::Symbol symbol(const NodeRec& rec);

 private:
  struct Key {
    uint32_t payload;
    uint32_t canon_params;
    NodeKind kind;
    friend bool operator==(const Key&, const Key&) = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const noexcept {
      return (uint64_t{k.payload} << 32 | k.canon_params) * 0x9E3779B97F4A7C15ULL + static_cast<uint8_t>(k.kind);
    }
  };

  const PoolData& pools_;
  egraph::SymbolScope& scope_;
  boost::unordered_flat_map<Key, egraph::Symbol, KeyHash> symbols_;
};

}  // namespace korvane
