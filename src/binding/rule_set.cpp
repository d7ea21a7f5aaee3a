// rule_set.cpp - the RuleSet class: user rewrite rules, compiled once.
//
//   RuleSet(rules, *, costs=None, iteration_limit=12, node_limit=None, time_limit=5.0)
//     .rules            tuple of (name, searcher, applier), one per direction
//     .costs            dict of cost key -> cost
//     .iteration_limit  int
//     .node_limit       int or None
//     .time_limit       float or None
//     .__reduce__()     pickle and copy through the constructor
//
// `rules` is a rule text ("NAME: SEARCHER => APPLIER" per line, "<=>" for
// both ways) or a sequence of (name, searcher, applier) str triples. A
// RuleSet is immutable, so reductions on many threads share one.
#include "binding/rule_set.hpp"

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/owner.hpp"

namespace korvane::py {

namespace {

const auto kNew = signature("RuleSet", {"rules", "costs", "iteration_limit", "node_limit", "time_limit"}, 1, 1);

// The triples of a sequence of (name, searcher, applier) str triples.
std::vector<ParsedRule> rules_from_triples(PyObject* obj) {
  Ref seq = new_ref(PySequence_Tuple(obj));  // a copy: the items cannot change under the loop
  const Py_ssize_t n = PyTuple_Size(seq.get());
  std::vector<Ref> held;
  std::vector<RuleTriple> triples;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::borrow(PyTuple_GetItem(seq.get(), i));
    if (!PyTuple_Check(item.get()) && !PyList_Check(item.get())) {
      raise(PyExc_TypeError, "RuleSet() rule %zd must be a (name, searcher, applier) triple, not %U", i + 1,
            type_name(item.get()).get());
    }
    Ref parts = new_ref(PySequence_Tuple(item.get()));
    if (PyTuple_Size(parts.get()) != 3) {
      raise(PyExc_TypeError, "RuleSet() rule %zd must be a (name, searcher, applier) triple, not %zd items", i + 1,
            PyTuple_Size(parts.get()));
    }
    std::string_view texts[3];
    const char* const what[] = {"name", "searcher", "applier"};
    for (int k = 0; k < 3; ++k) {
      PyObject* part = PyTuple_GetItem(parts.get(), k);
      if (!PyUnicode_Check(part)) {
        raise(PyExc_TypeError, "RuleSet() rule %zd: the %s must be str, not %U", i + 1, what[k],
              type_name(part).get());
      }
      texts[k] = to_utf8(part, kNew.function, what[k]);
    }
    triples.push_back(RuleTriple{texts[0], texts[1], texts[2]});
    held.push_back(std::move(parts));
  }
  auto parsed = parse_rule_triples(triples);
  if (!parsed) raise(PyExc_ValueError, "%s", parsed.error().c_str());
  return std::move(parsed).value();
}

std::vector<ParsedRule> to_rules(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    auto parsed = parse_rule_text(to_utf8(obj, kNew.function, "rules"));
    if (!parsed) raise(PyExc_ValueError, "%s", parsed.error().c_str());
    return std::move(parsed).value();
  }
  if (PyBytes_Check(obj) || !PySequence_Check(obj)) {
    raise(PyExc_TypeError,
          "RuleSet() argument 'rules' must be a str or a sequence of (name, searcher, applier) triples, not %U",
          type_name(obj).get());
  }
  return rules_from_triples(obj);
}

// A positive, finite number (an int or a float, not a bool).
double to_positive(PyObject* obj, const char* what) {
  if (PyBool_Check(obj) || !(PyLong_Check(obj) || PyFloat_Check(obj))) {
    raise(PyExc_TypeError, "RuleSet() %s must be a number, not %U", what, type_name(obj).get());
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
  if (!(v > 0) || !std::isfinite(v)) raise(PyExc_ValueError, "RuleSet() %s must be positive and finite, not %R", what, obj);
  return v;
}

CostTable to_costs(PyObject* obj) {
  CostTable costs;
  if (obj == nullptr || obj == Py_None) return costs;
  if (!PyDict_Check(obj)) raise(PyExc_TypeError, "RuleSet() argument 'costs' must be a dict or None, not %U",
                                type_name(obj).get());
  Ref items = new_ref(PyDict_Items(obj));  // a copy: converting runs no code, but stay safe
  const Py_ssize_t n = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GetItem(items.get(), i);
    PyObject* key = PyTuple_GetItem(pair, 0);
    PyObject* value = PyTuple_GetItem(pair, 1);
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "RuleSet() cost keys must be str, not %U", type_name(key).get());
    const std::string_view text = to_utf8(key, kNew.function, "costs");
    auto parsed = parse_cost_key(text);
    if (!parsed) raise(PyExc_ValueError, "RuleSet() cost %R: %s", key, parsed.error().c_str());
    const std::string what = "cost '" + std::string(text) + "'";
    costs.set(parsed.value().first, parsed.value().second, to_positive(value, what.c_str()));
  }
  return costs;
}

