// egraph.hpp - the e-graph: e-classes of equal terms over a hash-cons table.
//
// Nodes are added with canonical children and shared through the memo;
// classes merge with `union_`, which only queues the affected parents, and
// `rebuild` restores congruence and normalises the classes in one batch.
// Searching (pattern.hpp) requires the clean state that `rebuild` leaves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "egraph/chunked_vector.hpp"
#include "egraph/memo.hpp"
#include "egraph/node.hpp"
#include "egraph/pooled_vec.hpp"
#include "common/lookahead.hpp"
#include "egraph/symbol.hpp"
#include "egraph/union_find.hpp"

namespace korvane::egraph {

/// One e-class, owned by the e-graph's class table; the blocks of its
/// lists come from the e-graph's pool.
struct ClassRecord {
  /// The class's root id; `kNoClass` in a table slot whose class was merged
  /// away.
  ClassId id;
  /// The class's nodes. Right after `rebuild`: canonical, sorted ascending,
  /// free of duplicates. Between rebuilds: unsorted and possibly stale.
  PooledVec<SymbolLang, 1> nodes;
  /// One entry per use of this class as a child: the id a parent node was
  /// added under. The parent node as it was registered is
  /// `EGraph::added_node(entry)`. Never shrinks, so it may hold stale and
  /// repeated entries.
  PooledVec<ClassId, 2> parents;
};

/// Marks a class-table slot without a class.
inline constexpr ClassId kNoClass = UINT32_MAX;

/// An equivalence store of terms. Owns the union-find, the memo, the class
/// table (a vector indexed by id, so class iteration runs in id order), the
/// repair queue and the node-kind index, kept per operator.
///
/// Guarantees right after `rebuild`: every canonical memo key maps to an id
/// of the class holding that node; every class's nodes are canonical, sorted
/// and duplicate-free, and no two classes hold equal nodes; each operator's
/// list of classes holds exactly the live classes with a node of that
/// operator, in id order.
///
/// Every operation taking a ClassId throws InternalError for an id that was
/// never issued. Used by one thread at a time; movable, not copyable.
class EGraph {
 public:
  EGraph();
  EGraph(EGraph&&) noexcept;
  EGraph& operator=(EGraph&&) noexcept;
  EGraph(const EGraph&) = delete;
  EGraph& operator=(const EGraph&) = delete;
  ~EGraph();

  /// Adds `node` (children may be any issued ids) and returns the canonical
  /// id of its class. A node already present returns its class and changes
  /// nothing; a new node gets a new class and leaves the e-graph dirty.
  ClassId add(SymbolLang node);

  /// The canonical id of the class holding `node`, if any. Read-only.
  std::optional<ClassId> lookup(const SymbolLang& node) const;

  /// The canonical id of `id`'s class. Read-only.
  ClassId find(ClassId id) const { return unionfind_.find(id); }

  /// Like `find`, shortening the union-find path on the way.
  ClassId find_halving(ClassId id) { return unionfind_.find_halving(id); }

  /// Merges the classes of `a` and `b`; true when they were different. The
  /// root with the longer parents list wins (the first argument's on a tie).
  /// Always leaves the e-graph dirty.
  bool union_(ClassId a, ClassId b);

  /// Restores congruence and normalises every class; returns the number of
  /// unions it performed itself. Leaves the e-graph clean.
  std::size_t rebuild();

  /// The record of `id`'s class. Throws InternalError "Invalid id {}" if
  /// the root has no record.
  const ClassRecord& get_class(ClassId id) const;
  /// Like `get_class`, shortening the union-find path on the way.
  ClassRecord& get_class_mut(ClassId id);
  /// The record of the class whose root is `root`, read without the
  /// union-find. Throws InternalError "Invalid id {}" if `root` is not the
  /// root of a class.
  const ClassRecord& root_class(ClassId root) const;

  /// Number of memo entries, stale ones included; never decreases.
  std::size_t memo_size() const noexcept { return memo_.size(); }
  /// Number of classes.
  std::size_t class_count() const noexcept { return class_count_; }
  /// Number of ids issued (every class ever created).
  std::size_t id_count() const noexcept { return unionfind_.size(); }
  /// True between a `rebuild` and the next change.
  bool is_clean() const noexcept { return clean_; }

  /// The node that was added under `id`, with the children it had then.
  /// Parent entries and repair entries refer to nodes this way.
  const SymbolLang& added_node(ClassId id) const;

  /// Whether the node-kind index (the classes as of the last `rebuild`) is
  /// empty: true before the first rebuild and when there was no class.
  /// Searches read the index narrowed to one operator, below.
  bool kind_index_empty() const noexcept { return indexed_ids_ == 0; }

  /// The classes that held a node with operator `op` at the last `rebuild`,
  /// in id order: the node-kind index narrowed to one operator.
  std::span<const ClassId> classes_with_op(Symbol op) const noexcept;

  /// Calls `visit(key, value)` for every memo entry, in no fixed order.
  template <class Visit>
  void for_each_memo_entry(Visit&& visit) const {
    memo_.for_each(visit);
  }

  /// Hints that `id`'s class is about to be read. `id` must be a root.
  void prefetch_class(ClassId id) const noexcept {
    if (id >= table_.records.size()) return;
    // A record may straddle two cache lines; its id and its lists are read.
    const auto* record = reinterpret_cast<const char*>(&table_.records[id]);
    prefetch_line(record);
    prefetch_line(record + sizeof(ClassRecord) - 1);
  }

  /// Hints that the nodes of `id`'s class are about to be read. `id` must
  /// be a root whose record was hinted before.
  void prefetch_nodes(ClassId id) const noexcept {
    if (id >= table_.records.size()) return;
    prefetch_line(table_.records[id].nodes.data());
  }

