// blob_writer.cpp - writing "KIR1" blobs: sizing a graph's blob, then
// filling a buffer of exactly that size.
#include "store/blob.hpp"

#include <bit>
#include <cstring>

#include "common/internal_error.hpp"

namespace korvane {

namespace {

/// A count or length the writer cannot store; caught by BlobPlan::make.
struct TooLarge {
  std::string message;
};

// The write pass stores through a raw cursor kept in a register (each
// helper returns the advanced pointer); the plan guarantees the room. Going
// through std::string appends, and through a cursor in memory that every
// byte store might alias, made writing three times slower.
template <class T>
char* put(char* p, T v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, sizeof v);
  } else {
    for (size_t i = 0; i < sizeof v; ++i) p[i] = static_cast<char>(v >> (8 * i));
  }
  return p + sizeof v;
}

char* put_bytes(char* p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

}  // namespace

// The layout of a blob is written down once, in `walk`, `walk_node` and
// `walk_params`: each visits the fields in the order they are stored and
// hands them to a sink. The measuring sink adds up their sizes and checks
// every count and length against the limit; the writing sink stores them.

/// Sizes fields and checks counts and lengths, in the order they are written.
struct BlobPlan::Measure {
  BlobPlan* plan;
  uint64_t size = 0;

  void u8(uint8_t) { size += 1; }
  void u32(uint32_t) { size += 4; }
  void u64(uint64_t) { size += 8; }
  void bytes(std::string_view s) { size += s.size(); }
  void count(uint64_t n, const char* what) {
    plan->length(n, what);
    size += 4;
  }
  void str(std::string_view s, const char* what) { size += 4 + plan->length(s.size(), what); }
  template <class Id>
  void ids(std::span<const Id> ids, const char* what) {
    size += 4 + 8 * plan->length(ids.size(), what);
  }
  void params(uint32_t map) { size += plan->map_size(map); }
};

/// Stores fields at a cursor that the plan made room for.
struct BlobPlan::Write {
  const BlobPlan* plan;
  char* p;

  void u8(uint8_t v) { p = put(p, v); }
  void u32(uint32_t v) { p = put(p, v); }
  void u64(uint64_t v) { p = put(p, v); }
  void bytes(std::string_view s) { p = put_bytes(p, s); }
  void count(uint64_t n, const char*) { p = put(p, static_cast<uint32_t>(n)); }
  void str(std::string_view s, const char*) { p = put_bytes(put(p, static_cast<uint32_t>(s.size())), s); }
  template <class Id>
  void ids(std::span<const Id> ids, const char*) {
    p = put(p, static_cast<uint32_t>(ids.size()));
    for (Id id : ids) p = put(p, uint64_t{id});
  }
  /// A map's section, copied from the encoding made while measuring.
  void params(uint32_t map) {
    p = put_bytes(p, std::string_view(plan->maps_).substr(plan->map_at_[map] - 1, plan->map_len_[map]));
  }
};

// The sinks go by value and come back, so that the writing sink's cursor
// stays in a register (see `put`).
template <class Sink>
Sink BlobPlan::walk(Sink sink) const {
  sink.bytes(kBlobMagic);
  sink.count(nodes_->size(), "node count");
  for (size_t i = 0; i < nodes_->size(); ++i) sink = walk_node(sink, i);
  sink.ids(outputs_, "output count");
  return sink;
}

template <class Sink>
Sink BlobPlan::walk_node(Sink sink, size_t i) const {
  const NodeRec& r = nodes_->recs[i];
  sink.u8(static_cast<uint8_t>(r.kind));
  if (has_name(r.kind)) sink.str(pools_->str(r.payload), "name length");
  if (r.kind == NodeKind::External) {
    const DescriptorRec& d = pools_->descriptors[r.payload];
    for (size_t f = 0; f < 5; ++f) sink.str(pools_->str(d.fields[f]), "descriptor field length");
    sink.u8(d.fields[5] == kNoString ? 0 : 1);  // the preprocessing_ref flag
    if (d.fields[5] != kNoString) sink.str(pools_->str(d.fields[5]), "descriptor field length");
  }
  if (r.kind == NodeKind::Stage) {
    sink.ids(nodes_->inputs_of(i), "input count");
    const auto members = pools_->member_list(r.payload);
    sink.count(members.size(), "stage member count");
    for (const MemberRec& m : members) {
      sink.str(pools_->str(m.token), "stage member token length");
      sink.count(m.ref_count, "stage ref count");
      for (const StageRef& ref : pools_->member_refs(m)) {
        sink.u8(static_cast<uint8_t>(ref.kind));
        sink.u32(ref.index);
      }
    }
    return sink;
  }
  sink.params(r.params);
  if (r.kind != NodeKind::Source) sink.ids(nodes_->inputs_of(i), "input count");
  return sink;
}

template <class Sink>
Sink BlobPlan::walk_params(Sink sink, uint32_t map) const {
  const auto slots = pools_->params(map);
  sink.count(slots.size(), "parameter count");
  for (const ParamSlot& s : slots) {
    sink.str(pools_->str(s.key), "parameter key length");
    sink.u8(static_cast<uint8_t>(s.tag));
    switch (s.tag) {
      case ParamTag::Int:
      case ParamTag::Float:
        sink.u64(s.bits);
        break;
      case ParamTag::Bool:
        sink.u8(s.bits != 0 ? 1 : 0);
        break;
      case ParamTag::Str:
        sink.str(pools_->str(static_cast<uint32_t>(s.bits)), "string parameter length");
        break;
    }
  }
  return sink;
}

Result<BlobPlan, BlobTooLarge> BlobPlan::make(const PoolData& pools, const NodeTable& nodes,
                                              std::span<const NodeId> outputs, uint64_t max_count) {
  BlobPlan plan(pools, nodes, outputs);
  plan.max_count_ = max_count;
  plan.map_at_.assign(pools.param_maps.size(), 0);
  plan.map_len_.assign(pools.param_maps.size(), 0);
  try {
    plan.size_ = plan.walk(Measure{&plan}).size;
  } catch (TooLarge& e) {
    return BlobTooLarge{std::move(e.message)};
  }
  return plan;
}

// `n` when it fits a 32-bit field; `what` names it otherwise.
uint64_t BlobPlan::length(uint64_t n, const char* what) const {
  if (n > max_count_) [[unlikely]] {
    throw TooLarge{std::string("cannot serialize: ") + what + " " + std::to_string(n) +
                   " does not fit in a 32-bit blob field"};
  }
  return n;
}

// Encodes map `map` into maps_ the first time it is seen; its length.
uint64_t BlobPlan::map_size(uint32_t map) {
  if (map_at_[map] != 0) return map_len_[map];
  const size_t at = maps_.size();
  const uint64_t size = walk_params(Measure{this}, map).size;
  maps_.resize(at + size);
  walk_params(Write{this, maps_.data() + at}, map);
  map_at_[map] = at + 1;
  map_len_[map] = size;
  return size;
}

void BlobPlan::write(char* out) const {
  const char* end = walk(Write{this, out}).p;
  check(end == out + size_, "blob shorter than planned");
}

Result<std::string, BlobTooLarge> write_blob(const PoolData& pools, const NodeTable& nodes,
                                             std::span<const NodeId> outputs, uint64_t max_count) {
  auto plan = BlobPlan::make(pools, nodes, outputs, max_count);
  if (!plan) return plan.error();
  std::string out(plan.value().size(), '\0');
  plan.value().write(out.data());
  return out;
}

}  // namespace korvane
