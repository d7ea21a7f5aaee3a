// pickle.cpp - pickling and copying of the module's objects.
//
//   GraphStore.__reduce__() -> (GraphStore, (), (1, blob, node_map))
//   GraphStore.__setstate__(state)        fills a new, empty GraphStore
//   PayloadDescriptor.__reduce__() -> (copyreg.__newobj_ex__, (PayloadDescriptor, (), fields))
//   IncrementalReducer.__reduce__()       raises TypeError
//
// copy.copy and copy.deepcopy go through the same methods. A store's state
// holds its own format version, the store's "KIR1" blob with its output
// marks, and the node map in 8 bytes per entry: the node and the member
// index as little-endian u32, each 0xFFFFFFFF when absent (a dead node, or
// a node that is no stage member). Blob and node map are encoded under one
// hold of the store's lock, so a store that another thread records into
// pickles as it was at one moment. __setstate__ reads a state into a new
// store, checks it whole, and only then moves its content into the empty one.
#include "binding/pickle.hpp"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/graph_store.hpp"
#include "binding/payload_descriptor.hpp"
#include "store/blob.hpp"

namespace korvane::py {

namespace {

/// The version of the state format written by __reduce__.
constexpr long kStateVersion = 1;

/// Node map encoding: two u32 per entry; all ones marks an absent part.
constexpr size_t kEntrySize = 8;
constexpr uint32_t kAbsent = UINT32_MAX;

void put_u32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

uint32_t get_u32(const char* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t{static_cast<uint8_t>(p[i])} << (8 * i);
  return v;
}

/// Writes the node map to `out` (kEntrySize bytes per entry). Returns the
/// position of the first entry whose node or member index does not fit
/// below kAbsent, or map.size() when all did.
size_t encode_node_map(const std::vector<NodeMapEntry>& map, char* out) {
  for (size_t i = 0; i < map.size(); ++i, out += kEntrySize) {
    const NodeMapEntry& e = map[i];
    if (!e.present()) {
      put_u32(out, kAbsent);
      put_u32(out + 4, kAbsent);
      continue;
    }
    if (e.node >= kAbsent || (e.has_member() && e.member >= kAbsent)) return i;
    put_u32(out, static_cast<uint32_t>(e.node));
    put_u32(out + 4, e.has_member() ? static_cast<uint32_t>(e.member) : kAbsent);
  }
  return map.size();
}

/// A store's blob and node map as bytes objects, or why they are missing.
struct EncodedState {
  Ref blob;
  Ref node_map;
  std::string refusal;         ///< a store the format cannot hold
  std::exception_ptr failure;  ///< an error escaping the encoding
};

// Runs under the store's lock. Nothing may escape from here: the failure is
// handed back and raised once the lock is released. Creating the two bytes
// objects runs no Python code, so the blob is written straight into its
// bytes object, without a copy of the store or of the blob.
EncodedState encode_locked(const PoolData& pools, const NodeTable& nodes, const std::vector<NodeId>& outputs,
                           const std::vector<NodeMapEntry>& map) noexcept {
  EncodedState s;
  try {
    auto plan = BlobPlan::make(pools, nodes, outputs);
    if (!plan) {
      s.refusal = std::move(plan.error().message);
      return s;
    }
    s.blob = Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan.value().size())));
    if (!s.blob) return s;
    plan.value().write(PyBytes_AsString(s.blob.get()));
    s.node_map = Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(map.size() * kEntrySize)));
    if (!s.node_map) return s;
    const size_t bad = encode_node_map(map, PyBytes_AsString(s.node_map.get()));
    if (bad != map.size()) {
      s.refusal = "cannot pickle: node map entry " + std::to_string(bad) + " does not fit in 32 bits";
    }
  } catch (...) {
    s.failure = std::current_exception();
  }
  return s;
}

/// The parts of a state, borrowed from the state tuple.
struct StateParts {
  std::string_view blob;
  std::string_view node_map;
};

std::string_view bytes_item(PyObject* state, Py_ssize_t i, const char* what) {
  PyObject* item = PyTuple_GetItem(state, i);
  if (item == nullptr) throw PythonError{};
  if (!PyBytes_Check(item)) {
    raise(PyExc_TypeError, "GraphStore state: the %s must be bytes, not %U", what, type_name(item).get());
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(item, &data, &size) < 0) throw PythonError{};
  return {data, static_cast<size_t>(size)};
}

// Checks the shape of a state: a tuple whose first item is the format
// version, then what that version holds.
StateParts unpack(PyObject* state) {
  if (!PyTuple_Check(state)) {
    raise(PyExc_TypeError, "GraphStore state must be a tuple, not %U", type_name(state).get());
  }
  const Py_ssize_t n = PyTuple_Size(state);
  if (n < 0) throw PythonError{};
  if (n == 0) raise(PyExc_ValueError, "GraphStore state: empty tuple");
  PyObject* version = PyTuple_GetItem(state, 0);
  if (version == nullptr) throw PythonError{};
  if (!PyLong_CheckExact(version)) {
    raise(PyExc_TypeError, "GraphStore state: the version must be an int, not %U", type_name(version).get());
  }
  int overflow = 0;
  const long v = PyLong_AsLongAndOverflow(version, &overflow);
  if (v == -1 && overflow == 0 && PyErr_Occurred()) throw PythonError{};
  if (overflow != 0 || v != kStateVersion) {
    raise(PyExc_ValueError, "GraphStore state: unsupported version %R (this module reads version %ld)", version,
          kStateVersion);
  }
  if (n != 3) raise(PyExc_ValueError, "GraphStore state: %zd items, version %ld has 3", n, kStateVersion);
  return {bytes_item(state, 1, "blob"), bytes_item(state, 2, "node map")};
}

