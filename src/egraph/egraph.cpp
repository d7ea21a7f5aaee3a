// egraph.cpp - adding, merging and rebuilding e-classes.
//
// `add` hash-conses through the memo and registers the new node with its
// children's classes; `union_` links two roots and queues the loser's
// parents; `rebuild` drains that queue (closing congruence) and normalises
// the classes.
#include "egraph/egraph.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "common/internal_error.hpp"
#include "common/lookahead.hpp"

namespace korvane::egraph {

EGraph::EGraph() = default;
EGraph::EGraph(EGraph&&) noexcept = default;
EGraph& EGraph::operator=(EGraph&&) noexcept = default;
EGraph::~EGraph() = default;

ClassId EGraph::add(SymbolLang node) {
  for (ClassId& child : node.children) child = unionfind_.find(child);
  const std::uint64_t hash = Memo::hash(node);
  const auto [id, fresh] = memo_.find_or_add(std::move(node), hash);
  if (!fresh) return unionfind_.find(id);

  // The memo numbers added nodes as the union-find numbers ids.
  unionfind_.make_set();
  const SymbolLang& added = memo_.key(id);
  if (added.children.size() > Children::kInline) table_.long_nodes = true;
  for (ClassId child : added.children) get_class_mut(child).parents.push_back(table_.blocks, id);
  repair_queue_.push_back(id);
  ClassRecord& record = table_.records.emplace_back();
  record.id = id;
  record.nodes.push_back(table_.blocks, added);
  ++class_count_;
  clean_ = false;
  return id;
}

std::optional<ClassId> EGraph::lookup(const SymbolLang& node) const {
  SymbolLang canonical = node;
  for (ClassId& child : canonical.children) child = unionfind_.find(child);
  const ClassId* value = memo_.find(canonical, Memo::hash(canonical));
  if (value == nullptr) return std::nullopt;
  return unionfind_.find(*value);
}

bool EGraph::union_(ClassId a, ClassId b) {
  clean_ = false;
  ClassId winner = unionfind_.find_halving(a);
  ClassId loser = unionfind_.find_halving(b);
  if (winner == loser) return false;
  if (live_record(winner).parents.size() < live_record(loser).parents.size()) std::swap(winner, loser);

  unionfind_.link(winner, loser);
  ClassRecord& kept = table_.records[winner];
  ClassRecord& gone = table_.records[loser];
  repair_queue_.insert(repair_queue_.end(), gone.parents.begin(), gone.parents.end());
  // The longer list stays in front, so only the shorter one moves.
  if (kept.nodes.size() < gone.nodes.size()) swap(kept.nodes, gone.nodes);
  kept.nodes.append_moved(table_.blocks, gone.nodes);
  if (kept.parents.size() < gone.parents.size()) swap(kept.parents, gone.parents);
  kept.parents.append_moved(table_.blocks, gone.parents);
  gone.id = kNoClass;
  --class_count_;
  touched_.push_back(winner);
  merged_since_rebuild_ = true;
  ++unions_;
  return true;
}

std::size_t EGraph::rebuild() {
  std::size_t unions = 0;
  // Without a merge since the last rebuild the queue holds only nodes added
  // since, each still canonical and still its own memo entry's value:
  // repairing one would union its id with itself.
  if (!merged_since_rebuild_) repair_queue_.clear();
  SymbolLang canonical;
  // Entries are scattered over the key store and the memo: hint an entry's
  // key, then its children's union-find entries, then its memo slot (only a
  // node whose children changed will probe the memo). Unions below push
  // more entries, which only delays the hinted ones. Wide nodes are not
  // hinted: a repeat of one in the queue costs nothing below, and reading
  // its children for a hint would cost their number.
  auto narrow = [&](const ClassId* id) -> const SymbolLang* {
    if (id == nullptr) return nullptr;
    const SymbolLang& node = memo_.key(*id);
    return node.children.size() <= Children::kInline ? &node : nullptr;
  };
  while (!repair_queue_.empty()) {
    const std::span<const ClassId> queue(repair_queue_);
    if (const ClassId* next = ahead_of_top(queue, lookahead::kRepairKey)) prefetch_line(&memo_.key(*next));
    if (const SymbolLang* next = narrow(ahead_of_top(queue, lookahead::kRepairChildren))) {
      for (ClassId child : next->children) unionfind_.prefetch(child);
    }
    if (const SymbolLang* next = narrow(ahead_of_top(queue, lookahead::kRepairSlot));
        next != nullptr && !std::ranges::all_of(next->children, [&](ClassId c) { return unionfind_.is_root(c); })) {
      prefetch_add(next->op, next->children.span());
    }
    const ClassId id = repair_queue_.back();
    repair_queue_.pop_back();
    // Classes created since the last rebuild are normalised anyway.
    if (id < indexed_ids_) touched_.push_back(id);
    const SymbolLang& node = memo_.key(id);
    if (node.children.size() > Children::kInline) {
      if (wide_repaired_at_.size() <= id) wide_repaired_at_.resize(unionfind_.size(), kNotRepaired);
      if (wide_repaired_at_[id] == unions_) continue;
      wide_repaired_at_[id] = unions_;
    }

    bool unchanged = true;
    for (ClassId child : node.children) unchanged &= unionfind_.find_halving(child) == child;
    // Unchanged, the node is still the key it was added as, whose entry
    // has only ever held ids of the node's own class: nothing to repair.
    if (unchanged) continue;
    canonical = node;
    for (ClassId& child : canonical.children) child = unionfind_.find(child);
    auto [value, inserted] = memo_.find_or_insert(canonical, Memo::hash(canonical), id);
    if (inserted) continue;
    const ClassId previous = value;
    value = id;
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
  if (merged_since_rebuild_) {
    // Marking roots in a bitmap and reading it back in order is cheaper
    // than sorting the ids (about 10 ms for 400k ids at N = 1e6).
    touched_bits_.assign((unionfind_.size() + 63) / 64, 0);
    for (ClassId id : work) {
      const ClassId root = unionfind_.find_halving(id);
      touched_bits_[root / 64] |= std::uint64_t{1} << (root % 64);
    }
    for (auto id = static_cast<ClassId>(indexed_ids_); id < unionfind_.size(); ++id) {
      if (unionfind_.is_root(id)) touched_bits_[id / 64] |= std::uint64_t{1} << (id % 64);
    }
    work.clear();
    for (std::size_t word = 0; word < touched_bits_.size(); ++word) {
      for (std::uint64_t bits = touched_bits_[word]; bits != 0; bits &= bits - 1) {
        work.push_back(static_cast<ClassId>(word * 64 + static_cast<unsigned>(std::countr_zero(bits))));
      }
    }
  } else {
    // Only new classes, already in id order.
    for (auto id = static_cast<ClassId>(indexed_ids_); id < unionfind_.size(); ++id) work.push_back(id);
  }

  grown_ops_.clear();
  if (merged_since_rebuild_) {
    // Three dependent fetches per class: its record, its node list, and its
    // nodes' children in the union-find. Each is hinted once the previous
    // one has had time to arrive.
    const std::span<const ClassId> classes(work);
    for (std::size_t k = 0; k < classes.size(); ++k) {
      if (const ClassId* next = ahead(classes, k, lookahead::kNormalizeRecord)) prefetch_class(*next);
      if (const ClassId* next = ahead(classes, k, lookahead::kNormalizeNodes)) prefetch_nodes(*next);
      if (const ClassId* next = ahead(classes, k, lookahead::kNormalizeChildren)) {
        for (const SymbolLang& node : table_.records[*next].nodes) {
          for (ClassId child : node.children) unionfind_.prefetch(child);
        }
      }
      ClassRecord& record = table_.records[work[k]];
      normalize(record);
      index_ops(record);
    }
  } else {
    // Each new class holds the one node it was added with, whose children
    // are still roots.
    for (ClassId id : work) index_ops(table_.records[id]);
  }

  if (!merged_since_rebuild_) {
    // Every touched class is new and sorts after everything listed.
    for (Symbol op : grown_ops_) {
      OpClasses& entry = op_index_.find(op)->second;
      entry.sorted = entry.ids.size();
    }
  } else {
    // Merge each grown list's new tail into its kept head, dropping
    // merged-away classes and repeats.
    for (Symbol op : grown_ops_) {
      OpClasses& entry = op_index_.find(op)->second;
      std::vector<ClassId>& ids = entry.ids;
      merged_ids_.clear();
      merged_ids_.reserve(ids.size());
      auto kept = ids.begin();
      auto kept_end = ids.begin() + static_cast<std::ptrdiff_t>(entry.sorted);
      auto added = kept_end;
      while (kept != kept_end || added != ids.end()) {
        ClassId next;
        if (added == ids.end() || (kept != kept_end && *kept < *added)) {
          next = *kept++;
          if (!unionfind_.is_root(next)) continue;
        } else {
          next = *added++;
        }
        if (merged_ids_.empty() || merged_ids_.back() != next) merged_ids_.push_back(next);
      }
      ids.swap(merged_ids_);
      entry.sorted = ids.size();
    }
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

void EGraph::prefetch_add(Symbol op, std::span<const ClassId> children) const noexcept {
  constexpr std::size_t kMost = 4;
  if (children.size() > kMost) return;
  ClassId canonical[kMost];
  for (std::size_t k = 0; k < children.size(); ++k) {
    canonical[k] = unionfind_.find_or(children[k], kNoClass);
    if (canonical[k] == kNoClass) return;
  }
  prefetch_fresh(op, {canonical, children.size()});
}

std::span<const ClassId> EGraph::classes_with_op(Symbol op) const noexcept {
  auto found = op_index_.find(op);
  if (found == op_index_.end()) return {};
  return found->second.ids;
}

ClassRecord& EGraph::live_record(ClassId root) {
  ClassRecord& record = table_.records[root];
  if (record.id != root) [[unlikely]] throw InternalError("Invalid id " + std::to_string(root));
  return record;
}

const ClassRecord& EGraph::get_class(ClassId id) const { return root_class(unionfind_.find(id)); }

const ClassRecord& EGraph::root_class(ClassId root) const {
  check(root < table_.records.size(), "root_class: id was never issued");
  const ClassRecord& record = table_.records[root];
  if (record.id != root) [[unlikely]] throw InternalError("Invalid id " + std::to_string(root));
  return record;
}

ClassRecord& EGraph::get_class_mut(ClassId id) { return live_record(unionfind_.find_halving(id)); }

const SymbolLang& EGraph::added_node(ClassId id) const {
  check(unionfind_.contains(id), "added_node: id was never issued");
  return memo_.key(id);
}

void EGraph::reserve(std::size_t nodes) {
  const std::size_t total = unionfind_.size() + nodes;
  unionfind_.reserve(total);
  memo_.reserve(memo_.size() + nodes);
  table_.records.reserve(total);
  repair_queue_.reserve(repair_queue_.size() + nodes);
}

EGraph::ClassRange EGraph::classes() const noexcept {
  return {ClassIterator(&table_.records, 0), ClassIterator(&table_.records, table_.records.size())};
}

}  // namespace korvane::egraph
