// load.hpp - adding a whole term graph to an e-graph at once.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/internal_error.hpp"
#include "common/lookahead.hpp"
#include "egraph/egraph.hpp"

namespace korvane::egraph {

/// Adds `n` terms given in dependency order and returns the class of each:
/// term i is `op_of(i)` over the terms `children_of(i)` lists, all below i.
///
/// Each add probes the memo at a random place, so the probe of a term a
/// few terms further on is hinted first. Its children not added yet are
/// guessed to get the next ids in order, which holds unless a term between
/// is a duplicate; a wrong guess only wastes the hint. The hint reads the
/// children's classes at scattered places of `ids`, which are hinted as
/// many terms before.
template <class OpOf, class ChildrenOf>
std::vector<ClassId> add_terms(EGraph& graph, std::size_t n, OpOf op_of, ChildrenOf children_of) {
  constexpr std::size_t kAhead = lookahead::kLoadTerm;  // a term; its children's ids at twice this
  graph.reserve(n);
  std::vector<ClassId> ids(n);
  std::vector<ClassId> kids;
  std::vector<ClassId> guess;
  for (std::size_t i = 0; i < n; ++i) {
    if (const std::size_t later = i + 2 * kAhead; later < n) {
      for (auto c : children_of(later)) {
        if (c < later) prefetch_line(ids.data() + c);
      }
    }
    if (const std::size_t next = i + kAhead; next < n) {
      guess.clear();
      const auto issued = static_cast<ClassId>(graph.id_count());
      for (auto c : children_of(next)) guess.push_back(c < i ? ids[c] : issued + static_cast<ClassId>(c - i));
      graph.prefetch_fresh(op_of(next), guess);
    }
    kids.clear();
    for (auto c : children_of(i)) {
      check(c < i, "term child refers to a later term");
      kids.push_back(ids[c]);
    }
    ids[i] = graph.find(graph.add(SymbolLang{op_of(i), Children(kids)}));
  }
  return ids;
}

}  // namespace korvane::egraph
