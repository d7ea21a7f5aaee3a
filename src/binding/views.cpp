// views.cpp - the read-only views of a GraphStore.
//
//   .node_count() -> int
//   .outputs() -> list[int]
//   .nodes() -> list[dict]            built from one snapshot of nodes and marks
//   .node_map() -> list[tuple[int, int | None] | None]
//   .to_dot(*, around=None, depth=2) -> str
//                                     rendered under the lock, str made after
//   .stats() -> dict                  computed under the lock, dict made after
//
// No view creates a Python object while it holds the store's lock.
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/graph_store.hpp"
#include "common/internal_error.hpp"
#include "store/dot.hpp"
#include "store/graph_stats.hpp"
#include "store/member_token.hpp"

namespace korvane::py {

namespace {

Ref interned(const char* text) { return new_ref(PyUnicode_InternFromString(text)); }

/// Puts `value` at `index` of a new tuple, taking it over.
void set_tuple_item(PyObject* tuple, size_t index, Ref value) {
  if (PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(index), value.release()) < 0) throw PythonError{};
}

Ref int_list(const std::vector<NodeId>& ids) {
  Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  for (size_t i = 0; i < ids.size(); ++i) set_list_item(list.get(), i, u64(ids[i]));
  return list;
}

/// A parameter value as a Python object; `str` is its Str value.
Ref param_value(ParamTag tag, uint64_t bits, Ref str) {
  switch (tag) {
    case ParamTag::Int: return new_ref(PyLong_FromLongLong(static_cast<long long>(bits)));
    case ParamTag::Float: return new_ref(PyFloat_FromDouble(bits_double(bits)));
    case ParamTag::Bool: return Ref::borrow(bits != 0 ? Py_True : Py_False);
    case ParamTag::Str: return str;
  }
  throw InternalError("parameter with an unknown tag");
}

/// Builds the dicts of nodes() from one snapshot. Names, keys and other
/// pool strings repeat across nodes, so each pool string becomes one str
/// object, shared by every dict that shows it; a parameter map or
/// descriptor becomes one template dict that each node gets a copy of.
class NodeViews {
 public:
  explicit NodeViews(const Snapshot& snap)
      : g_(snap.graph),
        strings_(g_.pools.string_count()),
        param_dicts_(g_.pools.param_maps.size()),
        descriptor_dicts_(g_.pools.descriptors.size()),
        ids_(g_.size()),
        marked_(g_.size(), false) {
    for (NodeId id : snap.outputs) {
      check(id < g_.size(), "output mark outside the graph");
      marked_[id] = true;
    }
    for (unsigned k = 0; k < kNodeKindCount; ++k) kind_words_[k] = new_str(kind_word(static_cast<NodeKind>(k)));
  }

