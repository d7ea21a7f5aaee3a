// pickle.hpp - how the module's objects travel through pickle and copy.
//
// The methods below join the method tables of their classes; pickle.cpp
// holds the state a GraphStore is rebuilt from.
#pragma once

#include "binding/python.hpp"

namespace korvane::py {

/// GraphStore.__reduce__(): (GraphStore, (), state).
PyObject* graph_store_reduce(PyObject* self, PyObject* unused);
/// GraphStore.__setstate__(state): fills a new, empty store from a state.
PyObject* graph_store_setstate(PyObject* self, PyObject* state);

/// PayloadDescriptor.__reduce__(): rebuilt by its constructor from its fields.
PyObject* descriptor_reduce(PyObject* self, PyObject* unused);

/// IncrementalReducer.__reduce__(): always raises TypeError.
PyObject* reducer_reduce(PyObject* self, PyObject* unused);

}  // namespace korvane::py
