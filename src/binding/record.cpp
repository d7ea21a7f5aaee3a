// record.cpp - the GraphStore methods that record nodes.
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/graph_store.hpp"

namespace korvane::py {

namespace {

using IdArg = boost::container::small_vector<uint64_t, 8>;

const auto kAddSource = signature("GraphStore.add_source", {"name", "params"}, 2, 1);
const auto kAddOp = signature("GraphStore.add_op", {"name", "inputs", "params"}, 3, 2);
const auto kAddReduction = signature("GraphStore.add_reduction", {"name", "inputs", "params"}, 3, 2);
const auto kAddExternal = signature("GraphStore.add_external", {"descriptor", "inputs", "params"}, 3, 2);
const auto kAddExchange = signature("GraphStore.add_exchange", {"inputs", "params"}, 2, 1);
const auto kAddJoin = signature("GraphStore.add_join", {"inputs", "params"}, 2, 1);

// Converts a name argument: its string id if the cache knows the object,
// otherwise its UTF-8 text.
void convert_name(RecordCache& cache, PyObject* obj, const char* function, NodeSpec& node_spec) {
  if (PyUnicode_Check(obj)) {
    node_spec.name_id = cache.name(obj);
    if (node_spec.name_id != kUnresolved) return;
  }
  node_spec.name = to_utf8(obj, function, "name");
}

// Interns a converted node and returns its id as a Python int. Parameters
// the cache does not know are encoded here; what the store resolved is
// remembered for the next call.
PyObject* record(PyObject* self, RecordCache& cache, NodeSpec& node_spec, PyObject* name, ParamArg& params) {
  node_spec.params_id = cache.params(params.items.data(), params.items.size());
  if (node_spec.params_id == kUnresolved) {
    params.encode();
    node_spec.params = params.refs;
  }
  PoolIds ids;
  auto id = store_of(self).intern_node(node_spec, &ids);
  if (!id) raise(PyExc_ValueError, "no node with id %llu", static_cast<unsigned long long>(id.error().id));
  if (name != nullptr && node_spec.name_id == kUnresolved) cache.remember_name(name, ids.name);
  if (node_spec.params_id == kUnresolved) cache.remember_params(params.items.data(), params.items.size(), ids.params);
  return u64(id.value()).release();
}

// Where a recording method's arguments stand in its parameter list (-1: it
// has no such parameter).
struct Shape {
  int name;
  int inputs;
  int params;
};
constexpr Shape kNamed{0, -1, 1};         // add_source
constexpr Shape kNamedInputs{0, 1, 2};    // add_op, add_reduction
constexpr Shape kInputsOnly{-1, 0, 1};    // add_exchange, add_join

// Binds and converts the arguments in parameter order, then records.
template <std::size_t N>
PyObject* record_node(const Signature<N>& sig, Shape shape, NodeKind kind, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const auto a = bind(sig, args, nargs, kwnames);
    RecordCache& cache = record_cache_of(self);
    NodeSpec node_spec;
    node_spec.kind = kind;
    PyObject* name = shape.name >= 0 ? a[shape.name] : nullptr;
    if (name != nullptr) convert_name(cache, name, sig.function, node_spec);
    IdArg inputs;
    if (shape.inputs >= 0) to_ids(a[shape.inputs], "inputs", inputs);
    ParamArg params;
    to_params(a[shape.params], params);
    node_spec.inputs = inputs;
    return record(self, cache, node_spec, name, params);
  });
}

}  // namespace

PyObject* add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return record_node(kAddSource, kNamed, NodeKind::Source, self, args, nargs, kwnames);
}

PyObject* add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return record_node(kAddOp, kNamedInputs, NodeKind::Op, self, args, nargs, kwnames);
}

PyObject* add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return record_node(kAddReduction, kNamedInputs, NodeKind::Reduction, self, args, nargs, kwnames);
}

// Converts inputs, then the descriptor, then params: the first failure wins.
PyObject* add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const auto a = bind(kAddExternal, args, nargs, kwnames);
    IdArg inputs;
    to_ids(a[1], "inputs", inputs);
    DescriptorArg descriptor;
    to_descriptor(a[0], descriptor);
    ParamArg params;
    to_params(a[2], params);
    NodeSpec node_spec;
    node_spec.kind = NodeKind::External;
    node_spec.descriptor = &descriptor.ref;
    node_spec.inputs = inputs;
    return record(self, record_cache_of(self), node_spec, nullptr, params);
  });
}

PyObject* add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return record_node(kAddExchange, kInputsOnly, NodeKind::Exchange, self, args, nargs, kwnames);
}

PyObject* add_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return record_node(kAddJoin, kInputsOnly, NodeKind::Join, self, args, nargs, kwnames);
}

}  // namespace korvane::py
