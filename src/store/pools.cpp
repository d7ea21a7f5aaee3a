// pools.cpp - interning of strings, parameter maps, descriptors and member lists.
#include "store/pools.hpp"

#include <stdexcept>

#include <boost/container/small_vector.hpp>

#include "common/hash.hpp"

namespace korvane {
namespace pools_detail {

size_t StringHash::operator()(uint32_t id) const { return hash_bytes(d->str(id)); }
size_t StringHash::operator()(std::string_view s) const { return hash_bytes(s); }

template <bool kCanonicalNaN>
size_t ParamsHash<kCanonicalNaN>::operator()(std::span<const ParamSlot> slots) const {
  WordHasher h;
  h.add(slots.size());
  for (const ParamSlot& s : slots) {
    h.add(s.key);
    h.add(static_cast<uint64_t>(s.tag));
    h.add(kCanonicalNaN && s.tag == ParamTag::Float ? canonical_float_bits(s.bits) : s.bits);
  }
  return h.value();
}

template <bool kCanonicalNaN>
bool ParamsEq<kCanonicalNaN>::same(std::span<const ParamSlot> a, std::span<const ParamSlot> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].key != b[i].key || a[i].tag != b[i].tag) return false;
    if (kCanonicalNaN && a[i].tag == ParamTag::Float) {
      if (canonical_float_bits(a[i].bits) != canonical_float_bits(b[i].bits)) return false;
    } else if (a[i].bits != b[i].bits) {
      return false;
    }
  }
  return true;
}

template struct ParamsHash<false>;
template struct ParamsHash<true>;
template struct ParamsEq<false>;
template struct ParamsEq<true>;

size_t DescriptorHash::operator()(const DescriptorRec& r) const {
  WordHasher h;
  for (uint32_t f : r.fields) h.add(f);
  return h.value();
}

