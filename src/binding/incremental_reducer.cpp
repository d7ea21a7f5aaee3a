// incremental_reducer.cpp - the IncrementalReducer class.
//
//   IncrementalReducer()
//     .step(store) -> int                 nodes consumed by this call
//     .watermark() -> int                 store nodes consumed so far
//     .total_work() -> int
//     .canonical_count() -> int
//     .finalize(store, *, maximal_fusion=False, outputs=None, rules=None) -> (GraphStore, dict)
//     .__reduce__()                       refuses pickle and copy (pickle.cpp)
#include "binding/incremental_reducer.hpp"

#include <memory>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/graph_store.hpp"
#include "binding/owner.hpp"
#include "binding/pickle.hpp"
#include "binding/reduction.hpp"
#include "binding/rule_set.hpp"
#include "optimizer/incremental.hpp"

namespace korvane::py {

namespace {

IncrementalReducer& reducer_of(PyObject* self) { return owned<IncrementalReducer>(self); }

const auto kStep = signature("IncrementalReducer.step", {"store"}, 1, 1);
const auto kFinalize = signature("IncrementalReducer.finalize", {"store", "maximal_fusion", "outputs", "rules"}, 1, 1);

Store& store_arg(PyObject* obj, const char* function) {
  if (!is_graph_store(obj)) {
    raise(PyExc_TypeError, "%s() argument 'store' must be GraphStore, not %U", function, type_name(obj).get());
  }
  return store_of(obj);
}

[[noreturn]] void raise_wrong_store() {
  raise(PyExc_ValueError, "IncrementalReducer is bound to another GraphStore");
}

PyObject* reducer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    bind_none("IncrementalReducer", args, kwargs);
    return new_owner<IncrementalReducer>(reinterpret_cast<PyObject*>(type)).release();
  });
}

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const auto a = bind(kStep, args, nargs, kwnames);
    const Store& store = store_arg(a[0], kStep.function);
    auto consumed = reducer_of(self).step(store);
    if (!consumed) raise_wrong_store();
    return u64(consumed.value()).release();
  });
}

PyObject* finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const auto a = bind(kFinalize, args, nargs, kwnames);
    const Store& store = store_arg(a[0], kFinalize.function);
    const bool maximal = to_fusion_flag(a[1]);
    auto outputs = to_outputs(a[2]);
    const UserRules* rules = to_rule_set(a[3], kFinalize.function);
    // The outputs are chosen before the reducer is locked.
    if (outputs) {
      check_outputs(*outputs, store.node_count());
    } else {
      outputs = store.outputs();
    }
    auto reduction = reducer_of(self).finalize(store, *outputs, maximal, rules);
    if (!reduction) raise_wrong_store();
    return reduction_pair(std::move(reduction.value().store), reduction.value().counters).release();
  });
}

PyObject* watermark(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return u64(reducer_of(self).watermark()).release(); });
}

PyObject* total_work(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return u64(reducer_of(self).total_work()).release(); });
}

PyObject* canonical_count(PyObject* self, PyObject*) {
  return guarded(
      [&]() -> PyObject* { return u64(reducer_of(self).canonical_count()).release(); });
}

PyObject* reducer_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const IncrementalReducer& r = reducer_of(self);
    return PyUnicode_FromFormat("<korvane_core.IncrementalReducer: watermark %llu, %llu canonical nodes>",
                                static_cast<unsigned long long>(r.watermark()),
                                static_cast<unsigned long long>(r.canonical_count()));
  });
}

PyMethodDef reducer_methods[] = {
    {"step", FASTCALL(step), METH_FASTCALL | METH_KEYWORDS,
     "step($self, store)\n--\n\nConsumes the nodes the store recorded since the last step; returns how many."},
    {"watermark", watermark, METH_NOARGS, "watermark($self)\n--\n\nHow many of the store's nodes have been consumed."},
    {"total_work", total_work, METH_NOARGS, "total_work($self)\n--\n\nNodes processed over all steps."},
    {"canonical_count", canonical_count, METH_NOARGS,
     "canonical_count($self)\n--\n\nThe number of nodes of the canonical form."},
    {"finalize", FASTCALL(finalize), METH_FASTCALL | METH_KEYWORDS,
     "finalize($self, store, *, maximal_fusion=False, outputs=None, rules=None)\n--\n\n"
     "Consumes the rest of the store and reduces the canonical form. Returns (reduced GraphStore,\n"
     "report dict); the reducer stays usable."},
    {"__reduce__", reducer_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Refuses pickling and copying: the reducer is bound to a live store and holds its canonical form."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot reducer_slots[] = {
    {Py_tp_doc, const_cast<char*>("IncrementalReducer()\n--\n\n"
                                  "Incremental reduction, fed with a store while the graph is being built.")},
    {Py_tp_new, reinterpret_cast<void*>(reducer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc<IncrementalReducer>)},
    {Py_tp_repr, reinterpret_cast<void*>(reducer_repr)},
    {Py_tp_methods, reducer_methods},
    {0, nullptr},  // sentinel
};

}  // namespace

PyType_Spec incremental_reducer_spec = {
    .name = "korvane_core.IncrementalReducer",
    .basicsize = sizeof(Owner<IncrementalReducer>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = reducer_slots,
};

}  // namespace korvane::py
