// record.cpp - the GraphStore methods that record nodes.
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/graph_store.hpp"

namespace korvane::py {

namespace {

using IdArg = boost::container::small_vector<uint64_t, 8>;

// Interns a converted node and returns its id as a Python int.
PyObject* record(PyObject* self, const NodeSpec& spec) {
  auto id = store_of(self).intern_node(spec);
  if (!id) raise(PyExc_ValueError, "no node with id %llu", static_cast<unsigned long long>(id.error().id));
  return check(PyLong_FromUnsignedLongLong(id.value())).release();
}

const Signature kAddSource{"GraphStore.add_source", {"name", "params"}, 2, 1};
const Signature kAddOp{"GraphStore.add_op", {"name", "inputs", "params"}, 3, 2};
const Signature kAddReduction{"GraphStore.add_reduction", {"name", "inputs", "params"}, 3, 2};
const Signature kAddExternal{"GraphStore.add_external", {"descriptor", "inputs", "params"}, 3, 2};
const Signature kAddExchange{"GraphStore.add_exchange", {"inputs", "params"}, 2, 1};
const Signature kAddJoin{"GraphStore.add_join", {"inputs", "params"}, 2, 1};

// add_op and add_reduction: a name, inputs and params.
PyObject* record_named(const Signature& sig, NodeKind kind, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    bind(sig, args, nargs, kwnames, a);
    NodeSpec spec;
    spec.kind = kind;
    spec.name = to_utf8(a[0], sig.function, "name");
    IdArg inputs;
    to_ids(a[1], "inputs", inputs);
    ParamArg params;
    to_params(a[2], params);
    spec.inputs = inputs;
    spec.params = params.items;
    return record(self, spec);
  });
}

// add_exchange and add_join: inputs and params only.
PyObject* record_boundary(const Signature& sig, NodeKind kind, PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    bind(sig, args, nargs, kwnames, a);
    IdArg inputs;
    to_ids(a[0], "inputs", inputs);
    ParamArg params;
    to_params(a[1], params);
    NodeSpec spec;
    spec.kind = kind;
    spec.inputs = inputs;
    spec.params = params.items;
    return record(self, spec);
  });
}

}  // namespace

PyObject* add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    bind(kAddSource, args, nargs, kwnames, a);
    NodeSpec spec;
    spec.kind = NodeKind::Source;
    spec.name = to_utf8(a[0], kAddSource.function, "name");
    ParamArg params;
    to_params(a[1], params);
    spec.params = params.items;
    return record(self, spec);
  });
}

PyObject* add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return record_named(kAddOp, NodeKind::Op, self, args, nargs, kwnames);
}

PyObject* add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return record_named(kAddReduction, NodeKind::Reduction, self, args, nargs, kwnames);
}

// Converts inputs, then the descriptor, then params: the first failure wins.
PyObject* add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    bind(kAddExternal, args, nargs, kwnames, a);
    IdArg inputs;
    to_ids(a[1], "inputs", inputs);
    DescriptorArg descriptor;
    to_descriptor(a[0], descriptor);
    ParamArg params;
    to_params(a[2], params);
    NodeSpec spec;
    spec.kind = NodeKind::External;
    spec.descriptor = &descriptor.ref;
    spec.inputs = inputs;
    spec.params = params.items;
    return record(self, spec);
  });
}

PyObject* add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return record_boundary(kAddExchange, NodeKind::Exchange, self, args, nargs, kwnames);
}

PyObject* add_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return record_boundary(kAddJoin, NodeKind::Join, self, args, nargs, kwnames);
}

}  // namespace korvane::py
