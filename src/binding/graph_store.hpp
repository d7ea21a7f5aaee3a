// graph_store.hpp - the GraphStore class: one Store per instance.
#pragma once

#include <memory>

#include "binding/pyref.hpp"
#include "store/store.hpp"

namespace korvane::py {

/// Creates the process-wide GraphStore type on first call; returns a
/// borrowed reference to it (null with an exception set on failure).
PyObject* graph_store_type();

/// Whether `obj` is a GraphStore instance.
bool is_graph_store(PyObject* obj);

/// The store of a GraphStore instance.
Store& store_of(PyObject* self);

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
PyObject* outputs(PyObject* self, PyObject* unused);

}  // namespace korvane::py
