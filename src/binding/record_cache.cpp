// record_cache.cpp - the parameter-map half of the record cache.
#include "binding/record_cache.hpp"

#include "common/hash.hpp"

namespace korvane::py {

namespace {

// The scalar a parameter is keyed on: its bits, or for a str value the
// object's identity.
uint64_t value_word(const ParamItem& item) {
  return item.tag == ParamTag::Str ? reinterpret_cast<uintptr_t>(item.value) : item.bits;
}

}  // namespace

uint64_t RecordCache::signature(const ParamItem* items, size_t n) {
  WordHasher h;
  h.add(n);
  for (size_t i = 0; i < n; ++i) {
    h.add(reinterpret_cast<uintptr_t>(items[i].key));
    h.add((uint64_t{static_cast<uint8_t>(items[i].tag)} << 56) ^ value_word(items[i]));
  }
  return h.value();
}

bool RecordCache::matches(const ParamEntry& e, const ParamItem* items, size_t n) {
  if (e.n != n || e.id == kMiss) return false;
  for (size_t i = 0; i < n; ++i) {
    if (e.keys[i].get() != items[i].key || e.tags[i] != items[i].tag) return false;
    if (items[i].tag == ParamTag::Str ? e.strings[i].get() != items[i].value : e.bits[i] != items[i].bits) {
      return false;
    }
  }
  return true;
}

uint32_t RecordCache::params(const ParamItem* items, size_t n) const {
  if (n > kMaxParams) return kMiss;
  const uint64_t h = signature(items, n);
  const ParamEntry& e = params_[slot(h, kParamSlots)];
  return e.hash == h && matches(e, items, n) ? e.id : kMiss;
}

void RecordCache::remember_params(const ParamItem* items, size_t n, uint32_t id) {
  if (n > kMaxParams) return;
  for (size_t i = 0; i < n; ++i) {
    if (!PyUnicode_CheckExact(items[i].key)) return;
    if (items[i].tag == ParamTag::Str && !PyUnicode_CheckExact(items[i].value)) return;
  }
  const uint64_t h = signature(items, n);
  ParamEntry& e = params_[slot(h, kParamSlots)];
  // The objects of the entry being replaced are released once the new one
  // is whole.
  const std::array<Ref, kMaxParams> replaced_keys = std::move(e.keys);
  const std::array<Ref, kMaxParams> replaced_strings = std::move(e.strings);
  e.hash = h;
  e.n = n;
  for (size_t i = 0; i < kMaxParams; ++i) {
    const bool used = i < n;
    e.keys[i] = used ? Ref::borrow(items[i].key) : Ref();
    e.strings[i] = used && items[i].tag == ParamTag::Str ? Ref::borrow(items[i].value) : Ref();
    e.tags[i] = used ? items[i].tag : ParamTag::Int;
    e.bits[i] = used ? items[i].bits : 0;
  }
  e.id = id;
}

}  // namespace korvane::py
