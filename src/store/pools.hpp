// pools.hpp - interned strings, parameter maps, descriptors and stage
// member lists, shared by the nodes of one graph.
//
// Nodes refer to their name, parameters, descriptor and members by 32-bit
// pool ids, so a node record stays small and equal contents have equal ids.
// PoolData is the plain, copyable content; Pools adds the lookup indexes
// that keep every entry unique.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "store/descriptor.hpp"
#include "store/node.hpp"
#include "store/params.hpp"

namespace korvane {

/// Marks an absent string (a descriptor without preprocessing_ref).
inline constexpr uint32_t kNoString = UINT32_MAX;

/// Marks a pool id the caller does not know, which the pools have to find
/// from the content.
inline constexpr uint32_t kUnresolved = UINT32_MAX;

/// One entry of an interned parameter map: key string id, tag, and the
/// scalar bits (for Str, the value's string id).
struct ParamSlot {
  uint32_t key;
  ParamTag tag;
  uint64_t bits;
  friend bool operator==(const ParamSlot&, const ParamSlot&) = default;
};

/// An interned parameter map: its slots, and `canon`, the id of the first
/// interned map equal to it (maps that differ only in NaN payloads are
/// equal but keep their own bits).
struct ParamMapRec {
  uint32_t first;
  uint32_t count;
  uint32_t canon;
};

/// An interned descriptor: six string ids, the last kNoString when absent.
struct DescriptorRec {
  std::array<uint32_t, 6> fields;
  friend bool operator==(const DescriptorRec&, const DescriptorRec&) = default;
};

/// One stage member: token string id and its refs in the ref pool.
struct MemberRec {
  uint32_t token;
  uint32_t ref_count;
  uint64_t first_ref;
};

/// An interned member list: a run of MemberRecs.
struct MemberListRec {
  uint64_t first;
  uint32_t count;
};

/// A stage member given by content, for interning.
struct MemberSpec {
  std::string_view token;
  std::span<const StageRef> refs;
  uint32_t token_id = kUnresolved;  ///< the string id of `token` in the pools it goes to, if known
};

/// The content of the pools. Every id is an index into one of the vectors;
/// parameter map 0 is the empty map.
struct PoolData {
  std::string bytes;                   ///< all string bytes, back to back
  std::vector<uint64_t> string_ends;   ///< end offset of each string in `bytes`
  std::vector<ParamSlot> param_slots;
  std::vector<ParamMapRec> param_maps;
  std::vector<DescriptorRec> descriptors;
  std::vector<StageRef> refs;
  std::vector<MemberRec> members;
  std::vector<MemberListRec> member_lists;

  PoolData() : param_maps{ParamMapRec{0, 0, 0}} {}

  std::string_view str(uint32_t id) const {
    const uint64_t begin = id == 0 ? 0 : string_ends[id - 1];
    return std::string_view(bytes).substr(begin, string_ends[id] - begin);
  }
  std::span<const ParamSlot> params(uint32_t map) const {
    const ParamMapRec& m = param_maps[map];
    return {param_slots.data() + m.first, m.count};
  }
  /// A slot as a borrowed parameter (key and string value resolved).
  ParamRef param(const ParamSlot& slot) const {
    ParamRef r{str(slot.key), slot.tag, slot.bits, {}};
    if (slot.tag == ParamTag::Str) r.str = str(static_cast<uint32_t>(slot.bits));
    return r;
  }
  std::span<const MemberRec> member_list(uint32_t list) const {
    const MemberListRec& l = member_lists[list];
    return {members.data() + l.first, l.count};
  }
  std::span<const StageRef> member_refs(const MemberRec& m) const {
    return {refs.data() + m.first_ref, m.ref_count};
  }
  size_t string_count() const { return string_ends.size(); }
  /// Whether nothing was interned beyond the empty map every pool starts with.
  bool initial() const {
    return string_ends.empty() && param_maps.size() == 1 && descriptors.empty() && member_lists.empty();
  }

