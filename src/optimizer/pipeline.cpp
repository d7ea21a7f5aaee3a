// pipeline.cpp - reachability, compaction, engine call, hash-consing,
// emission, outputs and node map.
#include "optimizer/pipeline.hpp"

#include <boost/container/small_vector.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include "common/hashed_id_set.hpp"
#include "common/internal_error.hpp"
#include "common/lap.hpp"
#include "egraph/node.hpp"
#include "egraph/symbol.hpp"
#include "optimizer/fusion.hpp"
#include "optimizer/node_symbol.hpp"
#include "store/member_token.hpp"

namespace korvane {

namespace {

constexpr uint32_t kNone = UINT32_MAX;

using egraph::Symbol;

// Marks the nodes the outputs depend on. Every node reads only earlier
// ones, so one pass from the last node down marks the inputs of each marked
// node before reaching them, reading the node table in order.
std::vector<uint8_t> reachable(const Graph& graph, std::span<const NodeId> outputs) {
  std::vector<uint8_t> reached(graph.size(), 0);
  for (NodeId o : outputs) reached[o] = 1;
  for (size_t id = graph.size(); id-- > 0;) {
    if (!reached[id]) continue;
    for (uint32_t in : graph.inputs(id)) {
      check(in < id, "a node reads a later node");
      reached[in] = 1;
    }
  }
  return reached;
}

// Merges equal records (same symbol, same canonical children) of the
// engine's answer, keeping the first of each. A record is a term as the
// e-graph holds one, so it hashes as an e-graph node does.
class CanonicalRecords {
 public:
  CanonicalRecords() : index_(Same{&list_}) {}

  TermList& list() { return list_; }

  uint32_t add(Symbol symbol, bool boundary, std::span<const uint32_t> children) {
    const Key key{symbol, children};
    const uint32_t h = hash(key);
    if (auto found = index_.find(key, h)) return *found;
    const auto id = static_cast<uint32_t>(list_.size());
    list_.push(symbol, boundary, children);
    index_.insert(id, h);
    return id;
  }

 private:
  struct Key {
    Symbol symbol;
    std::span<const uint32_t> children;
  };
  static uint32_t hash(const Key& k) { return static_cast<uint32_t>(egraph::hash_node(k.symbol, k.children) >> 32); }
  struct Same {
    const TermList* list;
    bool operator()(const Key& k, uint32_t id) const {
      return list->symbols[id] == k.symbol && std::ranges::equal(list->children_of(id), k.children);
    }
  };

  TermList list_;
  HashedIdSet<Key, Same> index_;
};

/// The first live node of each boundary symbol; boundary records are rebuilt
/// from it.
using Templates = boost::unordered_flat_map<Symbol, NodeRec, egraph::SymbolHash>;

// Notes the head of the nodes with symbol `s`, the first time it is seen.
void add_head(std::vector<std::optional<NodeHead>>& heads, Symbol s, const PoolData& pools, const NodeRec& rec) {
  if (heads.size() <= s.raw()) heads.resize(s.raw() + 1);
  std::optional<NodeHead>& head = heads[s.raw()];
  if (head) return;
  head.emplace();
  head->kind = rec.kind;
  if (rec.kind == NodeKind::Source || rec.kind == NodeKind::Op || rec.kind == NodeKind::Reduction) {
    head->name = pools.str(rec.payload);
  }
  if (rec.kind == NodeKind::Stage) {
    for (const MemberRec& m : pools.member_list(rec.payload)) {
      if (auto member = parse_member_symbol(pools.str(m.token))) {
        head->members.emplace_back(member->head == "red" ? NodeKind::Reduction : NodeKind::Op, member->name);
      }
    }
    return;
  }
  for (const ParamSlot& slot : pools.params(rec.params)) {
    const ParamRef p = pools.param(slot);
    head->params.push_back(Param{std::string(p.key), p.tag, p.bits, std::string(p.str)});
  }
}

// Adds a template for each boundary record whose symbol a rule made: its
// name and parameters go into the reduced graph's pools.
void add_made_templates(const CanonicalTerms& answer, Pools& pools, Templates& templates) {
  if (answer.made.empty()) return;
  boost::unordered_flat_map<Symbol, const NodeHead*, egraph::SymbolHash> made;
  for (const auto& [symbol, head] : answer.made) made.emplace(symbol, &head);
  for (size_t r = 0; r < answer.records.size(); ++r) {
    const Symbol s = answer.records.symbols[r];
    if (!answer.records.boundary[r] || templates.contains(s)) continue;
    auto it = made.find(s);
    check(it != made.end(), "a boundary record without a template or a head");
    const NodeHead& head = *it->second;
    std::vector<ParamRef> refs;
    for (const Param& p : head.params) refs.push_back(p.ref());
    NodeRec rec{};
    rec.kind = head.kind;
    rec.payload = has_name(head.kind) ? pools.intern_string(head.name) : 0;
    rec.params = pools.intern_params(refs);
    templates.emplace(s, rec);
  }
}


// Emits one node per group, in the plan's order, into `out`; fills the
// node of each group and the placement of each record.
class Emitter {
 public:
  Emitter(const TermList& records, const egraph::SymbolScope& symbols, const FusionPlan& plan,
          const Templates& templates, ReductionResult& out)
      : records_(records), symbols_(symbols), plan_(plan), templates_(templates), out_(out), groups_(records.size()),
        member_pos_(records.size(), kNone) {}

