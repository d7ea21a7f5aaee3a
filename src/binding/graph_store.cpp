// graph_store.cpp - the GraphStore class.
//
//   GraphStore()
//     .add_source(name, params=None) -> int
//     .add_op(name, inputs, params=None) -> int
//     .add_reduction(name, inputs, params=None) -> int
//     .add_external(descriptor, inputs, params=None) -> int
//     .add_exchange(inputs, params=None) -> int
//     .add_join(inputs, params=None) -> int
//     .node_count() -> int
//     .to_dot(*, around=None, depth=2) -> str
//     .stats() -> dict
//     .serialize(outputs=None) -> bytes
//     GraphStore.deserialize(data) -> GraphStore                      (static)
//     .nodes(ids=None) -> list[dict]
//     .consumers(node) -> list[int]
//     .outputs() -> list[int]
//     .node_map() -> list[tuple[int, int | None] | None]
//     .reduce(*, maximal_fusion=False, outputs=None, rules=None) -> (GraphStore, dict)
//     .reduce_incremental(*, outputs=None) -> (GraphStore, dict)
//     .reduction_report(*, outputs=None, rules=None) -> dict
//     .reduction_profile(*, maximal_fusion=False, outputs=None, rules=None) -> dict
//     .__reduce__() / .__setstate__(state)        pickle and copy (pickle.cpp)
#include "binding/graph_store.hpp"

#include <utility>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "binding/owner.hpp"
#include "binding/pickle.hpp"
#include "common/internal_error.hpp"

namespace korvane::py {

namespace {

/// What a GraphStore instance owns.
struct GraphStoreState {
  Store store;                        ///< never shared with another instance
  std::unique_ptr<RecordCache> cache;  ///< made by the first recording
};

PyObject* graph_store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    bind_none("GraphStore", args, kwargs);
    return new_owner<GraphStoreState>(reinterpret_cast<PyObject*>(type)).release();
  });
}

PyObject* graph_store_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const Store& store = store_of(self);
    const unsigned long long nodes = store.node_count();
    const unsigned long long outputs = store.outputs().size();
    return PyUnicode_FromFormat("<korvane_core.GraphStore: %llu node%s, %llu output%s>", nodes, nodes == 1 ? "" : "s",
                                outputs, outputs == 1 ? "" : "s");
  });
}