  /// Appends what `newer` holds beyond this one's sizes. `newer` must be a
  /// later state of the pools this one is a prefix of.
  void extend_from(const PoolData& newer);
};

namespace pools_detail {

/// A member whose token is already interned; the probe for member lists.
struct MemberProbe {
  uint32_t token;
  std::span<const StageRef> refs;
};

// Hash and equality functors of the pool indexes. Each set holds ids and
// looks their content up in the pool data; the transparent overloads let a
// lookup probe with content that is not interned yet.
struct PoolRef {
  using is_transparent = void;
  const PoolData* d;
};
struct StringHash : PoolRef {
  using is_avalanching = void;
  size_t operator()(uint32_t id) const;
  size_t operator()(std::string_view s) const;
};
struct StringEq : PoolRef {
  bool operator()(uint32_t a, uint32_t b) const { return d->str(a) == d->str(b); }
  bool operator()(std::string_view s, uint32_t id) const { return d->str(id) == s; }
  bool operator()(uint32_t id, std::string_view s) const { return d->str(id) == s; }
};
template <bool kCanonicalNaN>
struct ParamsHash : PoolRef {
  size_t operator()(uint32_t id) const { return (*this)(d->params(id)); }
  size_t operator()(std::span<const ParamSlot> slots) const;
};
template <bool kCanonicalNaN>
struct ParamsEq : PoolRef {
  static bool same(std::span<const ParamSlot> a, std::span<const ParamSlot> b);
  bool operator()(uint32_t a, uint32_t b) const { return same(d->params(a), d->params(b)); }
  bool operator()(std::span<const ParamSlot> s, uint32_t id) const { return same(s, d->params(id)); }
  bool operator()(uint32_t id, std::span<const ParamSlot> s) const { return same(s, d->params(id)); }
};
struct DescriptorHash : PoolRef {
  size_t operator()(uint32_t id) const { return (*this)(d->descriptors[id]); }
  size_t operator()(const DescriptorRec& r) const;
};
struct DescriptorEq : PoolRef {
  bool operator()(uint32_t a, uint32_t b) const { return d->descriptors[a] == d->descriptors[b]; }
  bool operator()(const DescriptorRec& r, uint32_t id) const { return d->descriptors[id] == r; }
  bool operator()(uint32_t id, const DescriptorRec& r) const { return d->descriptors[id] == r; }
};
struct MembersHash : PoolRef {
  size_t operator()(uint32_t id) const;
  size_t operator()(std::span<const MemberProbe> probe) const;
};
struct MembersEq : PoolRef {
  bool operator()(uint32_t a, uint32_t b) const;
  bool operator()(std::span<const MemberProbe> p, uint32_t id) const;
  bool operator()(uint32_t id, std::span<const MemberProbe> p) const { return (*this)(p, id); }
};

template <class H, class E>
using IdSet = boost::unordered_flat_set<uint32_t, H, E>;

}  // namespace pools_detail

/// PoolData plus the indexes that intern into it. Not movable: the indexes
/// refer to the data in place, so Pools live behind a unique_ptr.
class Pools {
 public:
  Pools();
  /// Adopts pool content whose entries are already unique, and indexes it.
  explicit Pools(PoolData data);
  Pools(const Pools&) = delete;
  Pools& operator=(const Pools&) = delete;

  const PoolData& data() const { return data_; }

  uint32_t intern_string(std::string_view text);
  /// Interns a map given as parameters sorted by key; returns its id.
  uint32_t intern_params(std::span<const ParamRef> sorted);
  /// Interns a map whose keys and strings are already ids of these pools.
  uint32_t intern_param_slots(std::span<const ParamSlot> slots);
  uint32_t intern_descriptor(const DescriptorRef& descriptor);
  uint32_t intern_members(std::span<const MemberSpec> members);
  /// Makes room for `lists` more member lists without re-indexing: growing
  /// the index rehashes every list it holds, reading each one back.
  void reserve_member_lists(size_t lists);

  /// The canonical id of map `id`: equal maps have equal canonical ids.
  uint32_t canonical_params(uint32_t id) const { return data_.param_maps[id].canon; }

 private:
  template <class H, class E>
  pools_detail::IdSet<H, E> make_set() const {
    return pools_detail::IdSet<H, E>(0, H{{&data_}}, E{{&data_}});
  }
  void index_all();
  void set_canonical(uint32_t id);

  PoolData data_;
  pools_detail::IdSet<pools_detail::StringHash, pools_detail::StringEq> strings_;
  pools_detail::IdSet<pools_detail::ParamsHash<false>, pools_detail::ParamsEq<false>> params_;
  // Only maps that hold a NaN: NaN payloads make maps equal but not identical.
  pools_detail::IdSet<pools_detail::ParamsHash<true>, pools_detail::ParamsEq<true>> nan_params_;
  pools_detail::IdSet<pools_detail::DescriptorHash, pools_detail::DescriptorEq> descriptors_;
  pools_detail::IdSet<pools_detail::MembersHash, pools_detail::MembersEq> member_lists_;
};

}  // namespace korvane
