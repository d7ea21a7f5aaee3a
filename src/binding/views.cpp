// views.cpp - the read-only views of a GraphStore.
#include "binding/errors.hpp"
#include "binding/graph_store.hpp"

namespace korvane::py {

namespace {

Ref int_list(const std::vector<NodeId>& ids) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  for (size_t i = 0; i < ids.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLongLong(ids[i]);
    if (item == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) throw PythonError{};
  }
  return list;
}

}  // namespace

PyObject* node_count(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return check(PyLong_FromUnsignedLongLong(store_of(self).node_count())).release(); });
}

PyObject* outputs(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return int_list(store_of(self).outputs()).release(); });
}

}  // namespace korvane::py

namespace korvane::py {

PyObject* to_dot(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "to_dot");
  return nullptr;
}

PyObject* nodes(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "nodes");
  return nullptr;
}

PyObject* node_map(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "node_map");
  return nullptr;
}

}  // namespace korvane::py