PyMethodDef graph_store_methods[] = {
    {"add_source", FASTCALL(add_source), METH_FASTCALL | METH_KEYWORDS,
     "add_source($self, name, params=None)\n--\n\n"},
    {"add_op", FASTCALL(add_op), METH_FASTCALL | METH_KEYWORDS, "add_op($self, name, inputs, params=None)\n--\n\n"},
    {"add_reduction", FASTCALL(add_reduction), METH_FASTCALL | METH_KEYWORDS,
     "add_reduction($self, name, inputs, params=None)\n--\n\n"},
    {"add_external", FASTCALL(add_external), METH_FASTCALL | METH_KEYWORDS,
     "add_external($self, descriptor, inputs, params=None)\n--\n\n"},
    {"add_exchange", FASTCALL(add_exchange), METH_FASTCALL | METH_KEYWORDS,
     "add_exchange($self, inputs, params=None)\n--\n\n"
     "Records an Exchange boundary. It has no name; its identity is its parameters (the partitioning\n"
     "scheme) plus its one logical input. Its nodes() kind is \"exchange\"."},
    {"add_join", FASTCALL(add_join), METH_FASTCALL | METH_KEYWORDS,
     "add_join($self, inputs, params=None)\n--\n\n"
     "Records a Join boundary with two inputs [left, right]. Its identity is its parameters (the join\n"
     "scheme) plus its ordered inputs. Its nodes() kind is \"join\"."},
    {"node_count", node_count, METH_NOARGS, "node_count($self)\n--\n\n"},
    {"to_dot", FASTCALL(to_dot), METH_FASTCALL | METH_KEYWORDS,
     "to_dot($self, *, around=None, depth=2)\n--\n\n"
     "The DOT text of the graph. With around= (node ids) only the nodes at most depth input steps\n"
     "above them or consumer steps below them, with one summary node per side for the inputs and\n"
     "consumers a drawn node has beyond the drawing (\"+N inputs\", \"+N consumers\")."},
    {"stats", stats, METH_NOARGS,
     "stats($self)\n--\n\n"
     "Figures about the graph's shape: node counts per kind, the most common Op names, the nodes\n"
     "the stored outputs reach, the longest input chain, fan-in, fan-out and stage sizes."},
    {"serialize", FASTCALL(serialize), METH_FASTCALL | METH_KEYWORDS,
     "serialize($self, outputs=None)\n--\n\n"
     "The canonical, versioned, byte-identical durable form of the graph. With outputs= the bytes\n"
     "flag exactly that list and ignore the stored marks; by default the marks are used."},
    {"deserialize", FASTCALL(deserialize), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "deserialize(data)\n--\n\n"
     "Rebuilds a store from canonical bytes. A round trip reproduces the same node ids, so\n"
     "serializing the result gives the input bytes back."},
    {"nodes", FASTCALL(nodes), METH_FASTCALL | METH_KEYWORDS,
     "nodes($self, ids=None)\n--\n\n"
     "A read-only view of every node, in id order; with ids= just of those nodes, in that order."},
    {"consumers", FASTCALL(consumers), METH_FASTCALL | METH_KEYWORDS,
     "consumers($self, node)\n--\n\nThe ids of the nodes that read node `node`, ascending, each once."},
    {"outputs", outputs, METH_NOARGS, "outputs($self)\n--\n\nThe marked output ids, in mark order."},
    {"node_map", node_map, METH_NOARGS,
     "node_map($self)\n--\n\n"
     "For each node of the graph this store was reduced from, where it landed here: None when it\n"
     "was dropped as dead, else (node id, member index or None)."},
    {"reduce", FASTCALL(reduce), METH_FASTCALL | METH_KEYWORDS,
     "reduce($self, *, maximal_fusion=False, outputs=None, rules=None)\n--\n\n"
     "Reduces the graph by dead-code elimination, equality saturation, common-subexpression\n"
     "elimination and stage fusion. Returns (reduced GraphStore, report dict)."},
    {"reduce_incremental", FASTCALL(reduce_incremental), METH_FASTCALL | METH_KEYWORDS,
     "reduce_incremental($self, *, outputs=None)\n--\n\n"
     "One-shot incremental reduction: the same result as reduce()."},
    {"reduction_report", FASTCALL(reduction_report), METH_FASTCALL | METH_KEYWORDS,
     "reduction_report($self, *, outputs=None, rules=None)\n--\n\n"
     "The report of reduce() without keeping the reduced store."},
    {"reduction_profile", FASTCALL(reduction_profile), METH_FASTCALL | METH_KEYWORDS,
     "reduction_profile($self, *, maximal_fusion=False, outputs=None, rules=None)\n--\n\n"
     "Runs the reduction of reduce() and tells how it went: the report's six counters, the wall\n"
     "time of each phase, the rewrite run's stop reason and iterations, and each rule's scheduling."},
    {"__reduce__", graph_store_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Pickle and copy support: the store travels as its blob (with its output marks) and its\n"
     "node map, and comes back with the same ids, outputs and node map."},
    {"__setstate__", graph_store_setstate, METH_O,
     "__setstate__($self, state, /)\n--\n\n"
     "Fills a new, empty store from the state __reduce__ gave."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot graph_store_slots[] = {
    {Py_tp_doc, const_cast<char*>("GraphStore()\n--\n\n"
                                  "A thread-safe interned graph store. Its state is guarded by a mutex, so one\n"
                                  "store may be shared between threads.")},
    {Py_tp_new, reinterpret_cast<void*>(graph_store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc<GraphStoreState>)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_store_repr)},
    {Py_tp_methods, graph_store_methods},
    {0, nullptr},  // sentinel
};

}  // namespace

PyType_Spec graph_store_spec = {
    .name = "korvane_core.GraphStore",
    .basicsize = sizeof(Owner<GraphStoreState>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = graph_store_slots,
};

bool is_graph_store(PyObject* obj) { return is_instance(obj, types().graph_store); }

Store& store_of(PyObject* self) { return owned<GraphStoreState>(self).store; }

RecordCache& record_cache_of(PyObject* self) {
  std::unique_ptr<RecordCache>& cache = owned<GraphStoreState>(self).cache;
  if (cache == nullptr) cache = std::make_unique<RecordCache>();
  return *cache;
}

Ref wrap_store(std::unique_ptr<Store> store) {
  Ref self = new_owner<GraphStoreState>(types().graph_store);
  check(store_of(self.get()).adopt(*store), "a new GraphStore takes over a built store");
  return self;
}

}  // namespace korvane::py
