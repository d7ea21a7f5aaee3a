// extraction.cpp - cheapest terms of a saturated e-graph.
#include "optimizer/extraction.hpp"

#include <algorithm>
#include <limits>
#include <queue>
#include <tuple>

#include "common/internal_error.hpp"

namespace korvane {

using egraph::ClassId;
using egraph::SymbolLang;

namespace {

constexpr uint32_t kNone = UINT32_MAX;
// Tree costs grow with every shared input counted once per use: along a
// chain of 7,000 nodes that each read the one before twice they pass 2^7000,
// beyond a double's range. An extended double holds them (to 2^16383), so
// cheaper still compares as cheaper on deep traced graphs.
using Cost = long double;
constexpr Cost kUnpriced = std::numeric_limits<Cost>::infinity();

/// A node of the e-graph, numbered in class order.
struct Node {
  uint32_t cls;   ///< dense index of its class
  uint64_t rank;  ///< recorded term index, or 2^32 + node number for a rule-made node
  Cost own;
};

}  // namespace

CanonicalTerms extract_cheapest(const egraph::EGraph& graph, const TermList& in, const std::vector<ClassId>& ids,
                                std::span<const uint32_t> roots, const std::function<double(egraph::Symbol)>& cost,
                                const egraph::SymbolScope& symbols) {
  check(graph.is_clean(), "extraction reads a clean e-graph");
  // Dense class and node numbers; each node's children as dense classes, and
  // per class the nodes that read it (once per occurrence).
  std::vector<uint32_t> dense(graph.id_count(), kNone);
  std::vector<const egraph::ClassRecord*> classes;
  for (const egraph::ClassRecord& rec : graph.classes()) {
    dense[rec.id] = static_cast<uint32_t>(classes.size());
    classes.push_back(&rec);
  }
  std::vector<Node> nodes;
  std::vector<const SymbolLang*> node_of;
  nodes.reserve(graph.memo_size());
  node_of.reserve(graph.memo_size());
  std::vector<uint32_t> first_node(classes.size() + 1, 0);  // per class: its first node's number
  std::vector<uint32_t> child_offsets{0};
  std::vector<uint32_t> child_classes;
  std::vector<uint32_t> pending;
  std::vector<uint32_t> reader_count(classes.size(), 0);
  for (uint32_t c = 0; c < classes.size(); ++c) {
    first_node[c] = static_cast<uint32_t>(nodes.size());
    for (const SymbolLang& n : classes[c]->nodes) {
      nodes.push_back(Node{c, (uint64_t{1} << 32) + nodes.size(), cost(n.op)});
      node_of.push_back(&n);
      // A clean e-graph's nodes hold canonical children: class roots.
      for (ClassId child : n.children) {
        const uint32_t d = dense[child];
        check(d != kNone, "a node's child is not a class root");
        child_classes.push_back(d);
        ++reader_count[d];
      }
      child_offsets.push_back(static_cast<uint32_t>(child_classes.size()));
      pending.push_back(n.children.size());
    }
  }
  first_node[classes.size()] = static_cast<uint32_t>(nodes.size());

  // A recorded term ranks its node by its position: the node is found in its
  // class's sorted node list over the canonical children.
  std::vector<ClassId> kids;
  for (size_t i = 0; i < in.size(); ++i) {
    kids.clear();
    for (uint32_t c : in.children_of(i)) kids.push_back(graph.find(ids[c]));
    const SymbolLang probe{in.symbols[i], egraph::Children(std::span<const ClassId>(kids))};
    const uint32_t c = dense[graph.find(ids[i])];
    const auto& list = classes[c]->nodes;
    auto at = std::lower_bound(list.begin(), list.end(), probe);
    check(at != list.end() && *at == probe, "a loaded term is missing from its class");
    Node& node = nodes[first_node[c] + static_cast<uint32_t>(at - list.begin())];
    node.rank = std::min<uint64_t>(node.rank, i);
  }

  std::vector<uint32_t> reader_offsets(classes.size() + 1, 0);
  for (uint32_t c = 0; c < classes.size(); ++c) reader_offsets[c + 1] = reader_offsets[c] + reader_count[c];
  std::vector<uint32_t> readers(child_classes.size());
  {
    std::vector<uint32_t> at(reader_offsets.begin(), reader_offsets.end() - 1);
    for (uint32_t k = 0; k < nodes.size(); ++k) {
      for (uint32_t j = child_offsets[k]; j < child_offsets[k + 1]; ++j) readers[at[child_classes[j]]++] = k;
    }
  }

  // Settle the classes cheapest first.
  struct Best {
    Cost cost = kUnpriced;
    uint64_t rank = UINT64_MAX;
    uint32_t node = kNone;
  };
  std::vector<Best> best(classes.size());
  std::vector<uint8_t> settled(classes.size(), 0);
  using Entry = std::tuple<Cost, uint64_t, uint32_t>;  // cost, rank, class
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
  auto price = [&](uint32_t k) {
    Cost total = nodes[k].own;
    for (uint32_t j = child_offsets[k]; j < child_offsets[k + 1]; ++j) total += best[child_classes[j]].cost;
    Best& b = best[nodes[k].cls];
    if (std::tie(total, nodes[k].rank) < std::tie(b.cost, b.rank)) {
      b = Best{total, nodes[k].rank, k};
      queue.emplace(total, nodes[k].rank, nodes[k].cls);
    }
  };
  for (uint32_t k = 0; k < nodes.size(); ++k) {
    if (pending[k] == 0) price(k);
  }
  while (!queue.empty()) {
    const auto [c_cost, c_rank, c] = queue.top();
    queue.pop();
    if (settled[c] || best[c].cost != c_cost || best[c].rank != c_rank) continue;
    settled[c] = 1;
    for (uint32_t j = reader_offsets[c]; j < reader_offsets[c + 1]; ++j) {
      const uint32_t k = readers[j];
      if (--pending[k] == 0 && !settled[nodes[k].cls]) price(k);
    }
  }

  // Emit what the roots need, children first.
  CanonicalTerms out;
  std::vector<uint32_t> record_of(classes.size(), kNone);
  std::vector<std::pair<uint32_t, bool>> stack;
  auto emit_from = [&](uint32_t root_class) {
    stack.emplace_back(root_class, false);
    while (!stack.empty()) {
      auto [c, expanded] = stack.back();
      stack.pop_back();
      if (record_of[c] != kNone) continue;
      const uint32_t k = best[c].node;
      check(k != kNone, "a needed class has no priced node");
      if (!expanded) {
        stack.emplace_back(c, true);
        for (uint32_t j = child_offsets[k + 1]; j-- > child_offsets[k];) {
          if (record_of[child_classes[j]] == kNone) stack.emplace_back(child_classes[j], false);
        }
        continue;
      }
      kids.clear();
      for (uint32_t j = child_offsets[k]; j < child_offsets[k + 1]; ++j) {
        check(record_of[child_classes[j]] != kNone, "a chosen node reads a class not yet emitted");
        kids.push_back(record_of[child_classes[j]]);
      }
      const egraph::Symbol op = node_of[k]->op;
      record_of[c] = static_cast<uint32_t>(out.records.size());
      out.records.push(op, !symbols.resolve(op).starts_with("op|"), kids);
    }
  };
  out.roots.reserve(roots.size());
  for (uint32_t r : roots) {
    const uint32_t c = dense[graph.find(ids[r])];
    emit_from(c);
    out.roots.push_back(record_of[c]);
  }
  out.class_of.resize(in.size());
  for (size_t i = 0; i < in.size(); ++i) out.class_of[i] = record_of[dense[graph.find(ids[i])]];
  // One node per class, over canonical children: no two records are equal.
  out.distinct = true;
  return out;
}

}  // namespace korvane