  Ref build() {
    Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(g_.size())));
    for (size_t i = 0; i < g_.size(); ++i) set_list_item(list.get(), i, node(i));
    return list;
  }
  /// The dicts of nodes `ids` (each below the node count), in that order.
  Ref build(std::span<const NodeId> ids) {
    Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    for (size_t k = 0; k < ids.size(); ++k) set_list_item(list.get(), k, node(ids[k]));
    return list;
  }

 private:
  Ref node(size_t i) {
    const NodeKind kind = g_.kind(i);
    Ref dict = new_ref(PyDict_Copy(shape(kind)));
    set_key(dict.get(), k_id_.get(), Ref::borrow(id(i)));
    set_key(dict.get(), k_output_.get(), Ref::borrow(marked_[i] ? Py_True : Py_False));
    set_key(dict.get(), k_inputs_.get(), inputs(g_.inputs(i)));
    set_key(dict.get(), k_kind_.get(), Ref::borrow(kind_words_[static_cast<unsigned>(kind)].get()));
    set_key(dict.get(), k_name_.get(), Ref::borrow(has_name(kind) ? str(g_.nodes.recs[i].payload) : empty()));
    set_key(dict.get(), k_params_.get(), params(g_.nodes.recs[i].params));
    if (kind == NodeKind::External) set_key(dict.get(), k_descriptor_.get(), descriptor(g_.nodes.recs[i].payload));
    if (kind == NodeKind::Stage) {
      const auto members = g_.members(i);
      set_key(dict.get(), k_n_members_.get(), new_ref(PyLong_FromSize_t(members.size())));
      set_key(dict.get(), k_members_.get(), stage_members(members));
    }
    return dict;
  }

  /// A dict with the keys of a node of `kind`, in order, all set to None.
  /// Copying it and replacing the values is cheaper than inserting the keys
  /// into a new dict, which also has to grow on the way.
  PyObject* shape(NodeKind kind) {
    const int k = kind == NodeKind::External ? 1 : kind == NodeKind::Stage ? 2 : 0;
    Ref& tmpl = shapes_[k];
    if (tmpl) return tmpl.get();
    tmpl = new_ref(PyDict_New());
    for (const Ref* key : {&k_id_, &k_output_, &k_inputs_, &k_kind_, &k_name_, &k_params_}) {
      set_key(tmpl.get(), key->get(), Ref::borrow(Py_None));
    }
    if (k == 1) set_key(tmpl.get(), k_descriptor_.get(), Ref::borrow(Py_None));
    if (k == 2) {
      set_key(tmpl.get(), k_n_members_.get(), Ref::borrow(Py_None));
      set_key(tmpl.get(), k_members_.get(), Ref::borrow(Py_None));
    }
    return tmpl.get();
  }

  /// The int of node id `i`, shared by its "id" and every input naming it.
  PyObject* id(uint64_t i) {
    Ref& r = ids_[i];
    if (!r) r = u64(i);
    return r.get();
  }

  PyObject* str(uint32_t id) {
    Ref& r = strings_[id];
    if (!r) r = new_str(g_.pools.str(id));
    return r.get();
  }

  PyObject* empty() {
    if (!empty_) empty_ = new_str("");
    return empty_.get();
  }

  Ref inputs(std::span<const uint32_t> in) {
    Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(in.size())));
    for (size_t k = 0; k < in.size(); ++k) set_list_item(list.get(), k, Ref::borrow(id(in[k])));
    return list;
  }

  /// A new dict for parameter map `map`: a copy of the map's template.
  Ref params(uint32_t map) {
    if (map == 0) return new_ref(PyDict_New());
    Ref& tmpl = param_dicts_[map];
    if (!tmpl) {
      tmpl = new_ref(PyDict_New());
      for (const ParamSlot& s : g_.pools.params(map)) {
        Ref text = s.tag == ParamTag::Str ? Ref::borrow(str(static_cast<uint32_t>(s.bits))) : Ref();
        set_key(tmpl.get(), str(s.key), param_value(s.tag, s.bits, std::move(text)));
      }
    }
    return new_ref(PyDict_Copy(tmpl.get()));
  }

  Ref descriptor(uint32_t id) {
    Ref& tmpl = descriptor_dicts_[id];
    if (!tmpl) {
      const DescriptorRec& d = g_.pools.descriptors[id];
      tmpl = new_ref(PyDict_New());
      for (size_t f = 0; f < 6; ++f) {
        Ref key = interned(f < kDescriptorFields.size() ? kDescriptorFields[f].name : kPreprocessingRef);
        set_key(tmpl.get(), key.get(), Ref::borrow(d.fields[f] == kNoString ? Py_None : str(d.fields[f])));
      }
    }
    return new_ref(PyDict_Copy(tmpl.get()));
  }

  Ref stage_members(std::span<const MemberRec> members) {
    Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(members.size())));
    for (size_t m = 0; m < members.size(); ++m) set_list_item(list.get(), m, member(members[m]));
    return list;
  }

  Ref member(const MemberRec& rec) {
    const std::string_view token = g_.pools.str(rec.token);
    const auto parsed = parse_member_symbol(token);
    if (!parsed) {
      std::string message = "unparseable stage member token ";
      append_quoted(message, token);
      Ref text = new_str(message);
      PyErr_SetObject(PyExc_ValueError, text.get());
      throw PythonError{};
    }
    Ref dict = new_ref(PyDict_New());
    set_key(dict.get(), k_kind_.get(), new_str(parsed->head));
    set_key(dict.get(), k_name_.get(), new_str(parsed->name));
    Ref params = new_ref(PyDict_New());
    for (const Param& p : parsed->params) {
      Ref key = new_str(p.key);
      Ref text = p.tag == ParamTag::Str ? new_str(p.str) : Ref();
      set_key(params.get(), key.get(), param_value(p.tag, p.bits, std::move(text)));
    }
    set_key(dict.get(), k_params_.get(), std::move(params));
    const auto refs = g_.pools.member_refs(rec);
    Ref operands = new_ref(PyList_New(static_cast<Py_ssize_t>(refs.size())));
    for (size_t k = 0; k < refs.size(); ++k) {
      Ref pair = new_ref(PyTuple_New(2));
      const Ref& word = refs[k].kind == StageRef::Kind::Input ? k_input_ : k_member_;
      set_tuple_item(pair.get(), 0, Ref::borrow(word.get()));
      set_tuple_item(pair.get(), 1, new_ref(PyLong_FromUnsignedLong(refs[k].index)));
      set_list_item(operands.get(), k, std::move(pair));
    }
    set_key(dict.get(), k_inputs_.get(), std::move(operands));
    return dict;
  }

  const Graph& g_;
  Ref k_id_ = interned("id");
  Ref k_output_ = interned("output");
  Ref k_inputs_ = interned("inputs");
  Ref k_kind_ = interned("kind");
  Ref k_name_ = interned("name");
  Ref k_params_ = interned("params");
  Ref k_descriptor_ = interned("descriptor");
  Ref k_n_members_ = interned("n_members");
  Ref k_members_ = interned("members");
  Ref k_input_ = interned("input");
  Ref k_member_ = interned("member");
  Ref kind_words_[kNodeKindCount];
  Ref shapes_[3];  ///< key templates: other kinds, External, Stage
  Ref empty_;
  std::vector<Ref> strings_;           ///< per pool string id, made on first use
  std::vector<Ref> param_dicts_;       ///< per parameter map id: the template
  std::vector<Ref> descriptor_dicts_;  ///< per descriptor id: the template
  std::vector<Ref> ids_;               ///< per node id: its int
  std::vector<bool> marked_;
};

}  // namespace