  /// Hints that a node `op(children)` is about to be added: fetches its
  /// memo slot and its children's classes. Reads only; ids never issued are
  /// ignored.
  void prefetch_add(Symbol op, std::span<const ClassId> children) const noexcept;

  /// Hints that `op(children)` is about to be added, where the children are
  /// roots, or ids about to be issued (a bulk load guesses those): fetches
  /// its memo slot and the records of the children that exist.
  void prefetch_fresh(Symbol op, std::span<const ClassId> children) const noexcept {
    for (ClassId child : children) prefetch_class(child);
    memo_.prefetch(hash_node(op, children));
  }

  /// Hints that `id`'s entry in the union-find is about to be read: the
  /// first step of `prefetch_add` and `prefetch_union`, which read it.
  void prefetch_id(ClassId id) const noexcept { unionfind_.prefetch(id); }

  /// Hints that `union_(a, b)` is about to be called.
  void prefetch_union(ClassId a, ClassId b) const noexcept {
    prefetch_class(unionfind_.find_or(a, a));
    prefetch_class(unionfind_.find_or(b, b));
  }

  /// Makes room for `nodes` more added nodes.
  void reserve(std::size_t nodes);

  /// Iterates the live class records in id order.
  class ClassIterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = ClassRecord;
    using difference_type = std::ptrdiff_t;
    using pointer = const ClassRecord*;
    using reference = const ClassRecord&;

    ClassIterator() = default;
    ClassIterator(const ChunkedVector<ClassRecord>* table, std::size_t at) : table_(table), at_(at) { skip(); }
    reference operator*() const { return (*table_)[at_]; }
    pointer operator->() const { return &(*table_)[at_]; }
    ClassIterator& operator++() {
      ++at_;
      skip();
      return *this;
    }
    ClassIterator operator++(int) {
      ClassIterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const ClassIterator& a, const ClassIterator& b) { return a.at_ == b.at_; }

   private:
    void skip() {
      while (at_ < table_->size() && (*table_)[at_].id == kNoClass) ++at_;
    }
    const ChunkedVector<ClassRecord>* table_ = nullptr;
    std::size_t at_ = 0;
  };

  /// The live classes, as a range of ClassRecord in id order.
  struct ClassRange {
    ClassIterator first;
    ClassIterator last;
    ClassIterator begin() const { return first; }
    ClassIterator end() const { return last; }
  };
  ClassRange classes() const noexcept;

 private:
  ClassRecord& live_record(ClassId root);
  void normalize_touched();
  void normalize(ClassRecord& record);
  void index_ops(const ClassRecord& record);

  DisjointSets unionfind_;
  Memo memo_;
  /// The class records and the pool their lists draw from. Records are
  /// destroyed before the pool, also when a table is moved over another.
  struct ClassTable {
    BlockPool blocks;
    /// Indexed by id; slots of merged-away classes hold id == kNoClass.
    /// Chunked, so records never move when the table grows.
    ChunkedVector<ClassRecord> records;
    /// Whether a node with more than Children::kInline children was added
    /// (its copies in the class lists own heap blocks).
    bool long_nodes = false;

    ClassTable() = default;
    ClassTable(ClassTable&&) noexcept = default;
    ClassTable& operator=(ClassTable&& other) noexcept {
      forget_plain_nodes();
      records = std::move(other.records);
      blocks = std::move(other.blocks);
      long_nodes = other.long_nodes;
      return *this;
    }
    ~ClassTable() { forget_plain_nodes(); }

    /// Nodes of at most Children::kInline children own nothing, so while no
    /// longer one was added, destroying the records need not visit their
    /// node lists (a scattered read per class of more than one node).
    /// Without it, reduce of 1M traced nodes took 1.04x as long (paired
    /// median of 8 interleaved rounds; finalize 0.97x, within the noise).
    void forget_plain_nodes() noexcept {
      if (long_nodes) return;
      for (std::size_t i = 0; i < records.size(); ++i) records[i].nodes.forget_elements();
    }
  };
  ClassTable table_;
  std::size_t class_count_ = 0;
  /// Ids whose added node must be re-registered; drained last-in first-out.
  std::vector<ClassId> repair_queue_;
  /// Merges made so far.
  std::uint64_t unions_ = 0;
  /// Per id of a node with more than Children::kInline children, the value
  /// of `unions_` when a rebuild last repaired it (kNotRepaired before).
  /// Such a node is queued once per child that loses a merge; without a
  /// merge since its last repair, a repeat would redo its whole child list
  /// for nothing, which made a node of n inputs cost n^2.
  std::vector<std::uint64_t> wide_repaired_at_;
  static constexpr std::uint64_t kNotRepaired = UINT64_MAX;

  /// The classes holding a node with one operator, in id order; during a
  /// rebuild, ids past `sorted` are being appended.
  struct OpClasses {
    std::vector<ClassId> ids;
    std::size_t sorted = 0;
  };
  /// Per operator, the classes holding a node with it. Searches start from
  /// these lists instead of every class.
  boost::unordered_flat_map<Symbol, OpClasses, SymbolHash> op_index_;
  /// Operators whose lists grew in the current rebuild.
  std::vector<Symbol> grown_ops_;

  /// Ids whose classes need normalising at the next rebuild besides the
  /// ones created since the last: union winners and queued parents.
  std::vector<ClassId> touched_;
  /// Scratch space of `normalize_touched`: one bit per id, and a merged
  /// operator list.
  std::vector<std::uint64_t> touched_bits_;
  std::vector<ClassId> merged_ids_;
  /// Ids issued before the last rebuild.
  std::size_t indexed_ids_ = 0;
  /// True when a union merged two classes since the last rebuild.
  bool merged_since_rebuild_ = false;
  bool clean_ = false;
};

}  // namespace korvane::egraph
