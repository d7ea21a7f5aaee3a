// reduce.cpp - the GraphStore methods that run the optimizer.
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/graph_store.hpp"
#include "binding/reduction.hpp"
#include "binding/rule_set.hpp"
#include "common/internal_error.hpp"
#include "common/lap.hpp"
#include "optimizer/saturation_engine.hpp"

namespace korvane::py {

Ref report_dict(const ReductionCounters& c) {
  Ref dict = new_ref(PyDict_New());
  const std::pair<const char*, uint64_t> entries[] = {
      {"input_nodes", c.input_nodes}, {"reachable_nodes", c.reachable_nodes}, {"canonical_nodes", c.canonical_nodes},
      {"stages", c.stages},           {"reduced_nodes", c.reduced_nodes},     {"boundary_nodes", c.boundary_nodes},
  };
  for (const auto& [key, value] : entries) set_key(dict.get(), key, u64(value));
  return dict;
}

Ref reduction_pair(std::unique_ptr<Store> store, const ReductionCounters& counters) {
  Ref report = report_dict(counters);
  Ref reduced = wrap_store(std::move(store));
  return new_ref(PyTuple_Pack(2, reduced.get(), report.get()));
}

namespace {

const auto kReduce = signature("GraphStore.reduce", {"maximal_fusion", "outputs", "rules"}, 0, 0);
const auto kReduceIncremental = signature("GraphStore.reduce_incremental", {"outputs"}, 0, 0);
const auto kReductionReport = signature("GraphStore.reduction_report", {"outputs", "rules"}, 0, 0);
const auto kReductionProfile = signature("GraphStore.reduction_profile", {"maximal_fusion", "outputs", "rules"}, 0, 0);

// Reduces a snapshot of the store; the store's lock is held only while the
// snapshot is copied. With `profile` given, the phases are timed there.
std::unique_ptr<Store> reduce_store(const Store& store, bool maximal_fusion,
                                    const std::optional<std::vector<NodeId>>& outputs, const UserRules* rules,
                                    ReductionCounters& counters, ReductionProfile* profile = nullptr) {
  const SaturationEngine engine(rules);
  Lap lap(profile != nullptr);
  Snapshot snap = store.snapshot();
  if (profile != nullptr) profile->snapshot = lap.next();
  if (outputs) check_outputs(*outputs, snap.graph.size());
  const std::vector<NodeId>& chosen = outputs ? *outputs : snap.outputs;
  ReductionResult result = reduce_nodes(std::move(snap.graph), chosen, engine, maximal_fusion, profile);
  counters = result.counters;
  lap.next();
  auto reduced = build_reduced_store(std::move(result));
  if (profile != nullptr) profile->build = lap.next();
  return reduced;
}

Ref seconds(double v) { return new_ref(PyFloat_FromDouble(v)); }

// {"memo_size", "class_count", "applied": {rule: changes}, "rebuild_unions", and the four times}.
Ref iteration_dict(const egraph::Iteration& it) {
  Ref applied = new_ref(PyDict_New());
  for (const auto& [rule, changes] : it.applied) {
    set_key(applied.get(), new_str(egraph::resolve(rule)).get(), u64(changes));
  }
  Ref d = new_ref(PyDict_New());
  set_key(d.get(), "memo_size", u64(it.memo_size));
  set_key(d.get(), "class_count", u64(it.class_count));
  set_key(d.get(), "applied", applied);
  set_key(d.get(), "rebuild_unions", u64(it.rebuild_unions));
  set_key(d.get(), "search_time", seconds(it.search_time));
  set_key(d.get(), "apply_time", seconds(it.apply_time));
  set_key(d.get(), "rebuild_time", seconds(it.rebuild_time));
  set_key(d.get(), "total_time", seconds(it.total_time));
  return d;
}

// The stop reason's name and its payload (None for Saturated).
std::pair<const char*, Ref> stop_reason(const egraph::StopReason& reason) {
  struct Visit {
    std::pair<const char*, Ref> operator()(const egraph::Saturated&) const { return {"Saturated", Ref::borrow(Py_None)}; }
    std::pair<const char*, Ref> operator()(const egraph::IterationLimit& r) const {
      return {"IterationLimit", u64(r.iterations)};
    }
    std::pair<const char*, Ref> operator()(const egraph::NodeLimit& r) const { return {"NodeLimit", u64(r.nodes)}; }
    std::pair<const char*, Ref> operator()(const egraph::TimeLimit& r) const {
      return {"TimeLimit", seconds(r.seconds)};
    }
  };
  return std::visit(Visit{}, reason);
}

Ref profile_dict(const ReductionCounters& counters, const ReductionProfile& p) {
  Ref d = report_dict(counters);
  Ref phases = new_ref(PyDict_New());
  const std::pair<const char*, double> times[] = {
      {"snapshot", p.snapshot},       {"reachability", p.reachability},   {"symbols", p.symbols},
      {"load", p.run.load_time},      {"saturation", p.run.saturation_time}, {"extraction", p.run.extraction_time},
      {"hash_consing", p.hash_consing}, {"fusion", p.fusion},             {"build", p.build},
  };
  for (const auto& [key, value] : times) set_key(phases.get(), key, seconds(value));
  set_key(d.get(), "phases", phases);
  check(p.run.stop_reason.has_value(), "a rewrite run ended without a stop reason");
  auto [reason, payload] = stop_reason(*p.run.stop_reason);
  set_key(d.get(), "stop_reason", new_ref(PyUnicode_FromString(reason)));
  set_key(d.get(), "stop_payload", payload);
  Ref iterations = new_ref(PyList_New(0));
  for (const egraph::Iteration& it : p.run.iterations) {
    if (PyList_Append(iterations.get(), iteration_dict(it).get()) < 0) throw PythonError{};
  }
  set_key(d.get(), "iterations", iterations);
  Ref rules = new_ref(PyDict_New());
  for (const auto& [name, stats] : p.run.rules) {
    Ref r = new_ref(PyDict_New());
    set_key(r.get(), "times_applied", u64(stats.times_applied));
    set_key(r.get(), "times_banned", u64(stats.times_banned));
    set_key(r.get(), "banned_until", u64(stats.banned_until));
    set_key(rules.get(), name.c_str(), r);
  }
  set_key(d.get(), "rules", rules);
  Ref limits = new_ref(PyDict_New());
  set_key(limits.get(), "iteration_limit", u64(p.run.iteration_limit));
  set_key(limits.get(), "node_limit", u64(p.run.node_limit));
  set_key(limits.get(), "time_limit", p.run.time_limit ? seconds(*p.run.time_limit) : Ref::borrow(Py_None));
  set_key(d.get(), "limits", limits);
  return d;
}

}  // namespace

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const auto a = bind(kReduce, args, nargs, kwnames);
    const bool maximal = to_fusion_flag(a[0]);
    const auto outputs = to_outputs(a[1]);
    const UserRules* rules = to_rule_set(a[2], kReduce.function);
    ReductionCounters counters;
    auto reduced = reduce_store(store_of(self), maximal, outputs, rules, counters);
    return reduction_pair(std::move(reduced), counters).release();
  });
}