// A whole number of at least `least`, or None where `none_ok`; `fallback`
// when left out.
std::optional<uint64_t> to_limit(PyObject* obj, const char* what, std::optional<uint64_t> fallback, uint64_t least,
                                 bool none_ok) {
  if (obj == nullptr) return fallback;
  if (obj == Py_None) {
    if (none_ok) return std::nullopt;
    raise(PyExc_TypeError, "RuleSet() argument '%s' must be int, not None", what);
  }
  if (PyBool_Check(obj) || !PyLong_Check(obj)) {
    raise(PyExc_TypeError, "RuleSet() argument '%s' must be int%s, not %U", what, none_ok ? " or None" : "",
          type_name(obj).get());
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (v == -1 && overflow == 0 && PyErr_Occurred()) throw PythonError{};
  if (overflow < 0 || (overflow == 0 && v < static_cast<long long>(least))) {
    raise(PyExc_ValueError, "RuleSet() argument '%s' must be at least %llu, not %R", what,
          static_cast<unsigned long long>(least), obj);
  }
  return overflow > 0 ? UINT64_MAX - 1 : static_cast<uint64_t>(v);
}

PyObject* rule_set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const auto a = bind(kNew, args, kwargs);
    std::vector<ParsedRule> rules = to_rules(a[0]);
    CostTable costs = to_costs(a[1]);
    RuleLimits limits;
    limits.iteration_limit = *to_limit(a[2], "iteration_limit", 12, 1, false);
    limits.node_limit = to_limit(a[3], "node_limit", std::nullopt, 1, true);
    if (a[4] != nullptr) {
      limits.time_limit = a[4] == Py_None ? std::nullopt : std::optional<double>(to_positive(a[4], "time_limit"));
    }
    return new_owner<UserRules>(reinterpret_cast<PyObject*>(type), std::move(rules), std::move(costs), limits)
        .release();
  });
}

const UserRules& rules_of(PyObject* self) { return owned<UserRules>(self); }

Ref rule_triples(const UserRules& r) {
  Ref out = new_ref(PyTuple_New(static_cast<Py_ssize_t>(r.rules().size())));
  for (size_t i = 0; i < r.rules().size(); ++i) {
    const ParsedRule& rule = r.rules()[i];
    Ref triple = new_ref(PyTuple_New(3));
    const std::string texts[] = {rule.name, to_text(rule.searcher), to_text(rule.applier)};
    for (int k = 0; k < 3; ++k) {
      if (PyTuple_SetItem(triple.get(), k, new_str(texts[k]).release()) < 0) throw PythonError{};
    }
    if (PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), triple.release()) < 0) throw PythonError{};
  }
  return out;
}

std::string cost_key(NodeKind kind, const std::string& name) {
  switch (kind) {
    case NodeKind::Op:
      return "op:" + name;
    case NodeKind::Source:
      return "source:" + name;
    case NodeKind::Reduction:
      return "reduction:" + name;
    case NodeKind::Exchange:
      return "exchange";
    case NodeKind::Join:
      return "join";
    default:
      return name;
  }
}

Ref cost_dict(const UserRules& r) {
  Ref d = new_ref(PyDict_New());
  for (const auto& [key, cost] : r.costs().listed()) {
    set_key(d.get(), new_str(cost_key(key.first, key.second)).get(), new_ref(PyFloat_FromDouble(cost)));
  }
  return d;
}

Ref limit_or_none(const std::optional<uint64_t>& v) { return v ? u64(*v) : Ref::borrow(Py_None); }
Ref time_or_none(const std::optional<double>& v) {
  return v ? new_ref(PyFloat_FromDouble(*v)) : Ref::borrow(Py_None);
}

PyObject* get_rules(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return rule_triples(rules_of(self)).release(); });
}
PyObject* get_costs(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return cost_dict(rules_of(self)).release(); });
}
PyObject* get_iteration_limit(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return u64(rules_of(self).limits().iteration_limit).release(); });
}
PyObject* get_node_limit(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return limit_or_none(rules_of(self).limits().node_limit).release(); });
}
PyObject* get_time_limit(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return time_or_none(rules_of(self).limits().time_limit).release(); });
}

