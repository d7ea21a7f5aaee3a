// extraction.hpp - reading a saturated e-graph back as its cheapest terms.
//
// Each class is represented by its cheapest node by tree cost: the node's
// own cost plus the chosen costs of its children. Costs are positive, so a
// node costs more than any of its children and the classes can be settled
// cheapest first, as a shortest-path search settles vertices: a node is
// priced once all its children are settled, and a node on a cycle that
// nothing grounds is never priced. Ties go to a recorded term before a
// rule-made node, and to the earlier recorded term.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "egraph/egraph.hpp"
#include "optimizer/terms.hpp"

namespace korvane {

/// The cheapest terms of `graph` (clean) that the roots need, in dependency
/// order. `in` are the loaded terms and `ids[i]` the class term i was added
/// as; `cost` prices an operator. A term whose class the roots do not need
/// gets class_of UINT32_MAX.
CanonicalTerms extract_cheapest(const egraph::EGraph& graph, const TermList& in, const std::vector<egraph::ClassId>& ids,
                                std::span<const uint32_t> roots, const std::function<double(egraph::Symbol)>& cost,
                                const egraph::SymbolScope& symbols);

}  // namespace korvane