PyObject* reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const auto a = bind(kReduceIncremental, args, nargs, kwnames);
    const auto outputs = to_outputs(a[0]);
    // The one-shot form of the step-by-step reducer gives exactly reduce()'s
    // result with single-use fusion, so it runs the same pipeline; stepping
    // only pays off while the graph is still being recorded.
    ReductionCounters counters;
    auto reduced = reduce_store(store_of(self), false, outputs, nullptr, counters);
    return reduction_pair(std::move(reduced), counters).release();
  });
}

PyObject* reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const auto a = bind(kReductionReport, args, nargs, kwnames);
    const auto outputs = to_outputs(a[0]);
    const UserRules* rules = to_rule_set(a[1], kReductionReport.function);
    ReductionCounters counters;
    reduce_store(store_of(self), false, outputs, rules, counters);
    return report_dict(counters).release();
  });
}

PyObject* reduction_profile(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const auto a = bind(kReductionProfile, args, nargs, kwnames);
    const bool maximal = to_fusion_flag(a[0]);
    const auto outputs = to_outputs(a[1]);
    const UserRules* rules = to_rule_set(a[2], kReductionProfile.function);
    ReductionCounters counters;
    ReductionProfile profile;
    reduce_store(store_of(self), maximal, outputs, rules, counters, &profile);
    return profile_dict(counters, profile).release();
  });
}

}  // namespace korvane::py