  std::vector<NodeMapEntry> placement;  ///< per record

  void run() {
    placement.resize(records_.size());
    out_.nodes.recs.reserve(plan_.order.size());  // one node per group
    const std::vector<uint32_t>& order = plan_.order;
    for (size_t k = 0; k < order.size(); ++k) {
      const uint32_t g = order[k];
      if (records_.boundary[g]) {
        emit_boundary(g);
      } else {
        emit_stage(g);
      }
    }
    out_.counters.reduced_nodes = out_.nodes.size();
  }

  uint32_t node_of_group(uint32_t g) const { return groups_[g].node; }

 private:
  /// What emission keeps per group, together because a stage reads all of
  /// it for each group it takes input from.
  struct GroupSlot {
    uint32_t node = kNone;   ///< the emitted node
    uint32_t stamp = kNone;  ///< the stage that last listed it as an input
    uint32_t pos = kNone;    ///< its position among that stage's inputs
  };

  uint32_t node_of_record(uint32_t r) const {
    const uint32_t node = groups_[plan_.group[r]].node;
    check(node != kNone, "a group is read before it is emitted");
    return node;
  }

  // A boundary record becomes a copy of the first live node with its
  // symbol, reading the nodes its children landed on.
  void emit_boundary(uint32_t g) {
    auto it = templates_.find(records_.symbols[g]);
    check(it != templates_.end(), "boundary symbol without a template");
    const NodeRec& t = it->second;
    inputs_.clear();
    for (uint32_t c : records_.children_of(g)) inputs_.push_back(node_of_record(c));
    const uint32_t k = out_.nodes.append(t.kind, t.payload, t.params, inputs_);
    ++out_.counters.boundary_nodes;
    groups_[g].node = k;
    placement[g] = NodeMapEntry{k, NodeMapEntry::kNone};
  }

