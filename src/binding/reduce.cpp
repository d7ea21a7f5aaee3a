// reduce.cpp - the GraphStore methods that run the optimizer.
#include "binding/errors.hpp"
#include "binding/graph_store.hpp"

namespace korvane::py {

PyObject* reduce(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "reduce");
  return nullptr;
}

PyObject* reduce_incremental(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "reduce_incremental");
  return nullptr;
}

PyObject* reduction_report(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "reduction_report");
  return nullptr;
}

}  // namespace korvane::py
