// graph_store.hpp - the GraphStore class: each instance owns one Store and
// the RecordCache of the ids its recording calls have resolved.
#pragma once

#include <memory>

#include "binding/pyref.hpp"
#include "binding/record_cache.hpp"
#include "store/store.hpp"

namespace korvane::py {

/// The GraphStore type as PyType_FromSpec makes it (its instances own a Store and a RecordCache).
extern PyType_Spec graph_store_spec;

/// Whether `obj` is a GraphStore instance.
bool is_graph_store(PyObject* obj);

/// The store of a GraphStore instance.
Store& store_of(PyObject* self);

/// The record cache of a GraphStore instance.
RecordCache& record_cache_of(PyObject* self);

/// A new GraphStore instance that owns `store`.
Ref wrap_store(std::unique_ptr<Store> store);

// Methods of GraphStore, defined beside the code they drive.
PyObject* add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* add_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_count(PyObject* self, PyObject* unused);
PyObject* to_dot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* stats(PyObject* self, PyObject* unused);
PyObject* serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* deserialize(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* consumers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* outputs(PyObject* self, PyObject* unused);
PyObject* node_map(PyObject* self, PyObject* unused);
PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* reduction_profile(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace korvane::py