  // An operator group becomes a Stage: its members in ascending order, each
  // reading earlier members or the stage's inputs (listed once each, in
  // order of first reference).
  void emit_stage(uint32_t g) {
    const auto members = plan_.members_of(g);
    inputs_.clear();
    refs_.clear();
    ref_counts_.clear();
    for (size_t p = 0; p < members.size(); ++p) {
      const uint32_t r = members[p];
      member_pos_[r] = static_cast<uint32_t>(p);
      const auto children = records_.children_of(r);
      for (uint32_t c : children) {
        if (plan_.group[c] == g) {
          refs_.push_back(StageRef{StageRef::Kind::Member, member_pos_[c]});
          continue;
        }
        GroupSlot& input = groups_[plan_.group[c]];
        if (input.stamp != g) {
          check(input.node != kNone, "a group is read before it is emitted");
          input.stamp = g;
          input.pos = static_cast<uint32_t>(inputs_.size());
          inputs_.push_back(input.node);
        }
        refs_.push_back(StageRef{StageRef::Kind::Input, input.pos});
      }
      ref_counts_.push_back(children.size());
    }
    specs_.clear();
    size_t at = 0;
    for (size_t p = 0; p < members.size(); ++p) {
      specs_.push_back(MemberSpec{{}, std::span<const StageRef>(refs_.data() + at, ref_counts_[p]),
                                  token(records_.symbols[members[p]])});
      at += ref_counts_[p];
    }
    const uint32_t list = out_.pools->intern_members(specs_);
    const uint32_t k = out_.nodes.append(NodeKind::Stage, list, 0, inputs_);
    ++out_.counters.stages;
    groups_[g].node = k;
    for (size_t p = 0; p < members.size(); ++p) placement[members[p]] = NodeMapEntry{k, p};
  }

  // The string id of an operator symbol's text in the reduced graph's
  // pools, interned once per symbol.
  uint32_t token(Symbol s) {
    auto [it, fresh] = tokens_.try_emplace(s);
    if (fresh) it->second = out_.pools->intern_string(symbols_.resolve(s));
    return it->second;
  }