PyObject* node_count(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return u64(store_of(self).node_count()).release(); });
}

PyObject* outputs(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* { return int_list(store_of(self).outputs()).release(); });
}

PyObject* nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const auto kNodes = signature("GraphStore.nodes", {"ids"}, 1, 0);
  return guarded([&]() -> PyObject* {
    const auto a = bind(kNodes, args, nargs, kwnames);
    const std::optional<std::vector<NodeId>> ids = to_outputs(a[0], "ids");
    const Snapshot snap = store_of(self).snapshot();
    if (!ids) return NodeViews(snap).build().release();
    check_outputs(*ids, snap.graph.size());
    return NodeViews(snap).build(*ids).release();
  });
}

// One pass over the inputs of the nodes after `node`, under the lock: no
// copy of the graph, no index of every node's consumers.
PyObject* consumers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const auto kConsumers = signature("GraphStore.consumers", {"node"}, 1, 1);
  return guarded([&]() -> PyObject* {
    const auto a = bind(kConsumers, args, nargs, kwnames);
    const NodeId node = to_id(a[0], "node");
    const auto found = store_of(self).read_locked(
        [&](const PoolData&, const NodeTable& nodes, const std::vector<NodeId>&) -> std::optional<std::vector<NodeId>> {
          if (node >= nodes.size()) return std::nullopt;
          std::vector<NodeId> out;
          for (size_t j = node + 1; j < nodes.size(); ++j) {
            const auto in = nodes.inputs_of(j);
            if (std::find(in.begin(), in.end(), node) != in.end()) out.push_back(j);
          }
          return out;
        });
    if (!found) raise(PyExc_ValueError, "no node with id %llu", static_cast<unsigned long long>(node));
    Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(found->size())));
    for (size_t k = 0; k < found->size(); ++k) set_list_item(list.get(), k, u64((*found)[k]));
    return list.release();
  });
}

PyObject* node_map(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const std::vector<NodeMapEntry> map = store_of(self).node_map();
    Ref list = new_ref(PyList_New(static_cast<Py_ssize_t>(map.size())));
    for (size_t i = 0; i < map.size(); ++i) {
      const NodeMapEntry& e = map[i];
      if (!e.present()) {
        set_list_item(list.get(), i, Ref::borrow(Py_None));
        continue;
      }
      Ref pair = new_ref(PyTuple_New(2));
      set_tuple_item(pair.get(), 0, u64(e.node));
      set_tuple_item(pair.get(), 1,
                     e.has_member() ? u64(e.member) : Ref::borrow(Py_None));
      set_list_item(list.get(), i, std::move(pair));
    }
    return list.release();
  });
}