// Pickle and copy call the constructor again: copyreg.__newobj_ex__ with the
// triples and the keywords, so a state is checked like any argument.
PyObject* rule_set_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const UserRules& r = rules_of(self);
    Ref kwargs = new_ref(PyDict_New());
    set_key(kwargs.get(), "costs", cost_dict(r));
    set_key(kwargs.get(), "iteration_limit", u64(r.limits().iteration_limit));
    set_key(kwargs.get(), "node_limit", limit_or_none(r.limits().node_limit));
    set_key(kwargs.get(), "time_limit", time_or_none(r.limits().time_limit));
    Ref triples = rule_triples(r);
    Ref copyreg = new_ref(PyImport_ImportModule("copyreg"));
    Ref newobj = new_ref(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
    return new_ref(Py_BuildValue("(O(O(O)O))", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                 triples.get(), kwargs.get()))
        .release();
  });
}

PyObject* rule_set_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const size_t n = rules_of(self).rules().size();
    return PyUnicode_FromFormat("<korvane_core.RuleSet: %zu rule%s>", n, n == 1 ? "" : "s");
  });
}

Py_ssize_t rule_set_len(PyObject* self) { return static_cast<Py_ssize_t>(rules_of(self).rules().size()); }

PyGetSetDef rule_set_getset[] = {
    {"rules", get_rules, nullptr, "The rules, one (name, searcher, applier) triple per direction.", nullptr},
    {"costs", get_costs, nullptr, "The listed costs by cost key; unlisted nodes cost 1.", nullptr},
    {"iteration_limit", get_iteration_limit, nullptr, "Most rewrite iterations of a reduction.", nullptr},
    {"node_limit", get_node_limit, nullptr, "Most e-graph nodes; None: 4 per term plus 1024.", nullptr},
    {"time_limit", get_time_limit, nullptr, "Seconds a rewrite run may take; None: no limit.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyMethodDef rule_set_methods[] = {
    {"__reduce__", rule_set_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickle and copy support: the rules travel as triples, with costs and limits."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot rule_set_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "RuleSet(rules, *, costs=None, iteration_limit=12, node_limit=None, time_limit=5.0)\n--\n\n"
                    "User rewrite rules, compiled once; pass as rules= to reduce(), reduction_report(),\n"
                    "reduction_profile() and IncrementalReducer.finalize(). They run after the twelve\n"
                    "built-in rules, under one runner and scheduler, and each class is then represented\n"
                    "by its cheapest term.\n\n"
                    "rules: a text with one rule per line, 'NAME: SEARCHER => APPLIER' ('<=>' for both\n"
                    "ways, which adds NAME-rev), '#' comments; or a sequence of (name, searcher, applier)\n"
                    "triples. A pattern is ?var or (HEAD ARG...); HEAD is an op name (neg), op:NAME,\n"
                    "source:NAME, reduction:NAME, exchange or join, with parameters in braces\n"
                    "{k=1, f=1.0, b=true, s=\"r\", v=?p}. A node matches only with exactly the listed\n"
                    "parameters; a parameter variable binds the recorded value and may be reused by\n"
                    "the applier.\n"
                    "costs: {'exp': 8, 'reduction:sum': 20}, by the same names; 1 when unlisted.\n"
                    "time_limit=None makes a reduction independent of the machine's load.")},
    {Py_tp_new, reinterpret_cast<void*>(rule_set_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc<UserRules>)},
    {Py_tp_repr, reinterpret_cast<void*>(rule_set_repr)},
    {Py_tp_methods, rule_set_methods},
    {Py_tp_getset, rule_set_getset},
    {Py_sq_length, reinterpret_cast<void*>(rule_set_len)},
    {0, nullptr},  // sentinel
};

}  // namespace

PyType_Spec rule_set_spec = {
    .name = "korvane_core.RuleSet",
    .basicsize = sizeof(Owner<UserRules>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = rule_set_slots,
};

const UserRules* to_rule_set(PyObject* obj, const char* function) {
  if (obj == nullptr || obj == Py_None) return nullptr;
  if (!is_instance(obj, types().rule_set)) {
    raise(PyExc_TypeError, "%s() argument 'rules' must be RuleSet or None, not %U", function, type_name(obj).get());
  }
  return &owned<UserRules>(obj);
}

}  // namespace korvane::py
