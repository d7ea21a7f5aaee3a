// record_cache.hpp - pool ids of recently recorded names and parameter dicts.
//
// A tracing front end passes the same str objects again and again (operator
// names, parameter keys are literals in its code). The cache remembers, per
// store and keyed by the identity of those objects, the pool ids their
// content was interned to, so a repeated name or parameter dict skips its
// UTF-8 encoding, sorting and interning. It holds a reference to every
// object it keys on, so an address can never be reused by another object
// while it is cached. Only exact str objects are kept: an instance of a str
// subclass may refer to the store itself (a cycle the collector cannot see,
// as the store is no GC type) or run code when it is released. Used only
// with the GIL held.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "binding/pyref.hpp"
#include "store/params.hpp"
#include "store/pools.hpp"

namespace korvane::py {

/// One parameter as the binding sees it before encoding: key and value
/// objects, the value's variant and scalar bits.
struct ParamItem {
  PyObject* key;
  PyObject* value;
  ParamTag tag;
  uint64_t bits;
};

/// Direct-mapped caches of name and parameter-map ids for one store.
class RecordCache {
 public:
  static constexpr uint32_t kMiss = kUnresolved;  ///< a miss passes to the store as "not known"
  static constexpr size_t kMaxParams = 4;  ///< larger dicts are not cached

  RecordCache() = default;
  RecordCache(const RecordCache&) = delete;
  RecordCache& operator=(const RecordCache&) = delete;

  /// The string id of `name`, or kMiss.
  uint32_t name(PyObject* name) const {
    const NameEntry& e = names_[slot(reinterpret_cast<uintptr_t>(name), kNameSlots)];
    return e.object.get() == name ? e.id : kMiss;
  }
  void remember_name(PyObject* name, uint32_t id) {
    if (!PyUnicode_CheckExact(name)) return;
    NameEntry& e = names_[slot(reinterpret_cast<uintptr_t>(name), kNameSlots)];
    const Ref replaced = std::exchange(e.object, Ref::borrow(name));  // released once the entry is whole
    e.id = id;
  }

  /// The map id of parameters given in dict order, or kMiss.
  uint32_t params(const ParamItem* items, size_t n) const;
  void remember_params(const ParamItem* items, size_t n, uint32_t id);

 private:
  static constexpr size_t kNameSlots = 256;
  static constexpr size_t kParamSlots = 128;

  struct NameEntry {
    Ref object;
    uint32_t id = kMiss;
  };
  struct ParamEntry {
    uint64_t hash = 0;
    size_t n = 0;
    std::array<Ref, kMaxParams> keys;
    std::array<Ref, kMaxParams> strings;  ///< the value objects of Str entries
    std::array<ParamTag, kMaxParams> tags{};
    std::array<uint64_t, kMaxParams> bits{};
    uint32_t id = kMiss;
  };

  static size_t slot(uint64_t h, size_t slots) { return (h * 0x9E3779B97F4A7C15ULL) >> 32 & (slots - 1); }
  static uint64_t signature(const ParamItem* items, size_t n);
  static bool matches(const ParamEntry& e, const ParamItem* items, size_t n);

  std::array<NameEntry, kNameSlots> names_;
  std::array<ParamEntry, kParamSlots> params_;
};

}  // namespace korvane::py