namespace {

const auto kToDot = signature("GraphStore.to_dot", {"around", "depth"}, 0, 0);

/// Converts `depth`: an int or an object with __index__, not negative. A
/// depth beyond any graph's size means "follow every step there is", so
/// values of 2^64 and more count as the largest one.
uint64_t to_depth(PyObject* obj) {
  Ref index(PyNumber_Index(obj));
  if (!index) {
    // Only "not an integer" is restated; an interrupt, an exhausted memory
    // or any other error of an __index__ method goes up as it is.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
    PyErr_Clear();
    raise(PyExc_TypeError, "%s() argument 'depth' must be int, not %U", kToDot.function, type_name(obj).get());
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  if (overflow > 0) return UINT64_MAX;
  if (overflow < 0 || value < 0) raise(PyExc_ValueError, "depth must be a non-negative int, not %S", index.get());
  return static_cast<uint64_t>(value);
}

/// [first, second], taking both over.
Ref list_of_two(Ref first, Ref second) {
  Ref list = new_ref(PyList_New(2));
  set_list_item(list.get(), 0, std::move(first));
  set_list_item(list.get(), 1, std::move(second));
  return list;
}

Ref optional_u64(std::optional<uint64_t> value) { return value ? u64(*value) : Ref::borrow(Py_None); }

/// {"max", "p50", "p99", "histogram": [[value, count], ...]}; None values
/// for an empty population.
Ref spread_dict(const Spread& s) {
  Ref dict = new_ref(PyDict_New());
  set_key(dict.get(), "max", optional_u64(s.max()));
  set_key(dict.get(), "p50", optional_u64(s.percentile(50)));
  set_key(dict.get(), "p99", optional_u64(s.percentile(99)));
  Ref histogram = new_ref(PyList_New(static_cast<Py_ssize_t>(s.histogram.size())));
  for (size_t k = 0; k < s.histogram.size(); ++k) {
    set_list_item(histogram.get(), k, list_of_two(u64(s.histogram[k].first), u64(s.histogram[k].second)));
  }
  set_key(dict.get(), "histogram", histogram);
  return dict;
}

Ref stats_dict(const GraphStats& st) {
  Ref dict = new_ref(PyDict_New());
  set_key(dict.get(), "nodes", u64(st.nodes));
  set_key(dict.get(), "edges", u64(st.edges));
  Ref kinds = new_ref(PyDict_New());
  for (unsigned k = 0; k < kNodeKindCount; ++k) {
    set_key(kinds.get(), new_str(kind_word(static_cast<NodeKind>(k))).get(), u64(st.kinds[k]));
  }
  set_key(dict.get(), "kinds", kinds);
  Ref top = new_ref(PyList_New(static_cast<Py_ssize_t>(st.top_ops.size())));
  for (size_t k = 0; k < st.top_ops.size(); ++k) {
    set_list_item(top.get(), k, list_of_two(new_str(st.top_ops[k].first), u64(st.top_ops[k].second)));
  }
  set_key(dict.get(), "top_ops", top);
  set_key(dict.get(), "distinct_ops", u64(st.distinct_ops));
  set_key(dict.get(), "outputs", u64(st.outputs));
  set_key(dict.get(), "reachable", u64(st.reachable));
  set_key(dict.get(), "longest_path", u64(st.longest_path));
  set_key(dict.get(), "fan_in", spread_dict(st.fan_in));
  set_key(dict.get(), "fan_out", spread_dict(st.fan_out));
  set_key(dict.get(), "stages", u64(st.kinds[static_cast<unsigned>(NodeKind::Stage)]));
  set_key(dict.get(), "stage_members", spread_dict(st.stage_members));
  return dict;
}

}  // namespace

// The seeds are checked against the node count first (nodes are never
// removed, so they stay valid); the drawing is then made under one hold of
// the lock, and the str after it is released.
PyObject* to_dot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const auto a = bind(kToDot, args, nargs, kwnames);
    std::optional<std::vector<NodeId>> around;
    if (a[0] != nullptr && a[0] != Py_None) {
      around.emplace();
      to_ids(a[0], "around", *around);
    }
    const uint64_t depth = a[1] != nullptr ? to_depth(a[1]) : 2;
    Store& store = store_of(self);
    if (around) check_outputs(*around, store.node_count());
    const std::string text = store.read_locked(
        [&](const PoolData& pools, const NodeTable& nodes, const std::vector<NodeId>& outputs) {
          return around ? render_dot_around(pools, nodes, outputs, *around, depth)
                        : render_dot(pools, nodes, outputs);
        });
    return new_str(text).release();
  });
}

PyObject* stats(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const GraphStats st = store_of(self).read_locked(
        [](const PoolData& pools, const NodeTable& nodes, const std::vector<NodeId>& outputs) {
          return graph_stats(pools, nodes, outputs);
        });
    return stats_dict(st).release();
  });
}

}  // namespace korvane::py