namespace {

uint64_t ref_word(const StageRef& r) { return (uint64_t{static_cast<uint8_t>(r.kind)} << 32) | r.index; }

void hash_member(WordHasher& h, uint32_t token, std::span<const StageRef> refs) {
  h.add(token);
  h.add(refs.size());
  for (const StageRef& r : refs) h.add(ref_word(r));
}

bool same_refs(std::span<const StageRef> a, std::span<const StageRef> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

size_t MembersHash::operator()(uint32_t id) const {
  WordHasher h;
  const auto list = d->member_list(id);
  h.add(list.size());
  for (const MemberRec& m : list) hash_member(h, m.token, d->member_refs(m));
  return h.value();
}

size_t MembersHash::operator()(std::span<const MemberProbe> probe) const {
  WordHasher h;
  h.add(probe.size());
  for (const MemberProbe& m : probe) hash_member(h, m.token, m.refs);
  return h.value();
}

bool MembersEq::operator()(uint32_t a, uint32_t b) const {
  const auto la = d->member_list(a);
  const auto lb = d->member_list(b);
  if (la.size() != lb.size()) return false;
  for (size_t i = 0; i < la.size(); ++i) {
    if (la[i].token != lb[i].token || !same_refs(d->member_refs(la[i]), d->member_refs(lb[i]))) return false;
  }
  return true;
}

bool MembersEq::operator()(std::span<const MemberProbe> p, uint32_t id) const {
  const auto list = d->member_list(id);
  if (list.size() != p.size()) return false;
  for (size_t i = 0; i < p.size(); ++i) {
    if (list[i].token != p[i].token || !same_refs(d->member_refs(list[i]), p[i].refs)) return false;
  }
  return true;
}

}  // namespace pools_detail

using namespace pools_detail;

namespace {

// Ids are 32-bit, and kNoString is reserved.
uint32_t next_id(size_t count) {
  if (count >= kNoString) throw std::length_error("graph too large: more than 2^32-1 pool entries");
  return static_cast<uint32_t>(count);
}

bool holds_nan(std::span<const ParamSlot> slots) {
  for (const ParamSlot& s : slots) {
    if (s.tag == ParamTag::Float && canonical_float_bits(s.bits) == kCanonicalNaN) return true;
  }
  return false;
}

}  // namespace

void PoolData::extend_from(const PoolData& newer) {
  bytes.append(newer.bytes, bytes.size());
  string_ends.insert(string_ends.end(), newer.string_ends.begin() + string_ends.size(), newer.string_ends.end());
  param_slots.insert(param_slots.end(), newer.param_slots.begin() + param_slots.size(), newer.param_slots.end());
  param_maps.insert(param_maps.end(), newer.param_maps.begin() + param_maps.size(), newer.param_maps.end());
  descriptors.insert(descriptors.end(), newer.descriptors.begin() + descriptors.size(), newer.descriptors.end());
  refs.insert(refs.end(), newer.refs.begin() + refs.size(), newer.refs.end());
  members.insert(members.end(), newer.members.begin() + members.size(), newer.members.end());
  member_lists.insert(member_lists.end(), newer.member_lists.begin() + member_lists.size(),
                      newer.member_lists.end());
}

Pools::Pools()
    : strings_(make_set<StringHash, StringEq>()),
      params_(make_set<ParamsHash<false>, ParamsEq<false>>()),
      nan_params_(make_set<ParamsHash<true>, ParamsEq<true>>()),
      descriptors_(make_set<DescriptorHash, DescriptorEq>()),
      member_lists_(make_set<MembersHash, MembersEq>()) {
  params_.insert(0);
}

Pools::Pools(PoolData data) : Pools() {
  data_ = std::move(data);
  index_all();
}

void Pools::index_all() {
  params_.clear();
  strings_.reserve(data_.string_count());
  for (uint32_t i = 0; i < data_.string_count(); ++i) strings_.insert(i);
  params_.reserve(data_.param_maps.size());
  for (uint32_t i = 0; i < data_.param_maps.size(); ++i) {
    params_.insert(i);
    if (data_.param_maps[i].canon == i && holds_nan(data_.params(i))) nan_params_.insert(i);
  }
  for (uint32_t i = 0; i < data_.descriptors.size(); ++i) descriptors_.insert(i);
  for (uint32_t i = 0; i < data_.member_lists.size(); ++i) member_lists_.insert(i);
}

uint32_t Pools::intern_string(std::string_view text) {
  if (auto it = strings_.find(text); it != strings_.end()) return *it;
  const uint32_t id = next_id(data_.string_count());
  data_.bytes.append(text);
  data_.string_ends.push_back(data_.bytes.size());
  strings_.insert(id);
  return id;
}

uint32_t Pools::intern_params(std::span<const ParamRef> sorted) {
  if (sorted.empty()) return 0;
  boost::container::small_vector<ParamSlot, 8> slots;
  for (const ParamRef& p : sorted) {
    uint64_t bits = p.bits;
    if (p.tag == ParamTag::Str) bits = intern_string(p.str);
    slots.push_back(ParamSlot{intern_string(p.key), p.tag, bits});
  }
  return intern_param_slots(slots);
}

uint32_t Pools::intern_param_slots(std::span<const ParamSlot> slots) {
  if (slots.empty()) return 0;
  if (auto it = params_.find(slots); it != params_.end()) return *it;
  const uint32_t id = next_id(data_.param_maps.size());
  const uint32_t first = next_id(data_.param_slots.size());
  data_.param_slots.insert(data_.param_slots.end(), slots.begin(), slots.end());
  data_.param_maps.push_back(ParamMapRec{first, static_cast<uint32_t>(slots.size()), id});
  params_.insert(id);
  set_canonical(id);
  return id;
}

// A new map is its own canonical id unless it holds a NaN and an equal map
// (same values, NaN payloads aside) was interned before.
void Pools::set_canonical(uint32_t id) {
  if (!holds_nan(data_.params(id))) return;
  if (auto it = nan_params_.find(id); it != nan_params_.end()) {
    data_.param_maps[id].canon = *it;
    return;
  }
  nan_params_.insert(id);
}

uint32_t Pools::intern_descriptor(const DescriptorRef& d) {
  DescriptorRec rec{{intern_string(d.kind), intern_string(d.content_hash), intern_string(d.framework),
                     intern_string(d.version), intern_string(d.io_schema),
                     d.preprocessing_ref ? intern_string(*d.preprocessing_ref) : kNoString}};
  if (auto it = descriptors_.find(rec); it != descriptors_.end()) return *it;
  const uint32_t id = next_id(data_.descriptors.size());
  data_.descriptors.push_back(rec);
  descriptors_.insert(id);
  return id;
}

void Pools::reserve_member_lists(size_t lists) { member_lists_.reserve(data_.member_lists.size() + lists); }

uint32_t Pools::intern_members(std::span<const MemberSpec> members) {
  boost::container::small_vector<MemberProbe, 8> probe;
  probe.reserve(members.size());
  for (const MemberSpec& m : members) {
    probe.push_back(MemberProbe{m.token_id != kUnresolved ? m.token_id : intern_string(m.token), m.refs});
  }
  if (auto it = member_lists_.find(std::span<const MemberProbe>(probe)); it != member_lists_.end()) return *it;
  const uint32_t id = next_id(data_.member_lists.size());
  const uint64_t first = data_.members.size();
  for (const MemberProbe& m : probe) {
    if (m.refs.size() >= kNoString) throw std::length_error("graph too large: stage member with 2^32 refs");
    data_.members.push_back(MemberRec{m.token, static_cast<uint32_t>(m.refs.size()), data_.refs.size()});
    data_.refs.insert(data_.refs.end(), m.refs.begin(), m.refs.end());
  }
  if (probe.size() >= kNoString) throw std::length_error("graph too large: stage with 2^32 members");
  data_.member_lists.push_back(MemberListRec{first, static_cast<uint32_t>(probe.size())});
  member_lists_.insert(id);
  return id;
}

}  // namespace korvane