  const TermList& records_;
  const egraph::SymbolScope& symbols_;
  const FusionPlan& plan_;
  const Templates& templates_;
  ReductionResult& out_;
  std::vector<GroupSlot> groups_;      // per group
  std::vector<uint32_t> member_pos_;  // per record: position in its stage
  std::vector<uint32_t> inputs_;
  std::vector<StageRef> refs_;
  std::vector<size_t> ref_counts_;
  std::vector<MemberSpec> specs_;
  boost::unordered_flat_map<Symbol, uint32_t, egraph::SymbolHash> tokens_;
};

}  // namespace

ReductionResult reduce_nodes(Graph graph, std::span<const NodeId> outputs, const RewriteEngine& engine,
                             bool maximal_fusion, ReductionProfile* profile) {
  Lap lap(profile != nullptr);
  RewriteRun* run = profile != nullptr ? &profile->run : nullptr;
  const size_t n = graph.size();
  ReductionResult result;
  result.counters.input_nodes = n;
  for (NodeId o : outputs) check(o < n, "output id out of range");

  // Reachability and compaction: live ids in ascending id order.
  std::vector<uint32_t> live_id(n, kNone);
  std::vector<uint32_t> live_nodes;  // live id -> node id
  {
    const std::vector<uint8_t> reached = reachable(graph, outputs);
    for (size_t i = 0; i < n; ++i) {
      if (!reached[i]) continue;
      live_id[i] = static_cast<uint32_t>(live_nodes.size());
      live_nodes.push_back(static_cast<uint32_t>(i));
    }
  }
  result.counters.reachable_nodes = live_nodes.size();
  if (profile != nullptr) profile->reachability = lap.next();

  // Template map and the engine's input, one term per live node.
  egraph::SymbolScope symbols;
  engine.add_operators(symbols);
  Templates templates;
  CanonicalTerms answer;
  {
    TermGraph terms;
    terms.records.reserve(live_nodes.size(), live_nodes.size() * 2);
    SymbolCache node_symbols(graph.pools, symbols);
    boost::container::small_vector<uint32_t, 8> kids;
    const bool heads = engine.wants_heads();
    for (size_t k = 0; k < live_nodes.size(); ++k) {
      const uint32_t id = live_nodes[k];
      const NodeRec& rec = graph.nodes.recs[id];
      const Symbol s = node_symbols.symbol(rec);
      if (rec.kind != NodeKind::Op) templates.try_emplace(s, rec);
      if (heads) add_head(terms.heads, s, graph.pools, rec);
      kids.clear();
      for (uint32_t in : graph.inputs(id)) kids.push_back(live_id[in]);
      terms.records.push(s, rec.kind != NodeKind::Op, kids);
    }
    terms.roots.reserve(outputs.size());
    for (NodeId o : outputs) terms.roots.push_back(live_id[o]);
    // From here on only the templates need the node records.
    graph.nodes = NodeTable();
    std::vector<uint32_t>().swap(live_nodes);
    if (profile != nullptr) profile->symbols = lap.next();
    answer = engine.canonicalize(terms, symbols, run);
    lap.next();  // the engine times its own phases
  }
  check(answer.roots.size() == outputs.size() && answer.class_of.size() == result.counters.reachable_nodes,
        "rewrite engine answer has the wrong shape");

  // Hash-consing of the answer (unless its records are known to be
  // distinct), and the canonical roots.
  CanonicalRecords canonical;
  std::vector<uint32_t> canonical_of(answer.records.size());
  {
    boost::container::small_vector<uint32_t, 8> kids;
    for (size_t r = 0; r < answer.records.size(); ++r) {
      kids.clear();
      for (uint32_t c : answer.records.children_of(r)) {
        check(c < r, "rewrite engine answer is not in dependency order");
        if (!answer.distinct) kids.push_back(canonical_of[c]);
      }
      canonical_of[r] = answer.distinct ? static_cast<uint32_t>(r)
                                        : canonical.add(answer.records.symbols[r], answer.records.boundary[r], kids);
    }
  }
  const TermList& records = answer.distinct ? answer.records : canonical.list();
  result.counters.canonical_nodes = records.size();
  std::vector<uint32_t> roots;
  roots.reserve(answer.roots.size());
  for (uint32_t r : answer.roots) roots.push_back(canonical_of[r]);
  if (profile != nullptr) profile->hash_consing = lap.next();

  // Fusion and emission into the reduced graph.
  const FusionPlan plan = plan_fusion(records, roots, maximal_fusion);
  // The reduced graph keeps the pools: templates keep their pool ids.
  result.pools = std::make_unique<Pools>(std::move(graph.pools));
  // At most one new member list per group.
  result.pools->reserve_member_lists(plan.order.size());
  add_made_templates(answer, *result.pools, templates);
  Emitter emitter(records, symbols, plan, templates, result);
  emitter.run();

  // Outputs: the node of each root's group.
  result.outputs.reserve(roots.size());
  for (uint32_t r : roots) result.outputs.push_back(emitter.node_of_group(plan.group[r]));

  // Node map: where the class of each live node landed.
  result.node_map.resize(n);
  for (size_t i = 0; i < n; ++i) {
    if (live_id[i] == kNone) continue;
    // A class the extracted terms no longer need lands nowhere.
    const uint32_t cls = answer.class_of[live_id[i]];
    if (cls == kNone) continue;
    result.node_map[i] = emitter.placement[canonical_of[cls]];
  }
  if (profile != nullptr) profile->fusion = lap.next();
  return result;
}

std::unique_ptr<Store> build_reduced_store(ReductionResult&& result) {
  auto store = std::make_unique<Store>(std::move(result.pools));
  std::vector<NodeId> ids;
  ids.reserve(result.nodes.size());
  std::vector<NodeId> inputs;
  for (size_t i = 0; i < result.nodes.size(); ++i) {
    const NodeRec& rec = result.nodes.recs[i];
    inputs.clear();
    for (uint32_t in : result.nodes.inputs_of(i)) inputs.push_back(ids[in]);
    auto id = store->intern_rec(rec.kind, rec.payload, rec.params, inputs);
    check(id.ok(), "reduced graph references only earlier nodes");
    ids.push_back(id.value());
  }
  for (uint64_t o : result.outputs) check(store->mark_output(ids[o]).ok(), "reduced output is valid");
  for (NodeMapEntry& e : result.node_map) {
    if (e.present()) e.node = ids[e.node];
  }
  store->set_node_map(std::move(result.node_map));
  return store;
}

}  // namespace korvane
