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
  if (!memo_->insert_added(id, std::move(node))) {
    throw InternalError("assertion failed: self.memo.insert(enode, id).is_none()");
  }
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
  touched_.push_back(winner);
  merged_since_rebuild_ = true;
  return true;
}

std::size_t EGraph::rebuild() {
  std::size_t unions = 0;
  SymbolLang canonical;
  while (!repair_queue_.empty()) {
    const ClassId id = repair_queue_.back();
    repair_queue_.pop_back();
    // Classes created since the last rebuild are normalised anyway.
    if (id < indexed_ids_) touched_.push_back(id);
    const SymbolLang& node = memo_->key(id);

    bool unchanged = true;
    for (ClassId child : node.children) unchanged &= unionfind_.find_halving(child) == child;
    Memo::Ref entry = id;
    if (!unchanged) {
      canonical = node;
      for (ClassId& child : canonical.children) child = unionfind_.find(child);
      auto found = memo_->find(canonical);
      if (!found) {
        memo_->insert_extra(std::move(canonical), id);
        continue;
      }
      entry = *found;
    }
    // Unchanged, the node is still the key it was added as: its own entry.
    const ClassId previous = memo_->value(entry);
    memo_->set_value(entry, id);
    if (union_(previous, id)) ++unions;
  }

  normalize_touched();
  clean_ = true;
  return unions;
}

void EGraph::normalize_touched() {
  // A class can only have become unsorted or non-canonical if it is new,
  // won a union, or holds a node whose child lost one; the last kind are
  // found through the loser's parent entries queued for repair. Every
  // other class is exactly as the previous rebuild left it.
  std::vector<ClassId>& work = touched_;
  for (ClassId& id : work) id = unionfind_.find_halving(id);
  std::sort(work.begin(), work.end());
  work.erase(std::unique(work.begin(), work.end()), work.end());
  const std::size_t old_count = work.size();
  for (auto id = static_cast<ClassId>(indexed_ids_); id < unionfind_.size(); ++id) {
    if (unionfind_.is_root(id)) work.push_back(id);
  }
  std::inplace_merge(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(old_count), work.end());
  work.erase(std::unique(work.begin(), work.end()), work.end());

  grown_ops_.clear();
  constexpr std::size_t kAhead = 8;
  for (std::size_t k = 0; k < work.size(); ++k) {
    if (k + kAhead < work.size()) prefetch_class(work[k + kAhead]);
    ClassRecord& record = classes_[work[k]];
    normalize(record);
    index_ops(record);
  }

  // Merge the touched classes into the indexes, dropping merged-away ones.
  // Without a merge since the last rebuild, every touched class is new and
  // sorts after everything already listed.
  auto merge_into = [&](std::vector<ClassId>& ids, std::size_t kept) {
    if (!merged_since_rebuild_) return;
    auto dead = [&](ClassId id) { return !unionfind_.is_root(id); };
    auto first = ids.begin();
    auto kept_end = std::remove_if(first, first + static_cast<std::ptrdiff_t>(kept), dead);
    auto tail = ids.erase(kept_end, first + static_cast<std::ptrdiff_t>(kept));
    std::inplace_merge(ids.begin(), tail, ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  };
  const std::size_t kind_kept = kind_index_.size();
  kind_index_.insert(kind_index_.end(), work.begin(), work.end());
  merge_into(kind_index_, kind_kept);
  for (Symbol op : grown_ops_) {
    OpClasses& entry = op_index_.find(op)->second;
    merge_into(entry.ids, entry.sorted);
    entry.sorted = entry.ids.size();
  }

  touched_.clear();
  indexed_ids_ = unionfind_.size();
  merged_since_rebuild_ = false;
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
  for (std::uint32_t k = 0; k < record.nodes.size(); ++k) {
    // Sorted nodes: each operator's nodes are adjacent.
    const Symbol op = record.nodes[k].op;
    if (k > 0 && op == last) continue;
    last = op;
    OpClasses& entry = op_index_[op];
    if (entry.ids.size() == entry.sorted) grown_ops_.push_back(op);
    entry.ids.push_back(record.id);
  }
}

std::span<const ClassId> EGraph::classes_with_op(Symbol op) const noexcept {
  auto found = op_index_.find(op);
  if (found == op_index_.end()) return {};
  return found->second.ids;
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
  return memo_->key(id);
}

void EGraph::reserve(std::size_t nodes) {
  const std::size_t total = unionfind_.size() + nodes;
  unionfind_.reserve(total);
  memo_->reserve(total);
  classes_.reserve(total);
  repair_queue_.reserve(repair_queue_.size() + nodes);
}

EGraph::ClassRange EGraph::classes() const noexcept {
  return {ClassIterator(&classes_, 0), ClassIterator(&classes_, classes_.size())};
}

const SymbolLang& EGraph::memo_key(std::size_t slot) const {
  check(slot < memo_->size(), "memo_key: no such slot");
  return memo_->key(memo_->ref_at(slot));
}

ClassId EGraph::memo_value(std::size_t slot) const {
  check(slot < memo_->size(), "memo_value: no such slot");
  return memo_->value(memo_->ref_at(slot));
}

}  // namespace korvane::egraph
