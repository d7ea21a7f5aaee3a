// blob.cpp - GraphStore.serialize and GraphStore.deserialize.
//
// Both directions run in the pure C++ writer and reader (store/blob.hpp);
// this file converts arguments, takes the store's copies, and turns the
// results and failures into bytes, GraphStore objects and exceptions.
#include <vector>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/graph_store.hpp"
#include "store/blob.hpp"

namespace korvane::py {

namespace {

const auto kSerialize = signature("GraphStore.serialize", {"outputs"}, 1, 0);
const auto kDeserialize = signature("GraphStore.deserialize", {"data"}, 1, 1);

}  // namespace

// With explicit outputs the ids are checked against the node count first
// (nodes are never removed, so they stay valid); the snapshot is taken
// afterwards, with the marks, and encoded without the lock.
PyObject* serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const auto a = bind(kSerialize, args, nargs, kwnames);
    const auto outputs = to_outputs(a[0]);
    Store& store = store_of(self);
    if (outputs) check_outputs(*outputs, store.node_count());
    const Snapshot snap = store.snapshot();
    auto plan = BlobPlan::make(snap.graph.pools, snap.graph.nodes, outputs ? *outputs : snap.outputs);
    if (!plan) raise(PyExc_ValueError, "%s", plan.error().message.c_str());
    // The blob is written straight into the new bytes object.
    Ref bytes = new_ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan.value().size())));
    char* buffer = PyBytes_AsString(bytes.get());
    if (buffer == nullptr) throw PythonError{};
    plan.value().write(buffer);
    return bytes.release();
  });
}

// The reader interns views into the bytes object's buffer, which the
// argument keeps alive and unchanged for the whole call.
PyObject* deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const auto a = bind(kDeserialize, args, nargs, kwnames);
    if (!PyBytes_Check(a[0])) {
      raise(PyExc_TypeError, "%s() argument 'data' must be bytes, not %U", kDeserialize.function,
            type_name(a[0]).get());
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(a[0], &data, &size) < 0) throw PythonError{};
    auto store = read_blob(std::string_view(data, static_cast<size_t>(size)));
    if (!store) raise(PyExc_ValueError, "%s", store.error().message().c_str());
    return wrap_store(std::move(store.value())).release();
  });
}

}  // namespace korvane::py
