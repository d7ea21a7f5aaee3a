// reduce.cpp - the GraphStore methods that run the optimizer.
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/graph_store.hpp"
#include "binding/reduction.hpp"
#include "optimizer/saturation_engine.hpp"

namespace korvane::py {

std::optional<std::vector<NodeId>> to_outputs(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  std::vector<NodeId> ids;
  to_ids(obj, "outputs", ids);
  return ids;
}

void check_outputs(const std::vector<NodeId>& ids, uint64_t count) {
  for (NodeId id : ids) {
    if (id >= count) raise(PyExc_ValueError, "no node with id %llu", static_cast<unsigned long long>(id));
  }
}

Ref report_dict(const ReductionCounters& c) {
  Ref dict = check(PyDict_New());
  const std::pair<const char*, uint64_t> entries[] = {
      {"input_nodes", c.input_nodes}, {"reachable_nodes", c.reachable_nodes}, {"canonical_nodes", c.canonical_nodes},
      {"stages", c.stages},           {"reduced_nodes", c.reduced_nodes},     {"boundary_nodes", c.boundary_nodes},
  };
  for (const auto& [key, value] : entries) {
    Ref v = check(PyLong_FromUnsignedLongLong(value));
    if (PyDict_SetItemString(dict.get(), key, v.get()) < 0) throw PythonError{};
  }
  return dict;
}

Ref reduction_pair(std::unique_ptr<Store> store, const ReductionCounters& counters) {
  Ref report = report_dict(counters);
  Ref reduced = wrap_store(std::move(store));
  return check(PyTuple_Pack(2, reduced.get(), report.get()));
}

namespace {

const Signature kReduce{"GraphStore.reduce", {"maximal_fusion", "outputs"}, 0, 0};
const Signature kReduceIncremental{"GraphStore.reduce_incremental", {"outputs"}, 0, 0};
const Signature kReductionReport{"GraphStore.reduction_report", {"outputs"}, 0, 0};

// Reduces a snapshot of the store; the store's lock is held only while the
// snapshot is copied.
std::unique_ptr<Store> reduce_store(const Store& store, bool maximal_fusion,
                                    const std::optional<std::vector<NodeId>>& outputs, ReductionCounters& counters) {
  const SaturationEngine engine;
  Snapshot snap = store.snapshot();
  if (outputs) check_outputs(*outputs, snap.graph.size());
  const std::vector<NodeId>& chosen = outputs ? *outputs : snap.outputs;
  ReductionResult result = reduce_nodes(std::move(snap.graph), chosen, engine, maximal_fusion);
  counters = result.counters;
  return build_reduced_store(std::move(result));
}

}  // namespace

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    bind(kReduce, args, nargs, kwnames, a);
    const bool maximal = to_fusion_flag(a[0]);
    const auto outputs = to_outputs(a[1]);
    ReductionCounters counters;
    auto reduced = reduce_store(store_of(self), maximal, outputs, counters);
    return reduction_pair(std::move(reduced), counters).release();
  });
}

PyObject* reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind(kReduceIncremental, args, nargs, kwnames, a);
    const auto outputs = to_outputs(a[0]);
    // The one-shot form of the step-by-step reducer gives exactly reduce()'s
    // result with single-use fusion, so it runs the same pipeline; stepping
    // only pays off while the graph is still being recorded.
    ReductionCounters counters;
    auto reduced = reduce_store(store_of(self), false, outputs, counters);
    return reduction_pair(std::move(reduced), counters).release();
  });
}

PyObject* reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind(kReductionReport, args, nargs, kwnames, a);
    const auto outputs = to_outputs(a[0]);
    ReductionCounters counters;
    reduce_store(store_of(self), false, outputs, counters);
    return report_dict(counters).release();
  });
}

}  // namespace korvane::py