/// Why a node map does not fit the store it came with.
struct MapError {
  size_t entry;
  std::string message;
};

// Decodes the node map against `store`: every node must exist, and a member
// index must name a member of a stage.
std::vector<NodeMapEntry> decode_node_map(const Store& store, std::string_view data) {
  if (data.size() % kEntrySize != 0) raise(PyExc_ValueError, "GraphStore state: truncated node map");
  const size_t entries = data.size() / kEntrySize;
  std::vector<NodeMapEntry> map;
  map.reserve(entries);
  const auto error = store.read_locked(
      [&](const PoolData& pools, const NodeTable& nodes, const std::vector<NodeId>&) -> std::optional<MapError> {
        for (size_t i = 0; i < entries; ++i) {
          const uint32_t node = get_u32(data.data() + i * kEntrySize);
          const uint32_t member = get_u32(data.data() + i * kEntrySize + 4);
          NodeMapEntry& e = map.emplace_back();
          if (node == kAbsent) {
            if (member != kAbsent) return MapError{i, "has a member but no node"};
            continue;
          }
          if (node >= nodes.size()) {
            return MapError{i, "refers to node " + std::to_string(node) + " of " + std::to_string(nodes.size())};
          }
          e.node = node;
          if (member == kAbsent) continue;
          if (nodes.recs[node].kind != NodeKind::Stage) {
            return MapError{i, "refers to member " + std::to_string(member) + " of node " + std::to_string(node) +
                                   ", which is not a stage"};
          }
          const size_t members = pools.member_list(nodes.recs[node].payload).size();
          if (member >= members) {
            return MapError{i, "refers to member " + std::to_string(member) + " of stage " + std::to_string(node) +
                                   ", which has " + std::to_string(members) + " members"};
          }
          e.member = member;
        }
        return std::nullopt;
      });
  if (error) {
    raise(PyExc_ValueError, "GraphStore state: node map entry %zu %s", error->entry, error->message.c_str());
  }
  return map;
}

}  // namespace

PyObject* graph_store_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    EncodedState s = store_of(self).read_all_locked(encode_locked);
    if (s.failure) std::rethrow_exception(s.failure);
    if (!s.refusal.empty()) raise(PyExc_ValueError, "%s", s.refusal.c_str());
    if (!s.blob || !s.node_map) throw PythonError{};
    Ref version = new_ref(PyLong_FromLong(kStateVersion));
    Ref state = new_ref(PyTuple_Pack(3, version.get(), s.blob.get(), s.node_map.get()));
    Ref no_args = new_ref(PyTuple_New(0));
    return new_ref(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), no_args.get(), state.get())).release();
  });
}

// Pickle calls GraphStore() and then this; so does copy. The state is read
// into a store of its own and checked whole; the instance's store then takes
// it over in place, under its lock, and only while it is still empty. The
// instance keeps its store, so a call that a conversion hook re-entered here
// (an __index__ of one of its arguments, say) goes on with the store it
// holds, now filled, and a reducer bound to it stays bound.
PyObject* graph_store_setstate(PyObject* self, PyObject* state) {
  return guarded([&]() -> PyObject* {
    const StateParts parts = unpack(state);
    auto read = read_blob(parts.blob);
    if (!read) raise(PyExc_ValueError, "GraphStore state: %s", read.error().message().c_str());
    std::unique_ptr<Store> store = std::move(read.value());
    store->set_node_map(decode_node_map(*store, parts.node_map));
    if (!store_of(self).adopt(*store)) {
      raise(PyExc_ValueError, "GraphStore.__setstate__() needs a new, empty GraphStore");
    }
    Py_RETURN_NONE;
  });
}

// copyreg.__newobj_ex__ calls PayloadDescriptor.__new__ with the fields as
// keywords: the constructor's own checks apply to whatever a pickle holds.
PyObject* descriptor_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const PayloadDescriptor& d = *payload_descriptor_of(self);
    Ref kwargs = new_ref(PyDict_New());
    for (size_t i = 0; i < kDescriptorFields.size(); ++i) {
      set_key(kwargs.get(), kDescriptorFields[i].name, descriptor_field(d, i));
    }
    set_key(kwargs.get(), kPreprocessingRef, descriptor_field(d, kDescriptorFields.size()));
    Ref copyreg = new_ref(PyImport_ImportModule("copyreg"));
    Ref newobj = new_ref(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
    return new_ref(Py_BuildValue("(O(O()O))", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), kwargs.get()))
        .release();
  });
}

PyObject* reducer_reduce(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "cannot pickle 'IncrementalReducer' object: it is bound to a live GraphStore and holds that "
                  "store's canonical form; pickle the GraphStore (or the one finalize() returns) instead");
  return nullptr;
}

}  // namespace korvane::py
