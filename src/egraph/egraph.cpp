// egraph.cpp - adding, merging and rebuilding e-classes.
//
// `add` hash-conses through the memo and registers the new node with its
// children's classes; `union_` links two roots and queues the loser's
// parents; `rebuild` drains that queue (closing congruence) and normalises
// the classes.
#include "egraph/egraph.hpp"

#include <algorithm>
#include <string>

#include "common/internal_error.hpp"

namespace korvane::egraph {

EGraph::EGraph() : memo_(std::make_unique<Memo>()) {}
EGraph::EGraph(EGraph&&) noexcept = default;
EGraph& EGraph::operator=(EGraph&&) noexcept = default;
EGraph::~EGraph() = default;

ClassId EGraph::add(SymbolLang node) {
  for (ClassId& child : node.children) child = unionfind_.find(child);
  if (auto slot = memo_->find(node)) return unionfind_.find(memo_->value(*slot));

  const ClassId id = unionfind_.make_set();
  for (ClassId child : node.children) get_class_mut(child).parents.push_back(id);
  repair_queue_.push_back(id);
  ClassRecord& record = classes_.emplace_back();
  record.id = id;
  record.nodes.push_back(node);
  ++class_count_;
  auto slot = memo_->insert_new(std::move(node), id);
  if (!slot) throw InternalError("assertion failed: self.memo.insert(enode, id).is_none()");
  added_slot_.push_back(*slot);
  clean_ = false;
  return id;
}

std::optional<ClassId> EGraph::lookup(const SymbolLang& node) const {
  SymbolLang canonical = node;
  for (ClassId& child : canonical.children) child = unionfind_.find(child);
  auto slot = memo_->find(canonical);
  if (!slot) return std::nullopt;
  return unionfind_.find(memo_->value(*slot));
}

bool EGraph::union_(ClassId a, ClassId b) {
  clean_ = false;
  ClassId winner = unionfind_.find_halving(a);
  ClassId loser = unionfind_.find_halving(b);
  if (winner == loser) return false;
  if (live_record(winner).parents.size() < live_record(loser).parents.size()) std::swap(winner, loser);

  unionfind_.link(winner, loser);
  ClassRecord& kept = classes_[winner];
  ClassRecord& gone = classes_[loser];
  repair_queue_.insert(repair_queue_.end(), gone.parents.begin(), gone.parents.end());
  // The longer list stays in front, so only the shorter one moves.
  if (kept.nodes.size() < gone.nodes.size()) swap(kept.nodes, gone.nodes);
  kept.nodes.append_moved(gone.nodes);
  if (kept.parents.size() < gone.parents.size()) swap(kept.parents, gone.parents);
  kept.parents.append_moved(gone.parents);
  gone.id = kNoClass;
  gone.nodes.reset();
  gone.parents.reset();
  --class_count_;
  return true;
}

std::size_t EGraph::rebuild() {
  std::size_t unions = 0;
  SymbolLang canonical;
  while (!repair_queue_.empty()) {
    const ClassId id = repair_queue_.back();
    repair_queue_.pop_back();
    const std::uint32_t added = added_slot_[id];
    const SymbolLang& node = memo_->key(added);

    bool unchanged = true;
    for (ClassId child : node.children) unchanged &= unionfind_.find_halving(child) == child;
    std::uint32_t slot;
    if (unchanged) {
      // Still in the form it was added in: the memo entry is its own slot.
      slot = added;
    } else {
      canonical = node;
      for (ClassId& child : canonical.children) child = unionfind_.find(child);
      auto found = memo_->find(canonical);
      if (!found) {
        memo_->insert_new(std::move(canonical), id);
        continue;
      }
      slot = *found;
    }
    const ClassId previous = memo_->value(slot);
    memo_->set_value(slot, id);
    if (union_(previous, id)) ++unions;
  }

  kind_index_.clear();
  for (auto& [op, ids] : op_index_) ids.clear();
  for (ClassRecord& record : classes_) {
    if (record.id == kNoClass) continue;
    normalize(record);
    kind_index_.push_back(record.id);
    index_ops(record);
  }
  clean_ = true;
  return unions;
}

void EGraph::normalize(ClassRecord& record) {
  for (SymbolLang& node : record.nodes) {
    for (ClassId& child : node.children) child = unionfind_.find_halving(child);
  }
  if (record.nodes.size() < 2) return;
  std::sort(record.nodes.begin(), record.nodes.end());
  auto last = std::unique(record.nodes.begin(), record.nodes.end());
  record.nodes.truncate(static_cast<std::uint32_t>(last - record.nodes.begin()));
}

void EGraph::index_ops(const ClassRecord& record) {
  Symbol last;
  std::vector<ClassId>* ids = nullptr;
  for (const SymbolLang& node : record.nodes) {
    // Sorted nodes: each operator's nodes are adjacent.
    if (ids != nullptr && node.op == last) continue;
    last = node.op;
    ids = &op_index_[last];
    ids->push_back(record.id);
  }
}

std::span<const ClassId> EGraph::classes_with_op(Symbol op) const noexcept {
  auto found = op_index_.find(op);
  if (found == op_index_.end()) return {};
  return found->second;
}

ClassRecord& EGraph::live_record(ClassId root) {
  ClassRecord& record = classes_[root];
  if (record.id != root) [[unlikely]] throw InternalError("Invalid id " + std::to_string(root));
  return record;
}

const ClassRecord& EGraph::get_class(ClassId id) const {
  const ClassId root = unionfind_.find(id);
  const ClassRecord& record = classes_[root];
  if (record.id != root) [[unlikely]] throw InternalError("Invalid id " + std::to_string(root));
  return record;
}

ClassRecord& EGraph::get_class_mut(ClassId id) { return live_record(unionfind_.find_halving(id)); }

const SymbolLang& EGraph::added_node(ClassId id) const {
  check(unionfind_.contains(id), "added_node: id was never issued");
  return memo_->key(added_slot_[id]);
}

void EGraph::reserve(std::size_t nodes) {
  const std::size_t total = unionfind_.size() + nodes;
  unionfind_.reserve(total);
  memo_->reserve(memo_->size() + nodes);
  added_slot_.reserve(total);
  classes_.reserve(total);
  repair_queue_.reserve(repair_queue_.size() + nodes);
}

EGraph::ClassRange EGraph::classes() const noexcept {
  const ClassRecord* first = classes_.data();
  const ClassRecord* last = first + classes_.size();
  return {ClassIterator(first, last), ClassIterator(last, last)};
}

}  // namespace korvane::egraph
