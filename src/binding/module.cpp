// module.cpp - the korvane_core module.
//
//   korvane_core.version() -> str
//   korvane_core.GraphStore, korvane_core.PayloadDescriptor,
//   korvane_core.IncrementalReducer, korvane_core.RuleSet
//
// Multi-phase initialisation with a single execution step. The type objects
// are created once per process and shared by every module object, so the
// module is not isolated per interpreter.
#include "binding/graph_store.hpp"
#include "binding/incremental_reducer.hpp"
#include "binding/owner.hpp"
#include "binding/payload_descriptor.hpp"
#include "binding/rule_set.hpp"

namespace korvane::py {

namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(KORVANE_VERSION); }

Types g_types;  // the process-wide type objects

PyMethodDef module_functions[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

// Adds a type under its class name; false with an exception set on failure.
bool add_type(PyObject* module, const char* name, PyObject* type) {
  return type != nullptr && PyModule_AddObjectRef(module, name, type) == 0;
}

int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "korvane_core: execution step given a non-module object");
    return -1;
  }
  if (!create_types()) return -1;
  const Types& t = types();
  if (!add_type(module, "GraphStore", t.graph_store)) return -1;
  if (!add_type(module, "PayloadDescriptor", t.payload_descriptor)) return -1;
  if (!add_type(module, "IncrementalReducer", t.incremental_reducer)) return -1;
  if (!add_type(module, "RuleSet", t.rule_set)) return -1;
  return PyModule_AddFunctions(module, module_functions);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},  // sentinel
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "korvane_core",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

bool create_types() {
  const std::pair<PyObject**, PyType_Spec*> layouts[] = {
      {&g_types.graph_store, &graph_store_spec},
      {&g_types.payload_descriptor, &payload_descriptor_spec},
      {&g_types.incremental_reducer, &incremental_reducer_spec},
      {&g_types.rule_set, &rule_set_spec},
  };
  for (const auto& [slot, layout] : layouts) {
    if (*slot == nullptr) *slot = PyType_FromSpec(layout);
    if (*slot == nullptr) return false;
  }
  return true;
}

const Types& types() { return g_types; }

}  // namespace korvane::py

PyMODINIT_FUNC PyInit_korvane_core(void) { return PyModuleDef_Init(&korvane::py::module_def); }
