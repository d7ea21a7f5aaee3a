// blob.cpp - GraphStore.serialize and GraphStore.deserialize.
#include "binding/errors.hpp"
#include "binding/graph_store.hpp"

namespace korvane::py {

PyObject* serialize(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "serialize");
  return nullptr;
}

PyObject* deserialize(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "deserialize");
  return nullptr;
}

}  // namespace korvane::py
